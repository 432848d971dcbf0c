// Generation 0.3's evaluation: material plus fourteen tunable terms, the
// "genes".  Each gene is a value 0..63 in centipawns (per square, per rank or
// per piece, as its name says); the `-pbil=` argument replaces them all with
// values decoded from 84 binary digits (six a gene, reflected Gray code), the
// form a population-based incremental learner (tools/pbil.py) searches in.
//
// The search calls evaluateGenes through search/internal.h; the start-up
// calls readPbilArgument; nothing else is shared with the other evaluations.
#pragma once

#include <cstdint>

#include "board/types.h"

enum Gene : int {
    PAWN_CENTRE_ADVANCE,  // per rank a pawn on files c-f has advanced
    PAWN_WING_ADVANCE,    // per rank a pawn on files a, b, g, h has advanced
    DOUBLED_PAWN,         // penalty per pawn with an own pawn ahead of it on its file
    ISOLATED_PAWN,        // penalty per pawn without own pawns on the adjacent files
    KNIGHT_MOBILITY,      // per square a knight reaches that no own piece holds and no enemy pawn attacks
    PASSED_PAWN,          // per rank a passed pawn has advanced
    QUEEN_MOBILITY,       // per square a queen reaches that no own piece holds
    KING_SHIELD,          // per own pawn on the three squares in front of the king, while the opponent has a queen
    ROOK_SEMI_OPEN_FILE,  // a rook on a file with enemy pawns but no own pawn
    BISHOP_MOBILITY,      // per square a bishop reaches that no own piece holds
    ROOK_SEVENTH_RANK,    // a rook on the opponent's second rank
    ROOK_MOBILITY,        // per square a rook reaches that no own piece holds
    BISHOP_PAIR,          // both bishops (two or more)
    ROOK_OPEN_FILE,       // a rook on a file without pawns
    GENE_NUMBER
};

inline constexpr int GENE_SIZE = 6;
inline constexpr int GENE_MAX = (1 << GENE_SIZE) - 1;
inline constexpr int32_t BUILT_IN_GENES[GENE_NUMBER] = {5, 2, 10, 5, 5, 15, 1, 10, 10, 5, 10, 2, 50, 25};

// Fixed king terms (not genes), per step of the centre table king_centre
// (0 at the edge .. 6 in the centre): a penalty while the opponent has a
// queen, a bonus afterwards.
inline constexpr int32_t KING_EXPOSURE = 8;
inline constexpr int32_t KING_CENTRALISATION = 6;

// Material of the evaluation, by type (the king counts 0).
inline constexpr int32_t GENE_MATERIAL[7] = {0, 100, 320, 330, 500, 950, 0};

// The genes in use; the built-in values until readPbilArgument replaces them.
extern int32_t genes[GENE_NUMBER];

// Reflected binary Gray code of `bits` binary digits, most significant first,
// to its value.
int32_t decodeGray(const char *bits, int count);
// Decodes exactly GENE_SIZE * GENE_NUMBER digits, each '0' or '1', into
// `out`.  Returns false, leaving `out` untouched, for any other text.
bool decodeGenes(const char *text, int32_t *out);
// The start-up step: with exactly one argument holding "-pbil=", the text
// after it becomes the genes and each is reported as "info debug pbil[%02i]
// = %i"; a text that does not decode is reported on one line and the
// built-in genes stay.
void readPbilArgument(int argc, char **argv);

// Score of the position in centipawns from the side to move's point of view.
int32_t evaluateGenes(const Position &pos);
