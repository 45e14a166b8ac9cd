#include <kiv.h>
#include <stdio.h>
#include <string.h>

/* The version macros serve #if, as a program written for 1.0 on uses them. */
#if !defined(KIV_VERSION_MINOR) || !defined(KIV_VERSION_PATCH) || KIV_VERSION_MAJOR < 1
#error "kiv.h gives no version of 1.0 or later"
#endif

#define TEXT(x) #x
#define NUMBER_TEXT(x) TEXT(x)

int main(void)
{
    const char *numbers = NUMBER_TEXT(KIV_VERSION_MAJOR) "." NUMBER_TEXT(
        KIV_VERSION_MINOR) "." NUMBER_TEXT(KIV_VERSION_PATCH);
    if (KIV_Init() != KIV_OK)
        return 1;
    /* The text agrees with the numbers and, where the build system found
       one (find_package, pkg-config), with the package's own version. */
    if (strcmp(KIV_VERSION_STRING, numbers) != 0)
        return 2;
#ifdef KIV_PACKAGE_VERSION
    if (strcmp(KIV_VERSION_STRING, KIV_PACKAGE_VERSION) != 0)
        return 3;
#endif
    printf("consumer linked kiv %s\n", KIV_VERSION_STRING);
    return 0;
}
