// Set-up shared by the fuzz targets: the engine's tables built once and its
// output sent to /dev/null.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "network/network_king.h"
#include "uci/uci.h"

// Generation 0.8 starts only with a network.nn in its working directory: a
// small fixed network is written to a private folder, which is the working
// directory while the engine starts (and only then: libFuzzer reads its
// dictionary and corpus by the caller's relative paths afterwards).
inline void enterFolderWithKingNetwork() {
    char folder[] = "/tmp/vexar-fuzz-king-XXXXXX";
    if (!mkdtemp(folder) || chdir(folder) != 0) std::abort();
    uint32_t state = 1;
    for (auto &row : king_network.feature_weights)
        for (float &w : row) w = float(int((state = state * 1664525u + 1013904223u) >> 22) - 512) * 0.0001f;
    float *tail = king_network.feature_biases;
    for (int k = 0; k < KING_TAIL_VALUES; k++) tail[k] = float(int(k % 13) - 6) * 0.02f;
    char reason[REASON_SIZE];
    if (writeKingNetwork(king_network, "network.nn", reason) != 0) std::abort();
}

// Runs once per fuzzing process, before the first input.
inline void startQuietEngine() {
    const int null = open("/dev/null", O_WRONLY);
    if (null < 0 || dup2(null, STDOUT_FILENO) < 0) std::abort();
    close(null);
    char previous[4096];
    if (!getcwd(previous, sizeof previous)) std::abort();
    if constexpr (GENERATION.king_relative_network) enterFolderWithKingNetwork();
    startEngine();
    if (chdir(previous) != 0) std::abort();
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
