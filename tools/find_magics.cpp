// Searches magic multipliers for the sliding-attack tables with the engine's
// fixed shifts (52 for rooks, 55 for bishops) and prints them as the data file
// board/sliders/magics.inc.  Usage: find-magics [seed] > board/sliders/magics.inc
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "board/sliders/sliders.h"

static uint64_t state = 0x9E3779B97F4A7C15ULL;

static uint64_t nextRandom() {  // xorshift64*
    state ^= state >> 12;
    state ^= state << 25;
    state ^= state >> 27;
    return state * 2685821657736338717ULL;
}

static uint64_t sparseRandom() { return nextRandom() & nextRandom() & nextRandom(); }

static Bitboard walk(int square, Bitboard occupancy, bool rook) {
    static const int rook_dirs[4][2] = {{0, 1}, {0, -1}, {1, 0}, {-1, 0}};
    static const int bishop_dirs[4][2] = {{1, 1}, {-1, 1}, {1, -1}, {-1, -1}};
    const int(*dirs)[2] = rook ? rook_dirs : bishop_dirs;
    Bitboard result = 0;
    for (int d = 0; d < 4; d++) result |= detail::rayAttacks(square, dirs[d][0], dirs[d][1], occupancy);
    return result;
}

static uint64_t findMagic(int square, bool rook) {
    const Bitboard mask = relevantMask(rook ? rookEmptyMoves[square] : bishopEmptyMoves[square], square);
    const int shift = rook ? ROOK_SHIFT : BISHOP_SHIFT;
    const int bits = popCount(mask);
    std::vector<Bitboard> occupancy(1u << bits), attacks(1u << bits), used(1u << (64 - shift));
    for (unsigned k = 0; k < occupancy.size(); k++) {
        occupancy[k] = occupancySubset(mask, k);
        attacks[k] = walk(square, occupancy[k], rook);
    }
    for (;;) {
        const uint64_t magic = sparseRandom();
        if (popCount((mask * magic) & 0xFF00000000000000ULL) < 6) continue;
        std::fill(used.begin(), used.end(), 0);
        bool ok = true;
        for (unsigned k = 0; ok && k < occupancy.size(); k++) {
            const uint64_t index = (occupancy[k] * magic) >> shift;
            // A slot may be shared only by subsets with the same attack set;
            // attack sets are never empty, so 0 marks a free slot.
            if (used[index] == 0)
                used[index] = attacks[k];
            else if (used[index] != attacks[k])
                ok = false;
        }
        if (ok) return magic;
    }
}

int main(int argc, char **argv) {
    if (argc > 1) state ^= strtoull(argv[1], nullptr, 0) * 0xD1B54A32D192ED03ULL;
    printf("// Magic multipliers for the sliding-attack lookups (shift 52 for rooks, 55 for\n");
    printf("// bishops), found by tools/find_magics.cpp.  Data, not code.\n");
    for (int piece = 0; piece < 2; piece++) {
        printf("%s\n", piece == 0 ? "const Bitboard rookMagic[64] = {" : "const Bitboard bishopMagic[64] = {");
        for (int s = 0; s < 64; s++)
            printf("%s0x%016llXULL,%s", s % 4 == 0 ? "    " : " ", (unsigned long long)findMagic(s, piece == 0),
                   s % 4 == 3 ? "\n" : "");
        printf("};\n");
    }
    return 0;
}
