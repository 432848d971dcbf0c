// Generation 0.8's network: quantisation, the two file forms and their
// conversion, refusals that keep the network in use, the clipped forward pass
// against a scalar reference, and incremental accumulators against refreshes
// along random games.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "board/board.h"
#include "board/moves.h"
#include "io/output.h"
#include "network/kernels.h"
#include "network/network_king.h"

namespace {

// A scratch folder, removed with its files at the end of a test.
struct Folder {
    std::string path;
    Folder() {
        char name[] = "/tmp/vexar-king-XXXXXX";
        path = mkdtemp(name);
    }
    ~Folder() { std::system(("rm -rf " + path).c_str()); }
    std::string file(const char *name) const { return path + "/" + name; }
};

bool exists(const std::string &path) { return access(path.c_str(), F_OK) == 0; }

// Fills king_network with small random weights (already on the quantised grid).
void randomNetwork(uint32_t seed) {
    std::mt19937 rng(seed);
    std::uniform_int_distribution<int> q(-1000, 1000);
    std::uniform_real_distribution<float> u(-0.3f, 0.3f);
    for (auto &row : king_network.feature_weights)
        for (float &w : row) w = dequantiseWeight(int16_t(q(rng)));
    float *tail = king_network.feature_biases;
    for (int k = 0; k < KING_TAIL_VALUES; k++) tail[k] = u(rng);
    prepareKingNetwork(king_network, king_network_columns);
}

TEST(KingNetwork, QuantisationEdges) {
    int16_t stored = 0;
    EXPECT_TRUE(quantiseWeight(3.2f, stored));
    EXPECT_EQ(stored, 32000);
    EXPECT_TRUE(quantiseWeight(-3.2f, stored));
    EXPECT_EQ(stored, -32000);
    stored = 77;
    EXPECT_FALSE(quantiseWeight(3.21f, stored));
    EXPECT_FALSE(quantiseWeight(-3.21f, stored));
    EXPECT_FALSE(quantiseWeight(NAN, stored));
    EXPECT_EQ(stored, 77);  // nothing stored on a refusal
    ASSERT_TRUE(quantiseWeight(0.00019f, stored));
    EXPECT_EQ(stored, 1);
    EXPECT_EQ(dequantiseWeight(stored), 0.0001f);
    ASSERT_TRUE(quantiseWeight(-0.00019f, stored));
    EXPECT_EQ(stored, -1);
    ASSERT_TRUE(quantiseWeight(0.00009f, stored));
    EXPECT_EQ(stored, 0);  // truncated towards zero
}

TEST(KingNetwork, RowNumbering) {
    // White's view: own king e1, white knight g1 -> K=4, t=2, c=0.
    EXPECT_EQ(kingFeatureRow(0, 4, WHITE, KNIGHT, 6), 4 * 640 + 2 * 64 + 6);
    // A black pawn seen by White: c = 1.
    EXPECT_EQ(kingFeatureRow(0, 4, BLACK, PAWN, 52), 4 * 640 + 1 * 64 + 52);
    // Black's view turns the board: own king e8 (60 ^ 63 = 3), own queen d8.
    EXPECT_EQ(kingFeatureRow(1, 60, BLACK, QUEEN, 59), 3 * 640 + 8 * 64 + (59 ^ 63));
    EXPECT_EQ(kingFeatureRow(1, 60, WHITE, QUEEN, 3), 3 * 640 + 9 * 64 + (3 ^ 63));
    EXPECT_EQ(kingFeatureRow(0, 63, BLACK, QUEEN, 63), KING_FEATURE_COUNT - 1);
}

// The text value at text line k (0-based) of the test network.
float textValue(size_t k) {
    if (k < KING_WEIGHT_VALUES) return float(int(k % 4001) - 2000) / 10000.0f;  // within +-0.2
    return float(int(k % 97) - 48) / 64.0f;                                     // exact in binary32
}

void writeText(const std::string &path, size_t count, size_t bad_line = SIZE_MAX) {
    FILE *f = fopen(path.c_str(), "w");
    ASSERT_NE(f, nullptr);
    for (size_t k = 0; k < count; k++) fprintf(f, k == bad_line ? "3.21\n" : "%.9g\n", double(textValue(k)));
    fclose(f);
}

TEST(KingNetwork, ConversionLayoutLoadAndRefusals) {
    setOutputEnabled(false);
    Folder folder;
    const std::string text = folder.file("network.txt"), binary = folder.file("network.nn");
    writeText(text, KING_TEXT_VALUES);
    char reason[REASON_SIZE] = "";
    ASSERT_EQ(convertKingNetwork(text.c_str(), binary.c_str(), reason), 0) << reason;
    struct stat info;
    ASSERT_EQ(stat(binary.c_str(), &info), 0);
    EXPECT_EQ(size_t(info.st_size), KING_FILE_BYTES);

    // Byte layout: int16 [f][h] from the neuron-major text, then the tail at
    // 0xA00000 in the order of the text.
    std::vector<unsigned char> bytes(KING_FILE_BYTES);
    FILE *f = fopen(binary.c_str(), "rb");
    ASSERT_EQ(fread(bytes.data(), 1, bytes.size(), f), bytes.size());
    fclose(f);
    for (size_t f_index : {size_t(0), size_t(1), size_t(12345), size_t(KING_FEATURE_COUNT - 1)}) {
        for (size_t h : {size_t(0), size_t(5), size_t(127)}) {
            int16_t stored;
            memcpy(&stored, bytes.data() + 2 * (f_index * ACCUMULATOR_SIZE + h), 2);
            int16_t expected;
            ASSERT_TRUE(quantiseWeight(textValue(h * KING_FEATURE_COUNT + f_index), expected));
            EXPECT_EQ(stored, expected) << "feature " << f_index << " neuron " << h;
        }
    }
    for (size_t k : {size_t(0), size_t(128), size_t(KING_TAIL_VALUES - 1)}) {
        float value;
        memcpy(&value, bytes.data() + 0xA00000 + 4 * k, 4);
        EXPECT_EQ(value, textValue(KING_WEIGHT_VALUES + k)) << "tail value " << k;
    }
    float hidden1_first;
    memcpy(&hidden1_first, bytes.data() + 0xA00200, 4);
    EXPECT_EQ(hidden1_first, textValue(KING_WEIGHT_VALUES + 128));  // the binary order is the text order

    // Loading widens the integers by x 0.0001.
    randomNetwork(1);
    ASSERT_EQ(loadKingNetwork(binary.c_str(), reason), 0) << reason;
    EXPECT_EQ(king_network.feature_weights[12345][5], dequantiseWeight(int16_t(std::trunc(textValue(5 * 40960 + 12345) * 10000.0f))));
    EXPECT_EQ(king_network.output_bias, textValue(KING_TEXT_VALUES - 1));

    // Refusals leave the network in use exactly as it was.
    const float kept = king_network.feature_weights[7][7], kept_bias = king_network.output_bias;
    const std::string short_file = folder.file("short.nn");
    f = fopen(short_file.c_str(), "wb");
    fwrite(bytes.data(), 1, KING_FILE_BYTES - 1, f);
    fclose(f);
    EXPECT_EQ(loadKingNetwork(short_file.c_str(), reason), -1);
    EXPECT_NE(std::string(reason).find("10523523 bytes"), std::string::npos) << reason;
    const std::string long_file = folder.file("long.nn");
    f = fopen(long_file.c_str(), "wb");
    fwrite(bytes.data(), 1, KING_FILE_BYTES, f);
    fputc(0, f);
    fclose(f);
    EXPECT_EQ(loadKingNetwork(long_file.c_str(), reason), -1);
    const std::string nan_file = folder.file("nan.nn");
    std::vector<unsigned char> poisoned = bytes;
    const float nan = NAN;
    memcpy(poisoned.data() + KING_FILE_BYTES - 4, &nan, 4);
    f = fopen(nan_file.c_str(), "wb");
    fwrite(poisoned.data(), 1, poisoned.size(), f);
    fclose(f);
    EXPECT_EQ(loadKingNetwork(nan_file.c_str(), reason), -1);
    EXPECT_EQ(king_network.feature_weights[7][7], kept);
    EXPECT_EQ(king_network.output_bias, kept_bias);

    // A text with a weight of 3.21, or one value short, converts to nothing.
    const std::string bad_text = folder.file("bad.txt"), out = folder.file("out.nn");
    writeText(bad_text, KING_TEXT_VALUES, 1000);
    EXPECT_EQ(convertKingNetwork(bad_text.c_str(), out.c_str(), reason), -1);
    EXPECT_NE(std::string(reason).find("line 1001"), std::string::npos) << reason;
    EXPECT_FALSE(exists(out));
    writeText(bad_text, KING_TEXT_VALUES - 1);
    EXPECT_EQ(convertKingNetwork(bad_text.c_str(), out.c_str(), reason), -1);
    EXPECT_FALSE(exists(out));

    // writeKingNetwork gives back the file it was loaded from.
    ASSERT_EQ(loadKingNetwork(binary.c_str(), reason), 0);
    const std::string again = folder.file("again.nn");
    ASSERT_EQ(writeKingNetwork(king_network, again.c_str(), reason), 0) << reason;
    std::vector<unsigned char> rewritten(KING_FILE_BYTES);
    f = fopen(again.c_str(), "rb");
    ASSERT_EQ(fread(rewritten.data(), 1, rewritten.size(), f), rewritten.size());
    fclose(f);
    EXPECT_TRUE(rewritten == bytes);
    setOutputEnabled(true);
}

// The forward pass in scalar code, summed in the order the kernel documents.
float clip(float v) { return std::max(std::min(v, 1.0f), 0.0f); }
float referenceDot(const float *w, const float *x, int n) {
    float lane[8] = {};
    for (int i = 0; i < n; i++) lane[i % 8] = std::fma(w[i], x[i], lane[i % 8]);
    const float t[4] = {lane[0] + lane[4], lane[1] + lane[5], lane[2] + lane[6], lane[3] + lane[7]};
    return (t[0] + t[2]) + (t[1] + t[3]);
}
float referenceForward(const KingNetwork &net, const float *us, const float *them) {
    float x[256], y[32], z[32];
    for (int j = 0; j < 128; j++) x[j] = clip(us[j]), x[128 + j] = clip(them[j]);
    for (int o = 0; o < 32; o++) y[o] = clip(referenceDot(net.hidden1_weights[o], x, 256) + net.hidden1_biases[o]);
    for (int o = 0; o < 32; o++) z[o] = clip(referenceDot(net.hidden2_weights[o], y, 32) + net.hidden2_biases[o]);
    return referenceDot(net.output_weights, z, 32) + net.output_bias;
}

TEST(KingNetwork, ClippedForwardMatchesScalarReference) {
    randomNetwork(2);
    std::mt19937 rng(5);
    std::uniform_real_distribution<float> u(-1.5f, 2.5f);  // beyond both clip edges
    for (int trial = 0; trial < 200; trial++) {
        alignas(32) float us[128], them[128];
        for (int j = 0; j < 128; j++) us[j] = u(rng), them[j] = u(rng);
        if (trial == 0) us[3] = -0.0f, them[9] = 1.0f;
        // The kernel skips the inputs the clip makes zero: a whole half of them,
        // then every input.
        if (trial == 1 || trial == 2)
            for (int j = 0; j < 128; j++) us[j] = -std::fabs(us[j]), them[j] = trial == 2 ? -0.0f : them[j];
        EXPECT_EQ(kernelForwardClipped(king_network, king_network_columns, us, them),
                  referenceForward(king_network, us, them))
            << trial;
    }
}

TEST(KingNetwork, IncrementalAccumulatorsMatchRefreshesAlongRandomGames) {
    randomNetwork(3);
    auto t = std::make_unique<SearchThread>();
    std::mt19937 rng(11);
    const char *starts[] = {START_FEN, "r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq - 0 1",
                            "r3k2r/Pppp1ppp/1b3nbN/nP6/BBP1P3/q4N2/Pp1P2PP/R2Q1RK1 w kq - 0 1",
                            "rnbqkbnr/ppp1p1pp/8/3pPp2/8/8/PPPP1PPP/RNBQKBNR w KQkq f6 0 3"};
    int king_moves = 0, quiet = 0;
    for (int game = 0; game < 24; game++) {
        ASSERT_EQ(readFen(*t, starts[game % 4]), nullptr);
        PositionStack &stack = t->stack;
        for (int ply = 0; ply < 120; ply++) {
            Position &pos = *stack.current;
            computeAttackInfo(pos);
            generateMoves(stack, pos);
            if (pos.moves.generated == 0) break;
            const Move m = pos.moves.list[rng() % pos.moves.generated];
            king_moves += movePiece(m) == KING;
            quiet += movePiece(m) != KING && !movePromotion(m);
            makeMove(stack, m);
            Accumulator fresh;
            refreshAccumulator(fresh, &stack.current->set[WHITE].bb[1], &stack.current->set[BLACK].bb[1]);
            for (int p = 0; p < 2; p++)
                for (int j = 0; j < ACCUMULATOR_SIZE; j++)
                    ASSERT_NEAR(stack.current->accumulator.half[p][j], fresh.half[p][j], 1e-4)
                        << "game " << game << " ply " << ply << " half " << p << " lane " << j;
            // The evaluation of both agrees to within a centipawn.
            const int perspective = stack.current->us->colour == WHITE ? 0 : 1;
            EXPECT_NEAR(evaluateNetwork(stack.current->accumulator, perspective), evaluateNetwork(fresh, perspective), 1);
        }
    }
    EXPECT_GT(king_moves, 50);
    EXPECT_GT(quiet, 1000);
}

}  // namespace
