// The trainer's record loaders, network passes, threaded minibatch gradients, Adam,
// statistics and network files (see trainer_core.h).
#include "tools/trainer_core.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

namespace trainer {

constexpr int HALF = ACCUMULATOR_SIZE;
constexpr int H1 = HIDDEN1_SIZE;
constexpr int H2 = HIDDEN2_SIZE;

// ----------------------------------------------------------------- records --

bool recordFromText(const char *line, PackedRecord &record) {
    const char *semi = strchr(line, ';');
    if (semi == nullptr) return false;
    // The FEN's fields, the missing trailing ones filled in, so that the
    // shared reader sees a whole six-field FEN.
    char fen[256];
    const size_t length = size_t(semi - line);
    if (length >= sizeof fen) return false;
    memcpy(fen, line, length);
    fen[length] = '\0';
    static const char *const DEFAULTS[6] = {"", "", "-", "-", "0", "1"};
    std::string whole;
    const char *p = fen;
    for (int field = 0; field < 6; ++field) {
        while (*p == ' ' || *p == '\t') ++p;
        const char *begin = p;
        while (*p && *p != ' ' && *p != '\t' && *p != '\r' && *p != '\n') ++p;
        if (p == begin && field < 2) return false;  // the placement and the side to move are needed
        if (field) whole += ' ';
        if (p == begin)
            whole += DEFAULTS[field];
        else
            whole.append(begin, size_t(p - begin));
    }
    if (!fenToRecord(whole.c_str(), record) || recordProblem(record) != nullptr) return false;
    char *end = nullptr;
    const double cp = strtod(semi + 1, &end);
    if (end == semi + 1 || !std::isfinite(cp)) return false;
    record.score = int16_t(std::lround(std::clamp(cp, -32767.0, 32767.0)));
    return true;
}

bool loadText(const char *path, double validShare, DataSets &sets) {
    FILE *in = fopen(path, "r");
    if (in == nullptr) return false;
    std::vector<PackedRecord> all;
    char line[512];
    PackedRecord r;
    while (fgets(line, sizeof line, in)) {
        if (recordFromText(line, r))
            all.push_back(r);
        else
            ++sets.unreadable;
    }
    fclose(in);
    const size_t trainCount = all.size() - size_t(double(all.size()) * validShare);
    sets.train.insert(sets.train.end(), all.begin(), all.begin() + long(trainCount));
    sets.valid.insert(sets.valid.end(), all.begin() + long(trainCount), all.end());
    return true;
}

bool loadRecords(const char *path, int validEvery, DataSets &sets) {
    FILE *in = fopen(path, "rb");
    if (in == nullptr) return false;
    std::vector<PackedRecord> chunk(1 << 16);
    bool toValid = false, first = true;
    size_t got;
    long long bytes = 0;
    while ((got = fread(chunk.data(), 1, chunk.size() * sizeof(PackedRecord), in)) > 0) {
        bytes += (long long)got;
        for (size_t k = 0; k < got / sizeof(PackedRecord); ++k) {
            const PackedRecord &r = chunk[k];
            if (recordProblem(r) != nullptr) {
                ++sets.unreadable;
                continue;
            }
            if (first || (r.flags & RECORD_FIRST_OF_GAME)) {
                toValid = validEvery > 0 && sets.games % size_t(validEvery) == size_t(validEvery - 1);
                ++sets.games;
                sets.validGames += toValid;
                first = false;
            }
            (toValid ? sets.valid : sets.train).push_back(r);
        }
        if (got % sizeof(PackedRecord) != 0) break;  // the end of a file that is not whole records
    }
    fclose(in);
    if (bytes % RECORD_BYTES != 0)
        fprintf(stderr, "trainer: %s: the last %lld bytes are not a whole record and were ignored\n", path,
                bytes % RECORD_BYTES);
    return true;
}

// ---------------------------------------------------------------- features --

// Assumes a record that recordProblem accepts (the loaders check every one).
void extractFeatures(const PackedRecord &r, bool mirror, Features &f) {
    int squares[32], codes[32];
    f.count = recordPieces(r, squares, codes);
    const int stm = (r.flags & RECORD_WHITE_TO_MOVE) ? 0 : 1;
    const int flip = mirror ? 7 : 0;
    for (int k = 0; k < f.count; ++k) {
        const int square = squares[k] ^ flip, colour = codes[k] >> 3, type = codes[k] & 7;
        f.rows[0][k] = uint16_t(featureRow(stm, colour, type, square));
        f.rows[1][k] = uint16_t(featureRow(1 - stm, colour, type, square));
    }
}

// ----------------------------------------------------------------- network --

uint64_t Random::next() {
    uint64_t z = (state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

float Random::uniform(float scale) {
    const double unit = double(next() >> 11) * (1.0 / 9007199254740992.0);  // [0, 1)
    return float((2.0 * unit - 1.0) * scale);
}

void initialise(Params &net, Random &rng) {
    memset(&net, 0, sizeof net);
    for (auto &row : net.feature_weights)
        for (float &v : row) v = rng.uniform(0.12f);
    initialiseLayers(net, rng, 0.05f);
}

float forward(const Params &net, const Features &f, Work &w) {
    for (int side = 0; side < 2; ++side) {
        float *acc = w.acc[side];
        memcpy(acc, net.feature_biases, sizeof net.feature_biases);
        for (int k = 0; k < f.count; ++k) {
            const float *wr = net.feature_weights[f.rows[side][k]];
            for (int h = 0; h < HALF; ++h) acc[h] += wr[h];
        }
        for (int h = 0; h < HALF; ++h) w.x[side * HALF + h] = acc[h] > 0.0f ? acc[h] : 0.0f;
    }
    for (int o = 0; o < H1; ++o) {
        const float sum = dot<2 * HALF>(net.hidden1_weights[o], w.x) + net.hidden1_biases[o];
        w.y[o] = sum > 0.0f ? sum : 0.0f;
    }
    for (int o = 0; o < H2; ++o) {
        const float sum = dot<H1>(net.hidden2_weights[o], w.y) + net.hidden2_biases[o];
        w.z[o] = sum > 0.0f ? sum : 0.0f;
    }
    w.out = dot<H2>(net.output_weights, w.z) + net.output_bias;
    return w.out;
}

void backward(const Params &net, const Features &f, const Work &w, float g, Params &grad) {
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
        for (int k = 0; k < f.count; ++k) {
            float *gr = grad.feature_weights[f.rows[side][k]];
            for (int h = 0; h < HALF; ++h) gr[h] += da[h];
        }
    }
}

// -------------------------------------------------------------------- loss --

static float sigmoid(float v) { return 1.0f / (1.0f + std::exp(-v)); }

float clippedScore(const PackedRecord &r, const Loss &loss) {
    return std::clamp(float(r.score), -loss.clip, loss.clip);
}

float target(const PackedRecord &r, const Loss &loss) {
    const float fromScore = sigmoid(clippedScore(r, loss) / loss.scale);
    const float fromResult = 0.5f * float(r.result + 1);
    return (1.0f - loss.blend) * fromScore + loss.blend * fromResult;
}

// ---------------------------------------------------------------- training --

void setUp(Trainer &t, Params &net) {
    t.net = &net;
    t.grads.assign(SLICES, Params{});
    t.adam.assign(2, Params{});
    t.step = 0;
}

Pool::Pool(int threads) : size(std::clamp(threads, 1, SLICES)) {
    for (int i = 1; i < size; ++i) {
        helpers.emplace_back([this, i] {
            uint64_t seen = 0;
            for (;;) {
                std::unique_lock<std::mutex> lock(mutex);
                wake.wait(lock, [&] { return stop || round != seen; });
                if (stop) return;
                seen = round;
                lock.unlock();
                job(i);
                lock.lock();
                if (--running == 0) finished.notify_one();
            }
        });
    }
}

Pool::~Pool() {
    {
        std::lock_guard<std::mutex> lock(mutex);
        stop = true;
    }
    wake.notify_all();
    for (std::thread &h : helpers) h.join();
}

void Pool::run(const std::function<void(int)> &work) {
    if (size == 1) {
        work(0);
        return;
    }
    {
        std::lock_guard<std::mutex> lock(mutex);
        job = work;
        running = size - 1;
        ++round;
    }
    wake.notify_all();
    work(0);
    std::unique_lock<std::mutex> lock(mutex);
    finished.wait(lock, [&] { return running == 0; });
}

static Pool &poolOf(Trainer &t) {
    if (!t.pool || t.pool->size != std::clamp(t.threads, 1, SLICES)) t.pool = std::make_unique<Pool>(t.threads);
    return *t.pool;
}

// Runs work(slice) for every slice, the slices shared round-robin among the
// pool's threads.
template <class Job>
static void forEachSlice(Pool &pool, Job work) {
    pool.run([&](int first) {
        for (int s = first; s < SLICES; s += pool.size) work(s);
    });
}

// Runs work(begin, end) on the pool's threads over contiguous parts of
// 0 .. count, for element-wise work whose result does not depend on the cut.
template <class Job>
static void forEachPart(Pool &pool, int count, Job work) {
    pool.run([&](int part) { work(count * part / pool.size, count * (part + 1) / pool.size); });
}

double batchGradient(Trainer &t, const std::vector<PackedRecord> &data, const uint32_t *order, const uint8_t *flips,
                     size_t count) {
    const Params &net = *t.net;
    const float inv = 1.0f / float(count);
    const float k = 100.0f / t.loss.scale;
    double sliceLoss[SLICES] = {};
    Pool &pool = poolOf(t);
    forEachSlice(pool, [&](int s) {
        Params &grad = t.grads[s];
        memset(&grad, 0, sizeof grad);
        Features f;
        Work w;
        double sum = 0.0;
        for (size_t i = count * s / SLICES; i < count * (s + 1) / SLICES; ++i) {
            const PackedRecord &r = data[order[i]];
            extractFeatures(r, flips[i] != 0, f);
            const float p = sigmoid(k * forward(net, f, w));
            const float diff = p - target(r, t.loss);
            sum += double(diff) * diff;
            backward(net, f, w, 2.0f * diff * p * (1.0f - p) * k * inv, grad);
        }
        sliceLoss[s] = sum;
    });
    forEachPart(pool, PARAM_COUNT, [&](int begin, int end) {
        float *total = values(t.grads[0]);
        for (int s = 1; s < SLICES; ++s) {
            const float *part = values(t.grads[s]);
            for (int i = begin; i < end; ++i) total[i] += part[i];
        }
    });
    double loss = 0.0;
    for (double v : sliceLoss) loss += v;
    return loss / double(count);
}

void adamStep(Trainer &t, float lr) {
    const float beta1 = 0.9f, beta2 = 0.999f, eps = 1e-8f;
    ++t.step;
    const float c1 = 1.0f / (1.0f - std::pow(beta1, float(t.step)));
    const float c2 = 1.0f / (1.0f - std::pow(beta2, float(t.step)));
    float *p = values(*t.net);
    const float *gp = values(t.grads[0]);
    float *m = values(t.adam[0]);
    float *v = values(t.adam[1]);
    const float decay = t.decay;
    forEachPart(poolOf(t), PARAM_COUNT, [&](int begin, int end) {
        for (int k = begin; k < end; ++k) {
            const float g = gp[k];
            m[k] = beta1 * m[k] + (1.0f - beta1) * g;
            v[k] = beta2 * v[k] + (1.0f - beta2) * g * g;
            p[k] -= lr * ((m[k] * c1) / (std::sqrt(v[k] * c2) + eps) + decay * p[k]);
        }
    });
}

double trainEpoch(Trainer &t, const std::vector<PackedRecord> &data, std::vector<uint32_t> &order, float lr,
                  Progress progress, void *context) {
    return runEpoch(t, data, order, lr, progress, context);
}

Stats evaluate(const Params &net, const std::vector<PackedRecord> &data, const Loss &loss, int threads) {
    return statistics(data, loss, threads, [&](const PackedRecord &r) {
        Features f;
        Work w;
        extractFeatures(r, false, f);
        return forward(net, f, w);
    });
}

// ------------------------------------------------------------------- files --

// Calls visit(value) on every value of the network in text order.
template <class P, class Visit>
static void visitTextOrder(P &net, Visit visit) {
    for (auto &row : net.feature_weights)
        for (auto &v : row) visit(v);
    for (auto &v : net.feature_biases) visit(v);
    for (int i = 0; i < 2 * HALF; ++i)  // input-major
        for (int o = 0; o < H1; ++o) visit(net.hidden1_weights[o][i]);
    for (auto &v : net.hidden1_biases) visit(v);
    for (int i = 0; i < H1; ++i)  // input-major
        for (int o = 0; o < H2; ++o) visit(net.hidden2_weights[o][i]);
    for (auto &v : net.hidden2_biases) visit(v);
    for (auto &v : net.output_weights) visit(v);
    visit(net.output_bias);
}

bool writeNetwork(const Params &net, const char *path) {
    const std::string temporary = std::string(path) + ".tmp";
    FILE *out = fopen(temporary.c_str(), "w");
    if (out == nullptr) return false;
    bool ok = true;
    // %.9g keeps every float exact through the text form.
    visitTextOrder(net, [&](const float &v) { ok &= fprintf(out, "%.9g\n", double(v)) > 0; });
    ok &= fclose(out) == 0;
    if (ok && rename(temporary.c_str(), path) == 0) return true;
    remove(temporary.c_str());
    return false;
}

bool readNetwork(Params &net, const char *path) {
    FILE *in = fopen(path, "r");
    if (in == nullptr) return false;
    Params *read = new Params{};
    bool ok = true;
    char line[256];
    visitTextOrder(
        *read, [&](float &v) { ok = ok && fgets(line, sizeof line, in) != nullptr && sscanf(line, "%f", &v) == 1; });
    fclose(in);
    if (ok) net = *read;
    delete read;
    return ok;
}

}  // namespace trainer
