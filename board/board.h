// Text in and out of the board: the FEN reader and writer, the move-list reader
// of the `position` command, move text, and the board display of `debug`.
//
// The readers check everything they read.  A FEN or move list that fails a
// check is reported by name (the return value) and must leave the caller's
// game untouched, so callers read into a scratch record and keep it only when
// the whole command succeeded (see setGame in uci/).
#pragma once

#include "board/search_thread.h"
#include "board/types.h"

inline constexpr const char *START_FEN = "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1";

// The game may use slots 0 .. MAX_GAME_SLOT; the rest is room for the search
// line (the search caps its depth by the slots actually left).
inline constexpr int MAX_GAME_SLOT = STACK_SIZE - 16;

// Sets up slot 0 of the thread's stack from FEN text (extra text after the six
// fields is ignored).  Returns nullptr on success, else the failed check.
const char *readFen(SearchThread &thread, const char *fen);
// Plays space-separated moves in coordinate text on the thread's stack.  Every
// move must be legal in its position.  Returns nullptr or the failed check.
const char *playMoves(SearchThread &thread, const char *moves);

// "e2e4", "e7e8q"; `text` needs 6 bytes.
void moveToText(Move move, char *text);
// Writes the move text through the output routine.
void writeMove(Move move);
// Finds the legal move of the current slot that the text names (0 if none).
// Runs computeAttackInfo and generateMoves on that slot.
Move findLegalMove(PositionStack &stack, const char *text);

// FEN of the current slot; the move number counts from the stack's first slot.
void writeFen(const Position &pos, char *buffer);
// Board picture, key, FEN and network score of the current slot.
void displayPosition(PositionStack &stack);

// Prints a score as "score cp %i " or "score mate %i ".
void writeScore(int score);
