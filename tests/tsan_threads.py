#!/usr/bin/env python3
"""Searches with two threads under ThreadSanitizer: fixed depths, a timed
search, and a search stopped from standard input.  Any sanitizer report fails.

Usage: tsan_threads.py PATH_TO_ENGINE_BUILT_WITH_TSAN
"""
import os
import sys
import time

from uci_engine import Engine


def main():
    env = dict(os.environ)
    env.setdefault("TSAN_OPTIONS", "halt_on_error=1")
    e = Engine(sys.argv[1], env=env, timeout=300)
    e.ask("setoption name Threads value 2")
    e.ask("setoption name Hash value 16")
    for fen in ("r2q2k1/pb3pp1/1p3n1p/2bpr3/8/2NBP3/PPQB1PPP/2RR2K1 w - - 0 16",
                "r5k1/p2qp1bp/6p1/1pP3P1/2n1P3/1QP1B3/P3N1PP/R4K2 b - - 0 17"):
        e.send("position fen " + fen)
        e.send("go depth 7")
        e.until_prefix("bestmove", timeout=300)
    e.send("position startpos moves e2e4 e7e5")
    e.send("go movetime 1000")
    e.until_prefix("bestmove", timeout=300)
    e.send("go infinite")
    time.sleep(1.0)
    e.send("stop")
    e.until_prefix("bestmove", timeout=300)
    status = e.finish()
    reports = [l for l in e.stderr if l and "ThreadSanitizer" in l]
    for line in reports[:20]:
        print(line)
    ok = status == 0 and not reports
    print("exit status %r, %d sanitizer lines" % (status, len(reports)))
    print("%d passed, %d failed" % (1 if ok else 0, 0 if ok else 1))
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
