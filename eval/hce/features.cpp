#include "eval/hce/features.h"

#include "board/sliders/sliders.h"

static constexpr Bitboard FILE_A = 0x0101010101010101ULL;
static constexpr Bitboard FILE_H = 0x8080808080808080ULL;

static inline Bitboard northFill(Bitboard b) {
    b |= b << 8;
    b |= b << 16;
    return b | b << 32;
}
static inline Bitboard southFill(Bitboard b) {
    b |= b >> 8;
    b |= b >> 16;
    return b | b >> 32;
}
static inline Bitboard adjacentFiles(Bitboard b) { return ((b << 1) & ~FILE_A) | ((b >> 1) & ~FILE_H); }
static inline Bitboard withAdjacentFiles(Bitboard b) { return b | adjacentFiles(b); }

// Squares strictly behind the given pieces on their files, as seen by a side
// moving in direction `colour` (White north): a pawn of that side on one of
// them has one of the pieces ahead of it.
static inline Bitboard behind(Bitboard pieces, int colour) {
    return colour == WHITE ? southFill(pieces >> 8) : northFill(pieces << 8);
}

PawnClasses computePawnClasses(const ColourSet &side, const ColourSet &enemy) {
    const Bitboard pawns = side.bb[PAWN];
    const int colour = side.colour;
    PawnClasses classes;
    classes.opposed = pawns & withAdjacentFiles(behind(enemy.bb[PAWN], colour));
    classes.passed = pawns & ~classes.opposed;
    classes.doubled = pawns & behind(pawns, colour);
    const Bitboard files = northFill(southFill(pawns));
    classes.isolated = pawns & ~adjacentFiles(files);
    return classes;
}

bool bareKingSurrounded(const ColourSet &side, const AttackInfo &enemy_info) {
    return side.bb[0] == side.bb[KING] && (kingMoves[side.king_square] & ~enemy_info.attacks) == 0;
}

// [type] the side's attacks by piece type, [0] all of them.
static inline void attacksByType(const AttackInfo &info, Bitboard attacks[7]) {
    attacks[0] = info.attacks;
    attacks[PAWN] = info.pawn_attacks;
    attacks[KNIGHT] = info.knight_attacks;
    attacks[BISHOP] = info.bishop_attacks;
    attacks[ROOK] = info.rook_attacks;
    attacks[QUEEN] = info.queen_attacks;
    attacks[KING] = info.king_attacks;
}

static inline Bitboard relativeRank(int colour, int relative_rank) {
    const int rank = colour == WHITE ? relative_rank - 1 : 8 - relative_rank;
    return Bitboard(0xFF) << (8 * rank);
}

// King-zone attack weight of each attacker type (the king adds nothing).
static constexpr int KING_ZONE_VALUE[7] = {0, 100, 300, 300, 500, 900, 0};

void computeFeatures(const ColourSet &us, const ColourSet &them, const AttackInfo &our_info,
                     const AttackInfo &their_info, const PawnClasses &our_pawns, const PawnClasses &their_pawns,
                     int32_t features[MAX_FEATURES]) {
    int32_t *f = features;
    f[FEATURE_CONSTANT] = 1;
    if (bareKingSurrounded(us, their_info)) {
        for (int i = 0; i < HCE_FEATURE_COUNT; i++) f[i] = 0;
        return;
    }
    const ColourSet *side[2] = {&us, &them};
    Bitboard attacks[2][7];
    attacksByType(our_info, attacks[0]);
    attacksByType(their_info, attacks[1]);
    const Bitboard occupied = us.bb[0] | them.bb[0];

    f[FEATURE_PIECES] = popCount(us.bb[0]) - popCount(them.bb[0]);
    f[FEATURE_BARE_KING] = int(us.bb[0] == us.bb[KING]) - int(them.bb[0] == them.bb[KING]);

    for (int r = 2; r <= 7; r++) {
        const Bitboard mine = relativeRank(us.colour, r), theirs = relativeRank(them.colour, r);
        f[featureOpposed(r)] = popCount(our_pawns.opposed & mine) - popCount(their_pawns.opposed & theirs);
        f[featurePassed(r)] = popCount(our_pawns.passed & mine) - popCount(their_pawns.passed & theirs);
    }

    for (int t = KNIGHT; t <= KING; t++)
        for (int b = 0; b < 7; b++)
            f[featureBand(t, b)] = popCount(us.bb[t] & cornerBands[b]) - popCount(them.bb[t] & cornerBands[b]);

    for (int k = PAWN; k <= KING; k++)
        for (int v = PAWN; v <= QUEEN; v++) {
            f[featureThreat(k, v)] = popCount(attacks[0][k] & them.bb[v]) - popCount(attacks[1][k] & us.bb[v]);
            f[featureDefence(k, v)] = popCount(attacks[1][k] & them.bb[v]) - popCount(attacks[0][k] & us.bb[v]);
        }

    // [0] us, [1] them: the empty squares the other side does not attack.
    const Bitboard safe[2] = {~occupied & ~attacks[1][0], ~occupied & ~attacks[0][0]};
    int32_t counts[2][8] = {};
    for (int s = 0; s < 2; s++) {
        const ColourSet &own = *side[s];
        const Bitboard pushed = own.colour == WHITE ? own.bb[PAWN] << 8 : own.bb[PAWN] >> 8;
        counts[s][0] = popCount(pushed & safe[s]);
        for (int t = KNIGHT; t <= KING; t++) counts[s][t - 1] = popCount(attacks[s][t] & safe[s]);
    }
    f[FEATURE_SAFE_PUSHES] = counts[0][0] - counts[1][0];
    for (int t = KNIGHT; t <= KING; t++) f[featureMobility(t)] = counts[0][t - 1] - counts[1][t - 1];

    f[FEATURE_DOUBLED] = popCount(our_pawns.doubled) - popCount(their_pawns.doubled);
    f[FEATURE_ISOLATED] = popCount(our_pawns.isolated) - popCount(their_pawns.isolated);
    for (int t = PAWN; t <= QUEEN; t++)
        f[featurePinned(t)] = popCount(our_info.pinned & us.bb[t]) - popCount(their_info.pinned & them.bb[t]);

    int32_t centre[2] = {0, 0}, cover[2] = {0, 0}, pressure[2] = {0, 0}, zone_attack[2] = {0, 0};
    for (int s = 0; s < 2; s++) {
        const ColourSet &own = *side[s];
        const Bitboard *own_attacks = attacks[s];
        const Bitboard region = CENTRE_REGION[own.colour];
        centre[s] = popCount(own.bb[0] & region);
        for (int t = PAWN; t <= KING; t++) centre[s] += popCount(own_attacks[t] & region);

        const Bitboard own_zone = kingMoves[own.king_square];
        const Bitboard guards = own.bb[0] | own_attacks[PAWN] | own_attacks[KNIGHT] | own_attacks[BISHOP] |
                                own_attacks[ROOK] | own_attacks[QUEEN];
        cover[s] = popCount(guards & own_zone);

        // Pressure and attack weight of this side on the other side's king.
        const Bitboard enemy_zone = kingMoves[side[1 - s]->king_square];
        const Bitboard support =
            own_attacks[PAWN] | own_attacks[KNIGHT] | own_attacks[BISHOP] | own_attacks[ROOK] | own_attacks[KING];
        pressure[s] = popCount(own_attacks[QUEEN] & support & enemy_zone);
        for (int t = PAWN; t <= QUEEN; t++)
            zone_attack[s] += KING_ZONE_VALUE[t] * popCount(own_attacks[t] & enemy_zone);
    }
    f[FEATURE_CENTRE] = centre[0] - centre[1];
    f[FEATURE_KING_COVER] = cover[0] - cover[1];
    f[FEATURE_QUEEN_PRESSURE] = pressure[1] - pressure[0];
    f[FEATURE_KING_ATTACK] = zone_attack[1] - zone_attack[0];
    f[FEATURE_CHECK_SQUARES] = popCount(our_info.check_squares) - popCount(their_info.check_squares);
}

void computePositionFeatures(const Position &pos, int32_t features[MAX_FEATURES]) {
    const ColourSet &us = *pos.us, &them = *pos.them;
    const PawnClasses our_pawns = computePawnClasses(us, them);
    const PawnClasses their_pawns = computePawnClasses(them, us);
    computeFeatures(us, them, pos.attack_info[us.colour], pos.attack_info[them.colour], our_pawns, their_pawns,
                    features);
}
