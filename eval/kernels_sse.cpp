// Portable 128-bit SSE2 kernels: 4 floats per vector.  Built with
// contraction off, so every product is rounded before it is added and the
// summation order below is exactly what runs.
//
// Dot products of the first hidden layer (256 inputs): four partial sums,
// input i going to lane i mod 4, each accumulated over the 64 chunks of 4 in
// input order (multiply, then add).  The 32-input layers form the eight
// 4-lane products q0..q7 (inputs 0-3, 4-7, ..., 28-31) and combine them as a
// balanced tree in input order:
//     ((q0 + q1) + (q2 + q3)) + ((q4 + q5) + (q6 + q7)).
// Either way the 4 lanes are then reduced as (0 + 2) and (1 + 3), then those
// two, and the bias is added last.
//
// Weight rows are 32-byte aligned (the Network's layout); accumulator halves
// are loaded without assuming alignment.
#include <emmintrin.h>

#include "eval/kernels.h"
#include "eval/network.h"

void kernelAddRow(float *acc, const float *row) {
    for (int i = 0; i < ACCUMULATOR_SIZE; i += 4) {
        _mm_storeu_ps(acc + i, _mm_add_ps(_mm_loadu_ps(acc + i), _mm_load_ps(row + i)));
    }
}

void kernelAddSub(float *dst, const float *src, const float *add, const float *sub) {
    for (int i = 0; i < ACCUMULATOR_SIZE; i += 4) {
        const __m128 sum = _mm_add_ps(_mm_loadu_ps(src + i), _mm_load_ps(add + i));
        _mm_storeu_ps(dst + i, _mm_sub_ps(sum, _mm_load_ps(sub + i)));
    }
}

void kernelSubRow(float *acc, const float *row) {
    for (int i = 0; i < ACCUMULATOR_SIZE; i += 4) {
        _mm_storeu_ps(acc + i, _mm_sub_ps(_mm_loadu_ps(acc + i), _mm_load_ps(row + i)));
    }
}

// Finishes four dot products at once: for each of the four lane sums s,
// (s0 + s2) + (s1 + s3), returned in the lane of its neuron.
static inline __m128 finishFour(__m128 s0, __m128 s1, __m128 s2, __m128 s3) {
    // a = (s0[0]+s0[2], s1[0]+s1[2], s0[1]+s0[3], s1[1]+s1[3]), b likewise for s2, s3.
    const __m128 a = _mm_add_ps(_mm_unpacklo_ps(s0, s1), _mm_unpackhi_ps(s0, s1));
    const __m128 b = _mm_add_ps(_mm_unpacklo_ps(s2, s3), _mm_unpackhi_ps(s2, s3));
    return _mm_add_ps(_mm_movelh_ps(a, b), _mm_movehl_ps(b, a));
}

static inline __m128 product(const float *w, const float *x, int k) {
    return _mm_mul_ps(_mm_load_ps(w + 4 * k), _mm_load_ps(x + 4 * k));
}

// The product combination of a 32-input dot product, before the lane reduction.
static inline __m128 dot32(const float *w, const float *x) {
    const __m128 low = _mm_add_ps(_mm_add_ps(product(w, x, 0), product(w, x, 1)),
                                  _mm_add_ps(product(w, x, 2), product(w, x, 3)));
    const __m128 high = _mm_add_ps(_mm_add_ps(product(w, x, 4), product(w, x, 5)),
                                   _mm_add_ps(product(w, x, 6), product(w, x, 7)));
    return _mm_add_ps(low, high);
}

float kernelForward(const Network &net, const float *us, const float *them) {
    constexpr int INPUTS = 2 * ACCUMULATOR_SIZE;
    alignas(16) float x[INPUTS];
    alignas(16) float y[HIDDEN1_SIZE];
    alignas(16) float z[HIDDEN2_SIZE];
    const __m128 zero = _mm_setzero_ps();

    for (int j = 0; j < ACCUMULATOR_SIZE; j += 4) {
        _mm_store_ps(x + j, _mm_max_ps(_mm_loadu_ps(us + j), zero));
        _mm_store_ps(x + ACCUMULATOR_SIZE + j, _mm_max_ps(_mm_loadu_ps(them + j), zero));
    }

    // First hidden layer, four neurons at a time so that their independent
    // sums overlap; each neuron's own order is unchanged.
    for (int o = 0; o < HIDDEN1_SIZE; o += 4) {
        const float *w0 = net.hidden1_weights[o];
        const float *w1 = net.hidden1_weights[o + 1];
        const float *w2 = net.hidden1_weights[o + 2];
        const float *w3 = net.hidden1_weights[o + 3];
        __m128 s0 = zero, s1 = zero, s2 = zero, s3 = zero;
        for (int c = 0; c < INPUTS; c += 4) {
            const __m128 in = _mm_load_ps(x + c);
            s0 = _mm_add_ps(s0, _mm_mul_ps(_mm_load_ps(w0 + c), in));
            s1 = _mm_add_ps(s1, _mm_mul_ps(_mm_load_ps(w1 + c), in));
            s2 = _mm_add_ps(s2, _mm_mul_ps(_mm_load_ps(w2 + c), in));
            s3 = _mm_add_ps(s3, _mm_mul_ps(_mm_load_ps(w3 + c), in));
        }
        const __m128 out = _mm_add_ps(finishFour(s0, s1, s2, s3), _mm_load_ps(net.hidden1_biases + o));
        _mm_store_ps(y + o, _mm_max_ps(out, zero));
    }

    for (int o = 0; o < HIDDEN2_SIZE; o += 4) {
        const __m128 sums = finishFour(dot32(net.hidden2_weights[o], y), dot32(net.hidden2_weights[o + 1], y),
                                       dot32(net.hidden2_weights[o + 2], y), dot32(net.hidden2_weights[o + 3], y));
        const __m128 out = _mm_add_ps(sums, _mm_load_ps(net.hidden2_biases + o));
        _mm_store_ps(z + o, _mm_max_ps(out, zero));
    }

    const __m128 s = dot32(net.output_weights, z);
    const __m128 u = _mm_add_ps(s, _mm_movehl_ps(s, s));      // (s0 + s2), (s1 + s3)
    const __m128 v = _mm_add_ss(u, _mm_shuffle_ps(u, u, 1));  // those two
    return _mm_cvtss_f32(v) + net.output_bias;
}

const char *kernelName() { return "sse"; }
