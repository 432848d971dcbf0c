#include "search/tt.h"

#include <sys/mman.h>

#include <cstdlib>
#include <cstring>

#include "io/output.h"

TranspositionTable tt;

void tt_release() {
    if (tt.entries) munmap(tt.entries, tt.entry_count * sizeof(TTEntry));
    tt.entries = nullptr;
    tt.entry_count = 0;
    tt.index_mask = 0;
    tt.megabytes = 0;
}

static bool validSize(int megabytes) {
    return megabytes >= 1 && megabytes <= TT_MAX_MB && (megabytes & (megabytes - 1)) == 0;
}

void tt_create(int megabytes) {
    tt_release();
    if (!validSize(megabytes)) {
        writeOut("info debug Creation of Transposition Table : invalid size (%i MB, reset to default)\n", megabytes);
        megabytes = TT_DEFAULT_MB;
    }
    for (;;) {
        const uint64_t count = uint64_t(megabytes) * 65536;
        // Anonymous mappings arrive zero-filled and page-aligned; large pages
        // keep the table's address translations few.
        void *block = mmap(nullptr, count * sizeof(TTEntry), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (block != MAP_FAILED) {
            madvise(block, count * sizeof(TTEntry), MADV_HUGEPAGE);
            tt.entries = static_cast<TTEntry *>(block);
            tt.entry_count = count;
            tt.index_mask = count - 4;
            tt.megabytes = megabytes;
            // Touch every page now rather than during the first search: a
            // prefetch of a page that is not yet mapped stalls on the walk.
            tt_clear();
            writeOut("info debug Creation of Transposition Table : success (%i MB)\n", megabytes);
            return;
        }
        writeOut("info debug Creation of Transposition Table : failure (%i MB)\n", megabytes);
        if (megabytes == 1) {
            writeOut("info string Vexar will now halt...\n");
            std::exit(1);
        }
        megabytes /= 2;
    }
}

void tt_clear() {
    if (tt.entries) memset(static_cast<void *>(tt.entries), 0, tt.entry_count * sizeof(TTEntry));
    tt.used = 0;
}

