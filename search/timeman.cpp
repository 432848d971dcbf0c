#include <sched.h>

#include <algorithm>

#include "board/board.h"
#include "io/clock.h"
#include "io/input.h"
#include "io/output.h"
#include "search/internal.h"
#include "search/params.h"
#include "search/tt.h"

uint64_t totalNodes();

static void printCurrentMove(SearchThread &t, int elapsed) {
    const uint64_t nodes = totalNodes();
    writeOut("info depth %i currmove ", t.depth);
    writeMove(t.current_move);
    writeOut(" currmovenumber %i ", t.current_move_number);
    writeOut("time %i nodes %llu nps %llu hashfull %i\n", elapsed, (unsigned long long)nodes,
             (unsigned long long)(elapsed > 0 ? nodes / uint64_t(elapsed) * 1000 : 0), tt_hashfull());
}

// Periodic check of the main thread: true when time is up.
static bool check_time(SearchThread &t) {
    const int elapsed = clockMs() - t.start_time;
    if (elapsed >= t.limits.move_time) {
        if (t.limits.mode == LIMIT_MOVETIME) {
            storeStop(t, 1);
            return true;
        }
        if (t.limits.mode == LIMIT_CLOCK && !GENERATION.time_extension) {
            storeStop(t, 1);
            return true;
        }
        if (t.limits.mode == LIMIT_CLOCK) {
            // The budget may double while four budgets still fit in the reserve.
            // A budget of 0 has nothing to double: stop, or the search would
            // run on until an iteration happened to finish.
            if (t.limits.move_time == 0 || 4 * t.limits.move_time > t.limits.time_left) {
                storeStop(t, 1);
                return true;
            }
            t.time_extended = 1;
            t.limits.move_time *= 2;
            writeOut("info debug Time extension : start\n");
        }
    }
    if (t.nodes % CURRMOVE_INTERVAL == 0) printCurrentMove(t, elapsed);
    return false;
}

int clockBudget(int time, int increment, int moves_to_go) {
    const int reserve = time > TIME_RESERVE_MS ? time - TIME_RESERVE_MS : 0;
    const int64_t share = int64_t(reserve / std::max(moves_to_go, 1)) + increment;
    const int64_t budget = share > TIME_OVERHEAD_MS ? share - TIME_OVERHEAD_MS : 0;
    const int64_t clock = time;
    const int64_t cap = std::max<int64_t>(0, clock - TIME_SAFETY_MS);
    return int(std::min(budget, cap));
}

// The node limits count every thread's nodes, as `go nodes` means.  With
// helpers the sum is taken once the thread has counted another
// NODE_LIMIT_INTERVAL nodes (its counter can step past any given multiple).
static bool nodeCheckDue(SearchThread &t) {
    if (helper_count == 0) return true;
    if (t.nodes < t.next_limit_check) return false;
    t.next_limit_check = t.nodes + NODE_LIMIT_INTERVAL;
    return true;
}
static bool nodeLimitReached(const SearchThread &t, uint64_t limit) {
    return (helper_count == 0 ? t.nodes : totalNodes()) >= limit;
}
static bool hasNodeLimit(const SearchThread &t) { return t.limits.mode == LIMIT_NODES || t.limits.node_limit; }

static uint64_t node_ceiling = 0;

void setNodeCeiling(uint64_t nodes) { node_ceiling = nodes; }

bool stopPoll(SearchThread &t, bool quiescence) {
    if (t.index != 0) {
        // A helper that finds the node limit reached waits for the main
        // thread's stop: searching on would only run past the limit while the
        // main thread is off the processor.
        if (hasNodeLimit(t) && nodeCheckDue(t) && nodeLimitReached(t, t.limits.node_limit))
            while (!searchStopped()) sched_yield();
        return searchStopped();
    }
    if (loadStop(t)) return true;
    if ((hasNodeLimit(t) || node_ceiling) && nodeCheckDue(t) &&
        ((hasNodeLimit(t) && nodeLimitReached(t, t.limits.node_limit)) ||
         (node_ceiling && nodeLimitReached(t, node_ceiling)))) {
        storeStop(t, 1);
        return true;
    }
    if (quiescence && t.nodes == 0) return false;
    if (t.nodes % POLL_INTERVAL != 0) return false;
    if (inputWaiting()) {
        storeStop(t, 1);
        return true;
    }
    // An infinite search (or a move time as long) ends with its input: no
    // "stop" can come any more.
    if (t.limits.mode == LIMIT_MOVETIME && t.limits.move_time >= INFINITE_MOVE_TIME && inputEnded()) {
        storeStop(t, 1);
        return true;
    }
    return check_time(t);
}

bool iterationTimeUp(SearchThread &t) {
    if (t.time_extended) {
        writeOut("info debug Time extension : end\n");
        return true;
    }
    return 2 * int64_t(clockMs() - t.start_time) > t.limits.move_time;
}
