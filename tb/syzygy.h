// Syzygy endgame tablebases through the Fathom prober: the SyzygyPath option,
// the root probe that can answer `go` without a search, and the win/draw/loss
// probe of the search.
//
// The engine keeps its own copy of the largest table size.  It is 0 until an
// initialisation succeeds, and every probe checks it first, so a probe with no
// tables (or after a failed initialisation) never reaches the prober.
//
// The prober is not thread-safe at the root and keeps process-wide state; the
// engine that links this library searches on one thread and calls these
// functions only from it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "board/types.h"

// Scores of the probes, below the mate scores of the search.
inline constexpr int TB_WIN_SCORE = 10000;
// A win (or loss) that the fifty-move rule turns into a draw.
inline constexpr int TB_CURSED_SCORE = 5000;

// (Re)initialises the prober with a path: one folder, or several separated by
// ':'.  Prints "info debug Initialisation of Syzygy : success (N pieces)" or
// "... : failure".  Success needs tables of at least three pieces; it appends
// "Syzygy ok" to vexar.log in the working directory (a log that cannot be
// opened is skipped silently).  On failure probing is off (largest size 0)
// and any tables of an earlier initialisation are no longer used.  An empty
// path or "<empty>" names no folder and is a failure.
bool tbInitialise(const char *path);

// Unmaps the tables and turns probing off.  The prober stays usable: a later
// tbInitialise loads tables again.
void tbRelease();

// Largest number of pieces (kings included) that the loaded tables cover; 0
// when probing is off.
int tbLargest();

// How many times the prober has been asked (root and search probes together).
uint64_t tbProberCalls();

// The root probe, for `go` before any search.  `pos` is the game's current
// position and `root_moves` its generated legal moves.  Uses the distance to
// zeroing tables, so both the .rtbw and the .rtbz file of the material must be
// present.  When it answers, `move` is a move of `root_moves` that keeps the
// table's result and `score` is from the side to move's point of view:
// win 10000 - dtz, cursed win 5000 - dtz, draw 0, blessed loss dtz - 5000,
// loss dtz - 10000.  Positions with castling rights are never probed; an
// en-passant square is passed to the prober.
bool tbProbeRoot(const Position &pos, const MoveList &root_moves, Move &move, int &score);

// The probe of the main and quiescence searches, for positions of four pieces
// or more; positions of two and three pieces are the caller's (two bare kings
// score 0, three pieces go to the three-piece scorer) and are never found
// here.  Gives up on a rule-50 counter above 0, castling rights or an
// en-passant square.  A win scores 10000 + M + K and a loss -10000 + M + K,
// where M is the material balance of the side to move (pawn 100, knight and
// bishop 300, rook 500, queen 900) and K the difference of the kings'
// centralisation; a draw scores 0.  Cursed wins and blessed losses are not
// found, and the search goes on.
bool tbProbeSearch(const Position &pos, int &score);

// The value of a "setoption name SyzygyPath value <path>" line.  The name and
// "value" are matched without regard to case; the path is the whole rest of
// the line, without the blanks around it, so it may hold blanks of its own.  A
// line with no value, or with nothing after "value", gives an empty path.
enum SyzygyPathScan { PATH_NOT_OPTION, PATH_READ, PATH_TOO_LONG };
SyzygyPathScan syzygyPathOf(const char *line, char *path, size_t size);

// Handles the line if it sets SyzygyPath (then returns true): initialises the
// prober with its path, or reports a path too long to hold and keeps the
// tables it has.  Returns false for any other line.
bool syzygyPathOption(const char *line);
