// Generation 0.8's first layer: the Accumulator of a position holds, per
// perspective, the biases plus the king-relative rows of every piece other
// than the kings.  Any king move changes every row of its perspective, so
// makeMove refreshes after king moves (and after promotions and en-passant
// captures); other moves add and subtract rows as in generation 0.9.
#include <bit>
#include <cmath>
#include <cstring>

#include "network/kernels.h"
#include "network/network_king.h"

static const float *row(int perspective, int king_square, int colour, int type, int square) {
    return king_network.feature_weights[kingFeatureRow(perspective, king_square, colour, type, square)];
}

void refreshAccumulator(Accumulator &acc, const Bitboard white[6], const Bitboard black[6]) {
    constexpr int KING_BOARD = 5;  // the piece bitboards are indexed by type - 1
    const int kings[2] = {std::countr_zero(white[KING_BOARD]), std::countr_zero(black[KING_BOARD])};
    for (int p = 0; p < 2; ++p) {
        memcpy(acc.half[p], king_network.feature_biases, sizeof acc.half[p]);
        for (int colour = 1; colour >= 0; --colour) {  // white pieces first, as in generation 0.9
            const Bitboard *pieces = colour == 1 ? white : black;
            for (int type = 1; type <= 5; ++type)
                for (Bitboard b = pieces[type - 1]; b != 0; b &= b - 1)
                    kernelAddRow(acc.half[p], row(p, kings[p], colour, type, std::countr_zero(b)));
        }
    }
}

void updateAccumulator(Accumulator &dst, const Accumulator &src, int colour, int type, int from, int to,
                       int captured, const int king_squares[2]) {
    // king_squares[c] is colour c's king (BLACK = 0); perspective 0 is White's.
    for (int p = 0; p < 2; ++p) {
        const int king = king_squares[p == 0 ? 1 : 0];
        kernelAddSub(dst.half[p], src.half[p], row(p, king, colour, type, to), row(p, king, colour, type, from));
        if (captured != 0) kernelSubRow(dst.half[p], row(p, king, colour ^ 1, captured, to));
    }
}

int32_t evaluateNetwork(const Accumulator &acc, int perspective) {
    const float *us = acc.half[perspective], *them = acc.half[perspective ^ 1];
    const float scaled = kernelForwardClipped(king_network, king_network_columns, us, them) * 100.0f;
    if (scaled >= EVAL_LIMIT) return EVAL_LIMIT;
    if (scaled <= -EVAL_LIMIT) return -EVAL_LIMIT;
    return std::isnan(scaled) ? 0 : static_cast<int32_t>(scaled);
}
