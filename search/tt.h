// The transposition table: one process-wide hash table of search results.
//
// A bucket is four 16-byte entries (one cache line) at index key & index_mask.
// The number of pieces on the board is stored with each result; it verifies
// hits and, compared with the root's piece count, marks entries that can no
// longer occur in the game as the first to be replaced.  Two entry layouts
// exist, each with its store, probe and fill measure in a file of its own
// that the program's CMake call picks:
//
// SharedEntry (search/tt_shared_entry.cpp), shared by every search thread
// without locks.  `check` = key ^ data, so an entry torn by two writers fails
// the key test and reads as a miss.  Both words are read and written with
// relaxed atomic operations: the same plain 64-bit moves, but well-defined
// when threads race.
//   data, bit 0 = least significant:
//   63..58 pieces | 57..56 bound | 55..54 0 | 53..48 depth | 47..32 score+30000 | 31..28 0 | 27..0 move
//
// FullKeyEntry (search/tt_full_key_entry.cpp), for single-threaded searches:
//   bytes 0-7 key | 8 bound (bits 0-1) and pieces (bits 2-7), 0 = empty |
//   9 depth | 10-11 score | 12-15 move
// with a count of used entries kept by the table.
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "board/types.h"
#include "generations/generation.h"

struct SharedEntry {
    uint64_t check;
    uint64_t data;
};
struct FullKeyEntry {
    uint64_t key;
    uint8_t bound_pieces;
    uint8_t depth;
    int16_t score;
    Move move;
};
static_assert(sizeof(SharedEntry) == 16 && sizeof(FullKeyEntry) == 16);
static_assert(offsetof(FullKeyEntry, bound_pieces) == 8 && offsetof(FullKeyEntry, depth) == 9);
static_assert(offsetof(FullKeyEntry, score) == 10 && offsetof(FullKeyEntry, move) == 12);

using TTEntry = std::conditional_t<GENERATION.full_key_table, FullKeyEntry, SharedEntry>;

enum Bound : int32_t { BOUND_NONE = 0, BOUND_UPPER = 1, BOUND_LOWER = 2, BOUND_EXACT = 3 };

struct TranspositionTable {
    TTEntry *entries;
    uint64_t entry_count;
    uint64_t index_mask;
    int32_t root_pieces;
    int32_t megabytes;
    uint64_t used;  // entries filled since creation or clearing (FullKeyEntry tables)
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
// Stores a result (bound from the window); scores beyond +-TT_SCORE_LIMIT are
// not stored.
void tt_store(uint64_t key, int pieces, int depth, int alpha, int beta, Move move, int score);
// Finds the entry for the key; pieces < 0 compares the key alone.
bool tt_probe(uint64_t key, int pieces, TTHit &hit);
// Permille of the table in use.
int tt_hashfull();
