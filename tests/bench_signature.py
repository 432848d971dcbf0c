#!/usr/bin/env python3
"""The bench node total is the engine's signature: with one thread and the
shipped network it must be the same on every run and equal to the value
recorded in README.md ("Bench signature (PROGRAM): N").  A change to the search or the
evaluation that alters it must update the README in the same commit.

Usage: bench_signature.py PATH_TO_ENGINE
"""
import os
import re
import sys

from uci_engine import REPO, Engine

SUMMARY = re.compile(r"^(\d+) nodes in (\d+) ms, speed = (\d+) nodes/s$")


def run_bench(e):
    lines = e.until(lambda l: SUMMARY.match(l) is not None, timeout=900)
    return int(SUMMARY.match(lines[-1]).group(1)), lines


def main():
    readme = open(os.path.join(REPO, "README.md")).read()
    program = os.path.basename(sys.argv[1])
    recorded = re.search(r"Bench signature \(%s\): (\d+)" % re.escape(program), readme)
    if not recorded:
        print("README.md records no bench signature for %s" % program)
        print("0 passed, 1 failed")
        return 1
    # Once from the command line (the program exits after it), once as a
    # console command: both runs must give the same total.
    e = Engine(sys.argv[1], args=["bench"])
    first, lines = run_bench(e)
    check_exit = e.finish()
    e = Engine(sys.argv[1])
    e.send("bench")
    second, _ = run_bench(e)
    e.finish()
    failed = 0
    if check_exit != 0:
        print("'bench' on the command line ended with status %s" % check_exit)
        failed += 1
    if first != second:
        print("bench is not deterministic: %d then %d" % (first, second))
        failed += 1
    if first != int(recorded.group(1)):
        print("bench signature changed: README says %s, bench gives %d" % (recorded.group(1), first))
        failed += 1
    print("bench: %d nodes (%s)" % (first, lines[-1]))
    print("%d passed, %d failed" % (3 - failed, failed))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
