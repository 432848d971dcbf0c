#!/usr/bin/env python3
"""Sessions as GUIs and scripts run them, end to end.

Usage:
  e2e_session.py ENGINE input-end           searches whose input ends
  e2e_session.py ENGINE long [--cycles N]   a long GUI session (default 10000 cycles)

input-end: an infinite search whose standard input reaches its end (a pipe
closed by its writer, a file read to its end) stops, prints its bestmove and
the engine quits; a finite search with closed input still completes; an
infinite search with open input keeps going until "stop".

long: one process through N "position ... moves ..." + "go" cycles, games
played out move by move as a GUI sends them (the whole move list every time,
a "ucinewgame" before each game, clock, depth, node and movetime searches in
turn).  Every bestmove must be accepted by the next "position" command, and
after warm-up the number of open files may not grow, nor the resident memory
beyond the pages of the deepest search line yet (see long_session).
"""
import argparse
import os
import random
import re
import subprocess
import sys
import tempfile
import time

from uci_engine import Checks, Engine, place_network

MOVE = re.compile(r"^bestmove [a-h][1-8][a-h][1-8][qrbn]?$")

checks = Checks("e2e_session")
check = checks.check


def run_with_input(engine, stdin, timeout=30.0):
    """Runs the engine on a finished input (bytes or an open file); returns
    (exit status or None on a hang, output lines, seconds taken)."""
    start = time.monotonic()
    cwd = tempfile.mkdtemp(prefix="vexar-e2e-")
    place_network(engine, cwd)
    kwargs = {"input": stdin} if isinstance(stdin, bytes) else {"stdin": stdin}
    try:
        done = subprocess.run([os.path.abspath(engine)], cwd=cwd, stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, timeout=timeout, **kwargs)
    except subprocess.TimeoutExpired as e:
        out = (e.stdout or b"").decode("latin-1").splitlines()
        return None, out, time.monotonic() - start
    return done.returncode, done.stdout.decode("latin-1").splitlines(), time.monotonic() - start


def input_end(engine):
    # A pipe whose writer closed after "go infinite".
    status, out, seconds = run_with_input(engine, b"go infinite\n")
    check(status == 0, "go infinite on a closed pipe: exit status %r after %.1f s (None = still running)" % (status, seconds))
    check(out and MOVE.match(out[-1]), "go infinite on a closed pipe: last line %r" % (out[-1:] or None))

    # A file read to its end, with a position before the search.
    with tempfile.TemporaryFile() as f:
        f.write(b"position startpos moves e2e4 e7e5\ngo infinite\n")
        f.seek(0)
        status, out, seconds = run_with_input(engine, f)
    check(status == 0 and out and MOVE.match(out[-1]),
          "go infinite from a file: status %r, last line %r" % (status, out[-1:] or None))

    # Finite searches are not cut short by the end of their input.
    status, out, _ = run_with_input(engine, b"go depth 7\n")
    check(status == 0 and any(l.startswith("info depth 7 ") for l in out) and MOVE.match(out[-1]),
          "go depth 7 with closed input did not complete: %r" % out[-3:])
    status, out, seconds = run_with_input(engine, b"go movetime 1500\n")
    check(status == 0 and seconds >= 1.4 and MOVE.match(out[-1]),
          "go movetime 1500 with closed input: status %r after %.2f s" % (status, seconds))

    # With the input still open, an infinite search waits for "stop".
    e = Engine(engine)
    e.send("position startpos\ngo infinite")
    got = []
    deadline = time.monotonic() + 1.5
    while time.monotonic() < deadline:
        try:
            got.append(e.line(timeout=0.2))
        except RuntimeError:
            pass
    check(not any(l.startswith("bestmove") for l in got), "go infinite ended on open input: %r" % got[-2:])
    e.send("stop")
    last = e.until_prefix("bestmove")[-1]
    check(MOVE.match(last), "stop after go infinite: %r" % last)
    # A "stop" followed at once by the end of input: answered, then quit.
    e.send("go infinite")
    e.send("stop")
    last = e.until_prefix("bestmove")[-1]
    check(MOVE.match(last), "second infinite search: %r" % last)
    check(e.finish() == 0, "engine did not quit at the end of its input")


def resident_kb(pid):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


def open_files(pid):
    return len(os.listdir("/proc/%d/fd" % pid))


def long_session(engine, cycles, seed):
    rng = random.Random(seed)
    e = Engine(engine, timeout=60.0)
    e.ask("uci")
    searches = ["go nodes 400", "go depth 2", "go movetime 3",
                "go wtime 400 btime 400 winc 5 binc 5", "go nodes 1500"]
    moves = []
    games = 0
    rejected = 0
    illegal = []
    samples = []
    warm_up = min(1000, cycles // 5)
    half = cycles // 2
    for cycle in range(cycles):
        if not moves:
            e.send("ucinewgame")
            games += 1
        e.send(("position startpos moves " + " ".join(moves)) if moves else "position startpos")
        e.send(rng.choice(searches))
        lines = e.until_prefix("bestmove")
        rejected += sum(1 for l in lines if l.startswith("info debug Invalid position"))
        best = lines[-1].split()[1] if len(lines[-1].split()) > 1 else ""
        if best in ("(none)", "0000", "") or len(moves) >= 160:
            moves = []          # game over (or long enough): the next cycle starts a new one
        elif not MOVE.match(lines[-1]):
            illegal.append(lines[-1])
            moves = []
        else:
            moves.append(best)
        if cycle + 1 in (warm_up, half) or (cycle + 1) % 1000 == 0:
            samples.append((cycle + 1, resident_kb(e.proc.pid), open_files(e.proc.pid)))
    status = e.finish()

    for n, rss, fds in samples:
        print("  after %5d cycles: resident %6d kB, %d open files" % (n, rss, fds))
    print("  %d cycles, %d games" % (cycles, games))
    check(rejected == 0, "%d played moves were refused by the next position command" % rejected)
    check(not illegal, "malformed bestmove lines: %r" % illegal[:5])
    check(status == 0, "exit status %r" % status)
    after_warm_up = [s for s in samples if s[0] >= warm_up]
    base_rss, base_fds = after_warm_up[0][1], after_warm_up[0][2]
    peak_rss = max(s[1] for s in after_warm_up)
    peak_fds = max(s[2] for s in after_warm_up)
    # The game records' position stacks are zero pages until a slot is first
    # used, so resident memory also rises, in steps of a page or so, whenever
    # a game plus its search line reaches a slot deeper than any before.
    # That high-water mark settles early; a leak instead keeps growing at its
    # rate.  So the second half may grow by at most 256 kB (a leak of about
    # 60 bytes a cycle exceeds that over 5000 cycles) and the whole session
    # after warm-up by at most 1 MB.
    half_rss = next(s[1] for s in samples if s[0] == half)
    late_peak = max(s[1] for s in samples if s[0] >= half)
    check(late_peak - half_rss <= 256,
          "resident memory grew from %d kB to %d kB in the second half" % (half_rss, late_peak))
    check(peak_rss - base_rss <= 1024, "resident memory grew from %d kB to %d kB" % (base_rss, peak_rss))
    check(peak_fds <= base_fds, "open files grew from %d to %d" % (base_fds, peak_fds))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("engine")
    parser.add_argument("mode", choices=["input-end", "long"])
    parser.add_argument("--cycles", type=int, default=10000)
    parser.add_argument("--seed", type=int, default=1)
    args = parser.parse_args()
    if args.mode == "input-end":
        input_end(args.engine)
    else:
        long_session(args.engine, args.cycles, args.seed)
    return checks.finish()


if __name__ == "__main__":
    sys.exit(main())
