// Network weights: the binary file network.nn is read straight into the
// Network record; when it is missing, the text file network.txt is converted
// into it first.  Every failure is quiet and leaves the weights zero, so the
// engine still plays (every evaluation is then 0).
#include "eval/network.h"

#include <bit>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "uci/output.h"

// The type is 32-byte aligned, so every weight row starts on a 32-byte
// boundary and the vector kernels may use aligned loads.  Zero until loaded.
Network network;
NetworkColumns network_columns;

// The record is the file: one bulk read fills it, so each field must sit at
// the byte offset it has in network.nn.
static_assert(std::endian::native == std::endian::little, "network.nn holds little-endian floats");
static_assert(sizeof(float) == 4);
static_assert(offsetof(Network, feature_weights) == 0);
static_assert(offsetof(Network, feature_biases) == 393216);
static_assert(offsetof(Network, hidden1_weights) == 393728);
static_assert(offsetof(Network, hidden1_biases) == 426496);
static_assert(offsetof(Network, hidden2_weights) == 426624);
static_assert(offsetof(Network, hidden2_biases) == 430720);
static_assert(offsetof(Network, output_weights) == 430848);
static_assert(offsetof(Network, output_bias) == 430976);
static_assert(offsetof(Network, output_bias) + sizeof(float) == NETWORK_BYTES);
static_assert(alignof(Network) == 32);

// Value indices of the blocks that the text form stores input-major.
static constexpr int HIDDEN1_START = offsetof(Network, hidden1_weights) / sizeof(float);
static constexpr int HIDDEN2_START = offsetof(Network, hidden2_weights) / sizeof(float);

// In-place transpose of a rows x cols block (row-major) into cols x rows,
// through a copy of the block.
static void transposeBlock(float *block, int rows, int cols) {
    float copy[HIDDEN1_SIZE * 2 * ACCUMULATOR_SIZE];  // the larger of the two blocks
    memcpy(copy, block, sizeof(float) * rows * cols);
    for (int r = 0; r < rows; ++r) {
        for (int c = 0; c < cols; ++c) {
            block[c * rows + r] = copy[r * cols + c];
        }
    }
}

int convertNetworkFile(const char *text_path, const char *binary_path) {
    float *values = static_cast<float *>(calloc(NETWORK_VALUES, sizeof(float)));
    if (values == nullptr) {
        return -1;
    }
    FILE *text = fopen(text_path, "r");
    if (text == nullptr) {
        free(values);
        return -1;
    }
    // One number a line; lines longer than 255 characters continue as the
    // next read, and anything after the number on a line is ignored.
    char line[256];
    for (int k = 0; k < NETWORK_VALUES; ++k) {
        if (fgets(line, sizeof line, text) == nullptr || sscanf(line, "%f", &values[k]) != 1) {
            fclose(text);
            free(values);
            return -1;
        }
    }
    fclose(text);

    // The text lists the two hidden layers input by input; the binary form
    // keeps one row of inputs per output neuron.
    transposeBlock(values + HIDDEN1_START, 2 * ACCUMULATOR_SIZE, HIDDEN1_SIZE);
    transposeBlock(values + HIDDEN2_START, HIDDEN1_SIZE, HIDDEN2_SIZE);

    FILE *binary = fopen(binary_path, "wb");
    if (binary == nullptr) {
        free(values);
        return -1;
    }
    const size_t written = fwrite(values, 1, NETWORK_BYTES, binary);
    const int closed = fclose(binary);
    free(values);
    return written == static_cast<size_t>(NETWORK_BYTES) && closed == 0 ? 0 : -1;
}

int convertNetwork() { return convertNetworkFile("network.txt", "network.nn"); }

void prepareNetwork(const Network &net, NetworkColumns &columns) {
    for (int o = 0; o < HIDDEN1_SIZE; ++o) {
        for (int i = 0; i < 2 * ACCUMULATOR_SIZE; ++i) {
            columns.hidden1_weights[i][o] = net.hidden1_weights[o][i];
        }
    }
}

// Zeroes the Network and reads it (converting the text form first when the
// binary file is missing); any failure leaves it zero or partly filled.
static void readNetwork(const char *binary_path, const char *text_path) {
    memset(&network, 0, sizeof network);
    FILE *binary = fopen(binary_path, "rb");
    if (binary == nullptr) {
        writeOut("info debug NN file conversion...\n");
        if (convertNetworkFile(text_path, binary_path) != 0) {
            return;
        }
        binary = fopen(binary_path, "rb");
        if (binary == nullptr) {
            return;
        }
    }
    // The size is not checked: a short file fills the leading part of the
    // record and leaves the rest zero; bytes past the end are ignored.
    const size_t read = fread(&network, 1, NETWORK_BYTES, binary);
    (void)read;
    fclose(binary);
    writeOut("info debug NN loaded !\n");
}

void loadNetworkFrom(const char *binary_path, const char *text_path) {
    readNetwork(binary_path, text_path);
    // Whatever was read, failures included, the columns follow it.
    prepareNetwork(network, network_columns);
}

void loadNetwork() { loadNetworkFrom("network.nn", "network.txt"); }
