#include "board/moves.h"

#include <cstring>

#include "board/sliders/sliders.h"
#include "board/zobrist.h"
#include "io/output.h"
#include "network/network.h"
#include "search/tt.h"

static constexpr Bitboard NOT_FILE_A = 0xFEFEFEFEFEFEFEFEULL;
static constexpr Bitboard NOT_FILE_H = 0x7F7F7F7F7F7F7F7FULL;
static constexpr Bitboard RANK_7[2] = {0x000000000000FF00ULL, 0x00FF000000000000ULL};  // [colour]
static constexpr Bitboard PUSH_RANK[2] = {0x0000FF0000000000ULL, 0x0000000000FF0000ULL};  // rank 6 / rank 3

static Bitboard pawnAttacksOf(Bitboard pawns, int colour) {
    return colour == WHITE ? ((pawns << 7) & NOT_FILE_H) | ((pawns << 9) & NOT_FILE_A)
                           : ((pawns >> 7) & NOT_FILE_A) | ((pawns >> 9) & NOT_FILE_H);
}

// ---------------------------------------------------------------------------
// Attack information

// Squares between the enemy sliders on a line with X's king and that king:
// all of them when the line is open (a check), the single blocker when there is
// exactly one, nothing otherwise.
static Bitboard betweenSet(const Position &pos, int x) {
    const ColourSet &enemy = pos.set[1 - x];
    const AttackInfo &info = pos.attack_info[x];
    const int king = pos.set[x].king_square;
    Bitboard result = 0;
    for (Bitboard b = (enemy.bb[ROOK] | enemy.bb[QUEEN]) & rookEmptyMoves[king]; b; b = clearLowest(b)) {
        const int s = lowestSquare(b);
        result |= pos.slider_attacks[s] & rookEmptyMoves[s] & info.rook_check_squares;
    }
    for (Bitboard b = (enemy.bb[BISHOP] | enemy.bb[QUEEN]) & bishopEmptyMoves[king]; b; b = clearLowest(b)) {
        const int s = lowestSquare(b);
        result |= pos.slider_attacks[s] & bishopEmptyMoves[s] & info.bishop_check_squares;
    }
    return result;
}

// Union of the attacks of one kind of slider, each piece's own set kept in
// slider_attacks for the move generator.
static inline Bitboard sliderAttacks(Position &pos, Bitboard pieces, Bitboard (*lookup)(int, Bitboard)) {
    Bitboard attacks = 0;
    for (; pieces; pieces = clearLowest(pieces)) {
        const int s = lowestSquare(pieces);
        attacks |= pos.slider_attacks[s] = lookup(s, pos.occupied);
    }
    return attacks;
}

void computeAttackInfo(Position &pos) {
    const Bitboard occupied = pos.occupied;
    for (int c = BLACK; c <= WHITE; c++) {
        const ColourSet &set = pos.set[c];
        AttackInfo &info = pos.attack_info[c];
        info.pawn_attacks = pawnAttacksOf(set.bb[PAWN], c);
        Bitboard attacks = 0;
        for (Bitboard b = set.bb[KNIGHT]; b; b = clearLowest(b)) attacks |= knightMoves[lowestSquare(b)];
        info.knight_attacks = attacks;
        info.bishop_attacks = sliderAttacks(pos, set.bb[BISHOP], bishopMoves);
        info.rook_attacks = sliderAttacks(pos, set.bb[ROOK], rookMoves);
        info.queen_attacks = sliderAttacks(pos, set.bb[QUEEN], queenMoves);
        info.king_attacks = kingMoves[set.king_square];
        info.attacks = info.pawn_attacks | info.knight_attacks | info.bishop_attacks | info.rook_attacks |
                       info.queen_attacks | info.king_attacks;
    }
    for (int x = BLACK; x <= WHITE; x++) {
        const ColourSet &enemy = pos.set[1 - x];
        AttackInfo &info = pos.attack_info[x];
        const int king = pos.set[x].king_square;
        info.pawn_check_squares = enemy.bb[PAWN] ? pawnCaptures[x][king] : 0;
        info.knight_check_squares = enemy.bb[KNIGHT] ? knightMoves[king] : 0;
        info.bishop_check_squares = (enemy.bb[BISHOP] | enemy.bb[QUEEN]) ? bishopMoves(king, occupied) : 0;
        info.rook_check_squares = (enemy.bb[ROOK] | enemy.bb[QUEEN]) ? rookMoves(king, occupied) : 0;
        info.queen_check_squares = info.bishop_check_squares | info.rook_check_squares;
        info.king_check_squares = 0;
        info.check_squares = info.pawn_check_squares | info.knight_check_squares | info.queen_check_squares |
                             info.king_check_squares;
        info.checkers = (enemy.bb[PAWN] & info.pawn_check_squares) | (enemy.bb[KNIGHT] & info.knight_check_squares) |
                        (enemy.bb[BISHOP] & info.bishop_check_squares) | (enemy.bb[ROOK] & info.rook_check_squares) |
                        (enemy.bb[QUEEN] & info.queen_check_squares);
    }
    const Bitboard between[2] = {betweenSet(pos, BLACK), betweenSet(pos, WHITE)};
    for (int x = BLACK; x <= WHITE; x++) {
        AttackInfo &info = pos.attack_info[x];
        info.pinned = between[x] & pos.set[x].bb[0];
        info.discoverers = between[1 - x] & pos.set[x].bb[0];
        info.evasions = (info.checkers && !moreThanOne(info.checkers)) ? info.checkers | (between[x] & ~occupied)
                                                                        : ~Bitboard(0);
    }
}

bool squareAttacked(const Position &pos, int square, int by, Bitboard occupied) {
    const ColourSet &set = pos.set[by];
    return (pawnCaptures[1 - by][square] & set.bb[PAWN]) || (knightMoves[square] & set.bb[KNIGHT]) ||
           (kingMoves[square] & set.bb[KING]) ||
           (bishopMoves(square, occupied) & (set.bb[BISHOP] | set.bb[QUEEN])) ||
           (rookMoves(square, occupied) & (set.bb[ROOK] | set.bb[QUEEN]));
}

// ---------------------------------------------------------------------------
// Move generation

static int capturedType(const ColourSet &them, int square) {
    const Bitboard b = bit(square);
    if (!(them.bb[0] & b)) return NO_PIECE;
    for (int t = PAWN; t <= KING; t++)
        if (them.bb[t] & b) return t;
    return NO_PIECE;
}

// What the target squares of one piece need to know to flag and filter moves.
struct MoveContext {
    const Position *pos;
    const AttackInfo *our;
    const AttackInfo *their;
    int our_king;
    int their_king;
};

static inline bool pinnedMoveAllowed(const MoveContext &ctx, int from, int to) {
    return !(ctx.our->pinned & bit(from)) || aligned(ctx.our_king, from, to);
}

static inline Move discoveredCheckFlag(const MoveContext &ctx, int from, int to) {
    return ((ctx.our->discoverers & bit(from)) && !aligned(ctx.their_king, from, to)) ? FLAG_DISCOVERED_CHECK : 0;
}

// Appends the moves of one piece of steps 3-8 to its legal targets.  When
// only counting, it adds their number to `generated` and writes no Move.
template <GenerationMode mode, bool COUNT_ONLY>
static inline void appendPieceMoves(MoveList &moves, const MoveContext &ctx, int from, Bitboard targets, int type,
                                    Bitboard direct_check_squares, Move extra_flags) {
    if constexpr (COUNT_ONLY) {
        if (ctx.our->pinned & bit(from)) {
            for (; targets; targets = clearLowest(targets))
                moves.generated += pinnedMoveAllowed(ctx, from, lowestSquare(targets));
        } else {
            moves.generated += popCount(targets);
        }
        return;
    }
    if constexpr (mode == GENERATE_CAPTURES) targets &= ctx.pos->them->bb[0];
    if constexpr (mode == GENERATE_RECAPTURES) {
        const Move last = ctx.pos->previous ? ctx.pos->previous->move_played : 0;
        targets &= last ? bit(moveTo(last)) : 0;
    }
    const Bitboard their_attacks = ctx.their->attacks;
    const bool retreat_candidate = (their_attacks & bit(from)) && !(ctx.our->attacks & bit(from));
    const Move base = Move(from) << MOVE_FROM_SHIFT | Move(7 - type) << MOVE_PIECE_SHIFT | extra_flags;
    for (; targets; targets = clearLowest(targets)) {
        const int to = lowestSquare(targets);
        if (!pinnedMoveAllowed(ctx, from, to)) continue;
        Move move = base | Move(to) | Move(capturedType(*ctx.pos->them, to)) << MOVE_CAPTURE_SHIFT;
        if (direct_check_squares & bit(to)) move |= FLAG_DIRECT_CHECK;
        move |= discoveredCheckFlag(ctx, from, to);
        if (retreat_candidate && !(their_attacks & bit(to))) move |= FLAG_SAFE_RETREAT;
        if constexpr (mode == GENERATE_FLAGGED)
            if (!(move & MOVE_ORDER_BITS)) continue;
        moves.list[moves.generated++] = move;
    }
}

Bitboard kingTargets(const Position &pos, const AttackInfo &our, Bitboard their_attacks, int king_square) {
    Bitboard unsafe = their_attacks;
    if (our.checkers) {
        const Bitboard occupied = pos.occupied & ~bit(king_square);
        const ColourSet &them = *pos.them;
        for (Bitboard b = our.checkers & (them.bb[ROOK] | them.bb[QUEEN]); b; b = clearLowest(b))
            unsafe |= rookMoves(lowestSquare(b), occupied);
        for (Bitboard b = our.checkers & (them.bb[BISHOP] | them.bb[QUEEN]); b; b = clearLowest(b))
            unsafe |= bishopMoves(lowestSquare(b), occupied);
    }
    return kingMoves[king_square] & ~unsafe;
}

void generatePromotions(Position &pos, const AttackInfo &our) {
    const ColourSet &us = *pos.us, &them = *pos.them;
    const int colour = us.colour;
    MoveContext ctx{&pos, &our, &pos.attack_info[them.colour], us.king_square, them.king_square};
    MoveList &moves = pos.moves;
    for (Bitboard pawns = us.bb[PAWN] & RANK_7[colour]; pawns; pawns = clearLowest(pawns)) {
        const int from = lowestSquare(pawns);
        Bitboard targets = (forwardRay[colour][from] & ~pos.occupied) | (pawnCaptures[colour][from] & them.bb[0]);
        targets &= our.evasions;
        const Bitboard occupied = pos.occupied & ~bit(from);
        for (; targets; targets = clearLowest(targets)) {
            const int to = lowestSquare(targets);
            if (!pinnedMoveAllowed(ctx, from, to)) continue;
            const Move base = makeMoveCode(from, to, PAWN, capturedType(them, to)) | discoveredCheckFlag(ctx, from, to);
            const Bitboard king = bit(them.king_square);
            const Bitboard attacks[4] = {queenMoves(to, occupied), rookMoves(to, occupied), bishopMoves(to, occupied),
                                         knightMoves[to]};
            for (int i = 0; i < 4; i++) {
                const int promotion = QUEEN - i;
                moves.list[moves.generated++] = base | Move(promotion) << MOVE_PROMOTION_SHIFT |
                                                ((attacks[i] & king) ? FLAG_DIRECT_CHECK : 0);
            }
        }
    }
}

void generateEnPassant(PositionStack &stack, Position &pos) {
    if (!pos.en_passant) return;
    const int target = lowestSquare(pos.en_passant);
    const int mover = pos.us->colour, enemy = 1 - mover;
    for (Bitboard pawns = pos.us->bb[PAWN] & pawnCaptures[enemy][target]; pawns; pawns = clearLowest(pawns)) {
        const int from = lowestSquare(pawns);
        Move move = makeMoveCode(from, target, PAWN, PAWN);
        makeMoveBoardOnly(stack, move);
        const Position &next = *stack.current;
        const bool exposed = squareAttacked(next, next.set[mover].king_square, enemy, next.occupied);
        const bool gives_check = squareAttacked(next, next.set[enemy].king_square, mover, next.occupied);
        unmakeMove(stack);
        if (exposed) continue;
        if (gives_check) move |= FLAG_CHECK;
        pos.moves.list[pos.moves.generated++] = move;
    }
}

void generateCastling(Position &pos, Bitboard our_checkers, const AttackInfo &their) {
    if (our_checkers) return;
    const int k = pos.us->king_square;
    const Bitboard rights = pos.castling;
    if (!(rights & bit(k))) return;
    const Bitboard occupied = pos.occupied, attacked = their.attacks;
    const Bitboard their_king = bit(pos.them->king_square);
    const Bitboard without_king = occupied & ~bit(k);
    MoveList &moves = pos.moves;
    if ((rights & bit(k + 3)) && !((occupied | attacked) & (bit(k + 1) | bit(k + 2)))) {
        Move move = Move(k + 2) | Move(k) << MOVE_FROM_SHIFT | Move(7 - KING) << MOVE_PIECE_SHIFT;
        if (rookMoves(k + 1, without_king) & their_king) move |= FLAG_DIRECT_CHECK;
        moves.list[moves.generated++] = move;
    }
    if ((rights & bit(k - 4)) && !((occupied | attacked) & (bit(k - 1) | bit(k - 2))) && !(occupied & bit(k - 3))) {
        Move move = Move(k - 2) | Move(k) << MOVE_FROM_SHIFT | Move(7 - KING) << MOVE_PIECE_SHIFT;
        if (rookMoves(k - 1, without_king) & their_king) move |= FLAG_DIRECT_CHECK;
        moves.list[moves.generated++] = move;
    }
}

template <GenerationMode mode, bool COUNT_ONLY = false>
static void generate(PositionStack &stack, Position &pos) {
    const ColourSet &us = *pos.us, &them = *pos.them;
    const int colour = us.colour;
    const AttackInfo &our = pos.attack_info[colour];
    const AttackInfo &their = pos.attack_info[them.colour];
    const MoveContext ctx{&pos, &our, &their, us.king_square, them.king_square};
    MoveList &moves = pos.moves;
    moves.generated = 0;
    const Bitboard own = us.bb[0];

    if (!moreThanOne(our.checkers)) {
        generatePromotions(pos, our);
        generateEnPassant(stack, pos);

        const Bitboard evasions = our.evasions;
        const Bitboard empty = ~pos.occupied;
        const Bitboard enemy_pawns = them.bb[PAWN];
        for (Bitboard pawns = us.bb[PAWN] & ~RANK_7[colour]; pawns; pawns = clearLowest(pawns)) {
            const int from = lowestSquare(pawns);
            const Bitboard single = bit(colour == WHITE ? from + 8 : from - 8) & empty;
            const Bitboard twice = (single & PUSH_RANK[colour])
                                       ? (colour == WHITE ? single << 8 : single >> 8) & empty
                                       : 0;
            const Bitboard targets = (single | twice | (pawnCaptures[colour][from] & them.bb[0])) & evasions;
            const bool advanced = colour == WHITE ? from >= 32 : from < 32;
            const Move advance =
                (advanced || !(passedSpan[colour][from] & enemy_pawns)) ? FLAG_PAWN_ADVANCE : 0;
            appendPieceMoves<mode, COUNT_ONLY>(moves, ctx, from, targets, PAWN, their.pawn_check_squares, advance);
        }
        for (Bitboard b = us.bb[KNIGHT]; b; b = clearLowest(b)) {
            const int from = lowestSquare(b);
            appendPieceMoves<mode, COUNT_ONLY>(moves, ctx, from, knightMoves[from] & ~own & evasions, KNIGHT,
                             their.knight_check_squares, 0);
        }
        for (Bitboard b = us.bb[BISHOP]; b; b = clearLowest(b)) {
            const int from = lowestSquare(b);
            appendPieceMoves<mode, COUNT_ONLY>(moves, ctx, from, pos.slider_attacks[from] & ~own & evasions, BISHOP,
                             their.bishop_check_squares, 0);
        }
        for (Bitboard b = us.bb[ROOK]; b; b = clearLowest(b)) {
            const int from = lowestSquare(b);
            appendPieceMoves<mode, COUNT_ONLY>(moves, ctx, from, pos.slider_attacks[from] & ~own & evasions, ROOK,
                             their.rook_check_squares, 0);
        }
        for (Bitboard b = us.bb[QUEEN]; b; b = clearLowest(b)) {
            const int from = lowestSquare(b);
            appendPieceMoves<mode, COUNT_ONLY>(moves, ctx, from, pos.slider_attacks[from] & ~own & evasions, QUEEN,
                             their.queen_check_squares, 0);
        }
    }
    const int king = us.king_square;
    appendPieceMoves<mode, COUNT_ONLY>(moves, ctx, king, kingTargets(pos, our, their.attacks, king) & ~own, KING,
                     their.king_check_squares, 0);
    if constexpr (mode == GENERATE_ALL) generateCastling(pos, our.checkers, their);
}

void generateMoves(PositionStack &stack, Position &pos) { generate<GENERATE_ALL>(stack, pos); }

int countLegalMoves(PositionStack &stack, Position &pos) {
    generate<GENERATE_ALL, true>(stack, pos);
    const int count = pos.moves.generated;
    pos.moves.generated = 0;
    return count;
}

void generateMovesOfMode(PositionStack &stack, Position &pos, GenerationMode mode) {
    switch (mode) {
        case GENERATE_ALL: generate<GENERATE_ALL>(stack, pos); break;
        case GENERATE_FLAGGED: generate<GENERATE_FLAGGED>(stack, pos); break;
        case GENERATE_CAPTURES: generate<GENERATE_CAPTURES>(stack, pos); break;
        case GENERATE_RECAPTURES: generate<GENERATE_RECAPTURES>(stack, pos); break;
    }
}

// ---------------------------------------------------------------------------
// Making moves

static inline void prefetchBucket(uint64_t key) { __builtin_prefetch(ttBucket(key)); }

static void refreshFromSets(Position &pos) {
    refreshAccumulator(pos.accumulator, &pos.set[WHITE].bb[1], &pos.set[BLACK].bb[1]);
}

static inline int32_t kingPawnsOnly(const Position &pos) {
    for (int c = BLACK; c <= WHITE; c++)
        if (pos.set[c].bb[0] == (pos.set[c].bb[PAWN] | pos.set[c].bb[KING])) return 1;
    return 0;
}

template <bool FULL>
static inline void makeMoveWith(PositionStack &stack, Move move) {
    Position &old = *stack.current;
    Position &next = *(stack.current + 1);
    const int mover = old.us->colour, enemy = 1 - mover;
    const int to = moveTo(move), from = moveFrom(move);
    const int type = movePiece(move), captured = moveCaptured(move), promotion = movePromotion(move);
    VEXAR_ASSERT(captured < KING, "moves");

    // The squares a move touches follow from its from and to squares alone:
    // castling is a king move of two files, en passant a pawn move onto the
    // en-passant square, a double push a pawn move of two ranks.
    const bool en_passant = type == PAWN && bit(to) == old.en_passant;
    const int captured_square = en_passant ? (mover == WHITE ? to - 8 : to + 8) : to;
    const bool double_push = type == PAWN && (to - from == 16 || from - to == 16);
    int rook_from = -1, rook_to = -1;
    if (type == KING && to == from + 2) rook_from = from + 3, rook_to = from + 1;
    if (type == KING && to == from - 2) rook_from = from - 4, rook_to = from - 1;
    const Bitboard from_to = bit(from) | bit(to);

    // The key first, so that the transposition-table bucket of the new
    // position is on its way into the cache while the rest is updated.
    // Board-only callers skip the prefetch: issued at perft speed, the
    // prefetches alone would fill the memory pipeline.
    uint64_t key = old.key ^ pieceKey(mover, type, from) ^ pieceKey(mover, type, to) ^
                   polyglotRandom[ZOBRIST_WHITE_TO_MOVE];
    if (old.en_passant) key ^= polyglotRandom[ZOBRIST_EN_PASSANT + fileOf(lowestSquare(old.en_passant))];
    if (double_push) key ^= polyglotRandom[ZOBRIST_EN_PASSANT + fileOf(from)];
    if (rook_from >= 0) key ^= pieceKey(mover, ROOK, rook_from) ^ pieceKey(mover, ROOK, rook_to);
    if (captured) key ^= pieceKey(enemy, captured, captured_square);
    if (promotion) key ^= pieceKey(mover, PAWN, to) ^ pieceKey(mover, promotion, to);
    const Bitboard castling = old.castling & ~from_to;
    if (castling != old.castling) key ^= castleKeys(old.castling) ^ castleKeys(castling);
    if constexpr (FULL) prefetchBucket(key);

    memcpy(static_cast<void *>(&next), &old, offsetof(Position, key));
    stack.current = &next;
    old.move_played = move;
    next.previous = &old;
    next.key = key;
    next.castling = castling;
    ColourSet &own = next.set[mover];
    ColourSet &opp = next.set[enemy];
    next.us = &opp;
    next.them = &own;
    next.mirror = mover == WHITE ? MIRROR_BLACK : 0;
    next.en_passant = double_push ? bit((from + to) / 2) : 0;
    next.rule50 = (type == PAWN || captured) ? 0 : old.rule50 + 1;

    own.bb[0] ^= from_to;
    own.bb[type] ^= from_to;
    if (type == KING) own.king_square = to;
    if (rook_from >= 0) {
        own.bb[0] ^= bit(rook_from) | bit(rook_to);
        own.bb[ROOK] ^= bit(rook_from) | bit(rook_to);
    }
    if (captured) {
        opp.bb[0] ^= bit(captured_square);
        opp.bb[captured] ^= bit(captured_square);
    }
    if (promotion) {
        own.bb[PAWN] ^= bit(to);
        own.bb[promotion] ^= bit(to);
    }
    next.king_pawns_only = kingPawnsOnly(next);
    next.occupied = own.bb[0] | opp.bb[0];

    // Promotions, castling and en passant change features awkwardly: rebuild.
    // Generations without a network keep no Accumulator.
    if constexpr (GENERATION.network && FULL) {
        // Generation 0.8's rows are relative to the king: every king move refreshes.
        const bool refresh = GENERATION.king_relative_network ? type == KING : rook_from >= 0;
        if (promotion || en_passant || refresh) {
            refreshFromSets(next);
        } else {
            const int kings[2] = {next.set[BLACK].king_square, next.set[WHITE].king_square};
            updateAccumulator(next.accumulator, old.accumulator, mover, type, from, to, captured, kings);
        }
    }
}

void makeMove(PositionStack &stack, Move move) { makeMoveWith<true>(stack, move); }
void makeMoveBoardOnly(PositionStack &stack, Move move) { makeMoveWith<false>(stack, move); }

void makeNullMove(PositionStack &stack) {
    Position &old = *stack.current;
    Position &next = *(stack.current + 1);
    memcpy(static_cast<void *>(&next), &old, POSITION_COPIED_BYTES);
    stack.current = &next;
    old.move_played = 0;
    next.previous = &old;
    const int mover = old.us->colour;
    next.us = &next.set[1 - mover];
    next.them = &next.set[mover];
    next.mirror = mover == WHITE ? MIRROR_BLACK : 0;
    next.key ^= polyglotRandom[ZOBRIST_WHITE_TO_MOVE];
    if (old.en_passant) next.key ^= polyglotRandom[ZOBRIST_EN_PASSANT + fileOf(lowestSquare(old.en_passant))];
    next.en_passant = 0;
    next.occupied = old.occupied;
    next.rule50 = old.rule50 + 1;
    next.king_pawns_only = old.king_pawns_only;
    prefetchBucket(next.key);
}

uint64_t computeKey(const Position &pos) {
    uint64_t key = 0;
    for (int c = BLACK; c <= WHITE; c++)
        for (int t = PAWN; t <= KING; t++)
            for (Bitboard b = pos.set[c].bb[t]; b; b = clearLowest(b)) key ^= pieceKey(c, t, lowestSquare(b));
    key ^= castleKeys(pos.castling);
    if (pos.en_passant) key ^= polyglotRandom[ZOBRIST_EN_PASSANT + fileOf(lowestSquare(pos.en_passant))];
    if (pos.us->colour == WHITE) key ^= polyglotRandom[ZOBRIST_WHITE_TO_MOVE];
    return key;
}
