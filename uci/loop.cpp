#include <sys/mman.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "board/board.h"
#include "search/search.h"
#include "search/tt.h"
#include "tb/syzygy.h"
#include "uci/input.h"
#include "uci/output.h"
#include "uci/uci.h"

// ---------------------------------------------------------------------------
// Reading a line

bool readLine(char *line) {
    int length = 0;
    int c = readInputChar();
    if (c == -1) return false;
    for (; c != -1 && c != '\n'; c = readInputChar()) {
        if (c == ' ' || c == '\t') {
            if (length == 0 || line[length - 1] == ' ') continue;
            c = ' ';
        }
        line[length++] = char(c);
        if (length == INPUT_LINE_SIZE - 1) {
            if constexpr (GENERATION.classic_front_end)
                writeOut("info buffer Warning: input is too long and will be truncated (max = %i bytes)\n",
                         INPUT_LINE_SIZE);
            else
                writeOut("info debug Warning while parsing input (max length = %i bytes, input truncated)\n",
                         INPUT_LINE_SIZE);
            do c = readInputChar();
            while (c != -1 && c != '\n');
            break;
        }
    }
    // A carriage return from a CR LF line end is dropped, then one trailing blank.
    if (length > 0 && line[length - 1] == '\r') length--;
    if (length > 0 && line[length - 1] == ' ') length--;
    line[length] = '\0';
    return true;
}

// ---------------------------------------------------------------------------
// Game and options

bool setGame(const char *fen, const char *moves) {
    SearchThread *target = spareGameRecord();
    const char *failed = readFen(*target, fen);
    if (!failed && moves) failed = playMoves(*target, moves);
    if (failed) {
        writeOut("info debug Invalid position (failed check: %s), command ignored\n", failed);
        return false;
    }
    main_thread = target;
    return true;
}

static void positionCommand(const char *line, bool startpos) {
    const char *moves = strstr(line, "moves ");
    if (moves) moves += strlen("moves ");
    if (startpos) {
        setGame(START_FEN, moves);
        return;
    }
    // The FEN is the text after "position fen " up to the move list, if any.
    char fen[INPUT_LINE_SIZE];
    const char *start = strstr(line, "position fen ") + strlen("position fen ");
    const char *end = strstr(start, "moves");
    const size_t length = end ? size_t(end - start) : strlen(start);
    memcpy(fen, start, length);
    fen[length] = '\0';
    setGame(fen, moves);
}

static void releaseHelpers() {
    if (helper_threads) munmap(helper_threads, size_t(helper_count) * sizeof(SearchThread));
    helper_threads = nullptr;
    helper_count = 0;
}

static void threadsOption(int n) {
    if (n < 1) {
        writeOut("info debug Warning: Vexar needs at least one thread :-)\n");
        writeOut("info debug Ignoring 'setoption' command...\n");
        return;
    }
    if (n > MAX_THREADS) {
        writeOut("info debug Warning: Vexar supports up to %i threads\n", MAX_THREADS);
        writeOut("info debug Ignoring 'setoption' command...\n");
        return;
    }
    releaseHelpers();
    if (n == 1) return;
    // One zero-filled, page-aligned block for all helper records.
    void *block = mmap(nullptr, size_t(n - 1) * sizeof(SearchThread), PROT_READ | PROT_WRITE,
                       MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (block == MAP_FAILED) {
        writeOut("info string Vexar will now halt (thread pool creation)...\n");
        std::exit(1);
    }
    helper_threads = static_cast<SearchThread *>(block);
    helper_count = n - 1;
}

void shutdownEngine(int status) {
    if constexpr (GENERATION.tablebases) tbRelease();
    tt_release();
    releaseHelpers();
    std::exit(status);
}

// ---------------------------------------------------------------------------
// go

// Value of "key N" anywhere in the line, or the fallback when absent or
// unreadable.  The classic front end reads the numbers unsigned ("%llu", so
// "-5" wraps around as strtoull does); values beyond the 32-bit clock are
// capped there, which changes no budget a game can reach.
static int scanKey(const char *line, const char *key, int fallback) {
    const char *p = strstr(line, key);
    if (!p) return fallback;
    char format[32];
    if constexpr (GENERATION.classic_front_end) {
        snprintf(format, sizeof format, "%s%%llu", key);
        unsigned long long value;
        return sscanf(p, format, &value) == 1 ? int(std::min<unsigned long long>(value, INT32_MAX)) : fallback;
    } else {
        snprintf(format, sizeof format, "%s%%i", key);
        int value;
        return sscanf(p, format, &value) == 1 ? value : fallback;
    }
}

// "go movetime N": signed in 0.9, unsigned 64-bit in the classic front end.
static bool scanMoveTime(const char *line, int64_t &move_time) {
    if constexpr (GENERATION.classic_front_end) {
        unsigned long long value;
        if (sscanf(line, "go movetime %llu", &value) != 1) return false;
        move_time = int64_t(std::min<unsigned long long>(value, INT64_MAX));
    } else {
        int value;
        if (sscanf(line, "go movetime %i", &value) != 1) return false;
        move_time = value;
    }
    return true;
}

void parseGoLimits(const char *line, int side_to_move, SearchLimits &limits) {
    int value;
    int64_t move_time;
    unsigned long long nodes;
    if (strcmp(line, "go") == 0) {
        limits = {LIMIT_DEPTH, 10, 0, 0, 0};
    } else if (strcmp(line, "go infinite") == 0) {
        limits = {LIMIT_MOVETIME, 0, INFINITE_MOVE_TIME, 0, 0};
    } else if (sscanf(line, "go depth %i", &value) == 1) {
        limits = {LIMIT_DEPTH, value, 0, 0, 0};
    } else if (scanMoveTime(line, move_time)) {
        limits = {LIMIT_MOVETIME, 0, move_time, 0, 0};
    } else if (sscanf(line, "go nodes %llu", &nodes) == 1) {
        limits = {LIMIT_NODES, 0, 0, 0, uint64_t(nodes)};
    } else {
        const bool white = side_to_move == WHITE;
        const int time = scanKey(line, white ? "wtime " : "btime ", 0);
        const int increment = scanKey(line, white ? "winc " : "binc ", 0);
        int moves_to_go = scanKey(line, "movestogo ", 40);
        if (moves_to_go <= 0) moves_to_go = 1;
        limits = {LIMIT_CLOCK, 0, clockBudget(time, increment, moves_to_go), time > 1000 ? time - 1000 : 0, 0};
    }
}

// ---------------------------------------------------------------------------
// Dispatch

static void setStopFlags() {
    storeStop(*main_thread, 1);
    for (int i = 0; i < helper_count; i++) storeStop(helper_threads[i], 1);
}

static void uciCommand() {
    writeOut("id name %s\n", ENGINE_NAME);
    writeOut("id author %s\n", ENGINE_AUTHOR);
    writeOut("option name Hash type spin default %i min 1 max %i\n", TT_DEFAULT_MB, TT_MAX_MB);
    switch (GENERATION.options) {
        case UciOptions::HASH_THREADS:
            writeOut("option name Threads type spin default %i min 1 max %i\n", 1, MAX_THREADS);
            break;
        case UciOptions::HASH_NN_FILE: writeOut("option name NN_file type string default %s\n", "network.nn"); break;
        case UciOptions::HASH_SYZYGY: writeOut("option name SyzygyPath type string default <empty>\n"); break;
        case UciOptions::HASH_OWN_BOOK: writeOut("option name OwnBook type check default false\n"); break;
    }
    writeOut("uciok\n");
}

bool runCommand(const char *line) {
    int value;
    if (strcmp(line, "stop") == 0) {
        // The classic front end searches on the command loop's thread: a
        // "stop" read here comes after the search, with nothing to stop.
        if constexpr (!GENERATION.classic_front_end) setStopFlags();
    } else if (strcmp(line, "uci") == 0) {
        uciCommand();
    } else if (GENERATION.options == UciOptions::HASH_OWN_BOOK && strstr(line, "setoption")) {
        // The only option that does anything: every setoption line is read as Hash.
        if (sscanf(line, "setoption name Hash value %i", &value) == 1) tt_create(value);
    } else if (strstr(line, "setoption name Hash value ")) {
        if (sscanf(line, "setoption name Hash value %i", &value) == 1)
            tt_create(value);
        else if constexpr (!GENERATION.classic_front_end)
            writeOut("info debug Error while parsing 'setoption' command\n");
    } else if (GENERATION.king_relative_network && strstr(line, "setoption name NN_file value ")) {
        // One word, as "%s" reads it; a file that fails leaves the network in use.
        char path[INPUT_LINE_SIZE];
        if (sscanf(line, "setoption name NN_file value %8191s", path) == 1) loadNamedNetwork(path);
    } else if (GENERATION.tablebases && syzygyPathOption(line)) {
        // handled: the prober was initialised with the rest of the line
    } else if (MAX_THREADS > 1 && strstr(line, "setoption name Threads value ")) {
        if (sscanf(line, "setoption name Threads value %i", &value) == 1)
            threadsOption(value);
        else
            writeOut("info debug Error while parsing 'setoption' command\n");
    } else if (strcmp(line, "isready") == 0) {
        writeOut("readyok\n");
    } else if (strcmp(line, "ucinewgame") == 0) {
        if constexpr (!GENERATION.classic_front_end) tt_clear();
        setGame(START_FEN, nullptr);
    } else if (strstr(line, "position startpos")) {
        positionCommand(line, true);
    } else if (strstr(line, "position fen ")) {
        positionCommand(line, false);
    } else if (GENERATION.king_relative_network && strstr(line, "eval")) {
        evalCommand();
    } else if (strstr(line, "go")) {
        parseGoLimits(line, main_thread->stack.current->us->colour, main_thread->limits);
        go();
    } else if (strstr(line, "perft")) {
        perftLine(line);
    } else if (GENERATION.classic_front_end ? strcmp(line, "debug") == 0 : strstr(line, "debug") != nullptr) {
        debugCommand();
    } else if (strcmp(line, "bench") == 0) {
        benchCommand();
    } else if (strcmp(line, "quit") == 0) {
        return false;
    } else if constexpr (GENERATION.classic_front_end) {
        writeOut("Unknown command : '%s'\n", line);
    } else {
        writeOut("info debug Unknown command : '%s'\n", line);
    }
    return true;
}

void commandLoop() {
    static char line[INPUT_LINE_SIZE];
    while (readLine(line)) {
        if (!line[0]) continue;
        if (!runCommand(line)) break;
    }
    shutdownEngine(0);
}
