// The go driver, the search threads with their iterative deepening, and the
// search's protocol output.
//
// One main search thread and Threads - 1 helpers run the same iterative
// deepening on their own stacks and meet only in the transposition table.  The
// main thread alone reports, watches the clock and standard input, and decides
// when everybody stops; the move played is always the main thread's.
#include <pthread.h>

#include <algorithm>
#include <cstring>

#include "board/board.h"
#include "board/moves.h"
#include "io/clock.h"
#include "io/output.h"
#include "search/internal.h"
#include "search/ordering.h"
#include "search/params.h"
#include "search/search.h"
#include "search/tt.h"
#include "tb/syzygy.h"

// The root position as it was before the main thread started; helpers copy it
// because the main thread writes its own root slot while it searches.
static Position root_snapshot;
static int root_slot;
// The main thread's last iteration was cut short by a stop (time, nodes, input).
static bool main_cut_short;

void initSearchTables() { initOrderingTables(); }

uint64_t totalNodes() {
    uint64_t nodes = loadNodes(*main_thread);
    for (int i = 0; i < helper_count; i++) nodes += loadNodes(helper_threads[i]);
    return nodes;
}

// ---------------------------------------------------------------------------
// Output

// Walks the principal variation through the transposition table.  Stored
// moves are played only if they are legal in their position (a key collision
// could hand us any move), and the walk never leaves the stack.
static void print_pv(SearchThread &t, Move move, int length) {
    PositionStack &stack = t.stack;
    if (!move || is_draw(*stack.current)) return;
    writeMove(move);
    writeOut(" ");
    if (slotIndex(stack, stack.current) + 2 >= STACK_SIZE || length >= MAX_PLY) return;
    makeMove(stack, move);
    TTHit hit{};
    Move next = 0;
    if (tt_probe(stack.current->key, -1, hit) && hit.move) {
        char text[6];
        moveToText(hit.move, text);
        next = findLegalMove(stack, text);
    }
    print_pv(t, next, length + 1);
    unmakeMove(stack);
}

// One "info depth" line with the score, its bound, the pv from `best` and the
// counters.
static void printInfoLine(SearchThread &t, int depth, int score, int bound, Move best) {
    writeOut("info depth %i seldepth %i ", depth, t.seldepth);
    writeScore(score);
    if (bound == BOUND_LOWER) writeOut("lowerbound ");
    if (bound == BOUND_UPPER) writeOut("upperbound ");
    writeOut("pv ");
    print_pv(t, best, 0);
    const int elapsed = clockMs() - t.start_time;
    const uint64_t nodes = totalNodes();
    writeOut("time %llu nodes %llu nps %llu hashfull %i\n", (unsigned long long)elapsed, (unsigned long long)nodes,
             (unsigned long long)(elapsed > 0 ? nodes / uint64_t(elapsed) * 1000 : 0), tt_hashfull());
    t.best_reported = best == t.best_move;
}

void printRootInfo(SearchThread &t, int score, int alpha, int beta, Move best) {
    if (t.seldepth < t.depth) t.seldepth = t.depth;
    if (score <= alpha) {
        // Failed low: the score bounds every move, the one we keep included.
        t.best_score = score;
        t.best_bound = BOUND_UPPER;
        t.best_depth = t.depth;
        printInfoLine(t, t.depth, score, BOUND_UPPER, t.best_move ? t.best_move : best);
        return;
    }
    printInfoLine(t, t.depth, score, score >= beta ? BOUND_LOWER : BOUND_EXACT, best);
}

// The final report.  A score that is only a bound (the search ended inside a
// fail-high or fail-low root search) says so, and is never announced as a mate.
static void printResult(int score, int bound, Move move) {
    const bool exact = bound == BOUND_EXACT;
    if (exact && isMateScore(score))
        writeOut("info string Mate in %i half-moves !\n", score > 0 ? SCORE_MATE - score : score + SCORE_MATE);
    writeOut("info ");
    writeScore(score);
    if (bound == BOUND_LOWER) writeOut("lowerbound ");
    if (bound == BOUND_UPPER) writeOut("upperbound ");
    writeOut("\n");
    writeOut("bestmove ");
    writeMove(move);
    writeOut("\n");
}

// ---------------------------------------------------------------------------
// Iterative deepening

// True when an exact root score is a mate for the side to move in at most
// `moves` moves (a mate in n moves is 2n - 1 plies away).
static bool provesMateWithin(int score, int moves) { return score > 0 && SCORE_MATE - score <= 2 * moves - 1; }

static void *search_thread_main(void *argument) {
    SearchThread &t = *static_cast<SearchThread *>(argument);
    PositionStack &stack = t.stack;
    const int root = root_slot;
    if (t.index != 0) {
        Position &copy = stack.slots[root];
        memcpy(static_cast<void *>(&copy), &root_snapshot, sizeof(Position));
        copy.us = &copy.set[root_snapshot.us->colour];
        copy.them = &copy.set[root_snapshot.them->colour];
        stack.current = &copy;
    }
    // Every ply of the search takes a slot (and en-passant tests one more).
    t.ply_limit = std::min(MAX_PLY, STACK_SIZE - 3 - root);

    const bool in_check = ourInfo(root_snapshot).checkers != 0;
    int max_depth = GENERATION.max_depth;
    if (t.limits.mode == LIMIT_DEPTH || t.limits.depth > 0)
        max_depth = std::clamp(t.limits.depth, 1, GENERATION.max_depth);
    max_depth = std::min(max_depth, t.ply_limit);

    int depth = 1, alpha = -SCORE_INFINITE, beta = SCORE_INFINITE, fails = 0;
    for (;;) {
        t.depth = depth;
        const int s = search(t, 0, depth, alpha, beta, in_check);
        if (searchStopped()) {
            if (t.index == 0) main_cut_short = true;
            break;
        }
        // A mate ends the deepening only when it is exact: a mate bound from
        // a failed aspiration window is searched again like any other.
        // A mate search ends only at a mate for us in at most the moves asked.
        if (alpha < s && s < beta && isMateScore(s) && (!t.limits.mate || provesMateWithin(s, t.limits.mate))) break;
        if (alpha < s && s < beta) {
            alpha = s < -SCORE_INFINITE + ASPIRATION_WINDOW ? -SCORE_INFINITE : s - ASPIRATION_WINDOW;
            beta = s > SCORE_INFINITE - ASPIRATION_WINDOW ? SCORE_INFINITE : s + ASPIRATION_WINDOW;
            fails = 0;
            if (t.index == 0 && t.limits.mode == LIMIT_CLOCK && iterationTimeUp(t)) break;
            if (++depth > max_depth) break;
        } else {
            fails++;
            if (fails <= GENERATION.aspiration_fails) {
                alpha = std::max(s - ASPIRATION_WINDOW * fails, -SCORE_INFINITE);
                beta = std::min(s + ASPIRATION_WINDOW * fails, SCORE_INFINITE);
            } else {
                alpha = -SCORE_INFINITE;
                beta = SCORE_INFINITE;
            }
        }
    }
    storeStop(t, 1);
    return nullptr;
}

// ---------------------------------------------------------------------------
// go

void go() {
    SearchThread &main = *main_thread;
    const int32_t t0 = clockMs();
    PositionStack &stack = main.stack;
    Position &root = *stack.current;

    computeAttackInfo(root);
    if (drawByRule(stack, root, inCheck(root))) {
        writeOut("info string Game over (draw) !\n");
        writeOut("bestmove 0000\n");
        return;
    }
    computeAttackInfo(root);
    generateMoves(stack, root);
    // A mate or stalemate is judged on every legal move; the other answers
    // below choose among the moves "searchmoves" allows.
    if (root.moves.generated != 0 && main.limits.searchmove_count) restrictRootMoves(root.moves, main.limits);
    if (root.moves.generated == 0) {
        writeOut("info string Game over (%s) !\n", inCheck(root) ? "mate" : "pat");
        writeOut("bestmove 0000\n");
        return;
    }
    // Generations with tablebases answer from the tables when they can.
    if constexpr (GENERATION.tablebases) {
        Move tb_move;
        int tb_score;
        if (tbProbeRoot(root, root.moves, tb_move, tb_score)) {
            printResult(tb_score, BOUND_EXACT, tb_move);
            return;
        }
    }
    if (root.moves.generated == 1 && (GENERATION.single_move_at_once || main.limits.mode == LIMIT_CLOCK)) {
        writeOut("bestmove ");
        writeMove(root.moves.list[0]);
        writeOut("\n");
        return;
    }
    // What to play if the search is stopped before the first root move is done.
    const Move fallback = root.moves.list[0];

    tt.root_pieces = pieceCount(root);
    if (GENERATION.max_threads > 1) writeOut("info debug Starting %i thread(s)...\n", helper_count + 1);

    // Everything the threads read is written before the first one starts.
    memcpy(static_cast<void *>(&root_snapshot), &root, sizeof(Position));
    root_slot = slotIndex(stack, &root);
    main.root_index = root_slot;
    main.index = 0;
    main.start_time = t0;
    main.stop = 0;
    main.time_extended = 0;
    main.nodes = 0;
    main.next_limit_check = 0;
    main.seldepth = 0;
    main.best_move = 0;
    main.best_score = 0;
    main.best_bound = BOUND_EXACT;
    main.best_reported = 1;
    main.best_depth = 0;
    main_cut_short = false;
    for (int j = 0; j < helper_count; j++) {
        SearchThread &helper = helper_threads[j];
        clearSearchState(helper);
        helper.index = j + 1;
        helper.limits = main.limits;
        helper.start_time = t0;
        helper.root_index = root_slot;
    }
    pthread_create(&main.handle, nullptr, search_thread_main, &main);
    for (int j = 0; j < helper_count; j++)
        pthread_create(&helper_threads[j].handle, nullptr, search_thread_main, &helper_threads[j]);
    pthread_join(main.handle, nullptr);
    // A search cut short ends with the line of the move it plays, at the
    // depth that move was found and with the final counters: the last pv
    // always begins with the move played.
    if (main.best_move && (main_cut_short || !main.best_reported))
        printInfoLine(main, main.best_depth, main.best_score, main.best_bound, main.best_move);
    printResult(main.best_score, main.best_bound, main.best_move ? main.best_move : fallback);
    for (int j = 0; j < helper_count; j++) pthread_join(helper_threads[j].handle, nullptr);
    // The older generations start every search with fresh move-ordering tables.
    if constexpr (GENERATION.classic_front_end) {
        memset(main.history, 0, sizeof main.history);
        memset(main.root_nodes, 0, sizeof main.root_nodes);
    }
}
