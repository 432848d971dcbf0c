#!/usr/bin/env python3
"""End-to-end endgames: a king with a queen or a rook against a bare king.

Usage: e2e_endgame.py PATH_TO_ENGINE

The engine plays both sides from several start positions with a node limit a
move, as a GUI would drive it, and must deliver mate within the 50-move rule
without ever stalemating.  Then single searches must find and report short
mates exactly ("score mate N") and never prefer a stalemate to a win.
"""
import sys

from uci_engine import Checks, Engine

checks = Checks("e2e_endgame")
check = checks.check


def final_lines(e, fen, moves, go):
    e.send("position fen %s%s" % (fen, " moves " + " ".join(moves) if moves else ""))
    e.send(go)
    lines = e.until_prefix("bestmove", timeout=60)
    check(not any(l.startswith("info debug Invalid position") for l in lines), "position refused: %s" % fen)
    return lines


def convert(e, fen, nodes):
    """Self-play from fen; returns ('mate'|'draw'|'pat'|'limit', plies)."""
    e.ask("ucinewgame")
    moves = []
    for _ in range(120):
        lines = final_lines(e, fen, moves, "go nodes %d" % nodes)
        move = lines[-1].split()[1]
        if move == "0000":
            over = [l for l in lines if l.startswith("info string Game over")]
            return (over[0].split("(")[1].split(")")[0] if over else "none"), len(moves)
        moves.append(move)
    return "limit", len(moves)


def score_of(lines):
    """The final report's score words, e.g. ['mate', '2'] or ['cp', '13900']."""
    for line in reversed(lines):
        words = line.split()
        if words[:2] == ["info", "score"]:
            return words[2:]
    return []


# Start positions, the strong side to move or not; all are wins.
CONVERSIONS = [
    "8/8/8/3k4/8/8/8/Q3K3 w - - 0 1",
    "8/8/3k4/8/8/3K4/8/7Q b - - 0 1",
    "7k/8/8/8/8/8/8/K5Q1 w - - 0 1",
    "8/8/8/4k3/8/8/8/R3K3 w - - 0 1",
    "8/8/2k5/8/8/5K2/8/7R b - - 0 1",
    "8/3k4/8/8/8/8/8/R6K w - - 0 1",
]

# (fen, go command, expected final score words, forbidden moves)
MATES = [
    # Qb7 mates; c6d5 and others stalemate or wander.
    ("k7/2Q5/2K5/8/8/8/8/8 w - - 0 1", "go depth 6", ["mate", "1"], []),
    # Ra8 mates; anything that takes away b8 without check stalemates.
    ("k7/8/1K6/8/8/8/8/7R w - - 0 1", "go depth 6", ["mate", "1"], []),
    # Mate in two with the rook: Kb6 is stalemate-free, Rc8 mate follows... the
    # exact distance is what matters.
    ("1k6/8/2K5/8/8/8/8/3R4 w - - 0 1", "go depth 8", ["mate", "2"], []),
    # The bare king to move (two moves), mated next move whatever it does.
    ("3k4/Q7/3K4/8/8/8/8/8 b - - 0 1", "go depth 6", ["mate", "-1"], []),
]


def main(path):
    e = Engine(path, timeout=60)
    e.ask("uci")
    for fen in CONVERSIONS:
        result, plies = convert(e, fen, 50000)
        check(result == "mate", "%s: game ended %s after %d plies, not in mate" % (fen, result, plies))
    for fen, go, expected, _ in MATES:
        # Once from an empty table and once after another search filled it:
        # the distance is counted from the root either way.
        for label in ("empty table", "after a search"):
            if label == "empty table":
                e.ask("ucinewgame")
            else:
                final_lines(e, "8/8/8/3k4/8/8/8/Q3K3 w - - 0 1", [], "go depth 9")
            lines = final_lines(e, fen, [], go)
            check(score_of(lines) == expected, "%s (%s): score %s, expected %s" % (fen, label, score_of(lines), expected))
    status = e.finish("quit")
    check(status == 0, "exit status %s" % status)
    return checks.finish()


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
