#include "board/moves.h"
#include "board/search_thread.h"
#include "search/internal.h"
#include "search/search.h"
#include "search/tt.h"

bool is_draw(const Position &pos) {
    if (popCount(pos.occupied) == 2) return true;
    if (pos.rule50 > 99) return true;
    int matches = 0;
    const Position *after = &pos;
    for (const Position *p = pos.previous; p; after = p, p = p->previous) {
        if (p->rule50 >= after->rule50) break;
        if (p->key == pos.key && ++matches == 2) return true;
    }
    return false;
}

bool drawByRule(PositionStack &stack, Position &pos, bool in_check) {
    if (!is_draw(pos)) return false;
    // Checkmate on the move that reaches the 50-move limit stands.
    if (!in_check || pos.rule50 <= 99) return true;
    computeAttackInfo(pos);
    generateMoves(stack, pos);
    return pos.moves.generated != 0;
}

void storeNode(const Position &pos, int pieces, int depth, int ply, int alpha, int beta, Move move, int score) {
    tt_store(pos.key, pieces, depth, scoreToTable(alpha, ply), scoreToTable(beta, ply), move,
             scoreToTable(score, ply));
}
