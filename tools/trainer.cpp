// trainer - fits Vexar's evaluation network to labelled positions.
//
//   trainer --data FILE [--out network.txt] [--epochs N] [--batch N] [--lr X]
//           [--seed N] [--valid X] [--scale K] [--clip CP] [--decay X]
//           [--no-mirror]
//
// Input: one position a line, "<FEN>;<score>", the score in centipawns from
// the side to move's point of view (tools/datagen.py writes this).  Only the
// piece placement and the side to move are read from the FEN.
//
// The network is the engine's: 768 piece-square features per perspective ->
// two halves of 128 sharing one weight matrix (the side to move's half first)
// -> ReLU -> 32 -> ReLU -> 32 -> ReLU -> 1, all single precision.  The output
// is in pawns, so the engine's score trunc(100 x output) is in centipawns.
// The loss is the squared difference of sigmoid(100 x output / K) and
// sigmoid(label / K), K = 400 by default, minimised with Adam on shuffled
// minibatches, optionally with decoupled weight decay.  The last --valid
// fraction of the file (later games) is held out; its loss, the mean
// absolute error and the correlation between network and labels in
// centipawns are printed after every epoch.
//
// Training positions are also used mirrored left to right with a chance of
// one half each time they are drawn: for this feature set that is the same
// as the colour-flipped position (board turned upside down, colours and side
// to move swapped), whose score for the side to move is unchanged.
//
// Output: network.txt in the engine's text order (hidden-layer weight blocks
// listed input by input).  Everything is seeded: the same data and arguments
// give the same file on the same machine and compiler.
//
// Build (any C++17 compiler): g++ -O3 -march=native -o trainer tools/trainer.cpp
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "eval/network.h"

namespace {

constexpr int FEATURES = 768;
constexpr int HALF = 128;
constexpr int H1 = 32;
constexpr int H2 = 32;

// ---------------------------------------------------------------- random --

uint64_t rngState = 1;

uint64_t nextRandom() {
    uint64_t z = (rngState += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

double unitRandom() { return double(nextRandom() >> 11) * (1.0 / 9007199254740992.0); }

float uniform(float scale) { return float((2.0 * unitRandom() - 1.0) * scale); }

// ------------------------------------------------------------------ data --

// A piece is packed as colour << 9 | type << 6 | square (colour 1 = white,
// type 1 = pawn .. 6 = king, square 0 = a1 .. 63 = h8).
struct Sample {
    uint32_t first;  // index of its first piece in `pieces`
    uint8_t count;
    uint8_t white_to_move;
    float target;  // sigmoid(label / K)
    float label;   // clipped centipawns
};

std::vector<uint16_t> pieces;
std::vector<Sample> samples;

bool parseLine(const char *line, float clip, float scale) {
    const char *semi = strchr(line, ';');
    if (semi == nullptr) return false;
    Sample s{};
    s.first = uint32_t(pieces.size());
    int rank = 7, file = 0;
    const char *p = line;
    for (; *p && *p != ' '; ++p) {
        const char c = *p;
        if (c == '/') {
            --rank;
            file = 0;
        } else if (c >= '1' && c <= '8') {
            file += c - '0';
        } else {
            const char *letters = "pnbrqk";
            const char *hit = strchr(letters, c | 0x20);
            if (hit == nullptr || rank < 0 || file > 7) return false;
            const int type = int(hit - letters) + 1;
            const int colour = (c >= 'A' && c <= 'Z') ? 1 : 0;
            pieces.push_back(uint16_t(colour << 9 | type << 6 | (rank * 8 + file)));
            ++file;
        }
    }
    if (*p != ' ') return false;
    s.white_to_move = p[1] == 'w';
    s.count = uint8_t(pieces.size() - s.first);
    float cp = float(atof(semi + 1));
    cp = std::max(-clip, std::min(clip, cp));
    s.label = cp;
    s.target = 1.0f / (1.0f + std::exp(-cp / scale));
    samples.push_back(s);
    return true;
}

// Feature row of a piece in one perspective (0 = White's, 1 = Black's): the
// engine's numbering.  `mirror` flips the files (square XOR 7) first.
inline int featureRow(int perspective, int packed, bool mirror) {
    const int colour = packed >> 9, type = (packed >> 6) & 7;
    return ::featureRow(perspective, colour, type, (packed & 63) ^ (mirror ? 7 : 0));
}

// --------------------------------------------------------------- network --

// The trainer works on the engine's own weight layout.
using Params = Network;
constexpr int PARAM_COUNT = int(sizeof(Params) / sizeof(float));
// Includes the few floats of padding after the output bias; they stay zero.
static_assert(PARAM_COUNT >= NETWORK_VALUES);

Params net, grad, adamM, adamV;

struct Work {
    int rows[2][32];
    int count;
    float acc[2][HALF];  // [0] side to move, [1] opponent (before ReLU)
    float x[2 * HALF];
    float y[H1], z[H2];
    float out;
};

// Forward pass; fills the work record and returns the output in pawns.
float forward(const Sample &s, bool mirror, Work &w) {
    const int stm = s.white_to_move ? 0 : 1;
    w.count = s.count;
    for (int side = 0; side < 2; ++side) {
        const int perspective = side == 0 ? stm : 1 - stm;
        float *acc = w.acc[side];
        memcpy(acc, net.feature_biases, sizeof net.feature_biases);
        for (int k = 0; k < s.count; ++k) {
            const int row = featureRow(perspective, pieces[s.first + k], mirror);
            w.rows[side][k] = row;
            const float *wr = net.feature_weights[row];
            for (int h = 0; h < HALF; ++h) acc[h] += wr[h];
        }
        for (int h = 0; h < HALF; ++h) w.x[side * HALF + h] = acc[h] > 0.0f ? acc[h] : 0.0f;
    }
    for (int o = 0; o < H1; ++o) {
        float sum = 0.0f;
        const float *wr = net.hidden1_weights[o];
        for (int i = 0; i < 2 * HALF; ++i) sum += wr[i] * w.x[i];
        sum += net.hidden1_biases[o];
        w.y[o] = sum > 0.0f ? sum : 0.0f;
    }
    for (int o = 0; o < H2; ++o) {
        float sum = 0.0f;
        for (int i = 0; i < H1; ++i) sum += net.hidden2_weights[o][i] * w.y[i];
        sum += net.hidden2_biases[o];
        w.z[o] = sum > 0.0f ? sum : 0.0f;
    }
    float out = net.output_bias;
    for (int i = 0; i < H2; ++i) out += net.output_weights[i] * w.z[i];
    w.out = out;
    return out;
}

// Adds the gradient of the loss for one sample (dLoss/dout = g) to `grad`.
void backward(const Work &w, float g) {
    float dz[H2], dy[H1] = {}, dx[2 * HALF] = {};
    grad.output_bias += g;
    for (int i = 0; i < H2; ++i) {
        grad.output_weights[i] += g * w.z[i];
        dz[i] = w.z[i] > 0.0f ? g * net.output_weights[i] : 0.0f;
    }
    for (int o = 0; o < H2; ++o) {
        if (dz[o] == 0.0f) continue;
        grad.hidden2_biases[o] += dz[o];
        for (int i = 0; i < H1; ++i) {
            grad.hidden2_weights[o][i] += dz[o] * w.y[i];
            dy[i] += dz[o] * net.hidden2_weights[o][i];
        }
    }
    for (int o = 0; o < H1; ++o) {
        const float d = w.y[o] > 0.0f ? dy[o] : 0.0f;
        if (d == 0.0f) continue;
        grad.hidden1_biases[o] += d;
        float *gr = grad.hidden1_weights[o];
        const float *wr = net.hidden1_weights[o];
        for (int i = 0; i < 2 * HALF; ++i) {
            gr[i] += d * w.x[i];
            dx[i] += d * wr[i];
        }
    }
    for (int side = 0; side < 2; ++side) {
        float da[HALF];
        for (int h = 0; h < HALF; ++h) da[h] = w.acc[side][h] > 0.0f ? dx[side * HALF + h] : 0.0f;
        for (int h = 0; h < HALF; ++h) grad.feature_biases[h] += da[h];
        for (int k = 0; k < w.count; ++k) {
            float *gr = grad.feature_weights[w.rows[side][k]];
            for (int h = 0; h < HALF; ++h) gr[h] += da[h];
        }
    }
}

void initialise() {
    for (auto &row : net.feature_weights)
        for (float &v : row) v = uniform(0.12f);
    for (float &v : net.feature_biases) v = 0.05f;
    const float s2 = std::sqrt(6.0f / (2 * HALF));
    for (auto &row : net.hidden1_weights)
        for (float &v : row) v = uniform(s2);
    for (float &v : net.hidden1_biases) v = 0.05f;
    const float s3 = std::sqrt(6.0f / H1);
    for (auto &row : net.hidden2_weights)
        for (float &v : row) v = uniform(s3);
    for (float &v : net.hidden2_biases) v = 0.05f;
    const float s4 = std::sqrt(3.0f / H2);
    for (float &v : net.output_weights) v = uniform(s4);
    net.output_bias = 0.0f;
}

// Adam; `decay` shrinks every weight by lr x decay x weight per step
// (decoupled weight decay), biases included.
float decay = 0.0f;

void adamStep(float lr, long step) {
    const float beta1 = 0.9f, beta2 = 0.999f, eps = 1e-8f;
    const float c1 = 1.0f / (1.0f - std::pow(beta1, float(step)));
    const float c2 = 1.0f / (1.0f - std::pow(beta2, float(step)));
    float *p = reinterpret_cast<float *>(&net);
    float *gp = reinterpret_cast<float *>(&grad);
    float *m = reinterpret_cast<float *>(&adamM);
    float *v = reinterpret_cast<float *>(&adamV);
    for (int k = 0; k < PARAM_COUNT; ++k) {
        const float g = gp[k];
        m[k] = beta1 * m[k] + (1.0f - beta1) * g;
        v[k] = beta2 * v[k] + (1.0f - beta2) * g * g;
        p[k] -= lr * ((m[k] * c1) / (std::sqrt(v[k] * c2) + eps) + decay * p[k]);
    }
}

struct Stats {
    double loss, mae, corr;
};

float scaleK = 400.0f;

Stats evaluate(size_t begin, size_t end) {
    Work w;
    double loss = 0, mae = 0, sx = 0, sy = 0, sxx = 0, syy = 0, sxy = 0;
    const double n = double(end - begin);
    for (size_t k = begin; k < end; ++k) {
        const Sample &s = samples[k];
        const float out = forward(s, false, w);
        const float p = 1.0f / (1.0f + std::exp(-100.0f * out / scaleK));
        loss += double(p - s.target) * double(p - s.target);
        const double cp = 100.0 * out, lab = s.label;
        mae += std::fabs(cp - lab);
        sx += cp, sy += lab, sxx += cp * cp, syy += lab * lab, sxy += cp * lab;
    }
    const double cov = sxy / n - (sx / n) * (sy / n);
    const double vx = sxx / n - (sx / n) * (sx / n), vy = syy / n - (sy / n) * (sy / n);
    return {loss / n, mae / n, cov / std::sqrt(vx * vy + 1e-30)};
}

bool writeNetwork(const char *path) {
    FILE *out = fopen(path, "w");
    if (out == nullptr) return false;
    auto put = [&](float v) { fprintf(out, "%.9g\n", double(v)); };
    for (auto &row : net.feature_weights)
        for (float v : row) put(v);
    for (float v : net.feature_biases) put(v);
    for (int i = 0; i < 2 * HALF; ++i)  // input-major
        for (int o = 0; o < H1; ++o) put(net.hidden1_weights[o][i]);
    for (float v : net.hidden1_biases) put(v);
    for (int i = 0; i < H1; ++i)  // input-major
        for (int o = 0; o < H2; ++o) put(net.hidden2_weights[o][i]);
    for (float v : net.hidden2_biases) put(v);
    for (float v : net.output_weights) put(v);
    put(net.output_bias);
    return fclose(out) == 0;
}

// Score in centipawns the engine would print for a FEN.
int engineScore(const char *fen) {
    const size_t before = samples.size(), piecesBefore = pieces.size();
    std::string line = std::string(fen) + ";0";
    if (!parseLine(line.c_str(), 1e9f, scaleK)) return 0;
    Work w;
    const float out = forward(samples.back(), false, w);
    samples.resize(before);
    pieces.resize(piecesBefore);
    return int(out * 100.0f);
}

}  // namespace

int main(int argc, char **argv) {
    const char *dataPath = nullptr;
    const char *outPath = "network.txt";
    int epochs = 30, batch = 1024;
    float lr = 1e-3f, valid = 0.05f, clip = 2000.0f;
    bool mirror = true;
    uint64_t seed = 1;
    for (int a = 1; a < argc; ++a) {
        const std::string arg = argv[a];
        const char *next = a + 1 < argc ? argv[a + 1] : "";
        if (arg == "--data") dataPath = next, ++a;
        else if (arg == "--out") outPath = next, ++a;
        else if (arg == "--epochs") epochs = atoi(next), ++a;
        else if (arg == "--batch") batch = atoi(next), ++a;
        else if (arg == "--lr") lr = float(atof(next)), ++a;
        else if (arg == "--seed") seed = strtoull(next, nullptr, 10), ++a;
        else if (arg == "--valid") valid = float(atof(next)), ++a;
        else if (arg == "--scale") scaleK = float(atof(next)), ++a;
        else if (arg == "--clip") clip = float(atof(next)), ++a;
        else if (arg == "--decay") decay = float(atof(next)), ++a;
        else if (arg == "--no-mirror") mirror = false;
        else {
            fprintf(stderr, "trainer: unknown argument %s\n", argv[a]);
            return 1;
        }
    }
    if (dataPath == nullptr || epochs < 1 || batch < 1) {
        fprintf(stderr, "usage: trainer --data FILE [--out network.txt] [--epochs N] [--batch N] [--lr X]\n"
                        "               [--seed N] [--valid X] [--scale K] [--clip CP] [--decay X]\n"
                        "               [--no-mirror]\n");
        return 1;
    }

    FILE *in = fopen(dataPath, "r");
    if (in == nullptr) {
        fprintf(stderr, "trainer: cannot open %s\n", dataPath);
        return 1;
    }
    char line[512];
    long bad = 0;
    while (fgets(line, sizeof line, in)) {
        if (!parseLine(line, clip, scaleK)) ++bad;
    }
    fclose(in);
    const size_t total = samples.size();
    const size_t trainCount = total - size_t(double(total) * valid);
    if (trainCount == 0 || trainCount == total) {
        fprintf(stderr, "trainer: not enough data (%zu positions)\n", total);
        return 1;
    }
    printf("trainer: %zu positions (%ld unreadable lines), %zu for training, %zu held out\n", total, bad,
           trainCount, total - trainCount);

    rngState = seed;
    initialise();
    std::vector<uint32_t> order(trainCount);
    for (size_t k = 0; k < trainCount; ++k) order[k] = uint32_t(k);

    Stats start = evaluate(trainCount, total);
    printf("epoch  0  valid loss %.6f  mae %.1f cp  corr %.4f\n", start.loss, start.mae, start.corr);
    long step = 0;
    Work w;
    for (int epoch = 1; epoch <= epochs; ++epoch) {
        const clock_t t0 = clock();
        // Learning rate: constant, then a tenth for the last quarter of
        // the epochs and a hundredth for the last tenth.
        float rate = lr;
        if (epoch > epochs - epochs / 10) rate = lr * 0.01f;
        else if (epoch > epochs - epochs / 4) rate = lr * 0.1f;
        for (size_t k = trainCount - 1; k > 0; --k) {  // Fisher-Yates
            const size_t j = size_t(nextRandom() % (k + 1));
            std::swap(order[k], order[j]);
        }
        double trainLoss = 0;
        for (size_t b = 0; b < trainCount; b += size_t(batch)) {
            const size_t e = std::min(trainCount, b + size_t(batch));
            memset(&grad, 0, sizeof grad);
            const float inv = 1.0f / float(e - b);
            for (size_t k = b; k < e; ++k) {
                const Sample &s = samples[order[k]];
                const bool flip = mirror && (nextRandom() & 1);
                const float out = forward(s, flip, w);
                const float p = 1.0f / (1.0f + std::exp(-100.0f * out / scaleK));
                const float diff = p - s.target;
                trainLoss += double(diff) * diff;
                const float g = 2.0f * diff * p * (1.0f - p) * (100.0f / scaleK) * inv;
                backward(w, g);
            }
            adamStep(rate, ++step);
        }
        const Stats v = evaluate(trainCount, total);
        printf("epoch %2d  lr %.2e  train loss %.6f  valid loss %.6f  mae %.1f cp  corr %.4f  (%.1f s)\n", epoch,
               double(rate), trainLoss / double(trainCount), v.loss, v.mae, v.corr,
               double(clock() - t0) / CLOCKS_PER_SEC);
        fflush(stdout);
    }

    if (!writeNetwork(outPath)) {
        fprintf(stderr, "trainer: cannot write %s\n", outPath);
        return 1;
    }
    printf("trainer: wrote %s\n", outPath);
    const char *checks[] = {
        "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1",
        "rnb1kbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1",
        "rnb1kbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR b KQkq - 0 1",
        "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNB1KBNR w KQkq - 0 1",
        "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNB1KBNR b KQkq - 0 1",
    };
    for (const char *fen : checks) printf("check %6d  %s\n", engineScore(fen), fen);
    return 0;
}
