#include <cstring>

#include "uci/uci.h"

// `vexar bench` runs the benchmark and exits, so that its node total does not
// depend on anything else waiting on standard input; any other start reads
// commands.
int main(int argc, char **argv) {
    startEngine();
    if (argc > 1 && strcmp(argv[1], "bench") == 0) {
        benchCommand();
        shutdownEngine(0);
    }
    commandLoop();
}
