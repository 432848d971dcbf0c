#include <sys/mman.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "board/board.h"
#include "io/input.h"
#include "io/output.h"
#include "search/search.h"
#include "search/tt.h"
#include "tb/syzygy.h"
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

// The words of a `go` line are read as keys in any order.  A key that takes
// a number reads the next word; "searchmoves" takes the words up to the next
// key.  A word that is no key (with whatever follows it up to the next key)
// is reported and skipped, so that a key this engine does not know never
// hides the ones after it.

static const char *const GO_KEYS[] = {"searchmoves", "ponder",    "wtime", "btime", "winc",  "binc",
                                      "movestogo",   "depth",     "nodes", "mate",  "movetime", "infinite"};

// One space-separated word of the line: [start, start + length).
struct Word {
    const char *start;
    size_t length;
    bool is(const char *text) const { return strlen(text) == length && memcmp(text, start, length) == 0; }
};

static bool isGoKey(const Word &word) {
    for (const char *key : GO_KEYS)
        if (word.is(key)) return true;
    return false;
}

static int splitWords(const char *line, Word *words, int capacity) {
    int count = 0;
    for (const char *p = line; *p && count < capacity;) {
        while (*p == ' ') p++;
        if (!*p) break;
        const char *start = p;
        while (*p && *p != ' ') p++;
        words[count++] = {start, size_t(p - start)};
    }
    return count;
}

// A number as 0.9 reads it ("%i": a sign, 0x for hexadecimal, a leading 0
// for octal) or as the classic front end does (decimal).  Out-of-range values
// saturate.  False when the word does not start with a number.
static bool readNumber(const Word &word, long long &value) {
    char text[32];
    if (word.length >= sizeof text) {
        // Longer than any 64-bit number: saturate on its sign, if it is one.
        const char *digits = word.start + (word.start[0] == '-' || word.start[0] == '+');
        if (*digits < '0' || *digits > '9') return false;
        value = word.start[0] == '-' ? LLONG_MIN : LLONG_MAX;
        return true;
    }
    memcpy(text, word.start, word.length);
    text[word.length] = '\0';
    char *end;
    value = strtoll(text, &end, GENERATION.classic_front_end ? 10 : 0);
    return end != text;
}

static int clampToInt(long long value, int low) { return int(std::clamp<long long>(value, low, INT32_MAX)); }

// The legal move of the game's current position that a word names, or 0.
static Move legalMoveWord(PositionStack *game, const Word &word) {
    char text[8];
    if (!game || word.length >= sizeof text) return 0;
    memcpy(text, word.start, word.length);
    text[word.length] = '\0';
    return findLegalMove(*game, text);
}

static void reportSkipped(const Word &word, const char *why) {
    writeOut("info debug Skipping '%.*s' in 'go' command (%s)\n", int(word.length), word.start, why);
}

void parseGoLimits(const char *line, int side_to_move, SearchLimits &limits, PositionStack *game) {
    static Word words[INPUT_LINE_SIZE / 2];
    const int count = splitWords(line, words, INPUT_LINE_SIZE / 2);
    // The keys follow the word "go" (any text before it is not ours to read).
    int first = 0;
    while (first < count && !words[first].is("go")) first++;
    first = first < count ? first + 1 : count;

    bool infinite = false, has_move_time = false, has_clock = false, has_nodes = false, has_depth = false;
    long long move_time = 0, nodes = 0, depth = 0, mate = 0;
    long long time[2] = {0, 0}, increment[2] = {0, 0}, moves_to_go = 40;
    bool restrict_moves = false;
    limits = SearchLimits{};

    for (int i = first; i < count;) {
        const Word &key = words[i++];
        if (key.is("infinite")) {
            infinite = true;
        } else if (key.is("ponder")) {
            // Pondering is not offered; the search runs on its other limits.
        } else if (key.is("searchmoves")) {
            restrict_moves = true;
            for (; i < count && !isGoKey(words[i]); i++) {
                const Move move = legalMoveWord(game, words[i]);
                if (!move) {
                    reportSkipped(words[i], "not a legal move");
                    continue;
                }
                bool listed = false;
                for (int j = 0; j < limits.searchmove_count; j++) listed |= limits.searchmoves[j] == moveIdentity(move);
                if (!listed && limits.searchmove_count < MAX_SEARCH_MOVES)
                    limits.searchmoves[limits.searchmove_count++] = moveIdentity(move);
            }
        } else if (isGoKey(key)) {
            long long value;
            if (i >= count || isGoKey(words[i]) || !readNumber(words[i], value)) {
                reportSkipped(key, "no number after it");
                continue;
            }
            i++;
            if (key.is("wtime")) time[WHITE] = value, has_clock = true;
            else if (key.is("btime")) time[BLACK] = value, has_clock = true;
            else if (key.is("winc")) increment[WHITE] = value, has_clock = true;
            else if (key.is("binc")) increment[BLACK] = value, has_clock = true;
            else if (key.is("movestogo")) moves_to_go = value, has_clock = true;
            else if (key.is("movetime")) move_time = value, has_move_time = true;
            else if (key.is("nodes")) nodes = value, has_nodes = true;
            else if (key.is("depth")) depth = value, has_depth = true;
            else if (key.is("mate")) mate = value;
        } else {
            // An unknown key: skip it and whatever belongs to it.
            reportSkipped(key, "unknown key");
            while (i < count && !isGoKey(words[i])) i++;
        }
    }
    if (restrict_moves && limits.searchmove_count == 0)
        writeOut("info debug No legal move after 'searchmoves': searching every move\n");

    // How the clock is used: the first of these that the line holds.  A
    // negative time counts as 0 (a player already over time).
    if (infinite) {
        limits.mode = LIMIT_MOVETIME;
        limits.move_time = INFINITE_MOVE_TIME;
    } else if (has_move_time) {
        limits.mode = LIMIT_MOVETIME;
        limits.move_time = GENERATION.classic_front_end ? std::max(move_time, 0LL) : clampToInt(move_time, 0);
    } else if (has_clock) {
        const int own = side_to_move == WHITE ? WHITE : BLACK;
        const int t = clampToInt(time[own], 0);
        const int togo = moves_to_go <= 0 ? 1 : clampToInt(moves_to_go, 1);
        limits.mode = LIMIT_CLOCK;
        limits.move_time = clockBudget(t, clampToInt(increment[own], 0), togo);
        limits.time_left = t > 1000 ? t - 1000 : 0;
    } else if (has_nodes) {
        limits.mode = LIMIT_NODES;
    } else if (has_depth) {
        limits.mode = LIMIT_DEPTH;
    } else if (mate > 0) {
        // A mate search alone runs like "go infinite" until "stop" or until an
        // iteration proves a mate short enough.
        limits.mode = LIMIT_MOVETIME;
        limits.move_time = INFINITE_MOVE_TIME;
    } else if (strcmp(line, "go") == 0) {
        limits.mode = LIMIT_DEPTH;
        limits.depth = 10;
    } else {
        // No limit at all ("go ponder", "go searchmoves e2e4"): an empty clock.
        limits.mode = LIMIT_CLOCK;
    }
    if (has_depth) {
        const int d = clampToInt(depth, INT32_MIN);
        limits.depth = limits.mode == LIMIT_DEPTH ? d : std::max(d, 1);
    }
    if (has_nodes) {
        const uint64_t n = uint64_t(std::max(nodes, 0LL));
        limits.node_limit = limits.mode == LIMIT_NODES ? n : std::max<uint64_t>(n, 1);
    }
    limits.mate = mate > 0 ? clampToInt(mate, 1) : 0;
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
        if constexpr (GENERATION.newgame_clears_table) tt_clear();
        setGame(START_FEN, nullptr);
    } else if (strstr(line, "position startpos")) {
        positionCommand(line, true);
    } else if (strstr(line, "position fen ")) {
        positionCommand(line, false);
    } else if (GENERATION.king_relative_network && strstr(line, "eval")) {
        evalCommand();
    } else if (strstr(line, "go")) {
        parseGoLimits(line, main_thread->stack.current->us->colour, main_thread->limits, &main_thread->stack);
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
