// The core of the network trainer (tools/trainer.cpp): training positions kept
// as packed 32-byte records, their features, the network's forward and
// backward passes, minibatch gradients over several threads, Adam, the
// validation statistics and the text writer.  The tests link it directly.
//
// The network is the engine's (network/network.h): 768 piece-square features per
// perspective -> two halves of 128 sharing one weight matrix (the side to
// move's half first) -> ReLU -> 32 -> ReLU -> 32 -> ReLU -> 1, all single
// precision, output in pawns.
#pragma once

#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "network/network.h"
#include "tools/record.h"

namespace trainer {

// ----------------------------------------------------------------- records --

// Training positions are the shared 32-byte records of tools/record.h
// (PackedRecord: pieces, score and game result for the side to move, ply and
// flags); the trainer reads them with that header's functions only.

// The old text form, "<FEN>;<score>": the FEN may stop after any field from
// the side to move on (the missing ones read as "- - 0 1"); the record's
// result is 0 (unknown).  False on a line that is not of that form or whose
// record recordProblem rejects (not one king of each colour, ...).
bool recordFromText(const char *line, PackedRecord &record);

// Training and validation positions, filled by the loaders below.
struct DataSets {
    std::vector<PackedRecord> train, valid;
    long unreadable = 0;               // text lines or records that are no position
    size_t games = 0, validGames = 0;  // record files only
};

// Appends a text file: the last validShare of its positions (the later
// games) to valid, the rest to train.  False when it cannot be opened.
bool loadText(const char *path, double validShare, DataSets &sets);
// Appends a record file, game by game: games are numbered across all the
// files loaded into `sets`, a game starts at every record flagged first of
// its game and at the start of each file, and game g is held out when
// g % validEvery == validEvery - 1 (never when validEvery is 0).  Records
// that recordProblem rejects are skipped and counted; a last incomplete
// record is ignored with a message.  False when it cannot be opened.
bool loadRecords(const char *path, int validEvery, DataSets &sets);

// ---------------------------------------------------------------- features --

// The feature rows of one position in both perspectives: [0] the side to
// move's, [1] the opponent's, in the order of the record's pieces.
struct Features {
    int count;
    uint16_t rows[2][32];
};

// `mirror` flips the files (square XOR 7) before the rows are taken.
void extractFeatures(const PackedRecord &record, bool mirror, Features &features);

// ----------------------------------------------------------------- network --

// The trainer works on the engine's own weight layout; the few floats of
// padding after the output bias stay zero.
using Params = Network;
inline constexpr int PARAM_COUNT = int(sizeof(Params) / sizeof(float));
static_assert(PARAM_COUNT >= NETWORK_VALUES);

inline float *values(Params &p) { return reinterpret_cast<float *>(&p); }
inline const float *values(const Params &p) { return reinterpret_cast<const float *>(&p); }

// splitmix64: small and the same everywhere, so a seed means one network.
struct Random {
    uint64_t state;
    uint64_t next();
    float uniform(float scale);  // [-scale, scale)
};

// Random first weights with the scales of the old trainer (He-like for the
// hidden layers, small positive biases).
void initialise(Params &net, Random &rng);

// The part of an initialisation shared by every network kind: the layers
// after the first, in this order of random draws, and the biases.
template <class Net>
void initialiseLayers(Net &net, Random &rng, float bias) {
    for (float &v : net.feature_biases) v = bias;
    const float s2 = std::sqrt(6.0f / float(2 * ACCUMULATOR_SIZE));
    for (auto &row : net.hidden1_weights)
        for (float &v : row) v = rng.uniform(s2);
    for (float &v : net.hidden1_biases) v = bias;
    const float s3 = std::sqrt(6.0f / float(HIDDEN1_SIZE));
    for (auto &row : net.hidden2_weights)
        for (float &v : row) v = rng.uniform(s3);
    for (float &v : net.hidden2_biases) v = bias;
    const float s4 = std::sqrt(3.0f / float(HIDDEN2_SIZE));
    for (float &v : net.output_weights) v = rng.uniform(s4);
    net.output_bias = 0.0f;
}

// Dot product in eight interleaved partial sums, which the compiler turns
// into vector arithmetic (a single running sum would have to stay scalar).
template <int N>
inline float dot(const float *a, const float *b) {
    static_assert(N % 8 == 0);
    float lanes[8] = {};
    for (int i = 0; i < N; i += 8)
        for (int l = 0; l < 8; ++l) lanes[l] += a[i + l] * b[i + l];
    return ((lanes[0] + lanes[4]) + (lanes[1] + lanes[5])) + ((lanes[2] + lanes[6]) + (lanes[3] + lanes[7]));
}

// Intermediate values of one forward pass, kept for the backward pass.
struct Work {
    float acc[2][ACCUMULATOR_SIZE];  // first-layer sums before the ReLU
    float x[2 * ACCUMULATOR_SIZE];
    float y[HIDDEN1_SIZE], z[HIDDEN2_SIZE];
    float out;
};

// Output in pawns; the engine's score is trunc(100 x output).
float forward(const Params &net, const Features &f, Work &w);
// Adds the gradient of the loss for one position, dLoss/dout = g, to `grad`.
void backward(const Params &net, const Features &f, const Work &w, float g, Params &grad);

// -------------------------------------------------------------------- loss --

// Squared difference in sigmoid space: p = sigmoid(100 x output / K) against
// the target (1 - blend) x sigmoid(score / K) + blend x (result + 1) / 2,
// the score clipped to +-clip centipawns first.
struct Loss {
    float scale = 400.0f;
    float blend = 0.0f;
    float clip = 2000.0f;
};

float clippedScore(const PackedRecord &r, const Loss &loss);
float target(const PackedRecord &r, const Loss &loss);

// ---------------------------------------------------------------- training --

// A minibatch is cut into SLICES contiguous slices, each with its own
// gradient buffer; the threads take the slices round-robin and the buffers are
// summed in slice order afterwards.  The sums therefore never depend on the
// number of threads or on their timing: a seed and the data give one network.
inline constexpr int SLICES = 8;

// Helper threads kept for the whole training, so that a minibatch does not
// pay for starting threads.  run() calls job(i) for i = 0 .. size - 1 at
// once, job(0) on the calling thread, and returns when all are done.
struct Pool {
    int size = 1;
    std::vector<std::thread> helpers;
    std::mutex mutex;
    std::condition_variable wake, finished;
    std::function<void(int)> job;
    uint64_t round = 0;
    int running = 0;
    bool stop = false;

    explicit Pool(int threads);
    ~Pool();
    void run(const std::function<void(int)> &work);
};

struct Trainer {
    Params *net;                // the network being trained (owned by the caller)
    std::vector<Params> grads;  // SLICES buffers, [0] also holds the sum
    std::vector<Params> adam;   // first and second moments
    long step = 0;
    int threads = 1;
    int batch = 1024;
    bool mirror = true;
    float decay = 0.0f;  // decoupled weight decay
    Loss loss;
    Random rng{1};
    std::unique_ptr<Pool> pool;  // started on first use with `threads` threads
};

void setUp(Trainer &t, Params &net);

// Mean loss of the positions order[0 .. count) with the current network and
// its gradient in t.grads[0]; flips[k] mirrors position k.
double batchGradient(Trainer &t, const std::vector<PackedRecord> &data, const uint32_t *order, const uint8_t *flips,
                     size_t count);

// One Adam step (beta 0.9 / 0.999) with the gradient in t.grads[0]; the
// decay shrinks every weight by lr x decay x weight (biases included).
void adamStep(Trainer &t, float lr);

// Reports the progress of an epoch: positions done and the mean loss so far.
using Progress = void (*)(void *context, size_t done, size_t total, double meanLoss);

// One pass over `data` in a new shuffled order (shuffled in place), with a
// mirror draw for every position; returns the mean training loss.  `progress`
// (may be null) is called after roughly every tenth of the epoch.
double trainEpoch(Trainer &t, const std::vector<PackedRecord> &data, std::vector<uint32_t> &order, float lr,
                  Progress progress = nullptr, void *context = nullptr);

struct Stats {
    double loss;  // mean loss
    double mae;   // mean |100 x output - clipped score| in centipawns
    double corr;  // correlation of 100 x output and the clipped score
};

// The epoch loop of every network kind: T has the fields batch, mirror and
// rng, and batchGradient(T &, ...) and adamStep(T &, lr) overloads.
template <class T>
double runEpoch(T &t, const std::vector<PackedRecord> &data, std::vector<uint32_t> &order, float lr,
                Progress progress, void *context) {
    const size_t total = data.size();
    if (order.size() != total) {
        order.resize(total);
        for (size_t k = 0; k < total; ++k) order[k] = uint32_t(k);
    }
    for (size_t k = total; k > 1; --k) {  // Fisher-Yates
        const size_t j = size_t(t.rng.next() % k);
        std::swap(order[k - 1], order[j]);
    }
    const size_t batch = size_t(std::max(1, t.batch));
    std::vector<uint8_t> flips(batch);
    double lossSum = 0.0;
    size_t nextReport = total / 10;
    for (size_t b = 0; b < total; b += batch) {
        const size_t n = std::min(batch, total - b);
        for (size_t k = 0; k < n; ++k) flips[k] = t.mirror ? uint8_t(t.rng.next() & 1) : 0;
        lossSum += batchGradient(t, data, &order[b], flips.data(), n) * double(n);
        adamStep(t, lr);
        if (progress != nullptr && b + n >= nextReport && b + n < total) {
            progress(context, b + n, total, lossSum / double(b + n));
            while (nextReport <= b + n) nextReport += std::max<size_t>(1, total / 10);
        }
    }
    return total > 0 ? lossSum / double(total) : 0.0;
}

// Statistics of a network given as output(record) (in pawns, unmirrored)
// over every position of `data`, summed in SLICES fixed parts so that the
// thread count changes nothing.
template <class Output>
Stats statistics(const std::vector<PackedRecord> &data, const Loss &loss, int threads, Output output) {
    struct Sums {
        double loss, mae, sx, sy, sxx, syy, sxy;
    };
    Sums parts[SLICES] = {};
    const size_t total = data.size();
    const float k = 100.0f / loss.scale;
    Pool pool(threads);
    pool.run([&](int first) {
        for (int s = first; s < SLICES; s += pool.size) {
            Sums sum{};
            for (size_t i = total * s / SLICES; i < total * (s + 1) / SLICES; ++i) {
                const float out = output(data[i]);
                const float diff = 1.0f / (1.0f + std::exp(-k * out)) - target(data[i], loss);
                sum.loss += double(diff) * diff;
                const double cp = 100.0 * out, label = clippedScore(data[i], loss);
                sum.mae += std::fabs(cp - label);
                sum.sx += cp, sum.sy += label, sum.sxx += cp * cp, sum.syy += label * label, sum.sxy += cp * label;
            }
            parts[s] = sum;
        }
    });
    Sums all{};
    for (const Sums &p : parts) {
        all.loss += p.loss, all.mae += p.mae, all.sx += p.sx, all.sy += p.sy;
        all.sxx += p.sxx, all.syy += p.syy, all.sxy += p.sxy;
    }
    if (total == 0) return {0.0, 0.0, 0.0};
    const double n = double(total);
    const double cov = all.sxy / n - (all.sx / n) * (all.sy / n);
    const double vx = all.sxx / n - (all.sx / n) * (all.sx / n), vy = all.syy / n - (all.sy / n) * (all.sy / n);
    return {all.loss / n, all.mae / n, cov / std::sqrt(vx * vy + 1e-30)};
}

// Statistics of the network on every position of `data`, unmirrored, over
// `threads` threads; the same for any thread count.
Stats evaluate(const Params &net, const std::vector<PackedRecord> &data, const Loss &loss, int threads);

// ------------------------------------------------------------------- files --

// network.txt in the engine's text order: one value a line, the two hidden
// weight blocks listed input by input.  Written to path + ".tmp" and renamed,
// so an interrupted write never leaves a partial file under `path`.
bool writeNetwork(const Params &net, const char *path);
// Reads that text form back (to resume from a checkpoint).
bool readNetwork(Params &net, const char *path);

}  // namespace trainer
