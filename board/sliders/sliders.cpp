#include "board/sliders/sliders.h"

#include <algorithm>
#include <cstdlib>
#include <ctime>

#include "io/output.h"

Bitboard rookMask[64];
Bitboard bishopMask[64];
Bitboard rookMagicMoves[64][4096];
Bitboard bishopMagicMoves[64][512];

#include "board/sliders/magics.inc"
#include "board/sliders/square_magics.inc"

int32_t rookShift[64];
int32_t bishopShift[64];

// One step from `from` to `to` stays on the board when `to` is a square and
// neither its file nor its rank jumps by more than two (no wrap-around).
static bool stepOnBoard(int from, int to) {
    if (to < 0 || to > 63) return false;
    const int df = fileOf(to) - fileOf(from), dr = rankOf(to) - rankOf(from);
    return df >= -2 && df <= 2 && dr >= -2 && dr <= 2;
}

static Bitboard walkDirections(Bitboard occupancy, int square, const int (&deltas)[4]) {
    Bitboard result = 0;
    for (int delta : deltas) {
        for (int from = square, to = square + delta; stepOnBoard(from, to); from = to, to += delta) {
            result |= bit(to);
            if (occupancy & bit(to)) break;
        }
    }
    return result;
}

Bitboard getRookMoves(Bitboard occupancy, int square) {
    static const int deltas[4] = {8, -8, 1, -1};
    return walkDirections(occupancy, square, deltas);
}

Bitboard getBishopMoves(Bitboard occupancy, int square) {
    static const int deltas[4] = {9, 7, -7, -9};
    return walkDirections(occupancy, square, deltas);
}

// Fills one piece kind's table from the reference walk and checks every
// lookup against it.
static void fillMagicTable(Bitboard *table, int slots, const Bitboard *masks, int min_bits, int max_bits,
                           Bitboard (*lookup)(int, Bitboard), Bitboard (*reference)(Bitboard, int),
                           unsigned (*slot)(int, Bitboard), const char *bits_check, const char *moves_check) {
    for (int square = 0; square < 64; square++) {
        const int bits = popCount(masks[square]);
        if (!(bits >= min_bits && bits <= max_bits)) assertionFailed(bits_check, "sliders", __FILE__, __LINE__);
        for (unsigned k = 0; k < (1u << bits); k++) {
            const Bitboard occupancy = occupancySubset(masks[square], k);
            table[square * slots + slot(square, occupancy)] = reference(occupancy, square);
            const Bitboard moves = lookup(square, occupancy);
            if (!(moves == reference(occupancy, square))) assertionFailed(moves_check, "sliders", __FILE__, __LINE__);
        }
    }
}

// 64 random bits from four successive 16-bit draws of the C library's generator.
static Bitboard random64() {
    Bitboard r = 0;
    for (int i = 0; i < 4; i++) r |= Bitboard(std::rand() & 0xFFFF) << (16 * i);
    return r;
}

void findSquareMagics(Bitboard *magics, const Bitboard *masks, const int32_t *shifts,
                      Bitboard (*reference)(Bitboard, int)) {
    static Bitboard occupancies[4096], attacks[4096], slots[4096];
    for (int square = 0; square < 64; square++) {
        const unsigned count = 1u << popCount(masks[square]);
        for (unsigned k = 0; k < count; k++) {
            occupancies[k] = occupancySubset(masks[square], k);
            attacks[k] = reference(occupancies[k], square);
        }
        // A slot may hold two subsets only when their attack sets agree (an
        // attack set is never empty, so 0 marks a free slot).  Sparse
        // candidates, the AND of three random numbers, succeed soonest.
        for (;;) {
            const Bitboard candidate = random64() & random64() & random64();
            std::fill(slots, slots + count, Bitboard(0));
            bool collision = false;
            for (unsigned k = 0; k < count && !collision; k++) {
                Bitboard &slot = slots[(occupancies[k] * candidate) >> shifts[square]];
                if (slot == 0)
                    slot = attacks[k];
                else
                    collision = slot != attacks[k];
            }
            if (collision) continue;
            magics[square] = candidate;
            writeOut("0x%08x%08x, ", unsigned(candidate >> 32), unsigned(candidate & 0xFFFFFFFF));
            break;
        }
    }
    writeOut("\n");
}

// Shifts of 64 minus the mask's bits; multipliers searched for when the
// build carries none (the printed lists paste into square_magics.inc).
static void prepareSquareMagics() {
    for (int square = 0; square < 64; square++) {
        rookShift[square] = 64 - popCount(rookMask[square]);
        bishopShift[square] = 64 - popCount(bishopMask[square]);
    }
    if (rookSquareMagic[0] == 0 || bishopSquareMagic[0] == 0) std::srand(unsigned(std::time(nullptr)));
    if (rookSquareMagic[0] == 0) {
        writeOut("Magic numbers for rooks :\n");
        findSquareMagics(rookSquareMagic, rookMask, rookShift, getRookMoves);
    }
    if (bishopSquareMagic[0] == 0) {
        writeOut("Magic numbers for bishops :\n");
        findSquareMagics(bishopSquareMagic, bishopMask, bishopShift, getBishopMoves);
    }
}

void initSliders() {
    for (int square = 0; square < 64; square++) rookMask[square] = relevantMask(rookEmptyMoves[square], square);
    for (int square = 0; square < 64; square++) bishopMask[square] = relevantMask(bishopEmptyMoves[square], square);
    if constexpr (GENERATION.square_shift_magics) prepareSquareMagics();
    fillMagicTable(&rookMagicMoves[0][0], 4096, rookMask, 10, 12, rookMoves, getRookMoves, rookSlot,
                   "bits >= 10 && bits <= 12", "moves == getRookMoves(occupancy, square)");
    fillMagicTable(&bishopMagicMoves[0][0], 512, bishopMask, 5, 9, bishopMoves, getBishopMoves, bishopSlot,
                   "bits >= 5 && bits <= 9", "moves == getBishopMoves(occupancy, square)");
}
