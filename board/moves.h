// Move generation and making moves (copy-make).
//
// computeAttackInfo fills both colours' AttackInfo and the slider attack sets
// of a Position; generateMoves then lists every legal move in one pass, in a
// fixed order, each Move carrying its capture, promotion, check and threat
// bits.  makeMove copies the leading part of the current slot into the next
// one and updates key, castling rights, en passant, rule-50 counter and the
// Accumulator incrementally; unmakeMove steps back to the previous slot.
#pragma once

#include "board/types.h"

void computeAttackInfo(Position &pos);
void generateMoves(PositionStack &stack, Position &pos);
// The number of moves generateMoves would list, without building them (the
// last ply of perft).  Leaves the position's move list empty.
int countLegalMoves(PositionStack &stack, Position &pos);

// Restricted generation for the quiescence search: the same steps, order and
// flags, without castling.  Promotions and en passant are always produced;
// GENERATE_FLAGGED keeps other moves only if they carry a capture, check or
// threat bit, GENERATE_CAPTURES only captures, GENERATE_RECAPTURES only moves
// to the square on which the previous move landed (none at the root or
// after a null move).
enum GenerationMode { GENERATE_ALL, GENERATE_FLAGGED, GENERATE_CAPTURES, GENERATE_RECAPTURES };
void generateMovesOfMode(PositionStack &stack, Position &pos, GenerationMode mode);
Bitboard kingTargets(const Position &pos, const AttackInfo &our, Bitboard their_attacks, int king_square);
void generatePromotions(Position &pos, const AttackInfo &our);
void generateEnPassant(PositionStack &stack, Position &pos);
void generateCastling(Position &pos, Bitboard our_checkers, const AttackInfo &their);

void makeMove(PositionStack &stack, Move move);
// The board and key alone: no prefetch of the new position's table bucket and
// no Accumulator update, for callers that neither probe the table nor evaluate
// (perft, legality tests).  The next slot's Accumulator is left
// stale; any later makeMove into that slot writes it afresh.
void makeMoveBoardOnly(PositionStack &stack, Move move);
void makeNullMove(PositionStack &stack);
inline void unmakeMove(PositionStack &stack) { stack.current = stack.current->previous; }

// Key of a position computed from scratch (pieces, castling, en passant, side).
uint64_t computeKey(const Position &pos);
// True when a piece of `by` attacks the square, with the given occupancy.
bool squareAttacked(const Position &pos, int square, int by, Bitboard occupancy);
