#include <cstring>

#include "eval/hce/analysis.h"
#include "uci/uci.h"

// `vexar bench` runs the benchmark and exits, so that its node total does not
// depend on anything else waiting on standard input; any other start reads
// commands.
int main(int argc, char **argv) {
    startEngine(argc, argv);
    if constexpr (GENERATION.analysis_modes) {
        const int status = runAnalysisMode(argc, argv);
        if (status >= 0) shutdownEngine(status);
    }
    if (argc > 1 && strcmp(argv[1], "bench") == 0) {
        benchCommand();
        shutdownEngine(0);
    }
    commandLoop();
}
