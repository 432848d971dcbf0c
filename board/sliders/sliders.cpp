#include "board/sliders/sliders.h"

#include "uci/output.h"

Bitboard rookMask[64];
Bitboard bishopMask[64];
Bitboard rookMagicMoves[64][4096];
Bitboard bishopMagicMoves[64][512];

#include "board/sliders/magics.inc"

// One step from `from` to `to` stays on the board when `to` is a square and
// neither its file nor its rank jumps by more than two (no wrap-around).
static bool stepOnBoard(int from, int to) {
    if (to < 0 || to > 63) return false;
    const int df = fileOf(to) - fileOf(from), dr = rankOf(to) - rankOf(from);
    return df >= -2 && df <= 2 && dr >= -2 && dr <= 2;
}

static Bitboard walkDirections(Bitboard occupancy, int square, const int (&deltas)[4]) {
    Bitboard result = 0;
    for (int delta : deltas) {
        for (int from = square, to = square + delta; stepOnBoard(from, to); from = to, to += delta) {
            result |= bit(to);
            if (occupancy & bit(to)) break;
        }
    }
    return result;
}

Bitboard getRookMoves(Bitboard occupancy, int square) {
    static const int deltas[4] = {8, -8, 1, -1};
    return walkDirections(occupancy, square, deltas);
}

Bitboard getBishopMoves(Bitboard occupancy, int square) {
    static const int deltas[4] = {9, 7, -7, -9};
    return walkDirections(occupancy, square, deltas);
}

void initSliders() {
    for (int square = 0; square < 64; square++) rookMask[square] = relevantMask(rookEmptyMoves[square], square);
    for (int square = 0; square < 64; square++) bishopMask[square] = relevantMask(bishopEmptyMoves[square], square);

    for (int square = 0; square < 64; square++) {
        const int bits = popCount(rookMask[square]);
        VEXAR_ASSERT(bits >= 10 && bits <= 12, "sliders");
        for (unsigned k = 0; k < (1u << bits); k++) {
            const Bitboard occupancy = occupancySubset(rookMask[square], k);
            rookMagicMoves[square][(occupancy * rookMagic[square]) >> ROOK_SHIFT] =
                getRookMoves(occupancy, square);
            const Bitboard moves = rookMoves(square, occupancy);
            VEXAR_ASSERT(moves == getRookMoves(occupancy, square), "sliders");
        }
    }
    for (int square = 0; square < 64; square++) {
        const int bits = popCount(bishopMask[square]);
        VEXAR_ASSERT(bits >= 5 && bits <= 9, "sliders");
        for (unsigned k = 0; k < (1u << bits); k++) {
            const Bitboard occupancy = occupancySubset(bishopMask[square], k);
            bishopMagicMoves[square][(occupancy * bishopMagic[square]) >> BISHOP_SHIFT] =
                getBishopMoves(occupancy, square);
            const Bitboard moves = bishopMoves(square, occupancy);
            VEXAR_ASSERT(moves == getBishopMoves(occupancy, square), "sliders");
        }
    }
}
