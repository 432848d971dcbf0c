// Offline analysis modes of the hand-crafted evaluation.
//
// Two command-line modes replace the command loop: "-analyse=FILE" writes the
// feature vector of every usable position of FILE as one CSV row (so that the
// weights can be fitted outside the engine), "-score=FILE" compares the
// evaluation with the reference score of every usable position and prints
// the error.  The input holds one position a line: FEN, ";", the reference in
// pawns from the side to move's view.
//
// A line is ignored (and counted) when its FEN is refused, when the side to
// move is in check and still has a legal move, when it holds no ";", or when
// no finite number follows the ";" whose centipawn value fits 32 bits.  Lines
// longer than ANALYSIS_LINE_LIMIT characters are skipped whole.  Score mode
// also ignores positions with 2 or 3 pieces, which have no weight set.  A
// position without a legal move has the reference 0.
//
// The attack tables must be built (initSliders) before a mode runs.
#pragma once

#include <cstdint>

// The longest input line read, its line break not counted.
inline constexpr int ANALYSIS_LINE_LIMIT = 255;
// Where analyse mode writes its rows unless "-csv=PATH" names another file.
inline constexpr const char *DEFAULT_FEATURE_FILE = "features.csv";
// CSV references are meant for 16-bit integers; larger ones are clipped.
inline constexpr int32_t CSV_REFERENCE_LIMIT = 32767;

enum AnalysisMode : int32_t { ANALYSIS_NONE = 0, ANALYSIS_FEATURES = 1, ANALYSIS_SCORE = 2 };

// What the command line asks for.
struct AnalysisRequest {
    int32_t mode;
    const char *input;  // text after the option's "=" (inside the argument)
    const char *csv;    // CSV path of analyse mode
};

// What a mode met in its input.
struct AnalysisCounts {
    uint64_t lines;    // lines read, long ones included
    uint64_t samples;  // lines used
    uint64_t ignored;  // lines not used
    uint64_t clipped;  // analyse mode: references clipped to +-CSV_REFERENCE_LIMIT
    uint64_t error;    // score mode: sum of the squared differences
};

// Looks at argv[1..argc-1] in order: the first argument containing
// "-analyse=" (looked for first) or "-score=" selects the mode, and later
// arguments are not looked at for a mode.  The CSV path is the text after
// the first argument that begins with "-csv=", other than the selecting one.
AnalysisRequest selectAnalysisMode(int argc, char **argv);

// Analyse mode: rows into `csv` (created or truncated), warnings through
// writeOut.  Returns the exit status: 0, or 1 after a line on standard error
// when a file cannot be opened, read or written.
int runFeatureMode(const char *input, const char *csv, AnalysisCounts &counts);
// Score mode: delta lines and the summary through writeOut; the same statuses.
int runScoreMode(const char *input, AnalysisCounts &counts);

// Entry from the start-up: -1 when no argument selects a mode, otherwise the
// exit status of the mode that ran.
int runAnalysisMode(int argc, char **argv);
