// Search constants in one place.  Scores are centipawns; depths are plies.
#pragma once

inline constexpr int ASPIRATION_WINDOW = 10;     // half-width of the window around the last score
inline constexpr int FUTILITY_PER_PLY = 100;     // node futility return: eval + 100 * remaining <= alpha
inline constexpr int REVERSE_FUTILITY_PER_PLY = 200;  // eval - 200 * remaining >= beta
inline constexpr int NULL_MOVE_MIN_REMAINING = 3;     // null move from remaining depth 3 on
inline constexpr int NULL_MOVE_BASE_REDUCTION = 3;    // plus remaining / 4
inline constexpr int PROBE_MARGIN = 200;              // capture probe threshold above beta
inline constexpr int PROBE_MIN_REMAINING = 5;
inline constexpr int PROBE_REDUCTION = 4;
inline constexpr int IID_MIN_REMAINING = 3;
inline constexpr int IID_REDUCTION = 2;
inline constexpr int FUTILITY_MARGINS[3] = {0, 200, 500};  // quiet-move futility by remaining depth
inline constexpr int DELTA_MARGIN = 200;                   // quiescence delta pruning
inline constexpr int POLL_INTERVAL = 10000;                // nodes between clock and input checks
inline constexpr int CURRMOVE_INTERVAL = 2000000;          // nodes between current-move lines
inline constexpr int TIME_RESERVE_MS = 1000;              // clock kept back before the per-move share
inline constexpr int TIME_OVERHEAD_MS = 25;               // subtracted from every budget
inline constexpr int TIME_SAFETY_MS = 50;                 // the budget leaves at least this on the clock
inline constexpr int NODE_LIMIT_INTERVAL = 1024;          // nodes between node-limit checks with helpers
