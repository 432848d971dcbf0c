#include "board/inplace/inplace.h"

#include <cstring>

#include "board/sliders/sliders.h"
#include "board/zobrist.h"

namespace inplace {

static inline int rule50Of(const HistoryRecord &h) { return int(uint32_t(h.counters)); }

void setBoard(Board &board, const Position &pos) {
    memset(&board, 0, sizeof(Board) - sizeof(board.history));
    for (int c = 0; c < 2; c++) {
        for (int t = 0; t <= KING; t++) board.pieces[c][t] = pos.set[c].bb[t];
        board.material[c] = computeMaterial(board, c);
    }
    board.occupied = board.pieces[0][0] | board.pieces[1][0];
    board.side = pos.us->colour;
    board.ply = 0;
    HistoryRecord &h = board.history[0];
    h = HistoryRecord{};
    h.en_passant = pos.en_passant;
    h.castling = pos.castling;
    h.key = pos.key;
    h.counters = uint32_t(pos.rule50);
}

bool attacked(const Board &board, int square, int by) {
    const Bitboard *p = board.pieces[by];
    if (pawnCaptures[1 - by][square] & p[PAWN]) return true;
    if (knightMoves[square] & p[KNIGHT]) return true;
    if (kingMoves[square] & p[KING]) return true;
    if (bishopMoves(square, board.occupied) & (p[BISHOP] | p[QUEEN])) return true;
    return (rookMoves(square, board.occupied) & (p[ROOK] | p[QUEEN])) != 0;
}

static inline int typeOn(const Board &board, int colour, int square) {
    for (int t = PAWN; t <= KING; t++)
        if (board.pieces[colour][t] & bit(square)) return t;
    return NO_PIECE;
}

static inline void push(MoveList03 &moves, Move03 move) { moves.list[moves.count++] = move; }

static void addTargets(const Board &board, MoveList03 &moves, int from, int type, Bitboard targets) {
    const int them = 1 - board.side;
    for (; targets; targets = clearLowest(targets)) {
        const int to = lowestSquare(targets);
        push(moves, makeMove03(from, to, type, typeOn(board, them, to)));
    }
}

// Every move of the side to move that obeys the pieces' rules; a move may
// still leave its own king in check.  Castling is checked in full here (the
// king neither starts in, passes through nor lands on an attacked square).
static void generatePseudoLegal(const Board &board, MoveList03 &moves) {
    const int us = board.side, them = 1 - us;
    const Bitboard own = board.pieces[us][0], enemy = board.pieces[them][0], empty = ~board.occupied;
    const HistoryRecord &h = current(board);
    moves.count = 0;

    // Pawns: pushes, captures, promotions to each piece, en passant.
    const int forward = us == WHITE ? 8 : -8;
    const int last_rank = us == WHITE ? 7 : 0, start_rank = us == WHITE ? 1 : 6;
    for (Bitboard pawns = board.pieces[us][PAWN]; pawns; pawns = clearLowest(pawns)) {
        const int from = lowestSquare(pawns);
        Bitboard targets = pawnCaptures[us][from] & enemy;
        const int one = from + forward;
        if (empty & bit(one)) {
            targets |= bit(one);
            if (rankOf(from) == start_rank && (empty & bit(one + forward))) targets |= bit(one + forward);
        }
        for (; targets; targets = clearLowest(targets)) {
            const int to = lowestSquare(targets);
            const int captured = typeOn(board, them, to);
            if (rankOf(to) == last_rank) {
                for (int promotion = QUEEN; promotion >= KNIGHT; promotion--)
                    push(moves, makeMove03(from, to, PAWN, captured, promotion));
            } else {
                push(moves, makeMove03(from, to, PAWN, captured));
            }
        }
        if (pawnCaptures[us][from] & h.en_passant)
            push(moves, makeMove03(from, lowestSquare(h.en_passant), PAWN, PAWN, 0, FLAG_EN_PASSANT));
    }
    for (Bitboard b = board.pieces[us][KNIGHT]; b; b = clearLowest(b))
        addTargets(board, moves, lowestSquare(b), KNIGHT, knightMoves[lowestSquare(b)] & ~own);
    for (Bitboard b = board.pieces[us][BISHOP]; b; b = clearLowest(b))
        addTargets(board, moves, lowestSquare(b), BISHOP, bishopMoves(lowestSquare(b), board.occupied) & ~own);
    for (Bitboard b = board.pieces[us][ROOK]; b; b = clearLowest(b))
        addTargets(board, moves, lowestSquare(b), ROOK, rookMoves(lowestSquare(b), board.occupied) & ~own);
    for (Bitboard b = board.pieces[us][QUEEN]; b; b = clearLowest(b))
        addTargets(board, moves, lowestSquare(b), QUEEN, queenMoves(lowestSquare(b), board.occupied) & ~own);
    const int king = lowestSquare(board.pieces[us][KING]);
    addTargets(board, moves, king, KING, kingMoves[king] & ~own);

    // Castling: the right (king and rook unmoved), empty squares between
    // them, and no attacked square on the king's path.
    const int home = us == WHITE ? 4 : 60;
    if (king != home || attacked(board, king, them)) return;
    if ((h.castling & (bit(home) | bit(home + 3))) == (bit(home) | bit(home + 3)) &&
        !(board.occupied & (bit(home + 1) | bit(home + 2))) && !attacked(board, home + 1, them) &&
        !attacked(board, home + 2, them))
        push(moves, makeMove03(home, home + 2, KING, 0, 0, FLAG_CASTLING));
    if ((h.castling & (bit(home) | bit(home - 4))) == (bit(home) | bit(home - 4)) &&
        !(board.occupied & (bit(home - 1) | bit(home - 2) | bit(home - 3))) && !attacked(board, home - 1, them) &&
        !attacked(board, home - 2, them))
        push(moves, makeMove03(home, home - 2, KING, 0, 0, FLAG_CASTLING));
}

void generateLegalMoves(Board &board, MoveList03 &moves) {
    MoveList03 candidates;
    generatePseudoLegal(board, candidates);
    const int us = board.side;
    moves.count = 0;
    for (int i = 0; i < candidates.count; i++) {
        makeMove(board, candidates.list[i]);
        if (!attacked(board, lowestSquare(board.pieces[us][KING]), 1 - us)) push(moves, candidates.list[i]);
        unmakeMove(board);
    }
}

static inline void toggle(Board &board, int colour, int type, Bitboard squares) {
    board.pieces[colour][type] ^= squares;
    board.pieces[colour][0] ^= squares;
}

void makeMove(Board &board, Move03 move) {
    HistoryRecord &h = board.history[board.ply];
    HistoryRecord &next = board.history[board.ply + 1];
    const int us = board.side, them = 1 - us;
    const int from = from03(move), to = to03(move), type = piece03(move);
    const int captured = captured03(move), promotion = promotion03(move);
    const Bitboard from_to = bit(from) | bit(to);

    uint64_t key = h.key ^ pieceKey(us, type, from) ^ pieceKey(us, type, to) ^ polyglotRandom[ZOBRIST_WHITE_TO_MOVE];
    h.mover = from_to;
    h.rook = 0;
    h.captured = 0;
    h.counters = uint32_t(h.counters) | uint64_t(move) << 32;
    toggle(board, us, type, from_to);

    if (move & FLAG_CASTLING) {
        const int rook_from = to > from ? from + 3 : from - 4, rook_to = to > from ? from + 1 : from - 1;
        h.rook = bit(rook_from) | bit(rook_to);
        toggle(board, us, ROOK, h.rook);
        key ^= pieceKey(us, ROOK, rook_from) ^ pieceKey(us, ROOK, rook_to);
    }
    if (captured) {
        const int square = (move & FLAG_EN_PASSANT) ? (us == WHITE ? to - 8 : to + 8) : to;
        h.captured = bit(square);
        toggle(board, them, captured, h.captured);
        board.material[them] -= piece_values[captured];
        key ^= pieceKey(them, captured, square);
    }
    if (promotion) {
        board.pieces[us][PAWN] ^= bit(to);
        board.pieces[us][promotion] ^= bit(to);
        board.material[us] += piece_values[promotion] - piece_values[PAWN];
        key ^= pieceKey(us, PAWN, to) ^ pieceKey(us, promotion, to);
    }

    const bool double_push = type == PAWN && (to - from == 16 || from - to == 16);
    next.en_passant = double_push ? bit((from + to) / 2) : 0;
    if (h.en_passant) key ^= polyglotRandom[ZOBRIST_EN_PASSANT + fileOf(lowestSquare(h.en_passant))];
    if (double_push) key ^= polyglotRandom[ZOBRIST_EN_PASSANT + fileOf(from)];
    next.castling = h.castling & ~from_to;
    if (next.castling != h.castling) key ^= castleKeys(h.castling) ^ castleKeys(next.castling);
    next.key = key;
    next.counters = (type == PAWN || captured) ? 0 : uint32_t(rule50Of(h) + 1);

    board.occupied = board.pieces[WHITE][0] | board.pieces[BLACK][0];
    board.side = them;
    board.ply++;
}

void unmakeMove(Board &board) {
    board.ply--;
    board.side = 1 - board.side;
    const HistoryRecord &h = board.history[board.ply];
    const Move03 move = Move03(h.counters >> 32);
    const int us = board.side, them = 1 - us;
    const int type = piece03(move), captured = captured03(move), promotion = promotion03(move);
    if (promotion) {
        const Bitboard to = bit(to03(move));
        board.pieces[us][promotion] ^= to;
        board.pieces[us][PAWN] ^= to;
        board.material[us] -= piece_values[promotion] - piece_values[PAWN];
    }
    toggle(board, us, type, h.mover);
    if (h.rook) toggle(board, us, ROOK, h.rook);
    if (h.captured) {
        toggle(board, them, captured, h.captured);
        board.material[them] += piece_values[captured];
    }
    board.occupied = board.pieces[WHITE][0] | board.pieces[BLACK][0];
}

uint64_t computeKey(const Board &board) {
    uint64_t key = 0;
    for (int c = 0; c < 2; c++)
        for (int t = PAWN; t <= KING; t++)
            for (Bitboard b = board.pieces[c][t]; b; b = clearLowest(b)) key ^= pieceKey(c, t, lowestSquare(b));
    const HistoryRecord &h = current(board);
    key ^= castleKeys(h.castling);
    if (h.en_passant) key ^= polyglotRandom[ZOBRIST_EN_PASSANT + fileOf(lowestSquare(h.en_passant))];
    if (board.side == WHITE) key ^= polyglotRandom[ZOBRIST_WHITE_TO_MOVE];
    return key;
}

int32_t computeMaterial(const Board &board, int colour) {
    int32_t sum = 0;
    for (int t = PAWN; t < KING; t++) sum += piece_values[t] * popCount(board.pieces[colour][t]);
    return sum;
}

uint64_t perft(Board &board, int depth) {
    MoveList03 moves;
    generateLegalMoves(board, moves);
    if (depth <= 1) return uint64_t(moves.count);
    uint64_t total = 0;
    for (int i = 0; i < moves.count; i++) {
        makeMove(board, moves.list[i]);
        total += perft(board, depth - 1);
        unmakeMove(board);
    }
    return total;
}

void moveText(Move03 move, char *text) {
    const int from = from03(move), to = to03(move);
    text[0] = char('a' + fileOf(from));
    text[1] = char('1' + rankOf(from));
    text[2] = char('a' + fileOf(to));
    text[3] = char('1' + rankOf(to));
    // The promotion letter from bits 20-22.
    text[4] = promotion03(move) ? "??nbrq?"[promotion03(move)] : '\0';
    text[5] = '\0';
}

}  // namespace inplace
