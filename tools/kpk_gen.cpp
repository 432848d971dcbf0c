// Computes the king-and-pawn-against-king draw table by retrograde analysis and
// prints it as the data file eval/endgame/kpk_bitbase.inc.
//
// Usage: kpk-gen > eval/endgame/kpk_bitbase.inc   or   kpk-gen eval/endgame/kpk_bitbase.inc
//
// Positions are held in the engine's normalised frame: the pawn side plays up
// the board (as white) and its pawn stands on files a-d.  Position number
//   S + 64 * (W + 64 * (m + 2 * (f + 4 * (6 - r))))
// has the pawn side's king on S, the other king on W, m = 1 when the pawn side
// is to move, and the pawn on file f (0..3), rank r (1..6).  The same number is
// the bit number in the printed table, where a set bit means "draw with best
// play".  Bits of impossible positions (kings on touching or equal squares, a
// king on the pawn's square, or the side not to move in check) are 0.
//
// The only winning side is the pawn side, so the set of won positions is the
// least fixed point of:
//   pawn side to move:  some move reaches a won position (a promotion to queen
//                       or rook counts when the promoted piece survives and the
//                       defender is not stalemated);
//   defender to move:   it is checkmated, or it has moves, cannot take the
//                       pawn, and every move reaches a won position.
// Passes over all positions repeat until nothing changes; every legal position
// not then won is a draw.  Knight and bishop promotions never win, so they are
// not generated.
#include <cstdint>
#include <cstdio>

namespace {

constexpr int POSITIONS = 64 * 64 * 2 * 4 * 6;  // 196608
constexpr int WORDS = POSITIONS / 64;           // 3072

enum : uint8_t { ILLEGAL = 0, UNDECIDED = 1, WON = 2 };

uint8_t state[POSITIONS];

int fileOf(int square) { return square & 7; }
int rankOf(int square) { return square >> 3; }
int distance(int a, int b) {
    int df = fileOf(a) - fileOf(b), dr = rankOf(a) - rankOf(b);
    if (df < 0) df = -df;
    if (dr < 0) dr = -dr;
    return df > dr ? df : dr;
}
bool touching(int a, int b) { return distance(a, b) <= 1; }

int positionIndex(int pawn_king, int other_king, int pawn_to_move, int pawn_square) {
    int f = fileOf(pawn_square), r = rankOf(pawn_square);
    return pawn_king + 64 * (other_king + 64 * (pawn_to_move + 2 * (f + 4 * (6 - r))));
}

// Does a pawn on pawn_square (moving up) attack target?
bool pawnAttacks(int pawn_square, int target) {
    return rankOf(target) == rankOf(pawn_square) + 1 && distance(pawn_square, target) == 1 &&
           fileOf(target) != fileOf(pawn_square);
}

// Does a rook or queen on from attack target, with blocker the only piece that
// can stand in between (the defending king is looked through on purpose: it
// cannot escape along the line it is checked on)?
bool sliderAttacks(int from, int target, int blocker, bool diagonals) {
    if (from == target) return false;
    int df = fileOf(target) - fileOf(from), dr = rankOf(target) - rankOf(from);
    bool straight = df == 0 || dr == 0;
    bool diagonal = df == dr || df == -dr;
    if (!straight && !(diagonals && diagonal)) return false;
    int sf = (df > 0) - (df < 0), sr = (dr > 0) - (dr < 0);
    for (int s = from + sf + 8 * sr; s != target; s += sf + 8 * sr)
        if (s == blocker) return false;
    return true;
}

// After the pawn side promotes to a queen or rook on promo, the defender is to
// move.  The ending is won unless the defender can take the new piece or has
// no move without being in check (stalemate).
bool promotionWins(int pawn_king, int other_king, int promo, bool queen) {
    if (touching(other_king, promo) && !touching(pawn_king, promo)) return false;
    for (int df = -1; df <= 1; df++)
        for (int dr = -1; dr <= 1; dr++) {
            if (df == 0 && dr == 0) continue;
            int f = fileOf(other_king) + df, r = rankOf(other_king) + dr;
            if (f < 0 || f > 7 || r < 0 || r > 7) continue;
            int to = f + 8 * r;
            if (to == promo || touching(to, pawn_king)) continue;  // promo is defended here
            if (sliderAttacks(promo, to, pawn_king, queen)) continue;
            return true;  // a legal move exists and the piece cannot be taken
        }
    // No legal move: mate if in check, stalemate otherwise.
    return sliderAttacks(promo, other_king, pawn_king, queen);
}

bool isLegal(int pawn_king, int other_king, int pawn_to_move, int pawn_square) {
    if (touching(pawn_king, other_king)) return false;
    if (pawn_king == pawn_square || other_king == pawn_square) return false;
    if (pawn_to_move && pawnAttacks(pawn_square, other_king)) return false;
    return true;
}

// Pawn side to move: won when any move reaches a won position.
bool pawnSideWins(int pawn_king, int other_king, int pawn_square) {
    for (int df = -1; df <= 1; df++)
        for (int dr = -1; dr <= 1; dr++) {
            if (df == 0 && dr == 0) continue;
            int f = fileOf(pawn_king) + df, r = rankOf(pawn_king) + dr;
            if (f < 0 || f > 7 || r < 0 || r > 7) continue;
            int to = f + 8 * r;
            if (to == pawn_square || touching(to, other_king)) continue;
            if (state[positionIndex(to, other_king, 0, pawn_square)] == WON) return true;
        }
    int one = pawn_square + 8;
    if (one == pawn_king || one == other_king) return false;
    if (rankOf(one) == 7)
        return promotionWins(pawn_king, other_king, one, true) || promotionWins(pawn_king, other_king, one, false);
    if (state[positionIndex(pawn_king, other_king, 0, one)] == WON) return true;
    int two = one + 8;
    if (rankOf(pawn_square) == 1 && two != pawn_king && two != other_king &&
        state[positionIndex(pawn_king, other_king, 0, two)] == WON)
        return true;
    return false;
}

// Defender to move: won when it is mated, or when it has a move, cannot take
// the pawn, and every move reaches a won position.
bool defenderLoses(int pawn_king, int other_king, int pawn_square) {
    bool any_move = false;
    for (int df = -1; df <= 1; df++)
        for (int dr = -1; dr <= 1; dr++) {
            if (df == 0 && dr == 0) continue;
            int f = fileOf(other_king) + df, r = rankOf(other_king) + dr;
            if (f < 0 || f > 7 || r < 0 || r > 7) continue;
            int to = f + 8 * r;
            if (touching(to, pawn_king) || pawnAttacks(pawn_square, to)) continue;
            if (to == pawn_square) return false;  // the pawn falls: bare kings
            any_move = true;
            if (state[positionIndex(pawn_king, to, 1, pawn_square)] != WON) return false;
        }
    if (!any_move) return pawnAttacks(pawn_square, other_king);  // mate, else stalemate
    return true;
}

void solve() {
    for (int idx = 0; idx < POSITIONS; idx++) {
        int pawn_king = idx & 63, other_king = (idx >> 6) & 63, pawn_to_move = (idx >> 12) & 1;
        int f = (idx >> 13) & 3, r = 6 - (idx >> 15);
        state[idx] = isLegal(pawn_king, other_king, pawn_to_move, f + 8 * r) ? UNDECIDED : ILLEGAL;
    }
    bool changed = true;
    while (changed) {
        changed = false;
        for (int idx = 0; idx < POSITIONS; idx++) {
            if (state[idx] != UNDECIDED) continue;
            int pawn_king = idx & 63, other_king = (idx >> 6) & 63, pawn_to_move = (idx >> 12) & 1;
            int pawn_square = ((idx >> 13) & 3) + 8 * (6 - (idx >> 15));
            bool won = pawn_to_move ? pawnSideWins(pawn_king, other_king, pawn_square)
                                    : defenderLoses(pawn_king, other_king, pawn_square);
            if (won) {
                state[idx] = WON;
                changed = true;
            }
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 2) {
        std::fprintf(stderr, "usage: kpk-gen [output-file]\n");
        return 1;
    }
    FILE* out = stdout;
    if (argc == 2) {
        out = std::fopen(argv[1], "w");
        if (!out) {
            std::fprintf(stderr, "kpk-gen: cannot write %s\n", argv[1]);
            return 1;
        }
    }
    solve();

    static uint64_t words[WORDS];
    int draws = 0;
    for (int idx = 0; idx < POSITIONS; idx++)
        if (state[idx] == UNDECIDED) {
            words[idx / 64] |= uint64_t(1) << (idx % 64);
            draws++;
        }

    std::fprintf(out,
                 "// King and pawn against king: draw table, one bit per position, set = draw.\n"
                 "// Generated by retrograde analysis with tools/kpk_gen.cpp:\n"
                 "//   kpk-gen > eval/endgame/kpk_bitbase.inc\n"
                 "// Bit S + 64 * (W + 64 * (m + 2 * (f + 4 * (6 - r)))) in the frame where the pawn\n"
                 "// side plays upwards with its pawn on files a-d; impossible positions are 0.\n"
                 "// %d draw bits.  Do not edit by hand.\n",
                 draws);
    for (int i = 0; i < WORDS; i++)
        std::fprintf(out, "0x%016llXULL,%s", (unsigned long long)words[i], i % 4 == 3 ? "\n" : " ");
    if (out != stdout && std::fclose(out) != 0) {
        std::fprintf(stderr, "kpk-gen: cannot write %s\n", argv[1]);
        return 1;
    }
    std::fprintf(stderr, "kpk-gen: %d draw bits\n", draws);
    return 0;
}
