// The trainer's generation-0.8 mode (tools/trainer_king.h): its features are
// the engine's rows, its gradient matches central differences of an
// independent double-precision loss, the network.nn it writes gives in
// vexar-0.8 the evaluations it computes, and training is reproducible
// whatever the thread count.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "board/board.h"
#include "io/output.h"
#include "network/network_king.h"
#include "tests/trainer_test_data.h"
#include "tools/trainer_king.h"

using namespace trainer;
using namespace trainer_test;

namespace {

// The loss of a batch in double precision with one value moved by `delta`:
// value index < KING_WEIGHT_VALUES is a king-row weight, then the factor's
// rows, the dense tail and the two optional factors (the KingParams layout).
double referenceLoss(const KingParams &net, const std::vector<PackedRecord> &batch, const std::vector<uint8_t> &flips,
                     const Loss &loss, long index, double delta) {
    const float *base = reinterpret_cast<const float *>(&net);  // the values in layout order
    auto value = [&](long k) { return double(base[k]) + (k == index ? delta : 0.0); };
    const long SHARED = long(KING_WEIGHT_VALUES), BIAS = SHARED + PIECE_SQUARES * 128;
    const long H1W = BIAS + 128, H1B = H1W + 32 * 256, H2W = H1B + 32, H2B = H2W + 32 * 32, OW = H2B + 32, OB = OW + 32;
    const long KP = OB + 1, OFF = KP + 640 * 128;
    auto clip = [](double v) { return std::min(std::max(v, 0.0), 1.0); };
    double total = 0.0;
    for (size_t n = 0; n < batch.size(); ++n) {
        KingFeatures f;
        extractKingFeatures(batch[n], flips[n] != 0, f);
        double x[256], y[32], z[32];
        for (int side = 0; side < 2; ++side)
            for (int h = 0; h < 128; ++h) {
                double a = value(BIAS + h);
                for (int k = 0; k < f.count; ++k) {
                    const long r = f.rows[side][k];
                    // The factor rows by hand: the king square, the kind and the square's offset from it.
                    const long king = r / 640, kind = (r / 64) % 10, s = r % 64;
                    const long offset = kind * 225 + ((s >> 3) - (king >> 3) + 7) * 15 + ((s & 7) - (king & 7) + 7);
                    a += value(128 * r + h) + value(SHARED + 128 * (r % PIECE_SQUARES) + h) +
                         value(KP + 128 * (king * 10 + kind) + h) + value(OFF + 128 * offset + h);
                }
                x[128 * side + h] = clip(a);
            }
        for (int o = 0; o < 32; ++o) {
            double s = value(H1B + o);
            for (int i = 0; i < 256; ++i) s += value(H1W + 256 * o + i) * x[i];
            y[o] = clip(s);
        }
        for (int o = 0; o < 32; ++o) {
            double s = value(H2B + o);
            for (int i = 0; i < 32; ++i) s += value(H2W + 32 * o + i) * y[i];
            z[o] = clip(s);
        }
        double out = value(OB);
        for (int i = 0; i < 32; ++i) out += value(OW + i) * z[i];
        const double score = std::clamp(double(batch[n].score), -double(loss.clip), double(loss.clip));
        const double t =
            (1.0 - loss.blend) / (1.0 + std::exp(-score / loss.scale)) + loss.blend * 0.5 * (batch[n].result + 1);
        const double q = 1.0 / (1.0 + std::exp(-100.0 * out / loss.scale));
        total += (q - t) * (q - t);
    }
    return total / double(batch.size());
}

TEST(KingTrainer, FeaturesAreTheEnginesRows) {
    // Kiwipete with White to move: the side to move's rows are White's.
    const PackedRecord r = recordOf(boardOf(FENS[2]), 0, 0);
    KingFeatures f;
    extractKingFeatures(r, false, f);
    EXPECT_EQ(f.count, 30);
    // The white knight on e5 (36) and the black pawn on h3 (23), white king e1, black king e8.
    const std::vector<int> own(f.rows[0], f.rows[0] + f.count), other(f.rows[1], f.rows[1] + f.count);
    EXPECT_NE(std::find(own.begin(), own.end(), kingFeatureRow(0, 4, WHITE, KNIGHT, 36)), own.end());
    EXPECT_NE(std::find(other.begin(), other.end(), kingFeatureRow(1, 60, WHITE, KNIGHT, 36)), other.end());
    EXPECT_NE(std::find(own.begin(), own.end(), kingFeatureRow(0, 4, BLACK, PAWN, 23)), own.end());
    // With Black to move the two lists change places.
    const PackedRecord b = recordOf(boardOf(FENS[3]), 0, 0);
    KingFeatures g;
    extractKingFeatures(b, false, g);
    EXPECT_EQ(std::vector<int>(g.rows[1], g.rows[1] + g.count), own);
}

TEST(KingTrainer, GradientMatchesCentralDifferences) {
    auto net = std::make_unique<KingParams>();
    Random rng{5};
    initialise(*net, rng);
    for (auto &row : net->king_weights)
        for (float &v : row) v = 0.0f;
    for (float &v : net->output_weights) v *= 3.0f;
    std::vector<PackedRecord> batch;
    std::vector<uint8_t> flips;
    for (int i = 0; i < 6; ++i) {
        batch.push_back(recordOf(boardOf(FENS[i + 2]), int16_t(-500 + 200 * i), int8_t(i % 3 - 1)));
        flips.push_back(uint8_t(i % 2));
    }
    // Some king-row weights away from zero, on rows the batch uses.
    std::vector<int> used;
    for (size_t n = 0; n < batch.size(); ++n) {
        KingFeatures f;
        extractKingFeatures(batch[n], flips[n] != 0, f);
        for (int side = 0; side < 2; ++side) used.insert(used.end(), f.rows[side], f.rows[side] + f.count);
    }
    for (int r : used)
        for (int h = 0; h < 128; ++h) {
            net->king_weights[r][h] = rng.uniform(0.03f);
            net->king_piece_weights[kingPieceRow(r)][h] = rng.uniform(0.02f);
            net->offset_weights[offsetRow(r)][h] = rng.uniform(0.02f);
        }
    KingTrainer t;
    t.factors = true;
    setUp(t, *net);
    t.threads = 2;
    t.loss.blend = 0.3f;
    std::vector<uint32_t> order(batch.size());
    for (size_t i = 0; i < order.size(); ++i) order[i] = uint32_t(i);
    const double loss = batchGradient(t, batch, order.data(), flips.data(), batch.size());
    EXPECT_NEAR(loss, referenceLoss(*net, batch, flips, t.loss, -1, 0.0), 1e-5 * loss);

    const KingParams &g = *t.grads[0].g;
    const long SHARED = long(KING_WEIGHT_VALUES), BIAS = SHARED + PIECE_SQUARES * 128;
    const long KP = SHARED + KING_DENSE_VALUES, OFF = KP + 640 * 128;
    auto analytic = [&](long k) -> double {
        if (k < SHARED) {
            const int r = int(k / 128);
            if (!t.grads[0].marked[r]) return 0.0;  // an untouched row has no gradient
        }
        return double(reinterpret_cast<const float *>(&g)[k]);  // the values in layout order
    };
    struct Block {
        const char *name;
        long start, size;
    } blocks[] = {{"king rows", 0, 0},           {"shared rows", SHARED, PIECE_SQUARES * 128}, {"biases", BIAS, 128},
                  {"hidden1", BIAS + 128, 8192}, {"output bias", BIAS + 128 + 8192 + 32 + 1024 + 32 + 32, 1},
                  {"king-piece rows", KP, 0},    {"offset rows", OFF, 0}};
    for (const Block &b : blocks) {
        int checked = 0, nonzero = 0;
        for (int s = 0; s < 24; ++s) {
            long index;
            const int row = used[rng.next() % used.size()];
            const long h = long(rng.next() % 128);
            if (b.start == 0)
                index = 128L * row + h;
            else if (b.start == KP)
                index = KP + 128L * kingPieceRow(row) + h;
            else if (b.start == OFF)
                index = OFF + 128L * offsetRow(row) + h;
            else if (b.start == SHARED)
                index = SHARED + 128L * (row % PIECE_SQUARES) + h;
            else
                index = b.start + long(rng.next() % uint64_t(b.size));
            const double h1 = 1e-4, h2 = 2.5e-5;
            const double d1 = (referenceLoss(*net, batch, flips, t.loss, index, h1) -
                               referenceLoss(*net, batch, flips, t.loss, index, -h1)) / (2 * h1);
            const double d2 = (referenceLoss(*net, batch, flips, t.loss, index, h2) -
                               referenceLoss(*net, batch, flips, t.loss, index, -h2)) / (2 * h2);
            if (std::fabs(d1 - d2) > 1e-3 * std::fabs(d2) + 1e-9) continue;  // a clip edge in reach
            ++checked;
            nonzero += std::fabs(d2) > 1e-9;
            EXPECT_NEAR(analytic(index), d2, 2e-3 * std::fabs(d2) + 1e-7) << b.name << " value " << index - b.start;
        }
        EXPECT_GE(checked, 12) << b.name;
        EXPECT_GE(nonzero, b.size == 1 ? 1 : 4) << b.name;
    }
}

struct Trained {
    std::unique_ptr<KingParams> net;
    std::vector<double> losses;
};

Trained trainKing(const std::vector<PackedRecord> &data, uint64_t seed, int threads, bool factors) {
    Trained r{std::make_unique<KingParams>(), {}};
    KingTrainer t;
    t.factors = factors;
    setUp(t, *r.net);
    t.threads = threads;
    t.batch = 200;
    t.loss.blend = 0.25f;
    t.rng.state = seed;
    initialise(*r.net, t.rng);
    std::vector<uint32_t> order;
    for (int epoch = 0; epoch < 3; ++epoch) r.losses.push_back(trainEpoch(t, data, order, 2e-3f));
    return r;
}

TEST(KingTrainer, ReproducibleLearnsAndTheEngineReadsWhatItWrites) {
    const std::vector<PackedRecord> data = materialData(31, 1500), valid = materialData(32, 300);
    // With the optional factors, so that the file folds them in too.
    const Trained a = trainKing(data, 7, 2, true), c = trainKing(data, 7, 1, true);
    const Trained plain = trainKing(data, 7, 2, false);
    EXPECT_EQ(memcmp(a.net.get(), c.net.get(), sizeof(KingParams)), 0);
    EXPECT_EQ(a.losses, c.losses);
    EXPECT_LT(a.losses.back(), a.losses.front());
    EXPECT_NE(a.losses, plain.losses);  // the factors take part
    for (const float v : plain.net->offset_weights[offsetRow(kingFeatureRow(0, 4, WHITE, PAWN, 12))])
        ASSERT_EQ(v, 0.0f);  // and stay zero when switched off
    Loss loss;
    loss.blend = 0.25f;
    EXPECT_GT(evaluate(*a.net, valid, loss, 2).corr, 0.5);

    // Written as network.nn and loaded by the engine: every position scores
    // what the trainer computes with the weights the file holds (read back
    // into the trainer), to within a centipawn of summation order, and close
    // to the trainer's own unquantised network.
    char folder[] = "/tmp/vexar-king-trainer-XXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    const std::string path = std::string(folder) + "/network.nn";
    ASSERT_TRUE(writeNetwork(*a.net, path.c_str()));
    auto back = std::make_unique<KingParams>();
    ASSERT_TRUE(readNetwork(*back, path.c_str()));  // also loads it into the engine
    auto thread = std::make_unique<SearchThread>();
    int compared = 0;
    for (const char *fen : FENS) {
        ASSERT_EQ(readFen(*thread, fen), nullptr) << fen;
        const Position &pos = *thread->stack.current;
        const int engine = evaluateNetwork(pos.accumulator, pos.us->colour == WHITE ? 0 : 1);
        KingFeatures f;
        KingWork w;
        const PackedRecord r = recordOf(boardOf(fen), 0, 0);
        extractKingFeatures(r, false, f);
        EXPECT_NEAR(engine, forward(*back, f, w) * 100.0f, 1.0) << fen;
        EXPECT_NEAR(engine, forward(*a.net, f, w) * 100.0f, 5.0) << fen;
        compared++;
    }
    EXPECT_EQ(compared, 10);
    unlink(path.c_str());
    rmdir(folder);
}

// The king-specific rows' learning-rate scale slows those rows alone: after
// one Adam step (whose first move is about lr x the gradient's sign), every
// king row weight moved F times as far as at the full rate, and every shared
// or dense value moved exactly as far.
TEST(KingTrainer, RowLearningRateScalesOnlyTheKingRows) {
    const std::vector<PackedRecord> data = materialData(33, 400);
    const float F = 0.25f;
    std::unique_ptr<KingParams> moved[2];
    std::unique_ptr<KingParams> start = std::make_unique<KingParams>();
    for (int run = 0; run < 2; ++run) {
        moved[run] = std::make_unique<KingParams>();
        KingTrainer t;
        setUp(t, *moved[run]);
        t.batch = 400;
        t.rng.state = 5;
        initialise(*moved[run], t.rng);
        if (run == 0) memcpy(start.get(), moved[0].get(), sizeof(KingParams));
        t.row_lr_scale = run == 0 ? 1.0f : F;
        std::vector<uint32_t> order;
        trainEpoch(t, data, order, 1e-3f);  // one batch: one step
    }
    const float *s = reinterpret_cast<const float *>(start.get());
    const float *full = reinterpret_cast<const float *>(moved[0].get());
    const float *slow = reinterpret_cast<const float *>(moved[1].get());
    const long rows = long(KING_WEIGHT_VALUES), all = rows + KING_DENSE_VALUES;
    long changed = 0;
    for (long i = 0; i < rows; ++i) {
        const float a = full[i] - s[i], b = slow[i] - s[i];
        if (a == 0.0f) {
            ASSERT_EQ(b, 0.0f) << "king value " << i;
            continue;
        }
        ++changed;
        ASSERT_NEAR(b / a, F, 1e-3) << "king value " << i;
    }
    EXPECT_GT(changed, 1000);
    for (long i = rows; i < all; ++i) ASSERT_EQ(full[i], slow[i]) << "dense value " << i - rows;
}

}  // namespace
