// Hand-made training records for the trainer tests: boards read from FEN
// text independently of the engine, packed by hand from the record layout,
// random boards, and positions scored by their material.
#pragma once

#include <algorithm>
#include <cctype>
#include <cstring>
#include <vector>

#include "tools/record.h"
#include "tools/trainer_core.h"

namespace trainer_test {

using trainer::Random;

// A FEN's pieces as an 8 x 8 board of codes (colour << 3 | type, 0 empty),
// read here independently of the trainer's reader.
struct Board {
    uint8_t code[64] = {};
    bool white_to_move = true;
};

inline Board boardOf(const char *fen) {
    Board b;
    int square = 56;
    const char *p = fen;
    for (; *p != ' '; ++p) {
        if (*p == '/')
            square -= 16;
        else if (*p >= '1' && *p <= '8')
            square += *p - '0';
        else
            b.code[square++] = uint8_t((isupper(*p) ? 8 : 0) | (strchr("pnbrqk", tolower(*p)) - "pnbrqk" + 1));
    }
    b.white_to_move = p[1] == 'w';
    return b;
}

// The record of a board, packed here by hand from the layout.
inline PackedRecord recordOf(const Board &b, int16_t score, int8_t result, uint8_t extraFlags = 0) {
    PackedRecord r{};
    int k = 0;
    for (int s = 0; s < 64; ++s)
        if (b.code[s]) {
            r.occupied |= uint64_t(1) << s;
            r.pieces[k / 2] |= uint8_t(b.code[s] << (k % 2 ? 4 : 0));
            ++k;
        }
    r.score = score;
    r.result = result;
    r.flags = uint8_t((b.white_to_move ? RECORD_WHITE_TO_MOVE : 0) | extraFlags);
    r.en_passant = RECORD_NO_EN_PASSANT;
    return r;
}

// Random legal-looking boards: two kings and up to `extra` other pieces, no
// pawns on the first or last rank.
inline Board randomBoard(Random &rng, int extra) {
    Board b;
    auto place = [&](uint8_t code) {
        for (;;) {
            const int s = int(rng.next() % 64);
            if (b.code[s] || ((code & 7) == 1 && (s < 8 || s >= 56))) continue;
            b.code[s] = code;
            return;
        }
    };
    place(8 | 6), place(6);
    const int n = int(rng.next() % (extra + 1));
    for (int i = 0; i < n; ++i) place(uint8_t((rng.next() & 1 ? 8 : 0) | (1 + rng.next() % 5)));
    b.white_to_move = rng.next() & 1;
    return b;
}

inline const char *FENS[] = {
    "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1",
    "rnbqkbnr/pppppppp/8/8/4P3/8/PPPP1PPP/RNBQKBNR b KQkq e3 0 1",
    "r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq - 0 1",
    "r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R b KQkq - 0 1",
    "8/2p5/3p4/KP5r/1R3p1k/8/4P1P1/8 w - - 0 1",
    "8/2p5/3p4/KP5r/1R3p1k/8/4P1P1/8 b - - 0 1",
    "4k3/8/8/8/8/8/8/4K2R w K - 0 1",
    "6k1/5ppp/8/8/8/8/5PPP/3Q2K1 b - - 0 1",
    "rnbq1k1r/pp1Pbppp/2p5/8/2B5/8/PPP1NnPP/RNBQK2R w KQ - 1 8",
    "r4rk1/1pp1qppp/p1np1n2/2b1p1B1/2B1P1b1/P1NP1N2/1PP1QPPP/R4RK1 w - - 0 10",
};

// Positions whose score follows the material, so that there is something
// to learn.
inline std::vector<PackedRecord> materialData(uint64_t seed, int count) {
    static const int worth[7] = {0, 100, 300, 300, 500, 900, 0};
    Random rng{seed};
    std::vector<PackedRecord> data;
    for (int i = 0; i < count; ++i) {
        const Board b = randomBoard(rng, 24);
        int balance = 0;
        for (uint8_t c : b.code) balance += (c & 8 ? 1 : -1) * worth[c & 7];
        if (!b.white_to_move) balance = -balance;
        const int8_t result = int8_t(balance > 150 ? 1 : balance < -150 ? -1 : 0);
        data.push_back(recordOf(b, int16_t(std::clamp(balance, -3000, 3000)), result));
    }
    return data;
}


}  // namespace trainer_test
