// First-layer sums (refresh and incremental update) and the evaluation entry
// point.  The lane arithmetic lives in the kernel set the program links.
#include <bit>
#include <cmath>
#include <cstring>

#include "network/kernels.h"
#include "network/network.h"

static const float *weightRow(int row) { return network.feature_weights[row]; }

// Adds the rows of every piece of one colour to both halves: piece types
// PAWN..KING, squares from the lowest set bit up.
static void addPieces(Accumulator &acc, int colour, const Bitboard pieces[6]) {
    for (int type = 1; type <= 6; ++type) {
        for (Bitboard b = pieces[type - 1]; b != 0; b &= b - 1) {
            const int square = std::countr_zero(b);
            kernelAddRow(acc.half[0], weightRow(featureRow(0, colour, type, square)));
            kernelAddRow(acc.half[1], weightRow(featureRow(1, colour, type, square)));
        }
    }
}

void refreshAccumulator(Accumulator &acc, const Bitboard white[6], const Bitboard black[6]) {
    memcpy(acc.half[0], network.feature_biases, sizeof acc.half[0]);
    memcpy(acc.half[1], network.feature_biases, sizeof acc.half[1]);
    addPieces(acc, 1, white);
    addPieces(acc, 0, black);
}

// The rows do not depend on the kings' squares here.
void updateAccumulator(Accumulator &dst, const Accumulator &src, int colour, int type, int from, int to,
                       int captured, const int[2]) {
    for (int p = 0; p < 2; ++p) {
        kernelAddSub(dst.half[p], src.half[p], weightRow(featureRow(p, colour, type, to)),
                     weightRow(featureRow(p, colour, type, from)));
        if (captured != 0) {
            kernelSubRow(dst.half[p], weightRow(featureRow(p, colour ^ 1, captured, to)));
        }
    }
}

int32_t evaluateNetwork(const Accumulator &acc, int perspective) {
    const float v = kernelForward(network, network_columns, acc.half[perspective], acc.half[perspective ^ 1]);
    const float scaled = v * 100.0f;
    // Truncation towards zero, then the clamp to +-EVAL_LIMIT.  The limit is a
    // whole number, so clamping the float first gives the same score and keeps
    // the conversion defined for any output; a NaN output scores 0.
    if (scaled >= EVAL_LIMIT) return EVAL_LIMIT;
    if (scaled <= -EVAL_LIMIT) return -EVAL_LIMIT;
    return std::isnan(scaled) ? 0 : static_cast<int32_t>(scaled);
}
