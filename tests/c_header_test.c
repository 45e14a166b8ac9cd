/* Compiled as C: kiv.h must stay valid C. */
#include "kiv.h"

#include <stdio.h>

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
    puts("kiv.h is valid C");
    return 0;
}
