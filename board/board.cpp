#include "board/board.h"

#include <cstdio>
#include <cstring>

#include "board/moves.h"
#include "board/sliders/sliders.h"
#include "board/zobrist.h"
#include "io/output.h"
#include "network/network.h"

static constexpr const char *FILES = "abcdefgh";
static constexpr const char *RANKS = "12345678";
static constexpr const char *PROMOTION_LETTERS = "??nbrq?";

static int fileIndex(char c) {
    const char *p = c ? strchr(FILES, c) : nullptr;
    return p ? int(p - FILES) : -1;
}
static int rankIndex(char c) {
    const char *p = c ? strchr(RANKS, c) : nullptr;
    return p ? int(p - RANKS) : -1;
}

// ---------------------------------------------------------------------------
// FEN reader

enum { FEN_PLACEMENT, FEN_SIDE, FEN_CASTLING, FEN_EN_PASSANT, FEN_HALFMOVE, FEN_FULLMOVE, FEN_SECTIONS };

// Splits at spaces (skipping empty fields) into at most six sections.
static int splitFen(const char *text, const char *sections[FEN_SECTIONS], int lengths[FEN_SECTIONS]) {
    int count = 0;
    const char *p = text;
    while (count < FEN_SECTIONS) {
        while (*p == ' ') p++;
        if (!*p) break;
        const char *start = p;
        while (*p && *p != ' ') p++;
        sections[count] = start;
        lengths[count] = int(p - start);
        count++;
    }
    return count;
}

static const char *readPlacement(Position &pos, const char *text, int length, uint64_t &key) {
    static constexpr const char *BLACK_LETTERS = "pnbrqk";
    static constexpr const char *WHITE_LETTERS = "PNBRQK";
    int square = 56, file = 0, rank = 7, pieces = 0;
    for (int i = 0; i < length; i++) {
        const char c = text[i];
        if (c == '/') {
            if (file != 8 || rank == 0) return "8 squares on each of 8 ranks";
            square -= 16;
            file = 0;
            rank--;
            continue;
        }
        if (c >= '1' && c <= '8') {
            square += c - '0';
            file += c - '0';
            if (file > 8) return "8 squares on each of 8 ranks";
            continue;
        }
        const char *white = strchr(WHITE_LETTERS, c), *black = strchr(BLACK_LETTERS, c);
        if (!c || (!white && !black)) return "valid character in piece placement";
        if (file >= 8) return "8 squares on each of 8 ranks";
        const int colour = white ? WHITE : BLACK;
        const int type = int((white ? white - WHITE_LETTERS : black - BLACK_LETTERS)) + 1;
        ColourSet &set = pos.set[colour];
        if (type == KING) {
            if (set.bb[KING]) return "one king of each colour";
            set.king_square = square;
        }
        if (type == PAWN && (rankOf(square) == 0 || rankOf(square) == 7)) return "no pawn on the first or last rank";
        if (++pieces > 32) return "at most 32 pieces";
        set.bb[type] |= bit(square);
        key ^= pieceKey(colour, type, square);
        square++;
        file++;
    }
    if (square != 8 || file != 8 || rank != 0) return "square == 8";
    if (!pos.set[WHITE].bb[KING] || !pos.set[BLACK].bb[KING]) return "one king of each colour";
    return nullptr;
}

// Castling rights are kept only where the king and the rook still stand on
// their home squares; a right without its pieces would move a phantom rook.
static Bitboard readCastling(const Position &pos, const char *text, int length) {
    struct Right {
        char letter;
        int colour, king, rook;
    };
    static constexpr Right RIGHTS[4] = {{'K', WHITE, 4, 7}, {'Q', WHITE, 4, 0}, {'k', BLACK, 60, 63}, {'q', BLACK, 60, 56}};
    Bitboard castling = 0;
    for (const Right &right : RIGHTS) {
        if (!memchr(text, right.letter, size_t(length))) continue;
        const ColourSet &set = pos.set[right.colour];
        if ((set.bb[KING] & bit(right.king)) && (set.bb[ROOK] & bit(right.rook)))
            castling |= bit(right.king) | bit(right.rook);
    }
    return castling;
}

static const char *readEnPassant(Position &pos, const char *text, int length) {
    if (length != 2) return nullptr;
    const int file = fileIndex(text[0]), rank = rankIndex(text[1]);
    if (file == -1) return "file != -1";
    if (!(rank == 2 || rank == 5)) return "rank == 2 || rank == 5";
    // The square must lie behind a pawn of the side not to move that has just
    // made its double step: that pawn in front of it, the square and the one
    // the pawn came from empty.
    const int square = rank * 8 + file;
    const int mover = pos.us->colour;
    const int pawn_square = mover == WHITE ? square - 8 : square + 8;
    const int origin = mover == WHITE ? square + 8 : square - 8;
    if ((mover == WHITE) != (rank == 5) || !(pos.them->bb[PAWN] & bit(pawn_square)) ||
        ((pos.set[WHITE].bb[0] | pos.set[BLACK].bb[0]) & (bit(square) | bit(origin))))
        return "en-passant square behind a pawn that has just made a double step";
    pos.en_passant = bit(square);
    return nullptr;
}

const char *readFen(SearchThread &thread, const char *fen) {
    const char *sections[FEN_SECTIONS];
    int lengths[FEN_SECTIONS];
    int count = splitFen(fen, sections, lengths);
    if (count == 4) {
        sections[FEN_HALFMOVE] = "0", lengths[FEN_HALFMOVE] = 1;
        sections[FEN_FULLMOVE] = "1", lengths[FEN_FULLMOVE] = 1;
        count = 6;
    }
    if (count != 6) return "section == 6";

    clearSearchState(thread);
    PositionStack &stack = thread.stack;
    Position &pos = stack.slots[0];
    memset(static_cast<void *>(&pos), 0, sizeof(Position));
    pos.set[WHITE].colour = WHITE;
    stack.current = &pos;

    uint64_t key = 0;
    if (const char *failed = readPlacement(pos, sections[FEN_PLACEMENT], lengths[FEN_PLACEMENT], key)) return failed;
    for (int c = BLACK; c <= WHITE; c++)
        for (int t = PAWN; t <= KING; t++) pos.set[c].bb[0] |= pos.set[c].bb[t];
    pos.occupied = pos.set[WHITE].bb[0] | pos.set[BLACK].bb[0];
    for (int c = BLACK; c <= WHITE; c++)
        if (pos.set[c].bb[0] == (pos.set[c].bb[PAWN] | pos.set[c].bb[KING])) pos.king_pawns_only = 1;

    const bool white = sections[FEN_SIDE][0] == 'w';
    pos.us = &pos.set[white ? WHITE : BLACK];
    pos.them = &pos.set[white ? BLACK : WHITE];
    pos.mirror = white ? 0 : MIRROR_BLACK;
    if (white) key ^= polyglotRandom[ZOBRIST_WHITE_TO_MOVE];

    pos.castling = readCastling(pos, sections[FEN_CASTLING], lengths[FEN_CASTLING]);
    key ^= castleKeys(pos.castling);

    if (const char *failed = readEnPassant(pos, sections[FEN_EN_PASSANT], lengths[FEN_EN_PASSANT])) return failed;
    if (pos.en_passant) key ^= polyglotRandom[ZOBRIST_EN_PASSANT + fileOf(lowestSquare(pos.en_passant))];

    char halfmove[16] = {0};
    int rule50 = 0;
    if (lengths[FEN_HALFMOVE] >= int(sizeof halfmove)) return "sscanf(fen.halfmove, \"%i\", &rule50) == 1";
    memcpy(halfmove, sections[FEN_HALFMOVE], size_t(lengths[FEN_HALFMOVE]));
    if (sscanf(halfmove, "%i", &rule50) != 1) return "sscanf(fen.halfmove, \"%i\", &rule50) == 1";
    if (!(rule50 >= 0 && rule50 < 100)) return "rule50 >= 0 && rule50 < 100";
    pos.rule50 = rule50;
    pos.key = key;

    if (squareAttacked(pos, pos.them->king_square, pos.us->colour, pos.occupied))
        return "side not to move is not in check";
    if constexpr (GENERATION.network) refreshAccumulator(pos.accumulator, &pos.set[WHITE].bb[1], &pos.set[BLACK].bb[1]);
    return nullptr;
}

// ---------------------------------------------------------------------------
// Moves as text

void moveToText(Move move, char *text) {
    text[0] = FILES[fileOf(moveFrom(move))];
    text[1] = RANKS[rankOf(moveFrom(move))];
    text[2] = FILES[fileOf(moveTo(move))];
    text[3] = RANKS[rankOf(moveTo(move))];
    text[4] = movePromotion(move) ? PROMOTION_LETTERS[movePromotion(move)] : '\0';
    text[5] = '\0';
}

void writeMove(Move move) {
    char text[6];
    moveToText(move, text);
    writeOut("%s", text);
}

// Reads one move token into from, to and promotion; nullptr or the failed check.
static const char *parseMoveText(const char *token, int &from, int &to, int &promotion) {
    const size_t length = strlen(token);
    if (!(length >= 4)) return "strlen(pch) >= 4";
    const int file_from = fileIndex(token[0]), rank_from = rankIndex(token[1]);
    const int file_to = fileIndex(token[2]), rank_to = rankIndex(token[3]);
    if (!(file_from != -1 && rank_from != -1)) return "file_from != -1 && rank_from != -1";
    if (!(file_to != -1 && rank_to != -1)) return "file_to != -1 && rank_to != -1";
    from = rank_from * 8 + file_from;
    to = rank_to * 8 + file_to;
    promotion = 0;
    if (length == 5) {
        const char *p = strchr(PROMOTION_LETTERS, token[4]);
        promotion = (token[4] && p) ? int(p - PROMOTION_LETTERS) : -1;
        if (!(promotion >= KNIGHT && promotion <= QUEEN)) return "promotion >= KNIGHT && promotion <= QUEEN";
    }
    return nullptr;
}

Move findLegalMove(PositionStack &stack, const char *text) {
    int from, to, promotion;
    if (parseMoveText(text, from, to, promotion)) return 0;
    Position &pos = *stack.current;
    computeAttackInfo(pos);
    generateMoves(stack, pos);
    for (int i = 0; i < pos.moves.generated; i++) {
        const Move m = pos.moves.list[i];
        if (moveFrom(m) == from && moveTo(m) == to && movePromotion(m) == promotion) return m;
    }
    return 0;
}

const char *playMoves(SearchThread &thread, const char *moves) {
    PositionStack &stack = thread.stack;
    char token[64];
    const char *p = moves;
    for (;;) {
        while (*p == ' ') p++;
        if (!*p) return nullptr;
        const char *start = p;
        while (*p && *p != ' ') p++;
        const size_t length = size_t(p - start);
        if (length >= sizeof token) return "strlen(pch) <= 5";
        memcpy(token, start, length);
        token[length] = '\0';

        int from, to, promotion;
        if (const char *failed = parseMoveText(token, from, to, promotion)) return failed;
        if (!(stack.current->occupied & bit(from))) return "moved";
        if (slotIndex(stack, stack.current) >= MAX_GAME_SLOT) return "room on the position stack";
        const Move move = findLegalMove(stack, token);
        if (!move) return "legal move";
        makeMove(stack, move & ~(MOVE_ORDER_BITS & ~(MOVE_CAPTURE_MASK | MOVE_PROMOTION_MASK)));
    }
}

// ---------------------------------------------------------------------------
// FEN writer and display

void writeFen(const Position &pos, char *buffer) {
    static constexpr char LETTERS[12] = {'p', 'P', 'n', 'N', 'b', 'B', 'r', 'R', 'q', 'Q', 'k', 'K'};
    char *out = buffer;
    for (int rank = 7; rank >= 0; rank--) {
        int empty = 0;
        for (int file = 0; file < 8; file++) {
            const Bitboard b = bit(rank * 8 + file);
            if (!(pos.occupied & b)) {
                empty++;
                continue;
            }
            if (empty) out += sprintf(out, "%i", empty), empty = 0;
            for (int i = 0; i < 12; i++)
                if (pos.set[i & 1].bb[1 + i / 2] & b) *out++ = LETTERS[i];
        }
        if (empty) out += sprintf(out, "%i", empty);
        if (rank) *out++ = '/';
    }
    *out++ = ' ';
    *out++ = pos.us->colour == WHITE ? 'w' : 'b';
    *out++ = ' ';
    const char *castling_start = out;
    if ((pos.castling & WHITE_KING_SIDE) == WHITE_KING_SIDE) *out++ = 'K';
    if ((pos.castling & WHITE_QUEEN_SIDE) == WHITE_QUEEN_SIDE) *out++ = 'Q';
    if ((pos.castling & BLACK_KING_SIDE) == BLACK_KING_SIDE) *out++ = 'k';
    if ((pos.castling & BLACK_QUEEN_SIDE) == BLACK_QUEEN_SIDE) *out++ = 'q';
    if (out == castling_start) *out++ = '-';
    *out++ = ' ';
    if (pos.en_passant) {
        const int square = lowestSquare(pos.en_passant);
        *out++ = FILES[fileOf(square)];
        *out++ = RANKS[rankOf(square)];
    } else {
        *out++ = '-';
    }
    int earlier = 0;
    for (const Position *p = pos.previous; p; p = p->previous) earlier++;
    sprintf(out, " %i %i", pos.rule50, 1 + earlier / 2);
}

void writeScore(int score) {
    if (!isMateScore(score))
        writeOut("score cp %i ", score);
    else if (score > 0)
        writeOut("score mate %i ", (30001 - score) / 2);
    else
        writeOut("score mate %i ", -((score + 30001) / 2));
}

// The classic display lists the moves played since the FEN: move-pair
// numbers, each move padded to 10 characters, six moves a line.
static void writeGameMoves(const PositionStack &stack) {
    const int played = slotIndex(stack, stack.current);
    if (played == 0) return;
    writeOut("after moves:\n");
    for (int i = 0; i < played; i++) {
        if (i % 2 == 0) writeOut("%4i. ", i / 2 + 1);
        char text[6];
        moveToText(stack.slots[i].move_played, text);
        writeOut("%-10s", text);
        if (i % 6 == 5) writeOut("\n");
    }
    if (played % 6 != 0) writeOut("\n");
    writeOut("\n");
}

void displayPosition(PositionStack &stack) {
    static constexpr char WHITE_LETTERS[] = ".PNBRQK", BLACK_LETTERS[] = ".pnbrqk";
    static constexpr int SHADE = 0xB0, VERTICAL = 0xB3, CORNER = 0xC0, HORIZONTAL = 0xC4;
    Position &pos = *stack.current;
    computeAttackInfo(pos);
    const char *marker = inCheck(pos) ? " (check !)" : "";
    writeOut("\n");
    if constexpr (GENERATION.classic_front_end) writeGameMoves(stack);
    for (int rank = 7; rank >= 0; rank--) {
        writeOut(" %i %c", rank + 1, VERTICAL);
        for (int file = 0; file < 8; file++) {
            const int square = rank * 8 + file;
            const int pad = (file + rank) % 2 ? SHADE : ' ';
            int letter = pad;
            for (int t = PAWN; t <= KING; t++) {
                if (pos.set[WHITE].bb[t] & bit(square)) letter = WHITE_LETTERS[t];
                if (pos.set[BLACK].bb[t] & bit(square)) letter = BLACK_LETTERS[t];
            }
            writeOut("%c%c%c", pad, letter, pad);
        }
        if ((rank == 7 && pos.us->colour == BLACK) || (rank == 0 && pos.us->colour == WHITE)) writeOut(" *%s", marker);
        if (rank) writeOut("\n");
    }
    writeOut("\n");
    writeOut("   %c", CORNER);
    for (int i = 0; i < 24; i++) writeOut("%c", HORIZONTAL);
    writeOut(GENERATION.classic_front_end ? "\n     A  B  C  D  E  F  G  H\n" : "\n     A  B  C  D  E  F  G  H\n\n");
    writeOut("key = 0x%08x%08x\n", unsigned(pos.key >> 32), unsigned(pos.key & 0xFFFFFFFF));
    char fen[128];
    writeFen(pos, fen);
    writeOut("fen = %s\n", fen);
    // The classic `debug` prints the evaluation itself, after the display.
    if constexpr (!GENERATION.classic_front_end) {
        writeScore(evaluateNetwork(pos.accumulator, pos.us->colour == WHITE ? 0 : 1));
        writeOut("\n");
    }
}
