// Bit permutations of 64-bit masks, used by the kernels to turn a mask of
// active inputs in input order into one mask per vector lane.
#pragma once

#include <emmintrin.h>

#include <cstdint>
#include <cstring>

// Exchanges two bits of every bit's position: the bit at position p moves to
// the position with bits A and B of p swapped (A < B).  Applied in sequence
// these give any permutation of position bits, e.g. the transpose of an 8 x 8
// bit matrix is the three swaps (0,3), (1,4), (2,5).
template <int A, int B>
inline uint64_t swapIndexBits(uint64_t x) {
    static_assert(0 <= A && A < B && B < 6);
    constexpr int shift = (1 << B) - (1 << A);
    // Positions with bit A set and bit B clear; their partners are `shift` higher.
    constexpr uint64_t mask = [] {
        uint64_t m = 0;
        for (int p = 0; p < 64; ++p) {
            if ((p >> A & 1) != 0 && (p >> B & 1) == 0) m |= uint64_t(1) << p;
        }
        return m;
    }();
    const uint64_t t = ((x >> shift) ^ x) & mask;
    return x ^ t ^ (t << shift);
}

// Regroups a mask of 256 inputs for 8-lane vectors (input i in lane i mod 8).  active[c] bit l is input 8c + l;
// on return bit k of lane_inputs[l] is input 8k + l.
inline void laneMasks8(const uint8_t active[32], uint32_t lane_inputs[8]) {
    __m128i t[4];
    for (int g = 0; g < 4; ++g) {
        // Inputs 64g .. 64g+63 as an 8 x 8 bit matrix [chunk][lane], transposed
        // so that byte l holds lane l of the eight chunks.
        uint64_t bits;
        memcpy(&bits, active + 8 * g, sizeof bits);
        bits = swapIndexBits<2, 5>(swapIndexBits<1, 4>(swapIndexBits<0, 3>(bits)));
        t[g] = _mm_cvtsi64_si128(static_cast<long long>(bits));
    }
    // Lane l's mask takes byte l of each group, group 0 lowest.
    const __m128i t01 = _mm_unpacklo_epi8(t[0], t[1]);
    const __m128i t23 = _mm_unpacklo_epi8(t[2], t[3]);
    _mm_storeu_si128(reinterpret_cast<__m128i *>(lane_inputs), _mm_unpacklo_epi16(t01, t23));
    _mm_storeu_si128(reinterpret_cast<__m128i *>(lane_inputs + 4), _mm_unpackhi_epi16(t01, t23));
}
