// Functions shared by the search modules (not used outside search/).
#pragma once

#include "board/types.h"
#include "eval/network.h"
#include "search/thread.h"

int search(SearchThread &t, int ply, int depth, int alpha, int beta, bool in_check);
int quiesce(SearchThread &t, int ply, int depth, int alpha, int beta, bool in_check);

// Called at every node: true when the search must stop.  The main thread
// checks input and the clock every POLL_INTERVAL nodes; helpers follow the
// main thread's stop flag.
bool stopPoll(SearchThread &t, bool quiescence);
// True when the main thread's stop flag is set.
inline bool searchStopped() { return loadStop(*main_thread) != 0; }
// Main thread, after a completed iteration in clock mode: true when the next
// iteration should not start.
bool iterationTimeUp(SearchThread &t);

// The info line of a completed root search.
void printRootInfo(SearchThread &t, int score, int alpha, int beta, Move best);

inline int evaluate(const Position &pos) { return evaluateNetwork(pos.accumulator, pos.us->colour == WHITE ? 0 : 1); }
inline int pieceCount(const Position &pos) { return popCount(pos.occupied); }
inline int32_t *historyOf(SearchThread &t, const Position &pos) { return t.history[pos.us->colour]; }
