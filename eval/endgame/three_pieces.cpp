#include "eval/endgame/three_pieces.h"

#include <cstdlib>

#include "board/sliders/sliders.h"
#include "eval/endgame/kpk.h"


static constexpr int THREE_PIECE_BASE = 13000;

static int kingDistance(int a, int b) {
    const int df = std::abs(fileOf(a) - fileOf(b)), dr = std::abs(rankOf(a) - rankOf(b));
    return df > dr ? df : dr;
}

// Rank of a pawn counted from its own side (0..7).
static int relativeRank(int square, int colour) { return colour == WHITE ? rankOf(square) : 7 - rankOf(square); }

int score_three_pieces(const ColourSet &us, const ColourSet &them, int &score) {
    const Bitboard their_pieces = them.bb[0] & ~them.bb[KING];
    if (their_pieces & kingMoves[us.king_square] & ~kingMoves[them.king_square]) {
        score = 0;
        return 1;
    }
    if (us.bb[KNIGHT] | us.bb[BISHOP] | them.bb[KNIGHT] | them.bb[BISHOP]) {
        score = 0;
        return 1;
    }
    int base = popCount(us.bb[0]) > popCount(them.bb[0]) ? THREE_PIECE_BASE : -THREE_PIECE_BASE;
    if (us.bb[PAWN]) {
        const int pawn = lowestSquare(us.bb[PAWN]);
        if (kpkIsDraw(us.king_square, them.king_square, pawn, us.colour, true)) {
            score = 0;
            return 1;
        }
        base += 10 * relativeRank(pawn, us.colour) - kingDistance(pawn, us.king_square);
    }
    if (them.bb[PAWN]) {
        const int pawn = lowestSquare(them.bb[PAWN]);
        if (kpkIsDraw(them.king_square, us.king_square, pawn, them.colour, false)) {
            score = 0;
            return 1;
        }
        base -= 10 * relativeRank(pawn, them.colour) - kingDistance(pawn, them.king_square);
    }
    score = base + 100 * (popCount(us.bb[PAWN]) - popCount(them.bb[PAWN])) +
            500 * (popCount(us.bb[ROOK]) - popCount(them.bb[ROOK])) +
            900 * (popCount(us.bb[QUEEN]) - popCount(them.bb[QUEEN]));
    if (!(us.bb[PAWN] | them.bb[PAWN])) score += 10 * (king_centre[us.king_square] - king_centre[them.king_square]);
    return 1;
}

int threePieceEvaluation(const Position &pos, int score) {
    const int closeness = 7 - kingDistance(pos.us->king_square, pos.them->king_square);
    return score > 0 ? score + 10 * closeness : score - 10 * closeness;
}
