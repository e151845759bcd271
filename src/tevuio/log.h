// The library's lines on standard output.
#ifndef TEVUIO_LOG_H
#define TEVUIO_LOG_H

#include "platform/platform.h"

#include <cstdarg>

// printf-style line to standard output, unflushed. Messages carry their own "\r\n".
__attribute__((format(printf, 1, 2))) inline void log_printf(const char *format, ...) {
    va_list args;
    va_start(args, format);
    plat_vprint(format, args);
    va_end(args);
}

#endif
