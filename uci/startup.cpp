#include <cstdio>

#include "board/board.h"
#include "board/sliders/sliders.h"
#include "eval/network.h"
#include "search/search.h"
#include "search/tt.h"
#include "uci/output.h"
#include "uci/uci.h"

// Informational only: each program uses the instructions it was built for.
static void reportProcessor() {
    __builtin_cpu_init();
    writeOut("info debug Supported instructions : ");
    if (__builtin_cpu_supports("popcnt")) writeOut("popcnt ");
    if (__builtin_cpu_supports("fma")) writeOut("fma ");
    if (__builtin_cpu_supports("avx")) writeOut("avx ");
    if (__builtin_cpu_supports("avx2")) writeOut("avx2 ");
    if (__builtin_cpu_supports("bmi2")) writeOut("bmi2");
    writeOut("\n");
}

void startEngine() {
    setvbuf(stdout, nullptr, _IONBF, 0);
    writeOut("%s ('quit' to exit)\n", ENGINE_NAME);
    initSliders();
    reportProcessor();
    loadNetwork();
    helper_count = 0;
    initSearchTables();
    setGame(START_FEN, nullptr);
    tt_create(TT_DEFAULT_MB);
}
