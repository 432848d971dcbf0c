// The command loop and the commands it dispatches.
#pragma once

#include "board/search_thread.h"
#include "generations/generation.h"

inline constexpr const char *ENGINE_NAME = GENERATION.name;
inline constexpr const char *ENGINE_AUTHOR = "Ralmond FESTIN";
inline constexpr int INPUT_LINE_SIZE = 8192;
inline constexpr int MAX_THREADS = GENERATION.max_threads;

// Start-up: tables, network, game, transposition table (prints the banner and
// reports).  Generation 0.3 reads its `-pbil=` argument from the command line.
void startEngine(int argc = 0, char **argv = nullptr);
// Generation 0.8: loads a network.nn-form file as the network in use and
// prints the success or error line; on failure the network in use stays.
bool loadNamedNetwork(const char *path);
// Generation 0.8's `eval`: "eval = %0.2lf" with the static evaluation in pawns.
void evalCommand();
// Reads and runs commands until quit or end of input.
[[noreturn]] void commandLoop();
// Runs one normalised command line; returns false when the engine must exit.
bool runCommand(const char *line);

// Reads one normalised line (blanks collapsed, one trailing blank dropped, a
// trailing carriage return dropped).  Returns false at end of input with
// nothing read.
bool readLine(char *line);

// Replaces the game with a FEN (and moves); a failure prints one info debug
// line and keeps the previous game.
bool setGame(const char *fen, const char *moves);
// Fills the limits from a `go` line: its keys in any order, unknown keys
// skipped.  The words after "searchmoves" are read as moves of the game's
// current position when `game` is given.
void parseGoLimits(const char *line, int side_to_move, SearchLimits &limits, PositionStack *game = nullptr);

// Console commands.
void perftLine(const char *line);
void debugCommand();
void benchCommand();
// Frees the helper records and the table; exits with the given status.
[[noreturn]] void shutdownEngine(int status);
