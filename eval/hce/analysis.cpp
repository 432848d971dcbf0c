#include "eval/hce/analysis.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "board/board.h"
#include "board/moves.h"
#include "eval/hce/endgame.h"
#include "eval/hce/evaluate.h"
#include "eval/hce/features.h"
#include "io/output.h"

// The record the input positions are set up in.  The modes run instead of
// the command loop, so they keep their own record rather than the game's.
static SearchThread analysis_thread;

// Room for the longest line, its line break and the terminating NUL.
static constexpr int LINE_BUFFER = ANALYSIS_LINE_LIMIT + 2;

enum LineRead { LINE_END_OF_INPUT, LINE_READ, LINE_TOO_LONG };

// Reads one line with its line break (the last line of a file may have
// none).  A line longer than the limit is consumed to its end and reported
// as too long, so that its tail is never taken for a line of its own.
static int readInputLine(FILE *in, char line[LINE_BUFFER]) {
    int length = 0, c = 0;
    bool too_long = false;
    while ((c = getc(in)) != EOF) {
        if (c == '\n') {
            if (!too_long) line[length++] = '\n';
            break;
        }
        if (length < ANALYSIS_LINE_LIMIT)
            line[length++] = char(c);
        else
            too_long = true;
    }
    // A read error ends the input; the caller finds it with ferror and errno.
    if (c == EOF && (std::ferror(in) || (length == 0 && !too_long))) return LINE_END_OF_INPUT;
    line[length] = '\0';
    return too_long ? LINE_TOO_LONG : LINE_READ;
}

// Sets the line's position up in analysis_thread's first slot with its
// attack data and legal moves, and reads its reference in centipawns
// (rounded half away from zero; 0 when there is no legal move).  Returns
// false when the line cannot be used.  Text after the line's first NUL, if
// any, is not looked at.
static bool readSample(const char *line, int32_t &reference) {
    const char *semicolon = strchr(line, ';');
    if (!semicolon) return false;
    double pawns = 0.0;
    if (sscanf(semicolon + 1, "%lf", &pawns) != 1 || !std::isfinite(pawns)) return false;
    const double centipawns = std::round(pawns * 100.0);
    if (!(centipawns >= double(INT32_MIN) && centipawns <= double(INT32_MAX))) return false;

    if (readFen(analysis_thread, line)) return false;
    Position &pos = *analysis_thread.stack.current;
    computeAttackInfo(pos);
    generateMoves(analysis_thread.stack, pos);
    const bool no_move = pos.moves.generated == 0;
    // A side in check is left out unless it has no move at all: a mate is a
    // sample with the reference 0, like a stalemate.
    if (inCheck(pos) && !no_move) return false;
    reference = no_move ? 0 : int32_t(centipawns);
    return true;
}

// One line on standard error for a file the mode cannot work with.
static int fileFailure(const char *what, const char *path, int error) {
    std::fprintf(stderr, "info string Cannot %s \"%s\": %s\n", what, path, std::strerror(error));
    return 1;
}

// The signed endgame index for 4 to 6 pieces, the features, the reference.
static void writeFeatureRow(FILE *out, const Position &pos, int32_t reference) {
    const int pieces = popCount(pos.occupied);
    if (pieces >= ENDGAME_MIN_PIECES && pieces <= ENDGAME_MAX_PIECES)
        std::fprintf(out, "%i;", signedEndgameIndex(*pos.us, *pos.them));
    int32_t features[MAX_FEATURES];
    computePositionFeatures(pos, features);
    for (int i = 0; i < HCE_FEATURE_COUNT; i++) std::fprintf(out, "%i;", features[i]);
    std::fprintf(out, "%i\n", reference);
}

int runFeatureMode(const char *input, const char *csv, AnalysisCounts &counts) {
    counts = AnalysisCounts{};
    FILE *in = std::fopen(input, "r");
    if (!in) return fileFailure("open the input file", input, errno);
    FILE *out = std::fopen(csv, "w");
    if (!out) {
        const int error = errno;
        std::fclose(in);
        return fileFailure("create the feature file", csv, error);
    }

    char line[LINE_BUFFER];
    int read;
    while ((read = readInputLine(in, line)) != LINE_END_OF_INPUT) {
        counts.lines++;
        int32_t reference = 0;
        if (read == LINE_TOO_LONG || !readSample(line, reference)) {
            counts.ignored++;
            continue;
        }
        if (reference > CSV_REFERENCE_LIMIT || reference < -CSV_REFERENCE_LIMIT) {
            reference = reference > 0 ? CSV_REFERENCE_LIMIT : -CSV_REFERENCE_LIMIT;
            counts.clipped++;
        }
        writeFeatureRow(out, *analysis_thread.stack.current, reference);
        counts.samples++;
    }

    const bool read_failed = std::ferror(in);
    const int read_error = errno;
    std::fclose(in);
    bool write_failed = std::ferror(out);
    int write_error = errno;
    if (std::fclose(out) != 0) {
        write_failed = true;
        write_error = errno;
    }
    if (read_failed) return fileFailure("read the input file", input, read_error ? read_error : EIO);
    if (write_failed) return fileFailure("write the feature file", csv, write_error ? write_error : EIO);

    if (counts.ignored) writeOut("Warning, %llu positions ignored\n", (unsigned long long)counts.ignored);
    if (counts.clipped)
        writeOut("Warning, %llu references clipped to +-%i\n", (unsigned long long)counts.clipped, CSV_REFERENCE_LIMIT);
    return 0;
}

int runScoreMode(const char *input, AnalysisCounts &counts) {
    counts = AnalysisCounts{};
    FILE *in = std::fopen(input, "r");
    if (!in) return fileFailure("open the input file", input, errno);

    char line[LINE_BUFFER];
    int read;
    while ((read = readInputLine(in, line)) != LINE_END_OF_INPUT) {
        counts.lines++;
        int32_t reference = 0;
        // Positions with 2 or 3 pieces have no weight set: their evaluation
        // says nothing about the weights.
        if (read == LINE_TOO_LONG || !readSample(line, reference) ||
            popCount(analysis_thread.stack.current->occupied) < HCE_MIN_PIECES) {
            counts.ignored++;
            continue;
        }
        const int32_t eval = evaluatePosition(*analysis_thread.stack.current);
        const long long delta = (long long)eval - reference;
        if (delta) {
            const size_t length = strlen(line);
            const bool line_break = length > 0 && line[length - 1] == '\n';
            writeOut("delta = %lli, vexar = %i, stock = %i : %s%s", delta, eval, reference, line,
                     line_break ? "" : "\n");
        }
        const unsigned long long size = (unsigned long long)(delta < 0 ? -delta : delta);
        counts.error += size * size;
        counts.samples++;
    }

    const bool read_failed = std::ferror(in);
    const int read_error = errno;
    std::fclose(in);
    if (read_failed) return fileFailure("read the input file", input, read_error ? read_error : EIO);

    if (counts.ignored) writeOut("Warning, %llu positions ignored\n", (unsigned long long)counts.ignored);
    // Without a sample there is no error to average: the summary says so with
    // a count of 0 and means of 0 rather than a not-a-number.
    const double mse = counts.samples ? double(counts.error) / double(counts.samples) : 0.0;
    writeOut("Samples = %llu, error = %llu, mse = %0.3f, rmse = %0.3f\n", (unsigned long long)counts.samples,
             (unsigned long long)counts.error, mse, std::sqrt(mse));
    return 0;
}

AnalysisRequest selectAnalysisMode(int argc, char **argv) {
    static constexpr const char *ANALYSE = "-analyse=", *SCORE = "-score=", *CSV = "-csv=";
    AnalysisRequest request = {ANALYSIS_NONE, nullptr, DEFAULT_FEATURE_FILE};
    int selecting = 0;
    for (int i = 1; i < argc && argv[i] && request.mode == ANALYSIS_NONE; i++) {
        if (const char *option = strstr(argv[i], ANALYSE)) {
            request = {ANALYSIS_FEATURES, option + strlen(ANALYSE), request.csv};
            selecting = i;
        } else if (const char *option = strstr(argv[i], SCORE)) {
            request = {ANALYSIS_SCORE, option + strlen(SCORE), request.csv};
            selecting = i;
        }
    }
    for (int i = 1; i < argc && argv[i]; i++)
        if (i != selecting && strncmp(argv[i], CSV, strlen(CSV)) == 0) {
            request.csv = argv[i] + strlen(CSV);
            break;
        }
    return request;
}

int runAnalysisMode(int argc, char **argv) {
    const AnalysisRequest request = selectAnalysisMode(argc, argv);
    AnalysisCounts counts;
    switch (request.mode) {
        case ANALYSIS_FEATURES:
            return runFeatureMode(request.input, request.csv, counts);
        case ANALYSIS_SCORE:
            return runScoreMode(request.input, counts);
        default:
            return -1;
    }
}
