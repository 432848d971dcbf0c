// What differs between the generations of the engine, in one constant table.
// Each program is compiled with VEXAR_GENERATION (9 for 0.9, 8 for 0.8, ...)
// and reads its row as `GENERATION`; code that differs by generation tests
// the row's fields with `if constexpr`, so every branch compiles in every
// build.  Whole algorithms that differ (transposition entry, move layout,
// evaluation) live in files of their own that the program's CMake call picks.
#pragma once

#include <cstdint>

#ifndef VEXAR_GENERATION
#error "VEXAR_GENERATION must be set by the build (see cmake/vexar_program.cmake)"
#endif

// The classic front end (0.8 and earlier) differs from 0.9's in small ways:
// `stop` does nothing, an unreadable Hash value is ignored silently, clock
// values are read as decimal 64-bit numbers, `debug` must be the whole line and adds the evaluation and the legal moves,
// `perft` keeps the game, the board display lists the moves played, and the
// unknown-command and long-line messages have their own wording.
enum class UciOptions { HASH_THREADS, HASH_NN_FILE, HASH_SYZYGY, HASH_OWN_BOOK };
enum class InstructionReport { FULL, QUOTED_LIST, POPCNT_BMI2, POPCNT_ONLY };
// What the classic `debug` prints after the legal moves: the rank-mirrored
// moves under their own heading, under a second "legal moves" heading, or nothing.
enum class MirroredListing { MIRRORED_HEADING, LEGAL_HEADING, NONE };

struct Generation {
    int number;             // 9 for 0.9, 8 for 0.8, 7, 6, 3
    const char *name;       // banner and "id name"
    int max_hash_mb;        // upper bound of the Hash option
    int max_threads;        // upper bound of the Threads option (1: no option)
    int mate_bound;         // |score| above this (and not infinite) is a mate
    bool network;           // evaluates with a network (else hand-crafted)
    int max_depth;          // deepest iteration of the deepening
    int aspiration_fails;   // failed windows widened by 10 x k before the full window
    bool time_extension;    // a clock budget may double once when the reserve allows
    bool exchange_demotion; // interior ordering demotes captures that lose material
    bool single_move_at_once;  // one legal move answered without a search in every mode (else on a clock only)
    bool tablebases;        // Syzygy probes at the root and in the search
    int64_t infinite_move_time;  // the move time of "go infinite"
    bool full_key_table;    // table entries keep the whole key (search/tt.h)
    bool classic_front_end; // the command set of 0.8 and earlier (below)
    bool newgame_clears_table;  // `ucinewgame` empties the transposition table (else it only sets the start position)
    UciOptions options;     // the option lines of the `uci` answer
    InstructionReport instructions;  // the start-up line naming the processor's instructions
    bool analysis_modes;    // "-analyse=" and "-score=" run the offline evaluation modes
    bool square_shift_magics;  // sliders: a shift per square (64 - mask bits), magics found at start-up if absent
    MirroredListing mirrored_listing;  // classic `debug`
    bool perft_lists_root_moves;       // `perft 1` prints the root's moves on one line
    bool in_place_board;    // perft runs on the in-place board of board/inplace/ (its own Move layout)
    bool genes;             // evaluates with the fourteen genes of eval/genes/ (else as `network` says)
    bool king_relative_network;  // the 40960-feature network of network/network_king.h, clipped; NN_file and `eval`
};

inline constexpr Generation GENERATIONS[] = {
    {.number = 9, .name = "Vexar 0.9 x64",
     .max_hash_mb = 262144, .max_threads = 256, .mate_bound = 29744, .network = true,
     .max_depth = 255, .aspiration_fails = 5, .time_extension = true,
     .exchange_demotion = true, .single_move_at_once = true, .tablebases = false,
     .infinite_move_time = 1 << 30, .full_key_table = false, .classic_front_end = false, .newgame_clears_table = true,
     .options = UciOptions::HASH_THREADS, .instructions = InstructionReport::FULL,
     .analysis_modes = false, .square_shift_magics = false,
     .mirrored_listing = MirroredListing::MIRRORED_HEADING, .perft_lists_root_moves = false,
     .in_place_board = false, .genes = false, .king_relative_network = false},
    {.number = 8, .name = "Vexar 0.8 x64",
     .max_hash_mb = 65536, .max_threads = 1, .mate_bound = 29936, .network = true,
     .max_depth = 63, .aspiration_fails = 999, .time_extension = false,
     .exchange_demotion = false, .single_move_at_once = false, .tablebases = false,
     .infinite_move_time = 1000000000, .full_key_table = true, .classic_front_end = true, .newgame_clears_table = false,
     .options = UciOptions::HASH_NN_FILE, .instructions = InstructionReport::FULL,
     .analysis_modes = false, .square_shift_magics = false,
     .mirrored_listing = MirroredListing::MIRRORED_HEADING, .perft_lists_root_moves = false,
     .in_place_board = false, .genes = false, .king_relative_network = true},
    {.number = 7, .name = "Vexar 0.7 x64",
     .max_hash_mb = 65536, .max_threads = 1, .mate_bound = 29936, .network = false,
     .max_depth = 63, .aspiration_fails = 999, .time_extension = false,
     .exchange_demotion = false, .single_move_at_once = false, .tablebases = true,
     .infinite_move_time = 1000000000, .full_key_table = true, .classic_front_end = true, .newgame_clears_table = false,
     .options = UciOptions::HASH_SYZYGY, .instructions = InstructionReport::QUOTED_LIST,
     .analysis_modes = true, .square_shift_magics = false,
     .mirrored_listing = MirroredListing::MIRRORED_HEADING, .perft_lists_root_moves = false,
     .in_place_board = false, .genes = false, .king_relative_network = false},
    {.number = 6, .name = "Vexar 0.6 x64 (bmi2)",
     .max_hash_mb = 65536, .max_threads = 1, .mate_bound = 29936, .network = false,
     .max_depth = 63, .aspiration_fails = 999, .time_extension = false,
     .exchange_demotion = false, .single_move_at_once = false, .tablebases = false,
     .infinite_move_time = 1000000000, .full_key_table = true, .classic_front_end = true, .newgame_clears_table = true,
     .options = UciOptions::HASH_OWN_BOOK, .instructions = InstructionReport::POPCNT_BMI2,
     .analysis_modes = false, .square_shift_magics = true,
     .mirrored_listing = MirroredListing::LEGAL_HEADING, .perft_lists_root_moves = true,
     .in_place_board = false, .genes = false, .king_relative_network = false},
    {.number = 3, .name = "Vexar 0.3.0 x64 (popcnt)",
     .max_hash_mb = 65536, .max_threads = 1, .mate_bound = 29936, .network = false,
     .max_depth = 63, .aspiration_fails = 999, .time_extension = false,
     .exchange_demotion = false, .single_move_at_once = false, .tablebases = false,
     .infinite_move_time = 1000000000, .full_key_table = true, .classic_front_end = true, .newgame_clears_table = true,
     .options = UciOptions::HASH_OWN_BOOK, .instructions = InstructionReport::POPCNT_ONLY,
     .analysis_modes = false, .square_shift_magics = true,
     .mirrored_listing = MirroredListing::NONE, .perft_lists_root_moves = false,
     .in_place_board = true, .genes = true, .king_relative_network = false},
};

constexpr const Generation &generationRow(int number) {
    for (const Generation &g : GENERATIONS)
        if (g.number == number) return g;
    return GENERATIONS[0];
}

inline constexpr const Generation &GENERATION = generationRow(VEXAR_GENERATION);
static_assert(GENERATION.number == VEXAR_GENERATION, "no row for this generation");
