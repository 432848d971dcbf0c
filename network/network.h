// The evaluation network: 768 -> 2 x 128 -> 32 -> 32 -> 1, single precision.
//
// Owns the process-wide Network weights (loaded once at start-up from
// network.nn, converted from network.txt when the binary file is missing, or
// the copy compiled into the program when neither is usable), the
// Accumulator refresh and incremental update used by makeMove and the FEN
// reader, and the forward pass used by the search and the board display.
// The Network is read-only after loading and shared by all search threads.
#pragma once

#include <cstddef>
#include <cstdint>

#include "network/accumulator.h"

using Bitboard = uint64_t;

inline constexpr int FEATURE_COUNT = 768;
inline constexpr int HIDDEN1_SIZE = 32;
inline constexpr int HIDDEN2_SIZE = 32;

// Exactly the layout of network.nn (raw little-endian binary32, no header):
// every row starts at a multiple of 32 bytes from the start of the block.
struct alignas(32) Network {
    float feature_weights[FEATURE_COUNT][ACCUMULATOR_SIZE];  // [feature][h]
    float feature_biases[ACCUMULATOR_SIZE];
    float hidden1_weights[HIDDEN1_SIZE][2 * ACCUMULATOR_SIZE];  // [output][input]
    float hidden1_biases[HIDDEN1_SIZE];
    float hidden2_weights[HIDDEN2_SIZE][HIDDEN1_SIZE];  // [output][input]
    float hidden2_biases[HIDDEN2_SIZE];
    float output_weights[HIDDEN2_SIZE];
    float output_bias;
};
inline constexpr int NETWORK_VALUES = 107745;
inline constexpr int NETWORK_BYTES = NETWORK_VALUES * 4;  // 430980

extern Network network;

// The shipped network in the byte layout of network.nn, generated from
// data/network.txt when the program is built and used when neither file can
// be loaded at start-up.
extern const unsigned char embedded_network[NETWORK_BYTES];

// Scores are clamped to +-EVAL_LIMIT, well inside the range of mate scores,
// so that no evaluation can be mistaken for a mate.
inline constexpr int EVAL_LIMIT = 20000;

// A line of network.txt, its line feed included, holds at most this many
// characters; a longer line fails the conversion.
inline constexpr int TEXT_LINE_LIMIT = 255;

// Room for the one-line reason a network file was refused.
inline constexpr int REASON_SIZE = 256;

// Derived from a Network, never read from a file: the first hidden layer's
// weights input by input, so that the forward pass can skip the inputs the
// rectifier made zero and read only the weights of the active ones.  Rebuilt
// by prepareNetwork whenever the Network changes.
struct alignas(32) NetworkColumns {
    float hidden1_weights[2 * ACCUMULATOR_SIZE][HIDDEN1_SIZE];  // [input][output]
};

// The columns of the process-wide Network; loadNetwork keeps them current.
extern NetworkColumns network_columns;

// Fills `columns` from `net`.  Must be called again after any change to
// net.hidden1_weights before the forward pass sees the pair.
void prepareNetwork(const Network &net, NetworkColumns &columns);

// Reads the NETWORK_VALUES numbers of a network.txt into `values` in the
// binary layout (the two hidden weight blocks transposed).  0 on success; -1
// when the file cannot be opened, ends early, has a line over
// TEXT_LINE_LIMIT characters or a line that is not a finite number, with the
// reason (naming the file and the line) in `reason`.
int readNetworkText(const char *text_path, float *values, char reason[REASON_SIZE]);

// Writes `size` bytes to a temporary file beside `path` and renames it over
// `path` once it is complete, so that a failed write (full disk, file size
// limit) never leaves a partial file behind.  0, or -1 with the reason.
int writeFileReplacing(const void *data, size_t size, const char *path, char *reason);
// Reads `count` numbers of a text file, one a line, with the checks of
// readNetworkText (line length, a finite number); 0, or -1 with the reason.
// Lines after the last value are never read.
int readTextNumbers(const char *text_path, float *values, size_t count, char reason[REASON_SIZE]);

// Start-up: read network.nn, or convert network.txt into it when network.nn
// cannot be opened; a network.nn of the wrong size or with a non-finite value
// and a failed conversion are refused, and the embedded network is used
// instead.  Prints "NN file conversion..." before a conversion, "NN loaded !"
// after a complete network.nn, and one "info string Network:" line naming the
// network in use (and why a file was refused).  Prepares network_columns.
void loadNetwork();
// network.txt -> network.nn; 0 on success, -1 on any failure.  The binary
// file is written under a temporary name and renamed when complete, so a
// failed conversion leaves no network.nn behind.
int convertNetwork();
// The same two operations on named files (the start-up versions use the
// fixed names in the working directory).  `reason`, when given, receives the
// cause of a failed conversion.
void loadNetworkFrom(const char *binary_path, const char *text_path);
int convertNetworkFile(const char *text_path, const char *binary_path, char *reason = nullptr);

// Feature row of a piece (type PAWN..KING, colour BLACK/WHITE) on a square, in
// one perspective (0 = White's, 1 = Black's).
inline int featureRow(int perspective, int colour, int type, int square) {
    const int own = (perspective == 0) == (colour == 1);
    const int s = perspective == 0 ? square : square ^ 63;
    return 128 * (type - 1) + (own ? 0 : 64) + s;
}

// Recompute both halves from the piece bitboards (indexed PAWN-1 .. KING-1).
void refreshAccumulator(Accumulator &acc, const Bitboard white[6], const Bitboard black[6]);
// dst = src with a piece of `type` and `colour` moved from `from` to `to` and,
// when `captured` is non-zero, the opponent's piece of that type removed from
// `to`.  dst and src may be the same object.  king_squares[colour] are the
// kings' squares (generation 0.8's rows are relative to them; the move is not
// a king move).  Generation 0.8 implements these three functions for its own
// network in network/accumulator_king.cpp.
void updateAccumulator(Accumulator &dst, const Accumulator &src, int colour, int type, int from, int to,
                       int captured, const int king_squares[2]);
// Score in centipawns for the side to move; perspective 0 when White is to
// move.  The output times 100, truncated towards zero and clamped to
// +-EVAL_LIMIT (a NaN output scores 0).
int32_t evaluateNetwork(const Accumulator &acc, int perspective);
