// The first-layer sums of the network for both points of view.  Every Position
// carries one; making a move copies it forward and adjusts it (see network.h).
#pragma once

inline constexpr int ACCUMULATOR_SIZE = 128;

struct alignas(32) Accumulator {
    float half[2][ACCUMULATOR_SIZE];  // [0] White's perspective, [1] Black's
};
static_assert(sizeof(Accumulator) == 1024);
