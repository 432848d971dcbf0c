// What differs between the generations of the engine, in one constant table.
// Each program is compiled with VEXAR_GENERATION (9 for 0.9, 8 for 0.8, ...)
// and reads its row as `GENERATION`; code that differs by generation tests
// the row's fields with `if constexpr`, so every branch compiles in every
// build.  Whole algorithms that differ (transposition entry, move layout,
// evaluation) live in files of their own that the program's CMake call picks.
#pragma once

#include <cstdint>

#ifndef VEXAR_GENERATION
#error "VEXAR_GENERATION must be set by the build (see cmake/vexar_program.cmake)"
#endif

struct Generation {
    int number;             // 9 for 0.9, 8 for 0.8, 7, 6, 3
    const char *name;       // banner and "id name"
    int max_hash_mb;        // upper bound of the Hash option
    int max_threads;        // upper bound of the Threads option (1: no option)
    int mate_bound;         // |score| above this (and not infinite) is a mate
    bool network;           // evaluates with a network (else hand-crafted)
    int max_depth;          // deepest iteration of the deepening
    int aspiration_fails;   // failed windows widened by 10 x k before the full window
    bool time_extension;    // a clock budget may double once when the reserve allows
    bool exchange_demotion; // interior ordering demotes captures that lose material
    bool single_move_at_once;  // one legal move answered without a search in every mode (else on a clock only)
    bool tablebases;        // Syzygy probes at the root and in the search
    int64_t infinite_move_time;  // the move time of "go infinite"
    bool full_key_table;    // table entries keep the whole key (search/tt.h)
};

inline constexpr Generation GENERATIONS[] = {
    // number name                        hash    thr  mate   net    depth fails ext    demote single tb     infinite    full-key
    {9, "Vexar 0.9 x64",              262144, 256, 29744, true,  255,  5,   true,  true,  true,  false, 1 << 30,     false},
    {8, "Vexar 0.8 x64",              65536,  1,   29936, true,  63,   999, false, false, false, false, 1000000000, true},
    {7, "Vexar 0.7 x64",              65536,  1,   29936, false, 63,   999, false, false, false, true,  1000000000, true},
    {6, "Vexar 0.6 x64 (bmi2)",       65536,  1,   29936, false, 63,   999, false, false, false, false, 1000000000, true},
    {3, "Vexar 0.3.0 x64 (popcnt)",   65536,  1,   29936, false, 63,   999, false, false, false, false, 1000000000, true},
};

constexpr const Generation &generationRow(int number) {
    for (const Generation &g : GENERATIONS)
        if (g.number == number) return g;
    return GENERATIONS[0];
}

inline constexpr const Generation &GENERATION = generationRow(VEXAR_GENERATION);
static_assert(GENERATION.number == VEXAR_GENERATION, "no row for this generation");
