#!/usr/bin/env python3
"""A small UCI match runner: two engines play each opening of a book with both
colours at a fixed time per move.  A third process, the Vexar engine given as
--arbiter, judges legality (it refuses illegal move lists) and game ends (its
`go` answers "Game over" for mate, stalemate and draws by rule).  Games that
reach --max-plies are scored as draws.

Usage: tools/match.py --arbiter build/vexar-0.9-avx --first build/vexar-0.9-avx \\
           --second /usr/games/stockfish --second-option UCI_LimitStrength=true \\
           --second-option UCI_Elo=2000 --book data/books/8moves_v3_balanced.epd --openings 10 --movetime 100
Prints each game's result and the score of the first engine.
"""
import argparse
import math
import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))
from uci_engine import Engine  # noqa: E402


def start(path, network, options=()):
    e = Engine(path, network=network, timeout=60)
    e.send("uci")
    e.until(lambda l: l == "uciok")
    for option in options:
        name, value = option.split("=", 1)
        e.ask("setoption name %s value %s" % (name, value))
    e.ask("ucinewgame")
    return e


def judge(arbiter, fen, moves):
    """'illegal', 'mate', 'pat', 'draw' or None (the game goes on)."""
    answer = arbiter.ask("position fen %s%s" % (fen, " moves " + " ".join(moves) if moves else ""))
    if any(l.startswith("info debug Invalid position") for l in answer):
        return "illegal"
    arbiter.send("go depth 1")
    lines = arbiter.until(lambda l: l.startswith("bestmove"))
    for line in lines:
        for outcome in ("mate", "pat", "draw"):
            if line == "info string Game over (%s) !" % outcome:
                return outcome
    return None


def play(engines, arbiter, fen, movetime, max_plies):
    """(result from the point of view of engines[0]: 1, 0.5 or 0, how the game ended, plies)."""
    moves = []
    for e in engines:
        e.ask("ucinewgame")
    for ply in range(max_plies):
        mover = ply % 2
        e = engines[mover]
        e.send("position fen %s%s" % (fen, " moves " + " ".join(moves) if moves else ""))
        e.send("go movetime %d" % movetime)
        best = e.until(lambda l: l.startswith("bestmove"))[-1].split()
        moves.append(best[1] if len(best) > 1 else "0000")
        outcome = judge(arbiter, fen, moves)
        if outcome == "illegal":
            return (0.0 if mover == 0 else 1.0), "illegal move " + moves[-1], ply + 1
        if outcome == "mate":  # the side that just moved has won
            return (1.0 if mover == 0 else 0.0), "mate", ply + 1
        if outcome in ("pat", "draw"):
            return 0.5, outcome, ply + 1
    return 0.5, "move limit", max_plies


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--arbiter", required=True)
    parser.add_argument("--first", required=True)
    parser.add_argument("--second", required=True)
    parser.add_argument("--book", required=True)
    parser.add_argument("--openings", type=int, default=10)
    parser.add_argument("--movetime", type=int, default=100)
    parser.add_argument("--max-plies", type=int, default=300)
    parser.add_argument("--first-option", action="append", default=[], help="NAME=VALUE, repeatable")
    parser.add_argument("--second-option", action="append", default=[], help="NAME=VALUE, repeatable")
    args = parser.parse_args()

    fens = []
    with open(args.book) as book:
        for line in book:
            fields = line.split()
            if len(fields) >= 4:
                fens.append(" ".join(fields[:4]) + " 0 1")
    step = max(1, len(fens) // args.openings)
    fens = fens[::step][:args.openings]

    arbiter = start(args.arbiter, network=False)
    first = start(args.first, network=True, options=args.first_option)
    second = start(args.second, network=False, options=args.second_option)
    score, games = 0.0, 0
    for i, fen in enumerate(fens):
        for swap in (False, True):
            pair = [second, first] if swap else [first, second]
            result, how, plies = play(pair, arbiter, fen, args.movetime, args.max_plies)
            mine = 1.0 - result if swap else result
            score += mine
            games += 1
            print("opening %d, %s white: first scores %.1f (%s after %d plies)"
                  % (i + 1, "second" if swap else "first", mine, how, plies), flush=True)
    for e in (arbiter, first, second):
        e.finish("quit")
    fraction = score / games
    elo = -400 * math.log10(1 / fraction - 1) if 0 < fraction < 1 else float("inf") * (1 if fraction else -1)
    print("first engine: %.1f / %d (%.1f%%), about %+.0f Elo" % (score, games, 100 * fraction, elo))


if __name__ == "__main__":
    main()
