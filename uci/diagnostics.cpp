#include <algorithm>
#include <cstdio>

#include "board/board.h"
#include "board/moves.h"
#include "board/perft.h"
#include "io/clock.h"
#include "io/output.h"
#include "search/internal.h"
#include "search/ordering.h"
#include "search/search.h"
#include "search/tt.h"
#include "uci/uci.h"

void perftLine(const char *line) {
    int n;
    if (sscanf(line, "perft %i", &n) != 1) n = 1;
    perftCommand(main_thread->stack, n);
    tt_clear();
    // The classic front end leaves the game as it was; 0.9 starts a new one.
    if constexpr (GENERATION.classic_front_end)
        clearSearchState(*main_thread);
    else
        setGame(START_FEN, nullptr);
}

void classicDebugCommand();

void evalCommand() {
    Position &pos = *main_thread->stack.current;
    computeAttackInfo(pos);
    const bool bare_kings = popCount(pos.occupied) == 2;
    const int score = bare_kings ? 0 : evaluate(pos);
    writeOut("eval = %0.2lf\n", score * 0.01);
}

void debugCommand() {
    if constexpr (GENERATION.classic_front_end)
        classicDebugCommand();
    else
        displayPosition(main_thread->stack);
}

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
        main_thread->limits = SearchLimits{};
        main_thread->limits.depth = BENCH_DEPTH;
        go();
        total += main_thread->nodes;
        tt_clear();
    }
    const uint64_t ms = uint64_t(clockMs() - start);
    writeOut("%llu nodes in %llu ms, speed = %llu nodes/s\n", (unsigned long long)total, (unsigned long long)ms,
             (unsigned long long)(ms ? total / ms * 1000 : 0));
}

// ---------------------------------------------------------------------------
// The classic `debug`: display, evaluation, and the legal moves in search
// order in a compact notation, then the same moves rank-mirrored.

// "Nb1c3", "e5xd6", "Qd1xQd8+", "e7e8=Q", with "+" and "!" for a direct and
// a discovered check and "H" for the hash-move mark.
static int writeCompactMove(Move move) {
    static constexpr char PIECES[] = "?PNBRQK", PROMOTIONS[] = "??NBRQ?";
    if (!move) {
        writeOut("null");
        return 4;
    }
    char text[16];
    int n = 0;
    const int piece = movePiece(move), captured = moveCaptured(move), promotion = movePromotion(move);
    if (piece != PAWN) text[n++] = PIECES[piece & 7];
    text[n++] = char('a' + fileOf(moveFrom(move)));
    text[n++] = char('1' + rankOf(moveFrom(move)));
    if (captured) {
        text[n++] = 'x';
        if (captured != PAWN) text[n++] = PIECES[captured & 7];
    }
    text[n++] = char('a' + fileOf(moveTo(move)));
    text[n++] = char('1' + rankOf(moveTo(move)));
    if (promotion) {
        text[n++] = '=';
        text[n++] = PROMOTIONS[promotion & 7];
    }
    if (move & FLAG_DIRECT_CHECK) text[n++] = '+';
    if (move & FLAG_DISCOVERED_CHECK) text[n++] = '!';
    if (move & FLAG_HASH_MOVE) text[n++] = 'H';
    text[n] = '\0';
    writeOut("%s", text);
    return n;
}

static void writeMoveList(const Move *moves, int count, Move flip) {
    int column = 0;
    for (int i = 0; i < count; i++) {
        column += writeCompactMove(moves[i] ^ flip) + 1;
        writeOut(" ");
        if (column >= 70) {
            writeOut("\n");
            column = 0;
        }
    }
    if (column) writeOut("\n");
}

void classicDebugCommand() {
    PositionStack &stack = main_thread->stack;
    Position &pos = *stack.current;
    displayPosition(stack);
    computeAttackInfo(pos);
    const int score = evaluate(pos);
    writeScore(score);
    if (isMateScore(score)) writeOut(" [%i half-moves]", score > 0 ? SCORE_MATE - score : score + SCORE_MATE);
    writeOut("\n\n");

    generateMoves(stack, pos);
    Move sorted[MAX_MOVES];
    const int count = pos.moves.generated;
    for (int i = 0; i < count; i++) sorted[i] = pos.moves.list[i];
    const int32_t *history = historyOf(*main_thread, pos);
    std::sort(sorted, sorted + count, [&](Move a, Move b) { return compare_moves(pos, history, a, b) > 0; });
    writeOut("%i legal moves:\n", count);
    writeMoveList(sorted, count, 0);
    switch (GENERATION.mirrored_listing) {
        case MirroredListing::MIRRORED_HEADING: writeOut("%i mirrored legal moves:\n", count); break;
        case MirroredListing::LEGAL_HEADING: writeOut("%i legal moves:\n", count); break;
        case MirroredListing::NONE: return;
    }
    writeMoveList(sorted, count, MIRROR_BLACK);
}
