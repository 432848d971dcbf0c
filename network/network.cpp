// Network weights: the binary file network.nn is read straight into the
// Network record; when it is missing, the text file network.txt is converted
// into it first.  Only a complete file is used: a network.nn of the wrong size
// or with a value that is not finite, and a conversion that fails, are
// reported and the network compiled into the program is used instead, so the
// engine always plays with real weights.
#include "network/network.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <bit>
#include <cerrno>
#include <cmath>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "io/output.h"

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

int convertNetworkFile(const char *text_path, const char *binary_path, char *reason) {
    char ignored[REASON_SIZE];
    if (reason == nullptr) reason = ignored;
    float *values = static_cast<float *>(calloc(NETWORK_VALUES, sizeof(float)));
    if (values == nullptr) {
        snprintf(reason, REASON_SIZE, "out of memory converting %s", text_path);
        return -1;
    }
    const int result =
        readNetworkText(text_path, values, reason) == 0 ? writeFileReplacing(values, NETWORK_BYTES, binary_path, reason) : -1;
    free(values);
    return result;
}

int convertNetwork() { return convertNetworkFile("network.txt", "network.nn"); }

void prepareNetwork(const Network &net, NetworkColumns &columns) {
    for (int o = 0; o < HIDDEN1_SIZE; ++o) {
        for (int i = 0; i < 2 * ACCUMULATOR_SIZE; ++i) {
            columns.hidden1_weights[i][o] = net.hidden1_weights[o][i];
        }
    }
}

// Reads an open network.nn into the Network.  Only a regular file of exactly
// NETWORK_BYTES bytes whose values are all finite is accepted; otherwise -1
// with the reason, and the Network may be partly overwritten.
static int readNetworkFile(FILE *binary, const char *binary_path, char *reason) {
    struct stat info;
    if (fstat(fileno(binary), &info) != 0) {
        snprintf(reason, REASON_SIZE, "cannot read %s: %s", binary_path, strerror(errno));
        return -1;
    }
    if (!S_ISREG(info.st_mode)) {
        snprintf(reason, REASON_SIZE, "%s is not a regular file", binary_path);
        return -1;
    }
    if (info.st_size != NETWORK_BYTES) {
        snprintf(reason, REASON_SIZE, "%s has %lld bytes, not %d", binary_path, static_cast<long long>(info.st_size),
                 NETWORK_BYTES);
        return -1;
    }
    if (fread(&network, 1, NETWORK_BYTES, binary) != static_cast<size_t>(NETWORK_BYTES) || getc(binary) != EOF) {
        snprintf(reason, REASON_SIZE, "cannot read all of %s", binary_path);
        return -1;
    }
    const auto *bytes = reinterpret_cast<const unsigned char *>(&network);
    for (int k = 0; k < NETWORK_VALUES; ++k) {
        float value;
        memcpy(&value, bytes + 4 * k, sizeof value);
        if (!std::isfinite(value)) {
            snprintf(reason, REASON_SIZE, "%s value %d is not a finite number", binary_path, k + 1);
            return -1;
        }
    }
    return 0;
}

// Fills the Network from network.nn, converting network.txt first when the
// binary file cannot be opened, or else from the embedded copy; prints the
// progress lines and the one line that names the network in use.
static void readNetwork(const char *binary_path, const char *text_path) {
    memset(&network, 0, sizeof network);
    char reason[REASON_SIZE];
    bool converted = false;
    FILE *binary = fopen(binary_path, "rb");
    if (binary == nullptr) {
        const int open_error = errno;
        writeOut("info debug NN file conversion...\n");
        if (convertNetworkFile(text_path, binary_path, reason) == 0) {
            converted = true;
            binary = fopen(binary_path, "rb");
            if (binary == nullptr) {
                snprintf(reason, REASON_SIZE, "cannot open %s: %s", binary_path, strerror(errno));
            }
        } else if (open_error == ENOENT && access(text_path, F_OK) != 0 && errno == ENOENT) {
            snprintf(reason, REASON_SIZE, "no %s or %s", binary_path, text_path);
        }
    }
    if (binary != nullptr) {
        const int read = readNetworkFile(binary, binary_path, reason);
        fclose(binary);
        if (read == 0) {
            writeOut("info debug NN loaded !\n");
            if (converted) {
                writeOut("info string Network: %s (converted from %s)\n", binary_path, text_path);
            } else {
                writeOut("info string Network: %s\n", binary_path);
            }
            return;
        }
    }
    memcpy(&network, embedded_network, NETWORK_BYTES);
    writeOut("info string Network: embedded (%s)\n", reason);
}

void loadNetworkFrom(const char *binary_path, const char *text_path) {
    readNetwork(binary_path, text_path);
    prepareNetwork(network, network_columns);
}

void loadNetwork() { loadNetworkFrom("network.nn", "network.txt"); }
