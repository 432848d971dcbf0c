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
#include <emmintrin.h>

#include <bit>
#include <cstdint>
#include <cstring>

#include "network/bit_transpose.h"
#include "network/kernels.h"
#include "network/network.h"

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

// Regroups the active-input mask by lane.  active[b] bit j is input 8b + j;
// on return bit k of lane_inputs[l] is input 4k + l.
static inline void laneMasks(const uint8_t active[32], uint64_t lane_inputs[4]) {
    __m128i t[4];
    for (int g = 0; g < 4; ++g) {
        // Inputs 64g .. 64g+63 as a 16 x 4 bit matrix [chunk][lane] (bit 4k + l),
        // transposed to 4 x 16 (bit 16l + k) by rotating the position bits.
        uint64_t bits;
        memcpy(&bits, active + 8 * g, sizeof bits);
        bits = swapIndexBits<3, 5>(swapIndexBits<2, 4>(swapIndexBits<1, 3>(swapIndexBits<0, 2>(bits))));
        t[g] = _mm_cvtsi64_si128(static_cast<long long>(bits));
    }
    // Lane l's mask takes 16-bit word l of each group, group 0 lowest.
    const __m128i t01 = _mm_unpacklo_epi16(t[0], t[1]);
    const __m128i t23 = _mm_unpacklo_epi16(t[2], t[3]);
    _mm_storeu_si128(reinterpret_cast<__m128i *>(lane_inputs), _mm_unpacklo_epi32(t01, t23));
    _mm_storeu_si128(reinterpret_cast<__m128i *>(lane_inputs + 2), _mm_unpackhi_epi32(t01, t23));
}

float kernelForward(const Network &net, const NetworkColumns &columns, const float *us, const float *them) {
    constexpr int INPUTS = 2 * ACCUMULATOR_SIZE;
    alignas(16) float x[INPUTS];
    alignas(16) float y[HIDDEN1_SIZE];
    alignas(16) float z[HIDDEN2_SIZE];
    alignas(8) uint8_t active[INPUTS / 8];  // bit j of byte b: input 8b + j is not zero
    const __m128 zero = _mm_setzero_ps();

    // max returns its second operand (+0) for -0 and NaN, so x is +0 or above.
    for (int j = 0; j < ACCUMULATOR_SIZE; j += 8) {
        const __m128 own0 = _mm_max_ps(_mm_loadu_ps(us + j), zero);
        const __m128 own1 = _mm_max_ps(_mm_loadu_ps(us + j + 4), zero);
        const __m128 other0 = _mm_max_ps(_mm_loadu_ps(them + j), zero);
        const __m128 other1 = _mm_max_ps(_mm_loadu_ps(them + j + 4), zero);
        _mm_store_ps(x + j, own0);
        _mm_store_ps(x + j + 4, own1);
        _mm_store_ps(x + ACCUMULATOR_SIZE + j, other0);
        _mm_store_ps(x + ACCUMULATOR_SIZE + j + 4, other1);
        active[j / 8] = static_cast<uint8_t>(_mm_movemask_ps(_mm_cmpgt_ps(own0, zero)) |
                                             _mm_movemask_ps(_mm_cmpgt_ps(own1, zero)) << 4);
        active[(ACCUMULATOR_SIZE + j) / 8] = static_cast<uint8_t>(_mm_movemask_ps(_mm_cmpgt_ps(other0, zero)) |
                                                                  _mm_movemask_ps(_mm_cmpgt_ps(other1, zero)) << 4);
    }
    uint64_t lane_inputs[4];
    laneMasks(active, lane_inputs);

    // First hidden layer, one lane at a time: the partial sum of lane l over
    // inputs l, l + 4, l + 8, ... for all 32 neurons at once, each active
    // input adding its column of weights times its value.  Input 4k + l is
    // read at x_l + 4k, its column 4k columns after column_l.
    alignas(16) float partial[4][HIDDEN1_SIZE];
    for (int l = 0; l < 4; ++l) {
        __m128 s[8];
        for (int k = 0; k < 8; ++k) s[k] = zero;
        const float *x_l = x + l;
        const float *column_l = columns.hidden1_weights[l];
        for (uint64_t bits = lane_inputs[l]; bits != 0; bits &= bits - 1) {
            const uint64_t step = 4 * static_cast<uint64_t>(std::countr_zero(bits));
            const __m128 in = _mm_load1_ps(x_l + step);
            const float *w = column_l + step * HIDDEN1_SIZE;
            for (int k = 0; k < 8; ++k) s[k] = _mm_add_ps(s[k], _mm_mul_ps(_mm_load_ps(w + 4 * k), in));
        }
        for (int k = 0; k < 8; ++k) _mm_store_ps(partial[l] + 4 * k, s[k]);
    }
    // The lane reduction, four neurons per vector: (0 + 2) and (1 + 3), then
    // those two; then the bias.
    for (int o = 0; o < HIDDEN1_SIZE; o += 4) {
        const __m128 even = _mm_add_ps(_mm_load_ps(partial[0] + o), _mm_load_ps(partial[2] + o));
        const __m128 odd = _mm_add_ps(_mm_load_ps(partial[1] + o), _mm_load_ps(partial[3] + o));
        const __m128 out = _mm_add_ps(_mm_add_ps(even, odd), _mm_load_ps(net.hidden1_biases + o));
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
