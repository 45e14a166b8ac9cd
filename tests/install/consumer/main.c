#include <kiv.h>
#include <stdio.h>

int main(void)
{
    if (KIV_Init() != KIV_OK)
        return 1;
    puts("consumer linked kiv");
    return 0;
}
