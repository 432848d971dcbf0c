#include "uci/output.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

static bool output_enabled = true;

void setOutputEnabled(bool enabled) { output_enabled = enabled; }

void writeOut(const char *format, ...) {
    if (!output_enabled) return;
    va_list args;
    va_start(args, format);
    vfprintf(stdout, format, args);
    va_end(args);
    fflush(stdout);
}

void assertionFailed(const char *expression, const char *module) {
    output_enabled = true;
    writeOut("Assertion failed: %s (module %s)\n", expression, module);
    std::abort();
}
