#include "search/tt.h"

#include <sys/mman.h>

#include <atomic>
#include <cstdlib>
#include <cstring>

#include "uci/output.h"

TranspositionTable tt;

static inline uint64_t loadWord(uint64_t &word) {
    return std::atomic_ref<uint64_t>(word).load(std::memory_order_relaxed);
}
static inline void storeWord(uint64_t &word, uint64_t value) {
    std::atomic_ref<uint64_t>(word).store(value, std::memory_order_relaxed);
}

void tt_release() {
    if (tt.entries) munmap(tt.entries, tt.entry_count * sizeof(TTEntry));
    tt.entries = nullptr;
    tt.entry_count = 0;
    tt.index_mask = 0;
    tt.megabytes = 0;
}

static bool validSize(int megabytes) {
    return megabytes >= 1 && megabytes <= TT_MAX_MB && (megabytes & (megabytes - 1)) == 0;
}

void tt_create(int megabytes) {
    tt_release();
    if (!validSize(megabytes)) {
        writeOut("info debug Creation of Transposition Table : invalid size (%i MB, reset to default)\n", megabytes);
        megabytes = TT_DEFAULT_MB;
    }
    for (;;) {
        const uint64_t count = uint64_t(megabytes) * 65536;
        // Anonymous mappings arrive zero-filled and page-aligned; large pages
        // keep the table's address translations few.
        void *block = mmap(nullptr, count * sizeof(TTEntry), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (block != MAP_FAILED) {
            madvise(block, count * sizeof(TTEntry), MADV_HUGEPAGE);
            tt.entries = static_cast<TTEntry *>(block);
            tt.entry_count = count;
            tt.index_mask = count - 4;
            tt.megabytes = megabytes;
            // Touch every page now rather than during the first search: a
            // prefetch of a page that is not yet mapped stalls on the walk.
            tt_clear();
            writeOut("info debug Creation of Transposition Table : success (%i MB)\n", megabytes);
            return;
        }
        writeOut("info debug Creation of Transposition Table : failure (%i MB)\n", megabytes);
        if (megabytes == 1) {
            writeOut("info string Vexar will now halt...\n");
            std::exit(1);
        }
        megabytes /= 2;
    }
}

void tt_clear() {
    if (tt.entries) memset(static_cast<void *>(tt.entries), 0, tt.entry_count * sizeof(TTEntry));
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
