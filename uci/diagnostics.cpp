#include <cstdio>

#include "board/board.h"
#include "board/perft.h"
#include "search/search.h"
#include "search/tt.h"
#include "uci/clock.h"
#include "uci/output.h"
#include "uci/uci.h"

void perftLine(const char *line) {
    int n;
    if (sscanf(line, "perft %i", &n) != 1) n = 1;
    perftCommand(main_thread->stack, n);
    tt_clear();
    setGame(START_FEN, nullptr);
}

void debugCommand() { displayPosition(main_thread->stack); }
