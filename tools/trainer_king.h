// The trainer's generation-0.8 mode: the king-relative network of
// network/network_king.h (40960 features per perspective -> 2 x 128 -> 32 -> 32
// -> 1, every rectifier clipped to [0, 1]).
//
// 40960 x 128 first-layer weights learn from millions of positions only with
// help, so the first layer is factorised: the weight of (king square K,
// piece-square p) is a king-specific row plus a row shared by every king
// square, shared[p].  A piece-square fact learnt with one king position
// serves all of them, and the king-specific rows learn only what differs.
// Two more factors may be switched on (`factors`), both about where the own
// king stands, which the shared rows cannot see: a row per king square and
// piece kind (shared by the 64 squares of that kind), and a row per piece
// kind and offset of its square from the king (file and rank difference,
// shared by all king squares), the king's shelter and attackers wherever the
// king is.  The file keeps no factor: writing folds every factor into the
// rows it serves.  Reading a network.nn back gives king rows = the file's
// rows and zero factors, which is the same network.
//
// The first layer's gradient is sparse (some 60 of 40960 rows a position),
// so each slice keeps a list of the rows it touched, the slices are summed
// row by row in slice order (the same sums for any thread count), and Adam
// updates the touched king rows only (their moments stand still in between).
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "network/network_king.h"
#include "tools/trainer_core.h"

namespace trainer {

inline constexpr int PIECE_SQUARES = 640;  // 10 piece kinds x 64 squares: the factor's rows
inline constexpr int KING_PIECES = 640;    // 64 king squares x 10 piece kinds
inline constexpr int OFFSETS = 10 * 15 * 15;  // piece kind x rank offset x file offset

// The rows of the two optional factors serving king row r = K x 640 + kind x 64 + s.
inline int kingPieceRow(int r) { return r / 64; }
inline int offsetRow(int r) {
    const int king = r / 640, kind = (r / 64) % 10, square = r % 64;
    return kind * 225 + ((square >> 3) - (king >> 3) + 7) * 15 + ((square & 7) - (king & 7) + 7);
}

struct KingParams {
    float king_weights[KING_FEATURE_COUNT][ACCUMULATOR_SIZE];  // K x 640 + p
    float shared_weights[PIECE_SQUARES][ACCUMULATOR_SIZE];     // p
    // The rest in the engine's layout (feature_biases .. output_bias).
    float feature_biases[ACCUMULATOR_SIZE];
    float hidden1_weights[HIDDEN1_SIZE][2 * ACCUMULATOR_SIZE];
    float hidden1_biases[HIDDEN1_SIZE];
    float hidden2_weights[HIDDEN2_SIZE][HIDDEN1_SIZE];
    float hidden2_biases[HIDDEN2_SIZE];
    float output_weights[HIDDEN2_SIZE];
    float output_bias;
    // The optional factors; zero (and left so) unless switched on.
    float king_piece_weights[KING_PIECES][ACCUMULATOR_SIZE];
    float offset_weights[OFFSETS][ACCUMULATOR_SIZE];
};
// From the shared rows to the output bias, updated densely.
inline constexpr int KING_DENSE_VALUES =
    int((offsetof(KingParams, king_piece_weights) - offsetof(KingParams, shared_weights)) / sizeof(float));
// The optional factors, updated densely when switched on.
inline constexpr int KING_FACTOR_VALUES = (KING_PIECES + OFFSETS) * ACCUMULATOR_SIZE;
static_assert(offsetof(KingParams, offset_weights) + sizeof(float) * OFFSETS * ACCUMULATOR_SIZE == sizeof(KingParams));

// The rows of one position: [0] the side to move's perspective, [1] the
// opponent's; row = K x 640 + p with p = rows % 640.
struct KingFeatures {
    int count;
    uint16_t rows[2][30];
};
// `mirror` flips the files (square XOR 7), kings included.
void extractKingFeatures(const PackedRecord &record, bool mirror, KingFeatures &features);

void initialise(KingParams &net, Random &rng);

struct KingWork {
    float acc[2][ACCUMULATOR_SIZE];  // first-layer sums before the clip
    float x[2 * ACCUMULATOR_SIZE];
    float y[HIDDEN1_SIZE], z[HIDDEN2_SIZE];
    float out;
};
// Output in pawns.
float forward(const KingParams &net, const KingFeatures &f, KingWork &w);

// One slice's gradient: the dense part, and the king rows it touched.
struct KingGradient {
    std::unique_ptr<KingParams> g;  // king_weights valid only at touched rows
    std::vector<uint16_t> touched;
    std::vector<uint8_t> marked;    // [row] 1 when in `touched`
    bool factors = false;           // the optional factors' gradient is kept
    KingGradient();
    void clear();
    float *row(int r);              // the row's gradient, zeroed and listed on first use
};
void backward(const KingParams &net, const KingFeatures &f, const KingWork &w, float g, KingGradient &grad);

struct KingTrainer {
    KingParams *net;
    std::vector<KingGradient> grads;  // SLICES; [0] also holds the sum
    std::unique_ptr<KingParams> m, v;  // Adam's moments
    long step = 0;
    int threads = 1;
    int batch = 1024;
    bool mirror = true;
    float decay = 0.0f;
    // Learning rate of the king-specific rows relative to the rest.  Adam
    // gives a rarely seen row as large a step as a common one, so these 5.2
    // million weights memorise the training positions unless slowed down.
    float row_lr_scale = 1.0f;
    bool factors = false;  // train the king-piece and offset factors too (read by setUp)
    Loss loss;
    Random rng{1};
    std::unique_ptr<Pool> pool;
};

void setUp(KingTrainer &t, KingParams &net);
double batchGradient(KingTrainer &t, const std::vector<PackedRecord> &data, const uint32_t *order,
                     const uint8_t *flips, size_t count);
void adamStep(KingTrainer &t, float lr);
double trainEpoch(KingTrainer &t, const std::vector<PackedRecord> &data, std::vector<uint32_t> &order, float lr,
                  Progress progress = nullptr, void *context = nullptr);
Stats evaluate(const KingParams &net, const std::vector<PackedRecord> &data, const Loss &loss, int threads);

// The engine's network: shared rows folded in, first-layer weights clipped
// to the file's range [-3.2, 3.2].
void foldNetwork(const KingParams &net, KingNetwork &out);
// Writes generation 0.8's network.nn (network/network_king.h) and reads one back.
bool writeNetwork(const KingParams &net, const char *path);
bool readNetwork(KingParams &net, const char *path);

}  // namespace trainer
