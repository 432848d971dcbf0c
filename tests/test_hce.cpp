// Hand-crafted evaluation: the endgame key lists and their lookup, the pawn
// classes and feature vector on hand-counted positions and under the colour
// mirror, and the weighted sum with its special cases.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cctype>
#include <cmath>
#include <cstring>
#include <memory>
#include <random>
#include <set>
#include <string>

#include "board/board.h"
#include "board/moves.h"
#include "eval/hce/endgame.h"
#include "eval/hce/evaluate.h"
#include "eval/hce/features.h"

namespace {

int sq(const char *name) { return (name[1] - '1') * 8 + (name[0] - 'a'); }

std::unique_ptr<SearchThread> newThread() { return std::make_unique<SearchThread>(); }

// Sets up the position with its AttackInfo current.
Position &load(SearchThread &t, const std::string &fen) {
    const char *failed = readFen(t, fen.c_str());
    EXPECT_EQ(failed, nullptr) << fen;
    computeAttackInfo(*t.stack.current);
    return *t.stack.current;
}

struct Features {
    int32_t f[MAX_FEATURES];
};

Features featuresOf(SearchThread &t, const std::string &fen) {
    Features x;
    computePositionFeatures(load(t, fen), x.f);
    return x;
}

// The same position with the colours exchanged and the ranks mirrored, the
// other side to move.
std::string mirrorFen(const std::string &fen) {
    char placement[100], side[4], castling[8], en_passant[4];
    int rule50 = 0, move = 1;
    sscanf(fen.c_str(), "%99s %3s %7s %3s %d %d", placement, side, castling, en_passant, &rule50, &move);
    std::string ranks[8], rest = placement;
    for (int i = 0; i < 8; i++) {
        const size_t slash = rest.find('/');
        ranks[i] = rest.substr(0, slash);
        rest = slash == std::string::npos ? "" : rest.substr(slash + 1);
    }
    std::string out;
    for (int i = 7; i >= 0; i--) {
        for (char c : ranks[i]) out += char(isupper(c) ? tolower(c) : toupper(c));
        if (i) out += '/';
    }
    std::string rights;
    for (char c : std::string("kqKQ"))
        if (strchr(castling, c)) rights += char(isupper(c) ? tolower(c) : toupper(c));
    std::string ep = en_passant;
    if (ep != "-") ep[1] = char('1' + '8' - ep[1]);
    return out + (side[0] == 'w' ? " b " : " w ") + (rights.empty() ? "-" : rights) + " " + ep + " " +
           std::to_string(rule50) + " " + std::to_string(move);
}

// Material of one side from a name such as "KRNP".
int32_t signatureOf(const std::string &side) {
    int count[7] = {};
    for (char c : side) count[std::string("?PNBRQK").find(c)]++;
    return materialSignature(count[QUEEN], count[ROOK], count[BISHOP], count[KNIGHT], count[PAWN]);
}
int32_t keyOf(const std::string &name) {
    const size_t v = name.find('v');
    return materialKey(signatureOf(name.substr(0, v)), signatureOf(name.substr(v + 1)));
}

// ---------------------------------------------------------------------------
// Endgame keys

TEST(EndgameKeys, ListsInOrder) {
    const char *names[] = {"KPvKP", "KPPvK", "KNvKP", "KNvKN", "KNPvK", "KNNvK", "KBvKP", "KBvKN", "KBvKB", "KBPvK",
                           "KBNvK", "KBBvK", "KRvKP", "KRvKN", "KRvKB", "KRvKR", "KRPvK", "KRNvK", "KRBvK", "KRRvK",
                           "KQvKP", "KQvKN", "KQvKB", "KQvKR", "KQvKQ", "KQPvK", "KQNvK", "KQBvK", "KQRvK", "KQQvK"};
    ASSERT_EQ(ENDGAME_KEYS4, 31);
    EXPECT_EQ(endgameKeys4[0], 0);
    for (int i = 0; i < 30; i++) EXPECT_EQ(endgameKeys4[i + 1], keyOf(names[i])) << names[i];
    EXPECT_EQ(keyOf("KPvKP"), 0x8001);
    EXPECT_EQ(keyOf("KRvKP"), 0x1000001);
    EXPECT_EQ(keyOf("KQvKR"), 0x8000200);

    // Six pieces: 70 distributions with four pieces on one side, 175 three
    // against one, 120 two against two.
    EXPECT_EQ(ENDGAME_KEYS5, 111);
    ASSERT_EQ(ENDGAME_KEYS6, 366);
    auto pieces = [](int32_t sig) {
        return (sig >> 12) + ((sig >> 9) & 7) + ((sig >> 6) & 7) + ((sig >> 3) & 7) + (sig & 7);
    };
    int split[5] = {};
    for (int i = 1; i < ENDGAME_KEYS6; i++) split[pieces(endgameKeys6[i] >> 15)]++;
    EXPECT_EQ(split[4] + split[0], 70);
    EXPECT_EQ(split[3] + split[1], 175);
    EXPECT_EQ(split[2], 120);
    int count = 0;
    EXPECT_EQ(endgameKeyList(5, count), endgameKeys5.data());
    EXPECT_EQ(count, 111);
}

// Every split of 2 to 4 non-king pieces between two sides, set up as
// ColourSets, is found, at the entry holding its key, and each entry is hit
// by exactly one distribution.
TEST(EndgameKeys, EveryDistributionIsFound) {
    for (int pieces = 4; pieces <= 6; pieces++) {
        int count = 0;
        const int32_t *keys = endgameKeyList(pieces, count);
        std::set<int> hit;
        int distributions = 0;
        // Counts of P, N, B, R, Q of both sides as ten base-5 digits.
        for (int code = 0; code < 9765625; code++) {
            int n[2][6] = {}, total = 0;
            for (int c = code, i = 0; i < 10; i++, c /= 5) total += (n[i / 5][1 + i % 5] = c % 5);
            if (total != pieces - 2) continue;
            ColourSet sets[2] = {};
            for (int s = 0; s < 2; s++) {
                int square = 32 * s;
                sets[s].king_square = square;
                sets[s].bb[KING] = bit(square++);
                for (int t = PAWN; t <= QUEEN; t++)
                    for (int k = 0; k < n[s][t]; k++) sets[s].bb[t] |= bit(square++);
                for (int t = PAWN; t <= KING; t++) sets[s].bb[0] |= sets[s].bb[t];
                sets[s].colour = s;
            }
            const int32_t a = materialSignature(sets[0]), b = materialSignature(sets[1]);
            if (a < b) continue;  // each unordered split once, the stronger side first
            distributions++;
            const int index = endgameIndex(sets[0], sets[1]);
            ASSERT_GT(index, 0);
            ASSERT_LT(index, count);
            EXPECT_EQ(keys[index], materialKey(a, b));
            EXPECT_TRUE(hit.insert(index).second) << "pieces " << pieces << " key " << keys[index];
            EXPECT_EQ(signedEndgameIndex(sets[0], sets[1]), index);
            if (a != b) {
                EXPECT_EQ(signedEndgameIndex(sets[1], sets[0]), -index);
            }
        }
        EXPECT_EQ(distributions, count - 1) << pieces;
        EXPECT_EQ(int(hit.size()), count - 1) << pieces;
    }
}

TEST(EndgameKeys, IndexFromPositions) {
    auto t = newThread();
    auto index = [&](const char *fen) {
        const Position &pos = load(*t, fen);
        return signedEndgameIndex(*pos.us, *pos.them);
    };
    EXPECT_EQ(index("4k3/8/8/8/8/8/3PP3/4K3 w - - 0 1"), 2);   // KPPvK, pawn side to move
    EXPECT_EQ(index("4k3/8/8/8/8/8/3PP3/4K3 b - - 0 1"), -2);  // bare king to move
    EXPECT_EQ(index("4k3/8/3b4/8/8/8/3B4/4K3 w - - 0 1"), 9);  // KBvKB, either side to move
    EXPECT_EQ(index("4k3/8/3b4/8/8/8/3B4/4K3 b - - 0 1"), 9);
    EXPECT_EQ(index("4k3/8/3n4/8/8/8/3N4/4K3 b - - 0 1"), 4);   // KNvKN
    EXPECT_EQ(index("4k3/8/3n4/8/8/8/3R4/4K3 w - - 0 1"), 14);  // KRvKN whichever side moves
    EXPECT_EQ(index("4k3/8/3n4/8/8/8/3R4/4K3 b - - 0 1"), -14);
    EXPECT_EQ(index("4k3/8/3p4/8/8/8/3R4/4K3 w - - 0 1"), 13);  // KRvKP
    EXPECT_EQ(index("4k3/8/3p4/8/8/8/3R4/4K3 b - - 0 1"), -13);

    // Higher piece types outweigh any number of lower ones.
    const Position &bn = load(*t, "4k3/8/2nn4/8/8/8/3B4/4K3 b - - 0 1");  // KB vs KNN, knights to move
    EXPECT_LT(materialSignature(*bn.us), materialSignature(*bn.them));
    int count = 0;
    const int32_t *keys5 = endgameKeyList(5, count);
    EXPECT_EQ(keys5[-signedEndgameIndex(*bn.us, *bn.them)], materialKey(64, 16));
    const Position &np = load(*t, "4k3/8/3n4/8/8/8/2PP4/4K3 w - - 0 1");  // KN vs KPP, pawns to move
    EXPECT_EQ(keys5[-signedEndgameIndex(*np.us, *np.them)], materialKey(8, 2));
}

// The weaker side passed as the strong one has no key: the lookup reports it
// and ends the program.
TEST(EndgameKeysDeathTest, UnknownKeyEndsTheProgram) {
    auto t = newThread();
    const Position &pos = load(*t, "4k3/8/3p4/8/8/8/3R4/4K3 b - - 0 1");
    // KP as the strong side against KR: 1 * 32768 + 512.
    EXPECT_DEATH(
        {
            dup2(2, 1);  // the report goes to standard output
            endgameIndex(*pos.us, *pos.them);
        },
        "info string Unknown endgame with hash = 33280");
}

// ---------------------------------------------------------------------------
// Features

TEST(HceFeatures, PawnClassesAndStructure) {
    auto t = newThread();
    // White a2 b2 b5 h2 against black a7.
    const Position &pos = load(*t, "4k3/p7/8/1P6/8/8/PP5P/4K3 w - - 0 1");
    const PawnClasses white = computePawnClasses(pos.set[WHITE], pos.set[BLACK]);
    const PawnClasses black = computePawnClasses(pos.set[BLACK], pos.set[WHITE]);
    EXPECT_EQ(white.opposed, bit(sq("a2")) | bit(sq("b2")) | bit(sq("b5")));
    EXPECT_EQ(white.passed, bit(sq("h2")));
    EXPECT_EQ(white.doubled, bit(sq("b2")));
    EXPECT_EQ(white.isolated, bit(sq("h2")));
    EXPECT_EQ(black.opposed, bit(sq("a7")));
    EXPECT_EQ(black.passed, 0u);
    EXPECT_EQ(black.isolated, bit(sq("a7")));

    Features x = featuresOf(*t, "4k3/p7/8/1P6/8/8/PP5P/4K3 w - - 0 1");
    EXPECT_EQ(x.f[featureOpposed(2)], 2 - 1);  // a2 b2 against a7 (black's second rank)
    EXPECT_EQ(x.f[featurePassed(2)], 1);
    EXPECT_EQ(x.f[featureOpposed(5)], 1);
    EXPECT_EQ(x.f[FEATURE_DOUBLED], 1);
    EXPECT_EQ(x.f[FEATURE_ISOLATED], 1 - 1);
    EXPECT_EQ(x.f[FEATURE_PIECES], 3);

    // Pawns on their seventh rank are passed whatever stands beside them.
    x = featuresOf(*t, "4k3/1Pp5/8/8/8/8/1pP5/4K3 w - - 0 1");
    EXPECT_EQ(x.f[featureOpposed(7)], 0);
    EXPECT_EQ(x.f[featurePassed(7)], 1 - 1);
    EXPECT_EQ(x.f[featurePassed(2)], 1 - 1);
    x = featuresOf(*t, "4k3/1P6/8/8/8/8/2P5/4K3 b - - 0 1");
    EXPECT_EQ(x.f[featurePassed(7)], -1);
    EXPECT_EQ(x.f[featurePassed(2)], -1);
}

TEST(HceFeatures, HandCountedPositions) {
    auto t = newThread();
    // Pawn e2 and the kings: one safe push; the white king has d1 f1 d2 f2,
    // the black one five squares; the pawn attacks d3 and f3 in the centre
    // and stands next to its king.
    Features x = featuresOf(*t, "4k3/8/8/8/8/8/4P3/4K3 w - - 0 1");
    EXPECT_EQ(x.f[FEATURE_SAFE_PUSHES], 1);
    EXPECT_EQ(x.f[featureMobility(KING)], 4 - 5);
    EXPECT_EQ(x.f[FEATURE_CENTRE], 2);
    EXPECT_EQ(x.f[FEATURE_KING_COVER], 1);
    EXPECT_EQ(x.f[featureBand(KING, 3)], 0);
    EXPECT_EQ(x.f[FEATURE_BARE_KING], 0 - 1);

    // Knights on d4 (band 6) and a1 (band 0).
    x = featuresOf(*t, "4k3/8/8/8/3N4/8/8/N3K3 w - - 0 1");
    EXPECT_EQ(x.f[featureBand(KNIGHT, 6)], 1);
    EXPECT_EQ(x.f[featureBand(KNIGHT, 0)], 1);
    EXPECT_EQ(x.f[featureBand(KNIGHT, 3)], 0);

    // Knight c3 attacks the rook b5, which the pawn c6 defends; seen from
    // Black the threat and the defence change sign.
    const char *threat = "4k3/8/2p5/1r6/8/2N5/8/4K3 w - - 0 1";
    x = featuresOf(*t, threat);
    EXPECT_EQ(x.f[featureThreat(KNIGHT, ROOK)], 1);
    EXPECT_EQ(x.f[featureDefence(PAWN, ROOK)], 1);
    EXPECT_EQ(x.f[featureThreat(ROOK, KNIGHT)], 0);
    EXPECT_EQ(featuresOf(*t, "4k3/8/2p5/1r6/8/2N5/8/4K3 b - - 0 1").f[featureThreat(KNIGHT, ROOK)], -1);

    // Bishop b5 pins the knight c6 to its king.
    x = featuresOf(*t, "4k3/8/2n5/1B6/8/8/8/4K3 w - - 0 1");
    EXPECT_EQ(x.f[featurePinned(KNIGHT)], -1);
    EXPECT_EQ(x.f[featurePinned(BISHOP)], 0);

    // A black rook could check the king h1 from 14 squares, a white knight
    // the king a8 from b6 and c7.
    x = featuresOf(*t, "k7/r7/8/8/3N4/8/8/7K w - - 0 1");
    EXPECT_EQ(x.f[FEATURE_CHECK_SQUARES], 14 - 2);

    // Queen g6 and king f6 against the king h8: the queen hits g7, g8 and h7
    // (900 each), the king's g7 adds nothing to the weight but supports the
    // queen there.
    x = featuresOf(*t, "7k/8/5KQ1/8/8/8/8/8 w - - 0 1");
    EXPECT_EQ(x.f[FEATURE_QUEEN_PRESSURE], -1);
    EXPECT_EQ(x.f[FEATURE_KING_ATTACK], -2700);
}

// The bare-king rule and the two-king rule, in features and evaluation.
TEST(HceFeatures, BareKings) {
    auto t = newThread();
    EXPECT_EQ(evaluatePosition(load(*t, "8/8/4k3/8/8/3K4/8/8 w - - 0 1")), 0);
    // Black king a8, every neighbour covered by the queen b6.
    const char *surrounded = "k7/8/1Q6/8/8/8/7P/4K3 b - - 0 1";
    Features x = featuresOf(*t, surrounded);
    for (int i = 0; i < HCE_FEATURE_COUNT; i++) EXPECT_EQ(x.f[i], 0) << i;
    EXPECT_EQ(x.f[FEATURE_CONSTANT], 1);
    EXPECT_EQ(evaluatePosition(load(*t, surrounded)), 0);
    // The same with the stronger side to move, and a bare king with a free
    // square, are evaluated normally.
    EXPECT_EQ(featuresOf(*t, "k7/8/1Q6/8/8/8/7P/4K3 w - - 0 1").f[FEATURE_BARE_KING], -1);
    x = featuresOf(*t, "k7/8/2Q5/8/8/8/7P/4K3 b - - 0 1");
    EXPECT_EQ(x.f[FEATURE_BARE_KING], 1);
    EXPECT_EQ(x.f[FEATURE_PIECES], -2);
}

// A position and its colour mirror with the other side to move are the same
// position for the side to move: identical features, along a random game
// from a few starting points.  Feature 12 never occurs.
TEST(HceFeatures, ColourMirrorAlongGames) {
    auto t = newThread(), m = newThread();
    const char *starts[] = {"r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq - 0 1",
                            "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1",
                            "8/2p5/3p4/KP5r/1R3p1k/8/4P1P1/8 w - - 0 1",
                            "r1bq1rk1/pp2bppp/2n1pn2/3p4/2PP4/2N1PN2/PP3PPP/R2QKB1R w KQ - 0 1"};
    std::mt19937 random(12345);
    int compared = 0;
    for (const char *start : starts) {
        load(*t, start);
        PositionStack &stack = t->stack;
        for (int ply = 0; ply < 120; ply++) {
            Position &pos = *stack.current;
            computeAttackInfo(pos);
            Features a;
            computePositionFeatures(pos, a.f);
            char fen[128];
            writeFen(pos, fen);
            const Features b = featuresOf(*m, mirrorFen(fen));
            for (int i = 0; i < MAX_FEATURES; i++) ASSERT_EQ(a.f[i], b.f[i]) << "feature " << i << " in " << fen;
            EXPECT_EQ(a.f[featureOpposed(7)], 0) << fen;
            compared++;
            generateMoves(stack, pos);
            if (pos.moves.generated == 0) break;
            makeMove(stack, pos.moves.list[random() % pos.moves.generated]);
        }
    }
    EXPECT_GT(compared, 300);
}

// ---------------------------------------------------------------------------
// Evaluation

// Positions unchanged by the colour mirror have all features 0 and score the
// constant term, plus the endgame correction for 4 to 6 pieces.
TEST(HceEvaluation, SymmetricPositions) {
    auto t = newThread();
    const char *symmetric[] = {"rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1",
                               "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR b KQkq - 0 1",
                               "r3k2r/ppp2ppp/2n5/3pp3/3PP3/2N5/PPP2PPP/R3K2R w KQkq - 0 1",
                               "3rk3/8/8/8/8/8/8/3RK3 w - - 0 1", "4k3/3pp3/8/8/8/8/3PP3/4K3 b - - 0 1"};
    for (const char *fen : symmetric) {
        const Position &pos = load(*t, fen);
        const Features x = featuresOf(*t, fen);
        for (int i = 0; i < HCE_FEATURE_COUNT; i++) EXPECT_EQ(x.f[i], 0) << i << " in " << fen;
        const int pieces = popCount(pos.occupied);
        float expected = hce_weights[pieces][FEATURE_CONSTANT];
        if (pieces == 4) expected += endgame_corrections4[signedEndgameIndex(*pos.us, *pos.them)];
        if (pieces == 6) expected += endgame_corrections6[signedEndgameIndex(*pos.us, *pos.them)];
        EXPECT_EQ(evaluatePosition(load(*t, fen)), int32_t(expected)) << fen;
    }
}

// The evaluation is the weighted sum of the features of the set for its piece
// count plus the endgame term with the sign of the material comparison.
TEST(HceEvaluation, WeightedSumAndEndgameSign) {
    auto t = newThread();
    const char *fens[] = {"4k3/8/3p4/8/8/8/3R4/4K3 w - - 0 1",
                          "4k3/8/3p4/8/8/8/3R4/4K3 b - - 0 1",
                          "4k3/8/8/8/8/8/3PP3/4K3 b - - 0 1",
                          "4k3/8/3n4/8/8/3P4/3R4/4K3 b - - 0 1",
                          "4k3/2r5/3n4/8/8/3P4/3RP3/4K3 w - - 0 1",
                          "r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq - 0 1"};
    for (const char *fen : fens) {
        const Position &pos = load(*t, fen);
        const int pieces = popCount(pos.occupied);
        int32_t f[MAX_FEATURES];
        computePositionFeatures(pos, f);
        double expected = 0;
        for (int i = 0; i < MAX_FEATURES; i++) expected += double(f[i]) * hce_weights[pieces][i];
        if (pieces <= 6) {
            const float *corrections = pieces == 4   ? endgame_corrections4
                                       : pieces == 5 ? endgame_corrections5
                                                     : endgame_corrections6;
            const int index = signedEndgameIndex(*pos.us, *pos.them);
            const float term = index >= 0 ? corrections[index] : -corrections[-index];
            EXPECT_EQ(endgameTerm(*pos.us, *pos.them), term);
            expected += term;
        }
        EXPECT_NEAR(evaluatePosition(pos), std::trunc(expected), 1.0) << fen;
    }
    // KRvKP: added with the rook side to move, subtracted with the pawn side.
    const Position &rook = load(*t, fens[0]);
    const float added = endgameTerm(*rook.us, *rook.them);
    EXPECT_EQ(added, endgame_corrections4[13]);
    const Position &pawn = load(*t, fens[1]);
    EXPECT_EQ(endgameTerm(*pawn.us, *pawn.them), -added);
}

}  // namespace
