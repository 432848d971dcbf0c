// Fuzz target: the input reader of the evaluation analysis modes.  The input
// becomes a file that analyse mode and score mode both read.  Each must
// succeed, count every line once (as a sample or as ignored), and analyse
// mode must write one row a sample: 128 or 129 integers separated by ';',
// a signed endgame index first when there are 129, the reference last and
// within the 16-bit range.  Score mode uses no line that analyse mode left
// out.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "board/sliders/sliders.h"
#include "eval/hce/analysis.h"
#include "eval/hce/features.h"
#include "fuzz_common.h"

static char folder[] = "/tmp/vexar-fuzz-analysis-XXXXXX";
static std::string input_path, csv_path;

static void removeFiles() {
    unlink(input_path.c_str());
    unlink(csv_path.c_str());
    rmdir(folder);
}

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    const int null = open("/dev/null", O_WRONLY);
    if (null < 0 || dup2(null, STDOUT_FILENO) < 0) std::abort();
    close(null);
    initSliders();
    if (!mkdtemp(folder)) std::abort();
    input_path = std::string(folder) + "/input.txt";
    csv_path = std::string(folder) + "/features.csv";
    std::atexit(removeFiles);
    return 0;
}

// Checks one CSV row; returns false with a reason in `why`.
static bool rowIsWellFormed(const char *row, const char *&why) {
    long values[MAX_FEATURES + 1];
    int count = 0;
    const char *p = row;
    while (true) {
        if (count == MAX_FEATURES + 1) return why = "more than 129 fields", false;
        if (!(*p == '-' || (*p >= '0' && *p <= '9'))) return why = "a field that is not an integer", false;
        char *end = nullptr;
        errno = 0;
        values[count++] = std::strtol(p, &end, 10);
        if (errno || end == p) return why = "a field that is not an integer", false;
        p = end;
        if (*p == '\n' && p[1] == '\0') break;
        if (*p != ';') return why = "a field not followed by ';' or the line end", false;
        p++;
    }
    if (count != MAX_FEATURES && count != MAX_FEATURES + 1) return why = "neither 128 nor 129 fields", false;
    const long reference = values[count - 1];
    if (reference > CSV_REFERENCE_LIMIT || reference < -CSV_REFERENCE_LIMIT)
        return why = "a reference out of range", false;
    if (count == MAX_FEATURES + 1 && (values[0] == 0 || values[0] >= 366 || values[0] <= -366))
        return why = "an endgame index out of range", false;
    return true;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size > 16384) return 0;
    FILE *file = std::fopen(input_path.c_str(), "wb");
    FUZZ_CHECK(file && std::fwrite(data, 1, size, file) == size && std::fclose(file) == 0, "cannot write %s",
               input_path.c_str());
    uint64_t lines = 0;
    for (size_t i = 0; i < size; i++) lines += data[i] == '\n';
    if (size && data[size - 1] != '\n') lines++;

    AnalysisCounts analysed, scored;
    FUZZ_CHECK(runFeatureMode(input_path.c_str(), csv_path.c_str(), analysed) == 0, "analyse mode failed");
    FUZZ_CHECK(analysed.lines == lines, "analyse mode read %llu lines of %llu", (unsigned long long)analysed.lines,
               (unsigned long long)lines);
    FUZZ_CHECK(analysed.samples + analysed.ignored == lines, "analyse mode lost lines");
    FUZZ_CHECK(analysed.clipped <= analysed.samples, "more references clipped than samples");

    FILE *csv = std::fopen(csv_path.c_str(), "r");
    FUZZ_CHECK(csv, "no feature file");
    char row[4096];
    uint64_t rows = 0;
    while (std::fgets(row, sizeof row, csv)) {
        const char *why = nullptr;
        FUZZ_CHECK(rowIsWellFormed(row, why), "row %llu: %s: %s", (unsigned long long)rows + 1, why, row);
        rows++;
    }
    std::fclose(csv);
    FUZZ_CHECK(rows == analysed.samples, "%llu rows for %llu samples", (unsigned long long)rows,
               (unsigned long long)analysed.samples);

    FUZZ_CHECK(runScoreMode(input_path.c_str(), scored) == 0, "score mode failed");
    FUZZ_CHECK(scored.lines == lines && scored.samples + scored.ignored == lines, "score mode lost lines");
    FUZZ_CHECK(scored.samples <= analysed.samples, "score mode used a line that analyse mode ignored");
    return 0;
}
