// Tablebase probing against the small set of real tables in data/syzygy.
// Distances to zeroing are those the Fathom command-line prober reports for
// the same files; the results agree with Stockfish 15.1 on these tables.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "board/board.h"
#include "board/moves.h"
#include "tb/syzygy.h"

namespace {

const std::string TABLES = VEXAR_DATA_DIR "/syzygy";
const std::string SUCCESS = "info debug Initialisation of Syzygy : success";

std::string initialise(const std::string &path) {
    testing::internal::CaptureStdout();
    tbInitialise(path.c_str());
    return testing::internal::GetCapturedStdout();
}

// A game record set up from the FEN, its moves generated.
struct Game {
    std::unique_ptr<SearchThread> thread{new SearchThread()};
    explicit Game(const char *fen) {
        EXPECT_EQ(readFen(*thread, fen), nullptr) << fen;
        generate();
    }
    Position &pos() { return *thread->stack.current; }
    void generate() { computeAttackInfo(pos()), generateMoves(thread->stack, pos()); }
    bool root(Move &move, int &score) { return tbProbeRoot(pos(), pos().moves, move, score); }
};

struct Case {
    const char *fen;
    bool asked, found;
    int score;
    const char *move = "";
};

TEST(Syzygy, RootProbesKeepTheResult) {
    ASSERT_EQ(initialise(TABLES).rfind(SUCCESS, 0), 0u);
    const Case cases[] = {
        {"4k3/8/8/8/8/8/8/R3K3 w - - 0 1", true, true, 10000 - 23, "a1a7"},
        {"4k3/8/8/8/8/8/8/R3K3 b - - 0 1", true, true, 28 - 10000},
        {"4k3/8/8/8/8/8/8/R3K3 w - - 90 1", true, true, 5000 - 23},  // cursed win
        {"4k3/8/8/8/8/8/8/R3K3 b - - 80 1", true, true, 28 - 5000},  // blessed loss
        {"8/8/8/4k3/8/8/8/KB6 w - - 0 1", true, true, 0},
        {"8/k1P5/2K5/8/8/8/8/8 w - - 0 1", true, true, 10000 - 1, "c7c8r"},  // c8=Q stalemates
        {"4k3/8/8/8/4P3/8/8/4K3 b - e3 0 1", true, true, 0},                 // en passant square
        {"R3k3/8/4K3/8/8/8/8/8 b - - 0 1", true, false, 0},                  // checkmate
        {"k7/2Q5/1K6/8/8/8/8/8 b - - 0 1", true, false, 0},                  // stalemate
        {"3k4/8/8/8/8/8/3r4/3QK3 w - - 0 1", true, false, 0},                // no distance-to-zero file
        {"4k3/8/8/8/8/8/8/R3K3 w Q - 0 1", false, false, 0},                 // castling rights
        {"r3k3/8/8/8/8/8/8/4K3 b q - 0 1", false, false, 0},
        {"4k3/8/8/8/8/8/8/RQ2K2R w - - 0 1", false, false, 0},  // more pieces than the tables
    };
    for (const Case &c : cases) {
        Game game(c.fen);
        const uint64_t calls = tbProberCalls();
        Move move = 0;
        int score = 0, reply = 0;
        EXPECT_EQ(game.root(move, score), c.found) << c.fen;
        EXPECT_EQ(tbProberCalls() - calls, c.asked ? 1u : 0u) << c.fen;
        if (!c.found) continue;
        EXPECT_EQ(score, c.score) << c.fen;
        char text[6];
        moveToText(move, text);
        EXPECT_TRUE(!*c.move || std::string(text) == c.move) << c.fen << " " << text;
        ASSERT_EQ(findLegalMove(game.thread->stack, text), move) << c.fen;
        makeMove(game.thread->stack, move);
        game.generate();
        ASSERT_TRUE(game.root(move, reply)) << c.fen;
        EXPECT_EQ((reply > 0) - (reply < 0), (score < 0) - (score > 0)) << c.fen;
    }
}

TEST(Syzygy, SearchProbesScoreMaterialAndKings) {
    ASSERT_EQ(initialise(TABLES).rfind(SUCCESS, 0), 0u);
    const Case cases[] = {
        // Queen against rook, kings on c3 (centre 5) and f7 (centre 2).
        {"7r/5k2/8/8/8/2K5/8/3Q4 w - - 0 1", true, true, 10000 + 400 + 3},
        {"7r/5k2/8/8/8/2K5/8/3Q4 b - - 0 1", true, true, -10000 - 400 - 3},
        {"7r/5k2/8/8/8/2K5/8/3Q4 w - - 7 1", false, false, 0},  // rule-50 counter running
        {"8/8/3b4/4k3/8/8/8/KB6 w - - 0 1", true, true, 0},
        {"4k3/8/8/8/4P3/8/3P4/4K3 b - - 0 1", true, true, -10000 - 200},
        {"4k3/8/8/8/4P3/8/3P4/4K3 b - e3 0 1", false, false, 0},  // en passant square
        {"r3k3/8/8/8/8/8/8/R3K3 w Qq - 0 1", false, false, 0},    // castling rights
        {"4k3/8/8/8/8/8/8/R3K3 w - - 0 1", false, false, 0},      // three pieces: the caller's
        {"4k3/8/8/8/8/8/8/RQ2K2R w - - 0 1", false, false, 0},
    };
    for (const Case &c : cases) {
        Game game(c.fen);
        const uint64_t calls = tbProberCalls();
        int score = 12345;
        EXPECT_EQ(tbProbeSearch(game.pos(), score), c.found) << c.fen;
        EXPECT_EQ(tbProberCalls() - calls, c.asked ? 1u : 0u) << c.fen;
        EXPECT_EQ(score, c.found ? c.score : 12345) << c.fen;
    }
}

// Reports, the log, failures that turn probing off even right after tables
// were loaded, and re-initialisation; in a scratch working directory.
TEST(Syzygy, InitialisationReportsAndRecovers) {
    // Back home and the folder gone however the test ends.
    struct Scratch {
        std::filesystem::path home = std::filesystem::current_path(),
                              dir = std::filesystem::temp_directory_path() / ("vexar-tb-" + std::to_string(getpid()));
        ~Scratch() { std::filesystem::current_path(home), std::filesystem::remove_all(dir); }
    } guard;
    const std::filesystem::path scratch = guard.dir;
    std::filesystem::create_directories(scratch / "three piece");
    for (const char *name : {"KRvK.rtbw", "KRvK.rtbz"})
        std::filesystem::copy_file(TABLES + "/" + name, scratch / "three piece" / name);
    std::filesystem::current_path(scratch);
    Game krk("4k3/8/8/8/8/8/8/R3K3 w - - 0 1"), kqkr("7r/5k2/8/8/8/2K5/8/3Q4 w - - 0 1");
    Move move;
    int score;
    auto probed = [&](Game &game, bool root) {
        const uint64_t calls = tbProberCalls();
        const bool found = root ? game.root(move, score) : tbProbeSearch(game.pos(), score);
        EXPECT_EQ(found, tbProberCalls() != calls);
        return found;
    };
    for (const char *path : {"/nonexistent/syzygy", "", "<empty>"}) {
        EXPECT_EQ(initialise(TABLES), SUCCESS + " (4 pieces)\n");
        EXPECT_EQ(initialise(path), "info debug Initialisation of Syzygy : failure\n") << path;
        EXPECT_EQ(tbLargest(), 0);
        EXPECT_FALSE(probed(krk, true) || probed(kqkr, false)) << path;
    }
    std::ifstream log("vexar.log");
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(log), {}), "Syzygy ok\nSyzygy ok\nSyzygy ok\n");

    // A path with a blank, next to a missing folder, through the option line:
    // three-piece tables answer at the root but not in the search.
    testing::internal::CaptureStdout();
    EXPECT_TRUE(syzygyPathOption("setoption name SyzygyPath value /nonexistent:three piece \r\n"));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), SUCCESS + " (3 pieces)\n");
    EXPECT_TRUE(probed(krk, true) && !probed(kqkr, false));
    // A path too long to hold is reported, and the tables stay.
    testing::internal::CaptureStdout();
    EXPECT_TRUE(syzygyPathOption(("setoption name SyzygyPath value " + std::string(9000, 'x')).c_str()));
    EXPECT_EQ(testing::internal::GetCapturedStdout().rfind("info debug SyzygyPath too long", 0), 0u);
    EXPECT_EQ(tbLargest(), 3);

    tbRelease();
    EXPECT_FALSE(probed(krk, true));
    // Initialising again works after a release; a log that cannot be opened
    // (here a folder) is skipped.
    std::filesystem::remove("vexar.log");
    std::filesystem::create_directory("vexar.log");
    EXPECT_EQ(initialise(TABLES), SUCCESS + " (4 pieces)\n");
    EXPECT_TRUE(probed(kqkr, false));
}

TEST(Syzygy, PathOfOptionLine) {
    char path[32];
    auto read = [&](const char *line) {
        const SyzygyPathScan scan = syzygyPathOf(line, path, sizeof path);
        return scan == PATH_READ ? std::string(path) : scan == PATH_TOO_LONG ? "(too long)" : "(other)";
    };
    EXPECT_EQ(read("setoption name SyzygyPath value /tb/a b:/tb/c"), "/tb/a b:/tb/c");
    EXPECT_EQ(read("  setoption name syzygypath VALUE  /tb \t\r\n"), "/tb");
    EXPECT_EQ(read("setoption name SyzygyPath value"), "");
    EXPECT_EQ(read("setoption name SyzygyPath"), "");
    EXPECT_EQ(read("setoption name SyzygyPaths value /tb"), "(other)");
    EXPECT_EQ(read("setoption name SyzygyPath valu /tb"), "(other)");
    EXPECT_EQ(read("setoption name SyzygyPath value /a/path/that/is/longer/than/the/buffer"), "(too long)");
    EXPECT_FALSE(syzygyPathOption("setoption name Hash value 16"));
}

}  // namespace
