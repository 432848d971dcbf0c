// The search: the go driver, its threads and iterative deepening, the main and
// quiescence searches, and the draw test they share.
#pragma once

#include "board/search_thread.h"
#include "board/types.h"

// Draw by rule: bare kings, rule-50 counter above 99, or the key seen twice
// before since the last capture or pawn move.
bool is_draw(const Position &pos);

// Tables built once at start-up: from_to_order and reductions.
void initSearchTables();

// Runs a search of the main thread's game with its limits already set and
// prints the final score and bestmove.
void go();

// Every search, whatever its limits, also stops after this many nodes (0, the
// default, means no ceiling).  For harnesses that must bound each command.
void setNodeCeiling(uint64_t nodes);

// The time budget of one move in clock mode, in milliseconds: the share of the
// clock above a 1000 ms reserve for the moves to go, plus the increment, less
// 25 ms of overhead.  It never exceeds the clock less a safety margin: the
// increment arrives only after the move.
int clockBudget(int time, int increment, int moves_to_go);
