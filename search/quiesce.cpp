// The quiescence search: stands pat on the network evaluation and resolves the
// captures and promotions left at the horizon; at its first ply it also tries
// checks and flagged quiet moves, and in check every evasion.
#include <algorithm>

#include "board/moves.h"
#include "board/sliders/sliders.h"
#include "eval/endgame/three_pieces.h"
#include "search/internal.h"
#include "search/ordering.h"
#include "search/params.h"
#include "search/search.h"
#include "search/tt.h"
#include "tb/syzygy.h"

// A stored move is used only if it is a legal move of this position: the
// piece stands there, the target holds what the move says it captures, the
// piece reaches the target, and the move leaves the mover's king safe.
// Castling and en passant are never taken from the table.
static bool hashMoveSound(PositionStack &stack, const Position &pos, Move move) {
    const ColourSet &us = *pos.us, &them = *pos.them;
    const int type = movePiece(move), captured = moveCaptured(move), promotion = movePromotion(move);
    const int from = moveFrom(move), to = moveTo(move);
    if (type < PAWN || type > KING || !(us.bb[type] & bit(from))) return false;
    if (captured == 0 ? (pos.occupied & bit(to)) != 0 : (captured >= KING || !(them.bb[captured] & bit(to))))
        return false;
    const int colour = us.colour;
    const bool last_rank = rankOf(to) == (colour == WHITE ? 7 : 0);
    if (promotion != 0 && (type != PAWN || !last_rank || promotion < KNIGHT || promotion > QUEEN)) return false;
    if (promotion == 0 && type == PAWN && last_rank) return false;
    Bitboard reach;
    switch (type) {
        case PAWN: {
            const int forward = colour == WHITE ? 8 : -8;
            const bool start_rank = rankOf(from) == (colour == WHITE ? 1 : 6);
            reach = captured ? pawnCaptures[colour][from] : 0;
            if (!captured && to == from + forward) reach = bit(to);
            if (!captured && start_rank && to == from + 2 * forward && !(pos.occupied & bit(from + forward)))
                reach = bit(to);
            break;
        }
        case KNIGHT: reach = knightMoves[from]; break;
        case BISHOP: reach = bishopMoves(from, pos.occupied); break;
        case ROOK: reach = rookMoves(from, pos.occupied); break;
        case QUEEN: reach = queenMoves(from, pos.occupied); break;
        default: reach = kingMoves[from]; break;
    }
    if (!(reach & bit(to))) return false;
    makeMoveBoardOnly(stack, move);
    const Position &next = *stack.current;
    const bool exposed = squareAttacked(next, next.set[colour].king_square, 1 - colour, next.occupied);
    unmakeMove(stack);
    return !exposed;
}

static inline bool sameMove(Move a, Move b) { return ((a ^ b) & 0x07000FFF) == 0; }

int quiesce(SearchThread &t, int ply, int depth, int alpha, int beta, bool in_check) {
    // Step 1-3. Depth reached, stop requests, draws by rule.
    if (t.seldepth < ply) t.seldepth = ply;
    if (stopPoll(t, true)) return 0;
    PositionStack &stack = t.stack;
    Position &pos = *stack.current;
    if (drawByRule(stack, pos, in_check)) return 0;

    const bool null_window = beta - alpha <= 1;
    const int pieces = pieceCount(pos);
    if constexpr (GENERATION.tablebases) {
        int tb_score;
        if (pieces >= 4 && tbProbeSearch(pos, tb_score)) return tb_score;
    }

    // Step 4. Transposition table, with no depth condition.
    TTHit hit{};
    const bool tt_hit = tt_probe(pos.key, pieces, hit);
    if (tt_hit) hit.score = scoreFromTable(hit.score, ply);
    if (tt_hit && null_window) {
        if ((hit.bound == BOUND_LOWER && hit.score >= beta) || hit.bound == BOUND_EXACT ||
            (hit.bound == BOUND_UPPER && hit.score <= alpha))
            return hit.score;
    }

    // Step 5. Three pieces are scored by rule once a mate or stalemate on the
    // board is ruled out; a queen or rook against a bare king stands pat on
    // the scorer's value and searches on, so that checks find the mate.
    int three_piece_score = 0;
    bool three_piece_eval = false;
    if (pieces == 3) {
        computeAttackInfo(pos);
        generateMoves(stack, pos);
        if (pos.moves.generated == 0) return in_check ? -(SCORE_MATE - ply) : 0;
        if (score_three_pieces(*pos.us, *pos.them, three_piece_score)) {
            if (!searchOnThreePieces(pos, three_piece_score)) return three_piece_score;
            three_piece_eval = true;
        }
    }

    // Step 6. Stand pat, unless in check.  The hand-crafted evaluation reads
    // the attack sets, so they are computed first there.
    if constexpr (!GENERATION.network) computeAttackInfo(pos);
    int stand_pat = -SCORE_INFINITE, best = -SCORE_INFINITE;
    if (!in_check) {
        stand_pat = three_piece_eval ? threePieceEvaluation(pos, three_piece_score) : evaluate(pos);
        if (stand_pat >= beta) return stand_pat;
        best = stand_pat;
    }
    // Step 7. Delta pruning at quiet null-window nodes.
    const bool delta_pruning = !in_check && null_window && !pos.king_pawns_only && !isMateScore(alpha);

    // Step 8-9. A sound hash move, then the generated moves of this node's mode.
    if constexpr (GENERATION.network) computeAttackInfo(pos);
    Move hash_move = (tt_hit && hit.move && hashMoveSound(stack, pos, hit.move)) ? hit.move : 0;
    const GenerationMode mode = in_check ? GENERATE_ALL : ply == depth ? GENERATE_FLAGGED : GENERATE_CAPTURES;
    generateMovesOfMode(stack, pos, mode);
    MoveList &moves = pos.moves;
    if (hash_move) {
        for (int i = 0; i < moves.generated; i++) {
            if (sameMove(moves.list[i], hash_move)) {
                moves.list[i] = moves.list[--moves.generated];
                break;
            }
        }
    }

    // Step 10. The move loop: hash move, then by Move value.
    const bool pv_node = !null_window;
    int searched = 0;
    Move best_move = 0;
    for (int i = -1; i < moves.generated; i++) {
        Move move;
        if (i < 0) {
            if (!hash_move) continue;
            move = hash_move;
        } else {
            selectByValue(pos, moves, i);
            move = moves.list[i];
        }
        const int captured = moveCaptured(move);
        if (delta_pruning && !(move & FLAG_CHECK) && captured && !movePromotion(move)) {
            if (stand_pat + DELTA_MARGIN + piece_values[captured] < alpha) continue;
            if (piece_values[captured] < piece_values[movePiece(move)] && see(pos, move) < 0) continue;
        }

        makeMove(stack, move);
        addNodes(t, 1);
        const int floor = std::max(alpha, best);
        const bool check = move & FLAG_CHECK;
        int value;
        if (searched == 0) {
            value = ply + 1 > t.ply_limit ? beta : -quiesce(t, ply + 1, depth, -beta, -floor, check);
        } else if (ply + 1 > t.ply_limit) {
            if (pv_node) addNodes(t, 1);
            value = pv_node ? beta : floor + 1;
        } else {
            value = -quiesce(t, ply + 1, depth, -floor - 1, -floor, check);
            if (value > floor && pv_node) {
                addNodes(t, 1);
                value = -quiesce(t, ply + 1, depth, -beta, -floor, check);
            }
        }
        unmakeMove(stack);
        searched++;
        if (searchStopped()) return 0;

        if (value <= best) continue;
        if (value >= beta) {
            storeNode(pos, pieces, 0, ply, alpha, beta, move & ~FLAG_HASH_MOVE, value);
            return value;
        }
        best = value;
        best_move = move & ~FLAG_HASH_MOVE;
    }

    // Step 11. Nothing searched: mate in check, else the stand-pat.
    if (searched == 0) return in_check ? -(SCORE_MATE - ply) : best;
    storeNode(pos, pieces, 0, ply, alpha, beta, best_move, best);
    return best;
}
