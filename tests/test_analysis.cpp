// The evaluation analysis modes: which argument selects a mode, the CSV rows
// of analyse mode, the delta lines and summary of score mode, the lines both
// modes leave out, and files that cannot be used.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "board/board.h"
#include "board/moves.h"
#include "eval/hce/analysis.h"
#include "eval/hce/evaluate.h"
#include "eval/hce/features.h"

namespace {

// Positions used below.  MATED: White to move is mated; STALEMATE: Black to
// move has no move and is not in check; CHECKED: Black is in check with king
// moves; KRKP_BLACK: the pawn side to move (signed endgame index -13).
const std::string MIDDLE = "r1bqkb1r/pppp1ppp/2n2n2/4p3/2B1P3/5N2/PPPP1PPP/RNBQK2R w KQkq - 4 4";
const std::string MIDDLE_BLACK = "r1bqkb1r/pppp1ppp/2n2n2/4p3/2B1P3/5N2/PPPP1PPP/RNBQ1RK1 b kq - 5 4";
const std::string ENDING = "8/5kp1/3p4/8/2P5/6P1/1R3K2/8 w - - 0 1";
const std::string MATED = "R5k1/5ppp/8/8/8/8/5PPP/6K1 b - - 0 1";
const std::string STALEMATE = "7k/5Q2/6K1/8/8/8/8/8 b - - 0 1";
const std::string CHECKED = "4k3/8/8/8/8/8/4R3/4K3 b - - 0 1";
const std::string KRKP_BLACK = "4k3/8/3p4/8/8/8/3R4/4K3 b - - 0 1";
const std::string KRK = "4k3/8/8/8/8/8/3R4/4K3 w - - 0 1";
const std::string KK = "4k3/8/8/8/8/8/8/4K3 w - - 0 1";

class TempDir {
public:
    TempDir() {
        char name[] = "/tmp/vexar-analysis-XXXXXX";
        EXPECT_NE(mkdtemp(name), nullptr);
        path = name;
    }
    ~TempDir() { std::filesystem::remove_all(path); }
    std::string write(const std::string &name, const std::string &text) const {
        const std::string file = path + "/" + name;
        std::ofstream(file, std::ios::binary) << text;
        return file;
    }
    std::string path;
};

std::string readText(const std::string &file) {
    std::ifstream in(file, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// What a mode printed on standard output and standard error, and its status.
struct ModeRun {
    int status;
    std::string out, err;
};

template <class Mode>
ModeRun captured(const TempDir &dir, Mode mode) {
    const std::string out_file = dir.path + "/stdout", err_file = dir.path + "/stderr";
    std::fflush(stdout);
    std::fflush(stderr);
    const int saved_out = dup(1), saved_err = dup(2);
    const int out = open(out_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const int err = open(err_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(out, 1);
    dup2(err, 2);
    ModeRun run;
    run.status = mode();
    std::fflush(stdout);
    std::fflush(stderr);
    dup2(saved_out, 1);
    dup2(saved_err, 2);
    close(out), close(err), close(saved_out), close(saved_err);
    run.out = readText(out_file);
    run.err = readText(err_file);
    return run;
}

std::vector<std::string> splitLines(const std::string &text) {
    std::vector<std::string> lines;
    std::stringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

std::vector<long> fields(const std::string &row) {
    std::vector<long> values;
    std::stringstream in(row);
    for (std::string field; std::getline(in, field, ';');) values.push_back(std::stol(field));
    return values;
}

// The evaluation of a position as score mode sees it.
int32_t evaluationOf(const std::string &fen) {
    auto t = std::make_unique<SearchThread>();
    EXPECT_EQ(readFen(*t, fen.c_str()), nullptr) << fen;
    computeAttackInfo(*t->stack.current);
    return evaluatePosition(*t->stack.current);
}

std::vector<long> featureRow(const std::string &fen, long reference) {
    auto t = std::make_unique<SearchThread>();
    EXPECT_EQ(readFen(*t, fen.c_str()), nullptr) << fen;
    computeAttackInfo(*t->stack.current);
    int32_t f[MAX_FEATURES];
    computePositionFeatures(*t->stack.current, f);
    std::vector<long> row(f, f + HCE_FEATURE_COUNT);
    row.push_back(reference);
    return row;
}

// A reference text for a score in centipawns.
std::string pawns(int32_t centipawns) {
    char text[32];
    std::snprintf(text, sizeof text, "%.2f", centipawns / 100.0);
    return text;
}

ModeRun runArguments(const TempDir &dir, std::vector<std::string> arguments) {
    std::vector<char *> argv;
    for (auto &a : arguments) argv.push_back(a.data());
    argv.push_back(nullptr);
    return captured(dir, [&] { return runAnalysisMode(int(arguments.size()), argv.data()); });
}

// ---------------------------------------------------------------------------
// Arguments

TEST(AnalysisArguments, FirstArgumentHoldingAnOptionDecides) {
    auto select = [](std::vector<std::string> arguments) {
        std::vector<char *> argv;
        for (auto &a : arguments) argv.push_back(a.data());
        argv.push_back(nullptr);
        AnalysisRequest r = selectAnalysisMode(int(arguments.size()), argv.data());
        return std::make_tuple(r.mode, std::string(r.input ? r.input : "(none)"), std::string(r.csv));
    };
    using T = std::tuple<int32_t, std::string, std::string>;
    EXPECT_EQ(select({"vexar"}), T(ANALYSIS_NONE, "(none)", "features.csv"));
    EXPECT_EQ(select({"vexar", "uci", "-csv=x.csv"}), T(ANALYSIS_NONE, "(none)", "x.csv"));
    // The program's own name is not an argument.
    EXPECT_EQ(select({"/opt/-score=/vexar"}), T(ANALYSIS_NONE, "(none)", "features.csv"));
    EXPECT_EQ(select({"vexar", "bench", "-score=positions.txt"}), T(ANALYSIS_SCORE, "positions.txt", "features.csv"));
    // Contained anywhere in the argument; analyse is looked for first.
    EXPECT_EQ(select({"vexar", "--score=a-analyse=b.txt"}), T(ANALYSIS_FEATURES, "b.txt", "features.csv"));
    EXPECT_EQ(select({"vexar", "x-analyse=b-score=c"}), T(ANALYSIS_FEATURES, "b-score=c", "features.csv"));
    // Later arguments are not looked at for a mode.
    EXPECT_EQ(select({"vexar", "-score=s.txt", "-analyse=a.txt"}), T(ANALYSIS_SCORE, "s.txt", "features.csv"));
    EXPECT_EQ(select({"vexar", "-analyse=", "-score=s"}), T(ANALYSIS_FEATURES, "", "features.csv"));
    // The CSV path, before or after the mode, never taken from the mode's own argument.
    EXPECT_EQ(select({"vexar", "-csv=/data/f.csv", "-analyse=a.txt"}), T(ANALYSIS_FEATURES, "a.txt", "/data/f.csv"));
    EXPECT_EQ(select({"vexar", "-analyse=a.txt", "-csv=f.csv", "-csv=g.csv"}), T(ANALYSIS_FEATURES, "a.txt", "f.csv"));
}

TEST(AnalysisArguments, EntryRunsTheSelectedMode) {
    TempDir dir;
    const std::string input = dir.write("in.txt", MIDDLE + ";0.5\n");
    EXPECT_EQ(runArguments(dir, {"vexar"}).status, -1);
    EXPECT_EQ(runArguments(dir, {"vexar", "uci", "go"}).status, -1);

    const ModeRun score = runArguments(dir, {"vexar", "x", "-score=" + input});
    EXPECT_EQ(score.status, 0);
    EXPECT_NE(score.out.find("Samples = 1, "), std::string::npos) << score.out;

    const ModeRun named = runArguments(dir, {"vexar", "-analyse=" + input, "-csv=" + dir.path + "/named.csv"});
    EXPECT_EQ(named.status, 0);
    EXPECT_EQ(splitLines(readText(dir.path + "/named.csv")).size(), 1u);

    // Without -csv= the rows go to features.csv in the working directory.
    char previous[4096];
    ASSERT_NE(getcwd(previous, sizeof previous), nullptr);
    ASSERT_EQ(chdir(dir.path.c_str()), 0);
    const ModeRun plain = runArguments(dir, {"vexar", "-analyse=in.txt"});
    ASSERT_EQ(chdir(previous), 0);
    EXPECT_EQ(plain.status, 0);
    EXPECT_EQ(readText(dir.path + "/features.csv"), readText(dir.path + "/named.csv"));
}

// ---------------------------------------------------------------------------
// Analyse mode

TEST(AnalyseMode, RowsReferencesAndIgnoredLines) {
    TempDir dir;
    // Exactly ANALYSIS_LINE_LIMIT characters before the line break: read whole.
    std::string longest = MIDDLE + " ;0.25 ";
    longest += std::string(ANALYSIS_LINE_LIMIT - longest.size(), '#');
    // One character more: skipped whole, and its tail (a usable line of its
    // own) is not read as a line.
    const std::string too_long = std::string(ANALYSIS_LINE_LIMIT, ' ') + MIDDLE + ";1.0";
    const std::string lines[] = {
        MIDDLE + ";0.125",                                         // 13
        MIDDLE_BLACK + " ; -0.125 text after the number",          // -13
        ENDING + ";400",                                           // clipped to 32767
        ENDING + ";-1000.5",                                       // clipped to -32767
        KRKP_BLACK + ";2",                                         // 4 pieces: signed index first
        MATED + ";3.5",                                            // no move: 0
        STALEMATE + ";-7",                                         // no move: 0
        longest,                                                   // 25
        CHECKED + ";1.5",                                          // in check: ignored
        MIDDLE,                                                    // no ';'
        MIDDLE + ";",                                              // no number
        MIDDLE + "; pawn",                                         // no number
        MIDDLE + ";nan",                                           // no finite number
        MIDDLE + ";1e300",                                         // beyond 32 bits
        "8/8/8/8/8/8/8/8 w - - 0 1;0.5",                           // refused FEN
        "",                                                        // empty
        too_long,                                                  // too long
        MIDDLE + ";1.0 " + std::string(ANALYSIS_LINE_LIMIT, '#'),  // too long, not cut short
    };
    std::string text;
    for (const std::string &line : lines) text += line + "\n";
    text += ENDING + ";-0.01";  // last line without a line break
    const std::string input = dir.write("in.txt", text);
    const std::string csv = dir.path + "/out.csv";
    AnalysisCounts counts;
    const ModeRun run = captured(dir, [&] { return runFeatureMode(input.c_str(), csv.c_str(), counts); });
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.out, "Warning, 10 positions ignored\nWarning, 2 references clipped to +-32767\n");
    EXPECT_EQ(counts.lines, 19u);
    EXPECT_EQ(counts.samples, 9u);
    EXPECT_EQ(counts.ignored, 10u);
    EXPECT_EQ(counts.clipped, 2u);

    const std::vector<std::string> rows = splitLines(readText(csv));
    ASSERT_EQ(rows.size(), 9u);
    EXPECT_EQ(fields(rows[0]), featureRow(MIDDLE, 13));
    EXPECT_EQ(fields(rows[1]), featureRow(MIDDLE_BLACK, -13));
    EXPECT_EQ(fields(rows[2]), featureRow(ENDING, 32767));
    EXPECT_EQ(fields(rows[3]), featureRow(ENDING, -32767));
    std::vector<long> krkp = featureRow(KRKP_BLACK, 200);
    krkp.insert(krkp.begin(), -13);
    EXPECT_EQ(fields(rows[4]), krkp);
    EXPECT_EQ(fields(rows[5]), featureRow(MATED, 0));
    EXPECT_EQ(fields(rows[6]), featureRow(STALEMATE, 0));
    EXPECT_EQ(fields(rows[7]), featureRow(MIDDLE, 25));
    EXPECT_EQ(fields(rows[8]), featureRow(ENDING, -1));
    // Every field ends with ';' but the reference; no blanks.
    for (const std::string &row : rows) {
        EXPECT_EQ(row.find(' '), std::string::npos);
        EXPECT_NE(row.back(), ';');
    }
    EXPECT_EQ(rows[0].find(";;"), std::string::npos);
}

TEST(AnalyseMode, CleanInputPrintsNothingAndTruncatesTheFile) {
    TempDir dir;
    const std::string input = dir.write("in.txt", KRKP_BLACK + ";-3.27\n" + ENDING + ";327.67\n");
    const std::string csv = dir.write("out.csv", "old row\nold row\nold row\n");
    AnalysisCounts counts;
    const ModeRun run = captured(dir, [&] { return runFeatureMode(input.c_str(), csv.c_str(), counts); });
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, "");
    const std::vector<std::string> rows = splitLines(readText(csv));
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(fields(rows[0]).size(), 129u);
    EXPECT_EQ(fields(rows[0]).back(), -327);
    EXPECT_EQ(fields(rows[1]).size(), 128u);
    EXPECT_EQ(fields(rows[1]).back(), 32767);  // the largest reference kept as it is
    EXPECT_EQ(counts.clipped, 0u);
}

// ---------------------------------------------------------------------------
// Score mode

TEST(ScoreMode, DeltaLinesAndSummary) {
    TempDir dir;
    const int32_t e1 = evaluationOf(MIDDLE), e2 = evaluationOf(ENDING), e3 = evaluationOf(KRKP_BLACK);
    const std::string line1 = MIDDLE + ";" + pawns(e1 - 10) + "\n";
    const std::string line2 = ENDING + " ; " + pawns(e2 + 20) + " stockfish 16\n";
    const std::string line3 = KRKP_BLACK + ";" + pawns(e3) + "\n";
    const std::string input = dir.write("in.txt", line1 + line2 + line3);
    AnalysisCounts counts;
    const ModeRun run = captured(dir, [&] { return runScoreMode(input.c_str(), counts); });
    EXPECT_EQ(run.status, 0);
    char expected[2048];
    std::snprintf(expected, sizeof expected,
                  "delta = 10, vexar = %i, stock = %i : %sdelta = -20, vexar = %i, stock = %i : %s", e1, e1 - 10,
                  line1.c_str(), e2, e2 + 20, line2.c_str());
    EXPECT_EQ(run.out, std::string(expected) + "Samples = 3, error = 500, mse = 166.667, rmse = 12.910\n");
    EXPECT_EQ(counts.error, 500u);
}

TEST(ScoreMode, SmallPositionsAndUnusableLinesAreIgnored) {
    TempDir dir;
    const int32_t e = evaluationOf(ENDING), mated = evaluationOf(MATED);
    ASSERT_NE(mated, 0) << "a mated position whose evaluation is its reference 0 prints no delta line";
    const std::string input =
        dir.write("in.txt", KRK + ";5\n" + KK + ";0\n" + STALEMATE + ";0\n" + CHECKED + ";9\n" + "garbage;1\n" + MATED +
                                ";3.5\n" + ENDING + ";" + pawns(e + 3));  // no line break at the end
    AnalysisCounts counts;
    const ModeRun run = captured(dir, [&] { return runScoreMode(input.c_str(), counts); });
    EXPECT_EQ(run.status, 0);
    char expected[1024];
    std::snprintf(expected, sizeof expected,
                  "delta = %i, vexar = %i, stock = 0 : %s;3.5\n"
                  "delta = -3, vexar = %i, stock = %i : %s;%s\n"
                  "Warning, 5 positions ignored\n"
                  "Samples = 2, error = %llu, mse = ",
                  mated, mated, MATED.c_str(), e, e + 3, ENDING.c_str(), pawns(e + 3).c_str(),
                  (unsigned long long)(9 + int64_t(mated) * mated));
    EXPECT_EQ(run.out.substr(0, strlen(expected)), expected);
    EXPECT_EQ(counts.samples, 2u);
    EXPECT_EQ(counts.ignored, 5u);

    // No sample at all: a summary of zeros, not a not-a-number.
    const std::string empty = dir.write("empty.txt", "");
    EXPECT_EQ(captured(dir, [&] { return runScoreMode(empty.c_str(), counts); }).out,
              "Samples = 0, error = 0, mse = 0.000, rmse = 0.000\n");
    const std::string unusable = dir.write("unusable.txt", KRK + ";1\n\n");
    EXPECT_EQ(captured(dir, [&] { return runScoreMode(unusable.c_str(), counts); }).out,
              "Warning, 2 positions ignored\nSamples = 0, error = 0, mse = 0.000, rmse = 0.000\n");
}

// ---------------------------------------------------------------------------
// Files that cannot be used: one line on standard error, status 1.

TEST(AnalysisFiles, UnusableFilesEndWithStatusOne) {
    TempDir dir;
    const std::string input = dir.write("in.txt", MIDDLE + ";0.5\n");
    const std::string missing = dir.path + "/missing.txt";
    AnalysisCounts counts;
    auto expectFailure = [](const ModeRun &run, const std::string &message) {
        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(run.out, "");
        EXPECT_NE(run.err.find(message), std::string::npos) << run.err;
        EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
    };

    expectFailure(captured(dir, [&] { return runScoreMode(missing.c_str(), counts); }),
                  "Cannot open the input file \"" + missing + "\"");
    const std::string csv = dir.path + "/rows.csv";
    expectFailure(captured(dir, [&] { return runFeatureMode(missing.c_str(), csv.c_str(), counts); }),
                  "Cannot open the input file");
    EXPECT_NE(access(csv.c_str(), F_OK), 0) << "the CSV file is not created for a missing input";

    const std::string no_folder = dir.path + "/no/such/folder.csv";
    expectFailure(captured(dir, [&] { return runFeatureMode(input.c_str(), no_folder.c_str(), counts); }),
                  "Cannot create the feature file \"" + no_folder + "\"");
    // A folder opens for reading but cannot be read.
    expectFailure(captured(dir, [&] { return runScoreMode(dir.path.c_str(), counts); }), "Cannot read the input file");
    expectFailure(captured(dir, [&] { return runFeatureMode(dir.path.c_str(), csv.c_str(), counts); }),
                  "Cannot read the input file");
    // Rows that cannot be written are a failure, not a success.
    expectFailure(captured(dir, [&] { return runFeatureMode(input.c_str(), "/dev/full", counts); }),
                  "Cannot write the feature file \"/dev/full\"");

    // Through the entry point, with an empty file name.
    expectFailure(runArguments(dir, {"vexar", "-score="}), "Cannot open the input file \"\"");
}

}  // namespace
