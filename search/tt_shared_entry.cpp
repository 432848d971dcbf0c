// Store, probe and fill measure of the lock-free SharedEntry table (search/tt.h).
#include <atomic>

#include "search/tt.h"

static_assert(!GENERATION.full_key_table, "this generation's row asks for the full-key entry");

static inline uint64_t loadWord(uint64_t &word) {
    return std::atomic_ref<uint64_t>(word).load(std::memory_order_relaxed);
}
static inline void storeWord(uint64_t &word, uint64_t value) {
    std::atomic_ref<uint64_t>(word).store(value, std::memory_order_relaxed);
}

void tt_store(uint64_t key, int pieces, int depth, int alpha, int beta, Move move, int score) {
    if (score < -TT_SCORE_LIMIT || score > TT_SCORE_LIMIT) return;
    TTEntry *bucket = ttBucket(key);
    TTEntry *victim = nullptr;
    uint64_t data[4];
    for (int i = 0; i < 4; i++) {
        data[i] = loadWord(bucket[i].data);
        if ((loadWord(bucket[i].check) ^ data[i]) == key) {
            victim = &bucket[i];
            break;
        }
    }
    if (!victim) {
        for (int i = 0; i < 4 && !victim; i++)
            if (data[i] == 0 || ttPieces(data[i]) > tt.root_pieces) victim = &bucket[i];
    }
    if (!victim) {
        int shallowest = 0;
        for (int i = 1; i < 4; i++)
            if (ttDepth(data[i]) < ttDepth(data[shallowest])) shallowest = i;
        victim = &bucket[shallowest];
    }
    const int bound = score <= alpha ? BOUND_UPPER : score < beta ? BOUND_EXACT : BOUND_LOWER;
    const uint64_t packed = ttPack(move, score, depth, bound, pieces);
    storeWord(victim->data, packed);
    storeWord(victim->check, key ^ packed);
}

bool tt_probe(uint64_t key, int pieces, TTHit &hit) {
    TTEntry *bucket = ttBucket(key);
    for (int i = 0; i < 4; i++) {
        const uint64_t data = loadWord(bucket[i].data);
        if ((loadWord(bucket[i].check) ^ data) != key) continue;
        if (pieces >= 0 && ttPieces(data) != pieces) continue;
        hit.move = ttMove(data);
        hit.score = ttScore(data);
        hit.depth = ttDepth(data);
        hit.bound = ttBound(data);
        return true;
    }
    return false;
}

int tt_hashfull() {
    int used = 0;
    for (int i = 0; i < 1000 && uint64_t(i) < tt.entry_count; i++)
        if (loadWord(tt.entries[i].check) != 0) used++;
    return used;
}
