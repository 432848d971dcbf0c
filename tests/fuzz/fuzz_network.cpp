// Fuzz target: the network loaders.  The first byte chooses the form; the
// rest is written as network.txt (to be converted) or as network.nn (to be
// loaded).  Whatever the file, the loader must end with a usable network:
// every weight finite and a finite score for the start position.  In
// generation 0.8 a file that fails must leave the network in use as it was.
#include <cmath>
#include <cstdint>
#include <cstdio>

#include "board/board.h"
#include "network/network.h"
#include "network/network_king.h"
#include <unistd.h>
#include <cstring>
#include "fuzz_common.h"
#include "board/search_thread.h"

// The files live in a private folder, never next to the caller's own.
static char binary_path[64], text_path[64];

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    startQuietEngine();
    char folder[] = "/tmp/vexar-fuzz-XXXXXX";
    FUZZ_CHECK(mkdtemp(folder), "cannot make a folder in /tmp");
    std::snprintf(binary_path, sizeof binary_path, "%s/network.nn", folder);
    std::snprintf(text_path, sizeof text_path, "%s/network.txt", folder);
    return 0;
}

static void writeFile(const char *path, const uint8_t *data, size_t size) {
    FILE *f = std::fopen(path, "wb");
    FUZZ_CHECK(f && std::fwrite(data, 1, size, f) == size && std::fclose(f) == 0, "cannot write %s", path);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0) return 0;
    const bool text = data[0] & 1;
    std::remove(binary_path);
    std::remove(text_path);
    writeFile(text ? text_path : binary_path, data + 1, size - 1);
    if constexpr (GENERATION.king_relative_network) {
        // The conversion reads network.txt of the working directory.
        static char folder[64];
        if (!folder[0]) std::snprintf(folder, sizeof folder, "%.*s", int(std::strlen(binary_path) - 11), binary_path);
        char previous[4096];
        FUZZ_CHECK(getcwd(previous, sizeof previous) && chdir(folder) == 0, "cannot enter %s", folder);
        const float kept = king_network.output_bias, kept_row = king_network.feature_weights[777][7];
        char reason[REASON_SIZE];
        const int loaded = loadKingNetwork("network.nn", reason);
        FUZZ_CHECK(chdir(previous) == 0, "cannot go back to %s", previous);
        if (loaded != 0)
            FUZZ_CHECK(king_network.output_bias == kept && king_network.feature_weights[777][7] == kept_row,
                       "a refused file changed the network in use (%s)", reason);
        const float *tail = king_network.feature_biases;
        for (int i = 0; i < KING_TAIL_VALUES; i++)
            FUZZ_CHECK(std::isfinite(tail[i]), "tail value %d of the network in use is %g", i, double(tail[i]));
    } else {
        loadNetworkFrom(binary_path, text_path);
        const float *values = reinterpret_cast<const float *>(&network);
        for (int i = 0; i < NETWORK_VALUES; i++)
            FUZZ_CHECK(std::isfinite(values[i]), "weight %d of the network in use is %g", i, double(values[i]));
    }
    FUZZ_CHECK(setGame(START_FEN, nullptr), "start position refused");
    const int score = evaluateNetwork(main_thread->stack.current->accumulator, 0);
    FUZZ_CHECK(score >= -EVAL_LIMIT && score <= EVAL_LIMIT, "start position scored %d", score);
    return 0;
}
