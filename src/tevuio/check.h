// A check of the library's own that holds in every build, whatever NDEBUG
// says: a failed one is reported as the C runtime reports a failed assertion
// (the expression as written, the source file and line of the check) and
// ends the process.
#ifndef TEVUIO_CHECK_H
#define TEVUIO_CHECK_H

#include "platform/platform.h"

#define TEVUIO_CHECK(expression)                                                                   \
    ((expression) ? static_cast<void>(0)                                                           \
                  : plat_check_failed(#expression, __FILE__, __LINE__, __PRETTY_FUNCTION__))

#endif
