// Checks the stored king-and-pawn-against-king draw table against a solver
// written here from scratch.  The solver works on real boards (white and black
// pawns, all eight files, no mirroring) and is built differently from the
// table's generator: it solves one pawn square at a time, most advanced first,
// and inside each square runs a queue-driven retrograde pass (un-moving kings,
// counting the defender's remaining moves) seeded by the pawn moves into the
// squares already solved.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>

#include "board/types.h"
#include "eval/endgame/kpk.h"

namespace {

// ---------------------------------------------------------------------------
// Reference solver
// ---------------------------------------------------------------------------

struct Solver {
    bool allow_rook;  // may the pawn side under-promote to a rook?
    // won[colour][pawn][strong king][weak king][pawn side to move]; only
    // meaningful for legal positions.
    uint8_t won[2][64][64][64][2];
};

int sq(int file, int rank) { return file + 8 * rank; }
bool onBoard(int file, int rank) { return file >= 0 && file < 8 && rank >= 0 && rank < 8; }

const int KING_STEPS[8][2] = {{-1, -1}, {0, -1}, {1, -1}, {-1, 0}, {1, 0}, {-1, 1}, {0, 1}, {1, 1}};

Bitboard kingZone(int square) {
    Bitboard zone = 0;
    for (const auto& step : KING_STEPS) {
        int f = fileOf(square) + step[0], r = rankOf(square) + step[1];
        if (onBoard(f, r)) zone |= bit(sq(f, r));
    }
    return zone;
}

int forward(int colour) { return colour == WHITE ? 1 : -1; }

Bitboard pawnCaptures(int colour, int pawn) {
    Bitboard targets = 0;
    int r = rankOf(pawn) + forward(colour);
    for (int df = -1; df <= 1; df += 2)
        if (onBoard(fileOf(pawn) + df, r)) targets |= bit(sq(fileOf(pawn) + df, r));
    return targets;
}

bool legal(int colour, int pawn, int strong, int weak, bool strong_to_move) {
    if (strong == weak || strong == pawn || weak == pawn) return false;
    if (kingZone(strong) & bit(weak)) return false;
    if (strong_to_move && (pawnCaptures(colour, pawn) & bit(weak))) return false;
    return true;
}

// Squares a rook (or queen) on from attacks when the strong king is the only
// obstacle; the weak king does not shield the squares behind it.
Bitboard sliderReach(int from, int strong, bool queen) {
    Bitboard reach = 0;
    for (int df = -1; df <= 1; df++)
        for (int dr = -1; dr <= 1; dr++) {
            if ((df == 0 && dr == 0) || (!queen && df != 0 && dr != 0)) continue;
            for (int f = fileOf(from) + df, r = rankOf(from) + dr; onBoard(f, r); f += df, r += dr) {
                if (sq(f, r) == strong) break;
                reach |= bit(sq(f, r));
            }
        }
    return reach;
}

// Position right after promoting on square piece, weak side to move: is it
// lost for the weak side?  King and queen or rook against king is a win
// unless the new piece falls at once or the bare king is stalemated.
bool promotedWin(int piece, int strong, int weak, bool queen) {
    Bitboard guarded = kingZone(strong);
    Bitboard hit = sliderReach(piece, strong, queen);
    Bitboard exits = kingZone(weak) & ~guarded & ~hit;
    if (exits & bit(piece)) return false;  // takes the undefended piece
    if (exits) return true;
    return (hit & bit(weak)) != 0;  // mate rather than stalemate
}

// Result of a pawn move (push, double push, promotion) with the strong side
// to move, using the layers already solved.
bool pawnMoveWins(const Solver& s, int colour, int pawn, int strong, int weak) {
    int dir = forward(colour);
    int f = fileOf(pawn), r1 = rankOf(pawn) + dir;
    int one = sq(f, r1);
    if (one == strong || one == weak) return false;
    if (r1 == 0 || r1 == 7) {
        if (promotedWin(one, strong, weak, true)) return true;
        return s.allow_rook && promotedWin(one, strong, weak, false);
    }
    if (s.won[colour][one][strong][weak][0]) return true;
    int home = colour == WHITE ? 1 : 6;
    if (rankOf(pawn) == home) {
        int two = sq(f, r1 + dir);
        if (two != strong && two != weak && s.won[colour][two][strong][weak][0]) return true;
    }
    return false;
}

struct Node {
    uint8_t strong, weak, strong_to_move;
};

void solveLayer(Solver& s, int colour, int pawn) {
    static int moves_left[64][64];  // weak to move: replies not yet known to lose
    static Node queue[64 * 64 * 2];
    int head = 0, tail = 0;
    auto& layer = s.won[colour][pawn];
    Bitboard pawn_hits = pawnCaptures(colour, pawn);

    for (int strong = 0; strong < 64; strong++)
        for (int weak = 0; weak < 64; weak++) {
            layer[strong][weak][0] = layer[strong][weak][1] = 0;
            moves_left[strong][weak] = -1;  // never lost
            if (legal(colour, pawn, strong, weak, true) && pawnMoveWins(s, colour, pawn, strong, weak)) {
                layer[strong][weak][1] = 1;
                queue[tail++] = {uint8_t(strong), uint8_t(weak), 1};
            }
            if (!legal(colour, pawn, strong, weak, false)) continue;
            Bitboard exits = kingZone(weak) & ~kingZone(strong) & ~pawn_hits;
            if (exits & bit(pawn)) continue;  // the pawn falls: a draw
            int count = popCount(exits);
            if (count > 0) {
                moves_left[strong][weak] = count;
            } else if (pawn_hits & bit(weak)) {  // mated by the pawn
                layer[strong][weak][0] = 1;
                queue[tail++] = {uint8_t(strong), uint8_t(weak), 0};
            }
        }

    while (head < tail) {
        Node n = queue[head++];
        if (n.strong_to_move) {
            // The weak king just stepped onto n.weak: undo that step.
            for (Bitboard from = kingZone(n.weak); from; from = clearLowest(from)) {
                int w = lowestSquare(from);
                if (!legal(colour, pawn, n.strong, w, false) || moves_left[n.strong][w] <= 0) continue;
                if (--moves_left[n.strong][w] == 0) {
                    layer[n.strong][w][0] = 1;
                    queue[tail++] = {n.strong, uint8_t(w), 0};
                }
            }
        } else {
            // The strong king just stepped onto n.strong: undo that step.
            for (Bitboard from = kingZone(n.strong); from; from = clearLowest(from)) {
                int k = lowestSquare(from);
                if (!legal(colour, pawn, k, n.weak, true) || layer[k][n.weak][1]) continue;
                layer[k][n.weak][1] = 1;
                queue[tail++] = {uint8_t(k), n.weak, 1};
            }
        }
    }
}

void solveAll(Solver& s) {
    for (int colour = BLACK; colour <= WHITE; colour++)
        for (int step = 0; step < 6; step++) {
            // Most advanced rank first: pawns only ever move into solved layers.
            int rank = colour == WHITE ? 6 - step : 1 + step;
            for (int file = 0; file < 8; file++) solveLayer(s, colour, sq(file, rank));
        }
}

const Solver& fullSolver() {
    static Solver* s = [] {
        static Solver solver;
        solver.allow_rook = true;
        solveAll(solver);
        return &solver;
    }();
    return *s;
}

bool solverDraw(const Solver& s, int colour, int pawn, int strong, int weak, bool strong_to_move) {
    return !s.won[colour][pawn][strong][weak][strong_to_move ? 1 : 0];
}

int parse(const char* name) { return sq(name[0] - 'a', name[1] - '1'); }

// ---------------------------------------------------------------------------
// The table against the solver
// ---------------------------------------------------------------------------

TEST(Kpk, TableMatchesSolverOnEveryLegalPositionBothColoursAllFiles) {
    const Solver& s = fullSolver();
    long checked = 0, draws[2] = {0, 0}, mismatches = 0;
    for (int colour = BLACK; colour <= WHITE; colour++)
        for (int pawn = 8; pawn < 56; pawn++)
            for (int strong = 0; strong < 64; strong++)
                for (int weak = 0; weak < 64; weak++)
                    for (int stm = 0; stm < 2; stm++) {
                        if (!legal(colour, pawn, strong, weak, stm)) continue;
                        bool expected = solverDraw(s, colour, pawn, strong, weak, stm);
                        bool got = kpkIsDraw(strong, weak, pawn, colour, stm);
                        checked++;
                        draws[colour] += expected;
                        if (expected != got && ++mismatches <= 5)
                            ADD_FAILURE() << "colour " << colour << " pawn " << pawn << " king " << strong
                                          << " other king " << weak << " pawn side to move " << stm
                                          << ": table says " << (got ? "draw" : "win");
                    }
    EXPECT_EQ(mismatches, 0);
    // Sanity of the reference itself: both outcomes occur, colours agree in
    // number (they are mirror images), and draws are the minority.
    EXPECT_EQ(draws[BLACK], draws[WHITE]);
    EXPECT_GT(draws[WHITE], 0);
    EXPECT_LT(draws[BLACK] + draws[WHITE], checked / 2);
}

TEST(Kpk, RawBitsFollowTheDocumentedLayoutAndImpossiblePositionsAreZero) {
    const Solver& s = fullSolver();
    long set_bits = 0, legal_draws = 0;
    for (int index = 0; index < 196608; index++) {
        int strong = index % 64, weak = index / 64 % 64, stm = index / 4096 % 2;
        int file = index / 8192 % 4, rank = 6 - index / 32768;
        int pawn = sq(file, rank);
        bool raw = (kpk_bitbase[index / 64] >> (index % 64)) & 1;
        set_bits += raw;
        if (!legal(WHITE, pawn, strong, weak, stm)) {
            EXPECT_FALSE(raw) << "impossible position " << index << " has its bit set";
            continue;
        }
        bool expected = solverDraw(s, WHITE, pawn, strong, weak, stm);
        legal_draws += expected;
        EXPECT_EQ(raw, expected) << "bit " << index;
    }
    EXPECT_EQ(set_bits, legal_draws);
}

// ---------------------------------------------------------------------------
// Hand-checked positions
// ---------------------------------------------------------------------------

struct Known {
    const char *king, *other, *pawn;
    int colour;
    bool pawn_side_to_move, draw;
};

TEST(Kpk, WellKnownPositions) {
    const Known cases[] = {
        // King in front of its pawn, defender in opposition: only a draw when
        // the pawn side has to give way.
        {"d5", "d7", "d4", WHITE, true, true},
        {"d5", "d7", "d4", WHITE, false, false},
        {"d4", "d2", "d5", BLACK, true, true},
        {"d4", "d2", "d5", BLACK, false, false},
        {"e5", "e7", "e4", WHITE, true, true},
        // Pawn on the sixth, its king guarding the queening square: wins.
        {"c7", "a1", "d6", WHITE, true, false},
        {"f2", "h8", "e3", BLACK, true, false},
        // Rook pawn with the defender in the corner: a draw whoever moves.
        {"c6", "a8", "a6", WHITE, true, true},
        {"c6", "a8", "a6", WHITE, false, true},
        {"f3", "h1", "h3", BLACK, true, true},
        {"f3", "h1", "h3", BLACK, false, true},
        // The defender simply takes the blocked, undefended pawn.
        {"a1", "e6", "e5", WHITE, false, true},
        {"h8", "d3", "d4", BLACK, false, true},
        // Pawn outside the square of the far king: it runs in.
        {"a1", "h8", "a5", WHITE, true, false},
        // Same pawn, defender inside the square and to move: it catches it.
        {"h1", "d5", "a4", WHITE, false, true},
    };
    for (const Known& k : cases)
        EXPECT_EQ(kpkIsDraw(parse(k.king), parse(k.other), parse(k.pawn), k.colour, k.pawn_side_to_move), k.draw)
            << "king " << k.king << " other king " << k.other << " pawn " << k.pawn << " colour " << k.colour
            << " pawn side to move " << k.pawn_side_to_move;
}

TEST(Kpk, RookUnderPromotionIsNeededToWin) {
    // White Ka5, Pc7, black Ka7, white to move: c8=Q is stalemate, c8=R wins,
    // and nothing else does.
    int king = parse("a5"), other = parse("a7"), pawn = parse("c7");
    EXPECT_FALSE(promotedWin(parse("c8"), king, other, true));
    EXPECT_TRUE(promotedWin(parse("c8"), king, other, false));
    EXPECT_FALSE(kpkIsDraw(king, other, pawn, WHITE, true));
    EXPECT_FALSE(kpkIsDraw(king ^ 56 ^ 7, other ^ 56 ^ 7, pawn ^ 56 ^ 7, BLACK, true));

    // Without rook promotions the same position is a draw, and it is not the
    // only one the table would then get wrong.
    static Solver queens_only;
    queens_only.allow_rook = false;
    solveAll(queens_only);
    EXPECT_TRUE(solverDraw(queens_only, WHITE, pawn, king, other, true));
    long differ = 0;
    for (int colour = BLACK; colour <= WHITE; colour++)
        for (int p = 8; p < 56; p++)
            for (int k = 0; k < 64; k++)
                for (int w = 0; w < 64; w++)
                    for (int stm = 0; stm < 2; stm++)
                        if (legal(colour, p, k, w, stm) && solverDraw(queens_only, colour, p, k, w, stm) !=
                                                               kpkIsDraw(k, w, p, colour, stm))
                            differ++;
    EXPECT_GT(differ, 0);
}

TEST(Kpk, PromotionOutcomes) {
    // An undefended new queen beside the bare king is taken.
    EXPECT_FALSE(promotedWin(parse("b8"), parse("a6"), parse("a8"), true));
    EXPECT_FALSE(promotedWin(parse("d8"), parse("a1"), parse("e7"), true));
    // Defended by its king it survives, and the checked king can step away.
    EXPECT_TRUE(promotedWin(parse("d8"), parse("c7"), parse("e7"), true));
    // Check with every flight square covered is mate, not stalemate.
    EXPECT_TRUE(promotedWin(parse("c8"), parse("b6"), parse("a8"), true));
    // No check and no move: stalemate.
    EXPECT_FALSE(promotedWin(parse("c8"), parse("c6"), parse("a7"), true));
    // The same for a black pawn promoting on the first rank.
    EXPECT_FALSE(promotedWin(parse("c1"), parse("c3"), parse("a2"), true));
    EXPECT_TRUE(promotedWin(parse("c1"), parse("c3"), parse("a2"), false));
}

}  // namespace
