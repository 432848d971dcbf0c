// Board vocabulary shared by every module: squares, bitboards, colours, piece
// types, the packed 32-bit Move, and the Position record that is copied forward
// one slot per move (copy-make) inside a fixed PositionStack.
//
// Numbering is load-bearing: network feature rows, Zobrist entries, move
// ordering and transposition entries all index by these values.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>

#include "network/accumulator.h"

using Bitboard = uint64_t;
using Move = uint32_t;

// a1 = 0, b1 = 1, ..., h8 = 63.
inline constexpr int fileOf(int square) { return square & 7; }
inline constexpr int rankOf(int square) { return square >> 3; }
inline constexpr Bitboard bit(int square) { return Bitboard(1) << square; }

// Everything indexed by colour has black first.
enum Colour : int32_t { BLACK = 0, WHITE = 1 };

enum PieceType : int32_t { NO_PIECE = 0, PAWN = 1, KNIGHT = 2, BISHOP = 3, ROOK = 4, QUEEN = 5, KING = 6 };
// Material by piece type: move ordering and static exchange (search/ordering.h)
// and the in-place board's running material sums.
inline constexpr int piece_values[8] = {0, 100, 300, 300, 500, 900, 0, 0};

inline int lowestSquare(Bitboard b) { return std::countr_zero(b); }
// The POPCNT instruction where the build has it; otherwise a branch-free
// bit-parallel sum, several times faster than the library routine that
// std::popcount calls without the instruction.
#ifdef __POPCNT__
inline int popCount(Bitboard b) { return std::popcount(b); }
#else
inline int popCount(Bitboard b) {
    b = b - ((b >> 1) & 0x5555555555555555ULL);
    b = (b & 0x3333333333333333ULL) + ((b >> 2) & 0x3333333333333333ULL);
    b = (b + (b >> 4)) & 0x0F0F0F0F0F0F0F0FULL;
    return int((b * 0x0101010101010101ULL) >> 56);
}
#endif
inline Bitboard clearLowest(Bitboard b) { return b & (b - 1); }
inline bool moreThanOne(Bitboard b) { return (b & (b - 1)) != 0; }

// Move layout (bit 0 = least significant):
//
//   31..29 28  27  26..24  23  22..20  19  18  17  16  15  14..12  11..6  5..0
//   -----  --  --  ------  --  ------  --  --  --  --  --  ------  -----  ----
//     0   hash  0   promo   0  capture dis dir ret adv  0  7-type   from    to
//
// Comparing (move & 0x1FFF0000) ranks hash mark, promotion, capture and flags;
// bits 12-14 hold 7 - moving type so that a cheaper mover compares higher.
inline constexpr int MOVE_FROM_SHIFT = 6;
inline constexpr int MOVE_PIECE_SHIFT = 12;
inline constexpr int MOVE_CAPTURE_SHIFT = 20;
inline constexpr int MOVE_PROMOTION_SHIFT = 24;

inline constexpr Move FLAG_PAWN_ADVANCE = 1u << 16;
inline constexpr Move FLAG_SAFE_RETREAT = 1u << 17;
inline constexpr Move FLAG_DIRECT_CHECK = 1u << 18;
inline constexpr Move FLAG_DISCOVERED_CHECK = 1u << 19;
inline constexpr Move FLAG_CHECK = FLAG_DIRECT_CHECK | FLAG_DISCOVERED_CHECK;
inline constexpr Move FLAG_HASH_MOVE = 1u << 28;
inline constexpr Move MOVE_ORDER_BITS = 0x1FFF0000;  // bits 16..28
inline constexpr Move MOVE_TACTICAL_BITS = 0x0FFF0000;  // bits 16..27: flags, capture, promotion
inline constexpr Move MOVE_CAPTURE_MASK = 7u << MOVE_CAPTURE_SHIFT;
inline constexpr Move MOVE_PROMOTION_MASK = 7u << MOVE_PROMOTION_SHIFT;

inline constexpr Move makeMoveCode(int from, int to, int type, int captured = 0, int promotion = 0) {
    return Move(to) | Move(from) << MOVE_FROM_SHIFT | Move(7 - type) << MOVE_PIECE_SHIFT |
           Move(captured) << MOVE_CAPTURE_SHIFT | Move(promotion) << MOVE_PROMOTION_SHIFT;
}
inline constexpr int moveTo(Move m) { return int(m & 63); }
inline constexpr int moveFrom(Move m) { return int((m >> MOVE_FROM_SHIFT) & 63); }
inline constexpr int movePiece(Move m) { return 7 - int((m >> MOVE_PIECE_SHIFT) & 7); }
inline constexpr int moveCaptured(Move m) { return int((m >> MOVE_CAPTURE_SHIFT) & 7); }
inline constexpr int movePromotion(Move m) { return int((m >> MOVE_PROMOTION_SHIFT) & 7); }
inline constexpr bool moveIsQuiet(Move m) { return (m & MOVE_TACTICAL_BITS) == 0; }
// The squares and promotion of a move without its ordering flags: what the
// move's text names.
inline constexpr Move moveIdentity(Move m) { return m & (0xFFFu | MOVE_PROMOTION_MASK); }

static_assert(makeMoveCode(12, 28, PAWN) == (28u | 12u << 6 | 6u << 12));
static_assert(moveCaptured(makeMoveCode(0, 1, KNIGHT, ROOK)) == ROOK);
static_assert(movePromotion(makeMoveCode(52, 60, PAWN, 0, QUEEN)) == QUEEN);
static_assert(movePiece(makeMoveCode(4, 6, KING)) == KING);

// The pieces of one colour.  bb[0] is the union of bb[PAWN..KING].
struct ColourSet {
    Bitboard bb[7];
    int32_t king_square;
    int32_t colour;
};
static_assert(sizeof(ColourSet) == 64);

// Attack and check data of one colour, rebuilt from scratch before moves are
// generated in a position.
struct AttackInfo {
    Bitboard attacks;
    Bitboard pawn_attacks, knight_attacks, bishop_attacks, rook_attacks, queen_attacks, king_attacks;
    Bitboard check_squares;
    Bitboard pawn_check_squares, knight_check_squares, bishop_check_squares, rook_check_squares,
        queen_check_squares, king_check_squares;
    Bitboard checkers;
    Bitboard pinned;
    Bitboard discoverers;
    Bitboard evasions;
};
static_assert(sizeof(AttackInfo) == 18 * 8);

inline constexpr int MAX_MOVES = 512;

struct MoveList {
    Move list[MAX_MOVES];
    int32_t generated;
};

// One position of the game or of a search line.  The fields up to and including
// `accumulator` form the leading part that makeMove copies into the next slot;
// everything after it is set afresh (or left stale until moves are generated).
struct alignas(64) Position {
    ColourSet set[2];
    uint64_t key;
    Bitboard castling;
    Accumulator accumulator;
    Position *previous;
    ColourSet *us;
    ColourSet *them;
    AttackInfo attack_info[2];
    Bitboard occupied;
    Bitboard en_passant;
    Bitboard slider_attacks[64];
    int32_t rule50;
    int32_t king_pawns_only;
    Move move_played;
    int32_t mirror;
    MoveList moves;
    // Slots exactly 4096 bytes apart make every copy into the next slot alias
    // its source in the processor's store-to-load check; one more cache line
    // breaks that.
    char padding[64];
};
static_assert(sizeof(Position) % 4096 != 0);
inline constexpr size_t POSITION_COPIED_BYTES = offsetof(Position, previous);
static_assert(offsetof(Position, accumulator) % 32 == 0, "accumulator rows must be vector aligned");

// Side-relative rank flip: XOR-ing it into a Move mirrors both squares' ranks.
inline constexpr int32_t MIRROR_BLACK = 0xE38;

inline constexpr int STACK_SIZE = 1024;

struct PositionStack {
    Position slots[STACK_SIZE];
    Position *current;
};

inline int slotIndex(const PositionStack &stack, const Position *pos) { return int(pos - stack.slots); }
inline const AttackInfo &ourInfo(const Position &pos) { return pos.attack_info[pos.us->colour]; }
inline bool inCheck(const Position &pos) { return ourInfo(pos).checkers != 0; }
