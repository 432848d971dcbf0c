#include "board/search_thread.h"

#include <cstddef>
#include <cstring>

// Two game records: `position` builds the new game in the one not in use and
// switches only when the whole command was valid, so a rejected command leaves
// the previous game exactly as it was.
static SearchThread game_records[2];
SearchThread *main_thread = &game_records[0];
SearchThread *helper_threads = nullptr;
int helper_count = 0;

SearchThread *spareGameRecord() { return main_thread == &game_records[0] ? &game_records[1] : &game_records[0]; }

void clearSearchState(SearchThread &t) {
    const size_t start = offsetof(SearchThread, index);
    memset(reinterpret_cast<char *>(&t) + start, 0, sizeof(SearchThread) - start);
}
