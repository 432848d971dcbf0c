#include "io/clock.h"

#include <chrono>

static const auto process_start = std::chrono::steady_clock::now();

int32_t clockMs() {
    const auto elapsed = std::chrono::steady_clock::now() - process_start;
    return int32_t(std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count());
}
