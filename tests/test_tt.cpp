// Transposition table: entry layout, store and probe, the replacement rule,
// hashfull and the creation messages.
#include <gtest/gtest.h>

#include <string>

#include "search/tt.h"

namespace {

// Keys of one bucket: the index bits are the same, the high bits differ.
uint64_t sameBucket(int n) { return 0x5A5A000000000040ULL ^ uint64_t(n + 1) << 40; }

bool has(uint64_t key, int pieces = -1) {
    TTHit hit;
    return tt_probe(key, pieces, hit);
}

TTHit probe(uint64_t key, int pieces = -1) {
    TTHit hit{};
    EXPECT_TRUE(tt_probe(key, pieces, hit)) << std::hex << key;
    return hit;
}

class TranspositionTableTest : public testing::Test {
protected:
    void SetUp() override {
        tt_clear();
        saved_root_pieces = tt.root_pieces;
        tt.root_pieces = 32;
    }
    void TearDown() override {
        tt_clear();
        tt.root_pieces = saved_root_pieces;
    }
    int saved_root_pieces = 0;
};

TEST_F(TranspositionTableTest, EntryLayoutAndRoundTrip) {
    const uint64_t key = 0x0123456789ABCDEFULL;
    const Move move = 0x0ABCDEF | FLAG_HASH_MOVE;  // the hash mark is not stored
    tt_store(key, 20, 7, -100, 100, move, 55);
    const TTEntry &entry = *ttBucket(key);
    const uint64_t data = 0x0ABCDEFULL | uint64_t(55 + 30000) << 32 | 7ULL << 48 | 3ULL << 56 | 20ULL << 58;
    EXPECT_EQ(entry.data, data);
    EXPECT_EQ(entry.check, key ^ data);
    const TTHit hit = probe(key, 20);
    EXPECT_EQ(hit.move, 0x0ABCDEFu);
    EXPECT_EQ(hit.score, 55);
    EXPECT_EQ(hit.depth, 7);
    EXPECT_EQ(hit.bound, BOUND_EXACT);

    // A torn entry (words of two different writes) is a miss.
    const_cast<TTEntry &>(entry).data ^= 1ULL << 33;
    EXPECT_FALSE(has(key));
}

TEST_F(TranspositionTableTest, BoundsScoresDepthAndPieces) {
    struct Case {
        int alpha, beta, score, bound;
    } cases[] = {
        {-50, 50, -80, BOUND_UPPER}, {-50, 50, -50, BOUND_UPPER}, {-50, 50, -49, BOUND_EXACT},
        {-50, 50, 49, BOUND_EXACT},  {-50, 50, 50, BOUND_LOWER},  {-50, 50, 900, BOUND_LOWER},
        {10, 11, 10, BOUND_UPPER},   {10, 11, 11, BOUND_LOWER},
    };
    for (const Case &c : cases) {
        tt_store(0x1111, 10, 3, c.alpha, c.beta, 0, c.score);
        EXPECT_EQ(probe(0x1111).bound, c.bound) << c.alpha << " " << c.beta << " " << c.score;
        EXPECT_EQ(probe(0x1111).score, c.score);
    }

    // Only scores within -30000..30000 are stored, and read back exactly.
    for (int score : {30001, -30001, 60000, -60000}) {
        tt_store(0x2222 + uint64_t(score) * 64, 10, 3, -60000, 60000, 0, score);
        EXPECT_FALSE(has(0x2222 + uint64_t(score) * 64)) << score;
    }
    for (int score : {30000, -30000, 0}) {
        tt_store(0x3333, 10, 3, -60000, 60000, 0, score);
        EXPECT_EQ(probe(0x3333).score, score);
    }

    // Only the low six bits of the depth are kept.
    tt_store(0x4444, 10, 70, 0, 1, 0, 0);
    EXPECT_EQ(probe(0x4444).depth, 6);
    tt_store(0x4444, 10, 63, 0, 1, 0, 0);
    EXPECT_EQ(probe(0x4444).depth, 63);

    // The pieces field must match for the search; a key-only probe ignores it.
    tt_store(0x5555, 12, 4, 0, 1, 0x123, 0);
    EXPECT_TRUE(has(0x5555, 12));
    EXPECT_FALSE(has(0x5555, 11));
    EXPECT_FALSE(has(0x5555, 13));
    EXPECT_EQ(probe(0x5555, -1).move, 0x123u);
    EXPECT_FALSE(has(0x5556));
}

TEST_F(TranspositionTableTest, ReplacementRule) {
    tt.root_pieces = 10;
    TTEntry *bucket = ttBucket(sameBucket(0));
    for (int i = 1; i < 8; i++) ASSERT_EQ(ttBucket(sameBucket(i)), bucket);
    auto slotOf = [&](uint64_t key) {
        for (int i = 0; i < 4; i++)
            if ((bucket[i].check ^ bucket[i].data) == key && bucket[i].data) return i;
        return -1;
    };

    // Empty entries are filled in order.
    const int depths[4] = {5, 3, 7, 3};
    for (int i = 0; i < 4; i++) tt_store(sameBucket(i), 10, depths[i], 0, 1, 0, 0);
    for (int i = 0; i < 4; i++) EXPECT_EQ(slotOf(sameBucket(i)), i);

    // The same key is overwritten in place even by a shallower result, whatever its pieces.
    tt_store(sameBucket(2), 9, 1, 0, 1, 0, 0);
    EXPECT_EQ(slotOf(sameBucket(2)), 2);
    EXPECT_EQ(probe(sameBucket(2)).depth, 1);
    for (int i : {0, 1, 3}) EXPECT_EQ(slotOf(sameBucket(i)), i);
    tt_store(sameBucket(2), 10, 7, 0, 1, 0, 0);

    // Full bucket, every entry current: the shallowest goes, the earliest of equals.
    tt_store(sameBucket(4), 10, 6, 0, 1, 0, 0);
    EXPECT_EQ(slotOf(sameBucket(4)), 1);
    EXPECT_FALSE(has(sameBucket(1)));
    tt_store(sameBucket(5), 10, 9, 0, 1, 0, 0);  // now 5, 6, 7, 3: entry 3
    EXPECT_EQ(slotOf(sameBucket(5)), 3);
    tt_store(sameBucket(6), 10, 9, 0, 1, 0, 0);  // 5, 6, 7, 9: entry 0
    EXPECT_EQ(slotOf(sameBucket(6)), 0);

    // An entry with more pieces than the root is taken before any shallower one.
    tt_store(sameBucket(7), 12, 40, 0, 1, 0, 0);  // deep, but stored with 12 pieces
    const int stale = slotOf(sameBucket(7));
    EXPECT_EQ(stale, 1);                          // depths were 9, 6, 7, 9
    tt_store(sameBucket(8), 10, 50, 0, 1, 0, 0);  // entry 2 is shallower, but entry 1 is stale
    EXPECT_EQ(slotOf(sameBucket(8)), 1);

    // An empty entry is taken first, before a later stale one.
    tt_store(sameBucket(9), 12, 40, 0, 1, 0, 0);
    const int stale9 = slotOf(sameBucket(9));
    bucket[0].check = bucket[0].data = 0;
    ASSERT_LT(0, stale9);
    tt_store(sameBucket(10), 10, 50, 0, 1, 0, 0);
    EXPECT_EQ(slotOf(sameBucket(10)), 0);
    EXPECT_EQ(slotOf(sameBucket(9)), stale9);
    // ... and a stale entry before a later empty one.
    bucket[3].check = bucket[3].data = 0;
    tt_store(sameBucket(11), 10, 50, 0, 1, 0, 0);
    EXPECT_EQ(slotOf(sameBucket(11)), stale9);
}

TEST_F(TranspositionTableTest, ClearAndHashfull) {
    for (uint64_t i = 0; i < 100; i++) tt_store(0xABC00000000ULL | i, 10, 3, 0, 1, 0, 0);
    EXPECT_EQ(tt_hashfull(), 100);
    tt_clear();
    EXPECT_EQ(tt_hashfull(), 0);
    EXPECT_FALSE(has(0xABC00000000ULL | 7));
}

// Re-creates the table, so it runs last in this file and restores the test size.
TEST(TranspositionTableCreate, SizesAndMessages) {
    testing::internal::CaptureStdout();
    tt_create(100);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "info debug Creation of Transposition Table : invalid size (100 MB, reset to default)\n"
              "info debug Creation of Transposition Table : success (128 MB)\n");
    EXPECT_EQ(tt.entry_count, 8388608u);
    EXPECT_EQ(tt.index_mask, 0x7FFFFCu);

    for (int bad : {0, -4, 3, 262145}) {
        testing::internal::CaptureStdout();
        tt_create(bad);
        EXPECT_EQ(testing::internal::GetCapturedStdout(),
                  "info debug Creation of Transposition Table : invalid size (" + std::to_string(bad) +
                      " MB, reset to default)\n"
                      "info debug Creation of Transposition Table : success (128 MB)\n");
    }

    testing::internal::CaptureStdout();
    tt_create(1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "info debug Creation of Transposition Table : success (1 MB)\n");
    EXPECT_EQ(tt.entry_count, 65536u);
    EXPECT_EQ(tt.index_mask, 65532u);
    // Entries 0..999 decide hashfull; keys 0x7...00 + i land on entry i.
    const int saved = tt.root_pieces;
    tt.root_pieces = 32;
    for (uint64_t i = 0; i < 500; i++) tt_store(0x7000000000000000ULL | i, 10, 1, 0, 1, 0, 0);
    EXPECT_EQ(tt_hashfull(), 500);
    for (uint64_t i = 500; i < 1200; i++) tt_store(0x7000000000000000ULL | i, 10, 1, 0, 1, 0, 0);
    EXPECT_EQ(tt_hashfull(), 1000);
    // The last bucket does not wrap around the end of the table.
    EXPECT_EQ(ttBucket(~0ULL), tt.entries + 65532);
    tt.root_pieces = saved;

    testing::internal::CaptureStdout();
    tt_create(16);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "info debug Creation of Transposition Table : success (16 MB)\n");
    EXPECT_EQ(tt.entry_count, 16u * 65536);
    EXPECT_EQ(tt_hashfull(), 0);
}

}  // namespace
