// trainer - fits Vexar's evaluation network to labelled positions.
//
//   trainer (--records FILE ... | --data FILE ...) [options]
//
// Input (each option may be repeated; files are read in the order given):
//   --records FILE  binary record files: 32-byte records back to back
//                   (layout in tools/record.h): the pieces, the score
//                   in centipawns and the game result for the side to move,
//                   and a flag on the first record of every game.
//   --data FILE     the old text form, one "<FEN>;<score>" a line
//                   (tools/datagen.py); the FEN may stop after the side to
//                   move.  It carries no results.
// Positions stay packed in memory (32 bytes each) and their features are
// decoded batch by batch, so tens of millions of positions fit.
//
// Validation:
//   --valid X        held-out share (default 0.05).  Text positions: the last
//                    X of them (later games).  Records: whole games, every
//                    round(1/X)-th game, so no game is on both sides.
//   --valid-every N  records: every N-th game held out instead.
//
// Loss: the squared difference of sigmoid(100 x output / K) and the target
// (1 - B) x sigmoid(score / K) + B x (result + 1) / 2, minimised with Adam
// on shuffled minibatches with decoupled weight decay.
//   --scale K        K (default 400)
//   --clip CP        scores clipped to +-CP first (default 2000)
//   --blend B        weight of the game result (default 0.25; 0 and not
//                    allowed otherwise when text data is used)
//   --decay X        weight decay (default 0)
//   --batch N        positions a step (default 1024)
//   --no-mirror      do not use positions mirrored left to right (by default
//                    each drawn position is mirrored with a chance of one
//                    half: for this feature set the same as the
//                    colour-flipped position, whose score is unchanged)
// Learning rate, per epoch:
//   --lr X                 starting rate (default 0.001)
//   --lr-drop-epoch N      step decay: times --lr-drop-factor F (default 0.3)
//                          after every N epochs
//   --cosine               cosine decay from X to X / 100 at the last epoch
//   (neither)              X, a tenth of it for the last quarter of the
//                          epochs and a hundredth for the last tenth
// Run:
//   --epochs N       (default 30)
//   --threads N      threads computing each minibatch (default 2; at most
//                    8 are used)
//   --seed N         initial weights, shuffles and mirror draws (default 1)
//   --resume FILE    start from a network text file instead of random
//                    weights (Adam's moments start again from zero)
//   --start-epoch N  first epoch to run, for the learning-rate schedule
//                    when resuming (default 1); the rows of earlier epochs
//                    in the CSV file are kept
// Output:
//   --out FILE       network in the engine's text order (default
//                    network.txt); rewritten after every epoch, so an
//                    interrupted training leaves its last finished epoch
//   --king           generation 0.8's king-relative network instead
//                    (tools/trainer_king.h: factorised first layer, clipped
//                    activations); --out is then its binary network.nn and
//                    --resume reads one
//   --king-lr F      with --king: the 40960 king-specific rows learn at F
//                    times the learning rate (0 < F <= 1, default 1); the
//                    shared piece-square rows and the rest at the full rate
//   --king-factors   with --king: also train the two factors that see the own
//                    king's square (a row per king square and piece kind, a
//                    row per piece kind and offset from the king), at the
//                    full rate
//   --csv FILE       per-epoch losses (default: --out with .txt replaced by
//                    -loss.csv); rewritten after every epoch
//   --plot FILE.png  loss curve (training and validation loss per epoch)
//                    drawn with gnuplot at the end; skipped with a message
//                    when gnuplot is not installed
//
// The loss, validation loss, mean absolute error and correlation in
// centipawns, learning rate and time are printed after every epoch, and a
// progress line after every tenth of an epoch.
//
// Reproducible: every minibatch is cut into a fixed number of slices whose
// gradients are summed in a fixed order, so the same seed, data and options
// give the same network whatever the thread count (with one build of the
// program: other compilers or flags, -march=native for one, round
// differently).
//
// Build: the CMake target `trainer`, or (as tools/train_network.sh does)
//   g++ -std=c++20 -O3 -march=native -pthread -I. -DVEXAR_GENERATION=8 -o trainer tools/trainer.cpp
//       tools/trainer_core.cpp tools/trainer_king.cpp network/network_king.cpp network/network_text.cpp io/output.cpp
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "tools/trainer_core.h"
#include "tools/trainer_king.h"

using namespace trainer;

namespace {

struct Schedule {
    float lr = 1e-3f;
    int dropEpoch = 0;  // step decay when > 0
    float dropFactor = 0.3f;
    bool cosine = false;
};

float learningRate(const Schedule &s, int epoch, int epochs) {
    if (s.dropEpoch > 0) return s.lr * std::pow(s.dropFactor, float((epoch - 1) / s.dropEpoch));
    if (s.cosine) {
        const float progress = epochs > 1 ? float(epoch - 1) / float(epochs - 1) : 1.0f;
        const float low = s.lr * 0.01f;
        return low + 0.5f * (s.lr - low) * (1.0f + std::cos(3.14159265f * progress));
    }
    if (epoch > epochs - epochs / 10) return s.lr * 0.01f;
    if (epoch > epochs - epochs / 4) return s.lr * 0.1f;
    return s.lr;
}

struct Input {
    std::string path;
    bool text;
};

double seconds(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

struct ProgressContext {
    int epoch;
    std::chrono::steady_clock::time_point start;
};

void printProgress(void *context, size_t done, size_t total, double meanLoss) {
    const ProgressContext &c = *static_cast<ProgressContext *>(context);
    printf("  epoch %2d  %3d%%  train loss %.6f  (%.1f s)\n", c.epoch, int(100.0 * double(done) / double(total)),
           meanLoss, seconds(c.start));
    fflush(stdout);
}

struct EpochRow {
    int epoch;
    float lr;
    double trainLoss;
    Stats valid;
    double seconds;
};

bool writeCsv(const std::string &path, const std::vector<EpochRow> &rows) {
    const std::string temporary = path + ".tmp";
    FILE *out = fopen(temporary.c_str(), "w");
    if (out == nullptr) return false;
    fprintf(out, "epoch,lr,train_loss,valid_loss,valid_mae_cp,valid_corr,seconds\n");
    for (const EpochRow &r : rows)
        fprintf(out, "%d,%.6g,%.8f,%.8f,%.3f,%.6f,%.2f\n", r.epoch, double(r.lr), r.trainLoss, r.valid.loss,
                r.valid.mae, r.valid.corr, r.seconds);
    const bool ok = fclose(out) == 0;
    return ok && rename(temporary.c_str(), path.c_str()) == 0;
}

// The rows of an earlier run's CSV before `epoch`, so that a resumed
// training keeps the whole curve.
void readCsv(const std::string &path, int epoch, std::vector<EpochRow> &rows) {
    FILE *in = fopen(path.c_str(), "r");
    if (in == nullptr) return;
    char line[256];
    EpochRow r{};
    float lr;
    while (fgets(line, sizeof line, in))
        if (sscanf(line, "%d,%f,%lf,%lf,%lf,%lf,%lf", &r.epoch, &lr, &r.trainLoss, &r.valid.loss, &r.valid.mae,
                   &r.valid.corr, &r.seconds) == 7 &&
            r.epoch < epoch)
            r.lr = lr, rows.push_back(r);
    fclose(in);
}

// Draws the training and validation loss of the CSV against the epoch.
void plot(const std::string &csv, const std::string &png) {
    if (system("command -v gnuplot >/dev/null 2>&1") != 0) {
        printf("trainer: gnuplot is not installed; no loss curve drawn\n");
        return;
    }
    if (csv.find('\'') != std::string::npos || png.find('\'') != std::string::npos) {
        printf("trainer: a file name contains a quote; no loss curve drawn\n");
        return;
    }
    FILE *g = popen("gnuplot", "w");
    if (g == nullptr) {
        printf("trainer: cannot start gnuplot; no loss curve drawn\n");
        return;
    }
    fprintf(g,
            "set terminal png size 900,600\n"
            "set output '%s'\n"
            "set datafile separator ','\n"
            "set title 'Vexar network training'\n"
            "set xlabel 'epoch'\n"
            "set ylabel 'loss (sigmoid-space squared error)'\n"
            "set grid\n"
            "plot '%s' every ::1 using 1:3 with linespoints title 'training', \\\n"
            "     '' every ::1 using 1:4 with linespoints title 'validation'\n",
            png.c_str(), csv.c_str());
    if (pclose(g) == 0)
        printf("trainer: wrote %s\n", png.c_str());
    else
        printf("trainer: gnuplot failed; no loss curve drawn\n");
}

// The features of a record for each network kind.
void extract(const Params &, const PackedRecord &r, Features &f) { extractFeatures(r, false, f); }
void extract(const KingParams &, const PackedRecord &r, KingFeatures &f) { extractKingFeatures(r, false, f); }

// Score in centipawns the engine gives a FEN with the trained network;
// Feat and Scratch are the network kind's feature and work records.
template <class Feat, class Scratch, class Net>
int engineScore(const Net &net, const char *fen) {
    PackedRecord r;
    if (!recordFromText((std::string(fen) + ";0").c_str(), r)) return 0;
    Feat f;
    Scratch w;
    extract(net, r, f);
    return int(forward(net, f, w) * 100.0f);
}
int engineScore(const Params &net, const char *fen) { return engineScore<Features, Work>(net, fen); }
int engineScore(const KingParams &net, const char *fen) { return engineScore<KingFeatures, KingWork>(net, fen); }

// What the training loop needs besides the data and the trainer's fields.
struct Run {
    std::string outPath, csvPath, plotPath, resumePath;
    int epochs, startEpoch, threads;
    uint64_t seed;
    Schedule schedule;
};

// Trains a network of kind Net with trainer T (Params/Trainer for 0.9,
// KingParams/KingTrainer for 0.8's king-relative network).
template <class Net, class T>
int train(const Run &run, const DataSets &sets, T &t) {
    std::unique_ptr<Net> owner(new Net{});
    Net &net = *owner;
    setUp(t, net);
    t.threads = run.threads;
    t.rng.state = run.seed;
    initialise(net, t.rng);
    if (!run.resumePath.empty()) {
        if (!readNetwork(net, run.resumePath.c_str())) {
            fprintf(stderr, "trainer: cannot read the network %s\n", run.resumePath.c_str());
            return 1;
        }
        printf("trainer: starting from %s\n", run.resumePath.c_str());
    }
    const int epochs = run.epochs;
    const Stats start = evaluate(net, sets.valid, t.loss, run.threads);
    printf("epoch %2d  valid loss %.6f  mae %.1f cp  corr %.4f\n", run.startEpoch - 1, start.loss, start.mae,
           start.corr);
    fflush(stdout);
    std::vector<uint32_t> order;
    std::vector<EpochRow> rows;
    if (run.startEpoch > 1) readCsv(run.csvPath, run.startEpoch, rows);
    const auto begin = std::chrono::steady_clock::now();
    for (int epoch = run.startEpoch; epoch <= epochs; ++epoch) {
        const float rate = learningRate(run.schedule, epoch, epochs);
        ProgressContext context{epoch, std::chrono::steady_clock::now()};
        const double trainLoss = trainEpoch(t, sets.train, order, rate, printProgress, &context);
        const double took = seconds(context.start);
        const Stats v = evaluate(net, sets.valid, t.loss, run.threads);
        printf(
            "epoch %2d  lr %.2e  train loss %.6f  valid loss %.6f  mae %.1f cp  corr %.4f  "
            "%.1f s (%.2f s per million positions), %.0f s in all\n",
            epoch, double(rate), trainLoss, v.loss, v.mae, v.corr, took, took * 1e6 / double(sets.train.size()),
            seconds(begin));
        rows.push_back({epoch, rate, trainLoss, v, took});
        // Checkpoint: the network and the losses so far after every epoch.
        if (!writeNetwork(net, run.outPath.c_str())) {
            fprintf(stderr, "trainer: cannot write %s\n", run.outPath.c_str());
            return 1;
        }
        if (!writeCsv(run.csvPath, rows)) fprintf(stderr, "trainer: cannot write %s\n", run.csvPath.c_str());
        fflush(stdout);
    }
    printf("trainer: wrote %s and %s\n", run.outPath.c_str(), run.csvPath.c_str());
    if (!run.plotPath.empty()) plot(run.csvPath, run.plotPath);

    const char *checks[] = {
        "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1",
        "rnb1kbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1",
        "rnb1kbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR b KQkq - 0 1",
        "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNB1KBNR w KQkq - 0 1",
        "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNB1KBNR b KQkq - 0 1",
    };
    for (const char *fen : checks) printf("check %6d  %s\n", engineScore(net, fen), fen);
    return 0;
}

// Whole-string number parsing: a stray character is an error, not a zero.
bool parseNumber(const char *text, double &value) {
    char *end = nullptr;
    value = strtod(text, &end);
    return end != text && *end == '\0' && std::isfinite(value);
}

int usage() {
    fprintf(stderr,
            "usage: trainer (--records FILE ... | --data FILE ...) [--out network.txt] [--csv FILE]\n"
            "               [--plot FILE.png] [--epochs N] [--batch N] [--threads N] [--lr X]\n"
            "               [--lr-drop-epoch N] [--lr-drop-factor F] [--cosine] [--seed N]\n"
            "               [--valid X] [--valid-every N] [--blend B] [--scale K] [--clip CP]\n"
            "               [--decay X] [--no-mirror] [--resume FILE] [--start-epoch N] [--king] [--king-lr F]\n"
            "               [--king-factors]\n"
            "(the options are described at the top of tools/trainer.cpp)\n");
    return 1;
}

}  // namespace

int main(int argc, char **argv) {
    std::vector<Input> inputs;
    std::string outPath = "network.txt", csvPath, plotPath, resumePath;
    int epochs = 30, startEpoch = 1, threads = 2, validEvery = 0;
    double valid = 0.05;
    uint64_t seed = 1;
    bool blendGiven = false;
    Schedule schedule;
    bool king = false;
    float rowLrScale = 1.0f;  // --king-lr
    bool kingFactors = false;
    Trainer t;
    t.loss.blend = 0.25f;
    for (int a = 1; a < argc; ++a) {
        const std::string arg = argv[a];
        if (arg == "--no-mirror") {
            t.mirror = false;
            continue;
        }
        if (arg == "--cosine") {
            schedule.cosine = true;
            continue;
        }
        if (arg == "--king") {
            king = true;
            continue;
        }
        if (arg == "--king-factors") {
            kingFactors = true;
            continue;
        }
        if (a + 1 >= argc) {
            fprintf(stderr, "trainer: %s needs a value\n", argv[a]);
            return usage();
        }
        const char *next = argv[++a];
        double v = 0.0;
        const bool number = parseNumber(next, v);
        auto whole = [&](double low) { return number && v == std::floor(v) && v >= low && v <= 2e9; };
        bool ok = true;
        if (arg == "--records")
            inputs.push_back({next, false});
        else if (arg == "--data")
            inputs.push_back({next, true});
        else if (arg == "--out")
            outPath = next;
        else if (arg == "--csv")
            csvPath = next;
        else if (arg == "--plot")
            plotPath = next;
        else if (arg == "--resume")
            resumePath = next;
        else if (arg == "--epochs")
            ok = whole(1), epochs = int(v);
        else if (arg == "--start-epoch")
            ok = whole(1), startEpoch = int(v);
        else if (arg == "--batch")
            ok = whole(1), t.batch = int(v);
        else if (arg == "--threads")
            ok = whole(1) && v <= 256, threads = int(v);
        else if (arg == "--lr")
            ok = number && v > 0, schedule.lr = float(v);
        else if (arg == "--lr-drop-epoch")
            ok = whole(1), schedule.dropEpoch = int(v);
        else if (arg == "--lr-drop-factor")
            ok = number && v > 0, schedule.dropFactor = float(v);
        else if (arg == "--seed")
            ok = whole(0), seed = uint64_t(v);
        else if (arg == "--valid")
            ok = number && v >= 0 && v < 1, valid = v;
        else if (arg == "--valid-every")
            ok = whole(0), validEvery = int(v);
        else if (arg == "--blend")
            ok = number && v >= 0 && v <= 1, t.loss.blend = float(v), blendGiven = true;
        else if (arg == "--scale")
            ok = number && v > 0, t.loss.scale = float(v);
        else if (arg == "--clip")
            ok = number && v > 0, t.loss.clip = float(v);
        else if (arg == "--decay")
            ok = number && v >= 0, t.decay = float(v);
        else if (arg == "--king-lr")
            ok = number && v > 0 && v <= 1, rowLrScale = float(v);
        else {
            fprintf(stderr, "trainer: unknown argument %s\n", arg.c_str());
            return usage();
        }
        if (!ok) {
            fprintf(stderr, "trainer: bad value for %s: %s\n", arg.c_str(), next);
            return usage();
        }
    }
    if (inputs.empty()) return usage();
    if (kingFactors && !king) {
        fprintf(stderr, "trainer: --king-factors needs --king\n");
        return usage();
    }
    if (csvPath.empty()) {
        csvPath = outPath;
        if (csvPath.size() > 4 && csvPath.ends_with(".txt")) csvPath.resize(csvPath.size() - 4);
        csvPath += "-loss.csv";
    }
    if (validEvery == 0 && valid > 0) validEvery = int(std::lround(1.0 / valid));
    const bool anyText = std::any_of(inputs.begin(), inputs.end(), [](const Input &i) { return i.text; });
    if (anyText && t.loss.blend > 0) {
        if (blendGiven) printf("trainer: text data carries no game results; --blend is set to 0\n");
        t.loss.blend = 0.0f;
    }

    DataSets sets;
    size_t reserve = 0;
    for (const Input &i : inputs) {
        std::error_code error;
        const auto size = std::filesystem::file_size(i.path, error);
        if (!error && !i.text) reserve += size_t(size) / RECORD_BYTES;
    }
    sets.train.reserve(reserve);
    for (const Input &i : inputs) {
        const bool loaded =
            i.text ? loadText(i.path.c_str(), valid, sets) : loadRecords(i.path.c_str(), validEvery, sets);
        if (!loaded) {
            fprintf(stderr, "trainer: cannot open %s\n", i.path.c_str());
            return 1;
        }
    }
    sets.train.shrink_to_fit();
    if (sets.train.empty() || sets.valid.empty()) {
        fprintf(stderr, "trainer: not enough data (%zu positions for training, %zu held out)\n", sets.train.size(),
                sets.valid.size());
        return 1;
    }
    if (sets.train.size() > UINT32_MAX) {
        fprintf(stderr, "trainer: more than 2^32 training positions\n");
        return 1;
    }
    printf("trainer: %zu positions (%ld unreadable), %zu for training, %zu held out",
           sets.train.size() + sets.valid.size(), sets.unreadable, sets.train.size(), sets.valid.size());
    if (sets.games > 0) printf("; %zu games, %zu of them held out", sets.games, sets.validGames);
    printf("\ntrainer: %d threads, batch %d, blend %.2f, scale %.0f, clip %.0f, decay %g, seed %llu\n", threads,
           t.batch, double(t.loss.blend), double(t.loss.scale), double(t.loss.clip), double(t.decay),
           (unsigned long long)seed);

    Run run{outPath, csvPath, plotPath, resumePath, epochs, startEpoch, threads, seed, schedule};
    if (!king) return train<Params>(run, sets, t);
    printf("trainer: generation 0.8's king-relative network (factorised first layer), written as network.nn\n");
    KingTrainer kt;
    kt.batch = t.batch, kt.mirror = t.mirror, kt.decay = t.decay, kt.loss = t.loss;
    kt.row_lr_scale = rowLrScale;
    kt.factors = kingFactors;
    printf("trainer: king-specific rows learn at %g times the learning rate\n", double(rowLrScale));
    if (kingFactors) printf("trainer: with the king-piece and offset factors\n");
    return train<KingParams>(run, sets, kt);
}
