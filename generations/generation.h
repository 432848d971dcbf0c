// What differs between the generations of the engine, in one constant table.
// Each program is compiled with VEXAR_GENERATION (9 for 0.9, 8 for 0.8, ...)
// and reads its row as `GENERATION`; code that differs by generation tests
// the row's fields with `if constexpr`, so every branch compiles in every
// build.  Whole algorithms that differ (transposition entry, move layout,
// evaluation) live in files of their own that the program's CMake call picks.
#pragma once

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
};

inline constexpr Generation GENERATIONS[] = {
    {9, "Vexar 0.9 x64", 262144, 256, 29744, true},
    {8, "Vexar 0.8 x64", 65536, 1, 29936, true},
    {7, "Vexar 0.7 x64", 65536, 1, 29936, false},
    {6, "Vexar 0.6 x64 (bmi2)", 65536, 1, 29936, false},
    {3, "Vexar 0.3.0 x64 (popcnt)", 65536, 1, 29936, false},
};

constexpr const Generation &generationRow(int number) {
    for (const Generation &g : GENERATIONS)
        if (g.number == number) return g;
    return GENERATIONS[0];
}

inline constexpr const Generation &GENERATION = generationRow(VEXAR_GENERATION);
static_assert(GENERATION.number == VEXAR_GENERATION, "no row for this generation");
