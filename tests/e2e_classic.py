#!/usr/bin/env python3
"""End-to-end session of a classic-generation program (0.8, 0.7, 0.6, 0.3): its
identity, options and messages, perft on the shared positions, the `debug`
listing, a search, the command-set differences from 0.9, and (0.7) the
tablebase option, (0.3) the -pbil= genes, (0.8) the network file, NN_file
and eval.  The banner says which generation
is running.

Usage: e2e_classic.py PATH_TO_ENGINE
"""
import os
import re
import sys

import shutil
import tempfile

from uci_engine import REPO, Checks, Engine, king_relative, place_network

MAX_PERFT_NODES = 20_000_000

# What differs between the classic generations' sessions.
PROFILES = {
    "Vexar 0.8 x64": {
        "instructions": r"info debug Supported instructions : (popcnt ?|fma ?|avx ?|avx2 ?|bmi2)*",
        "startup_head": ["info debug Loading NN file : success ('network.nn')"],
        "option": "option name NN_file type string default network.nn",
        "startup_tail": [],
        "threads_answer": ["Unknown command : 'setoption name Threads value 2'"],
        "mirrored_heading": "%d mirrored legal moves:",
        "perft1_lists_moves": False,
        "tablebases": False,
        "network": True,
    },
    "Vexar 0.7 x64": {
        "instructions": r"info debug Supported instructions : ('(popcnt|avx1|avx2|bmi2)'(, )?)*",
        "option": "option name SyzygyPath type string default <empty>",
        "startup_tail": ["info debug Initialisation of Syzygy : failure"],
        "threads_answer": ["Unknown command : 'setoption name Threads value 2'"],
        "mirrored_heading": "%d mirrored legal moves:",
        "perft1_lists_moves": False,
        "tablebases": True,
    },
    "Vexar 0.6 x64 (bmi2)": {
        "instructions": r"info debug Set of supported instructions : ('popcnt', 'bmi2'|'popcnt'|'bmi2')",
        "option": "option name OwnBook type check default false",
        "startup_tail": [],
        "threads_answer": [],   # every setoption line is read as Hash; this one does not scan
        "mirrored_heading": "%d legal moves:",
        "perft1_lists_moves": True,
        "tablebases": False,
    },
    "Vexar 0.3.0 x64 (popcnt)": {
        "instructions": r"info debug Support of popcnt instruction : (yes|no)",
        "option": "option name OwnBook type check default false",
        "startup_tail": [],
        "threads_answer": [],
        "mirrored_heading": None,  # the legal moves only
        "perft1_lists_moves": False,
        "tablebases": False,
        "genes": True,
    },
}
MOVE = re.compile(r"^bestmove [a-h][1-8][a-h][1-8][qrbn]?$")

checks = Checks("e2e_classic")
check = checks.check


def expect(got, expected, what):
    check(got == expected, "%s:\n  expected %r\n  got      %r" % (what, expected, got))


def perft_positions():
    """(fen, length, count) for every count of data/perft-basic.epd up to MAX_PERFT_NODES."""
    cases = []
    with open(os.path.join(REPO, "data", "perft-basic.epd")) as f:
        for line in f:
            fields = [x.strip() for x in line.split(";")]
            if not fields[0]:
                continue
            for field in fields[1:]:
                length, count = field[1:].split()
                if int(count) <= MAX_PERFT_NODES:
                    cases.append((fields[0], int(length), int(count)))
    return cases


GENE_POSITION = "r1bq1rk1/pp2bppp/2n1pn2/3p4/2PP4/2N1PN2/PP3PPP/R2QKB1R w KQ - 0 8"


def gene_run(engine, args):
    """Start-up lines before the table line, and the debug score of GENE_POSITION."""
    e = Engine(engine, network=False, args=args)
    start = e.until(lambda l: l.startswith("info debug Creation of Transposition Table"))[2:-1]
    e.send("position fen " + GENE_POSITION)
    score = [l for l in e.ask("debug") if l.startswith("score cp ")]
    check(e.finish() == 0, "quit after %r" % (args,))
    return start, score


def check_genes(engine):
    """-pbil= replaces the fourteen weights (Gray-coded, six digits each) and
    changes the evaluation; a text of the wrong form keeps the built-in ones."""
    _, built_in = gene_run(engine, [])
    start, twos = gene_run(engine, ["-pbil=" + "000011" * 14])
    expect(start, ["info debug pbil[%02d] = 2" % i for i in range(14)], "pbil lines")
    check(twos != built_in, "the genes did not change the evaluation: %r" % twos)
    for bad in ["000011" * 13, "000011" * 14 + "1", "00001x" + "000011" * 13]:
        start, score = gene_run(engine, ["-pbil=" + bad])
        check(len(start) == 1 and "built-in weights kept" in start[0], "bad pbil text %r: %r" % (bad, start))
        expect(score, built_in, "evaluation after a refused pbil text")
    # Two arguments: not a pbil start.
    start, score = gene_run(engine, ["-pbil=" + "000011" * 14, "x"])
    expect((start, score), ([], built_in), "pbil with a second argument")


def check_king_network(engine, e):
    """Generation 0.8: eval, NN_file with a good and a bad file, a perft
    length that does not parse, and a start without a network."""
    eval_line = re.compile(r"^eval = -?\d+\.\d\d$")
    e.send("position startpos")
    start_eval = e.ask("eval")
    check(len(start_eval) == 1 and eval_line.match(start_eval[0]), "eval line %r" % start_eval)
    expect(e.ask("position fen 8/8/8/8/8/2k5/8/4K3 w - - 0 1\neval"), ["eval = 0.00"], "bare kings evaluate to 0")
    # A bare king whose every neighbouring square is attacked: 0 as well.
    expect(e.ask("position fen 7k/8/6QQ/8/8/8/8/K7 b - - 0 1\neval"), ["eval = 0.00"], "a surrounded bare king")
    expect(e.ask("setoption name NN_file value missing.nn"),
           ["info debug NN file conversion...", "info debug Error while loading NN file ('missing.nn')",
            "info string cannot open network.txt: No such file or directory"], "a missing NN_file")
    e.send("position startpos")
    expect(e.ask("eval"), start_eval, "the network in use after a failed NN_file")
    shutil.copy(os.path.join(e.cwd, "network.nn"), os.path.join(e.cwd, "copy.nn"))
    with open(os.path.join(e.cwd, "short.nn"), "wb") as f:
        f.write(b"\0" * 1000)
    answer = e.ask("setoption name NN_file value short.nn")
    check(answer[:1] == ["info debug Error while loading NN file ('short.nn')"] and "1000 bytes" in answer[-1],
          "a short NN_file: %r" % answer)
    expect(e.ask("setoption name NN_file value copy.nn"), ["info debug Loading NN file : success ('copy.nn')"],
           "a good NN_file")
    expect(e.ask("eval"), start_eval, "the same network from another file")
    e.send("go depth 4")
    check(MOVE.match(e.until_prefix("bestmove")[-1]) is not None, "search after NN_file")
    answer = e.ask("perft x")
    check(len(answer) == 1 and answer[0].startswith("20 nodes in "), "perft with no length: %r" % answer)

    # Without a network.nn (and no network.txt to convert) the start fails
    # with the error line and exit status 1, before any command is read.
    empty = tempfile.mkdtemp(prefix="vexar-e2e-")
    bare = Engine(engine, cwd=empty, network=False)
    lines = []
    try:
        while True:
            lines.append(bare.line())
    except RuntimeError:
        pass
    status = bare.finish()
    check(status == 1 and "info debug Error while loading NN file ('network.nn')" in lines
          and not any(l.startswith("id name") for l in lines), "start without a network: %r, %r" % (status, lines))
    # Command-line arguments are reported and otherwise ignored.
    folder = tempfile.mkdtemp(prefix="vexar-e2e-")
    place_network(engine, folder)
    args = Engine(engine, cwd=folder, network=False, args=["-x", "two words"])
    head = args.until(lambda l: l.startswith("info debug Creation of Transposition Table"))
    check("info debug command line argument received: -x" in head
          and "info debug command line argument received: two words" in head, "argument lines: %r" % head)
    check(args.finish() == 0, "quit after arguments")


def main():
    engine = sys.argv[1]
    e = Engine(engine, network=king_relative(engine))
    banner = e.line()
    name = banner[:-len(" ('quit' to exit)")]
    if name not in PROFILES:
        check(False, "not a classic generation: %r" % banner)
        return checks.finish()
    profile = PROFILES[name]
    e.send("isready")
    start = e.until(lambda l: l == "readyok")[:-1]
    check(re.fullmatch(profile["instructions"], start[0]) is not None, "instruction line %r" % start[0])
    expect(start[1:], profile.get("startup_head", []) + ["info debug Creation of Transposition Table : success (128 MB)"]
           + profile["startup_tail"], "start-up lines")

    expect(e.ask("uci"), ["id name " + name, "id author Ralmond FESTIN",
                          "option name Hash type spin default 128 min 1 max 65536", profile["option"], "uciok"],
           "uci answer")

    # The classic command set.
    expect(e.ask("setoption name Hash value x"), [], "unreadable Hash value is ignored silently")
    expect(e.ask("setoption name Threads value 2"), profile["threads_answer"], "no Threads option")
    expect(e.ask("debug on"), ["Unknown command : 'debug on'"], "debug must be the whole line")
    expect(e.ask("stop"), [], "stop outside a search")
    expect(e.ask("ucinewgame"), [], "ucinewgame prints nothing")
    expect(e.ask("setoption name Hash value 131072"),
           ["info debug Creation of Transposition Table : invalid size (131072 MB, reset to default)",
            "info debug Creation of Transposition Table : success (128 MB)"], "Hash beyond 65536")

    # perft: exact counts, and the game is kept.
    for fen, length, count in perft_positions():
        e.send("position fen %s" % fen)
        last = e.ask("perft %d" % length)[-1]
        check(last.startswith("%d nodes in " % count), "perft %d of %s: %r, expected %d" % (length, fen, last, count))
    fen = "r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq - 0 1"
    e.send("position fen " + fen)
    e.ask("perft 2")
    shown = [l for l in e.ask("debug") if l.startswith("fen = ")]
    expect(shown, ["fen = " + fen], "perft keeps the game")

    # debug: evaluation, then the legal moves and the same moves mirrored.
    e.send("position startpos moves e2e4 e7e5 g1f3 b8c6 f1b5")
    answer = e.ask("perft 1")
    legal = int(answer[-1].split()[0])
    if profile["perft1_lists_moves"]:
        expect(len(answer), 2, "perft 1 lines")
        check(len(answer[0].split()) == legal and answer[0].endswith(" "), "root move line %r" % answer[0])
    else:
        expect(len(answer), 1, "perft 1 lines")
    lines = e.ask("debug")
    check("after moves:" in lines, "no move listing in the display")
    check(any(l.startswith("   1. e2e4      e7e5") for l in lines), "move pairs not numbered: %r" % lines[:6])
    scores = [l for l in lines if re.fullmatch(r"score cp -?\d+ ", l)]
    check(len(scores) == 1, "evaluation line: %r" % scores)
    heads = [i for i, l in enumerate(lines) if l.endswith("legal moves:")]
    headings = ["%d legal moves:" % legal]
    if profile["mirrored_heading"]:
        headings.append(profile["mirrored_heading"] % legal)
    expect([lines[i] for i in heads], headings, "move list headings")
    if len(heads) == 1:
        listed = " ".join(lines[heads[0] + 1:]).split()
        check(len(listed) == legal and "Qd8e7" in listed, "listed %d moves: %r" % (len(listed), listed))
    if len(heads) == 2:
        first, second = heads
        listed = " ".join(lines[first + 1:second]).split()
        mirrored = " ".join(lines[second + 1:]).split()
        check(len(listed) == legal and len(mirrored) == legal, "listed %d and %d moves" % (len(listed), len(mirrored)))
        # The mirror flips ranks only: Bb5 (b5) becomes a move from b4 in the mirrored list.
        check("Qd8e7" in listed and "Qd1e2" in mirrored, "compact notation or mirror: %r / %r" % (listed, mirrored))
    check(all(len(l) <= 80 for l in lines), "a listing line runs past 80 characters")

    # A search answers with a move the next position command accepts.
    e.send("position startpos moves e2e4")
    e.send("go depth 6")
    best = e.until_prefix("bestmove")
    check(MOVE.match(best[-1]) is not None, "bestmove line %r" % best[-1])
    check(not any(l.startswith("info debug Starting") for l in best), "a thread line in a one-thread program")
    expect(e.ask("position startpos moves e2e4 " + best[-1].split()[1]), [], "the played move is legal")
    e.send("go movetime 300")
    check(MOVE.match(e.until_prefix("bestmove")[-1]) is not None, "go movetime")
    e.send("go wtime 2000 btime 2000 winc 20 binc 20")
    check(MOVE.match(e.until_prefix("bestmove")[-1]) is not None, "go on a clock")
    expect(e.ask("frobnicate"), ["Unknown command : 'frobnicate'"], "unknown command text")
    if profile.get("network"):
        check_king_network(engine, e)
        check(e.finish() == 0, "quit at the end of input")
        return checks.finish()
    if profile.get("genes"):
        check(e.finish() == 0, "quit at the end of input")
        check_genes(engine)
        return checks.finish()
    if not profile["tablebases"]:
        check(e.finish() == 0, "quit at the end of input")
        return checks.finish()

    # Tablebases: a missing folder fails and play goes on; the shipped test
    # tables answer a won KRvK at the root without a search.
    expect(e.ask("setoption name SyzygyPath value /nonexistent/folder"),
           ["info debug Initialisation of Syzygy : failure"], "missing tablebase folder")
    e.send("position fen 8/8/8/8/8/2k5/8/R3K3 w - - 0 1")
    e.send("go depth 3")
    check(MOVE.match(e.until_prefix("bestmove")[-1]) is not None, "search without tables")
    tables = os.path.join(REPO, "data", "syzygy")
    expect(e.ask("setoption name SyzygyPath value " + tables),
           ["info debug Initialisation of Syzygy : success (4 pieces)"], "tablebase folder")
    e.send("position fen 8/8/8/8/8/2k5/8/R3K3 w - - 0 1")
    e.send("go depth 20")
    answer = e.until_prefix("bestmove")
    check(len(answer) == 2 and re.fullmatch(r"info score cp 99\d\d ", answer[0]) is not None,
          "root probe of a won KRvK: %r" % answer)
    # A four-piece ending is scored from the tables inside the search, where
    # the rule-50 counter is 0: here after the king takes the pawn (five
    # pieces at the root are beyond the tables, so the root is searched).
    e.send("position fen 7r/5k2/8/8/3p4/2K5/8/Q7 w - - 0 1")
    e.send("go depth 1")
    lines = e.until_prefix("bestmove")
    check(any(re.search(r"score cp 10[0-9]{3} ", l) for l in lines), "KQvKR not scored as a table win: %r" % lines[-3:])
    check(e.finish() == 0, "quit at the end of input")
    return checks.finish()


if __name__ == "__main__":
    sys.exit(main())
