#include "eval/genes/genes.h"

#include <cstring>

#include "board/sliders/sliders.h"
#include "eval/endgame/three_pieces.h"
#include "io/output.h"

int32_t genes[GENE_NUMBER] = {5, 2, 10, 5, 5, 15, 1, 10, 10, 5, 10, 2, 50, 25};

int32_t decodeGray(const char *bits, int count) {
    int32_t value = 0, previous = 0;
    for (int i = 0; i < count; i++) {
        previous ^= bits[i] == '1';  // binary digit = previous binary digit XOR Gray digit
        value = value << 1 | previous;
    }
    return value;
}

bool decodeGenes(const char *text, int32_t *out) {
    const size_t bits = strlen(text);
    if (bits != size_t(GENE_SIZE * GENE_NUMBER)) return false;
    for (size_t i = 0; i < bits; i++)
        if (text[i] != '0' && text[i] != '1') return false;
    for (int g = 0; g < GENE_NUMBER; g++) out[g] = decodeGray(text + g * GENE_SIZE, GENE_SIZE);
    return true;
}

void readPbilArgument(int argc, char **argv) {
    if (argc != 2) return;
    const char *found = strstr(argv[1], "-pbil=");
    if (!found) return;
    const char *text = found + strlen("-pbil=");
    int32_t decoded[GENE_NUMBER];
    if (!decodeGenes(text, decoded)) {
        writeOut("info debug -pbil= needs exactly %i digits 0 or 1 (got %zu characters): built-in weights kept\n",
                 GENE_SIZE * GENE_NUMBER, strlen(text));
        return;
    }
    for (int g = 0; g < GENE_NUMBER; g++) {
        genes[g] = decoded[g];
        writeOut("info debug pbil[%02i] = %i\n", g, genes[g]);
    }
}

// ---------------------------------------------------------------------------
// The terms, each from one side's point of view.

static constexpr Bitboard FILE_A = 0x0101010101010101ULL;
static constexpr Bitboard CENTRE_FILES = (FILE_A << 2) | (FILE_A << 3) | (FILE_A << 4) | (FILE_A << 5);

static inline Bitboard fileMask(int file) { return FILE_A << file; }
static inline Bitboard adjacentFiles(int file) {
    return (file > 0 ? fileMask(file - 1) : 0) | (file < 7 ? fileMask(file + 1) : 0);
}
// Ranks a piece of `colour` on `square` stands from its own first rank.
static inline int relativeRank(int colour, int square) { return colour == WHITE ? rankOf(square) : 7 - rankOf(square); }

static Bitboard pawnAttacks(Bitboard pawns, int colour) {
    Bitboard attacks = 0;
    for (; pawns; pawns = clearLowest(pawns)) attacks |= pawnCaptures[colour][lowestSquare(pawns)];
    return attacks;
}

static int32_t pawnTerms(const ColourSet &own, const ColourSet &enemy, int colour) {
    const Bitboard pawns = own.bb[PAWN], enemy_pawns = enemy.bb[PAWN];
    int32_t score = 0;
    for (Bitboard b = pawns; b; b = clearLowest(b)) {
        const int square = lowestSquare(b), file = fileOf(square);
        const int advance = relativeRank(colour, square) - 1;
        score += advance * genes[(bit(square) & CENTRE_FILES) ? PAWN_CENTRE_ADVANCE : PAWN_WING_ADVANCE];
        if (forwardRay[colour][square] & pawns) score -= genes[DOUBLED_PAWN];
        if (!(adjacentFiles(file) & pawns)) score -= genes[ISOLATED_PAWN];
        if (!(passedSpan[colour][square] & enemy_pawns)) score += advance * genes[PASSED_PAWN];
    }
    return score;
}

static int32_t pieceTerms(const ColourSet &own, const ColourSet &enemy, int colour, Bitboard occupied) {
    const Bitboard mine = own.bb[0];
    const Bitboard enemy_pawn_attacks = pawnAttacks(enemy.bb[PAWN], 1 - colour);
    int32_t score = 0;
    for (Bitboard b = own.bb[KNIGHT]; b; b = clearLowest(b))
        score += genes[KNIGHT_MOBILITY] * popCount(knightMoves[lowestSquare(b)] & ~mine & ~enemy_pawn_attacks);
    for (Bitboard b = own.bb[BISHOP]; b; b = clearLowest(b))
        score += genes[BISHOP_MOBILITY] * popCount(bishopMoves(lowestSquare(b), occupied) & ~mine);
    for (Bitboard b = own.bb[QUEEN]; b; b = clearLowest(b))
        score += genes[QUEEN_MOBILITY] * popCount(queenMoves(lowestSquare(b), occupied) & ~mine);
    const int seventh = colour == WHITE ? 6 : 1;
    for (Bitboard b = own.bb[ROOK]; b; b = clearLowest(b)) {
        const int square = lowestSquare(b);
        score += genes[ROOK_MOBILITY] * popCount(rookMoves(square, occupied) & ~mine);
        const Bitboard file = fileMask(fileOf(square));
        if (!(file & own.bb[PAWN])) score += genes[(file & enemy.bb[PAWN]) ? ROOK_SEMI_OPEN_FILE : ROOK_OPEN_FILE];
        if (rankOf(square) == seventh) score += genes[ROOK_SEVENTH_RANK];
    }
    if (moreThanOne(own.bb[BISHOP])) score += genes[BISHOP_PAIR];

    // The king: sheltered by its pawns and kept at the edge while the
    // opponent has a queen, central afterwards (a fixed term, not a gene).
    const int king = own.king_square;
    if (enemy.bb[QUEEN]) {
        const Bitboard shield = pawnCaptures[colour][king] | (forwardRay[colour][king] & kingMoves[king]);
        score += genes[KING_SHIELD] * popCount(shield & own.bb[PAWN]);
        score -= KING_EXPOSURE * king_centre[king];
    } else {
        score += KING_CENTRALISATION * king_centre[king];
    }
    return score;
}

static int32_t material(const ColourSet &side) {
    int32_t sum = 0;
    for (int t = PAWN; t < KING; t++) sum += GENE_MATERIAL[t] * popCount(side.bb[t]);
    return sum;
}

int32_t evaluateGenes(const Position &pos) {
    const ColourSet &us = *pos.us, &them = *pos.them;
    const int colour = us.colour;
    int32_t score = material(us) - material(them);
    score += pawnTerms(us, them, colour) - pawnTerms(them, us, 1 - colour);
    score += pieceTerms(us, them, colour, pos.occupied) - pieceTerms(them, us, 1 - colour, pos.occupied);
    return score;
}
