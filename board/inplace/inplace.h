// Generation 0.3's board: one board changed in place.
//
// The other generations copy the position forward one slot per move
// (board/moves.h).  This board instead makes a move by toggling the squares
// it changes and writes those squares into the ply's history record, so that
// unmaking toggles them back; the state a move cannot give back by toggling
// (en-passant square, castling rights, key, rule-50 counter) lives in each
// ply's record.  Each side's material sum is kept current in both directions.
//
// Its Move keeps the to, from and moving-type fields of the common layout but
// carries the captured type in bits 17-19 and the promotion type in bits
// 20-22.  Moves are generated pseudo-legally and filtered by making them.
//
// Used by generation 0.3's perft (board/perft.cpp) and by the tests, which
// play it side by side with the copy-make board.
#pragma once

#include <cstdint>

#include "board/types.h"

namespace inplace {

// Move layout of generation 0.3 (bit 0 = least significant):
//
//   31..25  24  23  22..20  19..17  16..15  14..12  11..6  5..0
//   ------  --  --  ------  ------  ------  ------  -----  ----
//      0    ep  cas  promo  capture    0    7-type   from    to
using Move03 = uint32_t;

inline constexpr int CAPTURE_SHIFT = 17;
inline constexpr int PROMOTION_SHIFT = 20;
inline constexpr Move03 FLAG_CASTLING = 1u << 23;
inline constexpr Move03 FLAG_EN_PASSANT = 1u << 24;

inline constexpr Move03 makeMove03(int from, int to, int type, int captured = 0, int promotion = 0,
                                   Move03 flags = 0) {
    return Move03(to) | Move03(from) << 6 | Move03(7 - type) << 12 | Move03(captured) << CAPTURE_SHIFT |
           Move03(promotion) << PROMOTION_SHIFT | flags;
}
inline constexpr int to03(Move03 m) { return int(m & 63); }
inline constexpr int from03(Move03 m) { return int((m >> 6) & 63); }
inline constexpr int piece03(Move03 m) { return 7 - int((m >> 12) & 7); }
inline constexpr int captured03(Move03 m) { return int((m >> CAPTURE_SHIFT) & 7); }
inline constexpr int promotion03(Move03 m) { return int((m >> PROMOTION_SHIFT) & 7); }

static_assert(makeMove03(12, 28, PAWN) == (28u | 12u << 6 | 6u << 12));
static_assert(captured03(makeMove03(0, 1, KNIGHT, ROOK)) == ROOK);
static_assert(promotion03(makeMove03(52, 61, PAWN, BISHOP, QUEEN)) == QUEEN);
static_assert(captured03(makeMove03(52, 61, PAWN, BISHOP, QUEEN)) == BISHOP);
static_assert(piece03(makeMove03(4, 6, KING, 0, 0, FLAG_CASTLING)) == KING);

// One ply's record, seven words.  The first three are written when a move is
// made from this ply (the squares it toggled); the rest is the state of the
// ply's position, written by the move that led to it.
struct HistoryRecord {
    Bitboard mover;       // from and to squares of the moving piece
    Bitboard rook;        // the castling rook's from and to squares, else 0
    Bitboard captured;    // square of the captured piece, else 0
    Bitboard en_passant;  // en-passant target square of this ply, 0 if none
    Bitboard castling;    // castling rights: the king and rook squares that have not moved
    uint64_t key;         // Zobrist key of this ply's position
    uint64_t counters;    // bits 0-31 rule-50 counter of this ply, 32-63 the move made from it
};
static_assert(sizeof(HistoryRecord) == 7 * 8);

inline constexpr int HISTORY_SIZE = 1024;

struct Board {
    Bitboard pieces[2][7];  // [colour][type]; [colour][0] is the union of the colour's pieces
    Bitboard occupied;
    int32_t side;           // colour to move
    int32_t ply;            // index of the current history record
    int32_t material[2];    // [colour] sum of the piece values of the colour's pieces (kings count 0)
    HistoryRecord history[HISTORY_SIZE];
};

inline constexpr int MAX_MOVES03 = 256;
struct MoveList03 {
    Move03 list[MAX_MOVES03];
    int32_t count;
};

// Sets the board from a position of the copy-make game (its current ply
// becomes record 0).
void setBoard(Board &board, const Position &pos);
inline HistoryRecord &current(Board &board) { return board.history[board.ply]; }
inline const HistoryRecord &current(const Board &board) { return board.history[board.ply]; }

// True when a piece of colour `by` attacks the square.
bool attacked(const Board &board, int square, int by);
inline bool inCheck(const Board &board) {
    return attacked(board, lowestSquare(board.pieces[board.side][KING]), 1 - board.side);
}
// Every legal move of the side to move.
void generateLegalMoves(Board &board, MoveList03 &moves);
// Makes a move in place (the caller keeps ply < HISTORY_SIZE - 1).
void makeMove(Board &board, Move03 move);
// Takes the last move back.
void unmakeMove(Board &board);

// From scratch, for checks: the key and a colour's material sum.
uint64_t computeKey(const Board &board);
int32_t computeMaterial(const Board &board, int colour);

// Legal move paths of length `depth` (depth >= 1).
uint64_t perft(Board &board, int depth);
// "e2e4", "e7e8q"; `text` needs 6 bytes.
void moveText(Move03 move, char *text);

}  // namespace inplace
