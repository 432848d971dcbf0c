#!/usr/bin/env python3
"""Checks of the round-robin tool (tools/ladder.py): the rating fit recovers
known ratings, the log reader takes only finished pairings, and the report's
cross table reads from the row's side, a partial ladder rates only the
programs with games and names groups it cannot compare; a gauntlet picks its pairings and
--option reaches only the engine it names.  Exits non-zero when a check fails."""
import math
import os
import re
import sys
import tempfile

sys.dont_write_bytecode = True  # no __pycache__ in the source tree
from checks import check, run  # noqa: E402  (also puts tools/ on the path)
import ladder  # noqa: E402


def expected(difference):
    return 1.0 / (1.0 + 10.0 ** (-difference / 400.0))


def test_fit():
    # Exact expected scores of three players 200 Elo apart: the fit must give
    # the ratings back, centred on their mean.
    truth = {"a": 200.0, "b": 0.0, "c": -200.0}
    games = 1000
    results = {(x, y): (games * expected(truth[x] - truth[y]), games)
               for x, y in (("a", "b"), ("a", "c"), ("b", "c"))}
    rated = ladder.fit(list(truth), results)
    for name, value in truth.items():
        check(abs(rated[name] - value) < 0.01, "fit %s: %.3f, want %.1f" % (name, rated[name], value))
    # A player who only met one opponent gets that pairing's difference.
    results = {("a", "b"): (games * expected(100.0), games)}
    rated = ladder.fit(["a", "b"], results)
    check(abs(rated["a"] - rated["b"] - 100.0) < 0.01, "two players 100 apart: %r" % rated)


LOG = """game 1 (pair 1): x - y 1-0, mate, 40 plies
{summary}
Elo +70.4, 95% interval [-1.3, +148.7] (pentanomial over 3 pairs, LL..WW 0 1 1 0 1)
LOS 97.3%
x: 0 crashes, 0 hangs, 0 illegal moves, 0 time forfeits, 0 bestmove 0000
y: 1 crashes, 0 hangs, 0 illegal moves, 2 time forfeits, 0 bestmove 0000
"""


def test_logs():
    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "x--y.log")
        with open(path, "w") as f:
            f.write(LOG.format(summary="x vs y: 6 games, W 3 D 1 L 2 (first engine's view), score 58.3%"))
        r = ladder.read_result(path)
        check(r is not None and (r["w"], r["d"], r["l"]) == (3, 1, 2), "finished log: %r" % r)
        check(r is not None and r["penta"] == [0, 1, 1, 0, 1], "pentanomial counts: %r" % r)
        check(r is not None and r["failures"] == [0, 3], "failures per engine: %r" % r)
        # A log cut off before its failure lines, or of a stopped match, is
        # not a result: the pairing is played again.
        with open(path, "w") as f:
            f.write("\n".join(LOG.format(summary="x vs y: 6 games, W 3 D 1 L 2").splitlines()[:3]))
        check(ladder.read_result(path) is None, "incomplete log taken as a result")
        with open(path, "w") as f:
            f.write(LOG.format(summary="x vs y: 6 games, W 3 D 1 L 2") + "match stopped: y did not start\n")
        check(ladder.read_result(path) is None, "stopped match taken as a result")
        with open(path, "w") as f:
            f.write("game 1 (pair 1): x - y 1-0, mate, 40 plies\n\ninterrupted: games in progress are not counted\n"
                    + LOG.format(summary="x vs y: 1 games, W 1 D 0 L 0").split("\n", 1)[1])
        check(ladder.read_result(path) is None, "a match cut short by Ctrl-C taken as a result")
        check(ladder.read_result(os.path.join(folder, "none.log")) is None, "missing log taken as a result")


def test_report():
    results = {("p", "q"): {"w": 30, "d": 10, "l": 10, "penta": [1, 2, 5, 7, 10], "failures": [0, 0]},
               ("p", "r"): None}
    text = ladder.report(["p", "q", "r"], results, rounds=50, seed=1)
    check("Pairings not finished: p vs r" in text, "unfinished pairing named")
    rows = {line.split("|")[1].strip(): line for line in text.splitlines() if line.startswith("| p |")
            or line.startswith("| q |")}
    check("70.0%" in rows.get("p", ""), "row p scores 70%%: %r" % rows.get("p"))
    check("30.0%" in rows.get("q", ""), "row q scores 30%%: %r" % rows.get("q"))
    check("50 games, 0 crashes" in text, "game and failure total")
    check(not any(math.isnan(v) for v in ladder.fit(["p", "q"], {("p", "q"): (50.0, 50)}).values()),
          "a clean sweep must not give NaN")


def test_partial_ladder():
    # Two pairings that share no program, and one program without games.
    result = {"w": 30, "d": 10, "l": 10, "penta": [1, 2, 5, 7, 10], "failures": [0, 0]}
    results = {("p", "q"): result, ("r", "s"): result, ("p", "t"): None}
    text = ladder.report(["p", "q", "r", "s", "t"], results, rounds=20, seed=1)
    check("Not rated yet (no finished pairing): t" in text, "program without games named: %r" % text)
    check("2 separate groups" in text and "p, q; r, s" in text, "unconnected groups named: %r" % text)
    rated = [line.split("|")[2].strip() for line in text.splitlines() if re.match(r"^\| \d+ \|", line)]
    check(sorted(rated) == ["p", "q", "r", "s"], "only programs with games are rated: %r" % rated)
    check(ladder.connected_groups(["a", "b", "c"], {("a", "c"): result, ("c", "b"): result}) == [["a", "b", "c"]],
          "a chain of pairings is one group")


def test_pairings_and_options():
    names = ["new", "old", "glaurung", "toga"]
    check(len(ladder.pairings_of(names)) == 6, "a round-robin of four has six pairings")
    gauntlet = ladder.pairings_of(names, "old")
    check(sorted(gauntlet) == [(0, 1), (1, 2), (1, 3)], "old's gauntlet: %r" % gauntlet)
    options = ladder.parse_options(["glaurung:OwnBook=false", "glaurung:Threads=1", "toga:Hash=16"], names)
    check(options["glaurung"] == ["OwnBook=false", "Threads=1"] and options["new"] == [],
          "options per engine: %r" % options)
    for bad in ("nobody:Hash=16", "glaurung", "glaurung:Hash", "glaurung:=1"):
        try:
            ladder.parse_options([bad], names)
            check(False, "--option %r accepted" % bad)
        except ValueError:
            pass


def main():
    return run((test_fit, test_logs, test_report, test_partial_ladder, test_pairings_and_options))


if __name__ == "__main__":
    sys.exit(main())
