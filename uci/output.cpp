#include "uci/output.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

void writeOut(const char *format, ...) {
    va_list args;
    va_start(args, format);
    vfprintf(stdout, format, args);
    va_end(args);
    fflush(stdout);
}

void assertionFailed(const char *expression, const char *module) {
    writeOut("Assertion failed: %s (module %s)\n", expression, module);
    std::abort();
}
