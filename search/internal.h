// Functions shared by the search modules, and by the commands and tests that
// drive a search or its pieces directly.
#pragma once

#include "board/moves.h"
#include "board/search_thread.h"
#include "board/sliders/sliders.h"
#include "board/types.h"
#include "eval/genes/genes.h"
#include "eval/hce/evaluate.h"
#include "network/network.h"

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

// The info line of a completed root search.  A root search that failed low
// reports the move the thread would still play, with the score as an upper
// bound; otherwise `best` is that move.
void printRootInfo(SearchThread &t, int score, int alpha, int beta, Move best);
// A root move that raised alpha becomes the move to play, not yet reported.
inline void recordRootMove(SearchThread &t, Move move, int score, int bound) {
    t.best_move = move;
    t.best_score = score;
    t.best_bound = bound;
    t.best_depth = t.depth;
    t.best_reported = 0;
}
// Keeps the root moves that "go searchmoves" allows, in their order.
void restrictRootMoves(MoveList &moves, const SearchLimits &limits);

// Mate scores count plies from the root; the table holds them counted from the
// node that stored them, so that a hit at another ply, or after another root,
// reads back a true distance.  The map is strictly increasing, so bounds
// compare the same way before and after it.
inline int scoreToTable(int score, int ply) {
    if (!isMateScore(score)) return score;
    return score > 0 ? score + ply : score - ply;
}
inline int scoreFromTable(int score, int ply) {
    if (!isMateScore(score)) return score;
    return score > 0 ? score - ply : score + ply;
}
// tt_store with the window and score of a node at `ply`.
void storeNode(const Position &pos, int pieces, int depth, int ply, int alpha, int beta, Move move, int score);
// A position with no legal move is judged before the 50-move rule: true when
// the position is a draw by rule and not checkmate.  Fills the slot's move
// list when it has to look.
bool drawByRule(PositionStack &stack, Position &pos, bool in_check);

// The static evaluation of the generation: the network, or the hand-crafted
// evaluation (which reads the position's AttackInfo: computeAttackInfo first),
// or generation 0.3's genes.
// Generation 0.8 scores a bare king whose every neighbouring square is
// attacked as 0 (the side to move has nothing left to play with but a king
// that cannot step anywhere safe).
inline bool bareKingSurrounded(const Position &pos) {
    if (pos.us->bb[0] != pos.us->bb[KING]) return false;
    const int them = pos.them->colour;
    for (Bitboard b = kingMoves[pos.us->king_square]; b; b = clearLowest(b))
        if (!squareAttacked(pos, lowestSquare(b), them, pos.occupied)) return false;
    return true;
}

inline int evaluate(const Position &pos) {
    if constexpr (GENERATION.king_relative_network)
        return bareKingSurrounded(pos) ? 0 : evaluateNetwork(pos.accumulator, pos.us->colour == WHITE ? 0 : 1);
    else if constexpr (GENERATION.genes)
        return evaluateGenes(pos);
    else if constexpr (GENERATION.network)
        return evaluateNetwork(pos.accumulator, pos.us->colour == WHITE ? 0 : 1);
    else
        return evaluatePosition(pos);
}
inline int pieceCount(const Position &pos) { return popCount(pos.occupied); }
inline int32_t *historyOf(SearchThread &t, const Position &pos) { return t.history[pos.us->colour]; }
