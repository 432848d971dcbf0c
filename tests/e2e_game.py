#!/usr/bin/env python3
"""End-to-end play: the engine plays games against itself through its standard
input and output as a GUI would, on a fast clock, and answers commands that
arrive while it searches.

Usage: e2e_game.py PATH_TO_ENGINE
Checks that every bestmove is legal (the engine refuses illegal move lists
with an "info debug" line), that no side ever runs out of time, and that
stop, isready and fast position+go sequences during a search are answered in
order, none lost.
"""
import sys
import time

from uci_engine import Checks, Engine

checks = Checks("e2e_game")
check = checks.check


def bestmove_of(lines):
    return lines[-1].split()[1]


def legal_continuation(e, moves):
    """The engine accepts the move list (it rejects illegal moves)."""
    answer = e.ask("position startpos moves " + " ".join(moves))
    return not any(l.startswith("info debug Invalid position") for l in answer)


def play_game(e, start_ms, increment_ms, max_plies):
    """Self-play on a real clock; returns the number of plies played."""
    e.ask("ucinewgame")
    clocks = [start_ms, start_ms]  # white, black
    moves = []
    for ply in range(max_plies):
        side = ply % 2
        e.send("position startpos" + (" moves " + " ".join(moves) if moves else ""))
        began = time.monotonic()
        e.send("go wtime %d btime %d winc %d binc %d" % (clocks[0], clocks[1], increment_ms, increment_ms))
        lines = e.until_prefix("bestmove", timeout=max(5.0, clocks[side] / 1000.0 + 5.0))
        used = int((time.monotonic() - began) * 1000)
        clocks[side] -= used
        check(clocks[side] > 0, "ply %d: time forfeit (%d ms used, clock %d)" % (ply, used, clocks[side]))
        clocks[side] += increment_ms
        move = bestmove_of(lines)
        if move == "0000":
            check(any(l.startswith("info string Game over") for l in lines), "bestmove 0000 without game over")
            break
        moves.append(move)
        check(legal_continuation(e, moves), "ply %d: illegal bestmove %s after %s" % (ply, move, moves[:-1]))
        if checks.failures:
            break
    return len(moves)


def commands_during_search(e):
    e.ask("ucinewgame")
    # stop ends an infinite search with a legal move.
    e.send("position startpos moves e2e4\ngo infinite")
    time.sleep(0.3)
    e.send("stop")
    lines = e.until_prefix("bestmove")
    check(legal_continuation(e, ["e2e4", bestmove_of(lines)]), "bestmove after stop is legal: %r" % lines[-1])

    # isready during a search: the search ends, then readyok follows bestmove.
    e.send("position startpos\ngo infinite")
    time.sleep(0.2)
    e.send("isready")
    lines = e.until(lambda l: l == "readyok")
    best = [i for i, l in enumerate(lines) if l.startswith("bestmove")]
    check(len(best) == 1 and best[0] == len(lines) - 2, "one bestmove, then readyok: %r" % lines[-3:])

    # A GUI sending the next position and go at once: each go answers once, in order.
    e.send("position startpos\ngo movetime 5000")
    e.send("position startpos moves d2d4\ngo depth 3")
    first = e.until_prefix("bestmove")
    second = e.until_prefix("bestmove")
    check(legal_continuation(e, [bestmove_of(first)]), "first answer is a move of the start position")
    check(legal_continuation(e, ["d2d4", bestmove_of(second)]), "second answer is a move after d2d4")
    check(e.ask("isready") == [], "nothing left over after both answers")

    # quit during a search ends the process.
    e.send("position startpos\ngo infinite")
    time.sleep(0.2)
    e.send("quit")
    e.until_prefix("bestmove")


def main():
    engine = sys.argv[1]
    e = Engine(engine)
    e.until(lambda l: l.startswith("info debug Creation of Transposition Table"))
    plies = play_game(e, 1000, 10, 60)
    print("game 1 (1 s + 10 ms): %d plies" % plies)
    plies = play_game(e, 300, 0, 20)
    print("game 2 (300 ms, no increment): %d plies" % plies)
    e.ask("setoption name Threads value 2")
    plies = play_game(e, 2000, 20, 30)
    print("game 3 (2 threads, 2 s + 20 ms): %d plies" % plies)
    e.ask("setoption name Threads value 1")
    commands_during_search(e)
    status = e.proc.wait(timeout=10)
    check(status == 0, "exit status after quit: %r" % status)
    return checks.finish()


if __name__ == "__main__":
    sys.exit(main())
