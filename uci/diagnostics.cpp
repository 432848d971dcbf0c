#include <cstdio>

#include "board/board.h"
#include "board/perft.h"
#include "search/search.h"
#include "search/tt.h"
#include "uci/clock.h"
#include "uci/output.h"
#include "uci/uci.h"

void perftLine(const char *line) {
    int n;
    if (sscanf(line, "perft %i", &n) != 1) n = 1;
    perftCommand(main_thread->stack, n);
    tt_clear();
    setGame(START_FEN, nullptr);
}

void debugCommand() { displayPosition(main_thread->stack); }

// Four fixed middlegame positions searched to depth 12; the node total is the
// engine's signature and changes only when the search or evaluation does.
static constexpr const char *BENCH_POSITIONS[4] = {
    "2r1k2r/pq1p1ppp/1pbPpn2/8/2P2B2/P2B1P2/1PQ3PP/R3K2R b KQk - 2 16",
    "1n1q1rk1/r3ppbp/p1p3p1/1p3b2/P1pP3B/1NP1PB2/5PPP/R2QR1K1 w - - 10 16",
    "r2q2k1/pb3pp1/1p3n1p/2bpr3/8/2NBP3/PPQB1PPP/2RR2K1 w - - 0 16",
    "r5k1/p2qp1bp/6p1/1pP3P1/2n1P3/1QP1B3/P3N1PP/R4K2 b - - 0 17",
};
static constexpr int BENCH_DEPTH = 12;

void benchCommand() {
    const int32_t start = clockMs();
    uint64_t total = 0;
    for (const char *fen : BENCH_POSITIONS) {
        setGame(fen, nullptr);
        tt_clear();
        displayPosition(main_thread->stack);
        main_thread->limits = {LIMIT_DEPTH, BENCH_DEPTH, 0, 0, 0};
        go();
        total += main_thread->nodes;
        tt_clear();
    }
    const uint64_t ms = uint64_t(clockMs() - start);
    writeOut("%llu nodes in %llu ms, speed = %llu nodes/s\n", (unsigned long long)total, (unsigned long long)ms,
             (unsigned long long)(ms ? total / ms * 1000 : 0));
}
