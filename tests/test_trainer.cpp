// The network trainer's core (tools/trainer_core.h): the text form and the
// record loaders, the features, the analytic gradient against finite differences, the networks it writes as
// the engine reads them, the game split and reproducible training.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "network/network.h"
#include "tools/record.h"
#include "tools/trainer_core.h"
#include "tests/trainer_test_data.h"

using namespace trainer;
using namespace trainer_test;

namespace {

// --------------------------------------------------------------- records --

bool sameRecord(const PackedRecord &a, const PackedRecord &b) { return memcmp(&a, &b, sizeof a) == 0; }

// The FEN's first `fields` fields.
std::string firstFields(const char *fen, int fields) {
    std::string text(fen);
    size_t end = 0;
    for (int i = 0; i < fields && end != std::string::npos; ++i) end = text.find(' ', end + (i > 0));
    return text.substr(0, end);
}

// "<FEN>;<score>" lines are the shared FEN reader's records with the score,
// whether the FEN has all six fields or stops after the side to move.
TEST(TrainerRecords, TextLinesAreTheSharedFenReadersRecords) {
    for (const char *fen : FENS) {
        PackedRecord full;
        ASSERT_TRUE(fenToRecord(fen, full)) << fen;
        full.score = -1235;
        for (int fields = 6; fields >= 2; --fields) {
            // A missing field reads as in "- - 0 1".
            PackedRecord expected = full;
            if (fields < 6) expected.ply = (full.flags & RECORD_WHITE_TO_MOVE) ? 0 : 1;
            if (fields < 5) expected.rule50 = 0;
            if (fields < 4) expected.en_passant = RECORD_NO_EN_PASSANT;
            if (fields < 3) expected.flags &= RECORD_WHITE_TO_MOVE;
            const std::string line = firstFields(fen, fields) + ";-1234.6\n";
            PackedRecord r;
            ASSERT_TRUE(recordFromText(line.c_str(), r)) << line;
            EXPECT_TRUE(sameRecord(r, expected)) << line;
        }
    }
    PackedRecord r;
    ASSERT_TRUE(recordFromText("4k3/8/8/8/8/8/8/4K2R w;99999", r));
    EXPECT_EQ(r.score, 32767);
    ASSERT_TRUE(recordFromText("4k3/8/8/8/8/8/8/4K2R b  K -;-1e9", r));
    EXPECT_EQ(r.score, -32767);
    EXPECT_EQ(r.flags, RECORD_CASTLE_WK);
    EXPECT_EQ(r.result, 0);

    for (const char *line :
         {"4k3/8/8/8/8/8/8/4K2R w K - 0 1", "4k3/8/8/8/8/8/8/4K2R;5", "4k3/8/8/8/8/8/8/4K2R w - - 0 1;",
          "4k3/8/8/8/8/8/8/4K2R w - - 0 1;x", "4k3/8/8/8/8/8/8/4K2X w - - 0 1;5", "4k3/8/8/8/8/8/8/4K2R x - - 0 1;5",
          "4k3/8/8/8/8/8/8/8/4K2R w - - 0 1;5", "4k3/8/8/8/8/8/8/4K4 w - - 0 1;5", "4k3/8/8/8/8/8/8/4Q2R w - - 0 1;5",
          "4kk2/8/8/8/8/8/8/4K2R w - - 0 1;5", "4k3/8/8/8/8/8/8/4K2R w - e9 0 1;5",
          "pppppppp/pppppppp/pppppppp/pppppppp/PPPPPPPP/8/8/4K2k w - - 0 1;0"})
        EXPECT_FALSE(recordFromText(line, r)) << line;
}

class TrainerFiles : public ::testing::Test {
protected:
    std::string dir;
    void SetUp() override {
        char name[] = "/tmp/vexar-trainer-XXXXXX";
        ASSERT_NE(mkdtemp(name), nullptr);
        dir = name;
    }
    void TearDown() override { std::filesystem::remove_all(dir); }
};

// A text file with FENs of every length loads in full, the unreadable lines
// counted, the last share of its positions held out.
TEST_F(TrainerFiles, TextFilesLoadWithShortFens) {
    const std::string path = dir + "/old.txt";
    FILE *f = fopen(path.c_str(), "w");
    ASSERT_NE(f, nullptr);
    for (int fields = 6; fields >= 2; --fields)
        for (const char *fen : FENS) fprintf(f, "%s;%d\n", firstFields(fen, fields).c_str(), 10 * fields);
    fprintf(f, "not a position;3\n");
    fclose(f);
    DataSets sets;
    ASSERT_TRUE(loadText(path.c_str(), 0.2, sets));
    EXPECT_FALSE(loadText((dir + "/absent.txt").c_str(), 0.2, sets));
    EXPECT_EQ(sets.unreadable, 1);
    ASSERT_EQ(sets.train.size(), 40u);
    ASSERT_EQ(sets.valid.size(), 10u);
    for (const PackedRecord &r : sets.train) EXPECT_GE(r.score, 30);
    for (const PackedRecord &r : sets.valid) EXPECT_EQ(r.score, 20);
}

// The record loader keeps only what the shared check accepts, so that the
// features and the target never see a piece code, piece count or result out
// of range.
TEST_F(TrainerFiles, RecordLoaderSkipsRecordsThatAreNoPosition) {
    PackedRecord good;
    ASSERT_TRUE(recordFromText("4k3/8/8/8/8/8/8/4K2R w K - 0 1;12", good));
    std::vector<PackedRecord> broken, sound;
    auto variant = [&](std::vector<PackedRecord> &into, auto change) {
        PackedRecord r = good;
        change(r);
        into.push_back(r);
    };
    variant(broken, [](PackedRecord &r) { r.pieces[0] = 0x07; });                               // type 7
    variant(broken, [](PackedRecord &r) { r.pieces[0] = uint8_t((r.pieces[0] & 0xF0) | 8); });  // colour bit, type 0
    variant(broken, [](PackedRecord &r) { r.pieces[1] |= 0x10; });  // a fourth code for three pieces
    variant(broken, [](PackedRecord &r) { r.result = 2; });
    variant(broken, [](PackedRecord &r) { r.result = -3; });
    variant(broken, [](PackedRecord &r) { r.occupied = ~uint64_t(0); });                         // 64 pieces
    variant(broken, [](PackedRecord &r) { r.pieces[0] = uint8_t((r.pieces[0] & 0xF0) | 13); });  // no white king
    variant(broken, [](PackedRecord &r) { r.flags |= 0x40; });                                   // unknown flag
    variant(broken, [](PackedRecord &r) { r.en_passant = 65; });
    variant(sound, [](PackedRecord &r) { r.en_passant = 20; });
    variant(sound, [](PackedRecord &r) { r.result = -1; });
    variant(sound, [](PackedRecord &r) { r.score = -32768; });

    const std::string path = dir + "/mixed.bin";
    FILE *f = fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    for (size_t k = 0; k < std::max(broken.size(), sound.size()); ++k) {
        if (k < broken.size()) fwrite(&broken[k], sizeof(PackedRecord), 1, f);
        if (k < sound.size()) fwrite(&sound[k], sizeof(PackedRecord), 1, f);
    }
    fclose(f);
    DataSets sets;
    ASSERT_TRUE(loadRecords(path.c_str(), 0, sets));
    EXPECT_EQ(sets.unreadable, long(broken.size()));
    ASSERT_EQ(sets.train.size(), sound.size());
    for (size_t k = 0; k < sound.size(); ++k) EXPECT_TRUE(sameRecord(sets.train[k], sound[k])) << k;
    EXPECT_TRUE(sets.valid.empty());
}

// A position mirrored left to right gives the features of the record with
// the files mirrored, in both perspectives.
TEST(TrainerRecords, MirroredFeaturesAreThoseOfTheMirroredBoard) {
    for (const char *fen : FENS) {
        const Board b = boardOf(fen);
        Board m = b;
        for (int s = 0; s < 64; ++s) m.code[s ^ 7] = b.code[s];
        Features direct, viaMirror;
        extractFeatures(recordOf(b, 0, 0), true, direct);
        extractFeatures(recordOf(m, 0, 0), false, viaMirror);
        ASSERT_EQ(direct.count, viaMirror.count);
        for (int side = 0; side < 2; ++side) {
            std::vector<int> a(direct.rows[side], direct.rows[side] + direct.count);
            std::vector<int> c(viaMirror.rows[side], viaMirror.rows[side] + viaMirror.count);
            std::sort(a.begin(), a.end()), std::sort(c.begin(), c.end());
            EXPECT_EQ(a, c) << fen;
        }
    }
}

// ------------------------------------------------------ gradient check --

// Where each block of the network starts in its values (the layout of
// network.nn, which Params shares).
constexpr int FW = 0, FB = 98304, H1W = 98432, H1B = 106624, H2W = 106656, H2B = 107680, OW = 107712, OB = 107744;

// The trainer's loss over a batch, computed independently in double
// precision, with value `index` of the network moved by `delta`.
double referenceLoss(const Params &net, const std::vector<PackedRecord> &batch, const std::vector<uint8_t> &flips,
                     const Loss &loss, int index, double delta) {
    std::vector<double> p(values(net), values(net) + PARAM_COUNT);
    if (index >= 0) p[index] += delta;
    double total = 0.0;
    for (size_t n = 0; n < batch.size(); ++n) {
        Features f;
        extractFeatures(batch[n], flips[n] != 0, f);
        double x[256], y[32], z[32];
        for (int side = 0; side < 2; ++side)
            for (int h = 0; h < 128; ++h) {
                double a = p[FB + h];
                for (int k = 0; k < f.count; ++k) a += p[FW + 128 * f.rows[side][k] + h];
                x[128 * side + h] = std::max(a, 0.0);
            }
        for (int o = 0; o < 32; ++o) {
            double s = p[H1B + o];
            for (int i = 0; i < 256; ++i) s += p[H1W + 256 * o + i] * x[i];
            y[o] = std::max(s, 0.0);
        }
        for (int o = 0; o < 32; ++o) {
            double s = p[H2B + o];
            for (int i = 0; i < 32; ++i) s += p[H2W + 32 * o + i] * y[i];
            z[o] = std::max(s, 0.0);
        }
        double out = p[OB];
        for (int i = 0; i < 32; ++i) out += p[OW + i] * z[i];
        const double score = std::clamp(double(batch[n].score), -double(loss.clip), double(loss.clip));
        const double t =
            (1.0 - loss.blend) / (1.0 + std::exp(-score / loss.scale)) + loss.blend * 0.5 * (batch[n].result + 1);
        const double q = 1.0 / (1.0 + std::exp(-100.0 * out / loss.scale));
        total += (q - t) * (q - t);
    }
    return total / double(batch.size());
}

TEST(TrainerGradient, MatchesCentralDifferencesInEveryLayer) {
    auto net = std::make_unique<Params>();
    Random rng{11};
    initialise(*net, rng);
    for (float &v : net->output_weights) v *= 3.0f;  // outputs of some pawns, away from the sigmoid's middle
    std::vector<PackedRecord> batch;
    std::vector<uint8_t> flips;
    for (int i = 0; i < 6; ++i) {
        batch.push_back(recordOf(boardOf(FENS[i + 2]), int16_t(-600 + 250 * i), int8_t(i % 3 - 1)));
        flips.push_back(uint8_t(i % 2));
    }
    Trainer t;
    setUp(t, *net);
    t.threads = 2;
    t.loss.blend = 0.4f;
    t.loss.clip = 700.0f;  // clips the last two scores
    std::vector<uint32_t> order(batch.size());
    for (size_t i = 0; i < order.size(); ++i) order[i] = uint32_t(i);
    const double loss = batchGradient(t, batch, order.data(), flips.data(), batch.size());
    EXPECT_NEAR(loss, referenceLoss(*net, batch, flips, t.loss, -1, 0.0), 1e-6 * loss);
    const float *analytic = values(t.grads[0]);

    // Feature rows the batch uses, so that their gradients are not all zero.
    std::vector<int> usedRows;
    for (size_t n = 0; n < batch.size(); ++n) {
        Features f;
        extractFeatures(batch[n], flips[n] != 0, f);
        for (int side = 0; side < 2; ++side) usedRows.insert(usedRows.end(), f.rows[side], f.rows[side] + f.count);
    }
    struct Block {
        const char *name;
        int start, size;
    } blocks[] = {{"feature weights", FW, 98304}, {"feature biases", FB, 128},    {"hidden1 weights", H1W, 8192},
                  {"hidden1 biases", H1B, 32},    {"hidden2 weights", H2W, 1024}, {"hidden2 biases", H2B, 32},
                  {"output weights", OW, 32},     {"output bias", OB, 1}};
    double largest = 0.0;
    for (int k = 0; k < NETWORK_VALUES; ++k) largest = std::max(largest, double(std::fabs(analytic[k])));
    ASSERT_GT(largest, 0.0);
    for (const Block &b : blocks) {
        int checked = 0, nonzero = 0;
        const int samples = std::min(b.size, 24);
        for (int s = 0; s < samples; ++s) {
            int index = b.start + int(rng.next() % uint64_t(b.size));
            if (b.start == FW) index = 128 * usedRows[rng.next() % usedRows.size()] + int(rng.next() % 128);
            if (b.size <= 32) index = b.start + s;
            const double h1 = 1e-4, h2 = 2.5e-5;
            const double d1 = (referenceLoss(*net, batch, flips, t.loss, index, h1) -
                               referenceLoss(*net, batch, flips, t.loss, index, -h1)) /
                              (2 * h1);
            const double d2 = (referenceLoss(*net, batch, flips, t.loss, index, h2) -
                               referenceLoss(*net, batch, flips, t.loss, index, -h2)) /
                              (2 * h2);
            if (std::fabs(d1 - d2) > 1e-4 * std::fabs(d2) + 1e-9 * largest) continue;  // a ReLU kink in reach
            ++checked;
            nonzero += d2 != 0.0;
            EXPECT_NEAR(analytic[index], d2, 1e-3 * std::fabs(d2) + 1e-6 * largest)
                << b.name << " value " << index - b.start;
        }
        EXPECT_GE(checked, samples * 3 / 4) << b.name;
        EXPECT_GE(nonzero, std::min(samples, 4)) << b.name;
    }
}

// ------------------------------------------- written network in the engine --

class TrainerEngine : public TrainerFiles {
protected:
    void TearDown() override {
        TrainerFiles::TearDown();
        memset(&network, 0, sizeof network);
        prepareNetwork(network, network_columns);
    }
};

int engineEvaluation(const Board &b) {
    Bitboard white[6] = {}, black[6] = {};
    for (int s = 0; s < 64; ++s) {
        if (b.code[s] == 0) continue;
        Bitboard *sets = (b.code[s] & 8) ? white : black;
        sets[(b.code[s] & 7) - 1] |= Bitboard(1) << s;
    }
    Accumulator acc;
    refreshAccumulator(acc, white, black);
    return evaluateNetwork(acc, b.white_to_move ? 0 : 1);
}

int trainerEvaluation(const Params &net, const PackedRecord &r) {
    Features f;
    Work w;
    extractFeatures(r, false, f);
    return int(forward(net, f, w) * 100.0f);
}

TEST_F(TrainerEngine, LoadedNetworkGivesTheTrainersEvaluations) {
    auto net = std::make_unique<Params>();
    Random rng{3};
    initialise(*net, rng);
    for (float &v : net->output_weights) v *= 4.0f;  // scores of a few hundred centipawns
    const std::string text = dir + "/network.txt", binary = dir + "/network.nn";
    ASSERT_TRUE(writeNetwork(*net, text.c_str()));
    EXPECT_FALSE(std::filesystem::exists(text + ".tmp"));
    testing::internal::CaptureStdout();  // the engine reports the conversion
    loadNetworkFrom(binary.c_str(), text.c_str());
    testing::internal::GetCapturedStdout();
    // The text form keeps every float exactly and in the engine's places.
    EXPECT_EQ(memcmp(&network, net.get(), NETWORK_BYTES), 0);
    auto back = std::make_unique<Params>();
    ASSERT_TRUE(readNetwork(*back, text.c_str()));
    EXPECT_EQ(memcmp(back.get(), net.get(), sizeof(Params)), 0);

    // The FENs through the text reader, and random boards through records.
    int compared = 0, equal = 0, nonzero = 0;
    auto compare = [&](const Board &b, const PackedRecord &r, const std::string &what) {
        const int engine = engineEvaluation(b), mine = trainerEvaluation(*net, r);
        EXPECT_NEAR(engine, mine, 1) << what;
        ++compared, equal += engine == mine, nonzero += engine != 0;
    };
    for (const char *fen : FENS) {
        PackedRecord r;
        ASSERT_TRUE(recordFromText((std::string(fen) + ";0").c_str(), r));
        compare(boardOf(fen), r, fen);
    }
    for (int i = 0; i < 300; ++i) {
        const Board b = randomBoard(rng, 30);
        compare(b, recordOf(b, 0, 0), "random board " + std::to_string(i));
    }
    // Only float rounding may differ: nearly all scores are the same.
    EXPECT_GE(equal, compared * 9 / 10);
    EXPECT_GE(nonzero, compared * 9 / 10);
}

// ---------------------------------------------------------- the game split --

TEST_F(TrainerEngine, RecordFilesAreSplitByWholeGames) {
    // Game g has 1 + g % 4 records; its number is kept in the ply field.
    Random rng{8};
    auto writeGames = [&](const std::string &path, int firstGame, int games, bool flagFirst) {
        FILE *f = fopen(path.c_str(), "wb");
        for (int g = firstGame; g < firstGame + games; ++g)
            for (int n = 0; n <= g % 4; ++n) {
                PackedRecord r =
                    recordOf(randomBoard(rng, 20), int16_t(n), 0, n == 0 && flagFirst ? RECORD_FIRST_OF_GAME : 0);
                r.ply = uint16_t(g);
                fwrite(&r, 1, 32, f);
                if (g == 13 && n == 1) {  // a record that is no position
                    r.pieces[0] = 0x0F;
                    fwrite(&r, 1, 32, f);
                }
            }
        fwrite("abc", 1, 3, f);  // an incomplete last record
        fclose(f);
    };
    writeGames(dir + "/a.bin", 0, 22, true);
    writeGames(dir + "/b.bin", 22, 1, false);  // a file without flags is one game
    DataSets sets;
    ASSERT_TRUE(loadRecords((dir + "/a.bin").c_str(), 5, sets));
    ASSERT_TRUE(loadRecords((dir + "/b.bin").c_str(), 5, sets));
    EXPECT_FALSE(loadRecords((dir + "/absent.bin").c_str(), 5, sets));
    EXPECT_EQ(sets.games, 23u);
    EXPECT_EQ(sets.validGames, 4u);  // games 4, 9, 14, 19
    EXPECT_EQ(sets.unreadable, 1);
    int perGame[23] = {};
    for (const PackedRecord &r : sets.train) {
        EXPECT_NE(r.ply % 5, 4);
        ++perGame[r.ply];
    }
    for (const PackedRecord &r : sets.valid) {
        EXPECT_EQ(r.ply % 5, 4);
        ++perGame[r.ply];
    }
    for (int g = 0; g < 23; ++g) EXPECT_EQ(perGame[g], 1 + g % 4) << "game " << g;
}

// -------------------------------------------------------------- training --

struct Trained {
    std::unique_ptr<Params> net;
    std::vector<double> losses;
};

Trained train(const std::vector<PackedRecord> &data, uint64_t seed, int threads) {
    Trained r{std::make_unique<Params>(), {}};
    Trainer t;
    setUp(t, *r.net);
    t.threads = threads;
    t.batch = 200;
    t.decay = 0.01f;
    t.loss.blend = 0.25f;
    t.rng.state = seed;
    initialise(*r.net, t.rng);
    std::vector<uint32_t> order;
    for (int epoch = 0; epoch < 3; ++epoch) r.losses.push_back(trainEpoch(t, data, order, 2e-3f));
    return r;
}

TEST(TrainerTraining, SameSeedAndDataGiveTheSameNetworkWhateverTheThreads) {
    const std::vector<PackedRecord> data = materialData(21, 1500), valid = materialData(22, 300);
    const Trained a = train(data, 7, 2), b = train(data, 7, 2), c = train(data, 7, 1), d = train(data, 8, 2);
    EXPECT_EQ(memcmp(a.net.get(), b.net.get(), sizeof(Params)), 0);
    EXPECT_EQ(memcmp(a.net.get(), c.net.get(), sizeof(Params)), 0);
    EXPECT_EQ(a.losses, c.losses);
    EXPECT_NE(memcmp(a.net.get(), d.net.get(), sizeof(Params)), 0);

    // It learns: the loss falls and the held-out scores follow the labels.
    EXPECT_LT(a.losses.back(), a.losses.front());
    Loss loss;
    loss.blend = 0.25f;
    auto fresh = std::make_unique<Params>();
    Random rng{7};
    initialise(*fresh, rng);
    const Stats before = evaluate(*fresh, valid, loss, 2), after = evaluate(*a.net, valid, loss, 2);
    EXPECT_LT(after.loss, before.loss);
    EXPECT_GT(after.corr, 0.5);
    // The statistics do not depend on the thread count either.
    const Stats single = evaluate(*a.net, valid, loss, 1);
    EXPECT_EQ(single.loss, after.loss);
    EXPECT_EQ(single.corr, after.corr);
}

}  // namespace
