// The 32-byte training record: packing positions and reading them back, and
// the files the data generator writes (whole records, legal positions, game
// flags, resuming without replaying games).
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "board/board.h"
#include "board/moves.h"
#include "search/search.h"
#include "tools/record.h"

namespace {

// FEN fields 1-5: placement, side, castling, en passant, rule-50 counter.
std::string firstFiveFields(const char *fen) {
    std::string text(fen);
    size_t end = 0;
    for (int i = 0; i < 5 && end != std::string::npos; i++) end = text.find(' ', end + (i > 0));
    return text.substr(0, end);
}

std::vector<std::string> perftFens() {
    std::vector<std::string> fens;
    std::ifstream file(std::string(VEXAR_DATA_DIR) + "/perft-basic.epd");
    for (std::string line; std::getline(file, line);)
        if (!line.empty()) fens.push_back(line.substr(0, line.find(';')));
    return fens;
}

// Every position of seeded random games from the perft positions is packed,
// turned into FEN, read back by the engine and packed again.
TEST(Record, PackedPositionsReadBackIdentically) {
    const std::vector<std::string> fens = perftFens();
    ASSERT_GE(fens.size(), 5u);
    auto original = std::make_unique<SearchThread>();
    auto copy = std::make_unique<SearchThread>();
    std::mt19937 random(7);
    int black_to_move = 0, en_passant = 0, some_castling = 0, checked = 0;
    for (int game = 0; game < 40; game++) {
        const std::string &start = fens[size_t(game) % fens.size()];
        ASSERT_EQ(readFen(*original, start.c_str()), nullptr) << start;
        PositionStack &stack = original->stack;
        // Plies from the game's start: even with White to move.
        const int first_ply = 40 + (stack.current->us->colour == BLACK);
        for (int ply = 0; ply < 120; ply++) {
            Position &pos = *stack.current;
            computeAttackInfo(pos);
            generateMoves(stack, pos);
            if (pos.moves.generated == 0 || is_draw(pos)) break;

            const int score = int(random() % 4001) - 2000, result = int(random() % 3) - 1;
            const PackedRecord r = packPosition(pos, score, first_ply + ply, result, ply == 0);
            EXPECT_EQ(recordProblem(r), nullptr);
            EXPECT_EQ(r.score, score);
            EXPECT_EQ(r.ply, first_ply + ply);
            EXPECT_EQ(r.result, result);
            EXPECT_EQ((r.flags & RECORD_FIRST_OF_GAME) != 0, ply == 0);

            char fen[128], engine_fen[128], copy_fen[128];
            recordToFen(r, fen);
            writeFen(pos, engine_fen);
            EXPECT_EQ(firstFiveFields(fen), firstFiveFields(engine_fen));
            ASSERT_EQ(readFen(*copy, fen), nullptr) << fen;
            const Position &back = *copy->stack.current;
            EXPECT_EQ(back.key, pos.key) << fen;
            writeFen(back, copy_fen);
            EXPECT_EQ(firstFiveFields(copy_fen), firstFiveFields(engine_fen));
            // The ply comes back through the move number.
            EXPECT_EQ(atoi(strrchr(fen, ' ') + 1), (first_ply + ply) / 2 + 1);

            PackedRecord parsed;
            ASSERT_TRUE(fenToRecord(fen, parsed)) << fen;
            parsed.score = r.score, parsed.result = r.result;
            parsed.flags |= r.flags & RECORD_FIRST_OF_GAME;
            EXPECT_EQ(memcmp(&parsed, &r, sizeof r), 0) << fen;

            black_to_move += pos.us->colour == BLACK;
            en_passant += pos.en_passant != 0;
            some_castling += (r.flags & 0x1E) != 0;
            checked++;
            makeMove(stack, pos.moves.list[random() % unsigned(pos.moves.generated)] &
                                ~(MOVE_ORDER_BITS & ~(MOVE_CAPTURE_MASK | MOVE_PROMOTION_MASK)));
        }
    }
    EXPECT_GT(checked, 2000);
    EXPECT_GT(black_to_move, 500);
    EXPECT_GT(en_passant, 5);
    EXPECT_GT(some_castling, 200);
}

TEST(Record, LayoutAndMalformedInput) {
    auto t = std::make_unique<SearchThread>();
    ASSERT_EQ(readFen(*t, "r3k2r/8/8/3pP3/8/8/8/R3K2R w Kq d6 7 30"), nullptr);
    const PackedRecord r = packPosition(*t->stack.current, -1234, 58, -1, true);
    unsigned char bytes[32];
    memcpy(bytes, &r, sizeof bytes);
    const uint64_t occupied = bit(0) | bit(4) | bit(7) | bit(35) | bit(36) | bit(56) | bit(60) | bit(63);
    uint64_t stored;
    memcpy(&stored, bytes, 8);
    EXPECT_EQ(stored, occupied);
    // a1 rook, e1 king (white: 8 + type), e5 pawn, d5 black pawn, black king and rooks.
    EXPECT_EQ(bytes[8], (WHITE << 3 | KING) << 4 | (WHITE << 3 | ROOK));
    EXPECT_EQ(bytes[9], (BLACK << 3 | PAWN) << 4 | (WHITE << 3 | ROOK));
    EXPECT_EQ(bytes[10], (BLACK << 3 | ROOK) << 4 | (WHITE << 3 | PAWN));
    EXPECT_EQ(bytes[11], (BLACK << 3 | ROOK) << 4 | (BLACK << 3 | KING));
    for (int i = 12; i < 24; i++) EXPECT_EQ(bytes[i], 0);
    EXPECT_EQ(bytes[24] | bytes[25] << 8, uint16_t(int16_t(-1234)));
    EXPECT_EQ(bytes[26] | bytes[27] << 8, 58);
    EXPECT_EQ(int8_t(bytes[28]), -1);
    EXPECT_EQ(bytes[29], RECORD_WHITE_TO_MOVE | RECORD_CASTLE_WK | RECORD_CASTLE_BQ | RECORD_FIRST_OF_GAME);
    EXPECT_EQ(bytes[30], 43);  // d6
    EXPECT_EQ(bytes[31], 7);

    PackedRecord bad = r;
    bad.pieces[0] = 0x07;  // type 7 on a1
    EXPECT_NE(recordProblem(bad), nullptr);
    bad = r;
    bad.pieces[12] = 1;  // a nibble past the last piece
    EXPECT_NE(recordProblem(bad), nullptr);
    bad = r;
    bad.occupied &= ~bit(60);  // the black king's square empty: codes shift
    EXPECT_NE(recordProblem(bad), nullptr);
    bad = r;
    bad.en_passant = 65;
    EXPECT_NE(recordProblem(bad), nullptr);

    PackedRecord parsed;
    EXPECT_FALSE(fenToRecord("8/8/8/8/8/8/8/9 w - - 0 1", parsed));
    EXPECT_FALSE(fenToRecord("4k3/8/8/8/8/8/8/4K3 x - - 0 1", parsed));
    EXPECT_FALSE(fenToRecord("4k3/8/8/8/8/8/8/4K3 w - e9 0 1", parsed));
    EXPECT_TRUE(fenToRecord("4k3/8/8/8/8/8/8/4K3 b - -", parsed));
    EXPECT_EQ(parsed.ply, 1);
}

// ---------------------------------------------------------------------------
// Generator files

std::vector<PackedRecord> readRecords(const std::string &path, off_t &size) {
    struct stat info;
    size = stat(path.c_str(), &info) == 0 ? info.st_size : -1;
    std::vector<PackedRecord> records(size > 0 ? size_t(size) / sizeof(PackedRecord) : 0);
    std::ifstream file(path, std::ios::binary);
    file.read(reinterpret_cast<char *>(records.data()), std::streamsize(records.size() * sizeof(PackedRecord)));
    return records;
}

int runDatagen(const std::string &prefix, int games, int workers) {
    const std::string command = std::string(VEXAR_DATAGEN) + " --out " + prefix + " --games " + std::to_string(games) +
                                " --workers " + std::to_string(workers) +
                                " --nodes 300 --seed 5 --progress 60 --book " VEXAR_DATA_DIR
                                "/books/8moves_v3_balanced.epd --network " VEXAR_DATA_DIR "/network.txt > /dev/null";
    return std::system(command.c_str());
}

TEST(Record, GeneratorFilesHoldLegalGamesAndResume) {
    char directory[] = "/tmp/vexar-datagen-test-XXXXXX";
    ASSERT_NE(mkdtemp(directory), nullptr);
    const std::string fresh = std::string(directory) + "/fresh", resumed = std::string(directory) + "/resumed";

    ASSERT_EQ(runDatagen(fresh, 4, 1), 0);
    off_t size;
    const std::vector<PackedRecord> records = readRecords(fresh + ".w0", size);
    ASSERT_GT(size, 0);
    EXPECT_EQ(size % 32, 0);
    int games = 0;
    std::set<std::string> game_starts;  // games differ: each has its own seed
    auto t = std::make_unique<SearchThread>();
    for (const PackedRecord &r : records) {
        games += (r.flags & RECORD_FIRST_OF_GAME) != 0;
        if (r.flags & RECORD_FIRST_OF_GAME) game_starts.insert(std::string(reinterpret_cast<const char *>(&r), 24));
        ASSERT_EQ(recordProblem(r), nullptr);
        char fen[128];
        recordToFen(r, fen);
        ASSERT_EQ(readFen(*t, fen), nullptr) << fen;
        Position &pos = *t->stack.current;
        computeAttackInfo(pos);
        EXPECT_FALSE(inCheck(pos)) << fen;
        EXPECT_FALSE(isMateScore(r.score)) << fen;
        EXPECT_GE(r.ply, 16) << fen;  // the book lines start at move 9
    }
    EXPECT_EQ(games, 4);
    EXPECT_EQ(game_starts.size(), 4u);
    EXPECT_NE(records[0].flags & RECORD_FIRST_OF_GAME, 0);
    // Within a game every record carries the same result from White's side.
    int white_result = 0;
    for (const PackedRecord &r : records) {
        const int white = (r.flags & RECORD_WHITE_TO_MOVE) ? r.result : -r.result;
        if (r.flags & RECORD_FIRST_OF_GAME) white_result = white;
        EXPECT_EQ(white, white_result);
    }

    // Two games, a torn record appended (an interrupted write), then a run
    // to four games: the same file as four games in one run.
    ASSERT_EQ(runDatagen(resumed, 2, 1), 0);
    {
        std::ofstream torn(resumed + ".w0", std::ios::binary | std::ios::app);
        torn.write("\x01\x02\x03\x04\x05", 5);
    }
    ASSERT_EQ(runDatagen(resumed, 4, 1), 0);
    off_t resumed_size;
    const std::vector<PackedRecord> again = readRecords(resumed + ".w0", resumed_size);
    EXPECT_EQ(resumed_size, size);
    EXPECT_TRUE(again.size() == records.size() &&
                memcmp(again.data(), records.data(), records.size() * sizeof(PackedRecord)) == 0);
    // Nothing more to do once the games are there.
    ASSERT_EQ(runDatagen(resumed, 4, 1), 0);
    readRecords(resumed + ".w0", resumed_size);
    EXPECT_EQ(resumed_size, size);

    // Two workers: each writes its own file, its share of the games.
    const std::string pair = std::string(directory) + "/pair";
    ASSERT_EQ(runDatagen(pair, 3, 2), 0);
    int pair_games[2] = {0, 0};
    for (int w = 0; w < 2; w++)
        for (const PackedRecord &r : readRecords(pair + ".w" + std::to_string(w), size))
            pair_games[w] += (r.flags & RECORD_FIRST_OF_GAME) != 0;
    EXPECT_EQ(pair_games[0], 2);
    EXPECT_EQ(pair_games[1], 1);

    std::system((std::string("rm -rf ") + directory).c_str());
}

}  // namespace
