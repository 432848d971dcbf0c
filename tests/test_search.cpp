// Search behaviour: mates and game-over answers through the go driver, draw
// rules, static exchange, ordering, the clock arithmetic of `go`, the
// three-piece scorer, and the stack room of very long games.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "board/board.h"
#include "board/moves.h"
#include "eval/endgame/three_pieces.h"
#include "search/internal.h"
#include "search/ordering.h"
#include "search/search.h"
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
        const std::string out = runGo(c.fen, nullptr, {LIMIT_DEPTH, c.depth, 0, 0, 0});
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
    EXPECT_EQ(runGo("3R2k1/5ppp/8/8/8/8/5PPP/6K1 b - - 0 1", nullptr, {LIMIT_DEPTH, 5, 0, 0, 0}),
              "info string Game over (mate) !\nbestmove 0000\n");
    EXPECT_EQ(runGo("7k/5Q2/6K1/8/8/8/8/8 b - - 0 1", nullptr, {LIMIT_DEPTH, 5, 0, 0, 0}),
              "info string Game over (pat) !\nbestmove 0000\n");
    // The start position for the third time.
    EXPECT_EQ(runGo(START_FEN, "g1f3 g8f6 f3g1 f6g8 g1f3 g8f6 f3g1 f6g8", {LIMIT_DEPTH, 5, 0, 0, 0}),
              "info string Game over (draw) !\nbestmove 0000\n");
    // Only one legal reply: no search, no info line.
    EXPECT_EQ(runGo("k7/8/8/8/8/8/1r6/K1r5 w - - 0 1", nullptr, {LIMIT_DEPTH, 5, 0, 0, 0}), "bestmove a1b2\n");
    EXPECT_EQ(runGo("k7/8/8/8/8/8/2r5/K7 w - - 0 1", nullptr, {LIMIT_DEPTH, 5, 0, 0, 0}), "bestmove a1b1\n");
}

TEST(Search, SearchOutputIsWellFormedAndLegal) {
    const std::string out = runGo(START_FEN, "e2e4 e7e5", {LIMIT_DEPTH, 5, 0, 0, 0});
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
    std::string out = runGo(START_FEN, nullptr, {LIMIT_MOVETIME, 0, 0, 0, 0});
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

// The search's selection must pick, at every step, the move compare_moves
// ranks first among those left, with the history changing between steps as
// the children's cut-offs change it.  Small history values force the ties
// that the square order and the move code decide.
TEST(Ordering, SelectionFollowsCompareMoves) {
    const char *fens[] = {
        "r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq - 0 1",
        "2r1k2r/pq1p1ppp/1pbPpn2/8/2P2B2/P2B1P2/1PQ3PP/R3K2R b KQk - 2 16",
        "4k3/8/2p5/3p2p1/8/4B3/8/3RK3 w - - 0 1",
        "1r2k3/P1P5/8/8/8/8/5p1p/3K2R1 w - - 0 1",
        "r5k1/p2qp1bp/6p1/1pP3P1/2n1P3/1QP1B3/P3N1PP/R4K2 b - - 0 17",
    };
    std::srand(5);
    int selections = 0;
    for (const char *fen : fens) {
        ASSERT_TRUE(setGame(fen, nullptr)) << fen;
        Position &pos = gamePosition();
        computeAttackInfo(pos);
        generateMoves(main_thread->stack, pos);
        int32_t history[8 * 64];
        for (int32_t &h : history) h = std::rand() % 7 - 3;
        MoveList reference = pos.moves;
        for (int i = 0; i < pos.moves.generated; i++) {
            selectMove(pos, pos.moves, history, i);
            int best = i;
            for (int j = i + 1; j < reference.generated; j++)
                if (compare_moves(pos, history, reference.list[j], reference.list[best]) > 0) best = j;
            std::swap(reference.list[i], reference.list[best]);
            ASSERT_EQ(pos.moves.list[i], reference.list[i]) << fen << " step " << i;
            history[std::rand() % (8 * 64)] += std::rand() % 9 - 4;
            selections++;
        }
    }
    EXPECT_GT(selections, 100);
}

TEST(GoLimits, ClockArithmetic) {
    SearchLimits l{};
    parseGoLimits("go", WHITE, l);
    EXPECT_EQ(l.mode, LIMIT_DEPTH);
    EXPECT_EQ(l.depth, 10);
    parseGoLimits("go infinite", WHITE, l);
    EXPECT_EQ(l.mode, LIMIT_MOVETIME);
    EXPECT_EQ(l.move_time, INFINITE_MOVE_TIME);
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

TEST(GoLimits, KeysInAnyOrderWithUnknownKeysSkipped) {
    ASSERT_TRUE(setGame(START_FEN, nullptr));
    SearchLimits l{};
    testing::internal::CaptureStdout();
    parseGoLimits("go mate 2 movetime 500", WHITE, l);
    EXPECT_EQ(l.mode, LIMIT_MOVETIME);
    EXPECT_EQ(l.move_time, 500);
    EXPECT_EQ(l.mate, 2);
    parseGoLimits("go foo 1 2 depth 6 bar nodes 900", WHITE, l);
    EXPECT_EQ(l.mode, LIMIT_NODES);
    EXPECT_EQ(l.node_limit, 900u);
    EXPECT_EQ(l.depth, 6);
    parseGoLimits("go movestogo 2 depth 0 btime 3000 wtime 61000", BLACK, l);
    EXPECT_EQ(l.mode, LIMIT_CLOCK);
    EXPECT_EQ(l.move_time, clockBudget(3000, 0, 2));
    EXPECT_EQ(l.depth, 1);  // a depth beside a clock caps it, at one ply at least
    parseGoLimits("go wtime -5 btime -5", WHITE, l);
    EXPECT_EQ(l.mode, LIMIT_CLOCK);
    EXPECT_EQ(l.move_time, 0);
    EXPECT_EQ(l.time_left, 0);
    parseGoLimits("go mate 3", WHITE, l);
    EXPECT_EQ(l.mode, LIMIT_MOVETIME);
    EXPECT_EQ(l.move_time, INFINITE_MOVE_TIME);
    parseGoLimits("go depth 5 searchmoves e2e4 e2e5 g1f3 e2e4 infinite", WHITE, l, &main_thread->stack);
    EXPECT_EQ(l.mode, LIMIT_MOVETIME);
    EXPECT_EQ(l.depth, 5);
    ASSERT_EQ(l.searchmove_count, 2);
    EXPECT_EQ(l.searchmoves[0], moveIdentity(legalMove("e2e4")));
    EXPECT_EQ(l.searchmoves[1], moveIdentity(legalMove("g1f3")));
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("Skipping 'foo'"), std::string::npos) << out;
    EXPECT_NE(out.find("Skipping 'e2e5'"), std::string::npos) << out;
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
    const std::string out = runGo(START_FEN, moves.c_str(), {LIMIT_MOVETIME, 0, 1500, 0, 0});
    EXPECT_EQ(lastLineStarting(out, "bestmove ").size(), 14u) << out.substr(out.size() > 400 ? out.size() - 400 : 0);

    // A move list that would leave no room is refused and the game kept.
    std::string too_long = moves;
    for (int c = 0; c < 1; c++) too_long += "b1c3 b8c6 c3b1 c6b8 g1f3 g8f6 f3g1 f6g8 ";
    testing::internal::CaptureStdout();
    EXPECT_FALSE(setGame(START_FEN, too_long.c_str()));
    EXPECT_NE(testing::internal::GetCapturedStdout().find("info debug"), std::string::npos);
    EXPECT_EQ(slotIndex(main_thread->stack, main_thread->stack.current), MAX_GAME_SLOT);
}

// ---------------------------------------------------------------------------
// Soundness of scores: mates against a plain reference search, mate distances
// across searches, the pruning arithmetic, the 50-move rule against mate, and
// the bound of the final report.

namespace {

// Plain negamax over every legal move, with mate scores counted from ply 0 as
// the engine counts them: the shortest forced mate within `plies` for either
// side, 0 when there is none (or only a draw by rule on the way).
int mateReference(PositionStack &stack, int ply, int plies, int alpha, int beta) {
    Position &pos = *stack.current;
    if (ply > 0 && is_draw(pos)) return 0;
    computeAttackInfo(pos);
    generateMoves(stack, pos);
    if (pos.moves.generated == 0) return inCheck(pos) ? -(SCORE_MATE - ply) : 0;
    if (plies == 0) return 0;
    const MoveList moves = pos.moves;
    int best = -SCORE_INFINITE;
    for (int i = 0; i < moves.generated; i++) {
        makeMove(stack, moves.list[i]);
        const int value = -mateReference(stack, ply + 1, plies - 1, -beta, -std::max(alpha, best));
        unmakeMove(stack);
        best = std::max(best, value);
        if (best >= beta) break;
    }
    return best;
}

std::string runGoKeepingTable(const char *fen, SearchLimits limits, const char *moves = nullptr) {
    EXPECT_TRUE(setGame(fen, moves));
    main_thread->limits = limits;
    testing::internal::CaptureStdout();
    go();
    return testing::internal::GetCapturedStdout();
}

struct MateCase {
    const char *fen;
    int plies;  // reference horizon, and the engine's depth
};

const MateCase MATE_CASES[] = {
    {"6k1/5ppp/8/8/8/8/5PPP/3R2K1 w - - 0 1", 3},
    {"r2qkb1r/pp2nppp/3p4/2pNN1B1/2BnP3/3P4/PPP2PPP/R2bK2R w KQkq - 1 1", 3},
    // Queen or rook against a bare king: the stalemate traps of the bare
    // king's corner, mates in one to three, and the bare king's side to move.
    {"k7/2Q5/2K5/8/8/8/8/8 w - - 0 1", 5},
    {"k7/8/1K6/8/8/8/8/7R w - - 0 1", 5},
    {"1k6/8/2K5/8/8/8/8/3R4 w - - 0 1", 5},
    {"8/8/8/8/1Q6/7k/8/4K3 w - - 0 1", 5},
    {"2k5/8/8/K7/8/8/5Q2/8 w - - 0 1", 5},
    {"3R4/4K3/7k/8/8/8/8/8 w - - 0 1", 5},
    {"8/4R3/8/8/2K5/k7/8/8 w - - 0 1", 5},
    {"4k3/8/4K3/8/8/8/8/1Q6 b - - 0 1", 4},
    {"7k/8/5K2/8/8/8/8/R7 b - - 0 1", 5},
    {"3k4/Q7/3K4/8/8/8/8/8 b - - 0 1", 4},
    {"8/8/8/8/8/k7/2K5/3R4 w - - 0 1", 5},
};

}  // namespace

TEST(SearchSoundness, MatesMatchAPlainReferenceSearch) {
    int longer_than_one = 0;
    // First from an empty table, then each again after other searches have
    // filled it: a stored mate must read back as a distance from this root.
    for (int pass = 0; pass < 2; pass++) {
        for (const MateCase &c : MATE_CASES) {
            SCOPED_TRACE(std::string(c.fen) + (pass ? " (filled table)" : " (empty table)"));
            ASSERT_TRUE(setGame(c.fen, nullptr));
            const int expected = mateReference(main_thread->stack, 0, c.plies, -SCORE_INFINITE, SCORE_INFINITE);
            ASSERT_TRUE(isMateScore(expected)) << "the reference finds no mate";
            if (SCORE_MATE - std::abs(expected) > 1) longer_than_one++;
            if (pass == 0) tt_clear();
            const std::string out = runGoKeepingTable(c.fen, {LIMIT_DEPTH, c.plies + 2, 0, 0, 0});
            EXPECT_EQ(main_thread->best_score, expected) << out;
            EXPECT_EQ(main_thread->best_bound, BOUND_EXACT);
            // The reported move keeps the mate: the reference agrees one ply on.
            const std::string best = lastLineStarting(out, "bestmove ");
            if (expected > 0) {
                ASSERT_TRUE(setGame(c.fen, best.substr(9, best.size() - 10).c_str())) << best;
                EXPECT_EQ(-mateReference(main_thread->stack, 1, c.plies - 1, -SCORE_INFINITE, SCORE_INFINITE),
                          expected)
                    << best;
            }
        }
        runGoKeepingTable("r1b1kb1r/pppp1ppp/5q2/4n3/3KP3/2N3PN/PPP4P/R1BQ1B1R b kq - 0 1",
                          {LIMIT_DEPTH, 6, 0, 0, 0});
    }
    EXPECT_GE(longer_than_one, 8);
}

TEST(SearchSoundness, MateDistancesHoldAlongTheMatingLine) {
    // The engine plays each mate out against itself on one table, never
    // cleared: every position of the line was stored during the searches
    // before it, at other plies, and must still report its own distance.
    int positions = 0;
    for (const MateCase &c : MATE_CASES) {
        tt_clear();
        std::string moves;
        for (int step = 0; step < 8; step++) {
            SCOPED_TRACE(std::string(c.fen) + " moves " + moves);
            ASSERT_TRUE(setGame(c.fen, moves.c_str()));
            const int expected =
                mateReference(main_thread->stack, 0, c.plies - step, -SCORE_INFINITE, SCORE_INFINITE);
            const std::string out = runGoKeepingTable(c.fen, {LIMIT_DEPTH, c.plies + 2, 0, 0, 0}, moves.c_str());
            const std::string best = lastLineStarting(out, "bestmove ");
            if (best == "bestmove 0000\n") break;
            // A single legal reply is played without a search or a score.
            if (out.find("info score") != std::string::npos) {
                EXPECT_EQ(main_thread->best_score, expected) << out;
                positions++;
            }
            moves += (moves.empty() ? "" : " ") + best.substr(9, best.size() - 10);
        }
    }
    EXPECT_GE(positions, 20);
}

TEST(SearchSoundness, StoredMateIsReadAsADistanceFromTheNode) {
    // A search from one root stores the positions of its mating line; a node
    // of a later search that meets one of them at another ply must take the
    // distance from itself, not from the old root.
    const char *fen = "2k5/8/8/K7/8/8/5Q2/8 w - - 0 1";
    tt_clear();
    std::string out = runGoKeepingTable(fen, {LIMIT_DEPTH, 7, 0, 0, 0});
    std::string moves = lastLineStarting(out, "bestmove ").substr(9, 4);
    out = runGoKeepingTable(fen, {LIMIT_DEPTH, 7, 0, 0, 0}, moves.c_str());
    moves += " " + lastLineStarting(out, "bestmove ").substr(9, 4);
    ASSERT_TRUE(setGame(fen, moves.c_str()));
    const int root_value = mateReference(main_thread->stack, 0, 5, -SCORE_INFINITE, SCORE_INFINITE);
    ASSERT_TRUE(isMateScore(root_value) && root_value > 0);
    // The same position as a null-window node at ply 3 of some other line.
    const int at_ply = root_value - 3, beta = at_ply;
    SearchThread &t = *main_thread;
    t.ply_limit = MAX_PLY;
    t.stop = 0;
    // One ply of remaining depth: only the stored result can see this mate.
    const int value = search(t, 3, 3 + 1, beta - 1, beta, false);
    EXPECT_EQ(value, at_ply);
}

TEST(SearchSoundness, FinalReportOfAMateIsExact) {
    // The deepening used to end on a mate bound from a failed aspiration
    // window and print it as an exact mate.
    const std::string out =
        runGo("r1b1kb1r/pppp1ppp/5q2/4n3/3KP3/2N3PN/PPP4P/R1BQ1B1R b kq - 0 1", nullptr, {LIMIT_DEPTH, 10, 0, 0, 0});
    EXPECT_EQ(lastLineStarting(out, "info score"), "info score mate 3 \n") << out;
    EXPECT_NE(out.find("info string Mate in 5 half-moves !\n"), std::string::npos);
    EXPECT_EQ(lastLineStarting(out, "info depth").find("bound"), std::string::npos) << out;
    EXPECT_EQ(lastLineStarting(out, "bestmove "), "bestmove f8c5\n");
}

TEST(SearchSoundness, CheckmateStandsAtTheFiftyMoveLimit) {
    // Rd8 mates with the counter reaching 100: a win, not a draw.
    std::string out = runGo("6k1/5ppp/8/8/8/8/5PPP/3R2K1 w - - 99 1", nullptr, {LIMIT_DEPTH, 4, 0, 0, 0});
    EXPECT_EQ(lastLineStarting(out, "info score"), "info score mate 1 \n") << out;
    EXPECT_EQ(lastLineStarting(out, "bestmove "), "bestmove d1d8\n");
    out = runGo("6k1/5ppp/8/8/8/8/5PPP/3R2K1 w - - 99 1", "d1d8", {LIMIT_DEPTH, 4, 0, 0, 0});
    EXPECT_EQ(out, "info string Game over (mate) !\nbestmove 0000\n");
    // Without mate the limit is still a draw.
    out = runGo("6k1/5ppp/8/8/8/8/5PPP/3R2K1 w - - 99 1", "d1d7", {LIMIT_DEPTH, 4, 0, 0, 0});
    EXPECT_EQ(out, "info string Game over (draw) !\nbestmove 0000\n");
}

TEST(SearchSoundness, StoredMateBoundNeverFeedsThePruning) {
    // A stored lower bound in the mate range, shallower than the node: the
    // static pruning must not turn it into a "mate in 105".
    ASSERT_TRUE(setGame(START_FEN, nullptr));
    tt_clear();
    Position &pos = gamePosition();
    tt_store(pos.key, pieceCount(pos), 0, 0, 1, 0, SCORE_MATE - 10);
    SearchThread &t = *main_thread;
    t.ply_limit = MAX_PLY;
    t.stop = 0;
    const int value = search(t, 1, 2, 0, 1, false);
    EXPECT_FALSE(isMateScore(value)) << value;
    EXPECT_LT(std::abs(value), 2000) << value;
}

TEST(SearchSoundness, DeltaPruningMeasuresTheCapturedPiece) {
    // The queen can take a lone pawn or a lone rook, neither defended (so the
    // exchange test passes both); stand-pat is 600 below alpha.  The pawn is
    // not worth a look (600 > 200 + 100), the rook is (600 < 200 + 500).
    // Black keeps a piece, or no pruning would be allowed at all.
    struct Case {
        const char *fen;
        bool searched;
    };
    const Case cases[] = {
        {"7k/n7/8/3p4/8/8/3Q4/K7 w - - 0 1", false},
        {"7k/8/8/3r4/8/8/3Q4/K7 w - - 0 1", true},
    };
    for (const Case &c : cases) {
        ASSERT_TRUE(setGame(c.fen, nullptr)) << c.fen;
        tt_clear();
        SearchThread &t = *main_thread;
        t.ply_limit = MAX_PLY;
        t.stop = 0;
        t.nodes = 0;
        const int alpha = evaluate(gamePosition()) + 600;
        // ply 1 with target depth 0: the captures-only mode.
        quiesce(t, 1, 0, alpha, alpha + 1, false);
        EXPECT_EQ(t.nodes > 0, c.searched) << c.fen;
    }
}

TEST(SearchSoundness, NodeLimitStopsNearItsCount) {
    for (uint64_t limit : {1000ull, 20000ull, 150000ull}) {
        const std::string out = runGo(START_FEN, nullptr, {LIMIT_NODES, 0, 0, 0, limit});
        EXPECT_GE(main_thread->nodes, limit);
        EXPECT_LE(main_thread->nodes, limit + 64) << out;
        EXPECT_EQ(lastLineStarting(out, "bestmove ").size(), 14u) << out;
    }
    SearchLimits l{};
    parseGoLimits("go nodes 5000", WHITE, l);
    EXPECT_EQ(l.mode, LIMIT_NODES);
    EXPECT_EQ(l.node_limit, 5000u);
}

TEST(SearchSoundness, ClockBudgetNeverExceedsTheClock) {
    struct Case {
        int time, increment, moves_to_go, budget;
    };
    const Case cases[] = {
        // The increment alone used to exceed the clock.
        {500, 2000, 40, 450},
        {1500, 2000, 40, 1450},
        {100, 0, 40, 0},
        {100, 1000, 40, 50},
        {30, 0, 40, 0},
        {-20, 100, 40, 0},
        // Ordinary clocks are unchanged.
        {10000, 0, 40, 200},
        {60000, 0, 1, 58975},
        {61000, 1000, 40, 2475},
    };
    for (const Case &c : cases)
        EXPECT_EQ(clockBudget(c.time, c.increment, c.moves_to_go), c.budget)
            << c.time << " + " << c.increment << " / " << c.moves_to_go;
}

TEST(StaticExchange, MinorPiecesQueensAndXRays) {
    struct Case {
        const char *fen;
        const char *move;
        int expected;
    };
    const Case cases[] = {
        // Knight takes a pawn defended by a bishop.
        {"7k/5b2/8/3p4/8/2N5/8/K7 w - - 0 1", "c3d5", 100 - 300},
        // A bishop recaptures in turn: the pawn is won.
        {"7k/5b2/8/3p4/8/1BN5/8/K7 w - - 0 1", "c3d5", 100},
        // Bishop for knight, the pawn recaptures: even.
        {"7k/8/4p3/3n4/8/1B6/8/K7 w - - 0 1", "b3d5", 0},
        // The queen behind the bishop reaches d5 only once the bishop has
        // gone: N, B and then Q against B and R.
        {"3r3k/5b2/8/3p4/8/1BN5/Q7/K7 w - - 0 1", "c3d5", 300},
        // Without the queen the rook has the last word.
        {"3r3k/5b2/8/3p4/8/1BN5/8/K7 w - - 0 1", "c3d5", -200},
        // A queen defends along a diagonal too.
        {"7k/8/8/3p4/8/1q6/8/K2R4 w - - 0 1", "d1d5", 100 - 500},
    };
    for (const Case &c : cases) {
        ASSERT_TRUE(setGame(c.fen, nullptr)) << c.fen;
        const Move move = legalMove(c.move);
        ASSERT_NE(move, 0u) << c.fen;
        EXPECT_EQ(see(gamePosition(), move), c.expected) << c.fen << " " << c.move;
    }
}

namespace {

// A seeded random network, so that positions get varied evaluations; the
// previous weights are put back when the object goes out of scope.
struct RandomNetwork {
    Network saved;
    explicit RandomNetwork(uint32_t seed) {
        saved = network;
        uint32_t state = seed;
        auto next = [&state](float scale) {
            state = state * 1664525u + 1013904223u;
            return scale * (float(state >> 8) / float(1u << 24) - 0.5f);
        };
        for (auto &row : network.feature_weights)
            for (float &w : row) w = next(0.5f);
        for (float &b : network.feature_biases) b = next(0.2f);
        for (auto &row : network.hidden1_weights)
            for (float &w : row) w = next(0.3f);
        for (float &b : network.hidden1_biases) b = next(0.2f);
        for (auto &row : network.hidden2_weights)
            for (float &w : row) w = next(0.6f);
        for (float &b : network.hidden2_biases) b = next(0.2f);
        for (float &w : network.output_weights) w = next(1.0f);
        network.output_bias = 0;
        prepareNetwork(network, network_columns);
    }
    ~RandomNetwork() {
        network = saved;
        prepareNetwork(network, network_columns);
    }
};

// Plain full-width negamax to the same horizon as the engine, with the same
// one-reply extension, handing every leaf to the engine's quiescence search
// with a full window on a cleared table.  Without static pruning (positions
// where a side has only king and pawns) a correct principal-variation search
// must return exactly this value.
int minimaxReference(SearchThread &t, int ply, int depth, bool in_check) {
    PositionStack &stack = t.stack;
    Position &pos = *stack.current;
    if (ply >= depth) {
        tt_clear();
        return quiesce(t, ply, depth, -SCORE_INFINITE, SCORE_INFINITE, in_check);
    }
    if (ply > 0 && is_draw(pos)) return 0;
    computeAttackInfo(pos);
    generateMoves(stack, pos);
    if (pos.moves.generated == 0) return in_check ? -(SCORE_MATE - ply) : 0;
    const MoveList moves = pos.moves;
    const int child_depth = moves.generated == 1 ? depth + 1 : depth;
    int best = -SCORE_INFINITE;
    for (int i = 0; i < moves.generated; i++) {
        makeMove(stack, moves.list[i]);
        best = std::max(best, -minimaxReference(t, ply + 1, child_depth, moves.list[i] & FLAG_CHECK));
        unmakeMove(stack);
    }
    return best;
}

}  // namespace

TEST(SearchSoundness, FixedDepthScoresMatchAPlainMinimax) {
    const RandomNetwork random_network(7);
    tt_create(1);
    const char *fens[] = {
        "4k3/3p1p2/2p3p1/1p1P1P2/1P2p1P1/2P5/4P3/4K3 w - - 0 1",
        "8/pp3k2/2p1p1p1/3pP1Pp/3P3P/2P5/PP3K2/8 w - - 0 1",
        "8/5k2/1p1p4/pPpPp1p1/P1P1P1P1/8/5K2/8 b - - 0 1",
        "4k3/pp4p1/2p2p1p/3pp3/3PP3/2P2P1P/PP4P1/4K3 w - - 0 1",
    };
    int differing_scores = 0, previous = 0;
    for (const char *fen : fens) {
        for (int depth = 1; depth <= 3; depth++) {
            SCOPED_TRACE(std::string(fen) + " depth " + std::to_string(depth));
            ASSERT_TRUE(setGame(fen, nullptr));
            SearchThread &t = *main_thread;
            t.ply_limit = MAX_PLY;
            t.stop = 0;
            computeAttackInfo(gamePosition());
            const int expected = minimaxReference(t, 0, depth, inCheck(gamePosition()));
            const std::string out = runGo(fen, nullptr, {LIMIT_DEPTH, depth, 0, 0, 0});
            EXPECT_EQ(main_thread->best_score, expected) << out;
            differing_scores += expected != previous;
            previous = expected;
        }
    }
    tt_create(16);
    // The evaluations are not all alike, so equal scores are no accident.
    EXPECT_GE(differing_scores, 8);
}
