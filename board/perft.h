// Move-path counting from the current slot of a stack, with bulk counting of
// the last ply, and the `perft` console command's divide listing.
#pragma once

#include <cstdint>

#include "board/types.h"

// Paths of length limit - depth + 1 from the current slot; at depth 0 prints one
// divide line per root move.
uint64_t perft(PositionStack &stack, int depth, int limit);
// Runs perft for paths of length n (below 1 counts as 1) and prints the summary line.
void perftCommand(PositionStack &stack, int n);
