// Final scores for positions with exactly three pieces (two kings and one
// other): exact draws for a lone minor piece, for a piece the side to move can
// take, and for drawn king-and-pawn endings (from the KPK table); otherwise a
// large non-mate score that pushes the stronger side to make progress.
#pragma once

#include "board/types.h"

// Writes the score for the side to move; returns non-zero (it always scores).
int score_three_pieces(const ColourSet &us, const ColourSet &them, int &score);
