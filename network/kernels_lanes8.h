// The sparse first hidden layer of the 8-lane kernels, shared by
// kernels_avx.cpp (multiply, then add) and kernels_fma.cpp (fused
// multiply-add).  Each file includes it and passes its own multiply-add, and
// each gets its own copy (internal linkage), compiled with that file's
// instructions and rounding.
//
// Input i belongs to lane i mod 8.  Lane l's partial sum of a neuron runs
// over the active inputs l, l + 8, l + 16, ... in increasing order; an input
// the rectifier made zero is skipped, which leaves every partial sum as it
// would be with the input (see each kernel file).  The 8 lanes are then
// reduced as lane l + lane l+4 (l = 0..3), then (0 + 2) and (1 + 3), then
// those two.
#pragma once

#include <immintrin.h>

#include <bit>
#include <cstdint>

#include "network/bit_transpose.h"  // laneMasks8
#include "network/network.h"

static_assert(HIDDEN1_SIZE == 32, "four 8-lane vectors of neurons");

// x = activation(the two halves, side to move first), each +0 or above, and
// lane_inputs[l] bit k set when input 8k + l is above zero.
template <class Activation>
static inline void activateInputs8(const float *us, const float *them, float *x, uint32_t lane_inputs[8],
                                   Activation activation) {
    alignas(8) uint8_t active[2 * ACCUMULATOR_SIZE / 8];  // bit l of byte c: input 8c + l is not zero
    const __m256 zero8 = _mm256_setzero_ps();
    for (int j = 0; j < ACCUMULATOR_SIZE; j += 8) {
        const __m256 own = activation(_mm256_loadu_ps(us + j)), other = activation(_mm256_loadu_ps(them + j));
        _mm256_store_ps(x + j, own);
        _mm256_store_ps(x + ACCUMULATOR_SIZE + j, other);
        active[j / 8] = static_cast<uint8_t>(_mm256_movemask_ps(_mm256_cmp_ps(own, zero8, _CMP_GT_OQ)));
        active[(ACCUMULATOR_SIZE + j) / 8] =
            static_cast<uint8_t>(_mm256_movemask_ps(_mm256_cmp_ps(other, zero8, _CMP_GT_OQ)));
    }
    laneMasks8(active, lane_inputs);
}

// partial[l][o]: lane l's sum for neuron o.  lane_inputs[l] bit k is input
// 8k + l being active (laneMasks8); input 8k + l is read at x + l + 8k and
// its column of weights at columns.hidden1_weights[l + 8k].
//
// Two lanes run side by side, so that eight independent sums are in flight
// instead of four and the adds' latency is hidden; each lane still adds its
// own inputs in increasing order, so every partial sum is unchanged.
template <class MultiplyAdd>
static inline void laneSums8(const float *x, const uint32_t lane_inputs[8], const NetworkColumns &columns,
                             float (*partial)[HIDDEN1_SIZE], MultiplyAdd multiply_add) {
    struct LaneSum {
        __m256 s[4];
        const float *x;
        const float *column;
        uint64_t bits;
    };
    // Adds the lane's lowest remaining active input and clears its bit.
    auto addNext = [&](LaneSum &lane) {
        const uint64_t step = 8 * static_cast<uint64_t>(std::countr_zero(lane.bits));
        const __m256 in = _mm256_broadcast_ss(lane.x + step);
        const float *w = lane.column + step * HIDDEN1_SIZE;
        lane.s[0] = multiply_add(_mm256_load_ps(w), in, lane.s[0]);
        lane.s[1] = multiply_add(_mm256_load_ps(w + 8), in, lane.s[1]);
        lane.s[2] = multiply_add(_mm256_load_ps(w + 16), in, lane.s[2]);
        lane.s[3] = multiply_add(_mm256_load_ps(w + 24), in, lane.s[3]);
        lane.bits &= lane.bits - 1;
    };
    for (int l = 0; l < 8; l += 2) {
        const __m256 zero = _mm256_setzero_ps();
        LaneSum a{{zero, zero, zero, zero}, x + l, columns.hidden1_weights[l], lane_inputs[l]};
        LaneSum b{{zero, zero, zero, zero}, x + l + 1, columns.hidden1_weights[l + 1], lane_inputs[l + 1]};
        while (a.bits != 0 && b.bits != 0) {
            addNext(a);
            addNext(b);
        }
        while (a.bits != 0) addNext(a);
        while (b.bits != 0) addNext(b);
        for (int q = 0; q < 4; ++q) {
            _mm256_store_ps(partial[l] + 8 * q, a.s[q]);
            _mm256_store_ps(partial[l + 1] + 8 * q, b.s[q]);
        }
    }
}

// Neurons o .. o+7 with their 8 lanes reduced (before the bias).
static inline __m256 reduceLanes8(const float (*partial)[HIDDEN1_SIZE], int o) {
    __m256 t[4];
    for (int l = 0; l < 4; ++l)
        t[l] = _mm256_add_ps(_mm256_load_ps(partial[l] + o), _mm256_load_ps(partial[l + 4] + o));
    return _mm256_add_ps(_mm256_add_ps(t[0], t[2]), _mm256_add_ps(t[1], t[3]));
}
