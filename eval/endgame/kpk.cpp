// King and pawn against king draw table and its lookup.
#include "eval/endgame/kpk.h"

const uint64_t kpk_bitbase[3072] = {
#include "eval/endgame/kpk_bitbase.inc"
};

bool kpkIsDraw(int pawn_side_king, int other_king, int pawn_square, int pawn_side_colour, bool pawn_side_to_move) {
    // Turn the board so that the pawn side plays upwards ...
    if (pawn_side_colour == 0) {
        pawn_side_king ^= 56;
        other_king ^= 56;
        pawn_square ^= 56;
    }
    // ... and its pawn stands on files a-d.
    if ((pawn_square & 7) >= 4) {
        pawn_side_king ^= 7;
        other_king ^= 7;
        pawn_square ^= 7;
    }
    int file = pawn_square & 7, rank = pawn_square >> 3;
    int index = pawn_side_king + 64 * (other_king + 64 * ((pawn_side_to_move ? 1 : 0) + 2 * (file + 4 * (6 - rank))));
    return (kpk_bitbase[index >> 6] >> (index & 63)) & 1;
}
