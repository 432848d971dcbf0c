// random-network [seed] [path]
//
// Writes a network.txt (default path "network.txt") of RANDOM weights: 107745
// values, one per line, in the text order the engine converts from.  The
// network plays no chess; it exists so that the engine can be timed doing
// real evaluation work without a trained network.  The same seed always gives
// the same file.
//
// The scale of each block is chosen so that a position with some 20 to 32
// pieces gives first-layer sums of order 1, hidden activations of order 1
// and a final output of roughly +-0.5 to 3, i.e. scores of tens to a few
// hundred centipawns that change from position to position.
#include <cstdint>
#include <cstdio>
#include <cstdlib>

static uint64_t rngState;

// splitmix64: small, fast, and identical on every platform.
static uint64_t nextRandom() {
    uint64_t z = (rngState += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

// Uniform in [-scale, scale).
static float uniform(float scale) {
    const double unit = double(nextRandom() >> 11) * (1.0 / 9007199254740992.0);  // [0, 1)
    return float((2.0 * unit - 1.0) * scale);
}

struct Block {
    const char *name;
    int count;
    float scale;
};

// Text order; the two hidden weight blocks are listed input by input, which
// does not matter for independent random values.
static const Block BLOCKS[] = {
    {"feature_weights", 768 * 128, 0.15f},  // ~30 active rows: sums of about +-0.5
    {"feature_biases", 128, 0.10f},
    {"hidden1_weights", 256 * 32, 0.15f},   // 256 inputs, about half of them active
    {"hidden1_biases", 32, 0.10f},
    {"hidden2_weights", 32 * 32, 0.45f},    // 32 inputs
    {"hidden2_biases", 32, 0.10f},
    {"output_weights", 32, 1.00f},
    {"output_bias", 1, 0.00f},
};

int main(int argc, char **argv) {
    rngState = argc > 1 ? strtoull(argv[1], nullptr, 10) : 1;
    const char *path = argc > 2 ? argv[2] : "network.txt";
    FILE *out = fopen(path, "w");
    if (out == nullptr) {
        fprintf(stderr, "random-network: cannot create %s\n", path);
        return 1;
    }
    int total = 0;
    for (const Block &block : BLOCKS) {
        for (int i = 0; i < block.count; ++i) {
            // Nine significant digits reproduce the single-precision value exactly.
            fprintf(out, "%.9g\n", double(uniform(block.scale)));
        }
        total += block.count;
    }
    if (fclose(out) != 0 || total != 107745) {
        fprintf(stderr, "random-network: failed to write %s\n", path);
        return 1;
    }
    printf("random-network: wrote %d random values to %s\n", total, path);
    return 0;
}
