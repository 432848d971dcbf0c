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

// A failed internal check ends the process.  Generation 0.9 prints
// "Assertion failed: EXPR (module M)"; the classic generations print the
// board display (through the routine start-up installs) and append
// "Assertion error : EXPR (file F, line L)" to vexar.log in the working
// directory first.
[[noreturn]] void assertionFailed(const char *expression, const char *module, const char *file, int line);
void setAssertionDisplay(void (*display)());

// Internal consistency check: the message carries the checked expression.
#define VEXAR_ASSERT(expression, module) \
    ((expression) ? (void)0 : assertionFailed(#expression, module, __FILE__, __LINE__))
