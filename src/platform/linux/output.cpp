// Standard output, the orderly exit, and the report of a failed check.
#include "platform/platform.h"

#include <cstdio>
#include <cstdlib>

// The C library's report of a failed assertion, which assert itself calls;
// <assert.h> declares it only where NDEBUG is not defined.
extern "C" [[noreturn]] void __assert_fail(const char *assertion, const char *file,
                                           unsigned int line, const char *function) noexcept;

void plat_vprint(const char *format, va_list args) {
    vprintf(format, args);
}

void plat_exit(int status) {
    exit(status);
}

void plat_check_failed(const char *expression, const char *file, unsigned line,
                       const char *function) {
    __assert_fail(expression, file, line, function);
}
