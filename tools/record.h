// The training record: one position in 32 bytes, with its score, the game's
// result and its ply.  A data file is records back to back with no header,
// so files concatenate and a file whose size is not a multiple of 32 ends in
// a torn record.  The data generator writes it, the labeller rewrites its
// score and the trainer reads it; all three use the functions below.
//
//   offset  type       field
//   0       uint64     occupied squares (bit n = square n, a1 = 0, h8 = 63)
//   8       uint8[16]  one 4-bit code per occupied square in ascending square
//                      order, low nibble first: (colour << 3) + type
//   24      int16      score in centipawns for the side to move
//   26      uint16     ply: half-moves since the game's start position
//   28      int8       game result for the side to move: +1, 0, -1
//   29      uint8      flags: bit 0 white to move, bits 1-4 castling K Q k q,
//                      bit 5 first record of its game
//   30      uint8      en-passant target square, 64 when none
//   31      uint8      rule-50 counter (at most 255)
//
// All multi-byte fields are little-endian, the byte order of the machines the
// engine runs on (checked below), so the struct is written as it lies in memory.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "board/types.h"

struct PackedRecord {
    uint64_t occupied;
    uint8_t pieces[16];
    int16_t score;
    uint16_t ply;
    int8_t result;
    uint8_t flags;
    uint8_t en_passant;
    uint8_t rule50;
};
static_assert(sizeof(PackedRecord) == 32);
static_assert(offsetof(PackedRecord, score) == 24 && offsetof(PackedRecord, ply) == 26);
static_assert(offsetof(PackedRecord, result) == 28 && offsetof(PackedRecord, rule50) == 31);
static_assert(std::endian::native == std::endian::little, "records are stored in memory order");

inline constexpr int RECORD_BYTES = 32;
inline constexpr uint8_t RECORD_WHITE_TO_MOVE = 1;
inline constexpr uint8_t RECORD_CASTLE_WK = 2, RECORD_CASTLE_WQ = 4, RECORD_CASTLE_BK = 8, RECORD_CASTLE_BQ = 16;
inline constexpr uint8_t RECORD_FIRST_OF_GAME = 32;
inline constexpr uint8_t RECORD_NO_EN_PASSANT = 64;

// King and rook home squares of each castling right, in flag order K Q k q.
inline constexpr int RECORD_CASTLE_KING[4] = {4, 4, 60, 60};
inline constexpr int RECORD_CASTLE_ROOK[4] = {7, 0, 63, 56};

inline int recordPieceCode(const PackedRecord &r, int index) {
    return (r.pieces[index >> 1] >> (4 * (index & 1))) & 15;
}

// The occupied squares and their codes, in ascending square order; returns
// the count.  Colour of a code: code >> 3 (WHITE = 1); type: code & 7.
inline int recordPieces(const PackedRecord &r, int squares[32], int codes[32]) {
    int n = 0;
    for (Bitboard b = r.occupied; b && n < 32; b = clearLowest(b), n++) {
        squares[n] = lowestSquare(b);
        codes[n] = recordPieceCode(r, n);
    }
    return n;
}

// Position -> record.  The position's castling field holds the king and rook
// squares of each right still held.
inline PackedRecord packPosition(const Position &pos, int score, int ply, int result, bool first_of_game) {
    PackedRecord r{};
    r.occupied = pos.occupied;
    int n = 0;
    for (Bitboard b = pos.occupied; b; b = clearLowest(b), n++) {
        const int square = lowestSquare(b);
        int code = 0;
        for (int colour = BLACK; colour <= WHITE; colour++)
            for (int type = PAWN; type <= KING; type++)
                if (pos.set[colour].bb[type] & bit(square)) code = (colour << 3) + type;
        r.pieces[n >> 1] |= uint8_t(code << (4 * (n & 1)));
    }
    r.score = int16_t(score < -32767 ? -32767 : score > 32767 ? 32767 : score);
    r.ply = uint16_t(ply < 0 ? 0 : ply > 65535 ? 65535 : ply);
    r.result = int8_t(result > 0 ? 1 : result < 0 ? -1 : 0);
    r.flags = pos.us->colour == WHITE ? RECORD_WHITE_TO_MOVE : 0;
    for (int i = 0; i < 4; i++) {
        const Bitboard squares = bit(RECORD_CASTLE_KING[i]) | bit(RECORD_CASTLE_ROOK[i]);
        if ((pos.castling & squares) == squares) r.flags |= uint8_t(RECORD_CASTLE_WK << i);
    }
    if (first_of_game) r.flags |= RECORD_FIRST_OF_GAME;
    r.en_passant = pos.en_passant ? uint8_t(lowestSquare(pos.en_passant)) : RECORD_NO_EN_PASSANT;
    r.rule50 = uint8_t(pos.rule50 < 0 ? 0 : pos.rule50 > 255 ? 255 : pos.rule50);
    return r;
}

// Structural check of a record read from a file: nullptr when sound, else
// what is wrong.  (Whether the position is legal is the FEN reader's job.)
inline const char *recordProblem(const PackedRecord &r) {
    const int count = popCount(r.occupied);
    if (count > 32) return "more than 32 occupied squares";
    int kings[2] = {0, 0};
    for (int i = 0; i < count; i++) {
        const int code = recordPieceCode(r, i);
        if ((code & 7) < PAWN || (code & 7) > KING) return "piece code out of range";
        if ((code & 7) == KING) kings[code >> 3]++;
    }
    for (int i = count; i < 32; i++)
        if (recordPieceCode(r, i)) return "unused piece nibble not zero";
    if (kings[0] != 1 || kings[1] != 1) return "not one king of each colour";
    if (r.result < -1 || r.result > 1) return "result out of range";
    if (r.flags & 0xC0) return "unknown flag bits";
    if (r.en_passant > 64) return "en-passant square out of range";
    return nullptr;
}

// Record -> FEN (castling letters, en passant, rule-50 counter, and the move
// number from the ply).  `fen` needs 100 bytes.
inline void recordToFen(const PackedRecord &r, char *fen) {
    static constexpr char LETTERS[2][8] = {{'?', 'p', 'n', 'b', 'r', 'q', 'k', '?'},
                                           {'?', 'P', 'N', 'B', 'R', 'Q', 'K', '?'}};
    char board[64] = {0};
    int index = 0;
    for (Bitboard b = r.occupied; b && index < 32; b = clearLowest(b), index++) {
        const int code = recordPieceCode(r, index);
        board[lowestSquare(b)] = LETTERS[code >> 3][code & 7];
    }
    char *out = fen;
    for (int rank = 7; rank >= 0; rank--) {
        int empty = 0;
        for (int file = 0; file < 8; file++) {
            const char c = board[rank * 8 + file];
            if (!c) {
                empty++;
                continue;
            }
            if (empty) *out++ = char('0' + empty), empty = 0;
            *out++ = c;
        }
        if (empty) *out++ = char('0' + empty);
        if (rank) *out++ = '/';
    }
    *out++ = ' ';
    *out++ = (r.flags & RECORD_WHITE_TO_MOVE) ? 'w' : 'b';
    *out++ = ' ';
    const char *castling = out;
    for (int i = 0; i < 4; i++)
        if (r.flags & (RECORD_CASTLE_WK << i)) *out++ = "KQkq"[i];
    if (out == castling) *out++ = '-';
    *out++ = ' ';
    if (r.en_passant < 64) {
        *out++ = char('a' + fileOf(r.en_passant));
        *out++ = char('1' + rankOf(r.en_passant));
    } else {
        *out++ = '-';
    }
    snprintf(out, 24, " %u %u", unsigned(r.rule50), unsigned(r.ply / 2 + 1));
}

// FEN -> record (score and result left 0, no first-of-game flag).  The ply
// comes from the move number and the side to move.  Returns false on text
// that is not a six- or four-field FEN with a sound placement; legality is
// not checked.
inline bool fenToRecord(const char *fen, PackedRecord &r) {
    r = PackedRecord{};
    int codes[64] = {0};
    const char *p = fen;
    while (*p == ' ') p++;
    int rank = 7, file = 0, count = 0;
    for (; *p && *p != ' '; p++) {
        const char c = *p;
        if (c == '/') {
            if (file != 8 || rank == 0) return false;
            rank--, file = 0;
        } else if (c >= '1' && c <= '8') {
            file += c - '0';
            if (file > 8) return false;
        } else {
            const char *letters = "pnbrqkPNBRQK";
            const char *found = strchr(letters, c);
            if (!found || file >= 8 || ++count > 32) return false;
            const int k = int(found - letters);
            codes[rank * 8 + file] = ((k >= 6 ? WHITE : BLACK) << 3) + (k % 6) + 1;
            file++;
        }
    }
    if (rank != 0 || file != 8) return false;
    char side = 0, castling[8] = {0}, en_passant[4] = {0};
    unsigned rule50 = 0, fullmove = 1;
    const int fields = sscanf(p, " %c %7s %3s %u %u", &side, castling, en_passant, &rule50, &fullmove);
    if (fields != 3 && fields != 5) return false;
    if (side != 'w' && side != 'b') return false;
    int n = 0;
    for (int square = 0; square < 64; square++) {
        if (!codes[square]) continue;
        r.occupied |= bit(square);
        r.pieces[n >> 1] |= uint8_t(codes[square] << (4 * (n & 1)));
        n++;
    }
    r.flags = side == 'w' ? RECORD_WHITE_TO_MOVE : 0;
    for (int i = 0; i < 4; i++)
        if (strchr(castling, "KQkq"[i])) r.flags |= uint8_t(RECORD_CASTLE_WK << i);
    r.en_passant = RECORD_NO_EN_PASSANT;
    if (en_passant[0] != '-') {
        if (en_passant[0] < 'a' || en_passant[0] > 'h' || en_passant[1] < '1' || en_passant[1] > '8' || en_passant[2])
            return false;
        r.en_passant = uint8_t((en_passant[1] - '1') * 8 + (en_passant[0] - 'a'));
    }
    r.rule50 = uint8_t(rule50 > 255 ? 255 : rule50);
    const unsigned ply = 2 * (fullmove > 0 ? fullmove - 1 : 0) + (side == 'b' ? 1 : 0);
    r.ply = uint16_t(ply > 65535 ? 65535 : ply);
    return true;
}
