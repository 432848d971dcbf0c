// Search records shared by the front end and the search: the limits of one
// `go`, the per-thread SearchThread record, the score scale and the mate-score test.
// They sit beside the board because the FEN reader and the move-list reader
// write the game into a record (board/board.h); the search only fills them.
//
// The game itself is the PositionStack of the main thread's record.  Every
// field of a record is written only by its own thread during a search, except
// `stop` (the main thread's is read by all threads) and `nodes` (summed by the
// main thread for its reports); those two are accessed with relaxed atomics.
#pragma once

#include <pthread.h>

#include <atomic>
#include <cstdint>

#include "board/types.h"
#include "generations/generation.h"

inline constexpr int SCORE_INFINITE = 60000;
inline constexpr int SCORE_MATE = 30000;
inline constexpr int MATE_BOUND = GENERATION.mate_bound;  // |score| above this (and not infinite) is a mate
inline constexpr int MAX_PLY = 255;

inline bool isMateScore(int score) { return (score > MATE_BOUND || score < -MATE_BOUND) && score != SCORE_INFINITE && score != -SCORE_INFINITE; }

enum LimitMode : int32_t { LIMIT_DEPTH = 0, LIMIT_MOVETIME = 1, LIMIT_CLOCK = 2, LIMIT_NODES = 3 };

// The move time of "go infinite": the search runs until "stop" (or until the
// input ends, when no "stop" can come).
inline constexpr int64_t INFINITE_MOVE_TIME = GENERATION.infinite_move_time;

// The most root moves "go searchmoves" can name (no position has more legal moves).
inline constexpr int MAX_SEARCH_MOVES = 256;

// What one `go` asks for.  `mode` says how the clock is used; a depth or a node
// count given beside another limit caps the search as well, and whichever
// limit is reached first ends it.
struct SearchLimits {
    int32_t mode;
    int32_t depth;        // LIMIT_DEPTH: the depth to reach; other modes: a depth cap when above 0
    int64_t move_time;    // milliseconds (a 64-bit count: the older generations read it unsigned)
    int64_t time_left;
    uint64_t node_limit;  // LIMIT_NODES: the node count to stop at; other modes: a node cap when above 0
    int32_t mate = 0;     // "go mate N": the deepening ends only at a proved mate in at most N moves
    int32_t searchmove_count = 0;  // 0: every legal root move is searched
    Move searchmoves[MAX_SEARCH_MOVES] = {};  // the allowed root moves, as moveIdentity() codes
};

struct SearchThread {
    pthread_t handle;
    PositionStack stack;
    int32_t index;
    SearchLimits limits;
    int32_t depth;
    int32_t seldepth;
    int32_t best_score;
    Move best_move;
    int32_t best_bound;  // BOUND_EXACT, or the bound best_score is (a fail-high or fail-low root search)
    int32_t best_depth;     // the iteration that recorded best_move or last bounded best_score
    int32_t best_reported;  // best_move has been shown on an info line with a pv
    int32_t stop;
    int32_t time_extended;
    Move current_move;
    int32_t current_move_number;
    int32_t root_index;
    int32_t ply_limit;  // deepest ply the stack has room for (at most MAX_PLY)
    int32_t start_time;
    uint64_t nodes;
    uint64_t next_limit_check;  // main thread: node count at which to sum all threads' nodes again
    int32_t history[2][8 * 64];  // [colour to move][(7 - type) * 64 + to]
    uint64_t root_nodes[4096];   // [from * 64 + to]
};

// The game record, and the helper records allocated by the Threads option.
extern SearchThread *main_thread;
extern SearchThread *helper_threads;
extern int helper_count;
// The game record not in use, where `position` builds a new game.
SearchThread *spareGameRecord();

inline int32_t loadStop(const SearchThread &t) {
    return std::atomic_ref<int32_t>(const_cast<int32_t &>(t.stop)).load(std::memory_order_relaxed);
}
inline void storeStop(SearchThread &t, int32_t value) {
    std::atomic_ref<int32_t>(t.stop).store(value, std::memory_order_relaxed);
}
inline uint64_t loadNodes(const SearchThread &t) {
    return std::atomic_ref<uint64_t>(const_cast<uint64_t &>(t.nodes)).load(std::memory_order_relaxed);
}
// Only the owner writes its counter, so a relaxed load and store suffice.
inline void addNodes(SearchThread &t, uint64_t n) {
    std::atomic_ref<uint64_t> nodes(t.nodes);
    nodes.store(nodes.load(std::memory_order_relaxed) + n, std::memory_order_relaxed);
}

// Resets everything after the stack (search state, history, root counts).
void clearSearchState(SearchThread &t);
