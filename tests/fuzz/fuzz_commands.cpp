// Fuzz target: the command loop.  The input is what a GUI would write to the
// engine: it becomes the engine's standard input and is read line by line by
// the engine's own reader, each line run by the engine's own dispatcher.
// After every line the game must still be a legal position (its FEN is
// written and read back) whose key equals one computed from scratch.
//
// Work is bounded so that every input runs in milliseconds: every search
// stops after NODE_CEILING nodes, perft lengths above 3, hash sizes above
// 16 MB, more than 4 threads, bench and quit are skipped.
#include <sys/mman.h>

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "board/board.h"
#include "board/moves.h"
#include "fuzz_common.h"
#include "search/search.h"

static constexpr uint64_t NODE_CEILING = 1000;
static SearchThread *scratch;

static bool tooCostly(const char *line) {
    int n;
    if (strstr(line, "bench") || strcmp(line, "quit") == 0) return true;
    if (sscanf(line, "perft %i", &n) == 1 && n > 3) return true;
    if (strstr(line, "setoption name Hash value ") && sscanf(line, "setoption name Hash value %i", &n) == 1 && n > 16)
        return true;
    if (strstr(line, "setoption name Threads value ") && sscanf(line, "setoption name Threads value %i", &n) == 1 &&
        n > 4)
        return true;
    return false;
}

static void checkGame(const char *line) {
    const Position &pos = *main_thread->stack.current;
    FUZZ_CHECK(pos.key == computeKey(pos), "key differs from a fresh key after '%s'", line);
    char fen[128];
    writeFen(pos, fen);
    const char *failed = readFen(*scratch, fen);
    FUZZ_CHECK(!failed, "game '%s' is not a legal position (%s) after '%s'", fen, failed, line);
    FUZZ_CHECK(scratch->stack.current->key == pos.key, "FEN '%s' reads back to another key after '%s'", fen, line);
}

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    startQuietEngine();
    runCommand("setoption name Hash value 1");
    scratch = new SearchThread();
    setNodeCeiling(NODE_CEILING);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    runCommand("setoption name Threads value 1");
    runCommand("ucinewgame");
    // The input becomes standard input, as a pipe from a GUI would be.
    const int file = memfd_create("fuzz-input", 0);
    FUZZ_CHECK(file >= 0 && write(file, data, size) == ssize_t(size), "cannot stage the input");
    lseek(file, 0, SEEK_SET);
    dup2(file, STDIN_FILENO);
    close(file);
    static char line[INPUT_LINE_SIZE];
    while (readLine(line)) {
        if (!line[0] || tooCostly(line)) continue;
        runCommand(line);
        checkGame(line);
    }
    return 0;
}
