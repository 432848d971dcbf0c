// Generation 0.8's network files.  network.nn holds the first layer as
// 16-bit integers (weight x 10000) followed by the binary32 tail; loading
// reads the whole file into a staging buffer, checks it, and only then
// widens it into the KingNetwork, so that a file that fails leaves the
// network in use untouched.  network.txt lists the first layer neuron by
// neuron (for each of the 128 outputs, its 40960 feature weights), then the
// tail in the binary order.
#include "network/network_king.h"

#include <sys/stat.h>

#include <bit>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "io/output.h"

KingNetwork king_network;
NetworkColumns king_network_columns;

void prepareKingNetwork(const KingNetwork &net, NetworkColumns &columns) {
    for (int o = 0; o < HIDDEN1_SIZE; ++o)
        for (int i = 0; i < 2 * ACCUMULATOR_SIZE; ++i) columns.hidden1_weights[i][o] = net.hidden1_weights[o][i];
}

static_assert(std::endian::native == std::endian::little, "network.nn holds little-endian values");
static_assert(offsetof(KingNetwork, feature_biases) == 20971520);
static_assert(offsetof(KingNetwork, output_bias) + sizeof(float) == 20971520 + KING_TAIL_BYTES);

bool quantiseWeight(float weight, int16_t &stored) {
    if (!(weight >= -QUANT_LIMIT && weight <= QUANT_LIMIT)) return false;  // also refuses NaN
    const float scaled = weight * QUANT_SCALE;                               // single-precision product
    stored = static_cast<int16_t>(std::trunc(scaled));
    return true;
}

// The file image: int16 weights [f][h], then the tail.
struct KingFile {
    int16_t weights[KING_WEIGHT_VALUES];
    unsigned char tail[KING_TAIL_BYTES];
};
static_assert(sizeof(KingFile) == KING_FILE_BYTES);

static const float *tailOf(const KingNetwork &net) { return net.feature_biases; }

int writeKingNetwork(const KingNetwork &net, const char *binary_path, char reason[REASON_SIZE]) {
    std::unique_ptr<KingFile> file(new (std::nothrow) KingFile);
    if (!file) {
        snprintf(reason, REASON_SIZE, "out of memory writing %s", binary_path);
        return -1;
    }
    // To the nearest step (the text conversion truncates): a network loaded
    // from a file is written back to the same bytes.
    for (size_t k = 0; k < KING_WEIGHT_VALUES; k++) {
        const float w = net.feature_weights[k / ACCUMULATOR_SIZE][k % ACCUMULATOR_SIZE];
        if (!(w >= -QUANT_LIMIT && w <= QUANT_LIMIT)) {
            snprintf(reason, REASON_SIZE, "first-layer weight %zu is outside [-3.2, 3.2]", k);
            return -1;
        }
        file->weights[k] = static_cast<int16_t>(std::lround(w * QUANT_SCALE));
    }
    memcpy(file->tail, tailOf(net), KING_TAIL_BYTES);
    return writeFileReplacing(file.get(), KING_FILE_BYTES, binary_path, reason);
}

int convertKingNetwork(const char *text_path, const char *binary_path, char reason[REASON_SIZE]) {
    std::unique_ptr<float[]> values(new (std::nothrow) float[KING_TEXT_VALUES]);
    std::unique_ptr<KingFile> file(new (std::nothrow) KingFile);
    if (!values || !file) {
        snprintf(reason, REASON_SIZE, "out of memory converting %s", text_path);
        return -1;
    }
    if (readTextNumbers(text_path, values.get(), KING_TEXT_VALUES, reason) != 0) return -1;
    // Neuron-major in the text, feature-major in the file.
    for (size_t h = 0; h < size_t(ACCUMULATOR_SIZE); h++) {
        for (size_t f = 0; f < size_t(KING_FEATURE_COUNT); f++) {
            const float w = values[h * KING_FEATURE_COUNT + f];
            if (!quantiseWeight(w, file->weights[f * ACCUMULATOR_SIZE + h])) {
                snprintf(reason, REASON_SIZE, "%s line %zu: first-layer weight %g is outside [-3.2, 3.2]", text_path,
                         h * KING_FEATURE_COUNT + f + 1, double(w));
                return -1;
            }
        }
    }
    memcpy(file->tail, values.get() + KING_WEIGHT_VALUES, KING_TAIL_BYTES);
    return writeFileReplacing(file.get(), KING_FILE_BYTES, binary_path, reason);
}

// Reads an open network.nn into the staging buffer: a regular file of exactly
// KING_FILE_BYTES whose tail values are all finite.
static int readKingFile(FILE *binary, const char *path, KingFile &staging, char reason[REASON_SIZE]) {
    struct stat info;
    if (fstat(fileno(binary), &info) != 0 || !S_ISREG(info.st_mode)) {
        snprintf(reason, REASON_SIZE, "%s is not a regular file", path);
        return -1;
    }
    if (info.st_size != static_cast<off_t>(KING_FILE_BYTES)) {
        snprintf(reason, REASON_SIZE, "%s has %lld bytes, not %zu", path, static_cast<long long>(info.st_size),
                 KING_FILE_BYTES);
        return -1;
    }
    if (fread(&staging, 1, KING_FILE_BYTES, binary) != KING_FILE_BYTES || getc(binary) != EOF) {
        snprintf(reason, REASON_SIZE, "cannot read all of %s", path);
        return -1;
    }
    for (int k = 0; k < KING_TAIL_VALUES; k++) {
        float value;
        memcpy(&value, staging.tail + 4 * k, sizeof value);
        if (!std::isfinite(value)) {
            snprintf(reason, REASON_SIZE, "%s tail value %d is not a finite number", path, k + 1);
            return -1;
        }
    }
    return 0;
}

int loadKingNetwork(const char *path, char reason[REASON_SIZE]) {
    FILE *binary = fopen(path, "rb");
    if (binary == nullptr) {
        writeOut("info debug NN file conversion...\n");
        if (convertKingNetwork("network.txt", path, reason) != 0) return -1;
        binary = fopen(path, "rb");
        if (binary == nullptr) {
            snprintf(reason, REASON_SIZE, "cannot open %s: %s", path, strerror(errno));
            return -1;
        }
    }
    // The staging buffer lives only while a file is loaded.
    std::unique_ptr<KingFile> staging(new (std::nothrow) KingFile);
    if (!staging) {
        fclose(binary);
        snprintf(reason, REASON_SIZE, "out of memory loading %s", path);
        return -1;
    }
    const int read = readKingFile(binary, path, *staging, reason);
    fclose(binary);
    if (read != 0) return -1;
    for (size_t k = 0; k < KING_WEIGHT_VALUES; k++)
        king_network.feature_weights[k / ACCUMULATOR_SIZE][k % ACCUMULATOR_SIZE] = dequantiseWeight(staging->weights[k]);
    memcpy(king_network.feature_biases, staging->tail, KING_TAIL_BYTES);
    prepareKingNetwork(king_network, king_network_columns);
    return 0;
}
