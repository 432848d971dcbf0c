#include <cstdio>

#include "board/board.h"
#include "board/sliders/sliders.h"
#include "eval/genes/genes.h"
#include "network/network.h"
#include "network/network_king.h"
#include <cstdlib>
#include "io/output.h"
#include "search/search.h"
#include "search/tt.h"
#include "tb/syzygy.h"
#include "uci/uci.h"

// Informational only: each program uses the instructions it was built for.
// Each generation words the line its own way.
static void reportProcessor() {
    __builtin_cpu_init();
    const bool popcnt = __builtin_cpu_supports("popcnt"), bmi2 = __builtin_cpu_supports("bmi2");
    switch (GENERATION.instructions) {
        case InstructionReport::FULL:
            writeOut("info debug Supported instructions : ");
            if (popcnt) writeOut("popcnt ");
            if (__builtin_cpu_supports("fma")) writeOut("fma ");
            if (__builtin_cpu_supports("avx")) writeOut("avx ");
            if (__builtin_cpu_supports("avx2")) writeOut("avx2 ");
            if (bmi2) writeOut("bmi2");
            writeOut("\n");
            break;
        case InstructionReport::QUOTED_LIST: {
            const bool present[4] = {popcnt, bool(__builtin_cpu_supports("avx")), bool(__builtin_cpu_supports("avx2")),
                                     bmi2};
            static constexpr const char *NAMES[4] = {"'popcnt'", "'avx1'", "'avx2'", "'bmi2'"};
            writeOut("info debug Supported instructions : ");
            const char *separator = "";
            for (int i = 0; i < 4; i++) {
                if (!present[i]) continue;
                writeOut("%s%s", separator, NAMES[i]);
                separator = ", ";
            }
            writeOut("\n");
            break;
        }
        case InstructionReport::POPCNT_BMI2:
            if (popcnt || bmi2)
                writeOut("info debug Set of supported instructions : %s%s%s\n", popcnt ? "'popcnt'" : "",
                         popcnt && bmi2 ? ", " : "", bmi2 ? "'bmi2'" : "");
            break;
        case InstructionReport::POPCNT_ONLY:
            writeOut("info debug Support of popcnt instruction : %s\n", popcnt ? "yes" : "no");
            break;
    }
}

static void displayGame() { displayPosition(main_thread->stack); }

bool loadNamedNetwork(const char *path) {
    char reason[REASON_SIZE];
    if (loadKingNetwork(path, reason) == 0) {
        writeOut("info debug Loading NN file : success ('%s')\n", path);
        return true;
    }
    writeOut("info debug Error while loading NN file ('%s')\n", path);
    writeOut("info string %s\n", reason);
    return false;
}

void startEngine(int argc, char **argv) {
    setvbuf(stdout, nullptr, _IONBF, 0);
    writeOut("%s ('quit' to exit)\n", ENGINE_NAME);
    initSliders();
    reportProcessor();
    if constexpr (GENERATION.genes) readPbilArgument(argc, argv);
    if constexpr (GENERATION.king_relative_network) {
        // Without a network generation 0.8 cannot evaluate: the error line
        // (and its cause) and exit status 1.
        if (!loadNamedNetwork("network.nn")) std::exit(1);
        for (int i = 1; i < argc; i++) writeOut("info debug command line argument received: %s\n", argv[i]);
    } else if constexpr (GENERATION.network) {
        loadNetwork();
    }
    helper_count = 0;
    initSearchTables();
    setGame(START_FEN, nullptr);
    if constexpr (GENERATION.classic_front_end) setAssertionDisplay(displayGame);
    tt_create(TT_DEFAULT_MB);
    // No folder is named until SyzygyPath is set: this reports the failure.
    if constexpr (GENERATION.tablebases) tbInitialise("<empty>");
}
