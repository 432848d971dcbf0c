// The trainer's generation-0.8 mode (see trainer_king.h).
#include "tools/trainer_king.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdio>
#include <cstring>

namespace trainer {

constexpr int HALF = ACCUMULATOR_SIZE;
constexpr int H1 = HIDDEN1_SIZE;
constexpr int H2 = HIDDEN2_SIZE;

static inline float clip(float v) { return v < 1.0f ? (v > 0.0f ? v : 0.0f) : 1.0f; }
static inline bool passes(float v) { return v > 0.0f && v < 1.0f; }  // where the clip's slope is 1
static float sigmoid(float v) { return 1.0f / (1.0f + std::exp(-v)); }

// The dense part (factor rows to output bias) as one run of values.
static float *denseValues(KingParams &p) {
    return reinterpret_cast<float *>(reinterpret_cast<char *>(&p) + offsetof(KingParams, shared_weights));
}
// The optional factors as one run of values.
static float *factorValues(KingParams &p) { return &p.king_piece_weights[0][0]; }

void extractKingFeatures(const PackedRecord &r, bool mirror, KingFeatures &f) {
    int squares[32], codes[32];
    const int n = recordPieces(r, squares, codes);
    const int flip = mirror ? 7 : 0;
    int kings[2] = {0, 0};
    for (int k = 0; k < n; ++k)
        if ((codes[k] & 7) == KING) kings[codes[k] >> 3] = squares[k] ^ flip;
    const int stm = (r.flags & RECORD_WHITE_TO_MOVE) ? 0 : 1;  // perspective of the side to move
    f.count = 0;
    for (int k = 0; k < n; ++k) {
        const int type = codes[k] & 7, colour = codes[k] >> 3, square = squares[k] ^ flip;
        if (type == KING) continue;
        for (int side = 0; side < 2; ++side) {
            const int perspective = side == 0 ? stm : 1 - stm;
            const int king = kings[perspective == 0 ? WHITE : BLACK];
            f.rows[side][f.count] = uint16_t(kingFeatureRow(perspective, king, colour, type, square));
        }
        ++f.count;
    }
}

void initialise(KingParams &net, Random &rng) {
    memset(&net, 0, sizeof net);
    // The king rows start at zero: at first every king square shares the factor.
    for (auto &row : net.shared_weights)
        for (float &v : row) v = rng.uniform(0.08f);
    initialiseLayers(net, rng, 0.1f);
}

float forward(const KingParams &net, const KingFeatures &f, KingWork &w) {
    for (int side = 0; side < 2; ++side) {
        float *acc = w.acc[side];
        memcpy(acc, net.feature_biases, sizeof net.feature_biases);
        for (int k = 0; k < f.count; ++k) {
            const int r = f.rows[side][k];
            const float *kr = net.king_weights[r], *sr = net.shared_weights[r % PIECE_SQUARES];
            const float *kp = net.king_piece_weights[kingPieceRow(r)], *of = net.offset_weights[offsetRow(r)];
            for (int h = 0; h < HALF; ++h) acc[h] += kr[h] + sr[h] + kp[h] + of[h];
        }
        for (int h = 0; h < HALF; ++h) w.x[side * HALF + h] = clip(acc[h]);
    }
    for (int o = 0; o < H1; ++o) w.y[o] = clip(dot<2 * HALF>(net.hidden1_weights[o], w.x) + net.hidden1_biases[o]);
    for (int o = 0; o < H2; ++o) w.z[o] = clip(dot<H1>(net.hidden2_weights[o], w.y) + net.hidden2_biases[o]);
    w.out = dot<H2>(net.output_weights, w.z) + net.output_bias;
    return w.out;
}

KingGradient::KingGradient() : g(new KingParams), marked(KING_FEATURE_COUNT, 0) {
    memset(g.get(), 0, sizeof(KingParams));
}

void KingGradient::clear() {
    for (uint16_t r : touched) marked[r] = 0;
    touched.clear();
    memset(denseValues(*g), 0, sizeof(float) * size_t(KING_DENSE_VALUES));
    if (factors) memset(factorValues(*g), 0, sizeof(float) * size_t(KING_FACTOR_VALUES));
}

float *KingGradient::row(int r) {
    if (!marked[r]) {
        marked[r] = 1;
        touched.push_back(uint16_t(r));
        memset(g->king_weights[r], 0, sizeof g->king_weights[r]);
    }
    return g->king_weights[r];
}

void backward(const KingParams &net, const KingFeatures &f, const KingWork &w, float g, KingGradient &grad) {
    KingParams &d = *grad.g;
    float dz[H2], dy[H1] = {}, dx[2 * HALF] = {};
    d.output_bias += g;
    for (int i = 0; i < H2; ++i) {
        d.output_weights[i] += g * w.z[i];
        dz[i] = passes(w.z[i]) ? g * net.output_weights[i] : 0.0f;
    }
    for (int o = 0; o < H2; ++o) {
        if (dz[o] == 0.0f) continue;
        d.hidden2_biases[o] += dz[o];
        for (int i = 0; i < H1; ++i) {
            d.hidden2_weights[o][i] += dz[o] * w.y[i];
            dy[i] += dz[o] * net.hidden2_weights[o][i];
        }
    }
    for (int o = 0; o < H1; ++o) {
        const float dd = passes(w.y[o]) ? dy[o] : 0.0f;
        if (dd == 0.0f) continue;
        d.hidden1_biases[o] += dd;
        float *gr = d.hidden1_weights[o];
        const float *wr = net.hidden1_weights[o];
        for (int i = 0; i < 2 * HALF; ++i) {
            gr[i] += dd * w.x[i];
            dx[i] += dd * wr[i];
        }
    }
    for (int side = 0; side < 2; ++side) {
        float da[HALF];
        for (int h = 0; h < HALF; ++h) da[h] = passes(w.acc[side][h]) ? dx[side * HALF + h] : 0.0f;
        for (int h = 0; h < HALF; ++h) d.feature_biases[h] += da[h];
        for (int k = 0; k < f.count; ++k) {
            const int r = f.rows[side][k];
            float *kr = grad.row(r), *sr = d.shared_weights[r % PIECE_SQUARES];
            for (int h = 0; h < HALF; ++h) kr[h] += da[h], sr[h] += da[h];
            if (!grad.factors) continue;
            float *kp = d.king_piece_weights[kingPieceRow(r)], *of = d.offset_weights[offsetRow(r)];
            for (int h = 0; h < HALF; ++h) kp[h] += da[h], of[h] += da[h];
        }
    }
}

// ---------------------------------------------------------------- training --

void setUp(KingTrainer &t, KingParams &net) {
    t.net = &net;
    t.grads.clear();
    t.grads.resize(SLICES);
    for (KingGradient &g : t.grads) g.factors = t.factors;
    t.m.reset(new KingParams);
    t.v.reset(new KingParams);
    memset(t.m.get(), 0, sizeof(KingParams));
    memset(t.v.get(), 0, sizeof(KingParams));
    t.step = 0;
}

static Pool &poolOf(KingTrainer &t) {
    if (!t.pool || t.pool->size != std::clamp(t.threads, 1, SLICES)) t.pool = std::make_unique<Pool>(t.threads);
    return *t.pool;
}

double batchGradient(KingTrainer &t, const std::vector<PackedRecord> &data, const uint32_t *order,
                     const uint8_t *flips, size_t count) {
    const KingParams &net = *t.net;
    const float inv = 1.0f / float(count);
    const float k = 100.0f / t.loss.scale;
    double slice_loss[SLICES] = {};
    Pool &pool = poolOf(t);
    pool.run([&](int first) {
        for (int s = first; s < SLICES; s += pool.size) {
            KingGradient &grad = t.grads[s];
            grad.clear();
            KingFeatures f;
            KingWork w;
            double sum = 0.0;
            for (size_t i = count * s / SLICES; i < count * (s + 1) / SLICES; ++i) {
                const PackedRecord &r = data[order[i]];
                extractKingFeatures(r, flips[i] != 0, f);
                const float p = sigmoid(k * forward(net, f, w));
                const float diff = p - target(r, t.loss);
                sum += double(diff) * diff;
                backward(net, f, w, 2.0f * diff * p * (1.0f - p) * k * inv, grad);
            }
            slice_loss[s] = sum;
        }
    });
    // Sum into slice 0 in slice order: the dense part element-wise, the king
    // rows row by row.
    KingGradient &total = t.grads[0];
    float *dense = denseValues(*total.g);
    for (int s = 1; s < SLICES; ++s) {
        const KingGradient &part = t.grads[s];
        const float *pd = denseValues(*part.g);
        for (int i = 0; i < KING_DENSE_VALUES; ++i) dense[i] += pd[i];
        if (t.factors) {
            float *factor = factorValues(*total.g);
            const float *pf = factorValues(*part.g);
            for (int i = 0; i < KING_FACTOR_VALUES; ++i) factor[i] += pf[i];
        }
        for (uint16_t r : part.touched) {
            float *to = total.row(r);
            const float *from = part.g->king_weights[r];
            for (int h = 0; h < HALF; ++h) to[h] += from[h];
        }
    }
    double loss = 0.0;
    for (double v : slice_loss) loss += v;
    return loss / double(count);
}

void adamStep(KingTrainer &t, float lr) {
    const float beta1 = 0.9f, beta2 = 0.999f, eps = 1e-8f;
    ++t.step;
    const float c1 = 1.0f / (1.0f - std::pow(beta1, float(t.step)));
    const float c2 = 1.0f / (1.0f - std::pow(beta2, float(t.step)));
    const float decay = t.decay;
    auto update = [&](float &p, float &m, float &v, float g, float rate) {
        m = beta1 * m + (1.0f - beta1) * g;
        v = beta2 * v + (1.0f - beta2) * g * g;
        p -= rate * ((m * c1) / (std::sqrt(v * c2) + eps) + decay * p);
    };
    KingGradient &grad = t.grads[0];
    const float *g = denseValues(*grad.g);
    float *p = denseValues(*t.net), *m = denseValues(*t.m), *v = denseValues(*t.v);
    for (int i = 0; i < KING_DENSE_VALUES; ++i) update(p[i], m[i], v[i], g[i], lr);
    if (t.factors) {
        const float *gf = factorValues(*grad.g);
        float *pf = factorValues(*t.net), *mf = factorValues(*t.m), *vf = factorValues(*t.v);
        for (int i = 0; i < KING_FACTOR_VALUES; ++i) update(pf[i], mf[i], vf[i], gf[i], lr);
    }
    const float row_lr = lr * t.row_lr_scale;
    for (uint16_t r : grad.touched) {
        float *pr = t.net->king_weights[r], *mr = t.m->king_weights[r], *vr = t.v->king_weights[r];
        const float *gr = grad.g->king_weights[r];
        for (int h = 0; h < HALF; ++h) update(pr[h], mr[h], vr[h], gr[h], row_lr);
    }
}

double trainEpoch(KingTrainer &t, const std::vector<PackedRecord> &data, std::vector<uint32_t> &order, float lr,
                  Progress progress, void *context) {
    return runEpoch(t, data, order, lr, progress, context);
}

Stats evaluate(const KingParams &net, const std::vector<PackedRecord> &data, const Loss &loss, int threads) {
    return statistics(data, loss, threads, [&](const PackedRecord &r) {
        KingFeatures f;
        KingWork w;
        extractKingFeatures(r, false, f);
        return forward(net, f, w);
    });
}

// ------------------------------------------------------------------- files --

void foldNetwork(const KingParams &net, KingNetwork &out) {
    for (int r = 0; r < KING_FEATURE_COUNT; ++r)
        for (int h = 0; h < HALF; ++h)
            out.feature_weights[r][h] =
                std::clamp(net.king_weights[r][h] + net.shared_weights[r % PIECE_SQUARES][h] +
                               net.king_piece_weights[kingPieceRow(r)][h] + net.offset_weights[offsetRow(r)][h],
                           -QUANT_LIMIT, QUANT_LIMIT);
    memcpy(out.feature_biases, net.feature_biases, KING_TAIL_BYTES);
}

bool writeNetwork(const KingParams &net, const char *path) {
    std::unique_ptr<KingNetwork> folded(new KingNetwork);
    foldNetwork(net, *folded);
    char reason[REASON_SIZE];
    if (writeKingNetwork(*folded, path, reason) == 0) return true;
    fprintf(stderr, "trainer: %s\n", reason);
    return false;
}

bool readNetwork(KingParams &net, const char *path) {
    // The engine's loader fills its own record; take the rows from there.
    char reason[REASON_SIZE];
    FILE *exists = fopen(path, "rb");
    if (exists == nullptr) return false;  // no conversion from a text file here
    fclose(exists);
    if (loadKingNetwork(path, reason) != 0) {
        fprintf(stderr, "trainer: %s\n", reason);
        return false;
    }
    memcpy(net.king_weights, king_network.feature_weights, sizeof net.king_weights);
    memset(net.shared_weights, 0, sizeof net.shared_weights);
    memset(net.king_piece_weights, 0, sizeof net.king_piece_weights);
    memset(net.offset_weights, 0, sizeof net.offset_weights);
    memcpy(net.feature_biases, king_network.feature_biases, KING_TAIL_BYTES);
    return true;
}

}  // namespace trainer
