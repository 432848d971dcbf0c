// The transposition table: one process-wide hash table of search results,
// shared by every search thread without locks.
//
// A bucket is four 16-byte entries (one cache line) at index key & index_mask.
// Each entry stores `check` = key ^ data, so an entry torn by two writers fails
// the key test and reads as a miss.  Both words are read and written with
// relaxed atomic operations: the same plain 64-bit moves, but well-defined
// when threads race.  The number of pieces on the board is stored with each
// result; it verifies hits and, compared with the root's piece count, marks
// entries that can no longer occur in the game as the first to be replaced.
//
// data layout (bit 0 = least significant):
//   63..58 pieces | 57..56 bound | 55..54 0 | 53..48 depth | 47..32 score+30000 | 31..28 0 | 27..0 move
#pragma once

#include <cstdint>

#include "board/types.h"
#include "generations/generation.h"

struct TTEntry {
    uint64_t check;
    uint64_t data;
};
static_assert(sizeof(TTEntry) == 16);

enum Bound : int32_t { BOUND_NONE = 0, BOUND_UPPER = 1, BOUND_LOWER = 2, BOUND_EXACT = 3 };

struct TranspositionTable {
    TTEntry *entries;
    uint64_t entry_count;
    uint64_t index_mask;
    int32_t root_pieces;
    int32_t megabytes;
};

extern TranspositionTable tt;

inline constexpr int TT_DEFAULT_MB = 128;
inline constexpr int TT_MAX_MB = GENERATION.max_hash_mb;
inline constexpr int TT_SCORE_LIMIT = 30000;

struct TTHit {
    Move move;
    int32_t score;
    int32_t depth;
    int32_t bound;
};

inline constexpr uint64_t ttPack(Move move, int score, int depth, int bound, int pieces) {
    return uint64_t(move & 0x0FFFFFFF) | uint64_t(uint16_t(score + TT_SCORE_LIMIT)) << 32 |
           uint64_t(depth & 63) << 48 | uint64_t(bound & 3) << 56 | uint64_t(pieces & 63) << 58;
}
inline constexpr Move ttMove(uint64_t data) { return Move(data & 0x0FFFFFFF); }
inline constexpr int ttScore(uint64_t data) { return int((data >> 32) & 0xFFFF) - TT_SCORE_LIMIT; }
inline constexpr int ttDepth(uint64_t data) { return int((data >> 48) & 63); }
inline constexpr int ttBound(uint64_t data) { return int((data >> 56) & 3); }
inline constexpr int ttPieces(uint64_t data) { return int(data >> 58); }
static_assert(ttDepth(ttPack(0, 0, 70, BOUND_EXACT, 32)) == 6, "depths are kept modulo 64");
static_assert(ttScore(ttPack(0, -30000, 1, BOUND_UPPER, 2)) == -30000);
static_assert(ttPieces(ttPack(0x0FFFFFFF, 30000, 63, BOUND_EXACT, 32)) == 32);

inline TTEntry *ttBucket(uint64_t key) { return tt.entries + (key & tt.index_mask); }

// Frees any previous table and allocates a zeroed one of the given size in MB,
// printing the result line; invalid sizes fall back to 128 MB.
void tt_create(int megabytes);
void tt_release();
void tt_clear();
void tt_store(uint64_t key, int pieces, int depth, int alpha, int beta, Move move, int score);
// Finds the entry for the key; pieces < 0 compares the key alone.
bool tt_probe(uint64_t key, int pieces, TTHit &hit);
int tt_hashfull();
