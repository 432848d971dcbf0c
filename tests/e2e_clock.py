#!/usr/bin/env python3
"""End-to-end clock use: the engine answers within the time on its clock and
spends its budget as designed.

Usage: e2e_clock.py PATH_TO_ENGINE

- Tiny clocks (30 ms, 100 ms) and a clock smaller than its increment
  (500 ms + 2000 ms) are answered before the clock runs out, by the engine's
  own reported time.
- On a 20 s clock (budget 450 ms) the next iteration starts only while less
  than half of the budget is used, and the move comes within the budget or
  its extensions.
- `go nodes` stops near its count, with a legal move.
"""
import re
import sys
import time

from uci_engine import Checks, Engine

checks = Checks("e2e_clock")
check = checks.check


# Time is judged by the engine's own account: the `time` of its info lines
# (a search the clock cut short ends with one, just before `bestmove`).  The
# wall clock, which a busy machine stretches, only has to stay within a
# second and a half of the same bound: that catches a search that runs on
# without reporting, not scheduling noise.
WALL_SLACK_MS = 1500


def reported_ms(lines):
    times = [int(m.group(1)) for m in (re.search(r" time (\d+) ", l) for l in lines if l.startswith("info depth")) if m]
    return max(times) if times else 0


def timed_go(e, position, go):
    e.ask(position)
    began = time.monotonic()
    e.send(go)
    lines = e.until_prefix("bestmove", timeout=30)
    return lines, (time.monotonic() - began) * 1000


def main(path):
    e = Engine(path)
    e.ask("uci")
    positions = ["position startpos", "position startpos moves e2e4 c7c5 g1f3 d7d6 d2d4 c5d4 f3d4 g8f6 b1c3 a7a6"]
    for position in positions:
        for clock, inc in [(500, 2000), (100, 0), (30, 0), (100, 1000)]:
            for side in ("w", "b"):
                pos = position if side == "w" else position + (" moves" if "moves" not in position else "") + " a2a3"
                go = "go wtime %d btime %d winc %d binc %d" % (clock, clock, inc, inc)
                lines, used = timed_go(e, pos, go)
                check(lines[-1].startswith("bestmove ") and lines[-1] != "bestmove 0000", "%s: %s" % (go, lines[-1]))
                check(reported_ms(lines) < clock and used < clock + WALL_SLACK_MS,
                      "%s (%s to move): answered after %d ms by its own clock, %.0f ms wall"
                      % (go, side, reported_ms(lines), used))

    # Budget use: with t ms on the clock the budget is (t - 1000) / 40 - 25;
    # a later iteration starts only while 2 x elapsed <= budget.  Several
    # clocks and positions, so that some iteration ends between half the
    # budget and the whole of it.
    for clock in (16000, 20000, 26000, 36000):
        budget = (clock - 1000) // 40 - 25
        for position in positions:
            lines, used = timed_go(e, position, "go wtime %d btime %d" % (clock, clock))
            # Completed iterations: lines with a pv and no bound (the current-move
            # lines every 2,000,000 nodes also start "info depth").
            exact = [l for l in lines if l.startswith("info depth") and " pv " in l and "bound" not in l]
            times = [int(re.search(r" time (\d+) ", l).group(1)) for l in exact]
            check(len(times) >= 4, "only %d iterations in %d ms" % (len(times), used))
            for t in times[:-1]:
                check(2 * t <= budget + 10, "an iteration started after %d ms of a %d ms budget" % (t, budget))
            # Each extension doubles the budget, allowed while four budgets fit
            # in the reserve (the clock less 1000 ms).
            extensions = sum(l == "info debug Time extension : start" for l in lines)
            reserve = clock - 1000
            check(all(4 * budget * 2 ** k <= reserve for k in range(extensions)),
                  "%d extensions of a %d ms budget with a %d ms reserve" % (extensions, budget, reserve))
            allowed = budget * 2 ** extensions
            check(reported_ms(lines) < allowed + 150 and used < allowed + WALL_SLACK_MS,
                  "move took %d ms by its own clock (%.0f ms wall) on a budget of %d ms (%d extensions)"
                  % (reported_ms(lines), used, allowed, extensions))

    for nodes in (5000, 100000):
        lines, _ = timed_go(e, "position startpos", "go nodes %d" % nodes)
        counts = [int(re.search(r" nodes (\d+) ", l).group(1)) for l in lines if " nodes " in l]
        check(lines[-1].startswith("bestmove ") and lines[-1] != "bestmove 0000", "go nodes: %s" % lines[-1])
        check(counts and max(counts) <= nodes + 64, "go nodes %d counted %s" % (nodes, counts[-1:]))

    status = e.finish("quit")
    check(status == 0, "exit status %s" % status)
    return checks.finish()


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
