// The one routine through which every line of the engine reaches standard
// output, and the engine's assertion, which reports through it and ends the
// process.  Standard output is unbuffered from start-up, so each call reaches
// the reader at once.
#pragma once

[[gnu::format(printf, 1, 2)]] void writeOut(const char *format, ...);
// Process-wide switch for writeOut (on at start).  Programs that drive the
// search themselves, such as the data generator, turn it off; an assertion
// failure is still printed.
void setOutputEnabled(bool enabled);

[[noreturn]] void assertionFailed(const char *expression, const char *module);

// Internal consistency check: the message carries the checked expression.
#define VEXAR_ASSERT(expression, module) \
    ((expression) ? (void)0 : assertionFailed(#expression, module))
