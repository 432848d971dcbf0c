// Generation-0.7 programs: the generator's modes against filtered full lists,
// the slider lookup of each build (PEXT slots in the BMI2 build), and the
// full-key transposition-table entry with its used-entry count.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <regex>
#include <random>
#include <set>
#include <string>

#include "board/board.h"
#include "board/moves.h"
#include "board/sliders/sliders.h"
#include "io/output.h"
#include "search/tt.h"
#include "uci/uci.h"

namespace {

std::set<Move> movesOf(PositionStack &stack, GenerationMode mode) {
    Position &pos = *stack.current;
    computeAttackInfo(pos);
    generateMovesOfMode(stack, pos, mode);
    return std::set<Move>(pos.moves.list, pos.moves.list + pos.moves.generated);
}

// Mode 0's list filtered by the rule of each restricted mode.
bool keeps(GenerationMode mode, Move m, Bitboard enemies, Move last) {
    const bool always = movePromotion(m) != 0 || (movePiece(m) == PAWN && moveCaptured(m) == PAWN &&
                                                  !(enemies & bit(moveTo(m))));  // promotion or en passant
    const bool castling = movePiece(m) == KING && (moveFrom(m) - moveTo(m) == 2 || moveTo(m) - moveFrom(m) == 2);
    if (castling) return false;
    if (always) return true;
    switch (mode) {
        case GENERATE_FLAGGED: return (m & MOVE_ORDER_BITS) != 0;
        case GENERATE_CAPTURES: return (enemies & bit(moveTo(m))) != 0;
        case GENERATE_RECAPTURES: return last && moveTo(m) == moveTo(last);
        default: return true;
    }
}

TEST(ClassicGenerator, RestrictedModesAreFilteredFullLists) {
    auto t = std::make_unique<SearchThread>();
    std::mt19937 rng(7);
    const char *starts[] = {START_FEN, "r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq - 0 1",
                            "r3k2r/Pppp1ppp/1b3nbN/nP6/BBP1P3/q4N2/Pp1P2PP/R2Q1RK1 w kq - 0 1",
                            "8/2p5/3p4/KP5r/1R3p1k/8/4P1P1/8 w - - 0 1"};
    int checked = 0, recaptures = 0;
    for (const char *fen : starts) {
        ASSERT_EQ(readFen(*t, fen), nullptr);
        PositionStack &stack = t->stack;
        for (int ply = 0; ply < 60; ply++) {
            Position &pos = *stack.current;
            const std::set<Move> all = movesOf(stack, GENERATE_ALL);
            if (all.empty()) break;
            const Move last = pos.previous ? pos.previous->move_played : 0;
            for (GenerationMode mode : {GENERATE_FLAGGED, GENERATE_CAPTURES, GENERATE_RECAPTURES}) {
                std::set<Move> expected;
                for (Move m : all)
                    if (keeps(mode, m, pos.them->bb[0], last)) expected.insert(m);
                EXPECT_EQ(movesOf(stack, mode), expected) << fen << " ply " << ply << " mode " << int(mode);
                if (mode == GENERATE_RECAPTURES && !expected.empty() && ply > 0) recaptures++;
                checked++;
            }
            movesOf(stack, GENERATE_ALL);
            makeMove(stack, stack.current->moves.list[rng() % stack.current->moves.generated]);
        }
    }
    EXPECT_GT(checked, 300);
    EXPECT_GT(recaptures, 5);  // the recapture filter met real recaptures
}

TEST(ClassicGenerator, RootHasNoRecaptureSquare) {
    auto t = std::make_unique<SearchThread>();
    // A promotion and an en-passant capture are the only moves of mode 3 at the root.
    ASSERT_EQ(readFen(*t, "4k3/1P6/8/3pP3/8/8/8/4K3 w - d6 0 2"), nullptr);
    const std::set<Move> got = movesOf(t->stack, GENERATE_RECAPTURES);
    std::set<std::string> texts;
    for (Move m : got) {
        char text[6];
        moveToText(m, text);
        texts.insert(text);
    }
    EXPECT_EQ(texts, (std::set<std::string>{"b7b8q", "b7b8r", "b7b8b", "b7b8n", "e5d6"}));
}

TEST(ClassicSliders, SlotsAndLookupsOfThisBuild) {
    for (int square = 0; square < 64; square++) {
        const int rook_bits = popCount(rookMask[square]), bishop_bits = popCount(bishopMask[square]);
        if constexpr (PEXT_SLIDERS) {
            // The k-th occupancy subset lands in slot k: the empty one in 0,
            // the full mask in the last.
            EXPECT_EQ(rookSlot(square, 0), 0u);
            EXPECT_EQ(rookSlot(square, rookMask[square]), (1u << rook_bits) - 1);
            EXPECT_EQ(bishopSlot(square, 0), 0u);
            EXPECT_EQ(bishopSlot(square, bishopMask[square]), (1u << bishop_bits) - 1);
        }
        EXPECT_LT(rookSlot(square, ~0ULL), 4096u);
        EXPECT_LT(bishopSlot(square, ~0ULL), 512u);
    }
    std::mt19937_64 rng(3);
    for (int i = 0; i < 20000; i++) {
        const int square = int(rng() % 64);
        const Bitboard occupancy = rng() & rng();
        ASSERT_EQ(rookMoves(square, occupancy), getRookMoves(occupancy, square)) << square;
        ASSERT_EQ(bishopMoves(square, occupancy), getBishopMoves(occupancy, square)) << square;
    }
}

// The oldest generations search their multipliers at start-up when the
// table is empty: run the search on emptied tables and check every subset.
TEST(SquareMagics, SearchFromEmptyTablesReproducesEveryAttackSet) {
    if constexpr (!GENERATION.square_shift_magics) GTEST_SKIP() << "this generation uses fixed shifts";
    Bitboard saved_rooks[64], saved_bishops[64];
    std::copy(rookSquareMagic, rookSquareMagic + 64, saved_rooks);
    std::copy(bishopSquareMagic, bishopSquareMagic + 64, saved_bishops);
    std::fill(rookSquareMagic, rookSquareMagic + 64, Bitboard(0));
    std::fill(bishopSquareMagic, bishopSquareMagic + 64, Bitboard(0));
    testing::internal::CaptureStdout();
    const auto start = std::chrono::steady_clock::now();
    findSquareMagics(rookSquareMagic, rookMask, rookShift, getRookMoves);
    findSquareMagics(bishopSquareMagic, bishopMask, bishopShift, getBishopMoves);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const std::string printed = testing::internal::GetCapturedStdout();
    std::printf("magic search for both tables: %.3f s\n", seconds);
    EXPECT_TRUE(std::regex_match(printed, std::regex("((0x[0-9a-f]{16}, ){64}\n){2}"))) << printed.substr(0, 200);
    // Two subsets may share a slot only when their attack sets agree.
    static Bitboard seen[4096];
    for (int square = 0; square < 64; square++) {
        EXPECT_EQ(rookShift[square], 64 - popCount(rookMask[square]));
        EXPECT_EQ(bishopShift[square], 64 - popCount(bishopMask[square]));
        std::fill(seen, seen + 4096, Bitboard(0));
        for (unsigned k = 0; k < (1u << popCount(rookMask[square])); k++) {
            const Bitboard occupancy = occupancySubset(rookMask[square], k);
            Bitboard &slot = seen[rookSlot(square, occupancy)];
            if (!slot) slot = getRookMoves(occupancy, square);
            ASSERT_EQ(slot, getRookMoves(occupancy, square)) << "rook square " << square << " subset " << k;
        }
        std::fill(seen, seen + 512, Bitboard(0));
        for (unsigned k = 0; k < (1u << popCount(bishopMask[square])); k++) {
            const Bitboard occupancy = occupancySubset(bishopMask[square], k);
            Bitboard &slot = seen[bishopSlot(square, occupancy)];
            if (!slot) slot = getBishopMoves(occupancy, square);
            ASSERT_EQ(slot, getBishopMoves(occupancy, square)) << "bishop square " << square << " subset " << k;
        }
    }
    std::copy(saved_rooks, saved_rooks + 64, rookSquareMagic);
    std::copy(saved_bishops, saved_bishops + 64, bishopSquareMagic);
}

TEST(FullKeyTable, StoresProbesCountsAndRefuses) {
    static_assert(GENERATION.full_key_table);
    tt_create(1);
    EXPECT_EQ(tt.used, 0u);
    EXPECT_EQ(tt_hashfull(), 0);
    const uint64_t key = 0x123456789ABCDEF0ULL;
    tt.root_pieces = 32;
    tt_store(key, 20, 7, -50, 50, Move(0x1234), 17);
    TTHit hit{};
    ASSERT_TRUE(tt_probe(key, 20, hit));
    EXPECT_EQ(hit.score, 17);
    EXPECT_EQ(hit.depth, 7);
    EXPECT_EQ(hit.bound, BOUND_EXACT);
    EXPECT_EQ(hit.move, Move(0x1234));
    EXPECT_FALSE(tt_probe(key, 21, hit));                 // another piece count
    EXPECT_FALSE(tt_probe(key ^ (1ULL << 40), 20, hit));  // same bucket, another key
    EXPECT_EQ(tt.used, 1u);
    tt_store(key, 20, 9, -50, 50, Move(0x99), -30000);    // same key: replaced, not counted again
    ASSERT_TRUE(tt_probe(key, -1, hit));
    EXPECT_EQ(hit.score, -30000);
    EXPECT_EQ(hit.bound, BOUND_UPPER);
    EXPECT_EQ(tt.used, 1u);
    tt_store(key + 4, 20, 3, 0, 1, 0, 30001);             // beyond the range: not stored
    EXPECT_FALSE(tt_probe(key + 4, -1, hit));
    // Filling one bucket counts four entries; a fifth key replaces the shallowest.
    const uint64_t base = 0x4000;
    for (int i = 0; i < 4; i++) tt_store(base | (uint64_t(i + 1) << 32), 10, 10 - i, 0, 1, 0, 5);
    EXPECT_EQ(tt.used, 5u);
    tt_store(base | (9ULL << 32), 10, 12, 0, 1, 0, 5);
    EXPECT_FALSE(tt_probe(base | (4ULL << 32), -1, hit));
    EXPECT_TRUE(tt_probe(base | (1ULL << 32), -1, hit));
    EXPECT_EQ(tt.used, 5u);
    EXPECT_EQ(tt_hashfull(), int(5 * 1000 / tt.entry_count));
    tt_clear();
    EXPECT_EQ(tt.used, 0u);
    EXPECT_FALSE(tt_probe(key, -1, hit));
    tt_create(16);
}

// A failed check writes its log line (and the board display) before the
// process ends.
TEST(ClassicAssertion, LogsBeforeEnding) {
    char folder[] = "/tmp/vexar-assert-XXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    const std::string log = std::string(folder) + "/vexar.log";
    EXPECT_DEATH(
        {
            if (chdir(folder) != 0) std::abort();
            setAssertionDisplay([] { std::fprintf(stderr, "display shown\n"); });
            VEXAR_ASSERT(2 + 2 == 5, "tests");
        },
        "display shown");
    std::ifstream in(log);
    std::string line;
    ASSERT_TRUE(std::getline(in, line)) << "no log entry in " << log;
    EXPECT_EQ(line.rfind("Assertion error : 2 + 2 == 5 (file test_classic.cpp, line ", 0), 0u) << line;
}

}  // namespace
