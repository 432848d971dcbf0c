#include "io/output.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "generations/generation.h"

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

static void (*assertion_display)() = nullptr;

void setAssertionDisplay(void (*display)()) { assertion_display = display; }

void assertionFailed(const char *expression, const char *module, const char *file, int line) {
    output_enabled = true;
    if constexpr (GENERATION.classic_front_end) {
        if (assertion_display) assertion_display();
        const char *slash = std::strrchr(file, '/');
        if (FILE *log = std::fopen("vexar.log", "a")) {
            std::fprintf(log, "Assertion error : %s (file %s, line %d)\n", expression, slash ? slash + 1 : file, line);
            std::fclose(log);
        }
    } else {
        writeOut("Assertion failed: %s (module %s)\n", expression, module);
    }
    std::abort();
}
