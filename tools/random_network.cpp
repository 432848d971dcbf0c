// random-network [seed] [path]
// random-network --king [seed] [path]
//
// Writes a network.txt (default path "network.txt") of RANDOM weights: 107745
// values, one per line, in the text order the engine converts from.  With
// --king it writes generation 0.8's binary network.nn instead (default path
// "network.nn"): 5242880 random 16-bit first-layer weights, then the random
// binary32 tail, little-endian.  The
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
#include <cstring>

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

// Generation 0.8's network.nn: the same tail blocks, a first layer of 40960
// rows quantised (weight x 10000); some 30 active rows of +-0.1 give sums
// of about +-0.5, inside the clipped range.
static int writeKingBinary(const char *path) {
    FILE *out = fopen(path, "wb");
    if (out == nullptr) {
        fprintf(stderr, "random-network: cannot create %s\n", path);
        return 1;
    }
    for (int i = 0; i < 40960 * 128; ++i) {
        const int16_t w = int16_t(uniform(0.1f) * 10000.0f);
        fwrite(&w, sizeof w, 1, out);
    }
    for (int b = 1; b < 8; ++b) {
        for (int i = 0; i < BLOCKS[b].count; ++i) {
            const float v = uniform(BLOCKS[b].scale);
            fwrite(&v, sizeof v, 1, out);
        }
    }
    if (fclose(out) != 0) {
        fprintf(stderr, "random-network: failed to write %s\n", path);
        return 1;
    }
    printf("random-network: wrote a random generation-0.8 network to %s\n", path);
    return 0;
}

int main(int argc, char **argv) {
    const bool king = argc > 1 && strcmp(argv[1], "--king") == 0;
    if (king) {
        argc--;
        argv++;
    }
    rngState = argc > 1 ? strtoull(argv[1], nullptr, 10) : 1;
    if (king) return writeKingBinary(argc > 2 ? argv[2] : "network.nn");
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
