// fit-hce - fits the weights and endgame corrections of the hand-crafted
// evaluation (eval/hce/) to scored training records and writes them as the
// data source eval/hce/weights.cpp.
//
//   fit-hce [--out FILE] [--holdout N] [--ridge A] [--shrink K] [--label record|network]
//           [--result-blend L] RECORDS...
//
// The reference score of a record is its own score (--label record, the
// default: the score its labeller wrote) or the evaluation of generation
// 0.9's shipped network (--label network).  --result-blend L (0 <= L < 1)
// mixes in the game result where scores are win probabilities:
// p = (1 - L) sigmoid(score / 400) + L (result + 1) / 2, turned back into
// centipawns as 400 ln(p / (1 - p)) and clipped to +-3000.
//
// Every record (tools/record.h) whose side to move is not in check, whose
// score is within +-3000 centipawns and which has 4 to 32 pieces is a
// sample; every N-th record (by index across the files, default 10) is held
// out for measuring, the rest are fitted.
//
// 1. One least-squares fit over all piece counts (the global fit), with a
//    light ridge in units of each feature's mean square.
// 2. One fit per piece count 4..32 from its own normal equations, pulled
//    towards the global fit by a ridge worth A samples (default 200), so that
//    rare piece counts stay close to the global weights.  Feature 12 (cannot
//    occur) and, with 32 pieces, features 0 and 1 (always 0) get weight 0.
// 3. Per endgame distribution of 4 to 6 pieces, the mean residual of the
//    linear fit from the stronger side's view, shrunk towards 0 as if K more
//    samples of residual 0 had been seen (default 20).
//
// Printed: sample counts and the held-out rms error of a material-only fit
// (pawn, knight, bishop, rook and queen differences and a constant), of the
// linear fit alone and with the endgame corrections.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "board/board.h"
#include "board/moves.h"
#include "board/sliders/sliders.h"
#include "eval/hce/endgame.h"
#include "eval/hce/features.h"
#include "io/output.h"
#include "network/network.h"
#include "tools/record.h"

namespace {

constexpr int N = MAX_FEATURES;
constexpr int MIN_PIECES = 4, MAX_PIECES = 32;
constexpr int SCORE_LIMIT = 3000;
constexpr int MATERIAL_TERMS = 6;  // P, N, B, R, Q differences and a constant

struct Options {
    const char *out = "eval/hce/weights.cpp";
    int holdout = 10;
    double ridge = 200.0;
    double shrink = 20.0;
    bool network_label = false;
    double result_blend = 0.0;
    std::vector<const char *> files;
};

// Normal equations of one least-squares problem with n unknowns: the upper
// triangle of X'X, X'y and the sample count.
struct Normal {
    int n = 0;
    std::vector<double> a, b;
    uint64_t samples = 0;
    void init(int size) {
        n = size;
        a.assign(size_t(size) * size, 0.0);
        b.assign(size, 0.0);
    }
    void add(const double *x, double y) {
        for (int i = 0; i < n; i++) {
            if (x[i] == 0.0) continue;
            double *row = &a[size_t(i) * n];
            for (int j = i; j < n; j++) row[j] += x[i] * x[j];
            b[i] += x[i] * y;
        }
        samples++;
    }
};

// Solves (A + diag(ridge)) w = b + diag(ridge) prior with A the symmetric
// matrix of `normal`; the unknowns in `fixed` are held at 0.  Cholesky.
std::vector<double> solve(const Normal &normal, const std::vector<double> &ridge, const std::vector<double> &prior,
                          const std::vector<bool> &fixed) {
    const int n = normal.n;
    std::vector<double> m(size_t(n) * n), w(n);
    for (int i = 0; i < n; i++) {
        for (int j = i; j < n; j++) m[size_t(i) * n + j] = m[size_t(j) * n + i] = normal.a[size_t(i) * n + j];
        m[size_t(i) * n + i] += ridge[i];
        w[i] = normal.b[i] + ridge[i] * prior[i];
    }
    for (int i = 0; i < n; i++) {
        if (!fixed[i]) continue;
        for (int j = 0; j < n; j++) m[size_t(i) * n + j] = m[size_t(j) * n + i] = 0.0;
        m[size_t(i) * n + i] = 1.0;
        w[i] = 0.0;
    }
    // In place: m = L L', then forward and back substitution.
    for (int j = 0; j < n; j++) {
        double d = m[size_t(j) * n + j];
        for (int k = 0; k < j; k++) d -= m[size_t(j) * n + k] * m[size_t(j) * n + k];
        if (d <= 1e-12) d = 1e-12;  // a column with no information keeps its prior
        const double root = std::sqrt(d);
        m[size_t(j) * n + j] = root;
        for (int i = j + 1; i < n; i++) {
            double s = m[size_t(i) * n + j];
            for (int k = 0; k < j; k++) s -= m[size_t(i) * n + k] * m[size_t(j) * n + k];
            m[size_t(i) * n + j] = s / root;
        }
    }
    for (int i = 0; i < n; i++) {
        double s = w[i];
        for (int k = 0; k < i; k++) s -= m[size_t(i) * n + k] * w[k];
        w[i] = s / m[size_t(i) * n + i];
    }
    for (int i = n - 1; i >= 0; i--) {
        double s = w[i];
        for (int k = i + 1; k < n; k++) s -= m[size_t(k) * n + i] * w[k];
        w[i] = s / m[size_t(i) * n + i];
    }
    return w;
}

// One usable record: its features, piece count, signed endgame index (0
// outside 4 to 6 pieces), score and whether it is held out.
struct Sample {
    int32_t features[N];
    int32_t material[MATERIAL_TERMS];
    int pieces;
    int endgame;
    double score;
};

SearchThread *thread;

// Sets the record up and computes its sample; false when it is not usable.
bool makeSample(const Options &o, const PackedRecord &r, Sample &s) {
    if (recordProblem(r)) return false;
    if (!o.network_label && (r.score < -SCORE_LIMIT || r.score > SCORE_LIMIT)) return false;
    s.pieces = popCount(r.occupied);
    if (s.pieces < MIN_PIECES) return false;
    char fen[128];
    recordToFen(r, fen);
    if (readFen(*thread, fen)) return false;
    Position &pos = *thread->stack.current;
    computeAttackInfo(pos);
    if (inCheck(pos)) return false;
    computePositionFeatures(pos, s.features);
    for (int t = PAWN; t <= QUEEN; t++) s.material[t - 1] = popCount(pos.us->bb[t]) - popCount(pos.them->bb[t]);
    s.material[MATERIAL_TERMS - 1] = 1;
    s.endgame = s.pieces <= ENDGAME_MAX_PIECES ? signedEndgameIndex(*pos.us, *pos.them) : 0;
    s.score = o.network_label ? evaluateNetwork(pos.accumulator, pos.us->colour == WHITE ? 0 : 1) : r.score;
    if (s.score < -SCORE_LIMIT || s.score > SCORE_LIMIT) return false;
    if (o.result_blend > 0.0) {
        const double p = (1.0 - o.result_blend) / (1.0 + std::exp(-s.score / 400.0)) + o.result_blend * (r.result + 1) / 2.0;
        s.score = p <= 0.0 ? -SCORE_LIMIT : p >= 1.0 ? SCORE_LIMIT : std::clamp(400.0 * std::log(p / (1.0 - p)), -double(SCORE_LIMIT), double(SCORE_LIMIT));
    }
    return true;
}

// Calls visit(sample, held_out) for every usable record of the files.
template <typename Visit>
bool forEachSample(const Options &o, Visit visit) {
    uint64_t index = 0;
    std::vector<PackedRecord> chunk(65536);
    Sample sample;
    for (const char *name : o.files) {
        FILE *in = fopen(name, "rb");
        if (!in) {
            fprintf(stderr, "fit-hce: cannot open %s\n", name);
            return false;
        }
        size_t got;
        while ((got = fread(chunk.data(), sizeof(PackedRecord), chunk.size(), in)) > 0)
            for (size_t i = 0; i < got; i++, index++)
                if (makeSample(o, chunk[i], sample))
                    visit(sample, o.holdout > 0 && index % o.holdout == uint64_t(o.holdout - 1));
        fclose(in);
    }
    return true;
}

double dot(const int32_t *x, const double *w, int n) {
    double sum = 0.0;
    for (int i = 0; i < n; i++) sum += x[i] * w[i];
    return sum;
}

void writeTable(FILE *out, const double *values, int count) {
    for (int i = 0; i < count; i++) {
        fprintf(out, "%s%.6ff,", i % 8 == 0 ? "    " : " ", values[i]);
        if (i % 8 == 7 || i == count - 1) fprintf(out, "\n");
    }
}

bool parseOptions(int argc, char **argv, Options &o) {
    for (int i = 1; i < argc; i++) {
        const bool has_value = i + 1 < argc;
        if (!strcmp(argv[i], "--out") && has_value)
            o.out = argv[++i];
        else if (!strcmp(argv[i], "--holdout") && has_value)
            o.holdout = atoi(argv[++i]);
        else if (!strcmp(argv[i], "--ridge") && has_value)
            o.ridge = atof(argv[++i]);
        else if (!strcmp(argv[i], "--shrink") && has_value)
            o.shrink = atof(argv[++i]);
        else if (!strcmp(argv[i], "--label") && has_value && (!strcmp(argv[i + 1], "record") || !strcmp(argv[i + 1], "network")))
            o.network_label = !strcmp(argv[++i], "network");
        else if (!strcmp(argv[i], "--result-blend") && has_value)
            o.result_blend = atof(argv[++i]);
        else if (argv[i][0] == '-')
            return false;
        else
            o.files.push_back(argv[i]);
    }
    return !o.files.empty() && o.holdout >= 0 && o.ridge >= 0 && o.shrink >= 0 && o.result_blend >= 0.0 &&
           o.result_blend < 1.0;
}

}  // namespace

int main(int argc, char **argv) {
    Options o;
    if (!parseOptions(argc, argv, o)) {
        fprintf(stderr,
                "usage: fit-hce [--out FILE] [--holdout N] [--ridge A] [--shrink K] [--label record|network]\n"
                "               [--result-blend L] RECORDS...\n");
        return 2;
    }
    setOutputEnabled(false);
    initSliders();
    if (o.network_label) loadNetwork();  // network.nn or network.txt here, else the embedded one
    std::unique_ptr<SearchThread> owner = std::make_unique<SearchThread>();
    thread = owner.get();

    // Pass 1: normal equations per piece count and of the material-only model.
    std::vector<Normal> per_count(MAX_PIECES + 1);
    for (int p = MIN_PIECES; p <= MAX_PIECES; p++) per_count[p].init(N);
    Normal material;
    material.init(MATERIAL_TERMS);
    uint64_t held_out = 0;
    double x[N];
    if (!forEachSample(o, [&](const Sample &s, bool test) {
            if (test) {
                held_out++;
                return;
            }
            for (int i = 0; i < N; i++) x[i] = s.features[i];
            per_count[s.pieces].add(x, s.score);
            double m[MATERIAL_TERMS];
            for (int i = 0; i < MATERIAL_TERMS; i++) m[i] = s.material[i];
            material.add(m, s.score);
        }))
        return 1;
    if (material.samples == 0) {
        fprintf(stderr, "fit-hce: no usable training records\n");
        return 1;
    }

    // The global fit, with a ridge of one sample in each feature's units.
    Normal global;
    global.init(N);
    for (int p = MIN_PIECES; p <= MAX_PIECES; p++) {
        for (size_t i = 0; i < global.a.size(); i++) global.a[i] += per_count[p].a[i];
        for (int i = 0; i < N; i++) global.b[i] += per_count[p].b[i];
        global.samples += per_count[p].samples;
    }
    std::vector<double> scale(N), ridge(N), zero(N, 0.0);
    for (int i = 0; i < N; i++) {
        scale[i] = global.a[size_t(i) * N + i] / double(global.samples);
        if (scale[i] <= 0.0) scale[i] = 1.0;
        ridge[i] = scale[i];
    }
    std::vector<bool> fixed(N, false);
    fixed[featureOpposed(7)] = true;
    const std::vector<double> global_w = solve(global, ridge, zero, fixed);

    std::vector<std::vector<double>> weights(MAX_PIECES + 1, std::vector<double>(N, 0.0));
    for (int p = MIN_PIECES; p <= MAX_PIECES; p++) {
        std::vector<bool> fixed_p = fixed;
        if (p == MAX_PIECES) fixed_p[FEATURE_PIECES] = fixed_p[FEATURE_BARE_KING] = true;
        for (int i = 0; i < N; i++) ridge[i] = o.ridge * scale[i];
        weights[p] = solve(per_count[p], ridge, global_w, fixed_p);
    }
    const std::vector<double> material_w =
        solve(material, std::vector<double>(MATERIAL_TERMS, 1.0), std::vector<double>(MATERIAL_TERMS, 0.0),
              std::vector<bool>(MATERIAL_TERMS, false));

    // Pass 2: endgame residuals of the training samples; predictions of the
    // held-out samples.
    const int key_counts[3] = {ENDGAME_KEYS4, ENDGAME_KEYS5, ENDGAME_KEYS6};
    std::vector<double> residual_sum[3], residual_count[3], corrections[3];
    for (int k = 0; k < 3; k++) {
        residual_sum[k].assign(key_counts[k], 0.0);
        residual_count[k].assign(key_counts[k], 0.0);
    }
    struct Held {
        double linear, material, score;
        int pieces, endgame;
    };
    std::vector<Held> held;
    held.reserve(held_out);
    forEachSample(o, [&](const Sample &s, bool test) {
        const double linear = dot(s.features, weights[s.pieces].data(), N);
        if (test) {
            held.push_back({linear, dot(s.material, material_w.data(), MATERIAL_TERMS), s.score, s.pieces, s.endgame});
        } else if (s.endgame != 0) {
            const int k = s.pieces - ENDGAME_MIN_PIECES;
            const int index = s.endgame > 0 ? s.endgame : -s.endgame;
            residual_sum[k][index] += s.endgame > 0 ? s.score - linear : linear - s.score;
            residual_count[k][index] += 1.0;
        }
    });
    for (int k = 0; k < 3; k++) {
        corrections[k].assign(key_counts[k], 0.0);
        for (int i = 1; i < key_counts[k]; i++)
            corrections[k][i] = residual_sum[k][i] / (residual_count[k][i] + o.shrink);
    }

    double err_material = 0, err_linear = 0, err_full = 0, err_zero = 0;
    for (const Held &h : held) {
        double full = h.linear;
        if (h.endgame != 0) {
            const std::vector<double> &c = corrections[h.pieces - ENDGAME_MIN_PIECES];
            full += h.endgame > 0 ? c[h.endgame] : -c[-h.endgame];
        }
        err_material += (h.material - h.score) * (h.material - h.score);
        err_linear += (h.linear - h.score) * (h.linear - h.score);
        err_full += (full - h.score) * (full - h.score);
        err_zero += h.score * h.score;
    }
    const double count = held.empty() ? 1.0 : double(held.size());
    char summary[512];
    snprintf(summary, sizeof summary,
             "training samples %llu, held-out samples %zu (every %d-th record)\n"
             "held-out rmse: zero %.1f, material-only %.1f, linear %.1f, linear + endgame %.1f\n",
             (unsigned long long)material.samples, held.size(), o.holdout, std::sqrt(err_zero / count),
             std::sqrt(err_material / count), std::sqrt(err_linear / count), std::sqrt(err_full / count));
    fputs(summary, stdout);

    FILE *out = fopen(o.out, "w");
    if (!out) {
        fprintf(stderr, "fit-hce: cannot write %s\n", o.out);
        return 1;
    }
    fprintf(out, "// Generated by tools/fit_hce.cpp; do not edit.  Fitted to:\n");
    // Only the file names: where the data lay on the machine that fitted them
    // means nothing to a reader of the tree.
    for (const char *name : o.files) {
        const char *slash = strrchr(name, '/');
        fprintf(out, "//   $DATA_DIR/%s\n", slash ? slash + 1 : name);
    }
    fprintf(out, "// with --holdout %d --ridge %g --shrink %g --label %s --result-blend %g:\n", o.holdout, o.ridge,
            o.shrink, o.network_label ? "network" : "record", o.result_blend);
    for (const char *line = summary; *line;) {
        const char *end = strchr(line, '\n');
        fprintf(out, "//   %.*s\n", int(end - line), line);
        line = end + 1;
    }
    fprintf(out, "#include \"eval/hce/evaluate.h\"\n\n");
    fprintf(out, "// [pieces][feature]; sets 0 to 3 are unused.\n");
    fprintf(out, "const float hce_weights[HCE_MAX_PIECES + 1][MAX_FEATURES] = {\n");
    for (int p = 0; p <= MAX_PIECES; p++) {
        fprintf(out, "    // %d pieces, %llu samples\n    {\n", p, (unsigned long long)per_count[p].samples);
        writeTable(out, weights[p].data(), N);
        fprintf(out, "    },\n");
    }
    fprintf(out, "};\n");
    const char *names[3] = {"endgame_corrections4[ENDGAME_KEYS4]", "endgame_corrections5[ENDGAME_KEYS5]",
                            "endgame_corrections6[ENDGAME_KEYS6]"};
    for (int k = 0; k < 3; k++) {
        fprintf(out, "\nconst float %s = {\n", names[k]);
        writeTable(out, corrections[k].data(), key_counts[k]);
        fprintf(out, "};\n");
    }
    fclose(out);
    return 0;
}
