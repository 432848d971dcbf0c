// King and pawn against king: exact draw recognition from a stored table.
//
// kpk_bitbase holds one bit per position of the ending (196608 bits in 3072
// words); a set bit means the position is a draw with best play.  Positions
// are stored in a normalised frame in which the pawn side plays up the board
// and its pawn stands on files a-d: a black pawn side is flipped top to bottom
// (square ^ 56) and a pawn on files e-h is then flipped left to right
// (square ^ 7).  With S the pawn side's king, W the other king, m = 1 when the
// pawn side is to move, and the pawn on file f (0..3) and rank r (1..6), the
// bit number is S + 64 * (W + 64 * (m + 2 * (f + 4 * (6 - r)))).  Bits of
// impossible positions (touching kings, a king on the pawn, the side not to
// move in check) are 0.  The table is produced offline by tools/kpk_gen.cpp.
#pragma once

#include <cstdint>

extern const uint64_t kpk_bitbase[3072];

// Squares are real board squares (a1 = 0 ... h8 = 63); pawn_side_colour is
// BLACK (0) or WHITE (1).  The position must be legal.
bool kpkIsDraw(int pawn_side_king, int other_king, int pawn_square, int pawn_side_colour, bool pawn_side_to_move);
