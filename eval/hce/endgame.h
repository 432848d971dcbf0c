// Material distributions of small endgames.
//
// Positions with 4 to 6 pieces (kings included) receive a learned correction
// for their exact material distribution on top of the linear evaluation.  A
// distribution is named by a material key (the stronger side's signature
// above the weaker side's) and found by binary search in a sorted list of
// every key that can occur with that number of pieces; its position in the
// list indexes the correction tables (eval/hce/evaluate.h).  The lists are
// built at compile time from the counting rule below, so they cannot miss a
// distribution.
#pragma once

#include <array>
#include <cstdint>

#include "board/types.h"

inline constexpr int ENDGAME_MIN_PIECES = 4;
inline constexpr int ENDGAME_MAX_PIECES = 6;

// Signature of one side's material, kings not counted: queens, rooks,
// bishops, knights and pawns in 3 bits each, queens highest, so comparing
// signatures as integers compares the highest piece type first.
//
//   14..12  11..9  8..6  5..3  2..0
//   queens  rooks  bish  knig  pawns
inline constexpr int32_t materialSignature(int queens, int rooks, int bishops, int knights, int pawns) {
    return queens * 4096 + rooks * 512 + bishops * 64 + knights * 8 + pawns;
}
inline int32_t materialSignature(const ColourSet &side) {
    return materialSignature(popCount(side.bb[QUEEN]), popCount(side.bb[ROOK]), popCount(side.bb[BISHOP]),
                             popCount(side.bb[KNIGHT]), popCount(side.bb[PAWN]));
}
// Key of (strong, weak) with strong >= weak: strong in bits 15-29, weak in 0-14.
inline constexpr int32_t materialKey(int32_t strong, int32_t weak) { return strong * 32768 + weak; }

namespace detail {

// Signatures of every way to hold `count` non-king pieces; returns how many.
constexpr int signaturesOfSize(int count, int32_t *out) {
    int n = 0;
    for (int q = 0; q <= count; q++)
        for (int r = 0; q + r <= count; r++)
            for (int b = 0; q + r + b <= count; b++)
                for (int k = 0; q + r + b + k <= count; k++)
                    out[n++] = materialSignature(q, r, b, k, count - q - r - b - k);
    return n;
}

// The key 0 followed by the key of every distribution of pieces - 2 non-king
// pieces between two sides, each distribution once, ascending.  Writes at most
// `capacity` keys and returns how many there are in all.
constexpr int buildEndgameKeys(int pieces, int32_t *keys, int capacity) {
    const int total = pieces - 2;
    int n = 0;
    if (n < capacity) keys[n] = 0;
    n++;
    for (int a = 0; a <= total; a++) {
        int32_t first[70] = {}, second[70] = {};
        const int first_count = signaturesOfSize(a, first);
        const int second_count = signaturesOfSize(total - a, second);
        for (int i = 0; i < first_count; i++)
            for (int j = 0; j < second_count; j++) {
                // Each unordered pair is met once per order; keep the order
                // with the stronger side first (equal sides are met once).
                if (first[i] < second[j]) continue;
                if (n < capacity) keys[n] = materialKey(first[i], second[j]);
                n++;
            }
    }
    // Insertion sort: at most a few hundred keys, once at compile time.
    const int filled = n < capacity ? n : capacity;
    for (int i = 1; i < filled; i++)
        for (int j = i; j > 0 && keys[j - 1] > keys[j]; j--) {
            const int32_t t = keys[j];
            keys[j] = keys[j - 1];
            keys[j - 1] = t;
        }
    return n;
}

constexpr int endgameKeyCount(int pieces) {
    int32_t none[1] = {};
    return buildEndgameKeys(pieces, none, 0);
}

template <int PIECES>
constexpr std::array<int32_t, endgameKeyCount(PIECES)> endgameKeys() {
    std::array<int32_t, endgameKeyCount(PIECES)> keys{};
    buildEndgameKeys(PIECES, keys.data(), int(keys.size()));
    return keys;
}

template <size_t N>
constexpr bool strictlyAscending(const std::array<int32_t, N> &keys) {
    for (size_t i = 1; i < N; i++)
        if (keys[i - 1] >= keys[i]) return false;
    return true;
}

}  // namespace detail

inline constexpr int ENDGAME_KEYS4 = detail::endgameKeyCount(4);
inline constexpr int ENDGAME_KEYS5 = detail::endgameKeyCount(5);
inline constexpr int ENDGAME_KEYS6 = detail::endgameKeyCount(6);
static_assert(ENDGAME_KEYS4 == 31 && ENDGAME_KEYS5 == 111 && ENDGAME_KEYS6 == 366);

// [index] material key, ascending, entry 0 the key 0.
inline constexpr auto endgameKeys4 = detail::endgameKeys<4>();
inline constexpr auto endgameKeys5 = detail::endgameKeys<5>();
inline constexpr auto endgameKeys6 = detail::endgameKeys<6>();
static_assert(detail::strictlyAscending(endgameKeys4) && detail::strictlyAscending(endgameKeys5) &&
              detail::strictlyAscending(endgameKeys6));
static_assert(endgameKeys4[1] == 0x8001 && endgameKeys4[13] == 0x1000001);

// The key list for a piece count of 4 to 6 and its length.
const int32_t *endgameKeyList(int pieces, int &count);

// Position of the key of (strong, weak) in the list for their piece count.
// The caller guarantees materialSignature(strong) >= materialSignature(weak)
// and 4 to 6 pieces; a key missing from the list is an internal error that
// ends the program.
int endgameIndex(const ColourSet &strong, const ColourSet &weak);

// The index from the side to move's view: endgameIndex(us, them) when our
// material is at least theirs, else minus endgameIndex(them, us).
int signedEndgameIndex(const ColourSet &us, const ColourSet &them);
