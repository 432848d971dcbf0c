#include "board/perft.h"

#include "board/board.h"
#include "board/inplace/inplace.h"
#include "board/moves.h"
#include "io/clock.h"
#include "io/output.h"

uint64_t perft(PositionStack &stack, int depth, int limit) {
    Position &pos = *stack.current;
    computeAttackInfo(pos);
    if (depth == limit) return uint64_t(countLegalMoves(stack, pos));
    generateMoves(stack, pos);
    if (pos.moves.generated <= 0) return 0;
    uint64_t total = 0;
    for (int i = 0; i < pos.moves.generated; i++) {
        const Move move = pos.moves.list[i];
        makeMoveBoardOnly(stack, move);
        const uint64_t count = perft(stack, depth + 1, limit);
        unmakeMove(stack);
        total += count;
        if (depth == 0) {
            writeMove(move);
            writeOut(": %llu\n", (unsigned long long)count);
        }
    }
    return total;
}

// Generation 0.3 counts on its in-place board, with the same divide lines.
static uint64_t perftInPlace(const Position &pos, int n) {
    static inplace::Board board;
    inplace::setBoard(board, pos);
    inplace::MoveList03 moves;
    inplace::generateLegalMoves(board, moves);
    if (n == 1) return uint64_t(moves.count);
    uint64_t total = 0;
    for (int i = 0; i < moves.count; i++) {
        inplace::makeMove(board, moves.list[i]);
        const uint64_t count = inplace::perft(board, n - 1);
        inplace::unmakeMove(board);
        total += count;
        char text[6];
        inplace::moveText(moves.list[i], text);
        writeOut("%s: %llu\n", text, (unsigned long long)count);
    }
    return total;
}

void perftCommand(PositionStack &stack, int n) {
    if (n < 1) n = 1;
    // Each ply of the count takes a slot; refuse what the stack cannot hold.
    const int room = STACK_SIZE - 2 - slotIndex(stack, stack.current);
    if (n > room) {
        writeOut("info debug perft depth %i exceeds the position stack, counting %i\n", n, room);
        n = room;
    }
    const int32_t start = clockMs();
    if constexpr (GENERATION.perft_lists_root_moves) {
        if (n == 1) {
            Position &pos = *stack.current;
            computeAttackInfo(pos);
            generateMoves(stack, pos);
            for (int i = 0; i < pos.moves.generated; i++) {
                writeMove(pos.moves.list[i]);
                writeOut(" ");
            }
            writeOut("\n");
        }
    }
    uint64_t count;
    if constexpr (GENERATION.in_place_board) {
        if (n > inplace::HISTORY_SIZE - 2) n = inplace::HISTORY_SIZE - 2;
        count = perftInPlace(*stack.current, n);
    } else {
        count = perft(stack, 0, n - 1);
    }
    const int32_t ms = clockMs() - start;
    const unsigned long long speed = ms == 0 ? 0 : count / uint64_t(ms) * 1000;
    writeOut("%llu nodes in %i ms, speed = %llu nodes/s\n", (unsigned long long)count, ms, speed);
}
