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

#include <bit>
#include <cstdint>

#include "eval/bit_transpose.h"
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
    alignas(8) uint8_t active[INPUTS / 8];  // bit l of byte c: input 8c + l is not zero
    const __m256 zero8 = _mm256_setzero_ps();
    for (int j = 0; j < ACCUMULATOR_SIZE; j += 8) {
        const __m256 own = clip8(_mm256_loadu_ps(us + j)), other = clip8(_mm256_loadu_ps(them + j));
        _mm256_store_ps(x + j, own);
        _mm256_store_ps(x + ACCUMULATOR_SIZE + j, other);
        active[j / 8] = static_cast<uint8_t>(_mm256_movemask_ps(_mm256_cmp_ps(own, zero8, _CMP_GT_OQ)));
        active[(ACCUMULATOR_SIZE + j) / 8] =
            static_cast<uint8_t>(_mm256_movemask_ps(_mm256_cmp_ps(other, zero8, _CMP_GT_OQ)));
    }
    uint32_t lane_inputs[8];
    laneMasks8(active, lane_inputs);

    // Lane l's partial sums of all 32 neurons: input 8k + l adds its column
    // of weights times its value, for the active k in increasing order.
    static_assert(HIDDEN1_SIZE == 32);
    alignas(32) float partial[8][HIDDEN1_SIZE];
    for (int l = 0; l < 8; ++l) {
        __m256 s0 = zero8, s1 = zero8, s2 = zero8, s3 = zero8;
        const float *x_l = x + l;
        const float *column_l = columns.hidden1_weights[l];
        for (uint64_t bits = lane_inputs[l]; bits != 0; bits &= bits - 1) {
            const uint64_t step = 8 * static_cast<uint64_t>(std::countr_zero(bits));
            const __m256 in = _mm256_broadcast_ss(x_l + step);
            const float *w = column_l + step * HIDDEN1_SIZE;
            s0 = _mm256_fmadd_ps(_mm256_load_ps(w), in, s0);
            s1 = _mm256_fmadd_ps(_mm256_load_ps(w + 8), in, s1);
            s2 = _mm256_fmadd_ps(_mm256_load_ps(w + 16), in, s2);
            s3 = _mm256_fmadd_ps(_mm256_load_ps(w + 24), in, s3);
        }
        _mm256_store_ps(partial[l], s0);
        _mm256_store_ps(partial[l] + 8, s1);
        _mm256_store_ps(partial[l] + 16, s2);
        _mm256_store_ps(partial[l] + 24, s3);
    }
    // The lane reduction, eight neurons per vector, as reduce8 does it; then
    // the bias and the clip.
    for (int o = 0; o < HIDDEN1_SIZE; o += 8) {
        __m256 t[4];
        for (int l = 0; l < 4; ++l)
            t[l] = _mm256_add_ps(_mm256_load_ps(partial[l] + o), _mm256_load_ps(partial[l + 4] + o));
        const __m256 sum = _mm256_add_ps(_mm256_add_ps(t[0], t[2]), _mm256_add_ps(t[1], t[3]));
        _mm256_store_ps(y + o, clip8(_mm256_add_ps(sum, _mm256_load_ps(net.hidden1_biases + o))));
    }
    // The second layer's sums one by one, then bias and clip eight at a time.
    static_assert(HIDDEN2_SIZE % 8 == 0);
    for (int o = 0; o < HIDDEN2_SIZE; o++) z[o] = dot(net.hidden2_weights[o], y, HIDDEN1_SIZE);
    for (int o = 0; o < HIDDEN2_SIZE; o += 8)
        _mm256_store_ps(z + o, clip8(_mm256_add_ps(_mm256_load_ps(z + o), _mm256_load_ps(net.hidden2_biases + o))));
    return dot(net.output_weights, z, HIDDEN2_SIZE) + net.output_bias;
}
