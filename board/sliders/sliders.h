// Attack sets for every piece.
//
// Leaper attacks, empty-board rays and line masks are constant tables computed
// at compile time from their rules.  Sliding attacks come from magic-multiplication
// tables with one fixed shift per piece kind (52 for rooks, 55 for bishops),
// filled once by initSliders() at start-up and checked there against a slow
// reference walk.  Everything is read-only afterwards and shared by all threads.
#pragma once

#include <array>

#include "board/types.h"
#include "generations/generation.h"

namespace detail {

constexpr Bitboard stepIfOnBoard(int square, int file_step, int rank_step) {
    const int f = fileOf(square) + file_step, r = rankOf(square) + rank_step;
    return (f >= 0 && f < 8 && r >= 0 && r < 8) ? bit(r * 8 + f) : 0;
}

constexpr Bitboard leaperAttacks(int square, const int (*steps)[2], int count) {
    Bitboard result = 0;
    for (int i = 0; i < count; i++) result |= stepIfOnBoard(square, steps[i][0], steps[i][1]);
    return result;
}

// Walk from the square in one direction, stopping after the first occupied square.
constexpr Bitboard rayAttacks(int square, int file_step, int rank_step, Bitboard occupancy) {
    Bitboard result = 0;
    int f = fileOf(square) + file_step, r = rankOf(square) + rank_step;
    while (f >= 0 && f < 8 && r >= 0 && r < 8) {
        result |= bit(r * 8 + f);
        if (occupancy & bit(r * 8 + f)) break;
        f += file_step;
        r += rank_step;
    }
    return result;
}

inline constexpr int KING_STEPS[8][2] = {{-1, -1}, {0, -1}, {1, -1}, {-1, 0}, {1, 0}, {-1, 1}, {0, 1}, {1, 1}};
inline constexpr int KNIGHT_STEPS[8][2] = {{-1, -2}, {1, -2}, {-2, -1}, {2, -1}, {-2, 1}, {2, 1}, {-1, 2}, {1, 2}};

template <typename F>
constexpr std::array<Bitboard, 64> bySquare(F rule) {
    std::array<Bitboard, 64> table{};
    for (int s = 0; s < 64; s++) table[s] = rule(s);
    return table;
}

}  // namespace detail

inline constexpr auto kingMoves =
    detail::bySquare([](int s) { return detail::leaperAttacks(s, detail::KING_STEPS, 8); });
inline constexpr auto knightMoves =
    detail::bySquare([](int s) { return detail::leaperAttacks(s, detail::KNIGHT_STEPS, 8); });
inline constexpr auto rookEmptyMoves = detail::bySquare([](int s) {
    return detail::rayAttacks(s, 0, 1, 0) | detail::rayAttacks(s, 0, -1, 0) | detail::rayAttacks(s, 1, 0, 0) |
           detail::rayAttacks(s, -1, 0, 0);
});
inline constexpr auto bishopEmptyMoves = detail::bySquare([](int s) {
    return detail::rayAttacks(s, 1, 1, 0) | detail::rayAttacks(s, -1, 1, 0) | detail::rayAttacks(s, 1, -1, 0) |
           detail::rayAttacks(s, -1, -1, 0);
});
inline constexpr auto queenEmptyMoves = detail::bySquare([](int s) { return rookEmptyMoves[s] | bishopEmptyMoves[s]; });

// [colour][square]
inline constexpr std::array<Bitboard, 64> pawnCaptures[2] = {
    detail::bySquare([](int s) { return detail::stepIfOnBoard(s, -1, -1) | detail::stepIfOnBoard(s, 1, -1); }),
    detail::bySquare([](int s) { return detail::stepIfOnBoard(s, -1, 1) | detail::stepIfOnBoard(s, 1, 1); }),
};
// [colour][square]: the squares ahead of the square on its file.
inline constexpr std::array<Bitboard, 64> forwardRay[2] = {
    detail::bySquare([](int s) { return detail::rayAttacks(s, 0, -1, 0); }),
    detail::bySquare([](int s) { return detail::rayAttacks(s, 0, 1, 0); }),
};
// [colour][square]: own and adjacent files, ranks ahead.
inline constexpr std::array<Bitboard, 64> passedSpan[2] = {
    detail::bySquare([](int s) {
        const Bitboard ahead = detail::rayAttacks(s, 0, -1, 0);
        return ahead | ((ahead << 1) & 0xFEFEFEFEFEFEFEFEULL) | ((ahead >> 1) & 0x7F7F7F7F7F7F7F7FULL);
    }),
    detail::bySquare([](int s) {
        const Bitboard ahead = detail::rayAttacks(s, 0, 1, 0);
        return ahead | ((ahead << 1) & 0xFEFEFEFEFEFEFEFEULL) | ((ahead >> 1) & 0x7F7F7F7F7F7F7F7FULL);
    }),
};
// One bit per line through the square: rank r (bits 0-7), file f (8-15), the
// diagonal towards h8 (16 + 7 - f + r), the anti-diagonal (32 + f + r).
inline constexpr auto lineSignature = detail::bySquare([](int s) {
    const int f = fileOf(s), r = rankOf(s);
    return bit(r) | bit(8 + f) | bit(16 + 7 - f + r) | bit(32 + f + r);
});

// True when one rank, file or diagonal passes through all three squares.
inline bool aligned(int a, int b, int c) { return (lineSignature[a] & lineSignature[b] & lineSignature[c]) != 0; }

static_assert(rookEmptyMoves[0] == 0x01010101010101FEULL);
static_assert(bishopEmptyMoves[0] == 0x8040201008040200ULL);
static_assert(queenEmptyMoves[0] == 0x81412111090503FEULL);
static_assert(forwardRay[WHITE][0] == 0x0101010101010100ULL);
static_assert(passedSpan[WHITE][0] == 0x0303030303030300ULL);
static_assert(lineSignature[0] == 0x0000000100800101ULL);

inline constexpr int ROOK_SHIFT = 52;
inline constexpr int BISHOP_SHIFT = 55;

extern Bitboard rookMask[64];
extern Bitboard bishopMask[64];
extern Bitboard rookMagicMoves[64][4096];
extern Bitboard bishopMagicMoves[64][512];
extern const Bitboard rookMagic[64];
extern const Bitboard bishopMagic[64];

void initSliders();
// Finds collision-free multipliers for the per-square shifts and prints them
// ("0x%08x%08x, " each, then a line end).
void findSquareMagics(Bitboard *magics, const Bitboard *masks, const int32_t *shifts,
                      Bitboard (*reference)(Bitboard, int));

// Slow reference walks, used to fill and verify the magic tables.
Bitboard getRookMoves(Bitboard occupancy, int square);
Bitboard getBishopMoves(Bitboard occupancy, int square);

// Builds for processors with BMI2 find a slot by parallel bit extraction:
// the occupancy bits under the mask, packed, so that the k-th occupancy
// subset lands in slot k.  The others multiply by the square's magic and keep
// the top bits.  The program's CMake call sets VEXAR_PEXT_SLIDERS.
#ifndef VEXAR_PEXT_SLIDERS
#define VEXAR_PEXT_SLIDERS 0
#endif
inline constexpr bool PEXT_SLIDERS = VEXAR_PEXT_SLIDERS;

[[gnu::target("bmi2")]] inline Bitboard parallelExtract(Bitboard value, Bitboard mask) {
    return __builtin_ia32_pext_di(value, mask);
}
// The oldest generations shift each square by 64 minus its mask's bits, with
// multipliers of their own (board/sliders/square_magics.inc), searched for at
// start-up when the table is empty (findSquareMagics).
extern Bitboard rookSquareMagic[64];
extern Bitboard bishopSquareMagic[64];
extern int32_t rookShift[64];
extern int32_t bishopShift[64];

inline unsigned rookSlot(int square, Bitboard occupancy) {
    if constexpr (PEXT_SLIDERS)
        return unsigned(parallelExtract(occupancy, rookMask[square]));
    else if constexpr (GENERATION.square_shift_magics)
        return unsigned(((occupancy & rookMask[square]) * rookSquareMagic[square]) >> rookShift[square]);
    else
        return unsigned(((occupancy & rookMask[square]) * rookMagic[square]) >> ROOK_SHIFT);
}
inline unsigned bishopSlot(int square, Bitboard occupancy) {
    if constexpr (PEXT_SLIDERS)
        return unsigned(parallelExtract(occupancy, bishopMask[square]));
    else if constexpr (GENERATION.square_shift_magics)
        return unsigned(((occupancy & bishopMask[square]) * bishopSquareMagic[square]) >> bishopShift[square]);
    else
        return unsigned(((occupancy & bishopMask[square]) * bishopMagic[square]) >> BISHOP_SHIFT);
}
inline Bitboard rookMoves(int square, Bitboard occupancy) { return rookMagicMoves[square][rookSlot(square, occupancy)]; }
inline Bitboard bishopMoves(int square, Bitboard occupancy) {
    return bishopMagicMoves[square][bishopSlot(square, occupancy)];
}
inline Bitboard queenMoves(int square, Bitboard occupancy) {
    return rookMoves(square, occupancy) | bishopMoves(square, occupancy);
}

// Relevant-occupancy masks: the empty-board rays without the board edges the
// square does not stand on.
inline constexpr Bitboard relevantMask(Bitboard empty_moves, int square) {
    Bitboard mask = empty_moves;
    if (fileOf(square) != 0) mask &= 0xFEFEFEFEFEFEFEFEULL;
    if (fileOf(square) != 7) mask &= 0x7F7F7F7F7F7F7F7FULL;
    if (rankOf(square) != 0) mask &= ~0xFFULL;
    if (rankOf(square) != 7) mask &= 0x00FFFFFFFFFFFFFFULL;
    return mask;
}

// The k-th occupancy subset of a mask: bit j of k keeps the j-th set bit.
inline Bitboard occupancySubset(Bitboard mask, unsigned k) {
    Bitboard subset = 0;
    for (int j = 0; mask; j++, mask = clearLowest(mask))
        if (k & (1u << j)) subset |= mask & (0 - mask);
    return subset;
}
