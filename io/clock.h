// Milliseconds elapsed since the process started, as a 32-bit count.
#pragma once

#include <cstdint>

int32_t clockMs();
