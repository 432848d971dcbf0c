#!/usr/bin/env python3
"""The speed report: every program side by side with Stockfish, in one run.

    python3 bench/speed_report.py [--build build] [--repeats 3]

Run it on a quiet machine (no match, training or build beside it).  Each
figure is measured in rounds: a round runs Stockfish and then every program
on the same task, one after the other, and each ratio is taken within its
round; the report shows the median over the rounds.

1. Start-up: milliseconds from starting the process to its "readyok" after
   "uci" and "isready" (what a GUI waits for), and Stockfish's time / ours.
2. bench: one thread, 16 MB hash (`setoption name Hash value 16`, then
   `bench`), against Stockfish's `bench 16 1 13` at the same hash; nodes per
   second and ours / Stockfish's.
3. perft 6 from the start position (every program) and from Kiwipete (the
   0.9 programs, --kiwipete), against Stockfish's `go perft 6`: wall time of
   the whole process less that of a length-1 count (start-up and exit), and
   Stockfish's time / ours.  The node counts must agree.
4. Time to depth: vexar-0.9-avx (--ttd) searching --ttd-positions openings
   of data/books/8moves_v3_balanced.epd to depth 13 with 1 and with 2
   threads, each after ucinewgame; the summed wall times and 1 thread / 2.

The shipped networks are used: data/network.txt for 0.9 (copied into a
scratch folder), data/network-0.8.nn for 0.8.
"""
import argparse
import os
import statistics
import subprocess
import sys
import tempfile
import time

sys.dont_write_bytecode = True  # no __pycache__ in the source tree
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))
from uci_engine import REPO, Engine, place_network  # noqa: E402

PROGRAMS = ["vexar-0.9-avx", "vexar-0.9", "vexar-0.8", "vexar-0.7", "vexar-0.7-bmi2", "vexar-0.6-bmi2",
            "vexar-0.3-popcnt"]
STARTPOS = "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1"
KIWIPETE = "r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq - 0 1"
BOOK = os.path.join(REPO, "data", "books", "8moves_v3_balanced.epd")
LONG = 3600.0


def median(values):
    return statistics.median(values)


class Lab:
    def __init__(self, build, stockfish):
        self.build = build
        self.stockfish = stockfish
        self.scratch = tempfile.mkdtemp(prefix="vexar-speed-")
        self.dirs = {}

    def path(self, program):
        return os.path.join(self.build, program)

    def folder(self, program):
        """A working folder with the program's shipped network (0.9's text
        form is converted to network.nn by its first start there)."""
        kind = "king" if program.startswith("vexar-0.8") else "nine" if program.startswith("vexar-0.9") else "none"
        if kind not in self.dirs:
            folder = os.path.join(self.scratch, kind)
            os.makedirs(folder)
            if kind != "none":
                place_network(self.path(program), folder)
            self.dirs[kind] = folder
        return self.dirs[kind]

    # --- start-up -----------------------------------------------------------
    def startup_ms(self, command, cwd):
        began = time.monotonic()
        proc = subprocess.Popen(command, cwd=cwd, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                stderr=subprocess.DEVNULL, text=True)
        proc.stdin.write("uci\nisready\n")
        proc.stdin.flush()
        for line in proc.stdout:
            if line.strip() == "readyok":
                break
        elapsed = (time.monotonic() - began) * 1000
        proc.stdin.write("quit\n")
        proc.stdin.close()
        proc.wait()
        return elapsed

    # --- bench --------------------------------------------------------------
    def vexar_bench(self, program):
        e = Engine(self.path(program), cwd=self.folder(program), network=False, timeout=LONG)
        e.ask("setoption name Hash value 16")
        e.send("bench")
        line = e.until(lambda l: " nodes in " in l and "speed = " in l)[-1]
        e.finish("quit")
        words = line.split()
        return int(words[0]), int(words[-2])

    def stockfish_bench(self):
        out = subprocess.run([self.stockfish, "bench", "16", "1", "13", "default", "depth"], capture_output=True,
                             text=True, timeout=LONG)
        text = out.stdout + out.stderr
        nodes = int(text.split("Nodes searched  :")[1].split()[0])
        nps = int(text.split("Nodes/second    :")[1].split()[0])
        return nodes, nps

    # --- perft --------------------------------------------------------------
    def perft_run(self, program, fen, depth):
        """(nodes, wall ms) of one whole process counting perft."""
        if program is None:
            command, cwd = [self.stockfish], self.scratch
            script = "position fen %s\ngo perft %d\nquit\n" % (fen, depth)
        else:
            command, cwd = [self.path(program)], self.folder(program)
            script = "position fen %s\nperft %d\nquit\n" % (fen, depth)
        began = time.monotonic()
        out = subprocess.run(command, cwd=cwd, input=script, capture_output=True, text=True, timeout=LONG)
        elapsed = (time.monotonic() - began) * 1000
        for line in out.stdout.splitlines():
            if line.startswith("Nodes searched:"):
                return int(line.split()[-1]), elapsed
            if " nodes in " in line and "speed = " in line:
                return int(line.split()[0]), elapsed
        raise RuntimeError("no perft total from %s" % (program or "stockfish"))

    def perft_ms(self, program, fen, depth):
        nodes, full = self.perft_run(program, fen, depth)
        _, base = self.perft_run(program, fen, 1)
        return nodes, max(full - base, 1.0)

    # --- time to depth ------------------------------------------------------
    def time_to_depth(self, program, threads, fens, depth):
        return time_to_depth(self.path(program), self.folder(program), threads, fens, depth)


def time_to_depth(path, folder, threads, fens, depth):
    """Summed wall seconds of `go depth` on each position after ucinewgame,
    in one engine process started in `folder` (None: a fresh folder with the
    shipped network)."""
    e = Engine(path, cwd=folder, network=folder is None, timeout=LONG)
    e.ask("setoption name Threads value %d" % threads)
    total = 0.0
    for fen in fens:
        e.ask("ucinewgame")
        e.ask("position fen " + fen)
        began = time.monotonic()
        e.send("go depth %d" % depth)
        e.until(lambda l: l.startswith("bestmove"))
        total += time.monotonic() - began
    e.finish("quit")
    return total


def book_positions(count):
    with open(BOOK) as f:
        lines = [" ".join(l.split()[:4]) + " 0 1" for l in f if l.strip()]
    step = max(1, len(lines) // count)
    return lines[::step][:count]


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build", default=os.path.join(REPO, "build"), help="folder of the programs (default build)")
    parser.add_argument("--stockfish", default="/usr/games/stockfish")
    parser.add_argument("--repeats", type=int, default=3, help="rounds of every measurement (default 3)")
    parser.add_argument("--programs", default=",".join(PROGRAMS), help="comma-separated programs (default all seven)")
    parser.add_argument("--kiwipete", default="vexar-0.9-avx,vexar-0.9",
                        help="programs that also count perft 6 from Kiwipete")
    parser.add_argument("--perft-depth", type=int, default=6)
    parser.add_argument("--ttd", default="vexar-0.9-avx", help="program timed to depth with 1 and 2 threads")
    parser.add_argument("--ttd-depth", type=int, default=13)
    parser.add_argument("--ttd-positions", type=int, default=20)
    args = parser.parse_args()
    programs = [p for p in args.programs.split(",") if p]
    kiwipete = [p for p in args.kiwipete.split(",") if p in programs]
    lab = Lab(os.path.abspath(args.build), args.stockfish)
    sf_version = subprocess.run([args.stockfish], input="quit\n", capture_output=True, text=True).stdout.split("\n")[0]
    cpu = next((l.split(":", 1)[1].strip() for l in open("/proc/cpuinfo") if l.startswith("model name")), "?")
    print("Speed report: %s, %d cores; %s; %d rounds, medians" % (cpu, os.cpu_count(), sf_version, args.repeats))
    print("build: %s" % os.path.relpath(lab.build, REPO))
    for p in programs:  # first start converts 0.9's network text; not timed
        lab.startup_ms([lab.path(p)], lab.folder(p))
    sys.stdout.flush()

    # 1. start-up
    print("\n## Start-up (process start to readyok)\n")
    print("| program | ms | Stockfish ms | Stockfish / ours |\n| --- | --- | --- | --- |")
    rounds = {p: [] for p in programs}
    sf_rounds = []
    for _ in range(max(args.repeats, 5)):
        sf = lab.startup_ms([args.stockfish], lab.scratch)
        sf_rounds.append(sf)
        for p in programs:
            ms = lab.startup_ms([lab.path(p)], lab.folder(p))
            rounds[p].append((ms, sf / ms))
    for p in programs:
        print("| %s | %.1f | %.1f | %.2f |" % (p, median([r[0] for r in rounds[p]]), median(sf_rounds),
                                             median([r[1] for r in rounds[p]])))
    sys.stdout.flush()

    # 2. bench
    print("\n## bench, 1 thread, 16 MB hash\n")
    print("| program | nodes | nodes/s | Stockfish nodes/s | ours / Stockfish |\n| --- | --- | --- | --- | --- |")
    rounds = {p: [] for p in programs}
    sf_rounds = []
    for _ in range(args.repeats):
        _, sf_nps = lab.stockfish_bench()
        sf_rounds.append(sf_nps)
        for p in programs:
            nodes, nps = lab.vexar_bench(p)
            rounds[p].append((nodes, nps, nps / sf_nps))
    for p in programs:
        print("| %s | %d | %d | %d | %.2f |" % (p, rounds[p][0][0], median([r[1] for r in rounds[p]]),
                                              median(sf_rounds), median([r[2] for r in rounds[p]])))
    sys.stdout.flush()

    # 3. perft
    for name, fen, which in (("start position", STARTPOS, programs), ("Kiwipete", KIWIPETE, kiwipete)):
        if not which:
            continue
        print("\n## perft %d, %s (wall ms less start-up)\n" % (args.perft_depth, name))
        print("| program | nodes | ms | Stockfish ms | Stockfish / ours |\n| --- | --- | --- | --- | --- |")
        rounds = {p: [] for p in which}
        sf_rounds = []
        for _ in range(args.repeats):
            sf_nodes, sf_ms = lab.perft_ms(None, fen, args.perft_depth)
            sf_rounds.append(sf_ms)
            for p in which:
                nodes, ms = lab.perft_ms(p, fen, args.perft_depth)
                if nodes != sf_nodes:
                    print("node counts differ: %s %d, Stockfish %d" % (p, nodes, sf_nodes))
                rounds[p].append((ms, sf_ms / ms, nodes))
        for p in which:
            print("| %s | %d | %.0f | %.0f | %.2f |" % (p, rounds[p][0][2], median([r[0] for r in rounds[p]]),
                                                      median(sf_rounds), median([r[1] for r in rounds[p]])))
        sys.stdout.flush()

    # 4. time to depth
    if args.ttd in programs:
        fens = book_positions(args.ttd_positions)
        print("\n## Time to depth %d, %s, %d positions (seconds, summed)\n" % (args.ttd_depth, args.ttd, len(fens)))
        print("| threads | seconds | 1 thread / this |\n| --- | --- | --- |")
        one, two = [], []
        for _ in range(args.repeats):
            one.append(lab.time_to_depth(args.ttd, 1, fens, args.ttd_depth))
            two.append(lab.time_to_depth(args.ttd, 2, fens, args.ttd_depth))
        print("| 1 | %.2f | 1.00 |" % median(one))
        print("| 2 | %.2f | %.2f |" % (median(two), median([a / b for a, b in zip(one, two)])))


if __name__ == "__main__":
    main()
