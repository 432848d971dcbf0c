// datagen - self-play training positions for Vexar's network.
//
//   datagen --out PREFIX [--positions N] [--games N] [--workers N] [--nodes N | --depth D]
//           [--seed S] [--book FILE] [--network FILE] [--random-plies N]
//           [--skip-plies N] [--max-plies N] [--hash MB] [--progress SECONDS]
//
// The engine plays itself, one node-limited search a move, from a random
// line of the opening book followed by 0..N seeded random legal plies.  Every
// position whose side to move is not in check, whose best move is neither a
// capture nor a promotion and whose score is not a mate score becomes one
// 32-byte record (tools/record.h) with the search's score and, once the game
// is over, its result.
//
// The engine's state is process-wide, so the parallelism is N worker
// processes, worker K appending to PREFIX.wK.  A worker writes a game's
// records in one write when the game ends, so an interrupted run loses only
// the games in progress.  On start a worker cuts its file back to whole
// records, counts the games in it (records flagged first of their game) and
// continues with the next game number; game g of worker K is played from a
// seed derived from (S, K, g), so a resumed run continues the same sequence.
// The parent prints a progress line and stops the workers once the files hold
// --positions records in all.  --games N gives worker K a share of N games
// (N / workers, one more for the first N % workers) at which it stops.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "board/board.h"
#include "board/moves.h"
#include "board/sliders/sliders.h"
#include "io/output.h"
#include "network/network.h"
#include "search/search.h"
#include "search/tt.h"
#include "tools/record.h"

namespace {

struct Options {
    const char *out = nullptr;
    const char *book = "data/books/8moves_v3_balanced.epd";
    const char *network = "data/network.txt";
    uint64_t positions = 1000000;
    uint64_t games = 0;  // > 0: also stop at this many games in all
    int workers = 0;
    int nodes = 3000;
    int depth = 0;  // > 0: a fixed depth instead of the node limit
    uint64_t seed = 1;
    int random_plies = 8;
    int skip_plies = 0;
    int max_plies = 400;
    int hash_mb = 16;
    int progress_seconds = 10;
    // Adjudication: a win after WIN_PLIES consecutive scores beyond WIN_SCORE
    // for the same side, a draw after DRAW_PLIES consecutive scores within
    // DRAW_SCORE, each only after a minimum number of plies of self-play.
    int win_score = 1500, win_plies = 6, win_after = 20;
    int draw_score = 10, draw_plies = 12, draw_after = 80;
};

volatile sig_atomic_t stop_requested = 0;
void onStopSignal(int) { stop_requested = 1; }

void installStopHandlers() {
    struct sigaction action {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

// splitmix64: the seed sequence of the games and the random choices in them.
uint64_t mix(uint64_t x) {
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

struct Random {
    uint64_t state;
    uint64_t next() { return mix(state++); }
    uint64_t below(uint64_t n) { return n ? next() % n : 0; }
};

// Game g of worker w, attempt a: an opening that ends the game, or a game that
// keeps no position, is replaced by the next attempt, so that game numbers
// count written games and a resumed worker replays none.
uint64_t gameSeed(uint64_t seed, int worker, uint64_t game, int attempt) {
    return mix(mix(mix(seed) ^ uint64_t(worker)) ^ game) ^ mix(uint64_t(attempt) + 0x51ED);
}

bool readBook(const char *path, std::vector<std::string> &lines) {
    FILE *file = fopen(path, "r");
    if (!file) return false;
    char line[512];
    while (fgets(line, sizeof line, file)) {
        size_t length = strcspn(line, "\r\n");
        line[length] = '\0';
        if (length > 0) lines.emplace_back(line);
    }
    fclose(file);
    return !lines.empty();
}

// The move as makeMove wants it: the order flags cleared, capture and
// promotion kept (the same as the `position` command plays).
Move playable(Move move) { return move & ~(MOVE_ORDER_BITS & ~(MOVE_CAPTURE_MASK | MOVE_PROMOTION_MASK)); }

// ---------------------------------------------------------------------------
// One game

enum GameOutcome { GAME_PLAYED, GAME_REJECTED, GAME_INTERRUPTED };

// Plays one game into `records` (cleared first).  REJECTED: the opening ended
// the game, the book line is unreadable, or no position was kept.
GameOutcome playGame(const Options &o, const std::vector<std::string> &book, uint64_t seed,
                     std::vector<PackedRecord> &records) {
    records.clear();
    Random random{seed};
    SearchThread &t = *main_thread;
    PositionStack &stack = t.stack;
    const std::string &line = book[random.below(book.size())];
    PackedRecord book_record;
    if (!fenToRecord(line.c_str(), book_record) || readFen(t, line.c_str())) return GAME_REJECTED;

    const int opening_plies = int(random.below(uint64_t(o.random_plies) + 1));
    for (int i = 0; i < opening_plies; i++) {
        Position &pos = *stack.current;
        computeAttackInfo(pos);
        generateMoves(stack, pos);
        if (pos.moves.generated == 0 || is_draw(pos)) return GAME_REJECTED;
        makeMove(stack, playable(pos.moves.list[random.below(uint64_t(pos.moves.generated))]));
    }

    tt_clear();
    const int start_slot = slotIndex(stack, stack.current);
    int white_result = 0;
    int win_streak = 0, draw_streak = 0;
    for (;;) {
        if (stop_requested) return GAME_INTERRUPTED;
        Position &pos = *stack.current;
        const int slot = slotIndex(stack, &pos), played = slot - start_slot;
        const bool white = pos.us->colour == WHITE;
        computeAttackInfo(pos);
        generateMoves(stack, pos);
        // Mate and stalemate come before the rule-50 and repetition draws.
        if (pos.moves.generated == 0) {
            white_result = inCheck(pos) ? (white ? -1 : 1) : 0;
            break;
        }
        if (is_draw(pos) || played >= o.max_plies || slot >= MAX_GAME_SLOT - 1) break;
        if (pos.moves.generated == 1) {
            // Forced: played without a search, and without a record.
            makeMove(stack, playable(pos.moves.list[0]));
            continue;
        }

        t.limits = SearchLimits{};
        if (o.depth > 0) {
            t.limits.mode = LIMIT_DEPTH;
            t.limits.depth = o.depth;
        } else {
            t.limits.mode = LIMIT_NODES;
            t.limits.node_limit = uint64_t(o.nodes);
        }
        go();
        Move best = t.best_move;
        const int score = t.best_score;
        if (!best) best = pos.moves.list[0];

        if (t.best_move && !inCheck(pos) && !moveCaptured(best) && !movePromotion(best) && !isMateScore(score) &&
            played >= o.skip_plies)
            records.push_back(packPosition(pos, score, book_record.ply + slot, 0, records.empty()));

        const int white_score = white ? score : -score;
        if (white_score > o.win_score)
            win_streak = win_streak > 0 ? win_streak + 1 : 1;
        else if (white_score < -o.win_score)
            win_streak = win_streak < 0 ? win_streak - 1 : -1;
        else
            win_streak = 0;
        draw_streak = (white_score < o.draw_score && white_score > -o.draw_score) ? draw_streak + 1 : 0;
        if (played >= o.win_after && (win_streak >= o.win_plies || -win_streak >= o.win_plies)) {
            white_result = win_streak > 0 ? 1 : -1;
            break;
        }
        if (played >= o.draw_after && draw_streak >= o.draw_plies) break;

        makeMove(stack, playable(best));
    }
    if (records.empty()) return GAME_REJECTED;
    for (PackedRecord &r : records) r.result = int8_t((r.flags & RECORD_WHITE_TO_MOVE) ? white_result : -white_result);
    return GAME_PLAYED;
}

// ---------------------------------------------------------------------------
// Worker files

// Opens (creating) a worker's file, cuts a torn last record away and counts
// the records and games in it.  Returns the descriptor positioned at the end,
// or -1 with errno set.
int openWorkerFile(const char *path, uint64_t &games, uint64_t &positions) {
    games = positions = 0;
    const int fd = open(path, O_RDWR | O_CREAT, 0644);
    if (fd < 0) return -1;
    struct stat info;
    if (fstat(fd, &info) != 0) return close(fd), -1;
    const off_t whole = info.st_size / RECORD_BYTES * RECORD_BYTES;
    if (whole != info.st_size && ftruncate(fd, whole) != 0) return close(fd), -1;
    static PackedRecord chunk[8192];
    off_t offset = 0;
    while (offset < whole) {
        const ssize_t n = pread(fd, chunk, sizeof chunk, offset);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return close(fd), -1;
        const int count = int(n / RECORD_BYTES);
        for (int i = 0; i < count; i++) games += (chunk[i].flags & RECORD_FIRST_OF_GAME) != 0;
        positions += uint64_t(count);
        offset += off_t(count) * RECORD_BYTES;
    }
    if (lseek(fd, whole, SEEK_SET) < 0) return close(fd), -1;
    return fd;
}

bool writeAll(int fd, const void *data, size_t size) {
    const char *p = static_cast<const char *>(data);
    while (size > 0) {
        const ssize_t n = write(fd, p, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        p += n;
        size -= size_t(n);
    }
    return true;
}

// What a worker tells the parent after opening its file and after each game.
struct Report {
    int32_t worker;
    int32_t done;
    uint64_t games;
    uint64_t positions;
};

void sendReport(int pipe_fd, const Report &report) {
    // Smaller than PIPE_BUF, so each report arrives whole.
    while (write(pipe_fd, &report, sizeof report) < 0 && errno == EINTR) {
    }
}

int runWorker(const Options &o, const std::vector<std::string> &book, int worker, int pipe_fd, pid_t parent) {
    // Nothing is read from standard input; a terminal there would let typed
    // keys stop the searches.
    const int null_fd = open("/dev/null", O_RDONLY);
    if (null_fd >= 0) dup2(null_fd, STDIN_FILENO), close(null_fd);

    std::string path = std::string(o.out) + ".w" + std::to_string(worker);
    Report report{worker, 0, 0, 0};
    const int fd = openWorkerFile(path.c_str(), report.games, report.positions);
    if (fd < 0) {
        fprintf(stderr, "datagen: cannot use %s: %s\n", path.c_str(), strerror(errno));
        report.done = 1;
        sendReport(pipe_fd, report);
        return 1;
    }
    sendReport(pipe_fd, report);

    tt_create(o.hash_mb);
    std::vector<PackedRecord> records;
    records.reserve(1024);
    uint64_t quota = ~uint64_t(0);
    if (o.games > 0) quota = o.games / uint64_t(o.workers) + (uint64_t(worker) < o.games % uint64_t(o.workers));
    int status = 0;
    while (!stop_requested && getppid() == parent && report.games < quota) {
        GameOutcome outcome = GAME_REJECTED;
        for (int attempt = 0; outcome == GAME_REJECTED && attempt < 1000; attempt++)
            outcome = playGame(o, book, gameSeed(o.seed, worker, report.games, attempt), records);
        if (outcome == GAME_INTERRUPTED) break;
        if (outcome == GAME_REJECTED) {
            fprintf(stderr, "datagen: worker %i: no usable game in 1000 attempts\n", worker);
            status = 1;
            break;
        }
        if (!writeAll(fd, records.data(), records.size() * sizeof(PackedRecord))) {
            fprintf(stderr, "datagen: writing %s: %s\n", path.c_str(), strerror(errno));
            status = 1;
            break;
        }
        report.games++;
        report.positions += records.size();
        sendReport(pipe_fd, report);
    }
    close(fd);
    report.done = 1;
    sendReport(pipe_fd, report);
    return status;
}

// ---------------------------------------------------------------------------
// Parent: start-up, progress, stop

void printUsage() {
    fprintf(stderr,
            "usage: datagen --out PREFIX [--positions N] [--games N] [--workers N] [--nodes N | --depth D] [--seed S]\n"
            "               [--book FILE] [--network FILE] [--random-plies N] [--skip-plies N]\n"
            "               [--max-plies N] [--hash MB] [--progress SECONDS]\n");
}

bool parseNumber(const char *text, long long low, long long high, long long &value) {
    char *end = nullptr;
    errno = 0;
    value = strtoll(text, &end, 10);
    return errno == 0 && end != text && *end == '\0' && value >= low && value <= high;
}

bool parseOptions(int argc, char **argv, Options &o) {
    for (int i = 1; i < argc; i++) {
        const char *name = argv[i];
        if (i + 1 >= argc) {
            fprintf(stderr, "datagen: %s needs a value\n", name);
            return false;
        }
        const char *text = argv[++i];
        long long v = 0;
        struct Numeric {
            const char *name;
            long long low, high;
        };
        static constexpr Numeric NUMERIC[] = {{"--positions", 1, 1LL << 40}, {"--workers", 1, 256},
                                              {"--nodes", 1, 1LL << 30},     {"--depth", 0, 64},
                                              {"--seed", 0, 1LL << 62},      {"--random-plies", 0, 200},
                                              {"--skip-plies", 0, 1000},     {"--max-plies", 1, 900},
                                              {"--hash", 1, 4096},           {"--progress", 1, 3600},
                                              {"--games", 0, 1LL << 40}};
        for (const Numeric &n : NUMERIC) {
            if (strcmp(name, n.name) != 0) continue;
            if (!parseNumber(text, n.low, n.high, v)) {
                fprintf(stderr, "datagen: %s needs a whole number from %lld to %lld, not '%s'\n", name, n.low, n.high,
                        text);
                return false;
            }
        }
        if (!strcmp(name, "--out"))
            o.out = text;
        else if (!strcmp(name, "--book"))
            o.book = text;
        else if (!strcmp(name, "--network"))
            o.network = text;
        else if (!strcmp(name, "--positions"))
            o.positions = uint64_t(v);
        else if (!strcmp(name, "--games"))
            o.games = uint64_t(v);
        else if (!strcmp(name, "--workers"))
            o.workers = int(v);
        else if (!strcmp(name, "--nodes"))
            o.nodes = int(v);
        else if (!strcmp(name, "--depth"))
            o.depth = int(v);
        else if (!strcmp(name, "--seed"))
            o.seed = uint64_t(v);
        else if (!strcmp(name, "--random-plies"))
            o.random_plies = int(v);
        else if (!strcmp(name, "--skip-plies"))
            o.skip_plies = int(v);
        else if (!strcmp(name, "--max-plies"))
            o.max_plies = int(v);
        else if (!strcmp(name, "--hash"))
            o.hash_mb = int(v);
        else if (!strcmp(name, "--progress"))
            o.progress_seconds = int(v);
        else {
            fprintf(stderr, "datagen: unknown option %s\n", name);
            return false;
        }
    }
    if (!o.out) {
        fprintf(stderr, "datagen: --out is required\n");
        return false;
    }
    return true;
}

// Loads the network text into the process-wide weights through a temporary
// binary file; the forked workers inherit the loaded weights.
bool loadNetworkText(const char *text_path) {
    char binary[] = "/tmp/datagen-network-XXXXXX";
    const int fd = mkstemp(binary);
    if (fd < 0) return false;
    close(fd);
    const bool ok = convertNetworkFile(text_path, binary) == 0;
    if (ok) loadNetworkFrom(binary, text_path);
    unlink(binary);
    return ok;
}

double nowSeconds() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

void formatDuration(double seconds, char *text, size_t size) {
    if (seconds < 0 || seconds > 1e8) {
        snprintf(text, size, "?");
        return;
    }
    const long s = long(seconds);
    snprintf(text, size, "%ld:%02ld:%02ld", s / 3600, s / 60 % 60, s % 60);
}

}  // namespace

int main(int argc, char **argv) {
    Options o;
    if (!parseOptions(argc, argv, o)) {
        printUsage();
        return 2;
    }
    if (o.workers == 0) {
        const long cores = sysconf(_SC_NPROCESSORS_ONLN);
        o.workers = cores > 0 ? int(cores) : 1;
    }
    std::vector<std::string> book;
    if (!readBook(o.book, book)) {
        fprintf(stderr, "datagen: cannot read the opening book %s\n", o.book);
        return 1;
    }

    setOutputEnabled(false);
    initSliders();
    initSearchTables();
    if (!loadNetworkText(o.network)) {
        fprintf(stderr, "datagen: cannot read the network %s\n", o.network);
        return 1;
    }
    helper_count = 0;

    int pipe_fds[2];
    if (pipe(pipe_fds) != 0) {
        perror("datagen: pipe");
        return 1;
    }
    installStopHandlers();
    const pid_t parent = getpid();
    std::vector<pid_t> pids(size_t(o.workers), 0);
    for (int w = 0; w < o.workers; w++) {
        const pid_t pid = fork();
        if (pid < 0) {
            perror("datagen: fork");
            stop_requested = 1;
            break;
        }
        if (pid == 0) {
            close(pipe_fds[0]);
            _exit(runWorker(o, book, w, pipe_fds[1], parent));
        }
        pids[size_t(w)] = pid;
    }
    close(pipe_fds[1]);

    std::vector<Report> reports(size_t(o.workers), Report{0, 0, 0, 0});
    std::vector<bool> reported(size_t(o.workers), false);
    uint64_t start_positions = 0;
    int started = 0;
    bool stopping = false;
    const double start = nowSeconds();
    double last_line = start;
    int failures = 0;

    auto printProgress = [&](const char *prefix) {
        uint64_t games = 0, positions = 0;
        for (const Report &r : reports) games += r.games, positions += r.positions;
        const double elapsed = nowSeconds() - start;
        const double rate = elapsed > 0 ? double(positions - start_positions) / elapsed : 0;
        char eta[32];
        formatDuration(positions >= o.positions ? 0
                       : rate > 0               ? double(o.positions - positions) / rate
                                                : -1,
                       eta, sizeof eta);
        printf("%sgames %llu positions %llu / %llu  %.0f positions/s  (%.0f an hour a worker)  ETA %s\n", prefix,
               (unsigned long long)games, (unsigned long long)positions, (unsigned long long)o.positions, rate,
               rate * 3600 / o.workers, eta);
        fflush(stdout);
    };

    int running = 0;
    for (pid_t pid : pids) running += pid > 0;
    while (running > 0) {
        pollfd p{pipe_fds[0], POLLIN, 0};
        const int ready = poll(&p, 1, 200);
        if (ready > 0) {
            Report report;
            const ssize_t n = read(pipe_fds[0], &report, sizeof report);
            if (n == sizeof report && report.worker >= 0 && report.worker < o.workers) {
                const size_t w = size_t(report.worker);
                if (!reported[w]) {
                    reported[w] = true;
                    start_positions += report.positions;
                    if (++started == o.workers) {
                        uint64_t positions = 0;
                        for (const Report &r : reports) positions += r.positions;
                        printf("datagen: %i workers, %llu positions already written, %s %i a move\n", o.workers,
                               (unsigned long long)(positions + report.positions), o.depth > 0 ? "depth" : "nodes",
                               o.depth > 0 ? o.depth : o.nodes);
                        fflush(stdout);
                    }
                }
                reports[w] = report;
            }
        }
        uint64_t total = 0;
        for (const Report &r : reports) total += r.positions;
        if (!stopping && (stop_requested || total >= o.positions)) {
            stopping = true;
            for (pid_t pid : pids)
                if (pid > 0) kill(pid, SIGTERM);
        }
        int status = 0;
        pid_t done;
        while ((done = waitpid(-1, &status, WNOHANG)) > 0) {
            running--;
            for (pid_t &pid : pids)
                if (pid == done) pid = 0;
            if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) failures++;
        }
        if (nowSeconds() - last_line >= o.progress_seconds) {
            last_line = nowSeconds();
            printProgress("");
        }
    }
    // Reports still in the pipe.
    Report report;
    while (read(pipe_fds[0], &report, sizeof report) == sizeof report)
        if (report.worker >= 0 && report.worker < o.workers) reports[size_t(report.worker)] = report;
    printProgress("done: ");
    return failures ? 1 : 0;
}
