// The hand-crafted evaluation: a weighted sum of the features of
// eval/hce/features.h, with one weight set per number of pieces on the board,
// plus a learned correction per material distribution for 4 to 6 pieces
// (eval/hce/endgame.h).  The weights and corrections are fitted offline by
// tools/fit_hce.cpp, which writes them as the data source eval/hce/weights.cpp.
#pragma once

#include <cstdint>

#include "board/types.h"
#include "eval/hce/endgame.h"
#include "eval/hce/features.h"

inline constexpr int HCE_MIN_PIECES = 4;
inline constexpr int HCE_MAX_PIECES = 32;

// [pieces][feature]: sets 4..32 are used; [pieces][127] is the constant term.
extern const float hce_weights[HCE_MAX_PIECES + 1][MAX_FEATURES];
// [endgame index]: corrections in centipawns for 4, 5 and 6 pieces; entry 0 is 0.
extern const float endgame_corrections4[ENDGAME_KEYS4];
extern const float endgame_corrections5[ENDGAME_KEYS5];
extern const float endgame_corrections6[ENDGAME_KEYS6];

// The correction for the side to move's material against the opponent's
// (4 to 6 pieces): added when our signature is at least theirs, subtracted
// (as the opponent's correction) otherwise.
float endgameTerm(const ColourSet &us, const ColourSet &them);

// Score of the position in centipawns from the side to move's view.  The
// position's AttackInfo must be current (computeAttackInfo).  Two bare kings,
// and a bare king whose every neighbouring square is attacked with its side
// to move, score 0.  Positions with 3 pieces have no weight set (their row is
// all 0, so they score 0); the search scores them by rule before evaluating.
int32_t evaluatePosition(const Position &pos);
