// Search behaviour: mates and game-over answers through the go driver, draw
// rules, static exchange, ordering, the clock arithmetic of `go`, the
// three-piece scorer, and the stack room of very long games.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "board/board.h"
#include "board/moves.h"
#include "search/ordering.h"
#include "search/search.h"
#include "search/three_pieces.h"
#include "search/tt.h"
#include "uci/uci.h"

namespace {

// Runs `go` on a position with the given limits and returns everything it printed.
std::string runGo(const char *fen, const char *moves, SearchLimits limits) {
    EXPECT_TRUE(setGame(fen, moves));
    tt_clear();
    main_thread->limits = limits;
    testing::internal::CaptureStdout();
    go();
    return testing::internal::GetCapturedStdout();
}

std::string lastLineStarting(const std::string &text, const std::string &prefix) {
    std::string found;
    size_t pos = 0;
    while ((pos = text.find(prefix, pos)) != std::string::npos) {
        if (pos == 0 || text[pos - 1] == '\n') found = text.substr(pos, text.find('\n', pos) - pos + 1);
        pos++;
    }
    return found;
}

Position &gamePosition() { return *main_thread->stack.current; }

Move legalMove(const char *text) { return findLegalMove(main_thread->stack, text); }

}  // namespace

TEST(Search, FindsMatesAndReportsTheirLength) {
    struct Case {
        const char *fen;
        int depth;
        const char *half_moves_line;
        const char *final_line;
        const char *best;
    };
    const Case cases[] = {
        {"6k1/5ppp/8/8/8/8/5PPP/3R2K1 w - - 0 1", 4, "info string Mate in 1 half-moves !\n", "info score mate 1 \n",
         "bestmove d1d8\n"},
        {"r2qkb1r/pp2nppp/3p4/2pNN1B1/2BnP3/3P4/PPP2PPP/R2bK2R w KQkq - 1 1", 6,
         "info string Mate in 3 half-moves !\n", "info score mate 2 \n", nullptr},
        {"r1b3kr/ppp1Bp1p/1b6/n2P4/2p3q1/2Q2N2/P4PPP/RN2R1K1 w - - 1 1", 8, "info string Mate in 5 half-moves !\n",
         "info score mate 3 \n", nullptr},
    };
    for (const Case &c : cases) {
        const std::string out = runGo(c.fen, nullptr, {LIMIT_DEPTH, c.depth, 0, 0});
        SCOPED_TRACE(c.fen);
        EXPECT_NE(out.find(c.half_moves_line), std::string::npos) << out;
        EXPECT_NE(out.find(c.final_line), std::string::npos) << out;
        if (c.best) {
            EXPECT_EQ(lastLineStarting(out, "bestmove"), c.best);
        }
        // The iteration that found the mate prints it as a mate too.
        EXPECT_NE(lastLineStarting(out, "info depth").find("score mate"), std::string::npos);
    }
}

TEST(Search, FinishedGamesAndForcedMovesAnswerAtOnce) {
    EXPECT_EQ(runGo("3R2k1/5ppp/8/8/8/8/5PPP/6K1 b - - 0 1", nullptr, {LIMIT_DEPTH, 5, 0, 0}),
              "info string Game over (mate) !\nbestmove 0000\n");
    EXPECT_EQ(runGo("7k/5Q2/6K1/8/8/8/8/8 b - - 0 1", nullptr, {LIMIT_DEPTH, 5, 0, 0}),
              "info string Game over (pat) !\nbestmove 0000\n");
    // The start position for the third time.
    EXPECT_EQ(runGo(START_FEN, "g1f3 g8f6 f3g1 f6g8 g1f3 g8f6 f3g1 f6g8", {LIMIT_DEPTH, 5, 0, 0}),
              "info string Game over (draw) !\nbestmove 0000\n");
    // Only one legal reply: no search, no info line.
    EXPECT_EQ(runGo("k7/8/8/8/8/8/1r6/K1r5 w - - 0 1", nullptr, {LIMIT_DEPTH, 5, 0, 0}), "bestmove a1b2\n");
    EXPECT_EQ(runGo("k7/8/8/8/8/8/2r5/K7 w - - 0 1", nullptr, {LIMIT_DEPTH, 5, 0, 0}), "bestmove a1b1\n");
}

TEST(Search, SearchOutputIsWellFormedAndLegal) {
    const std::string out = runGo(START_FEN, "e2e4 e7e5", {LIMIT_DEPTH, 5, 0, 0});
    EXPECT_EQ(out.rfind("info debug Starting 1 thread(s)...\n", 0), 0u) << out;
    for (int depth = 1; depth <= 5; depth++)
        EXPECT_NE(out.find("info depth " + std::to_string(depth) + " seldepth "), std::string::npos) << out;
    EXPECT_EQ(out.find("info depth 6 "), std::string::npos);
    const std::string best = lastLineStarting(out, "bestmove ");
    ASSERT_GE(best.size(), 14u);
    EXPECT_NE(legalMove(best.substr(9, best.size() - 10).c_str()), 0u) << best;
    // The final score line keeps its trailing blank.
    EXPECT_NE(out.find("info score cp "), std::string::npos);
    EXPECT_EQ(lastLineStarting(out, "info score").back(), '\n');
    EXPECT_EQ(lastLineStarting(out, "info score").substr(lastLineStarting(out, "info score").size() - 2), " \n");
}

TEST(Search, TimeLimitsEndTheSearch) {
    // A fixed time of 0 stops at the first clock check; a tiny clock answers too.
    std::string out = runGo(START_FEN, nullptr, {LIMIT_MOVETIME, 0, 0, 0});
    EXPECT_NE(lastLineStarting(out, "bestmove ").find("bestmove "), std::string::npos);
    SearchLimits limits{};
    parseGoLimits("go wtime 300 btime 300 winc 0 binc 0", WHITE, limits);
    out = runGo(START_FEN, nullptr, limits);
    EXPECT_EQ(lastLineStarting(out, "bestmove ").size(), 14u) << out;
}

TEST(DrawRules, RepetitionRule50AndBareKings) {
    ASSERT_TRUE(setGame(START_FEN, "g1f3 g8f6 f3g1 f6g8"));
    EXPECT_FALSE(is_draw(gamePosition())) << "one earlier occurrence is not enough";
    ASSERT_TRUE(setGame(START_FEN, "g1f3 g8f6 f3g1 f6g8 g1f3 g8f6 f3g1 f6g8"));
    EXPECT_TRUE(is_draw(gamePosition()));
    // Pawn moves in between reset the walk: the start position does not count.
    ASSERT_TRUE(setGame(START_FEN, "g1f3 g8f6 f3g1 f6g8 e2e3 e7e6 g1f3 g8f6 f3g1 f6g8"));
    EXPECT_FALSE(is_draw(gamePosition()));

    // Rule 50: 100 half-moves is a draw even when the side to move is mated.
    ASSERT_TRUE(setGame("6k1/5ppp/8/8/8/8/5PPP/3R2K1 w - - 99 1", "d1d8"));
    EXPECT_TRUE(is_draw(gamePosition()));
    ASSERT_TRUE(setGame("6k1/5ppp/8/8/8/8/5PPP/3R2K1 w - - 98 1", "d1d8"));
    EXPECT_FALSE(is_draw(gamePosition()));

    ASSERT_TRUE(setGame("8/8/3k4/8/8/3K4/8/8 w - - 0 1", nullptr));
    EXPECT_TRUE(is_draw(gamePosition()));
}

TEST(StaticExchange, CaptureSequences) {
    struct Case {
        const char *fen;
        const char *move;
        int expected;
    };
    const Case cases[] = {
        // Rook takes a pawn defended by a pawn.
        {"4k3/8/2p5/3p4/8/8/8/3RK3 w - - 0 1", "d1d5", 100 - 500},
        // A second rook behind the first recaptures.
        {"4k3/8/2p5/3p4/8/8/3R4/3RK3 w - - 0 1", "d2d5", 100 - 500 + 100},
        // Undefended: the pawn is simply won.
        {"4k3/8/8/3p4/8/8/8/3RK3 w - - 0 1", "d1d5", 100},
        // A king next to the target square: not handled, 0.
        {"8/8/2pk4/3p4/8/8/8/3RK3 w - - 0 1", "d1d5", 0},
        // A pawn that could recapture onto the last rank: not handled, 0.
        {"3r2k1/2P5/8/8/8/8/8/3RK3 w - - 0 1", "d1d8", 0},
    };
    for (const Case &c : cases) {
        ASSERT_TRUE(setGame(c.fen, nullptr)) << c.fen;
        const Move move = legalMove(c.move);
        ASSERT_NE(move, 0u) << c.fen;
        EXPECT_EQ(see(gamePosition(), move), c.expected) << c.fen << " " << c.move;
    }
}

TEST(Ordering, CompareMoves) {
    ASSERT_TRUE(setGame(START_FEN, nullptr));
    Position &pos = gamePosition();
    const int32_t *history = main_thread->history[WHITE];
    // Equal history: the more central target first.
    EXPECT_GT(compare_moves(pos, history, legalMove("g1f3"), legalMove("g1h3")), 0);
    // History decides between quiet moves.
    main_thread->history[WHITE][historyIndex(legalMove("g1h3"))] = 50;
    EXPECT_LT(compare_moves(pos, history, legalMove("g1f3"), legalMove("g1h3")), 0);

    // A capture that loses material comes after one that does not, whatever the victim.
    ASSERT_TRUE(setGame("4k3/8/2p5/3p2p1/8/4B3/8/3RK3 w - - 0 1", nullptr));
    Position &capture = gamePosition();
    const Move losing = legalMove("d1d5"), even = legalMove("e3g5");
    ASSERT_NE(even, 0u);
    EXPECT_LT(compare_moves(capture, main_thread->history[WHITE], losing, even), 0);

    // The hash mark outranks everything.
    EXPECT_GT(compare_moves(capture, main_thread->history[WHITE], even | FLAG_HASH_MOVE, losing), 0);
}

TEST(GoLimits, ClockArithmetic) {
    SearchLimits l{};
    parseGoLimits("go", WHITE, l);
    EXPECT_EQ(l.mode, LIMIT_DEPTH);
    EXPECT_EQ(l.depth, 10);
    parseGoLimits("go infinite", WHITE, l);
    EXPECT_EQ(l.mode, LIMIT_MOVETIME);
    EXPECT_EQ(l.move_time, 1 << 30);
    parseGoLimits("go depth 0", WHITE, l);
    EXPECT_EQ(l.mode, LIMIT_DEPTH);
    EXPECT_EQ(l.depth, 0);
    parseGoLimits("go movetime 1500", WHITE, l);
    EXPECT_EQ(l.mode, LIMIT_MOVETIME);
    EXPECT_EQ(l.move_time, 1500);

    struct Case {
        const char *line;
        int side;
        int move_time, time_left;
    };
    const Case cases[] = {
        {"go wtime 10000", WHITE, 200, 9000},
        {"go wtime 900 winc 100", WHITE, 75, 0},
        {"go wtime 500 btime 60000", WHITE, 0, 0},
        {"go wtime 61000 winc 1000", WHITE, 2475, 60000},
        {"go wtime 61000 movestogo 0", WHITE, 59975, 60000},
        {"go wtime 60000 btime 60000 movestogo 1", WHITE, 58975, 59000},
        {"go wtime 60000 btime 10000 winc 5000 binc 100", BLACK, 300, 9000},
        {"go ponder", WHITE, 0, 0},
    };
    for (const Case &c : cases) {
        parseGoLimits(c.line, c.side, l);
        EXPECT_EQ(l.mode, LIMIT_CLOCK) << c.line;
        EXPECT_EQ(l.move_time, c.move_time) << c.line;
        EXPECT_EQ(l.time_left, c.time_left) << c.line;
    }
}

TEST(ThreePieces, ScoresByRule) {
    struct Case {
        const char *fen;
        int expected;
    };
    const Case cases[] = {
        {"8/8/4k3/8/4K3/8/8/1N6 w - - 0 1", 0},
        {"8/8/4k3/8/4K3/8/8/1N6 b - - 0 1", 0},
        // The lone rook next to the bare king, undefended: taken at once.
        {"8/8/8/8/8/2K5/8/kR6 b - - 0 1", 0},
        // Kd5 Pd4 against Kd7: drawn with white to move, won with black to move.
        {"8/3k4/8/3K4/3P4/8/8/8 w - - 0 1", 0},
        {"8/3k4/8/3K4/3P4/8/8/8 b - - 0 1", -(13000 + 10 * 3 - 1 + 100)},
        {"8/2K5/3P4/8/8/8/8/k7 w - - 0 1", 13000 + 50 - 1 + 100},
        // Queen against bare king: the centralised attacker gets a bonus.
        {"8/8/8/3K4/8/8/7Q/k7 w - - 0 1", 13900 + 10 * (6 - 0)},
        {"8/8/8/3K4/8/8/7Q/k7 b - - 0 1", -13900 + 10 * (0 - 6)},
    };
    for (const Case &c : cases) {
        ASSERT_TRUE(setGame(c.fen, nullptr)) << c.fen;
        int score = 12345;
        EXPECT_TRUE(score_three_pieces(*gamePosition().us, *gamePosition().them, score));
        EXPECT_EQ(score, c.expected) << c.fen;
    }
}

TEST(StackRoom, LongGamesKeepRoomForTheSearch) {
    // The longest game the stack takes (1008 half-moves): knight shuffles separated by pawn steps, so that the
    // final position is fresh (no repetition, rule-50 counter 0).
    std::string moves;
    const char *files = "abcdefgh";
    int plies = 0;
    for (int step = 0; step < 8; step++) {
        const int cycles = step == 0 ? 17 : 15;
        for (int c = 0; c < cycles; c++, plies += 8) moves += "b1c3 b8c6 c3b1 c6b8 g1f3 g8f6 f3g1 f6g8 ";
        const char f = files[step];
        char pawns[64];
        snprintf(pawns, sizeof pawns, "%c2%c3 %c7%c6 %c3%c4 %c6%c5 ", f, f, f, f, f, f, f, f);
        moves += pawns;
        plies += 4;
    }
    ASSERT_EQ(plies, MAX_GAME_SLOT);
    ASSERT_TRUE(setGame(START_FEN, moves.c_str()));
    EXPECT_EQ(slotIndex(main_thread->stack, main_thread->stack.current), MAX_GAME_SLOT);

    // A search from there has room for a few plies only; it must stay inside
    // the stack (deep lines are cut) and still answer.
    const std::string out = runGo(START_FEN, moves.c_str(), {LIMIT_MOVETIME, 0, 1500, 0});
    EXPECT_EQ(lastLineStarting(out, "bestmove ").size(), 14u) << out.substr(out.size() > 400 ? out.size() - 400 : 0);

    // A move list that would leave no room is refused and the game kept.
    std::string too_long = moves;
    for (int c = 0; c < 1; c++) too_long += "b1c3 b8c6 c3b1 c6b8 g1f3 g8f6 f3g1 f6g8 ";
    testing::internal::CaptureStdout();
    EXPECT_FALSE(setGame(START_FEN, too_long.c_str()));
    EXPECT_NE(testing::internal::GetCapturedStdout().find("info debug"), std::string::npos);
    EXPECT_EQ(slotIndex(main_thread->stack, main_thread->stack.current), MAX_GAME_SLOT);
}
