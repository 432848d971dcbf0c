// Generation 0.8's network: a king-relative first layer of 40960 features
// per perspective (own king square x piece x square) -> 2 x 128 -> 32 -> 32 ->
// 1, with every rectifier clipped to [0, 1].
//
// Owns the process-wide KingNetwork, its files (network.nn with the first
// layer quantised to 16-bit integers, network.txt in neuron-major text
// order), the staging buffer that loading reads the file into, and the
// row numbering.  The Accumulator code of this generation
// (network/accumulator_king.cpp) and the front end (NN_file, start-up) call it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "network/accumulator.h"
#include "network/network.h"

inline constexpr int KING_FEATURE_COUNT = 40960;  // 64 king squares x 10 piece kinds x 64 squares
inline constexpr float QUANT_SCALE = 10000.0f;    // file integer = weight x 10000, truncated
inline constexpr float QUANT_LIMIT = 3.2f;        // first-layer weights must lie in [-3.2, 3.2]

// In memory, all binary32; the layers after the first have the layout (and
// the row alignment) of generation 0.9's Network.
struct alignas(32) KingNetwork {
    float feature_weights[KING_FEATURE_COUNT][ACCUMULATOR_SIZE];  // [feature][h]
    float feature_biases[ACCUMULATOR_SIZE];
    float hidden1_weights[HIDDEN1_SIZE][2 * ACCUMULATOR_SIZE];  // [output][input]
    float hidden1_biases[HIDDEN1_SIZE];
    float hidden2_weights[HIDDEN2_SIZE][HIDDEN1_SIZE];  // [output][input]
    float hidden2_biases[HIDDEN2_SIZE];
    float output_weights[HIDDEN2_SIZE];
    float output_bias;
};

// The layers after the first: 9441 values, 37764 bytes, in file and memory.
inline constexpr int KING_TAIL_VALUES = ACCUMULATOR_SIZE + HIDDEN1_SIZE * 2 * ACCUMULATOR_SIZE + HIDDEN1_SIZE +
                                        HIDDEN2_SIZE * HIDDEN1_SIZE + HIDDEN2_SIZE + HIDDEN2_SIZE + 1;
inline constexpr size_t KING_TAIL_BYTES = size_t(KING_TAIL_VALUES) * 4;
inline constexpr size_t KING_WEIGHT_VALUES = size_t(KING_FEATURE_COUNT) * ACCUMULATOR_SIZE;  // 5242880
// network.nn: int16 first-layer weights, then the binary32 tail.
inline constexpr size_t KING_FILE_BYTES = KING_WEIGHT_VALUES * 2 + KING_TAIL_BYTES;  // 10523524
inline constexpr size_t KING_TEXT_VALUES = KING_WEIGHT_VALUES + KING_TAIL_VALUES;
static_assert(KING_TAIL_VALUES == 9441);
static_assert(KING_FILE_BYTES == 10523524);
static_assert(offsetof(KingNetwork, feature_biases) == KING_WEIGHT_VALUES * 4);

extern KingNetwork king_network;
// The first hidden layer of king_network input by input (see NetworkColumns);
// loadKingNetwork keeps it current.
extern NetworkColumns king_network_columns;
// Fills `columns` from `net`; again after any change to net.hidden1_weights.
void prepareKingNetwork(const KingNetwork &net, NetworkColumns &columns);

// Row of a non-king piece (type PAWN..QUEEN, colour BLACK/WHITE) on a square
// in one perspective (0 = White's, 1 = Black's), given that perspective's own
// king square.  Black's view turns the board (square XOR 63) and counts its
// own pieces as colour 0.
inline int kingFeatureRow(int perspective, int king_square, int colour, int type, int square) {
    const int c = (perspective == 0) == (colour == 1) ? 0 : 1;
    const int k = perspective == 0 ? king_square : king_square ^ 63;
    const int s = perspective == 0 ? square : square ^ 63;
    return k * 640 + (2 * (type - 1) + c) * 64 + s;
}

// A first-layer weight as stored in network.nn: weight x 10000 in single
// precision, truncated towards zero.  False (and nothing stored) outside
// [-3.2, 3.2] or for a value that is not a number.
bool quantiseWeight(float weight, int16_t &stored);
inline float dequantiseWeight(int16_t stored) { return float(stored) * 0.0001f; }

// Loads `path` (network.nn form) into king_network.  When `path` cannot be
// opened, network.txt of the working directory is converted into `path` first
// ("info debug NN file conversion..." is printed).  0 on success.  On any
// failure -1, king_network unchanged, and the cause in `reason`: a file that
// cannot be opened, a network.nn that is not exactly 10523524 bytes or holds a
// value that is not finite, a text that ends early, has a line over 255
// characters, a value that is not a number or a first-layer weight outside
// [-3.2, 3.2].  A conversion writes a temporary file and renames it, so a
// failed one leaves nothing under `path`.
int loadKingNetwork(const char *path, char reason[REASON_SIZE]);
// network.txt (0.8 text order) -> network.nn (0.8 binary form); 0 or -1.
int convertKingNetwork(const char *text_path, const char *binary_path, char reason[REASON_SIZE]);
// The binary form of a network in memory, as the trainer writes it: the
// first layer quantised to the nearest step of 0.0001 (so that a loaded
// network is written back byte for byte); 0 or -1.
int writeKingNetwork(const KingNetwork &net, const char *binary_path, char reason[REASON_SIZE]);
