#!/usr/bin/env python3
"""Search cost to a fixed depth: nodes, failed aspiration windows and the
swing of the score from one iteration to the next, per position and engine.

    python3 bench/fixed_depth.py --depth 12 \
        --engine 0.9=build/vexar-0.9-avx@build/nets/new --engine 0.8=build/vexar-0.8@build/nets/v08

Each --engine is NAME=PROGRAM or NAME=PROGRAM@DIR (the working directory,
where Vexar reads its network).  Every search starts in a fresh process, so
the counts do not depend on the machine's load.  An evaluation whose score
see-saws between odd and even depths makes the narrow aspiration windows
fail and the tree grow; the "swing" column (mean absolute change of the
exact score between successive depths) shows it.
"""
import argparse
import os
import subprocess
import sys

sys.dont_write_bytecode = True  # no __pycache__ in the source tree
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tools"))
from ladder import parse_engine  # noqa: E402

POSITIONS = [
    "r1bq1rk1/pp2bppp/2n1pn2/3p4/2PP4/2N2N2/PP2BPPP/R2QKB1R w KQ - 0 9",
    "r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq - 0 1",
    "8/2p5/3p4/KP5r/1R3p1k/8/4P1P1/8 w - - 0 1",
    "rnbqkb1r/pp1p1ppp/4pn2/2p5/2PP4/5N2/PP2PPPP/RNBQKB1R w KQkq - 0 4",
    "6k1/5pp1/4p2p/3pP3/2rP4/5N1P/1r3PP1/3R2K1 b - - 0 30",
]


def field(tokens, key):
    return tokens[tokens.index(key) + 1] if key in tokens else None


def search(program, directory, fen, depth):
    """(nodes and milliseconds at the last iteration, failed windows, exact
    scores by depth)."""
    engine = subprocess.Popen([program], cwd=directory, stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    engine.stdin.write("position fen %s\ngo depth %d\n" % (fen, depth))
    engine.stdin.flush()
    nodes, ms, fails, scores = 0, 0, 0, []
    for line in engine.stdout:
        tokens = line.split()
        if line.startswith("bestmove"):
            break
        if not line.startswith("info depth") or "currmove" in tokens or field(tokens, "nodes") is None:
            continue
        nodes, ms = int(field(tokens, "nodes")), int(field(tokens, "time") or 0)
        if "lowerbound" in tokens or "upperbound" in tokens:
            fails += 1
        elif field(tokens, "cp") is not None:
            scores.append(int(field(tokens, "cp")))
    engine.stdin.write("quit\n")
    engine.stdin.flush()
    engine.wait()
    return nodes, ms, fails, scores


def main():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--engine", action="append", required=True, metavar="NAME=PROGRAM[@DIR]")
    p.add_argument("--depth", type=int, default=12)
    p.add_argument("--fen-file", help="one FEN a line instead of the five built-in positions")
    args = p.parse_args()
    fens = POSITIONS
    if args.fen_file:
        with open(args.fen_file) as f:
            fens = [line.strip() for line in f if line.strip()]
    try:
        engines = [parse_engine(text) for text in args.engine]
    except ValueError as error:
        p.error(str(error))
    totals = {name: [0, 0, 0] for name, _, _ in engines}
    print("| position | engine | nodes | ms | failed windows | swing (cp) |")
    print("| --- | --- | --- | --- | --- | --- |")
    for number, fen in enumerate(fens, 1):
        for name, program, directory in engines:
            nodes, ms, fails, scores = search(program, directory, fen, args.depth)
            steps = [abs(b - a) for a, b in zip(scores, scores[1:])]
            swing = sum(steps) / len(steps) if steps else 0.0
            totals[name][0] += nodes
            totals[name][1] += ms
            totals[name][2] += fails
            print("| %d | %s | %d | %d | %d | %.1f |" % (number, name, nodes, ms, fails, swing), flush=True)
    for name, (nodes, ms, fails) in totals.items():
        print("%s: %d nodes in %d ms (%d nodes/s), %d failed windows in all"
              % (name, nodes, ms, nodes * 1000 // max(ms, 1), fails))


if __name__ == "__main__":
    main()
