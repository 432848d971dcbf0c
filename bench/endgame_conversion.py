#!/usr/bin/env python3
"""Conversion rate of king and queen, and king and rook, against a bare king.

Usage: endgame_conversion.py ENGINE [--positions N] [--nodes N] [--seed S]

Draws N random legal positions of each ending (either side to move), lets the
engine play both sides with `go nodes N` a move, and counts the games that
end in mate before the 50-move rule, in stalemate, or by the 50-move rule.
The engine judges legality: positions it refuses are drawn again.
"""
import argparse
import os
import random
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))
from uci_engine import Engine  # noqa: E402


def random_fen(rng, piece):
    squares = rng.sample(range(64), 3)
    board = [["1"] * 8 for _ in range(8)]
    for square, letter in zip(squares, ["K", "k", piece]):
        board[7 - square // 8][square % 8] = letter
    rows = []
    for row in board:
        text, empty = "", 0
        for c in row:
            if c == "1":
                empty += 1
            else:
                text += (str(empty) if empty else "") + c
                empty = 0
        rows.append(text + (str(empty) if empty else ""))
    return "/".join(rows) + " %s - - 0 1" % rng.choice("wb")


def play(e, fen, nodes):
    e.send("ucinewgame")
    moves = []
    while True:
        e.send("position fen %s%s" % (fen, " moves " + " ".join(moves) if moves else ""))
        e.send("go nodes %d" % nodes)
        lines = e.until_prefix("bestmove", timeout=120)
        if any(l.startswith("info debug Invalid position") for l in lines):
            return "refused" if not moves else "error"
        move = lines[-1].split()[1]
        if move == "0000":
            over = [l for l in lines if l.startswith("info string Game over")]
            result = over[0].split("(")[1].split(")")[0] if over else "error"
            if result == "draw":
                # Bare kings (the piece was taken) or the 50-move rule.
                fen_line = [l for l in e.ask("debug") if l.startswith("fen = ")]
                board = fen_line[0].split()[2] if fen_line else ""
                result = "piece lost" if sum(c.isalpha() for c in board) == 2 else "50-move rule"
            return result
        moves.append(move)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("engine")
    parser.add_argument("--positions", type=int, default=100)
    parser.add_argument("--nodes", type=int, default=20000)
    parser.add_argument("--seed", type=int, default=1)
    args = parser.parse_args()
    rng = random.Random(args.seed)
    e = Engine(args.engine, timeout=120)
    e.ask("uci")
    for piece, name in (("Q", "KQvK"), ("R", "KRvK")):
        counts = {}
        played = 0
        while played < args.positions:
            result = play(e, random_fen(rng, piece), args.nodes)
            if result == "refused":
                continue
            # A lone piece the bare king takes at once ends as "piece lost".
            played += 1
            counts[result] = counts.get(result, 0) + 1
        print("%s: %d games at %d nodes a move: %s" % (name, played, args.nodes,
              ", ".join("%s %d" % kv for kv in sorted(counts.items()))), flush=True)
    e.finish("quit")


if __name__ == "__main__":
    main()
