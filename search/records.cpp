#include <cstddef>
#include <cstring>

#include "board/moves.h"
#include "search/internal.h"
#include "search/search.h"
#include "search/thread.h"
#include "search/tt.h"

// Two game records: `position` builds the new game in the one not in use and
// switches only when the whole command was valid, so a rejected command leaves
// the previous game exactly as it was.
static SearchThread game_records[2];
SearchThread *main_thread = &game_records[0];
SearchThread *helper_threads = nullptr;
int helper_count = 0;

SearchThread *spareGameRecord() { return main_thread == &game_records[0] ? &game_records[1] : &game_records[0]; }

void clearSearchState(SearchThread &t) {
    const size_t start = offsetof(SearchThread, index);
    memset(reinterpret_cast<char *>(&t) + start, 0, sizeof(SearchThread) - start);
}

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
