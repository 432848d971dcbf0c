// Move ordering and static exchange.
//
// The packed Move carries most of the order: (move & 0x1FFF0000) ranks the
// hash mark, promotion, capture and check/threat flags, and the piece field
// holds 7 - type so a cheaper mover compares higher.  compare_moves adds the
// demotion of losing captures, history for quiet moves, a from-to table that
// prefers central targets, and a side-relative square tie-break.  Selection
// is lazy: each step of a move loop picks the best remaining move.
#pragma once

#include <cstdint>

#include "board/types.h"

extern uint8_t from_to_order[4096];  // [from * 64 + to]
extern uint8_t reductions[64][64];   // [remaining depth][move number]

void initOrderingTables();

// Index of a move in one colour's history table: (7 - type) * 64 + to.
inline int historyIndex(Move m) { return int(((m >> 6) & 0x1C0) | (m & 63)); }

// Positive when a is to be searched before b.
int compare_moves(const Position &pos, const int32_t *history, Move a, Move b);
// Material balance of the capture sequence on the move's target square, or 0
// for positions it does not handle (kings near the square, en passant set,
// pawn recaptures onto the last rank, pinned participants).
int see(const Position &pos, Move move);

// Swaps into position i the best remaining move by compare_moves.
void selectMove(const Position &pos, MoveList &moves, const int32_t *history, int i);
// The same at the root: hash mark first, then more nodes spent, then compare_moves.
void selectRootMove(const Position &pos, MoveList &moves, const int32_t *history, const uint64_t *root_nodes, int i);
// The same by signed Move value with the side-relative mirror (quiescence and capture probe).
void selectByValue(const Position &pos, MoveList &moves, int i);
