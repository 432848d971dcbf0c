// Bit permutations of 64-bit masks, used by the kernels to turn a mask of
// active inputs in input order into one mask per vector lane.
#pragma once

#include <cstdint>

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
