// Timing of the network kernels linked into one program: the forward pass and
// the first-layer refresh and incremental update.
//
//   bench-network-avx --benchmark_min_time=0.2
//
// The weights are random on the scales of tools/random_network.cpp.  The
// forward pass reads a pool of accumulators whose values are drawn so that a
// given share of them is positive (the rest is rectified to zero); the default
// case draws them from a normal distribution around zero, which leaves about
// half of the 256 inputs active, as in real positions.
#include <benchmark/benchmark.h>

#include <cstring>
#include <random>
#include <vector>

#include "network/kernels.h"
#include "network/network.h"

namespace {

// Kings' squares for updateAccumulator (generation 0.9's rows ignore them).
constexpr int KINGS[2] = {60, 4};

void fillUniform(float *values, int count, float scale, std::mt19937 &rng) {
    std::uniform_real_distribution<float> dist(-scale, scale);
    for (int i = 0; i < count; ++i) values[i] = dist(rng);
}

// The process-wide Network filled once with random weights, ready for the kernels.
void randomNetwork() {
    static bool done = false;
    if (done) return;
    done = true;
    std::mt19937 rng(1);
    fillUniform(&network.feature_weights[0][0], FEATURE_COUNT * ACCUMULATOR_SIZE, 0.15f, rng);
    fillUniform(network.feature_biases, ACCUMULATOR_SIZE, 0.10f, rng);
    fillUniform(&network.hidden1_weights[0][0], HIDDEN1_SIZE * 2 * ACCUMULATOR_SIZE, 0.15f, rng);
    fillUniform(network.hidden1_biases, HIDDEN1_SIZE, 0.10f, rng);
    fillUniform(&network.hidden2_weights[0][0], HIDDEN2_SIZE * HIDDEN1_SIZE, 0.45f, rng);
    fillUniform(network.hidden2_biases, HIDDEN2_SIZE, 0.10f, rng);
    fillUniform(network.output_weights, HIDDEN2_SIZE, 1.0f, rng);
    prepareNetwork(network, network_columns);
}

// 64 accumulators (more than the branch predictor can learn) whose values are
// |N(0, 0.5)| with sign chosen so that `positive_percent` of them are active;
// a negative share of -1 draws plain N(0, 0.5) values.
std::vector<Accumulator> accumulatorPool(int positive_percent) {
    std::mt19937 rng(2);
    std::normal_distribution<float> normal(0.0f, 0.5f);
    std::uniform_int_distribution<int> percent(0, 99);
    std::vector<Accumulator> pool(64);
    for (Accumulator &acc : pool) {
        for (float &v : acc.half[0]) {
            v = normal(rng);
            if (positive_percent >= 0) v = (percent(rng) < positive_percent ? 1.0f : -1.0f) * std::abs(v);
        }
        for (float &v : acc.half[1]) {
            v = normal(rng);
            if (positive_percent >= 0) v = (percent(rng) < positive_percent ? 1.0f : -1.0f) * std::abs(v);
        }
    }
    return pool;
}

void BM_Forward(benchmark::State &state) {
    randomNetwork();
    const std::vector<Accumulator> pool = accumulatorPool(static_cast<int>(state.range(0)));
    size_t next = 0;
    for (auto _ : state) {
        const Accumulator &acc = pool[next];
        next = (next + 1) % pool.size();
        benchmark::DoNotOptimize(kernelForward(network, network_columns, acc.half[0], acc.half[1]));
    }
    state.SetLabel(kernelName());
}
// -1: normal around zero (about half active); then 10%, 50%, 90% and all active.
BENCHMARK(BM_Forward)->Arg(-1)->Arg(10)->Arg(50)->Arg(90)->Arg(100);

// The starting position, as piece bitboards PAWN..KING.
const Bitboard START_WHITE[6] = {0xFF00ull, 0x42ull, 0x24ull, 0x81ull, 0x08ull, 0x10ull};
const Bitboard START_BLACK[6] = {0xFFull << 48, 0x42ull << 56, 0x24ull << 56,
                                 0x81ull << 56, 0x08ull << 56, 0x10ull << 56};

void BM_Refresh(benchmark::State &state) {
    randomNetwork();
    Accumulator acc;
    for (auto _ : state) {
        refreshAccumulator(acc, START_WHITE, START_BLACK);
        benchmark::DoNotOptimize(acc);
    }
    state.SetLabel(kernelName());
}
BENCHMARK(BM_Refresh);

// One incremental update into the next record, as making a move does:
// g1f3 (quiet, Arg 0) or a knight taking a pawn on e5 (Arg 1).
void BM_Update(benchmark::State &state) {
    randomNetwork();
    const int captured = static_cast<int>(state.range(0));
    Accumulator src, dst;
    refreshAccumulator(src, START_WHITE, START_BLACK);
    for (auto _ : state) {
        updateAccumulator(dst, src, 1, 2, 6, captured ? 36 : 21, captured, KINGS);
        benchmark::DoNotOptimize(dst);
    }
    state.SetLabel(kernelName());
}
BENCHMARK(BM_Update)->Arg(0)->Arg(1);

}  // namespace

BENCHMARK_MAIN();
