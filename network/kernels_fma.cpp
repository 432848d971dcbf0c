// Generation 0.8's forward pass: 8-lane AVX vectors with fused multiply-add,
// every rectifier clipped to [0, 1].
//
// Each dot product keeps 8 partial sums (input i in lane i mod 8), each
// accumulated with one fused multiply-add per chunk of 8 in input order;
// the lanes are then reduced as lane l + lane l+4, then (0 + 2) and (1 + 3),
// then those two, and the bias is added last.  The tests hold a scalar
// reference that sums in exactly this order.
//
// The first hidden layer reads its weights input by input (NetworkColumns)
// and skips the inputs the clip made zero, as generation 0.9's kernels do.
// The result is the same bit for bit: fma(w, +0, s) is s + (+-0) = s, since
// a partial sum starts at +0 and can never become -0; each lane's active
// inputs are still taken in increasing input order.
#include <immintrin.h>

#include "network/kernels.h"
#include "network/kernels_lanes8.h"
#include "network/network_king.h"

static inline float reduce8(__m256 s) {
    const __m128 t = _mm_add_ps(_mm256_castps256_ps128(s), _mm256_extractf128_ps(s, 1));  // l + (l+4)
    const __m128 u = _mm_add_ps(t, _mm_movehl_ps(t, t));                                  // (0+2), (1+3)
    return _mm_cvtss_f32(_mm_add_ss(u, _mm_shuffle_ps(u, u, 1)));
}

// min(value, 1), then max(., 0): -0 becomes +0 and NaN becomes 1, in both forms.
static inline __m256 clip8(__m256 v) {
    return _mm256_max_ps(_mm256_min_ps(v, _mm256_set1_ps(1.0f)), _mm256_setzero_ps());
}

static inline float dot(const float *w, const float *x, int n) {
    __m256 s = _mm256_setzero_ps();
    for (int i = 0; i < n; i += 8) s = _mm256_fmadd_ps(_mm256_load_ps(w + i), _mm256_load_ps(x + i), s);
    return reduce8(s);
}

float kernelForwardClipped(const KingNetwork &net, const NetworkColumns &columns, const float *us, const float *them) {
    constexpr int INPUTS = 2 * ACCUMULATOR_SIZE;
    alignas(32) float x[INPUTS];
    alignas(32) float y[HIDDEN1_SIZE];
    alignas(32) float z[HIDDEN2_SIZE];
    uint32_t lane_inputs[8];
    activateInputs8(us, them, x, lane_inputs, [](__m256 v) { return clip8(v); });

    // First hidden layer (network/kernels_lanes8.h), one fused multiply-add an
    // input; then the bias and the clip.
    alignas(32) float partial[8][HIDDEN1_SIZE];
    laneSums8(x, lane_inputs, columns, partial,
              [](__m256 w, __m256 in, __m256 s) { return _mm256_fmadd_ps(w, in, s); });
    for (int o = 0; o < HIDDEN1_SIZE; o += 8) {
        const __m256 sum = reduceLanes8(partial, o);
        _mm256_store_ps(y + o, clip8(_mm256_add_ps(sum, _mm256_load_ps(net.hidden1_biases + o))));
    }
    // The second layer's sums one by one, then bias and clip eight at a time.
    static_assert(HIDDEN2_SIZE % 8 == 0);
    for (int o = 0; o < HIDDEN2_SIZE; o++) z[o] = dot(net.hidden2_weights[o], y, HIDDEN1_SIZE);
    for (int o = 0; o < HIDDEN2_SIZE; o += 8)
        _mm256_store_ps(z + o, clip8(_mm256_add_ps(_mm256_load_ps(z + o), _mm256_load_ps(net.hidden2_biases + o))));
    return dot(net.output_weights, z, HIDDEN2_SIZE) + net.output_bias;
}
