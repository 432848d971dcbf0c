// The main search: a fail-soft principal-variation alpha-beta node with
// transposition-table cut-offs, static pruning at null-window nodes, late-move
// reductions and history updates.  The root (ply 0) is searched by the same
// function; it differs in move ordering, in recording the best move and in
// printing the info line of a finished iteration.
#include <algorithm>

#include "board/moves.h"
#include "eval/endgame/three_pieces.h"
#include "io/output.h"
#include "search/internal.h"
#include "search/ordering.h"
#include "search/params.h"
#include "search/search.h"
#include "search/tt.h"
#include "tb/syzygy.h"

static inline bool boundAllowsCutoff(const TTHit &hit, int alpha, int beta) {
    return (hit.bound == BOUND_LOWER && hit.score >= beta) || hit.bound == BOUND_EXACT ||
           (hit.bound == BOUND_UPPER && hit.score <= alpha);
}

static inline Move givesCheck(Move m) { return m & FLAG_CHECK; }

// Puts the entry equal to the hash move at the head of the list, marked.
static void promoteHashMove(MoveList &moves, Move hash_move) {
    for (int i = 0; i < moves.generated; i++) {
        if ((moves.list[i] & ~FLAG_HASH_MOVE) == hash_move) {
            moves.list[i] = moves.list[0];
            moves.list[0] = hash_move | FLAG_HASH_MOVE;
            return;
        }
    }
}

// Step 14: captures and promotions, best first, tried with a reduced search
// against beta + PROBE_MARGIN; a quiescence look first filters out the hopeless.
static int captureProbe(SearchThread &t, Position &pos, int ply, int depth, int beta) {
    PositionStack &stack = t.stack;
    MoveList &moves = pos.moves;
    const int threshold = beta + PROBE_MARGIN;
    for (int i = 0; i < moves.generated; i++) {
        selectByValue(pos, moves, i);
        const Move move = moves.list[i];
        if (!moveCaptured(move) && !movePromotion(move)) break;
        makeMove(stack, move);
        addNodes(t, 1);
        const int probe = ply + 1 > t.ply_limit
                              ? threshold
                              : -quiesce(t, ply + 1, ply + 1, -threshold, -threshold + 1, givesCheck(move));
        if (probe < threshold) {
            unmakeMove(stack);
            continue;
        }
        const int value = -search(t, ply + 1, depth - PROBE_REDUCTION, -threshold, -threshold + 1, givesCheck(move));
        unmakeMove(stack);
        if (value >= threshold) return value;
    }
    return -SCORE_INFINITE;
}

void restrictRootMoves(MoveList &moves, const SearchLimits &limits) {
    int kept = 0;
    for (int i = 0; i < moves.generated; i++) {
        const Move move = moves.list[i];
        for (int j = 0; j < limits.searchmove_count; j++) {
            if (moveIdentity(move) == limits.searchmoves[j]) {
                moves.list[kept++] = move;
                break;
            }
        }
    }
    moves.generated = kept;
}

int search(SearchThread &t, int ply, int depth, int alpha, int beta, bool in_check) {
    // Step 1-3. Count the node; the horizon hands over to the quiescence search.
    addNodes(t, 1);
    if (ply >= depth) return ply <= t.ply_limit ? quiesce(t, ply, depth, alpha, beta, in_check) : alpha;
    if (t.seldepth < ply) t.seldepth = ply;

    // Step 4-5. Stop requests and draws by rule.
    if (stopPoll(t, false)) return 0;
    PositionStack &stack = t.stack;
    Position &pos = *stack.current;
    if (drawByRule(stack, pos, in_check)) return 0;

    const int remaining = depth - ply;
    const bool null_window = beta - alpha <= 1;
    const int pieces = pieceCount(pos);

    // Step 5b. Generations with tablebases take the tables' verdict on four
    // or more pieces below the root.
    if constexpr (GENERATION.tablebases) {
        int tb_score;
        if (ply > 0 && pieces >= 4 && tbProbeSearch(pos, tb_score)) return tb_score;
    }

    // Step 6. Transposition table: a move for ordering, and a cut-off at
    // null-window nodes when the stored bound and depth allow it.
    TTHit hit{};
    const bool tt_hit = tt_probe(pos.key, pieces, hit);
    if (tt_hit) hit.score = scoreFromTable(hit.score, ply);
    if (tt_hit && null_window && hit.depth >= remaining && boundAllowsCutoff(hit, alpha, beta)) return hit.score;

    // Step 7-8. Legal moves; none means mate or stalemate.  Three pieces are
    // scored by rule, after that test, so that a mate or stalemate on the board
    // is never mistaken for a won ending.  A king with a queen or a rook
    // against a bare king is searched on instead: only a search finds the mate.
    computeAttackInfo(pos);
    generateMoves(stack, pos);
    MoveList &moves = pos.moves;
    if (ply == 0 && t.limits.searchmove_count) restrictRootMoves(moves, t.limits);
    if (moves.generated == 0) return in_check ? -(SCORE_MATE - ply) : 0;
    if (ply > 0 && pieces == 3) {
        int score;
        if (score_three_pieces(*pos.us, *pos.them, score) && !searchOnThreePieces(pos, score)) return score;
    }

    // Step 9. Static pruning only at quiet null-window nodes with material on
    // both sides and no mate in sight.
    const bool pruning = !pos.king_pawns_only && !isMateScore(alpha) && !isMateScore(beta) && moves.generated > 1 &&
                         null_window && !in_check;
    int eval = 0;
    if (pruning) {
        // Step 10. Static evaluation, sharpened by a stored bound.
        eval = evaluate(pos);
        // A stored mate bound says nothing about the position's material
        // balance, so it never feeds the pruning arithmetic below.
        if (tt_hit && !isMateScore(hit.score)) {
            if (hit.bound == BOUND_EXACT)
                eval = hit.score;
            else if (hit.bound == BOUND_LOWER)
                eval = std::max(eval, hit.score);
            else if (hit.bound == BOUND_UPPER)
                eval = std::min(eval, hit.score);
        }

        // Step 11. Futility return: far below alpha with nothing tactical to try.
        if (eval + FUTILITY_PER_PLY * remaining <= alpha) {
            bool tactical = false;
            for (int i = 0; i < moves.generated && !tactical; i++) tactical = moves.list[i] & MOVE_ORDER_BITS;
            if (!tactical) return eval + FUTILITY_PER_PLY * remaining;
        }

        // Step 12. Reverse futility return: far above beta.
        if (eval - REVERSE_FUTILITY_PER_PLY * remaining >= beta) return eval - REVERSE_FUTILITY_PER_PLY * remaining;

        // Step 13. Null move, never twice in a row.
        if (pos.previous && pos.previous->move_played != 0 && remaining >= NULL_MOVE_MIN_REMAINING && eval > beta) {
            makeNullMove(stack);
            const int value =
                -search(t, ply + 1, depth - (NULL_MOVE_BASE_REDUCTION + remaining / 4), -beta, -alpha, false);
            unmakeMove(stack);
            if (value >= beta) return eval;
        }

        // Step 14. Capture probe against a raised bound.
        if (remaining >= PROBE_MIN_REMAINING) {
            const int value = captureProbe(t, pos, ply, depth, beta);
            if (value >= beta + PROBE_MARGIN) return value;
        }
    }

    // Step 15. Hash move first; without one, internal iterative deepening at
    // principal-variation nodes finds one.
    if (tt_hit && hit.move) {
        promoteHashMove(moves, hit.move);
    } else if (!null_window && remaining >= IID_MIN_REMAINING) {
        search(t, ply, depth - IID_REDUCTION, alpha, beta, in_check);
        moves.list[0] &= ~FLAG_HASH_MOVE;
        TTHit again{};
        if (tt_probe(pos.key, -1, again) && again.move) promoteHashMove(moves, again.move);
    }

    // Step 16. A single legal reply extends the line by one ply.
    const int child_depth = (moves.generated == 1 && depth < GENERATION.max_depth) ? depth + 1 : depth;

    // Step 17. The move loop.
    int32_t *history = historyOf(t, pos);
    int best_score = -SCORE_INFINITE;
    Move best_move = 0;
    int quiet_count = 0;
    uint64_t nodes_before = t.nodes;
    int i = 0;
    bool cut_off = false;
    for (; i < moves.generated; i++) {
        if (ply > 0) {
            selectMove(pos, moves, history, i);
        } else {
            selectRootMove(pos, moves, history, t.root_nodes, i);
            t.current_move = moves.list[i];
            t.current_move_number = i + 1;
        }
        const Move move = moves.list[i];

        if (!(move & MOVE_ORDER_BITS)) {
            quiet_count++;
            // Quiet-move futility and history pruning near the horizon.
            if (pruning && remaining <= 2 && i > 0 &&
                (eval + FUTILITY_MARGINS[remaining] <= alpha || history[historyIndex(move)] < 0))
                break;
        }
        const int reduction =
            (pruning && quiet_count > 2) ? reductions[std::min(remaining, 63)][std::min(i, 63)] : 0;

        makeMove(stack, move);
        const int floor = std::max(alpha, best_score);
        int value;
        if (i == 0) {
            value = -search(t, ply + 1, child_depth, -beta, -floor, givesCheck(move));
        } else {
            value = -search(t, ply + 1, child_depth - reduction, -floor - 1, -floor, givesCheck(move));
            if (value > floor && (reduction > 0 || !null_window))
                value = -search(t, ply + 1, child_depth, -beta, -floor, givesCheck(move));
        }
        unmakeMove(stack);
        if (searchStopped()) return 0;

        if (value > best_score) {
            best_move = move & ~FLAG_HASH_MOVE;
            // The move to play changes only when one raises alpha in a child
            // search that ran to its end.  A move that merely fails low less
            // badly than the others proves nothing about itself.
            if (ply == 0 && value > alpha) recordRootMove(t, best_move, value, value >= beta ? BOUND_LOWER : BOUND_EXACT);
            best_score = value;
            if (value >= beta) {
                cut_off = true;
                break;
            }
        }
        if (ply == 0) {
            t.root_nodes[move & 0xFFF] = t.nodes - nodes_before;
            nodes_before = t.nodes;
        }
    }

    // Step 18. History: reward the quiet cut move, penalise the quiet moves tried before it.
    if (cut_off) {
        const Move cut = moves.list[i];
        if (moveIsQuiet(cut)) history[historyIndex(cut)] += remaining * remaining;
        for (int j = 0; j < i; j++)
            if (moveIsQuiet(moves.list[j])) history[historyIndex(moves.list[j])] -= remaining;
    }

    // Step 19. Store, report a finished root search, return.
    storeNode(pos, pieces, remaining, ply, alpha, beta, best_move, best_score);
    if (ply == 0 && t.index == 0) {
        VEXAR_ASSERT(alpha < beta, "utils");
        printRootInfo(t, best_score, alpha, beta, best_move);
    }
    return best_score;
}
