// 256-bit AVX kernels: 8 floats per vector.  Built without fused
// multiply-add and with contraction off, so every product is rounded before
// it is added and the summation order below is exactly what runs.
//
// Dot products of the first hidden layer (256 inputs): eight partial sums,
// input i going to lane i mod 8, each accumulated over the 32 chunks of 8 in
// input order (multiply, then add).  The 32-input layers form the four 8-lane
// products p0..p3 (inputs 0-7, 8-15, 16-23, 24-31) and combine them as
// (p2 + p3) + (p0 + p1).  Either way the 8 lanes are then reduced as lane l +
// lane l+4 (l = 0..3), then (0 + 2) and (1 + 3), then those two, and the bias
// is added last.
//
// The first hidden layer reads its weights input by input (NetworkColumns)
// and skips the inputs the rectifier made zero.  That changes nothing in the
// result: a skipped term is w * (+0) = +-0, and adding +-0 to a partial sum
// leaves it as it is (partial sums start at +0 and can never become -0, and
// the weights are finite).  Each lane's active inputs are still added in
// increasing input order, so every partial sum is the one the order above
// defines, bit for bit.
//
// Weight rows are 32-byte aligned (the Network's layout); accumulator halves
// are loaded without assuming alignment.
#include <immintrin.h>

#include "network/kernels.h"
#include "network/kernels_lanes8.h"
#include "network/network.h"

void kernelAddRow(float *acc, const float *row) {
    for (int i = 0; i < ACCUMULATOR_SIZE; i += 8) {
        _mm256_storeu_ps(acc + i, _mm256_add_ps(_mm256_loadu_ps(acc + i), _mm256_load_ps(row + i)));
    }
}

void kernelAddSub(float *dst, const float *src, const float *add, const float *sub) {
    for (int i = 0; i < ACCUMULATOR_SIZE; i += 8) {
        const __m256 sum = _mm256_add_ps(_mm256_loadu_ps(src + i), _mm256_load_ps(add + i));
        _mm256_storeu_ps(dst + i, _mm256_sub_ps(sum, _mm256_load_ps(sub + i)));
    }
}

void kernelSubRow(float *acc, const float *row) {
    for (int i = 0; i < ACCUMULATOR_SIZE; i += 8) {
        _mm256_storeu_ps(acc + i, _mm256_sub_ps(_mm256_loadu_ps(acc + i), _mm256_load_ps(row + i)));
    }
}

// Lane l + lane l+4 of an 8-lane sum.
static inline __m128 foldHalves(__m256 s) {
    return _mm_add_ps(_mm256_castps256_ps128(s), _mm256_extractf128_ps(s, 1));
}

// Finishes four dot products at once: for each of the four folded sums t,
// (t0 + t2) + (t1 + t3), returned in the lane of its neuron.
static inline __m128 finishFour(__m128 t0, __m128 t1, __m128 t2, __m128 t3) {
    // a = (t0[0]+t0[2], t1[0]+t1[2], t0[1]+t0[3], t1[1]+t1[3]), b likewise for t2, t3.
    const __m128 a = _mm_add_ps(_mm_unpacklo_ps(t0, t1), _mm_unpackhi_ps(t0, t1));
    const __m128 b = _mm_add_ps(_mm_unpacklo_ps(t2, t3), _mm_unpackhi_ps(t2, t3));
    return _mm_add_ps(_mm_movelh_ps(a, b), _mm_movehl_ps(b, a));
}

// The product combination of a 32-input dot product, before the lane reduction.
static inline __m256 dot32(const float *w, const float *x) {
    const __m256 p0 = _mm256_mul_ps(_mm256_load_ps(w), _mm256_load_ps(x));
    const __m256 p1 = _mm256_mul_ps(_mm256_load_ps(w + 8), _mm256_load_ps(x + 8));
    const __m256 p2 = _mm256_mul_ps(_mm256_load_ps(w + 16), _mm256_load_ps(x + 16));
    const __m256 p3 = _mm256_mul_ps(_mm256_load_ps(w + 24), _mm256_load_ps(x + 24));
    return _mm256_add_ps(_mm256_add_ps(p2, p3), _mm256_add_ps(p0, p1));
}

float kernelForward(const Network &net, const NetworkColumns &columns, const float *us, const float *them) {
    constexpr int INPUTS = 2 * ACCUMULATOR_SIZE;
    alignas(32) float x[INPUTS];
    alignas(32) float y[HIDDEN1_SIZE];
    alignas(32) float z[HIDDEN2_SIZE];
    const __m256 zero8 = _mm256_setzero_ps();
    const __m128 zero4 = _mm_setzero_ps();
    uint32_t lane_inputs[8];
    // max returns its second operand (+0) for -0 and NaN, so x is +0 or above.
    activateInputs8(us, them, x, lane_inputs, [](__m256 v) { return _mm256_max_ps(v, _mm256_setzero_ps()); });

    // First hidden layer (network/kernels_lanes8.h), each product rounded before
    // it is added; then the bias.
    alignas(32) float partial[8][HIDDEN1_SIZE];
    laneSums8(x, lane_inputs, columns, partial,
              [](__m256 w, __m256 in, __m256 s) { return _mm256_add_ps(s, _mm256_mul_ps(w, in)); });
    for (int o = 0; o < HIDDEN1_SIZE; o += 8) {
        const __m256 sum = reduceLanes8(partial, o);
        _mm256_store_ps(y + o, _mm256_max_ps(_mm256_add_ps(sum, _mm256_load_ps(net.hidden1_biases + o)), zero8));
    }

    for (int o = 0; o < HIDDEN2_SIZE; o += 4) {
        const __m128 sums = finishFour(foldHalves(dot32(net.hidden2_weights[o], y)),
                                       foldHalves(dot32(net.hidden2_weights[o + 1], y)),
                                       foldHalves(dot32(net.hidden2_weights[o + 2], y)),
                                       foldHalves(dot32(net.hidden2_weights[o + 3], y)));
        const __m128 out = _mm_add_ps(sums, _mm_load_ps(net.hidden2_biases + o));
        _mm_store_ps(z + o, _mm_max_ps(out, zero4));
    }

    const __m128 t = foldHalves(dot32(net.output_weights, z));
    const __m128 u = _mm_add_ps(t, _mm_movehl_ps(t, t));      // (t0 + t2), (t1 + t3)
    const __m128 v = _mm_add_ss(u, _mm_shuffle_ps(u, u, 1));  // those two
    return _mm_cvtss_f32(v) + net.output_bias;
}

const char *kernelName() { return "avx"; }
