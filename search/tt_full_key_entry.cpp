// Store, probe and fill measure of the FullKeyEntry table (search/tt.h): the
// whole key is kept and compared, and the table counts the entries it fills.
// Used by single-threaded searches only, so entries are plain memory.
#include "io/output.h"
#include "search/tt.h"

static_assert(GENERATION.full_key_table, "this generation's row asks for the shared entry");

static inline int entryPieces(const FullKeyEntry &e) { return e.bound_pieces >> 2; }

void tt_store(uint64_t key, int pieces, int depth, int alpha, int beta, Move move, int score) {
    if (score < -TT_SCORE_LIMIT || score > TT_SCORE_LIMIT) {
        writeOut("info string Overflow error for eval : %d\n", score);
        return;
    }
    FullKeyEntry *bucket = ttBucket(key);
    FullKeyEntry *victim = nullptr;
    // The entry of this key; else the first empty one; else one whose piece
    // count the game can no longer reach; else the shallowest.
    for (int i = 0; i < 4 && !victim; i++)
        if (bucket[i].bound_pieces != 0 && bucket[i].key == key) victim = &bucket[i];
    for (int i = 0; i < 4 && !victim; i++) {
        if (bucket[i].bound_pieces == 0) {
            victim = &bucket[i];
            tt.used++;
        }
    }
    for (int i = 0; i < 4 && !victim; i++)
        if (entryPieces(bucket[i]) > tt.root_pieces) victim = &bucket[i];
    if (!victim) {
        victim = &bucket[0];
        for (int i = 1; i < 4; i++)
            if (bucket[i].depth < victim->depth) victim = &bucket[i];
    }
    const int bound = score <= alpha ? BOUND_UPPER : score < beta ? BOUND_EXACT : BOUND_LOWER;
    victim->key = key;
    victim->bound_pieces = uint8_t(bound | (pieces & 63) << 2);
    victim->depth = uint8_t(depth);
    victim->score = int16_t(score);
    victim->move = move;
}

bool tt_probe(uint64_t key, int pieces, TTHit &hit) {
    const FullKeyEntry *bucket = ttBucket(key);
    for (int i = 0; i < 4; i++) {
        const FullKeyEntry &e = bucket[i];
        if (e.bound_pieces == 0 || e.key != key) continue;
        if (pieces >= 0 && entryPieces(e) != pieces) continue;
        hit.move = e.move;
        hit.score = e.score;
        hit.depth = e.depth;
        hit.bound = e.bound_pieces & 3;
        return true;
    }
    return false;
}

int tt_hashfull() { return tt.entry_count ? int(tt.used * 1000 / tt.entry_count) : 0; }
