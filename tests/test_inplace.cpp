// Generation 0.3: the in-place board against the copy-make board of the other
// generations (perft, move sets, every Bitboard, key and material sum along
// random games and back), and the gene evaluation with its -pbil= decoding.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <tuple>

#include "board/board.h"
#include "board/inplace/inplace.h"
#include "board/moves.h"
#include "eval/genes/genes.h"
#include "io/output.h"
#include "tests/perft_epd.h"

namespace {

using inplace::Move03;

struct Boards {
    std::unique_ptr<SearchThread> thread = std::make_unique<SearchThread>();
    std::unique_ptr<inplace::Board> board = std::make_unique<inplace::Board>();

    bool load(const char *fen) {
        if (readFen(*thread, fen)) return false;
        inplace::setBoard(*board, *thread->stack.current);
        return true;
    }
};

// (from, to, promotion) of every legal move: the two layouts differ elsewhere.
using Key3 = std::tuple<int, int, int>;
std::set<Key3> copyMakeMoves(PositionStack &stack) {
    Position &pos = *stack.current;
    computeAttackInfo(pos);
    generateMoves(stack, pos);
    std::set<Key3> out;
    for (int i = 0; i < pos.moves.generated; i++) {
        const Move m = pos.moves.list[i];
        out.emplace(moveFrom(m), moveTo(m), movePromotion(m));
    }
    return out;
}
std::set<Key3> inPlaceMoves(inplace::Board &board, inplace::MoveList03 &moves) {
    inplace::generateLegalMoves(board, moves);
    std::set<Key3> out;
    for (int i = 0; i < moves.count; i++)
        out.emplace(inplace::from03(moves.list[i]), inplace::to03(moves.list[i]), inplace::promotion03(moves.list[i]));
    return out;
}

// Everything the in-place board holds for the current ply, for comparisons.
std::string snapshot(const inplace::Board &b) {
    std::string s;
    for (int c = 0; c < 2; c++)
        for (int t = 0; t <= KING; t++) s += std::to_string(b.pieces[c][t]) + ",";
    const inplace::HistoryRecord &h = inplace::current(b);
    s += std::to_string(b.occupied) + "|" + std::to_string(b.side) + "|" + std::to_string(b.material[0]) + "|" +
         std::to_string(b.material[1]) + "|" + std::to_string(h.en_passant) + "|" + std::to_string(h.castling) + "|" +
         std::to_string(h.key) + "|" + std::to_string(uint32_t(h.counters));
    return s;
}

void expectSameAsCopyMake(const inplace::Board &b, const Position &pos, const std::string &where) {
    for (int c = 0; c < 2; c++)
        for (int t = 0; t <= KING; t++) EXPECT_EQ(b.pieces[c][t], pos.set[c].bb[t]) << where << " colour " << c << " type " << t;
    const inplace::HistoryRecord &h = inplace::current(b);
    EXPECT_EQ(b.side, pos.us->colour) << where;
    EXPECT_EQ(h.en_passant, pos.en_passant) << where;
    EXPECT_EQ(h.castling, pos.castling) << where;
    EXPECT_EQ(h.key, pos.key) << where;
    EXPECT_EQ(h.key, inplace::computeKey(b)) << where;
    EXPECT_EQ(int(uint32_t(h.counters)), pos.rule50) << where;
    for (int c = 0; c < 2; c++) EXPECT_EQ(b.material[c], inplace::computeMaterial(b, c)) << where;
}

TEST(InPlaceBoard, PerftEpdPositions) {
    const auto cases = readEpd();
    ASSERT_EQ(cases.size(), 10u);
    Boards boards;
    for (const EpdCase &c : cases) {
        ASSERT_TRUE(boards.load(c.fen.c_str())) << c.fen;
        for (auto [depth, nodes] : c.depths)
            if (nodes <= QUICK_NODES) {
                EXPECT_EQ(inplace::perft(*boards.board, depth), nodes) << c.fen << " depth " << depth;
            }
        // A count leaves the board as it found it.
        EXPECT_EQ(boards.board->ply, 0);
        expectSameAsCopyMake(*boards.board, *boards.thread->stack.current, c.fen);
    }
}

TEST(InPlaceBoard, DeepPerftEpdPositions) {
    Boards boards;
    for (const EpdCase &c : readEpd()) {
        ASSERT_TRUE(boards.load(c.fen.c_str()));
        for (auto [depth, nodes] : c.depths)
            if (nodes > QUICK_NODES) {
                EXPECT_EQ(inplace::perft(*boards.board, depth), nodes) << c.fen << " depth " << depth;
            }
    }
}

// Random games played on both boards at once: the same legal moves in every
// position, the same pieces, rights, keys and counters after every move, the
// material sums equal to a recount; then every move taken back restores each
// earlier ply exactly.
TEST(InPlaceBoard, MatchesCopyMakeAlongRandomGamesAndUnmakesExactly) {
    const char *starts[] = {START_FEN, "r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq - 0 1",
                            "r3k2r/Pppp1ppp/1b3nbN/nP6/BBP1P3/q4N2/Pp1P2PP/R2Q1RK1 w kq - 0 1",
                            "8/2p5/3p4/KP5r/1R3p1k/8/4P1P1/8 w - - 0 1",
                            "rnbqkbnr/ppp1p1pp/8/3pPp2/8/8/PPPP1PPP/RNBQKBNR w KQkq f6 0 3"};
    std::mt19937 rng(3);
    int positions = 0, castles = 0, en_passants = 0, promotions = 0, captures = 0;
    for (int game = 0; game < 40; game++) {
        Boards boards;
        const char *fen = starts[game % 5];
        ASSERT_TRUE(boards.load(fen));
        PositionStack &stack = boards.thread->stack;
        inplace::Board &b = *boards.board;
        std::vector<std::string> before;
        for (int ply = 0; ply < 200; ply++) {
            const std::string where = std::string(fen) + " game " + std::to_string(game) + " ply " + std::to_string(ply);
            inplace::MoveList03 moves;
            const std::set<Key3> ours = inPlaceMoves(b, moves);
            ASSERT_EQ(ours, copyMakeMoves(stack)) << where;
            positions++;
            if (moves.count == 0) break;
            // Castling and en passant are rare in random play: take them whenever they are there.
            Move03 m = moves.list[rng() % moves.count];
            for (int i = 0; i < moves.count; i++)
                if (moves.list[i] & (inplace::FLAG_EN_PASSANT | inplace::FLAG_CASTLING)) m = moves.list[i];
            castles += (m & inplace::FLAG_CASTLING) != 0;
            en_passants += (m & inplace::FLAG_EN_PASSANT) != 0;
            promotions += inplace::promotion03(m) != 0;
            captures += inplace::captured03(m) != 0;
            char text[6];
            inplace::moveText(m, text);
            before.push_back(snapshot(b));
            inplace::makeMove(b, m);
            ASSERT_EQ(playMoves(*boards.thread, text), nullptr) << where << " " << text;
            expectSameAsCopyMake(b, *stack.current, where + " after " + text);
        }
        while (!before.empty()) {
            inplace::unmakeMove(b);
            ASSERT_EQ(snapshot(b), before.back()) << fen << " game " << game << " unmaking ply " << before.size() - 1;
            before.pop_back();
        }
    }
    EXPECT_GT(positions, 3000);
    // The games met every special move.
    EXPECT_GT(castles, 5);
    EXPECT_GT(en_passants, 5);
    EXPECT_GT(promotions, 5);
    EXPECT_GT(captures, 200);
}

TEST(InPlaceBoard, MoveLayoutAndText) {
    Boards boards;
    ASSERT_TRUE(boards.load("1r2k3/P1P5/8/8/8/8/5p1p/3K2R1 b - - 0 1"));
    inplace::MoveList03 moves;
    inPlaceMoves(*boards.board, moves);
    std::set<std::string> texts;
    for (int i = 0; i < moves.count; i++) {
        char text[6];
        inplace::moveText(moves.list[i], text);
        texts.insert(text);
        if (std::string(text) == "h2g1n") {
            // Captured type in bits 17-19, promotion type in bits 20-22.
            EXPECT_EQ((moves.list[i] >> 17) & 7, unsigned(ROOK));
            EXPECT_EQ((moves.list[i] >> 20) & 7, unsigned(KNIGHT));
            EXPECT_EQ(inplace::piece03(moves.list[i]), PAWN);
        }
    }
    for (const char *t : {"h2g1n", "h2g1q", "h2h1r", "f2f1b", "b8b1"}) EXPECT_TRUE(texts.count(t)) << t;
}

// ---------------------------------------------------------------------------
// Genes

TEST(Genes, GrayDecodingAndTheArgumentText) {
    EXPECT_EQ(decodeGray("000001", 6), 1);
    EXPECT_EQ(decodeGray("000011", 6), 2);
    EXPECT_EQ(decodeGray("000010", 6), 3);
    EXPECT_EQ(decodeGray("100000", 6), 63);
    // Every 6-digit code maps to a different value.
    std::set<int> values;
    for (int code = 0; code < 64; code++) {
        char bits[7] = {};
        for (int i = 0; i < 6; i++) bits[i] = (code >> (5 - i)) & 1 ? '1' : '0';
        values.insert(decodeGray(bits, 6));
    }
    EXPECT_EQ(values.size(), 64u);

    int32_t out[GENE_NUMBER];
    std::fill(out, out + GENE_NUMBER, -7);
    std::string text(84, '0');
    text.replace(0, 6, "000011");
    text.replace(78, 6, "100000");
    ASSERT_TRUE(decodeGenes(text.c_str(), out));
    EXPECT_EQ(out[0], 2);
    EXPECT_EQ(out[1], 0);
    EXPECT_EQ(out[13], 63);
    // Wrong length or other characters: refused, nothing written.
    std::fill(out, out + GENE_NUMBER, -7);
    for (const std::string &bad : {text.substr(0, 83), text + "0", std::string(84, 'x'), text.substr(0, 83) + "2",
                                   std::string()})
        EXPECT_FALSE(decodeGenes(bad.c_str(), out)) << bad;
    EXPECT_EQ(out[0], -7);
}

int geneScore(const char *fen) {
    auto t = std::make_unique<SearchThread>();
    EXPECT_EQ(readFen(*t, fen), nullptr) << fen;
    computeAttackInfo(*t->stack.current);
    return evaluateGenes(*t->stack.current);
}

// The position with colours exchanged and the board turned rank-wise.
std::string mirrored(const std::string &fen) {
    std::string board = fen.substr(0, fen.find(' ')), rest = fen.substr(fen.find(' ') + 1);
    std::vector<std::string> ranks;
    for (size_t start = 0;;) {
        const size_t slash = board.find('/', start);
        ranks.push_back(board.substr(start, slash - start));
        if (slash == std::string::npos) break;
        start = slash + 1;
    }
    std::string out;
    for (auto it = ranks.rbegin(); it != ranks.rend(); ++it) {
        for (char c : *it) out += char(isalpha(c) ? (isupper(c) ? tolower(c) : toupper(c)) : c);
        if (it + 1 != ranks.rend()) out += '/';
    }
    const char side = rest[0] == 'w' ? 'b' : 'w';
    return out + " " + side + " - - 0 1";
}

struct GenesGuard {
    int32_t saved[GENE_NUMBER];
    GenesGuard() { std::copy(genes, genes + GENE_NUMBER, saved); }
    ~GenesGuard() { std::copy(saved, saved + GENE_NUMBER, genes); }
};

TEST(Genes, EvaluationIsColourSymmetricAndEachGeneCounts) {
    GenesGuard guard;
    const char *fens[] = {START_FEN, "r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq - 0 1",
                          "8/2p5/3p4/KP5r/1R3p1k/8/4P1P1/8 w - - 0 1",
                          "r1bq1rk1/pp2bppp/2n1pn2/3p4/2PP4/2N1PN2/PP3PPP/R2QKB1R b KQ - 0 8"};
    for (const char *fen : fens) EXPECT_EQ(geneScore(fen), geneScore(mirrored(fen).c_str())) << fen;
    EXPECT_EQ(geneScore("4k3/8/8/8/8/8/8/4K3 w - - 0 1"), 0);

    // Positions that show one term each, for White to move; the score moves
    // by exactly (gene change) x (count) when only that gene changes.
    struct Case {
        Gene gene;
        const char *fen;
        int count;
    };
    const Case cases[] = {
        {BISHOP_PAIR, "4k3/8/8/8/8/8/8/2B1KB2 w - - 0 1", 1},
        {ROOK_OPEN_FILE, "4k3/p7/8/8/8/8/P7/R3K3 w - - 0 1", 0},
        {ROOK_OPEN_FILE, "4k3/8/8/8/8/8/8/R3K3 w - - 0 1", 1},
        {ROOK_SEMI_OPEN_FILE, "4k3/p7/8/8/8/8/8/R3K3 w - - 0 1", 1},
        {ROOK_SEVENTH_RANK, "4k3/R7/8/8/8/8/8/4K3 w - - 0 1", 1},
        {DOUBLED_PAWN, "4k3/8/8/8/8/P7/P7/4K3 w - - 0 1", -1},
        {ISOLATED_PAWN, "4k3/8/8/8/8/8/P7/4K3 w - - 0 1", -1},
        {PASSED_PAWN, "4k3/8/8/8/P7/8/8/4K3 w - - 0 1", 2},
        {PAWN_CENTRE_ADVANCE, "4k3/8/8/3P4/8/8/8/4K3 w - - 0 1", 3},
        {PAWN_WING_ADVANCE, "4k3/8/8/7P/8/8/8/4K3 w - - 0 1", 3},
        {KNIGHT_MOBILITY, "4k3/8/8/8/8/8/8/N3K3 w - - 0 1", 2},
        {ROOK_MOBILITY, "4k3/8/8/8/8/8/8/R3K3 w - - 0 1", 10},
        {KING_SHIELD, "q3k3/8/8/8/8/8/5PPP/6K1 w - - 0 1", 3},
    };
    for (const Case &c : cases) {
        std::copy(BUILT_IN_GENES, BUILT_IN_GENES + GENE_NUMBER, genes);
        const int base = geneScore(c.fen);
        genes[c.gene] += 10;
        EXPECT_EQ(geneScore(c.fen) - base, 10 * c.count) << c.fen << " gene " << int(c.gene);
    }
}

}  // namespace
