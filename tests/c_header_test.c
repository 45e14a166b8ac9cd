/* Compiled as C: kiv.h must stay valid C. */
#include "kiv.h"

#include <stdio.h>
#include <string.h>

int main(void)
{
    int handle = -1;
    if (KIV_Init() != KIV_OK)
        return 1;
    /* Nothing listens on port 1 of loopback. */
    if (KIV_Connect("127.0.0.1", 1, 1000, &handle) == KIV_OK)
        return 2;
    if (handle != -1)
        return 3;
    /* Result names: the library's codes, errno values met in practice, and
       NULL for numbers it does not name. */
    if (strcmp(KIV_Result_Name(KIV_OK), "KIV_OK") != 0 ||
        strcmp(KIV_Result_Name(KIV_ERR_LOGIN), "KIV_ERR_LOGIN") != 0 ||
        strcmp(KIV_Result_Name(ECONNREFUSED), "ECONNREFUSED") != 0 ||
        strcmp(KIV_Result_Name(EINTR), "EINTR") != 0)
        return 4;
    if (KIV_Result_Name(KIV_ERR_LOGIN + 1) != NULL || KIV_Result_Name(-1) != NULL ||
        KIV_Result_Name(999) != NULL)
        return 5;
    puts("kiv.h is valid C");
    return 0;
}
