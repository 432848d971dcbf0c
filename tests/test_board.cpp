// Board core: attack tables, FEN and move text, legal generation with its flag
// bits, copy-make with incremental keys, perft and the board display.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <random>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "board/board.h"
#include "board/moves.h"
#include "board/perft.h"
#include "board/sliders/sliders.h"
#include "board/zobrist.h"
#include "network/network.h"
#include "search/search.h"
#include "uci/uci.h"
#include "tests/perft_epd.h"

namespace {

constexpr const char *KIWIPETE = "r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq - 0 1";

int sq(const char *name) { return (name[1] - '1') * 8 + (name[0] - 'a'); }

std::unique_ptr<SearchThread> newThread() { return std::make_unique<SearchThread>(); }

// Sets up a position and plays moves; reports the failed check otherwise.
bool load(SearchThread &t, const char *fen, const char *moves = nullptr) {
    const char *failed = readFen(t, fen);
    if (!failed && moves) failed = playMoves(t, moves);
    if (failed) ADD_FAILURE() << "rejected '" << fen << "' moves '" << (moves ? moves : "") << "': " << failed;
    return !failed;
}

std::string fenOf(const PositionStack &stack) {
    char buffer[128];
    writeFen(*stack.current, buffer);
    return buffer;
}

std::string firstFields(const std::string &fen, int n) {
    size_t end = 0;
    for (int i = 0; i < n && end != std::string::npos; i++) end = fen.find(' ', end + (i > 0));
    return fen.substr(0, end);
}

std::string text(Move m) {
    char buffer[6];
    moveToText(m, buffer);
    return buffer;
}

// Generated moves of the current slot, by text.
std::vector<Move> legalMoves(PositionStack &stack) {
    Position &pos = *stack.current;
    computeAttackInfo(pos);
    generateMoves(stack, pos);
    return std::vector<Move>(pos.moves.list, pos.moves.list + pos.moves.generated);
}

Move findMove(PositionStack &stack, const std::string &move_text) {
    for (Move m : legalMoves(stack))
        if (text(m) == move_text) return m;
    ADD_FAILURE() << move_text << " not generated in " << fenOf(stack);
    return 0;
}

// Move-path count without the root divide lines (those print at depth 0 only).
uint64_t paths(PositionStack &stack, int length) { return perft(stack, 1, length); }

// ---------------------------------------------------------------------------
// Attack tables

// Independent ray walk by file and rank steps.
Bitboard walk(int square, Bitboard occupancy, const int (*dirs)[2]) {
    Bitboard result = 0;
    for (int d = 0; d < 4; d++) {
        for (int f = square % 8 + dirs[d][0], r = square / 8 + dirs[d][1]; f >= 0 && f < 8 && r >= 0 && r < 8;
             f += dirs[d][0], r += dirs[d][1]) {
            result |= bit(r * 8 + f);
            if (occupancy & bit(r * 8 + f)) break;
        }
    }
    return result;
}
constexpr int ORTHOGONAL[4][2] = {{1, 0}, {-1, 0}, {0, 1}, {0, -1}};
constexpr int DIAGONAL[4][2] = {{1, 1}, {-1, 1}, {1, -1}, {-1, -1}};

TEST(AttackTables, MasksAndExamples) {
    EXPECT_EQ(rookMask[sq("a1")], 0x000101010101017EULL);
    EXPECT_EQ(popCount(rookMask[sq("d4")]), 10);
    EXPECT_EQ(bishopMask[sq("a1")], 0x0040201008040200ULL);
    EXPECT_EQ(popCount(bishopMask[sq("d4")]), 9);
    const Bitboard blockers = bit(sq("a4")) | bit(sq("d1")) | bit(sq("h1"));  // h1 lies outside the mask
    EXPECT_EQ(rookMoves(sq("a1"), blockers),
              bit(sq("a2")) | bit(sq("a3")) | bit(sq("a4")) | bit(sq("b1")) | bit(sq("c1")) | bit(sq("d1")));

    // Leapers and pawn captures must not wrap around the board edge.
    int king_total = 0, knight_total = 0;
    for (int s = 0; s < 64; s++) king_total += popCount(kingMoves[s]), knight_total += popCount(knightMoves[s]);
    EXPECT_EQ(king_total, 420);
    EXPECT_EQ(knight_total, 336);
    for (int file = 0; file < 8; file++) {
        EXPECT_EQ(pawnCaptures[WHITE][56 + file], 0u);
        EXPECT_EQ(pawnCaptures[BLACK][file], 0u);
    }
    EXPECT_EQ(pawnCaptures[WHITE][sq("a2")], bit(sq("b3")));
    EXPECT_EQ(pawnCaptures[WHITE][sq("h2")], bit(sq("g3")));
    EXPECT_EQ(pawnCaptures[BLACK][sq("h7")], bit(sq("g6")));
    EXPECT_EQ(pawnCaptures[BLACK][sq("d5")], bit(sq("c4")) | bit(sq("e4")));
}

TEST(AttackTables, SliderLookupsMatchRayWalk) {
    std::mt19937_64 rng(12345);
    for (int s = 0; s < 64; s++) {
        for (int i = 0; i < 300; i++) {
            // Sparse, medium and dense occupancies.
            Bitboard occ = rng();
            if (i % 3 == 0) occ &= rng() & rng();
            if (i % 3 == 1) occ &= rng();
            ASSERT_EQ(rookMoves(s, occ), walk(s, occ, ORTHOGONAL)) << s << " " << std::hex << occ;
            ASSERT_EQ(bishopMoves(s, occ), walk(s, occ, DIAGONAL)) << s << " " << std::hex << occ;
            ASSERT_EQ(queenMoves(s, occ), walk(s, occ, ORTHOGONAL) | walk(s, occ, DIAGONAL));
        }
    }
}

TEST(AttackTables, Aligned) {
    EXPECT_TRUE(aligned(sq("e1"), sq("e4"), sq("e8")));
    EXPECT_TRUE(aligned(sq("a1"), sq("d4"), sq("h8")));
    EXPECT_FALSE(aligned(sq("e1"), sq("d2"), sq("e8")));
    // Against a direct test on files, ranks and both diagonals, for every triple.
    auto onLine = [](int a, int b, int c) {
        const int f[3] = {a % 8, b % 8, c % 8}, r[3] = {a / 8, b / 8, c / 8};
        return (r[0] == r[1] && r[1] == r[2]) || (f[0] == f[1] && f[1] == f[2]) ||
               (f[0] - r[0] == f[1] - r[1] && f[1] - r[1] == f[2] - r[2]) ||
               (f[0] + r[0] == f[1] + r[1] && f[1] + r[1] == f[2] + r[2]);
    };
    for (int a = 0; a < 64; a++)
        for (int b = 0; b < 64; b++)
            for (int c = 0; c < 64; c++) ASSERT_EQ(aligned(a, b, c), onLine(a, b, c)) << a << " " << b << " " << c;
}

// ---------------------------------------------------------------------------
// Perft

void checkEpd(bool deep) {
    const auto cases = readEpd();
    ASSERT_EQ(cases.size(), 10u);
    auto t = newThread();
    for (const EpdCase &c : cases) {
        ASSERT_TRUE(load(*t, c.fen.c_str()));
        for (auto [depth, nodes] : c.depths) {
            if ((nodes > QUICK_NODES) == deep) {
                EXPECT_EQ(paths(t->stack, depth), nodes) << c.fen << " depth " << depth;
            }
        }
    }
}

TEST(Perft, EpdPositions) { checkEpd(false); }
TEST(Perft, DeepEpdPositions) { checkEpd(true); }

// Hand-made positions; every count comes from Stockfish 15.1 ("go perft N").
struct PerftCase {
    const char *fen;
    int quick_depth;               // depths above this run in the Deep test
    std::vector<uint64_t> counts;  // depth 1, 2, ...
};

const PerftCase SPECIAL_CASES[] = {
    // En passant that would expose the own king along the rank.
    {"8/8/8/KPp4r/8/8/8/6k1 w - c6 0 1", 5, {4, 68, 317, 5621, 31752, 581726}},
    {"3k4/3p4/8/K1P4r/8/8/8/8 b - - 0 1", 5, {18, 92, 1670, 10138, 185429, 1134888}},
    {"8/2p5/3p4/KP5r/1R3p1k/8/4P1P1/8 w - - 0 1", 5, {14, 191, 2812, 43238, 674624, 11030083}},
    // ... along a diagonal.
    {"8/8/4k3/8/2p5/8/B2P2K1/8 w - - 0 1", 5, {13, 102, 1266, 10276, 135655, 1015133}},
    // En passant giving discovered check along the rank, and giving check.
    {"8/8/8/R2Pp2k/8/8/8/4K3 w - e6 0 1", 5, {16, 89, 1574, 10658, 195588, 1273786}},
    {"8/8/1k6/2b5/2pP4/8/5K2/8 b - d3 0 1", 5, {15, 126, 1928, 13931, 206379, 1440467}},
    // Promotions with check: direct, discovered, both (a double check), under-promotion, out of check.
    {"1nk5/2P5/8/8/8/8/8/2R3K1 w - - 0 1", 5, {19, 89, 1778, 12126, 254315, 1895349}},
    {"4k3/1P6/8/8/8/8/K7/8 w - - 0 1", 6, {9, 40, 472, 2661, 38983, 217342}},
    {"8/P1k5/K7/8/8/8/8/8 w - - 0 1", 6, {6, 27, 273, 1329, 18135, 92683}},
    {"2K2r2/4P3/8/8/8/8/8/3k4 w - - 0 1", 5, {11, 133, 1442, 19174, 266199, 3821001}},
    {"r3k2r/Pppp1ppp/1b3nbN/nP6/BBP1P3/q4N2/Pp1P2PP/R2Q1RK1 w kq - 0 1", 4, {6, 264, 9467, 422333, 15833292}},
    {"rnbq1k1r/pp1Pbppp/2p5/8/2B5/8/PPP1NnPP/RNBQK2R w KQ - 1 8", 3, {44, 1486, 62379, 2103487, 89941194}},
    // Castling: b1 attacked (queen side allowed), f1 or d1 attacked (not allowed), castling with check.
    {"1r3rk1/8/8/8/8/8/8/R3K2R w KQ - 0 1", 4, {23, 487, 10517, 244474, 5655966}},
    {"3rk3/8/8/8/8/8/8/R3K2R w KQ - 0 1", 4, {23, 293, 7265, 109547, 2784168, 43605377}},
    {"5k2/8/8/8/8/8/8/4K2R w K - 0 1", 6, {15, 66, 1198, 6399, 120330, 661072}},
    {"3k4/8/8/8/8/8/8/R3K3 w Q - 0 1", 6, {16, 71, 1286, 7418, 141077, 803711}},
    {"r3k2r/1b4bq/8/8/8/8/7B/R3K2R w KQkq - 0 1", 3, {26, 1141, 27826, 1274206, 31912360}},
    {"r3k2r/8/3Q4/8/8/5q2/8/R3K2R b KQkq - 0 1", 3, {44, 1494, 50509, 1720476, 58773923}},
    // Double check: only king moves.
    {"4r1k1/8/8/8/3Q4/3n4/8/4K3 w - - 0 1", 4, {3, 69, 1763, 31075, 724137, 12721329}},
    // Discovered checks, stalemate and mate at the leaves.
    {"8/8/1P2K3/8/2n5/1q6/8/5k2 b - - 0 1", 4, {29, 165, 5160, 31961, 1004658, 6334638}},
    {"K1k5/8/P7/8/8/8/8/8 w - - 0 1", 6, {2, 6, 13, 63, 382, 2217}},
    {"8/8/2k5/5q2/5n2/8/5K2/8 b - - 0 1", 4, {37, 183, 6559, 23527, 811573, 3114998}},
};

void checkSpecialCases(bool deep) {
    auto t = newThread();
    for (const PerftCase &c : SPECIAL_CASES) {
        ASSERT_TRUE(load(*t, c.fen));
        for (int depth = 1; depth <= int(c.counts.size()); depth++) {
            if ((depth > c.quick_depth) == deep) {
                EXPECT_EQ(paths(t->stack, depth), c.counts[depth - 1]) << c.fen << " depth " << depth;
            }
        }
    }
}

TEST(Perft, SpecialPositions) { checkSpecialCases(false); }
TEST(Perft, DeepSpecialPositions) { checkSpecialCases(true); }

// Root lines of the perft command against the per-move counts of the data file.
TEST(Perft, DivideMatchesReference) {
    struct Block {
        std::string fen;
        int depth;
        std::map<std::string, uint64_t> counts;
        uint64_t total;
    };
    std::vector<Block> blocks;
    std::ifstream in(std::string(VEXAR_DATA_DIR) + "/perft-basic-divide.txt");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("position ", 0) == 0) {
            const size_t at = line.rfind(" depth ");
            blocks.push_back({line.substr(9, at - 9), std::atoi(line.c_str() + at + 7), {}, 0});
        } else if (line.rfind("total: ", 0) == 0) {
            blocks.back().total = std::stoull(line.substr(7));
        } else if (!line.empty() && line[0] != '#') {
            const size_t colon = line.find(": ");
            blocks.back().counts[line.substr(0, colon)] = std::stoull(line.substr(colon + 2));
        }
    }
    auto t = newThread();
    int checked = 0;
    for (const Block &b : blocks) {
        if (b.depth != 3) continue;
        ASSERT_TRUE(load(*t, b.fen.c_str()));
        testing::internal::CaptureStdout();
        const uint64_t total = perft(t->stack, 0, b.depth - 1);
        std::istringstream out(testing::internal::GetCapturedStdout());
        std::map<std::string, uint64_t> ours;
        std::string row;
        while (std::getline(out, row)) {
            const size_t colon = row.find(": ");
            ASSERT_NE(colon, std::string::npos) << row;
            EXPECT_EQ(ours.count(row.substr(0, colon)), 0u) << "listed twice: " << row;
            ours[row.substr(0, colon)] = std::stoull(row.substr(colon + 2));
        }
        EXPECT_EQ(ours, b.counts) << b.fen;
        EXPECT_EQ(total, b.total) << b.fen;
        checked++;
    }
    EXPECT_EQ(checked, 10);
}

// ---------------------------------------------------------------------------
// Flag bits

TEST(MoveFlags, StartPositionOrderWithoutFlags) {
    auto t = newThread();
    ASSERT_TRUE(load(*t, START_FEN));
    const auto moves = legalMoves(t->stack);
    const char *expected[] = {"a2a3", "a2a4", "b2b3", "b2b4", "c2c3", "c2c4", "d2d3", "d2d4", "e2e3", "e2e4",
                              "f2f3", "f2f4", "g2g3", "g2g4", "h2h3", "h2h4", "b1a3", "b1c3", "g1f3", "g1h3"};
    ASSERT_EQ(moves.size(), 20u);
    for (size_t i = 0; i < 20; i++) {
        EXPECT_EQ(text(moves[i]), expected[i]);
        EXPECT_EQ(moves[i] & 0x7F0000u, 0u) << expected[i];  // bits 16-22
    }
    EXPECT_EQ(moves[9], 28u | 12u << 6 | 6u << 12);  // e2e4: from 12 to 28, pawn
}

// Bits 16-19 of the named moves: a = pawn advance, r = safe retreat, c = direct
// check, d = discovered check.
void expectFlags(PositionStack &stack, const std::string &move_text, const char *flags) {
    const Move m = findMove(stack, move_text);
    std::string got;
    if (m & FLAG_PAWN_ADVANCE) got += 'a';
    if (m & FLAG_SAFE_RETREAT) got += 'r';
    if (m & FLAG_DIRECT_CHECK) got += 'c';
    if (m & FLAG_DISCOVERED_CHECK) got += 'd';
    EXPECT_EQ(got, flags) << move_text << " in " << fenOf(stack);
}

TEST(MoveFlags, HandMadePositions) {
    auto t = newThread();
    PositionStack &s = t->stack;

    // Pawn advance: opponent's half, or no enemy pawn ahead on own and adjacent files.
    ASSERT_TRUE(load(*t, "4k3/1p6/4p3/P2P4/2P5/8/P6P/4K3 w - - 0 1"));
    expectFlags(s, "a2a3", "");   // b7 ahead on an adjacent file
    expectFlags(s, "a5a6", "a");  // b7 ahead, but a5 is the first square of the opponent's half
    expectFlags(s, "c4c5", "");   // b7 ahead, own half
    expectFlags(s, "h2h4", "a");  // nothing ahead
    expectFlags(s, "d5d6", "a");  // opponent's half
    expectFlags(s, "d5e6", "a");
    EXPECT_EQ(moveCaptured(findMove(s, "d5e6")), PAWN);
    ASSERT_TRUE(load(*t, "4k3/1p6/4p3/3P4/2p4p/8/PP4P1/4K3 b - - 0 1"));
    expectFlags(s, "h4h3", "a");  // g2 ahead; h4 is the last square of the opponent's half
    expectFlags(s, "b7b5", "");   // a2 ahead on an adjacent file
    expectFlags(s, "c4c3", "a");  // b2 ahead, but in the opponent's half
    expectFlags(s, "e6e5", "r");  // d5 ahead; e6 attacked, undefended, e5 safe
    expectFlags(s, "e6d5", "r");

    ASSERT_TRUE(load(*t, "4k3/7p/8/8/8/8/P7/4K3 b - - 0 1"));
    expectFlags(s, "h7h5", "a");

    // Safe retreat: attacked, undefended, to a square the opponent does not attack.
    ASSERT_TRUE(load(*t, "4k3/8/3p4/4N3/8/8/8/4K3 w - - 0 1"));
    expectFlags(s, "e5g4", "r");
    expectFlags(s, "e5c4", "r");
    expectFlags(s, "e5d7", "");  // the king attacks d7
    ASSERT_TRUE(load(*t, "4k3/8/3p4/4N3/5P2/8/8/4K3 w - - 0 1"));
    expectFlags(s, "e5g4", "");  // defended by f4
    expectFlags(s, "f4f5", "a");

    // Direct and discovered checks.
    ASSERT_TRUE(load(*t, "4k3/8/8/8/4N3/8/8/4R1K1 w - - 0 1"));
    expectFlags(s, "e4d6", "cd");
    expectFlags(s, "e4f6", "cd");
    expectFlags(s, "e4c3", "d");
    expectFlags(s, "e1e2", "");  // still blocked by the knight
    ASSERT_TRUE(load(*t, "4k3/8/8/8/4P3/8/8/4R1K1 w - - 0 1"));
    expectFlags(s, "e4e5", "a");  // moves along the line it blocks
    ASSERT_TRUE(load(*t, "7k/8/8/8/3R4/8/1B6/K7 w - - 0 1"));
    expectFlags(s, "d4d8", "cd");
    expectFlags(s, "d4a4", "d");
    expectFlags(s, "b2c3", "");  // moves along its own line
    expectFlags(s, "d4h4", "cd");
    // The king itself uncovers a check.
    ASSERT_TRUE(load(*t, "R2K3k/8/8/8/8/8/8/8 w - - 0 1"));
    expectFlags(s, "d8d7", "d");
    expectFlags(s, "d8c7", "d");
    expectFlags(s, "d8e8", "");

    // Castling with the rook giving check; castling has no discovered flag.
    ASSERT_TRUE(load(*t, "5k2/8/8/8/8/8/8/4K2R w K - 0 1"));
    expectFlags(s, "e1g1", "c");
    ASSERT_TRUE(load(*t, "3k4/8/8/8/8/8/8/R3K3 w Q - 0 1"));
    expectFlags(s, "e1c1", "c");
    ASSERT_TRUE(load(*t, "r3k2r/8/8/8/8/8/8/R3K2R b kq - 0 1"));
    expectFlags(s, "e8g8", "");
    expectFlags(s, "e8c8", "");

    // En passant that gives check carries both check bits, whichever kind.
    ASSERT_TRUE(load(*t, "8/8/8/R2Pp2k/8/8/8/4K3 w - e6 0 1"));
    EXPECT_EQ(findMove(s, "d5e6"), makeMoveCode(sq("d5"), sq("e6"), PAWN, PAWN) | FLAG_CHECK);
    ASSERT_TRUE(load(*t, "8/8/1k6/2b5/2pP4/8/5K2/8 b - d3 0 1"));
    EXPECT_EQ(findMove(s, "c4d3"), makeMoveCode(sq("c4"), sq("d3"), PAWN, PAWN) | FLAG_CHECK);
    ASSERT_TRUE(load(*t, "8/8/8/KPp4r/8/8/8/6k1 w - c6 0 1"));
    for (Move m : legalMoves(s)) EXPECT_NE(text(m), "b5c6");

    // Double check: king moves only, in target order.
    ASSERT_TRUE(load(*t, "4r1k1/8/8/8/3Q4/3n4/8/4K3 w - - 0 1"));
    std::string kings;
    for (Move m : legalMoves(s)) kings += text(m) + " ";
    EXPECT_EQ(kings, "e1d1 e1f1 e1d2 ");
}

TEST(MoveFlags, PromotionsCapturesAndOrder) {
    auto t = newThread();
    PositionStack &s = t->stack;
    // Capture-promotion that uncovers the rook and attacks the king itself.
    ASSERT_TRUE(load(*t, "1nk5/2P5/8/8/8/8/8/2R3K1 w - - 0 1"));
    auto moves = legalMoves(s);
    ASSERT_GE(moves.size(), 4u);
    const Move base = makeMoveCode(sq("c7"), sq("b8"), PAWN, KNIGHT);
    EXPECT_EQ(moves[0], base | Move(QUEEN) << 24 | FLAG_CHECK);
    EXPECT_EQ(moves[1], base | Move(ROOK) << 24 | FLAG_CHECK);
    EXPECT_EQ(moves[2], base | Move(BISHOP) << 24 | FLAG_DISCOVERED_CHECK);
    EXPECT_EQ(moves[3], base | Move(KNIGHT) << 24 | FLAG_DISCOVERED_CHECK);
    EXPECT_EQ(text(moves[0]), "c7b8q");
    EXPECT_EQ(text(moves[3]), "c7b8n");

    ASSERT_TRUE(load(*t, "8/P1k5/K7/8/8/8/8/8 w - - 0 1"));
    expectFlags(s, "a7a8q", "");
    expectFlags(s, "a7a8n", "c");

    // Push and both captures: twelve moves, queen first for each target in square order.
    ASSERT_TRUE(load(*t, "3r1b2/4P3/8/8/8/8/k7/4K3 w - - 0 1"));
    moves = legalMoves(s);
    ASSERT_GE(moves.size(), 12u);
    const char *order[] = {"e7d8q", "e7d8r", "e7d8b", "e7d8n", "e7e8q", "e7e8r",
                           "e7e8b", "e7e8n", "e7f8q", "e7f8r", "e7f8b", "e7f8n"};
    for (int i = 0; i < 12; i++) {
        EXPECT_EQ(text(moves[i]), order[i]);
        EXPECT_EQ(moves[i] & (FLAG_PAWN_ADVANCE | FLAG_SAFE_RETREAT), 0u) << order[i];
    }
    EXPECT_EQ(moveCaptured(moves[0]), ROOK);
    EXPECT_EQ(moveCaptured(moves[4]), NO_PIECE);
    EXPECT_EQ(moveCaptured(moves[8]), BISHOP);
    EXPECT_EQ(movePromotion(moves[9]), ROOK);
}

// Walks the tree and checks every generated move against its made position:
// legality, captured type, check bits (18 = the moved piece, or the castled
// rook, attacks the king; 19 = another piece does; en passant carries both
// whenever it checks), and bits 16, 17 and the always-zero bits against their
// definitions on the position before the move.
struct TreeCheck {
    PositionStack &stack;
    uint64_t moves = 0, checks = 0;
    bool accumulators = false;  // also compare every child's Accumulator with a refresh

    void checkAccumulator(const Position &child, const std::string &where) {
        Accumulator fresh;
        refreshAccumulator(fresh, &child.set[WHITE].bb[PAWN], &child.set[BLACK].bb[PAWN]);
        for (int p = 0; p < 2; p++)
            for (int i = 0; i < ACCUMULATOR_SIZE; i++)
                ASSERT_NEAR(child.accumulator.half[p][i], fresh.half[p][i], 1e-3f) << where << " half " << p;
    }

    static bool passed(const Position &pos, int from, int colour) {
        for (Bitboard b = pos.set[1 - colour].bb[PAWN]; b; b = clearLowest(b)) {
            const int s = lowestSquare(b);
            const bool ahead = colour == WHITE ? s / 8 > from / 8 : s / 8 < from / 8;
            if (ahead && std::abs(s % 8 - from % 8) <= 1) return false;
        }
        return true;
    }

    void walk(int depth) {
        Position &pos = *stack.current;
        computeAttackInfo(pos);
        // perft's last ply counts without listing: the two must agree.
        const int counted = countLegalMoves(stack, pos);
        generateMoves(stack, pos);
        EXPECT_EQ(counted, pos.moves.generated) << fenOf(stack);
        const int us = pos.us->colour, them = 1 - us;
        for (int i = 0; i < pos.moves.generated && !testing::Test::HasFailure(); i++) {
            const Move m = pos.moves.list[i];
            const int from = moveFrom(m), to = moveTo(m), type = movePiece(m);
            const bool en_passant = type == PAWN && bit(to) == pos.en_passant;
            const bool castling = type == KING && std::abs(to - from) == 2;
            const bool promotion = movePromotion(m) != 0;
            const std::string where = text(m) + " in " + fenOf(stack);
            EXPECT_EQ(m & 0xF8808000u, 0u) << where;  // bits 15, 23, 27-31

            const bool from_attacked = squareAttacked(pos, from, them, pos.occupied);
            const bool from_defended = squareAttacked(pos, from, us, pos.occupied);
            const bool to_attacked = squareAttacked(pos, to, them, pos.occupied);
            const bool plain = !en_passant && !castling && !promotion;
            EXPECT_EQ(bool(m & FLAG_SAFE_RETREAT), plain && from_attacked && !from_defended && !to_attacked) << where;
            const bool advanced = us == WHITE ? from >= 32 : from < 32;
            EXPECT_EQ(bool(m & FLAG_PAWN_ADVANCE), plain && type == PAWN && (advanced || passed(pos, from, us)))
                << where;

            makeMove(stack, m);
            Position &child = *stack.current;
            if (accumulators) checkAccumulator(child, where);
            EXPECT_EQ(child.key, computeKey(child)) << where;
            EXPECT_EQ(child.occupied, child.set[BLACK].bb[0] | child.set[WHITE].bb[0]) << where;
            computeAttackInfo(child);
            EXPECT_EQ(child.attack_info[us].checkers, 0u) << "leaves the king in check: " << where;
            int lost = NO_PIECE;
            for (int t = PAWN; t <= KING; t++)
                if (popCount(child.set[them].bb[t]) != popCount(pos.set[them].bb[t])) lost = t;
            EXPECT_EQ(moveCaptured(m), lost) << where;

            const Bitboard checkers = child.attack_info[them].checkers;
            if (checkers) checks++;
            if (en_passant) {
                EXPECT_EQ(m & FLAG_CHECK, checkers ? FLAG_CHECK : 0u) << where;
            } else {
                const int landed = castling ? (to > from ? from + 1 : from - 1) : to;
                EXPECT_EQ(bool(m & FLAG_DIRECT_CHECK), bool(checkers & bit(landed))) << where;
                EXPECT_EQ(bool(m & FLAG_DISCOVERED_CHECK), bool(checkers & ~bit(landed))) << where;
            }
            moves++;
            if (depth > 1) walk(depth - 1);
            unmakeMove(stack);
        }
    }
};

TEST(MoveFlags, AgreeWithMadePositionsAlongTrees) {
    const std::pair<const char *, int> roots[] = {
        {KIWIPETE, 3},
        {"r3k2r/Pppp1ppp/1b3nbN/nP6/BBP1P3/q4N2/Pp1P2PP/R2Q1RK1 w kq - 0 1", 3},
        {"rnbq1k1r/pp1Pbppp/2p5/8/2B5/8/PPP1NnPP/RNBQK2R w KQ - 1 8", 3},
        {"8/2p5/3p4/KP5r/1R3p1k/8/4P1P1/8 w - - 0 1", 4},
        {"rnbqkbnr/ppp1p1pp/8/3pPp2/8/8/PPPP1PPP/RNBQKBNR w KQkq f6 0 3", 3},
        {"1nk5/2P5/8/8/8/8/8/2R3K1 w - - 0 1", 4},
        {"8/8/1k6/2b5/2pP4/8/5K2/8 b - d3 0 1", 4},
        {"8/8/8/R2Pp2k/8/8/8/4K3 w - e6 0 1", 4},
        {"r3k2r/1b4bq/8/8/8/8/7B/R3K2R w KQkq - 0 1", 3},
        {"5k2/8/8/8/8/8/8/4K2R w K - 0 1", 4},
    };
    auto t = newThread();
    uint64_t moves = 0, checks = 0;
    for (auto [fen, depth] : roots) {
        ASSERT_TRUE(load(*t, fen));
        TreeCheck check{t->stack};
        check.walk(depth);
        ASSERT_FALSE(HasFailure()) << fen;
        moves += check.moves, checks += check.checks;
    }
    EXPECT_GT(moves, 300000u);
    EXPECT_GT(checks, 5000u);
}

TEST(MakeMove, AccumulatorsAgreeWithRefreshesAlongTrees) {
    // Random weights, so that a feature added to or taken from the wrong row
    // shows; the previous weights are put back afterwards.
    const auto saved = std::make_unique<Network>(network);
    std::mt19937 rng(11);
    std::uniform_real_distribution<float> weight(-1.0f, 1.0f);
    for (auto &row : network.feature_weights)
        for (float &w : row) w = weight(rng);
    for (float &b : network.feature_biases) b = weight(rng);
    // Castling both ways, en passant for both sides, promotions with and
    // without capture, king moves, and checks.
    const std::pair<const char *, int> roots[] = {
        {KIWIPETE, 3},
        {"rnbqkbnr/ppp1p1pp/8/3pPp2/8/8/PPPP1PPP/RNBQKBNR w KQkq f6 0 3", 3},
        {"8/8/1k6/2b5/2pP4/8/5K2/8 b - d3 0 1", 4},
        {"1r2k3/P1P5/8/8/8/8/5p1p/3K2R1 w - - 0 1", 3},
        {"r3k2r/1b4bq/8/8/8/8/7B/R3K2R w KQkq - 0 1", 3},
    };
    auto t = newThread();
    uint64_t moves = 0;
    for (auto [fen, depth] : roots) {
        ASSERT_TRUE(load(*t, fen));
        TreeCheck check{t->stack};
        check.accumulators = true;
        check.walk(depth);
        ASSERT_FALSE(HasFailure()) << fen;
        moves += check.moves;
    }
    network = *saved;
    EXPECT_GT(moves, 100000u);
}

// ---------------------------------------------------------------------------
// Keys

TEST(Keys, StartKeyAndPolyglotVectors) {
    auto t = newThread();
    ASSERT_TRUE(load(*t, START_FEN));
    EXPECT_EQ(t->stack.current->key, 0x463B96181691FC9CULL);

    std::ifstream in(std::string(VEXAR_DATA_DIR) + "/polyglot-keys.txt");
    std::string line;
    int same = 0, differ = 0;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#') continue;
        std::vector<std::string> parts;
        for (size_t start = 0;;) {
            const size_t bar = line.find(" | ", start);
            parts.push_back(line.substr(start, bar - start));
            if (bar == std::string::npos) break;
            start = bar + 3;
        }
        ASSERT_GE(parts.size(), 3u) << line;
        const uint64_t polyglot = std::stoull(parts[2], nullptr, 16);
        const bool ep_differs = parts.size() > 3 && parts[3] == "ep-differs";
        const std::string moves = parts[1] == "(start)" ? "" : parts[1];

        ASSERT_TRUE(load(*t, START_FEN, moves.c_str()));
        const uint64_t played = t->stack.current->key;
        // The published FENs keep a half-move clock of 0 throughout; compare the first four fields.
        EXPECT_EQ(firstFields(fenOf(t->stack), 4), firstFields(parts[0], 4));
        ASSERT_TRUE(load(*t, parts[0].c_str()));
        EXPECT_EQ(t->stack.current->key, played) << line;
        if (ep_differs) {
            EXPECT_NE(played, polyglot) << line;
            differ++;
        } else {
            EXPECT_EQ(played, polyglot) << line;
            same++;
        }
    }
    EXPECT_EQ(same, 7);
    EXPECT_EQ(differ, 2);
}

TEST(Keys, NullMove) {
    auto t = newThread();
    ASSERT_TRUE(load(*t, START_FEN, "e2e4"));
    PositionStack &s = t->stack;
    Position &before = *s.current;
    before.rule50 = 7;
    makeNullMove(s);
    Position &after = *s.current;
    EXPECT_EQ(after.key, before.key ^ polyglotRandom[780] ^ polyglotRandom[772 + 4]);
    EXPECT_EQ(after.key, computeKey(after));
    EXPECT_EQ(after.en_passant, 0u);
    EXPECT_EQ(after.rule50, 8);
    EXPECT_EQ(after.us->colour, WHITE);
    EXPECT_EQ(after.mirror, 0);
    EXPECT_EQ(before.move_played, 0u);
    makeNullMove(s);
    EXPECT_EQ(s.current->key, before.key ^ polyglotRandom[772 + 4]);
    unmakeMove(s);
    unmakeMove(s);
    EXPECT_EQ(s.current, &before);
}

// ---------------------------------------------------------------------------
// FEN and move lists

TEST(Fen, RoundTripAndFourFields) {
    auto t = newThread();
    for (const auto &c : readEpd()) {
        ASSERT_TRUE(load(*t, c.fen.c_str()));
        // The move number counts from the position that set up the stack.
        EXPECT_EQ(fenOf(t->stack), c.fen.substr(0, c.fen.rfind(' ')) + " 1");
    }
    ASSERT_TRUE(load(*t, "8/8/8/8/8/8/8/K6k w - -"));
    EXPECT_EQ(fenOf(t->stack), "8/8/8/8/8/8/8/K6k w - - 0 1");
    ASSERT_TRUE(load(*t, "8/8/8/8/8/8/8/K6k   b  -  -  42  90 moves a1a2"));  // repeated blanks, extra text
    EXPECT_EQ(fenOf(t->stack), "8/8/8/8/8/8/8/K6k b - - 42 1");
    EXPECT_EQ(t->stack.current->mirror, 0xE38);
    ASSERT_TRUE(load(*t, "8/8/8/8/8/8/8/K6k w - e 0x10 1"));  // one-character field: no square
    EXPECT_EQ(fenOf(t->stack), "8/8/8/8/8/8/8/K6k w - - 16 1");

    // Moves played after the FEN count from move 1.
    ASSERT_TRUE(load(*t, START_FEN, "e2e4 e7e5 g1f3"));
    EXPECT_EQ(fenOf(t->stack), "rnbqkbnr/pppp1ppp/8/4p3/4P3/5N2/PPPP1PPP/RNBQKB1R b KQkq - 1 2");
    ASSERT_TRUE(load(*t, "4k3/8/8/8/8/8/8/4K3 b - - 0 30", "e8d8"));
    EXPECT_EQ(fenOf(t->stack), "3k4/8/8/8/8/8/8/4K3 w - - 1 1");

    // Rights whose king or rook is not at home are dropped, from the key as well.
    ASSERT_TRUE(load(*t, "r3k3/8/8/8/8/8/8/4K2R w KQkq - 0 1"));
    EXPECT_EQ(fenOf(t->stack), "r3k3/8/8/8/8/8/8/4K2R w Kq - 0 1");
    EXPECT_EQ(t->stack.current->castling, bit(sq("e1")) | bit(sq("h1")) | bit(sq("a8")) | bit(sq("e8")));
    EXPECT_EQ(t->stack.current->key, computeKey(*t->stack.current));
    ASSERT_TRUE(load(*t, "r3k2r/8/8/8/8/8/8/R4K1R w KQkq - 0 1"));
    EXPECT_EQ(fenOf(t->stack), "r3k2r/8/8/8/8/8/8/R4K1R w kq - 0 1");
    for (Move m : legalMoves(t->stack)) EXPECT_FALSE(movePiece(m) == KING && std::abs(moveTo(m) - moveFrom(m)) == 2);

    // En passant squares that are consistent.
    ASSERT_TRUE(load(*t, "4k3/8/8/8/4P3/8/8/4K3 b - e3 0 1"));
    EXPECT_EQ(t->stack.current->en_passant, bit(sq("e3")));
    EXPECT_EQ(t->stack.current->key, computeKey(*t->stack.current));
}

TEST(Fen, Rejections) {
    const char *bad[] = {
        "8/8/8/8/8/8/8/K6k w - - 0",      // five fields
        "8/8/8/8/8/8/8/K6k w -",          // three fields
        "",                               // nothing
        "8/8/8/8/8/8/8/K6k w - - 100 1",  // half-move clock 100
        "8/8/8/8/8/8/8/K6k w - - -1 1",
        "8/8/8/8/8/8/8/K6k w - - x 1",
        "rnbqkbnr/ppppxppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1",  // bad character
        "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR0 w KQkq - 0 1",
        "k6k/8/8/8/8/8/8/K7 w - - 0 1",                                // two black kings
        "8/8/8/8/8/8/8/K7 w - - 0 1",                                  // no black king
        "P3k3/8/8/8/8/8/8/4K3 w - - 0 1",                              // pawn on rank 8
        "4k3/8/8/8/8/8/8/p3K3 w - - 0 1",                              // pawn on rank 1
        "4k3/8/8/8/8/8/8/4R1K1 w - - 0 1",                             // side not to move in check
        "4k3/8/8/8/4P3/8/8/4K3 b - d3 0 1",                            // no pawn in front of d3
        "4k3/8/8/8/4P3/8/8/4K3 w - e3 0 1",                            // e3 with white to move
        "4k3/8/8/8/4P3/8/4K3/8 b - e3 0 1",                            // e2 occupied
        "4k3/8/8/8/4P3/8/8/4K3 b - e4 0 1",                            // rank 4
        "4k3/8/8/8/4P3/8/8/4K3 b - i3 0 1",                            // file i
        "rnbqkbnr/pppppppp/n7/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1",   // 33 pieces
        "rnbqkbnr/ppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1",     // rank of 7
        "rnbqkbnr/pppppppp1/7/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1",   // 9 + 7 ends on the right square
        "rnbqkbnr/pppppppp/8/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1",  // nine ranks
        "rnbqkbnr/pppppppp/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1",      // seven ranks
    };
    auto t = newThread();
    for (const char *fen : bad) EXPECT_NE(readFen(*t, fen), nullptr) << "accepted: '" << fen << "'";
    EXPECT_EQ(readFen(*t, "4k3/8/8/8/8/8/8/4R1K1 b - - 0 1"), nullptr);  // checked side to move is fine
    EXPECT_EQ(readFen(*t, "4k3/8/8/8/8/8/8/4K3 w - - 99 1"), nullptr);
}

TEST(Fen, MoveListsAreCheckedForLegality) {
    auto t = newThread();
    const std::pair<const char *, const char *> bad[] = {
        {"4k3/8/8/8/8/8/4P3/4K3 w - - 0 1", "e7e5"},  // empty from square
        {START_FEN, "e7e5"},                          // wrong side
        {START_FEN, "e2e5"},
        {START_FEN, "e2e4 e7e5 e1e2 d8h4 e2e3 h4e4 e3f3"},  // stays in check
        {"4k3/4r3/8/8/8/8/4B3/4K3 w - - 0 1", "e2d3"},      // pinned
        {"4k3/2P5/8/8/8/8/8/4K3 w - - 0 1", "c7c8"},        // promotion letter missing
        {"4k3/2P5/8/8/8/8/8/4K3 w - - 0 1", "c7c8Q"},
        {"4k3/2P5/8/8/8/8/8/4K3 w - - 0 1", "c7c8k"},
        {"4k3/2P5/8/8/8/8/8/4K3 w - - 0 1", "c7c8p"},
        {"4k3/8/8/8/8/8/8/4K3 w - - 0 1", "e1e3"},
        {"r3k3/8/8/8/8/8/8/R3K2R w KQ - 0 1", "e1g1 e8c8"},  // castling right not held
        {"4kr2/8/8/8/8/8/8/4K2R w K - 0 1", "e1g1"},         // through f1
        {START_FEN, "e2"},
        {START_FEN, "e2e4 x9e5"},
        {START_FEN, "e2e4 e7e9"},
    };
    for (auto [fen, moves] : bad) {
        ASSERT_EQ(readFen(*t, fen), nullptr);
        EXPECT_NE(playMoves(*t, moves), nullptr) << fen << " moves " << moves;
    }
    // The corresponding legal lists.
    EXPECT_TRUE(load(*t, "4k3/2P5/8/8/8/8/8/4K3 w - - 0 1", "c7c8q"));
    EXPECT_EQ(fenOf(t->stack), "2Q1k3/8/8/8/8/8/8/4K3 b - - 0 1");
    EXPECT_TRUE(load(*t, "4k3/2P5/8/8/8/8/8/4K3 w - - 0 1", "c7c8n"));
    EXPECT_EQ(fenOf(t->stack), "2N1k3/8/8/8/8/8/8/4K3 b - - 0 1");
    EXPECT_TRUE(load(*t, "4k3/8/8/8/8/8/8/4K2R w K - 0 1", "e1g1"));
    EXPECT_TRUE(load(*t, START_FEN, "e2e4 e7e5 e1e2 d8h4 e2e3 h4e4 e3e4"));
}

TEST(Fen, RejectedPositionKeepsTheGame) {
    ASSERT_TRUE(setGame(START_FEN, "d2d4 d7d5 c2c4"));
    const std::string before = fenOf(main_thread->stack);
    const std::pair<const char *, const char *> bad[] = {
        {"k6k/8/8/8/8/8/8/K7 w - - 0 1", nullptr},  // fails after the record was cleared
        {START_FEN, "e2e4 e7e5 e1e3"},              // fails after two moves were made
    };
    for (auto [fen, moves] : bad) {
        testing::internal::CaptureStdout();
        EXPECT_FALSE(setGame(fen, moves));
        const std::string out = testing::internal::GetCapturedStdout();
        EXPECT_EQ(out.rfind("info debug ", 0), 0u) << out;
        EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 1) << out;
        EXPECT_EQ(fenOf(main_thread->stack), before) << fen;
        EXPECT_EQ(slotIndex(main_thread->stack, main_thread->stack.current), 3);
    }

    // A move list longer than the stack can hold besides a search line is refused.
    std::string shuffle;
    for (int i = 0; i < 250; i++) shuffle += "g1f3 g8f6 f3g1 f6g8 ";
    EXPECT_TRUE(setGame(START_FEN, shuffle.c_str()));
    EXPECT_EQ(slotIndex(main_thread->stack, main_thread->stack.current), 1000);
    EXPECT_EQ(fenOf(main_thread->stack), "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 1000 501");
    shuffle += "g1f3 g8f6 f3g1 f6g8 g1f3 g8f6 f3g1 f6g8 g1f3 g8f6 f3g1 f6g8 g1f3 g8f6 f3g1 f6g8";
    testing::internal::CaptureStdout();
    EXPECT_FALSE(setGame(START_FEN, shuffle.c_str()));
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(slotIndex(main_thread->stack, main_thread->stack.current), 1000);
    ASSERT_TRUE(setGame(START_FEN, nullptr));
}

// ---------------------------------------------------------------------------
// Making moves

TEST(MakeMove, UnmakeLeavesTheSlotUntouched) {
    auto t = newThread();
    for (const char *fen : {KIWIPETE, "r3k2r/Pppp1ppp/1b3nbN/nP6/BBP1P3/q4N2/Pp1P2PP/R2Q1RK1 w kq - 0 1",
                            "rnbqkbnr/ppp1p1pp/8/3pPp2/8/8/PPPP1PPP/RNBQKBNR w KQkq f6 0 3"}) {
        ASSERT_TRUE(load(*t, fen));
        PositionStack &s = t->stack;
        Position *root = s.current;
        const auto moves = legalMoves(s);
        auto snapshot = std::make_unique<Position>();
        memcpy(static_cast<void *>(snapshot.get()), root, sizeof(Position));
        for (Move m : moves) {
            makeMove(s, m);
            computeAttackInfo(*s.current);
            generateMoves(s, *s.current);
            unmakeMove(s);
            ASSERT_EQ(s.current, root);
            EXPECT_EQ(root->move_played, m);
            snapshot->move_played = m;
            EXPECT_EQ(memcmp(snapshot.get(), root, sizeof(Position)), 0) << text(m) << " in " << fen;
        }
    }
}

TEST(MakeMove, SpecialMoves) {
    auto t = newThread();
    PositionStack &s = t->stack;

    ASSERT_TRUE(load(*t, START_FEN, "e2e4"));
    EXPECT_EQ(s.current->en_passant, bit(sq("e3")));
    EXPECT_EQ(s.current->rule50, 0);
    EXPECT_EQ(s.current->mirror, 3640);
    ASSERT_TRUE(load(*t, START_FEN, "g1f3"));
    EXPECT_EQ(s.current->en_passant, 0u);
    EXPECT_EQ(s.current->rule50, 1);

    // Castling moves the rook and loses both rights of the side.
    ASSERT_TRUE(load(*t, "r3k2r/8/8/8/8/8/8/R3K2R w KQkq - 3 1", "e1g1"));
    const Position &castled = *s.current;
    EXPECT_EQ(castled.set[WHITE].bb[ROOK], bit(sq("a1")) | bit(sq("f1")));
    EXPECT_EQ(castled.set[WHITE].bb[KING], bit(sq("g1")));
    EXPECT_EQ(castled.set[WHITE].king_square, sq("g1"));
    EXPECT_EQ(castled.castling & bit(sq("e1")), 0u);
    EXPECT_EQ(fenOf(s), "r3k2r/8/8/8/8/8/8/R4RK1 b kq - 4 1");
    EXPECT_EQ(castled.key, computeKey(castled));
    ASSERT_TRUE(load(*t, "r3k2r/8/8/8/8/8/8/R3K2R b KQkq - 0 1", "e8c8"));
    EXPECT_EQ(fenOf(s), "2kr3r/8/8/8/8/8/8/R3K2R w KQ - 1 1");
    EXPECT_EQ(s.current->key, computeKey(*s.current));

    // A rook leaving a1 loses only that right; a capture on h8 removes black's king side.
    ASSERT_TRUE(load(*t, "r3k2r/8/8/8/8/8/8/R3K2R w KQkq - 0 1", "a1b1"));
    EXPECT_EQ(fenOf(s), "r3k2r/8/8/8/8/8/8/1R2K2R b Kkq - 1 1");
    ASSERT_TRUE(load(*t, "r3k2r/8/8/8/8/8/8/R3K2R w KQkq - 0 1", "h1h8"));
    EXPECT_EQ(fenOf(s), "r3k2R/8/8/8/8/8/8/R3K3 b Qq - 0 1");
    EXPECT_EQ(s.current->key, computeKey(*s.current));

    // En passant removes the pawn behind the target square.
    ASSERT_TRUE(load(*t, "rnbqkbnr/ppp1p1pp/8/3pPp2/8/8/PPPP1PPP/RNBQKBNR w KQkq f6 7 3", "e5f6"));
    EXPECT_EQ(fenOf(s), "rnbqkbnr/ppp1p1pp/5P2/3p4/8/8/PPPP1PPP/RNBQKBNR b KQkq - 0 1");
    EXPECT_EQ(s.current->set[BLACK].bb[PAWN] & bit(sq("f5")), 0u);
    EXPECT_EQ(s.current->key, computeKey(*s.current));

    // Promotion with capture.
    ASSERT_TRUE(load(*t, "1r2k3/P1P5/8/8/8/8/5p1p/3K2R1 b - - 5 1", "h2g1n"));
    EXPECT_EQ(fenOf(s), "1r2k3/P1P5/8/8/8/8/5p2/3K2n1 w - - 0 1");
    EXPECT_EQ(s.current->set[BLACK].bb[KNIGHT], bit(sq("g1")));
    EXPECT_EQ(s.current->key, computeKey(*s.current));
    EXPECT_EQ(s.current->king_pawns_only, 1);  // white is left with king and pawns
    EXPECT_EQ(s.current->previous->king_pawns_only, 0);
}

// ---------------------------------------------------------------------------
// Board display

// The picture of a board given rank 8 first, with the side-to-move marker
// after the named rank.
std::string picture(const char *const ranks[8], int marker_rank, const char *marker) {
    std::string out = "\n";
    for (int rank = 8; rank >= 1; rank--) {
        out += ' ';
        out += char('0' + rank);
        out += " \xB3";
        for (int file = 0; file < 8; file++) {
            const char pad = (file + rank - 1) % 2 ? '\xB0' : ' ';
            const char piece = ranks[8 - rank][file];
            out += pad;
            out += piece == '.' ? pad : piece;
            out += pad;
        }
        if (rank == marker_rank) out += marker;
        out += '\n';
    }
    out += "   \xC0";
    out.append(24, '\xC4');
    out += "\n     A  B  C  D  E  F  G  H\n\n";
    return out;
}

TEST(Display, ExactBytes) {
    auto t = newThread();
    ASSERT_TRUE(load(*t, START_FEN));
    testing::internal::CaptureStdout();
    displayPosition(t->stack);
    std::string out = testing::internal::GetCapturedStdout();
    const char *start[8] = {"rnbqkbnr", "pppppppp", "........", "........",
                            "........", "........", "PPPPPPPP", "RNBQKBNR"};
    std::string expected = picture(start, 1, " *");
    EXPECT_EQ(expected.substr(0, 17),
              "\n 8 \xB3\xB0r\xB0 n \xB0"
              "b\xB0 q ");  // spelled out once
    expected += "key = 0x463b96181691fc9c\nfen = rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1\n";
    ASSERT_EQ(out.substr(0, expected.size()), expected);
    EXPECT_TRUE(std::regex_match(out.substr(expected.size()), std::regex("score (cp|mate) -?[0-9]+ \n")))
        << out.substr(expected.size());

    // Black to move in check: the marker closes the rank-8 line.
    ASSERT_TRUE(load(*t, "4k3/8/8/8/8/8/8/4R1K1 b - - 0 1"));
    testing::internal::CaptureStdout();
    displayPosition(t->stack);
    out = testing::internal::GetCapturedStdout();
    const char *check[8] = {"....k...", "........", "........", "........",
                            "........", "........", "........", "....R.K."};
    expected = picture(check, 8, " * (check !)");
    EXPECT_EQ(out.substr(0, expected.size()), expected);
    EXPECT_NE(out.find("\nfen = 4k3/8/8/8/8/8/8/4R1K1 b - - 0 1\n"), std::string::npos);
}

}  // namespace
