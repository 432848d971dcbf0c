// Set-up shared by the fuzz targets: the engine's tables built once and its
// output sent to /dev/null.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "uci/uci.h"

// Runs once per fuzzing process, before the first input.
inline void startQuietEngine() {
    const int null = open("/dev/null", O_WRONLY);
    if (null < 0 || dup2(null, STDOUT_FILENO) < 0) std::abort();
    close(null);
    startEngine();
}

// Fails the run with a message on standard error (which the fuzzer shows).
#define FUZZ_CHECK(condition, ...)                  \
    do {                                            \
        if (!(condition)) {                         \
            std::fprintf(stderr, __VA_ARGS__);      \
            std::fprintf(stderr, "\n");             \
            std::abort();                           \
        }                                           \
    } while (0)
