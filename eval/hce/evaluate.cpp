#include "eval/hce/evaluate.h"

#include "io/output.h"

float endgameTerm(const ColourSet &us, const ColourSet &them) {
    const int pieces = popCount(us.bb[0] | them.bb[0]);
    const float *corrections = pieces == 4   ? endgame_corrections4
                               : pieces == 5 ? endgame_corrections5
                                             : endgame_corrections6;
    const int index = signedEndgameIndex(us, them);
    return index >= 0 ? corrections[index] : -corrections[-index];
}

int32_t evaluatePosition(const Position &pos) {
    const ColourSet &us = *pos.us, &them = *pos.them;
    const int pieces = popCount(pos.occupied);
    VEXAR_ASSERT(pieces >= 2 && pieces <= HCE_MAX_PIECES, "evaluation");
    if (pieces == 2) return 0;
    if (bareKingSurrounded(us, pos.attack_info[them.colour])) return 0;

    int32_t features[MAX_FEATURES];
    computePositionFeatures(pos, features);

    float sum = 0.0f;
    if (pieces >= ENDGAME_MIN_PIECES && pieces <= ENDGAME_MAX_PIECES) sum = endgameTerm(us, them);
    // Four partial sums over the 128 terms, the last of them the constant
    // (features[127] is 1).
    const float *weights = hce_weights[pieces];
    float lanes[4] = {0.0f, 0.0f, 0.0f, 0.0f};
    for (int i = 0; i < MAX_FEATURES; i += 4)
        for (int j = 0; j < 4; j++) lanes[j] += float(features[i + j]) * weights[i + j];
    sum += (lanes[0] + lanes[1]) + (lanes[2] + lanes[3]);
    return int32_t(sum);
}
