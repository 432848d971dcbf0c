#include "search/search.h"
#include "uci/output.h"
#include "uci/uci.h"

void initSearchTables() {}
void go() { writeOut("info debug search is not built yet\n"); }
void benchCommand() { writeOut("info debug search is not built yet\n"); }
