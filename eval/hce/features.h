// The feature vector of the hand-crafted evaluation.
//
// 127 integer features describe a position from the side to move's point of
// view; almost all are a count for `us` minus the same count for `them`.  The
// evaluation (eval/hce/evaluate.h) weighs them with one weight set per piece
// count, and the weight fitter (tools/fit_hce.cpp) computes the same vector
// for its training positions.  Everything is read from the ColourSets, the
// pawn classes and both sides' AttackInfo (computeAttackInfo must have run on
// the position); nothing is allocated.
//
// Layout ([index] feature):
//   0          pieces, kings included
//   1          bare king (1 if only the king is left)
//   2 + 2(r-2) opposed pawns on relative rank r = 2..7   (feature 12 cannot occur)
//   3 + 2(r-2) passed pawns on relative rank r = 2..7
//   14 + 7(t-2) + b   pieces of type t = KNIGHT..KING on corner band b = 0..6
//   49 + 10(k-1) + 2(v-1)   type-k attacks on the enemy's type-v pieces (threats)
//   50 + 10(k-1) + 2(v-1)   type-k attacks on own type-v pieces (defences), them - us
//   109        pawn pushes to safe squares
//   110..114   safe mobility of knights, bishops, rooks, queens, king
//   115, 116   doubled, isolated pawns
//   117..121   pinned pawns, knights, bishops, rooks, queens
//   122        centre occupation and control
//   123        king cover
//   124        queen pressure on the enemy king's neighbourhood, them - us
//   125        attack weight on the enemy king's neighbourhood, them - us
//   126        check squares
//   127        constant input 1 for the weight set's constant term
#pragma once

#include <array>
#include <cstdint>

#include "board/types.h"

inline constexpr int MAX_FEATURES = 128;
inline constexpr int HCE_FEATURE_COUNT = MAX_FEATURES - 1;

inline constexpr int FEATURE_PIECES = 0;
inline constexpr int FEATURE_BARE_KING = 1;
inline constexpr int featureOpposed(int relative_rank) { return 2 + 2 * (relative_rank - 2); }
inline constexpr int featurePassed(int relative_rank) { return 3 + 2 * (relative_rank - 2); }
inline constexpr int featureBand(int type, int band) { return 14 + 7 * (type - KNIGHT) + band; }
inline constexpr int featureThreat(int attacker, int victim) { return 49 + 10 * (attacker - 1) + 2 * (victim - 1); }
inline constexpr int featureDefence(int attacker, int victim) { return featureThreat(attacker, victim) + 1; }
inline constexpr int FEATURE_SAFE_PUSHES = 109;
inline constexpr int featureMobility(int type) { return 110 + type - KNIGHT; }
inline constexpr int FEATURE_DOUBLED = 115;
inline constexpr int FEATURE_ISOLATED = 116;
inline constexpr int featurePinned(int type) { return 117 + type - PAWN; }
inline constexpr int FEATURE_CENTRE = 122;
inline constexpr int FEATURE_KING_COVER = 123;
inline constexpr int FEATURE_QUEEN_PRESSURE = 124;
inline constexpr int FEATURE_KING_ATTACK = 125;
inline constexpr int FEATURE_CHECK_SQUARES = 126;
inline constexpr int FEATURE_CONSTANT = 127;
static_assert(featureDefence(KING, QUEEN) == 108 && featureBand(KING, 6) == 48);

// Corner bands: band(s) is the Manhattan distance from s to the nearest
// corner, 0 (a1, h1, a8, h8) to 6 (d4, e4, d5, e5).  [band]
inline constexpr std::array<Bitboard, 7> cornerBands = [] {
    std::array<Bitboard, 7> bands{};
    for (int s = 0; s < 64; s++) {
        const int f = fileOf(s) < 4 ? fileOf(s) : 7 - fileOf(s);
        const int r = rankOf(s) < 4 ? rankOf(s) : 7 - rankOf(s);
        bands[f + r] |= bit(s);
    }
    return bands;
}();
static_assert(cornerBands[0] == 0x8100000000000081ULL && cornerBands[3] == 0x1824428181422418ULL &&
              cornerBands[6] == 0x0000001818000000ULL);

// [colour] the centre squares a side counts as its own: c3-f4 for White,
// c5-f6 for Black.
inline constexpr Bitboard CENTRE_REGION[2] = {0x00003C3C00000000ULL, 0x000000003C3C0000ULL};

// What the evaluation needs to know about one side's pawns.  `opposed` and
// `passed` split the pawns by whether an enemy pawn stands ahead of them on
// the same or an adjacent file; `doubled` pawns have an own pawn ahead on
// their file; `isolated` pawns have no own pawn on an adjacent file.
struct PawnClasses {
    Bitboard opposed;
    Bitboard passed;
    Bitboard doubled;
    Bitboard isolated;
};

PawnClasses computePawnClasses(const ColourSet &side, const ColourSet &enemy);

// Fills features[0..126] for `us` against `them` and features[127] with the
// constant input 1.  When we have only the king and every square around it
// is attacked, features 0..126 are all 0.
void computeFeatures(const ColourSet &us, const ColourSet &them, const AttackInfo &our_info,
                     const AttackInfo &their_info, const PawnClasses &our_pawns, const PawnClasses &their_pawns,
                     int32_t features[MAX_FEATURES]);

// The same for the side to move of a position whose AttackInfo is current.
void computePositionFeatures(const Position &pos, int32_t features[MAX_FEATURES]);

// True when the side has only its king left and the enemy attacks every
// square next to it.
bool bareKingSurrounded(const ColourSet &side, const AttackInfo &enemy_info);
