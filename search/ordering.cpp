#include "search/ordering.h"

#include <cmath>

#include "board/sliders/sliders.h"
#include "generations/generation.h"

uint8_t from_to_order[4096];
uint8_t reductions[64][64];

static constexpr int centrality(int square) {
    const int f = fileOf(square), r = rankOf(square);
    return (f < 7 - f ? f : 7 - f) + (r < 7 - r ? r : 7 - r);
}

void initOrderingTables() {
    for (int from = 0; from < 64; from++)
        for (int to = 0; to < 64; to++) from_to_order[from * 64 + to] = uint8_t(centrality(to) * 8 + (7 - centrality(from)));
    for (int d = 0; d < 64; d++)
        for (int m = 0; m < 64; m++)
            reductions[d][m] = (d == 0 || m == 0) ? 0 : uint8_t(std::log(double(d)) * std::log(double(m)) * 0.7692307692307692);
}

static inline bool looksLosing(Move m) { return piece_values[moveCaptured(m)] < piece_values[movePiece(m)]; }

int compare_moves(const Position &pos, const int32_t *history, Move a, Move b) {
    const int ka = int(a & MOVE_ORDER_BITS), kb = int(b & MOVE_ORDER_BITS);
    if (ka != kb) return ka - kb;

    // Step 2: among captures with equal flags, a losing exchange goes last.
    if (GENERATION.exchange_demotion && moveCaptured(a) && moveCaptured(b) && !movePromotion(a) &&
        !movePromotion(b)) {
        if (looksLosing(a)) {
            const int sa = see(pos, a);
            if (looksLosing(b) && see(pos, b) < 0) {
                if (sa >= 0) return 1;
            } else if (sa < 0) {
                return -1;
            }
        } else if (looksLosing(b) && see(pos, b) < 0) {
            return 1;
        }
    }
    if (ka == 0) {
        const int ha = history[historyIndex(a)], hb = history[historyIndex(b)];
        if (ha != hb) return ha - hb;
    }
    const int fa = from_to_order[a & 0xFFF], fb = from_to_order[b & 0xFFF];
    if (fa != fb) return fa - fb;
    return int(a ^ Move(pos.mirror)) - int(b ^ Move(pos.mirror));
}

static inline void swapMoves(MoveList &moves, int i, int j) {
    const Move t = moves.list[i];
    moves.list[i] = moves.list[j];
    moves.list[j] = t;
}

// The same choice as comparing every candidate with compare_moves: the
// leader's order bits, history and square order are kept instead of being
// read again for every candidate, and compare_moves itself decides only
// between captures of equal flags, where the exchange test comes in.
void selectMove(const Position &pos, MoveList &moves, const int32_t *history, int i) {
    // History counts only between moves without any order bit.
    auto historyKey = [history](Move m) { return (m & MOVE_ORDER_BITS) == 0 ? history[historyIndex(m)] : 0; };
    int best = i;
    Move b = moves.list[i];
    int kb = int(b & MOVE_ORDER_BITS), hb = historyKey(b), fb = from_to_order[b & 0xFFF];
    const bool exchange_test = GENERATION.exchange_demotion;
    for (int j = i + 1; j < moves.generated; j++) {
        const Move c = moves.list[j];
        const int kc = int(c & MOVE_ORDER_BITS);
        bool better;
        if (kc != kb) {
            better = kc > kb;
        } else if (exchange_test && moveCaptured(c) && !movePromotion(c)) {
            better = compare_moves(pos, history, c, b) > 0;
        } else {
            const int hc = historyKey(c);
            const int fc = from_to_order[c & 0xFFF];
            if (hc != hb)
                better = hc - hb > 0;
            else if (fc != fb)
                better = fc > fb;
            else
                better = int(c ^ Move(pos.mirror)) - int(b ^ Move(pos.mirror)) > 0;
        }
        if (better) {
            best = j;
            b = c;
            kb = kc;
            hb = historyKey(c);
            fb = from_to_order[c & 0xFFF];
        }
    }
    swapMoves(moves, i, best);
}

void selectRootMove(const Position &pos, MoveList &moves, const int32_t *history, const uint64_t *root_nodes, int i) {
    int best = i;
    for (int j = i + 1; j < moves.generated; j++) {
        const Move c = moves.list[j], b = moves.list[best];
        const bool c_hash = c & FLAG_HASH_MOVE, b_hash = b & FLAG_HASH_MOVE;
        bool better;
        if (c_hash != b_hash)
            better = c_hash;
        else if (root_nodes[c & 0xFFF] != root_nodes[b & 0xFFF])
            better = root_nodes[c & 0xFFF] > root_nodes[b & 0xFFF];
        else
            better = compare_moves(pos, history, c, b) > 0;
        if (better) best = j;
    }
    swapMoves(moves, i, best);
}

void selectByValue(const Position &pos, MoveList &moves, int i) {
    int best = i;
    const Move mirror = Move(pos.mirror);
    for (int j = i + 1; j < moves.generated; j++)
        if (int32_t(moves.list[j] ^ mirror) > int32_t(moves.list[best] ^ mirror)) best = j;
    swapMoves(moves, i, best);
}

// The attacker of the least value among a side's candidates that reaches the
// target with the current occupancy (lowest square on equal values), or -1.
static int leastAttacker(const ColourSet &side, Bitboard candidates, Bitboard occupied, int target, int &value) {
    for (int type = PAWN; type <= QUEEN; type++) {
        Bitboard b = candidates & side.bb[type] & occupied;
        if (type == BISHOP || type == QUEEN || type == ROOK) {
            Bitboard real = 0;
            for (; b; b = clearLowest(b)) {
                const int s = lowestSquare(b);
                const Bitboard attacks = type == BISHOP ? bishopMoves(s, occupied)
                                         : type == ROOK ? rookMoves(s, occupied)
                                                        : queenMoves(s, occupied);
                if (attacks & bit(target)) real |= bit(s);
            }
            b = real;
        }
        if (!b) continue;
        int square = lowestSquare(b);
        // A bishop worth the same as a knight competes on its square.
        if (type == KNIGHT) {
            Bitboard bishops = 0;
            for (Bitboard c = candidates & side.bb[BISHOP] & occupied; c; c = clearLowest(c))
                if (bishopMoves(lowestSquare(c), occupied) & bit(target)) bishops |= c & (0 - c);
            if (bishops && lowestSquare(bishops) < square) square = lowestSquare(bishops);
        }
        value = piece_values[type];
        return square;
    }
    return -1;
}

int see(const Position &pos, Move move) {
    const int target = moveTo(move), from = moveFrom(move);
    const ColourSet &us = *pos.us, &them = *pos.them;
    if ((kingMoves[target] & (us.bb[KING] | them.bb[KING])) || pos.en_passant) return 0;

    const Bitboard our_pawns = us.bb[PAWN] & pawnCaptures[them.colour][target];
    const Bitboard their_pawns = them.bb[PAWN] & pawnCaptures[us.colour][target];
    if ((our_pawns | their_pawns) && (rankOf(target) == 0 || rankOf(target) == 7)) return 0;

    auto candidatesOf = [&](const ColourSet &side, Bitboard pawns) {
        return pawns | (side.bb[KNIGHT] & knightMoves[target]) | (side.bb[BISHOP] & bishopEmptyMoves[target]) |
               (side.bb[ROOK] & rookEmptyMoves[target]) | (side.bb[QUEEN] & queenEmptyMoves[target]);
    };
    Bitboard ours = candidatesOf(us, our_pawns), theirs = candidatesOf(them, their_pawns);
    if ((ours | theirs) & (pos.attack_info[BLACK].pinned | pos.attack_info[WHITE].pinned)) return 0;

    Bitboard occupied = pos.occupied & ~bit(from) & ~bit(target);
    ours &= ~bit(from);
    int gain = piece_values[moveCaptured(move)];
    int on_square = piece_values[movePiece(move)];
    bool opponent = true;
    for (;;) {
        int value;
        const int square = opponent ? leastAttacker(them, theirs, occupied, target, value)
                                    : leastAttacker(us, ours, occupied, target, value);
        if (square < 0) return gain;
        occupied &= ~bit(square);
        const int next = opponent ? gain - on_square : gain + on_square;
        if ((gain < 0 && next < 0) || (gain > 0 && next > 0)) return next;
        gain = next;
        on_square = value;
        opponent = !opponent;
    }
}
