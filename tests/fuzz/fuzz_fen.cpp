// Fuzz target: the FEN reader.  A FEN it accepts must be a position whose
// key equals a fresh one, written back to a FEN that reads again to the same
// key and the same text, and whose move tree to length 2 can be walked.
#include <cstdint>
#include <cstring>
#include <string>

#include "board/board.h"
#include "board/moves.h"
#include "board/perft.h"
#include "fuzz_common.h"

static SearchThread *first, *second;

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    startQuietEngine();
    first = new SearchThread();
    second = new SearchThread();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size > 1024) return 0;
    const std::string text(reinterpret_cast<const char *>(data), size);  // stops at no byte: NULs are text too
    if (readFen(*first, text.c_str())) return 0;
    const Position &pos = *first->stack.current;
    FUZZ_CHECK(pos.key == computeKey(pos), "key differs from a fresh key for '%s'", text.c_str());

    char written[128], again[128];
    writeFen(pos, written);
    const char *failed = readFen(*second, written);
    FUZZ_CHECK(!failed, "'%s' was accepted but its FEN '%s' is refused (%s)", text.c_str(), written, failed);
    FUZZ_CHECK(second->stack.current->key == pos.key, "'%s' and its FEN '%s' differ in key", text.c_str(), written);
    writeFen(*second->stack.current, again);
    FUZZ_CHECK(strcmp(written, again) == 0, "FEN '%s' is written back as '%s'", written, again);

    perft(first->stack, 1, 2);
    return 0;
}
