// Test entry: builds the process-wide tables the engine builds at start-up.
#include <gtest/gtest.h>

#include "board/board.h"
#include "board/sliders/sliders.h"
#include "search/search.h"
#include "search/tt.h"

int main(int argc, char **argv) {
    testing::InitGoogleTest(&argc, argv);
    initSliders();
    initSearchTables();
    tt_create(16);
    return RUN_ALL_TESTS();
}
