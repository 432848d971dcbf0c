// Zobrist keys from the published Polyglot random table: piece entries
// 128 * (type - 1) + 64 * colour + square, castling 768-771, en-passant file
// 772-779, side to move (white) 780.
#pragma once

#include <cstdint>

#include "board/types.h"

inline constexpr uint64_t polyglotRandom[781] = {
#include "board/polyglot_random.inc"
};

inline constexpr int ZOBRIST_CASTLING = 768;
inline constexpr int ZOBRIST_EN_PASSANT = 772;
inline constexpr int ZOBRIST_WHITE_TO_MOVE = 780;

inline constexpr uint64_t pieceKey(int colour, int type, int square) {
    return polyglotRandom[128 * (type - 1) + 64 * colour + square];
}

inline constexpr Bitboard WHITE_KING_SIDE = bit(4) | bit(7);
inline constexpr Bitboard WHITE_QUEEN_SIDE = bit(0) | bit(4);
inline constexpr Bitboard BLACK_KING_SIDE = bit(60) | bit(63);
inline constexpr Bitboard BLACK_QUEEN_SIDE = bit(56) | bit(60);

// XOR of the castling entries of the rights that a castling bitboard holds.
inline constexpr uint64_t castleKeys(Bitboard castling) {
    uint64_t key = 0;
    if ((castling & WHITE_KING_SIDE) == WHITE_KING_SIDE) key ^= polyglotRandom[ZOBRIST_CASTLING + 0];
    if ((castling & WHITE_QUEEN_SIDE) == WHITE_QUEEN_SIDE) key ^= polyglotRandom[ZOBRIST_CASTLING + 1];
    if ((castling & BLACK_KING_SIDE) == BLACK_KING_SIDE) key ^= polyglotRandom[ZOBRIST_CASTLING + 2];
    if ((castling & BLACK_QUEEN_SIDE) == BLACK_QUEEN_SIDE) key ^= polyglotRandom[ZOBRIST_CASTLING + 3];
    return key;
}

static_assert(polyglotRandom[ZOBRIST_WHITE_TO_MOVE] == 0xF8D626AAAF278509ULL);
static_assert(castleKeys(WHITE_KING_SIDE) == 0x31D71DCE64B2C310ULL);
