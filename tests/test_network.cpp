// Network files, accumulators and the forward pass.  This file is built into
// both kernel programs; the lane width under test comes from kernelName().
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/resource.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "generations/generation.h"
#include "network/kernels.h"
#include "network/network.h"

namespace {

// Kings' squares for updateAccumulator (generation 0.9's rows ignore them).
constexpr int KINGS[2] = {60, 4};

// Value indices where the text and binary forms start each block.
constexpr int H1W = 98432, H1B = 106624, H2W = 106656, H2B = 107680;

// Every change to the process-wide Network is followed by prepareNetwork, as
// loading does, so that the kernels' copy of the first hidden layer matches.
void clearNetwork() {
    memset(&network, 0, sizeof network);
    prepareNetwork(network, network_columns);
}

uint32_t bitsOf(float f) { return std::bit_cast<uint32_t>(f); }

// The process-wide Network, and the columns prepared from it, are the
// embedded copy: what the engine plays with after refusing its files.
::testing::AssertionResult usesEmbeddedNetwork() {
    if (memcmp(&network, embedded_network, NETWORK_BYTES) != 0)
        return ::testing::AssertionFailure() << "the Network is not the embedded one";
    for (int i = 0; i < 2 * ACCUMULATOR_SIZE; ++i)
        for (int o = 0; o < HIDDEN1_SIZE; ++o)
            if (bitsOf(network_columns.hidden1_weights[i][o]) != bitsOf(network.hidden1_weights[o][i]))
                return ::testing::AssertionFailure() << "columns not prepared at " << i << " " << o;
    return ::testing::AssertionSuccess();
}

// Scalar forward pass with the summation order of a W-lane kernel set.
template <int W>
float reduceLanes(float *lanes) {
    for (int width = W; width > 1; width /= 2)
        for (int l = 0; l < width / 2; ++l) lanes[l] = lanes[l] + lanes[l + width / 2];
    return lanes[0];
}

template <int W>
float dot32(const float *w, const float *x) {
    float p[8][W];  // W-lane products of inputs W*k .. W*k + W-1
    for (int k = 0; k < 32 / W; ++k)
        for (int l = 0; l < W; ++l) p[k][l] = w[W * k + l] * x[W * k + l];
    float lanes[W];
    for (int l = 0; l < W; ++l) {
        if constexpr (W == 8)
            lanes[l] = (p[2][l] + p[3][l]) + (p[0][l] + p[1][l]);
        else
            lanes[l] = ((p[0][l] + p[1][l]) + (p[2][l] + p[3][l])) + ((p[4][l] + p[5][l]) + (p[6][l] + p[7][l]));
    }
    return reduceLanes<W>(lanes);
}

float relu(float v) { return v > 0.0f ? v : 0.0f; }

template <int W>
float referenceForward(const Network &net, const float *us, const float *them) {
    float x[256], y[32], z[32];
    for (int j = 0; j < 128; ++j) x[j] = relu(us[j]), x[128 + j] = relu(them[j]);
    for (int o = 0; o < 32; ++o) {
        float lanes[W] = {};
        for (int c = 0; c < 256; c += W)
            for (int l = 0; l < W; ++l) lanes[l] = lanes[l] + net.hidden1_weights[o][c + l] * x[c + l];
        y[o] = relu(reduceLanes<W>(lanes) + net.hidden1_biases[o]);
    }
    for (int o = 0; o < 32; ++o) z[o] = relu(dot32<W>(net.hidden2_weights[o], y) + net.hidden2_biases[o]);
    return dot32<W>(net.output_weights, z) + net.output_bias;
}

float referenceOfLinkedKernels(const float *us, const float *them) {
    return strcmp(kernelName(), "avx") == 0 ? referenceForward<8>(network, us, them)
                                            : referenceForward<4>(network, us, them);
}

void fillUniform(float *values, int count, float scale, std::mt19937 &rng) {
    std::uniform_real_distribution<float> dist(-scale, scale);
    for (int i = 0; i < count; ++i) values[i] = dist(rng);
}

class NetworkFiles : public ::testing::Test {
protected:
    std::string dir;
    void SetUp() override {
        char name[] = "/tmp/vexar-network-XXXXXX";
        ASSERT_NE(mkdtemp(name), nullptr);
        dir = name;
        clearNetwork();
    }
    void TearDown() override {
        std::filesystem::remove_all(dir);
        clearNetwork();
    }
    std::string path(const char *name) const { return dir + "/" + name; }

    // Text value k: distinct, exact in single precision, alternating sign.
    static float textValue(int k) { return (k % 2 ? -1.0f : 1.0f) * (float(k) + 0.25f); }

    // Writes `count` values in assorted spellings, some with trailing text.
    void writeText(const std::string &file, int count, const char *first = nullptr) const {
        FILE *f = fopen(file.c_str(), "w");
        const char *forms[] = {"%.2f\n", "%.10e\n", "   %.2f trailing words\n", "%+.3f\r\n"};
        for (int k = 0; k < count; ++k)
            k == 0 && first ? fprintf(f, "%s\n", first) : fprintf(f, forms[k % 4], double(textValue(k)));
        fclose(f);
    }
    static std::vector<unsigned char> readBytes(const std::string &file) {
        std::ifstream in(file, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }
    static std::string readText(const std::string &file) {
        std::ifstream in(file, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }
    // Names in the test directory, sorted.
    std::vector<std::string> entries() const {
        std::vector<std::string> names;
        for (const auto &entry : std::filesystem::directory_iterator(dir)) names.push_back(entry.path().filename());
        std::sort(names.begin(), names.end());
        return names;
    }

    static constexpr const char *CONVERSION = "info debug NN file conversion...\n";
    // Loads network.nn (or converts network.txt) of the test directory and
    // expects a refusal: the lines `before`, then one line naming the embedded
    // network and the reason, and the embedded network in use.
    void expectRefused(const std::string &before, const std::string &reason) {
        network.output_bias = 3.0f;  // nothing of an earlier Network may survive
        testing::internal::CaptureStdout();
        loadNetworkFrom(path("network.nn").c_str(), path("network.txt").c_str());
        EXPECT_EQ(testing::internal::GetCapturedStdout(), before + "info string Network: embedded (" + reason + ")\n");
        EXPECT_TRUE(usesEmbeddedNetwork()) << reason;
    }
};

// Where text value k lands in the binary form: the two hidden weight blocks
// are written input-major and stored output-major.
int binaryIndex(int k) {
    if (k >= H1W && k < H1B) return H1W + 256 * ((k - H1W) % 32) + (k - H1W) / 32;
    if (k >= H2W && k < H2B) return H2W + 32 * ((k - H2W) % 32) + (k - H2W) / 32;
    return k;
}

TEST_F(NetworkFiles, ConversionWritesBinaryLayoutAndLoadReadsIt) {
    writeText(path("network.txt"), NETWORK_VALUES);
    FILE *extra = fopen(path("network.txt").c_str(), "a");  // lines after the last value are never read
    fputs("not a number\n", extra);
    fclose(extra);
    testing::internal::CaptureStdout();
    loadNetworkFrom(path("network.nn").c_str(), path("network.txt").c_str());
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "info debug NN file conversion...\ninfo debug NN loaded !\ninfo string Network: " + path("network.nn") +
                  " (converted from " + path("network.txt") + ")\n");
    EXPECT_EQ(entries(), (std::vector<std::string>{"network.nn", "network.txt"}));  // no temporary file left
    const std::vector<unsigned char> bytes = readBytes(path("network.nn"));
    ASSERT_EQ(bytes.size(), 430980u);
    for (int k = 0; k < NETWORK_VALUES; ++k) {
        const float expected = textValue(k);
        ASSERT_EQ(memcmp(&bytes[4 * binaryIndex(k)], &expected, 4), 0) << "text value " << k;
    }
    EXPECT_EQ(memcmp(&network, bytes.data(), NETWORK_BYTES), 0);

    // An existing binary is read as it is; the text file is not consulted.
    clearNetwork();
    testing::internal::CaptureStdout();
    loadNetworkFrom(path("network.nn").c_str(), path("absent.txt").c_str());
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "info debug NN loaded !\ninfo string Network: " + path("network.nn") + "\n");
    EXPECT_EQ(memcmp(&network, bytes.data(), NETWORK_BYTES), 0);
    // Text line 98433 + 32i + o (from 1) is hidden1_weights[o][i]; likewise the second block.
    EXPECT_EQ(network.hidden1_weights[7][200], textValue(H1W + 32 * 200 + 7));
    EXPECT_EQ(network.hidden2_weights[3][30], textValue(H2W + 32 * 30 + 3));
    EXPECT_EQ(network.output_bias, textValue(NETWORK_VALUES - 1));
    // Loading prepares the columns of the first hidden layer, input by input.
    for (int i = 0; i < 2 * ACCUMULATOR_SIZE; ++i)
        for (int o = 0; o < HIDDEN1_SIZE; ++o)
            ASSERT_EQ(network_columns.hidden1_weights[i][o], textValue(H1W + 32 * i + o)) << i << " " << o;
}

TEST_F(NetworkFiles, FailedConversionWritesNothingAndFallsBackToEmbedded) {
    char reason[REASON_SIZE] = "";
    writeText(path("short.txt"), NETWORK_VALUES - 1);
    EXPECT_EQ(convertNetworkFile(path("short.txt").c_str(), path("network.nn").c_str(), reason), -1);
    EXPECT_EQ(std::string(reason), path("short.txt") + " ends after 107744 values, 107745 needed");
    writeText(path("bad.txt"), NETWORK_VALUES, "abc");
    EXPECT_EQ(convertNetworkFile(path("bad.txt").c_str(), path("network.nn").c_str(), reason), -1);
    EXPECT_EQ(std::string(reason), path("bad.txt") + " line 1 is not a number");
    EXPECT_EQ(entries(), (std::vector<std::string>{"bad.txt", "short.txt"}));

    std::filesystem::rename(path("short.txt"), path("network.txt"));
    expectRefused(CONVERSION, path("network.txt") + " ends after 107744 values, 107745 needed");
    std::filesystem::remove(path("bad.txt"));
    EXPECT_EQ(entries(), std::vector<std::string>{"network.txt"});
    std::filesystem::remove(path("network.txt"));
    expectRefused(CONVERSION, "no " + path("network.nn") + " or " + path("network.txt"));
    EXPECT_TRUE(entries().empty());
}

// Each seed of the corpus is the head of a network.txt that fails at its last
// line; padded with valid lines to a full file, the conversion must still fail
// there, leaving no network.nn.
TEST_F(NetworkFiles, OverlongLinesAndNonFiniteValuesFailTheConversion) {
    const struct {
        const char *seed;
        int line;
        const char *problem;
    } seeds[] = {{"long-line.txt", 3, "is longer than 255 characters"},
                 {"nan.txt", 2, "is not a finite number"},
                 {"inf.txt", 3, "is not a finite number"},
                 {"overflow.txt", 1, "is not a finite number"},
                 {"not-a-number.txt", 2, "is not a number"}};
    int tried = 0;
    for (const auto &entry : std::filesystem::directory_iterator(VEXAR_CORPUS_DIR)) {
        if (entry.path().extension() != ".txt") continue;
        const auto *seed = std::find_if(std::begin(seeds), std::end(seeds),
                                        [&](const auto &s) { return entry.path().filename() == s.seed; });
        ASSERT_NE(seed, std::end(seeds)) << "no expectation for " << entry.path();
        std::string text = readText(entry.path().string());
        for (int k = 0; k < NETWORK_VALUES; ++k) text += "0.5\n";
        std::ofstream(path("network.txt"), std::ios::binary) << text;
        expectRefused(CONVERSION, path("network.txt") + " line " + std::to_string(seed->line) + " " + seed->problem);
        EXPECT_EQ(entries(), std::vector<std::string>{"network.txt"}) << seed->seed;
        ++tried;
    }
    EXPECT_EQ(tried, int(std::size(seeds)));

    // The limit counts the line feed: 254 characters and a line feed are a
    // whole line, one more character is refused.
    for (int blanks : {249, 250}) {
        const std::string line = std::string(blanks, ' ') + "0.125";
        writeText(path("network.txt"), NETWORK_VALUES, line.c_str());
        char reason[REASON_SIZE] = "";
        const int result = convertNetworkFile(path("network.txt").c_str(), path("network.nn").c_str(), reason);
        if (blanks == 249) {
            EXPECT_EQ(result, 0) << reason;
            EXPECT_EQ(readBytes(path("network.nn")).size(), 430980u);
            std::filesystem::remove(path("network.nn"));
        } else {
            EXPECT_EQ(result, -1);
            EXPECT_EQ(std::string(reason), path("network.txt") + " line 1 is longer than 255 characters");
            EXPECT_FALSE(std::filesystem::exists(path("network.nn")));
        }
    }
}

// A conversion stopped by the file size limit (as on a full disk) leaves
// nothing behind and the engine goes on with the embedded network.
TEST_F(NetworkFiles, ConversionThatCannotWriteLeavesNoFile) {
    writeText(path("network.txt"), NETWORK_VALUES);
    rlimit saved;
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    rlimit limited = saved;
    limited.rlim_cur = 102400;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limited), 0);
    char reason[REASON_SIZE] = "";
    const int result = convertNetworkFile(path("network.txt").c_str(), path("network.nn").c_str(), reason);
    const std::vector<std::string> after_convert = entries();
    expectRefused(CONVERSION, "cannot write " + path("network.nn") + ": File too large");
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &saved), 0);
    EXPECT_EQ(result, -1);
    EXPECT_EQ(std::string(reason), "cannot write " + path("network.nn") + ": File too large");
    EXPECT_EQ(after_convert, std::vector<std::string>{"network.txt"});
    EXPECT_EQ(entries(), std::vector<std::string>{"network.txt"});
}

// Only a regular file of exactly 430980 bytes of finite values is loaded; the
// refused file is left as it is, and network.txt is not consulted.
TEST_F(NetworkFiles, IncompleteOrAbsurdBinaryFilesAreRefused) {
    std::vector<unsigned char> good(NETWORK_BYTES + 100);
    for (size_t i = 0; i < good.size(); i += 4) {
        const float value = float(i % 1000) / 1024.0f;
        memcpy(&good[i], &value, 4);
    }
    auto writeBinary = [&](size_t size) {
        std::ofstream(path("network.nn"), std::ios::binary).write(reinterpret_cast<const char *>(good.data()), size);
    };
    // Sizes: a truncated conversion (100 KB), one value short, one byte long, 100 bytes long.
    for (size_t size : {size_t(102400), size_t(NETWORK_BYTES - 4), size_t(NETWORK_BYTES + 1), good.size()}) {
        writeBinary(size);
        expectRefused("", path("network.nn") + " has " + std::to_string(size) + " bytes, not 430980");
        EXPECT_EQ(readBytes(path("network.nn")).size(), size);
    }
    for (const auto &entry : std::filesystem::directory_iterator(VEXAR_CORPUS_DIR)) {
        if (entry.path().extension() != ".nn") continue;
        std::filesystem::copy_file(entry.path(), path("network.nn"), std::filesystem::copy_options::overwrite_existing);
        expectRefused("", path("network.nn") + " has " + std::to_string(entry.file_size()) + " bytes, not 430980");
    }
    const float inf = std::numeric_limits<float>::infinity(), nan = std::numeric_limits<float>::quiet_NaN();
    for (const float absurd : {nan, inf, -inf}) {
        memcpy(&good[4 * 5000], &absurd, 4);
        writeBinary(NETWORK_BYTES);
        expectRefused("", path("network.nn") + " value 5001 is not a finite number");
    }
    std::filesystem::remove(path("network.nn"));
    std::filesystem::create_directory(path("network.nn"));
    expectRefused("", path("network.nn") + " is not a regular file");

    // The same file with a finite value there is loaded.
    std::filesystem::remove(path("network.nn"));
    memset(&good[4 * 5000], 0, 4);
    writeBinary(NETWORK_BYTES);
    testing::internal::CaptureStdout();
    loadNetworkFrom(path("network.nn").c_str(), path("network.txt").c_str());
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "info debug NN loaded !\ninfo string Network: " + path("network.nn") + "\n");
    EXPECT_EQ(memcmp(&network, good.data(), NETWORK_BYTES), 0);
}

// The copy compiled into the program is data/network.txt, value for value,
// read here with a parser of the test's own.
TEST(EmbeddedNetwork, IsTheShippedTextFile) {
    std::ifstream text(VEXAR_DATA_DIR "/network.txt");
    std::string line;
    int k = 0;
    for (; k < NETWORK_VALUES && std::getline(text, line); ++k) {
        const float value = std::strtof(line.c_str(), nullptr);
        float embedded;
        memcpy(&embedded, &embedded_network[4 * binaryIndex(k)], 4);
        ASSERT_EQ(bitsOf(embedded), bitsOf(value)) << "text line " << k + 1;
    }
    EXPECT_EQ(k, NETWORK_VALUES);
}

class NetworkInference : public ::testing::Test {
protected:
    void SetUp() override { clearNetwork(); }
    void TearDown() override { clearNetwork(); }
};

TEST_F(NetworkInference, KernelsFollowTheirSummationOrderExactly) {
    std::mt19937 rng(2024);
    alignas(32) float halves[1 + 2 * ACCUMULATOR_SIZE];  // offset by one float: unaligned halves
    int differing = 0;
    for (int round = 0; round < 20; ++round) {
        fillUniform(reinterpret_cast<float *>(&network) + H1W, NETWORK_VALUES - H1W, 0.3f, rng);
        prepareNetwork(network, network_columns);
        for (int trial = 0; trial < 25; ++trial) {
            fillUniform(halves, 1 + 2 * ACCUMULATOR_SIZE, 1.5f, rng);
            for (int p = 0; p < 2; ++p) {
                const float *us = halves + 1 + 128 * p, *them = halves + 1 + 128 * (1 - p);
                const float got = kernelForward(network, network_columns, us, them);
                ASSERT_EQ(bitsOf(got), bitsOf(referenceOfLinkedKernels(us, them))) << kernelName();

                Accumulator acc;
                memcpy(acc.half[p], us, sizeof acc.half[p]);
                memcpy(acc.half[1 - p], them, sizeof acc.half[p]);
                EXPECT_EQ(evaluateNetwork(acc, p), static_cast<int32_t>(got * 100.0f));

                // The other width sums in another order: equal up to rounding.
                const float wide = referenceForward<8>(network, us, them);
                const float narrow = referenceForward<4>(network, us, them);
                EXPECT_NEAR(wide, narrow, 1e-5f * (1.0f + std::fabs(wide)));
                differing += bitsOf(wide) != bitsOf(narrow);
            }
        }
    }
    EXPECT_GT(differing, 0);  // the two orders are really different
}

// The first hidden layer skips the inputs the rectifier sets to zero.  Whatever
// their share and pattern (and whatever made them zero: a negative value, -0,
// -inf or NaN), the result is bit for bit that of the full sum.
TEST_F(NetworkInference, ZeroInputsLeaveTheSumsBitForBitUnchanged) {
    std::mt19937 rng(77);
    fillUniform(reinterpret_cast<float *>(&network) + H1W, NETWORK_VALUES - H1W, 0.3f, rng);
    prepareNetwork(network, network_columns);
    alignas(32) float buffer[1 + 2 * ACCUMULATOR_SIZE];
    float *halves = buffer + 1;  // unaligned halves
    const float inf = std::numeric_limits<float>::infinity(), nan = std::numeric_limits<float>::quiet_NaN();
    const float inactive[] = {-0.0f, 0.0f, -1e-30f, -0.5f, -1.25f, -inf, nan};
    std::uniform_real_distribution<float> magnitude(1e-3f, 1.5f);
    std::uniform_int_distribution<int> percent(0, 99), pick(0, std::size(inactive) - 1);
    auto expectReference = [&](const std::string &what) {
        for (int p = 0; p < 2; ++p) {
            const float *us = halves + 128 * p, *them = halves + 128 * (1 - p);
            const float got = kernelForward(network, network_columns, us, them);
            ASSERT_EQ(bitsOf(got), bitsOf(referenceOfLinkedKernels(us, them))) << kernelName() << " " << what;
        }
    };
    for (int share : {0, 2, 10, 50, 90, 98, 100}) {
        for (int trial = 0; trial < 40; ++trial) {
            for (int i = 0; i < 256; ++i) halves[i] = percent(rng) < share ? magnitude(rng) : inactive[pick(rng)];
            expectReference("active share " + std::to_string(share));
        }
    }
    // One input active, and one input inactive, at every position.
    for (int i = 0; i < 256; ++i) {
        std::fill(halves, halves + 256, -1.0f);
        halves[i] = 0.75f;
        expectReference("only input " + std::to_string(i));
        for (int j = 0; j < 256; ++j) halves[j] = magnitude(rng);
        halves[i] = -0.0f;
        expectReference("all but input " + std::to_string(i));
    }
    // Every input zero: the first layer is its biases alone.
    std::fill(halves, halves + 256, -2.0f);
    expectReference("no input");
}

TEST_F(NetworkInference, ScoreIsTruncatedTowardZeroAndSideToMoveComesFirst) {
    // One path through the network: input 0 -> y0 -> z0 -> output, all exact.
    network.hidden1_weights[0][0] = 1.0f;
    network.hidden1_weights[0][128] = 2.0f;  // input 0 of the opponent's half
    network.hidden2_weights[0][0] = 1.0f;
    prepareNetwork(network, network_columns);
    Accumulator acc = {};
    acc.half[0][0] = 1.0f;
    acc.half[1][5] = 9.0f;  // unused by the path
    network.output_weights[0] = 0.129f;
    EXPECT_EQ(evaluateNetwork(acc, 0), 12);
    EXPECT_EQ(evaluateNetwork(acc, 1), 25);  // White's half is now the second input block
    network.output_weights[0] = -0.129f;
    EXPECT_EQ(evaluateNetwork(acc, 0), -12);
    network.output_weights[0] = 0.0f;
    network.output_bias = -0.00999f;
    EXPECT_EQ(evaluateNetwork(acc, 0), 0);
    acc.half[0][0] = -1.0f;  // rectified away
    network.output_weights[0] = 1.0f;
    network.output_bias = 0.0f;
    EXPECT_EQ(evaluateNetwork(acc, 0), 0);
}

// Scores stay strictly inside the mate range, whatever the network outputs.
TEST_F(NetworkInference, ScoreIsClampedInsideTheMateRange) {
    static_assert(EVAL_LIMIT == 20000);
    EXPECT_LT(EVAL_LIMIT, GENERATION.mate_bound);
    Accumulator acc = {};
    const float inf = std::numeric_limits<float>::infinity();
    const struct {
        float output;
        int32_t score;
    } cases[] = {{200.0f, 20000},        {200.015625f, 20000},   {199.984375f, 19998}, {-200.0f, -20000},
                 {-200.015625f, -20000}, {-199.984375f, -19998}, {400.0f, 20000},      {1e30f, 20000},
                 {-1e30f, -20000},       {inf, 20000},           {-inf, -20000},       {std::nanf(""), 0}};
    for (const auto &c : cases) {
        network.output_bias = c.output;  // every other weight zero: the output is the bias
        EXPECT_EQ(evaluateNetwork(acc, 0), c.score) << c.output;
        EXPECT_EQ(evaluateNetwork(acc, 1), c.score) << c.output;
    }
}

TEST_F(NetworkInference, FeatureRowsOfExamplePieces) {
    // Each row carries its own index in lane 0 and a count in lane 1.
    for (int f = 0; f < FEATURE_COUNT; ++f) {
        network.feature_weights[f][0] = float(f);
        network.feature_weights[f][1] = 1.0f;
    }
    network.feature_biases[2] = 7.0f;
    struct Case {
        int colour, type, square, row_white, row_black;
    } cases[] = {{1, 2, 6, 134, 249}, {0, 2, 62, 254, 129}, {1, 1, 8, 8, 119},
                 {0, 5, 59, 635, 516}, {1, 6, 4, 644, 763}, {0, 6, 60, 764, 643}};
    for (const Case &c : cases) {
        Bitboard pieces[2][6] = {};
        pieces[c.colour][c.type - 1] = Bitboard(1) << c.square;
        Accumulator acc;
        refreshAccumulator(acc, pieces[1], pieces[0]);
        EXPECT_EQ(acc.half[0][0], c.row_white) << c.colour << c.type << c.square;
        EXPECT_EQ(acc.half[1][0], c.row_black) << c.colour << c.type << c.square;
        EXPECT_EQ(acc.half[0][1], 1.0f);
        EXPECT_EQ(acc.half[1][2], 7.0f);
    }
    // White knight g1 takes a black pawn on f3.
    Bitboard white[6] = {0, Bitboard(1) << 6}, black[6] = {Bitboard(1) << 21};
    Accumulator acc;
    refreshAccumulator(acc, white, black);
    EXPECT_EQ(acc.half[0][0], 134 + 85);
    EXPECT_EQ(acc.half[1][0], 249 + 42);
    updateAccumulator(acc, acc, 1, 2, 6, 21, 1, KINGS);
    EXPECT_EQ(acc.half[0][0], 149);
    EXPECT_EQ(acc.half[1][0], 234);
    EXPECT_EQ(acc.half[0][1], 1.0f);
}

TEST_F(NetworkInference, IncrementalUpdatesMatchRefresh) {
    std::mt19937 rng(99);
    fillUniform(reinterpret_cast<float *>(&network), NETWORK_VALUES, 0.5f, rng);
    prepareNetwork(network, network_columns);
    std::uniform_int_distribution<int> square(0, 63), type(1, 6);
    int board[64] = {};  // 0 empty, else 8 * (colour + 1) + type
    for (int n = 0; n < 28; ++n) board[square(rng)] = 8 * (1 + (n & 1)) + type(rng);

    auto pieceSets = [&](Bitboard white[6], Bitboard black[6]) {
        for (int t = 0; t < 6; ++t) white[t] = black[t] = 0;
        for (int s = 0; s < 64; ++s)
            if (board[s]) (board[s] >> 3 == 2 ? white : black)[(board[s] & 7) - 1] |= Bitboard(1) << s;
    };
    Bitboard white[6], black[6];
    pieceSets(white, black);
    Accumulator accs[2];
    int current = 0, captures = 0;
    refreshAccumulator(accs[current], white, black);
    for (int moves = 1; moves <= 3000;) {
        const int from = square(rng), to = square(rng);
        if (!board[from] || from == to) continue;
        // Captures are rare so that the board does not run empty.
        if (board[to] && (board[to] >> 3 == board[from] >> 3 || rng() % 32 != 0)) continue;
        const int colour = (board[from] >> 3) - 1, moved = board[from] & 7, captured = board[to] & 7;
        // Each lane is (value + destination row) - origin row, then minus the captured row.
        float expected[2][ACCUMULATOR_SIZE];
        for (int p = 0; p < 2; ++p) {
            const float *add = network.feature_weights[featureRow(p, colour, moved, to)];
            const float *sub = network.feature_weights[featureRow(p, colour, moved, from)];
            const float *gone = network.feature_weights[featureRow(p, 1 - colour, captured ? captured : 1, to)];
            for (int h = 0; h < ACCUMULATOR_SIZE; ++h) {
                expected[p][h] = (accs[current].half[p][h] + add[h]) - sub[h];
                if (captured) expected[p][h] = expected[p][h] - gone[h];
            }
        }
        // Alternate between writing a new record and updating in place.
        Accumulator &dst = moves % 2 ? accs[1 - current] : accs[current];
        updateAccumulator(dst, accs[current], colour, moved, from, to, captured, KINGS);
        ASSERT_EQ(memcmp(dst.half, expected, sizeof expected), 0) << "move " << moves;
        current = &dst == &accs[0] ? 0 : 1;
        board[to] = board[from], board[from] = 0;
        captures += captured != 0;
        if (++moves % 500 == 0) {
            pieceSets(white, black);
            Accumulator fresh;
            refreshAccumulator(fresh, white, black);
            // Refresh order: biases, then White's pieces PAWN..KING by ascending square, then Black's.
            float summed[2][ACCUMULATOR_SIZE];
            for (int p = 0; p < 2; ++p) memcpy(summed[p], network.feature_biases, sizeof summed[p]);
            for (int colour : {1, 0})
                for (int t = 1; t <= 6; ++t)
                    for (int s = 0; s < 64; ++s)
                        if (board[s] == 8 * (colour + 1) + t)
                            for (int p = 0; p < 2; ++p) {
                                const float *row = network.feature_weights[featureRow(p, colour, t, s)];
                                for (int h = 0; h < ACCUMULATOR_SIZE; ++h) summed[p][h] = summed[p][h] + row[h];
                            }
            ASSERT_EQ(memcmp(fresh.half, summed, sizeof summed), 0) << "move " << moves;
            for (int p = 0; p < 2; ++p)
                for (int h = 0; h < ACCUMULATOR_SIZE; ++h)
                    ASSERT_NEAR(accs[current].half[p][h], fresh.half[p][h], 1e-3f) << "move " << moves;
            EXPECT_NEAR(evaluateNetwork(accs[current], 0), evaluateNetwork(fresh, 0), 1);
            EXPECT_NEAR(evaluateNetwork(accs[current], 1), evaluateNetwork(fresh, 1), 1);
        }
    }
    EXPECT_GT(captures, 3);
}

}  // namespace
