// Standard output and the orderly exit.
#include "platform/platform.h"

#include <cstdio>
#include <cstdlib>

void plat_vprint(const char *format, va_list args) {
    vprintf(format, args);
}

void plat_exit(int status) {
    exit(status);
}
