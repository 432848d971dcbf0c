// Final scores for positions with exactly three pieces (two kings and one
// other): exact draws for a lone minor piece, for a piece the side to move can
// take, and for drawn king-and-pawn endings (from the KPK table); otherwise a
// large non-mate score that pushes the stronger side to make progress.
#pragma once

#include "board/types.h"

// [square], rank 1 first: how central a king stands (the three-piece scorer
// and the tablebase scores of the search).
inline constexpr int8_t king_centre[64] = {
    0, 0, 0, 0, 0, 0, 0, 0,  //
    0, 2, 2, 2, 2, 2, 2, 0,  //
    0, 2, 5, 5, 5, 5, 2, 0,  //
    0, 2, 5, 6, 6, 5, 2, 0,  //
    0, 2, 5, 6, 6, 5, 2, 0,  //
    0, 2, 5, 5, 5, 5, 2, 0,  //
    0, 2, 2, 2, 2, 2, 2, 0,  //
    0, 0, 0, 0, 0, 0, 0, 0,  //
};

// Writes the score for the side to move; returns non-zero (it always scores).
int score_three_pieces(const ColourSet &us, const ColourSet &them, int &score);

// True when the search goes on below a three-piece node instead of taking the
// scorer's answer as final: a king with a queen or a rook against a bare king
// that is not simply a lost piece (score 0).  The score then serves as the
// node's static evaluation, and the search finds the mate.
inline bool searchOnThreePieces(const Position &pos, int score) {
    const Bitboard heavy = pos.set[0].bb[QUEEN] | pos.set[0].bb[ROOK] | pos.set[1].bb[QUEEN] | pos.set[1].bb[ROOK];
    return score != 0 && heavy != 0;
}

// Static evaluation of such a node: the scorer's value, plus a pull of the
// stronger king towards the bare one (10 per square closer), which the mate
// needs and the scorer's centre term alone does not give.
int threePieceEvaluation(const Position &pos, int score);
