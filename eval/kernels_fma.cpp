// Generation 0.8's forward pass: 8-lane AVX vectors with fused multiply-add,
// every rectifier clipped to [0, 1].
//
// Each dot product keeps 8 partial sums (input i in lane i mod 8), each
// accumulated with one fused multiply-add per chunk of 8 in input order;
// the lanes are then reduced as lane l + lane l+4, then (0 + 2) and (1 + 3),
// then those two, and the bias is added last.  The tests hold a scalar
// reference that sums in exactly this order.
#include <immintrin.h>

#include "eval/kernels.h"
#include "eval/network_king.h"

static inline float reduce8(__m256 s) {
    const __m128 t = _mm_add_ps(_mm256_castps256_ps128(s), _mm256_extractf128_ps(s, 1));  // l + (l+4)
    const __m128 u = _mm_add_ps(t, _mm_movehl_ps(t, t));                                  // (0+2), (1+3)
    return _mm_cvtss_f32(_mm_add_ss(u, _mm_shuffle_ps(u, u, 1)));
}

// min(value, 1), then max(., 0): -0 becomes +0 and NaN becomes 1, in both forms.
static inline __m256 clip8(__m256 v) {
    return _mm256_max_ps(_mm256_min_ps(v, _mm256_set1_ps(1.0f)), _mm256_setzero_ps());
}
static inline float clip1(float v) { return v < 1.0f ? (v > 0.0f ? v : 0.0f) : 1.0f; }

static inline float dot(const float *w, const float *x, int n) {
    __m256 s = _mm256_setzero_ps();
    for (int i = 0; i < n; i += 8) s = _mm256_fmadd_ps(_mm256_load_ps(w + i), _mm256_load_ps(x + i), s);
    return reduce8(s);
}

// Four dot products over the same inputs at once.  Each output keeps its own
// partial sums, formed exactly as dot() forms them; the four independent
// multiply-add chains hide the instruction latency that one chain waits on.
static inline void dot4(const float (*w)[2 * ACCUMULATOR_SIZE], const float *x, int n, float out[4]) {
    __m256 s0 = _mm256_setzero_ps(), s1 = s0, s2 = s0, s3 = s0;
    for (int i = 0; i < n; i += 8) {
        const __m256 xi = _mm256_load_ps(x + i);
        s0 = _mm256_fmadd_ps(_mm256_load_ps(w[0] + i), xi, s0);
        s1 = _mm256_fmadd_ps(_mm256_load_ps(w[1] + i), xi, s1);
        s2 = _mm256_fmadd_ps(_mm256_load_ps(w[2] + i), xi, s2);
        s3 = _mm256_fmadd_ps(_mm256_load_ps(w[3] + i), xi, s3);
    }
    out[0] = reduce8(s0), out[1] = reduce8(s1), out[2] = reduce8(s2), out[3] = reduce8(s3);
}

float kernelForwardClipped(const KingNetwork &net, const float *us, const float *them) {
    alignas(32) float x[2 * ACCUMULATOR_SIZE];
    alignas(32) float y[HIDDEN1_SIZE];
    alignas(32) float z[HIDDEN2_SIZE];
    for (int j = 0; j < ACCUMULATOR_SIZE; j += 8) {
        _mm256_store_ps(x + j, clip8(_mm256_loadu_ps(us + j)));
        _mm256_store_ps(x + ACCUMULATOR_SIZE + j, clip8(_mm256_loadu_ps(them + j)));
    }
    static_assert(HIDDEN1_SIZE % 4 == 0);
    for (int o = 0; o < HIDDEN1_SIZE; o += 4) {
        float sums[4];
        dot4(&net.hidden1_weights[o], x, 2 * ACCUMULATOR_SIZE, sums);
        for (int k = 0; k < 4; k++) y[o + k] = clip1(sums[k] + net.hidden1_biases[o + k]);
    }
    for (int o = 0; o < HIDDEN2_SIZE; o++) z[o] = clip1(dot(net.hidden2_weights[o], y, HIDDEN1_SIZE) + net.hidden2_biases[o]);
    return dot(net.output_weights, z, HIDDEN2_SIZE) + net.output_bias;
}
