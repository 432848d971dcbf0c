#!/usr/bin/env python3
"""A round-robin of several engines with tools/match.py, and a rating list.

    python3 tools/ladder.py --out build/ladder --tc 10+0.1 --pairs 50 \
        --engine 0.9-avx=build/vexar-0.9-avx --engine 0.7=build/vexar-0.7 \
        --engine 0.8=build/vexar-0.8@build/net08 ...

Each --engine is NAME=PROGRAM, or NAME=PROGRAM@DIR to start the program in
DIR (where Vexar reads its network files); --option NAME:OPTION=VALUE sets a
UCI option of that engine (repeatable), e.g. --option glaurung:OwnBook=false.
--gauntlet NAME plays only the pairings of NAME against each of the others
(an engine measured against a field of opponents) instead of every pairing.  Every pairing is one match.py run
whose whole output goes to OUT/<first>--<second>.log (and its games to the
.pgn beside it).  A pairing whose log
ends with a complete summary is not played again, and an unfinished one goes
on from the games its PGN holds (match.py --resume), so the same command
resumes a ladder after an interruption;
--report reads the logs without playing, and --play-only plays a subset of
the pairings now (say, those whose programs will not change) and leaves the
rest for a later run of the same command.

The rating list is the maximum-likelihood fit of the logistic Elo model to
every pairing's score (draws half a point), with the ratings' mean at 0.  Its
95% intervals come from a parametric bootstrap: each pairing's game pairs are
drawn again from its observed pentanomial frequencies and the fit repeated.
The Markdown report lists the ratings, the cross table of scores and every
failure (crash, hang, illegal move, time forfeit, bestmove 0000) that
match.py counted.  While a ladder is unfinished, programs without a finished
pairing are listed as not rated, and groups that no finished pairing links
are named, since their ratings cannot be compared with each other.
"""
import argparse
import math
import os
import random
import re
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))

SUMMARY = re.compile(r"^(?P<a>.+) vs (?P<b>.+): (?P<n>\d+) games, W (?P<w>\d+) D (?P<d>\d+) L (?P<l>\d+)")
PENTA = re.compile(r"LL\.\.WW (\d+) (\d+) (\d+) (\d+) (\d+)\)")
FAILURE = re.compile(r"^(?P<name>.+): (?P<c>\d+) crashes, (?P<h>\d+) hangs, (?P<i>\d+) illegal moves, "
                     r"(?P<t>\d+) time forfeits, (?P<z>\d+) bestmove 0000$")


def parse_engine(text):
    name, sep, rest = text.partition("=")
    if not sep or not name or not rest or "--" in name or "/" in name:
        raise ValueError("--engine wants NAME=PROGRAM[@DIR] (a name without '/' or '--'), got %r" % text)
    program, _, folder = rest.partition("@")
    if os.path.exists(program):
        program = os.path.abspath(program)  # match.py may start it in another folder
    return name, program, folder or None


def parse_options(texts, names):
    """{engine name: ["OPTION=VALUE", ...]} from --option NAME:OPTION=VALUE."""
    options = {n: [] for n in names}
    for text in texts:
        name, sep, setting = text.partition(":")
        if not sep or "=" not in setting or setting.startswith("="):
            raise ValueError("--option wants NAME:OPTION=VALUE, got %r" % text)
        if name not in options:
            raise ValueError("--option names an engine that is not in the ladder: %r" % name)
        options[name].append(setting)
    return options


def pairings_of(names, gauntlet=None):
    """Index pairs (i, j), i < j, of the pairings to play: every pair of
    engines, or with a gauntlet only those that include it."""
    every = [(i, j) for i in range(len(names)) for j in range(i + 1, len(names))]
    if gauntlet is None:
        return every
    return [(i, j) for i, j in every if gauntlet in (names[i], names[j])]


def read_result(path):
    """The finished pairing in a match.py log: dict with w, d, l, penta and
    failures (a count per engine), or None while the log is incomplete."""
    try:
        with open(path) as f:
            lines = f.read().splitlines()
    except OSError:
        return None
    result = None
    failures = []
    for line in lines:
        m = SUMMARY.match(line)
        if m:
            result = {"w": int(m["w"]), "d": int(m["d"]), "l": int(m["l"]), "penta": None}
            failures = []
            continue
        if result is None:
            continue
        m = PENTA.search(line)
        if m:
            result["penta"] = [int(v) for v in m.groups()]
        m = FAILURE.match(line)
        if m:
            failures.append(sum(int(m[k]) for k in "chitz"))
    # A match stopped by an error or by Ctrl-C prints a summary of fewer games.
    if result is None or len(failures) != 2 or any(l.startswith(("match stopped", "interrupted:")) for l in lines):
        return None
    result["failures"] = failures
    return result


def fit(names, results, iterations=200):
    """Maximum-likelihood Elo ratings (mean 0) from {(a, b): (points of a, games)}."""
    rating = {n: 0.0 for n in names}
    scale = math.log(10.0) / 400.0
    for _ in range(iterations):
        # One Newton step per engine in turn (a coordinate ascent on the
        # log-likelihood, which is concave in each rating).
        biggest = 0.0
        for n in names:
            gradient, curvature = 0.0, 0.0
            for (a, b), (points, games) in results.items():
                if n not in (a, b) or games == 0:
                    continue
                own = points if n == a else games - points
                other = b if n == a else a
                expected = 1.0 / (1.0 + math.exp(-scale * (rating[n] - rating[other])))
                gradient += scale * (own - games * expected)
                curvature += scale * scale * games * expected * (1.0 - expected)
            if curvature > 0:
                step = max(-200.0, min(200.0, gradient / curvature))
                rating[n] += step
                biggest = max(biggest, abs(step))
        mean = sum(rating.values()) / len(rating)
        for n in names:
            rating[n] -= mean
        if biggest < 1e-6:
            break
    return rating


def points_of(result):
    return result["w"] + 0.5 * result["d"], result["w"] + result["d"] + result["l"]


def finite(points, games):
    """Points kept a quarter point away from 0 and from all: a pairing that
    one engine wins or loses completely has no finite maximum-likelihood
    difference, and this keeps every fit finite."""
    return min(max(points, 0.25), games - 0.25), games


def bootstrap(names, results, rounds, seed):
    """2.5% and 97.5% quantiles of each rating over `rounds` resampled ladders."""
    rng = random.Random(seed)
    samples = {n: [] for n in names}
    for _ in range(rounds):
        drawn = {}
        for key, r in results.items():
            penta = r["penta"]
            if penta and sum(penta):
                pairs = sum(penta)
                counts = [0] * 5
                for _ in range(pairs):
                    counts[rng.choices(range(5), weights=penta)[0]] += 1
                # Pair bins are 0, 1/2, 1, 3/2, 2 points out of 2 games.
                drawn[key] = (sum(k * 0.5 * c for k, c in enumerate(counts)), 2 * pairs)
            else:
                points, games = points_of(r)
                p = points / games if games else 0.5
                drawn[key] = (sum(rng.random() < p for _ in range(games)), games)
        rated = fit(names, {key: finite(*value) for key, value in drawn.items()}, iterations=60)
        for n in names:
            samples[n].append(rated[n])
    bounds = {}
    for n in names:
        s = sorted(samples[n])
        bounds[n] = (s[int(0.025 * (len(s) - 1))], s[int(0.975 * (len(s) - 1))])
    return bounds


def connected_groups(names, played):
    """The programs split into the groups that the played pairings connect,
    each group in the order of `names`."""
    group = {n: n for n in names}

    def root(n):
        while group[n] != n:
            n = group[n]
        return n

    for a, b in played:
        group[root(a)] = root(b)
    groups = {}
    for n in names:
        groups.setdefault(root(n), []).append(n)
    return list(groups.values())


def report(names, results, rounds, seed):
    played = {k: r for k, r in results.items() if r is not None}
    lines = []
    missing = [k for k, r in results.items() if r is None]
    if missing:
        lines.append("Pairings not finished: %s" % ", ".join("%s vs %s" % k for k in missing))
        lines.append("")
    if not played:
        return "\n".join(lines + ["No finished pairing."])
    totals = {n: [0.0, 0] for n in names}
    for (a, b), r in played.items():
        points, games = points_of(r)
        totals[a][0] += points
        totals[a][1] += games
        totals[b][0] += games - points
        totals[b][1] += games
    # Only programs with games have a rating, and ratings compare only
    # within a group of programs that the finished pairings connect.
    rated = [n for n in names if totals[n][1] > 0]
    unrated = [n for n in names if totals[n][1] == 0]
    groups = connected_groups(rated, played)
    if unrated:
        lines.append("Not rated yet (no finished pairing): %s" % ", ".join(unrated))
        lines.append("")
    if len(groups) > 1:
        lines.append("The finished pairings leave %d separate groups, whose ratings cannot be compared "
                     "with each other: %s" % (len(groups), "; ".join(", ".join(g) for g in groups)))
        lines.append("")
    rating = fit(rated, {key: finite(*points_of(r)) for key, r in played.items()})
    bounds = bootstrap(rated, played, rounds, seed)
    order = sorted(rated, key=lambda n: -rating[n])
    lines.append("| rank | program | Elo | 95% interval | score | games |")
    lines.append("|---|---|---|---|---|---|")
    for rank, n in enumerate(order, 1):
        points, games = totals[n]
        lines.append("| %d | %s | %+.0f | [%+.0f, %+.0f] | %.1f%% | %d |"
                     % (rank, n, rating[n], bounds[n][0], bounds[n][1],
                        100.0 * points / games if games else 0.0, games))
    lines.append("")
    lines.append("Score of the row's program against the column's:")
    lines.append("")
    lines.append("| | " + " | ".join(order) + " |")
    lines.append("|---" * (len(order) + 1) + "|")
    for a in order:
        cells = []
        for b in order:
            r = played.get((a, b)) or played.get((b, a))
            if a == b or r is None:
                cells.append("")
                continue
            points, games = points_of(r)
            if (a, b) not in played:
                points = games - points
            cells.append("%.1f%%" % (100.0 * points / games))
        lines.append("| %s | %s |" % (a, " | ".join(cells)))
    failures = sum(sum(r["failures"]) for r in played.values())
    games = sum(points_of(r)[1] for r in played.values())
    lines.append("")
    lines.append("%d games, %d crashes, hangs, illegal moves, time forfeits or bestmove 0000 in all."
                 % (games, failures))
    return "\n".join(lines)


def main(argv=None):
    p = argparse.ArgumentParser(description="Round-robin of engines with tools/match.py and a rating list.")
    p.add_argument("--engine", action="append", default=[], required=True, metavar="NAME=PROGRAM[@DIR]")
    p.add_argument("--option", action="append", default=[], metavar="NAME:OPTION=VALUE",
                   help="UCI option of one engine (repeatable)")
    p.add_argument("--gauntlet", metavar="NAME", help="play only NAME's pairings against the others")
    p.add_argument("--out", required=True, help="folder of the pairings' logs")
    p.add_argument("--arbiter", default="build/vexar-0.9-avx", help="passed on to match.py")
    p.add_argument("--tc", default="10+0.1")
    p.add_argument("--pairs", type=int, default=50, help="game pairs a pairing (default: %(default)s)")
    p.add_argument("--concurrency", type=int, default=2)
    p.add_argument("--seed", type=int, default=1, help="opening order of the first pairing (+1 each next one)")
    p.add_argument("--hang-timeout", type=float, default=10.0)
    p.add_argument("--bootstrap", type=int, default=1000, help="resampled ladders for the intervals")
    p.add_argument("--report", action="store_true", help="only read the logs and print the report")
    p.add_argument("--play-only", metavar="NAME,NAME,...",
                   help="play only the pairings between these engines now (the others are reported as "
                   "unfinished); every pairing keeps the opening seed it has in the whole ladder")
    args = p.parse_args(argv)
    try:
        engines = [parse_engine(e) for e in args.engine]
    except ValueError as error:
        p.error(str(error))
    names = [e[0] for e in engines]
    if len(set(names)) != len(names) or len(names) < 2:
        p.error("give at least two engines with different names")
    try:
        options = parse_options(args.option, names)
    except ValueError as error:
        p.error(str(error))
    if args.gauntlet is not None and args.gauntlet not in names:
        p.error("--gauntlet names an engine that is not in the ladder: %s" % args.gauntlet)
    playing = set(args.play_only.split(",")) if args.play_only else set(names)
    if not playing <= set(names):
        p.error("--play-only names an engine that is not in the ladder: %s" % ", ".join(sorted(playing - set(names))))
    os.makedirs(args.out, exist_ok=True)
    pairings = pairings_of(names, args.gauntlet)
    results = {}
    for index, (i, j) in enumerate(pairings):
        (a, pa, da), (b, pb, db) = engines[i], engines[j]
        log = os.path.join(args.out, "%s--%s.log" % (a, b))
        pgn = os.path.join(args.out, "%s--%s.pgn" % (a, b))
        result = read_result(log)
        if result is None and not args.report and a in playing and b in playing:
            command = [sys.executable, os.path.join(HERE, "match.py"), "--arbiter", args.arbiter,
                       "--first", pa, "--first-name", a, "--second", pb, "--second-name", b,
                       "--tc", args.tc, "--pairs", str(args.pairs), "--concurrency", str(args.concurrency),
                       "--hang-timeout", str(args.hang_timeout), "--seed", str(args.seed + index),
                       "--pgn", pgn]
            for setting in options[a]:
                command += ["--first-option", setting]
            for setting in options[b]:
                command += ["--second-option", setting]
            if da:
                command += ["--first-dir", da]
            if db:
                command += ["--second-dir", db]
            if os.path.exists(pgn):
                command.append("--resume")  # keep the games of a cut-off run of this pairing
            print("pairing %d/%d: %s vs %s" % (index + 1, len(pairings), a, b), flush=True)
            with open(log, "w") as f:
                subprocess.run(command, stdout=f, stderr=subprocess.STDOUT, check=False)
            result = read_result(log)
            if result:
                points, games = points_of(result)
                print("  %s vs %s: +%d =%d -%d (%.1f%%)" % (a, b, result["w"], result["d"], result["l"],
                                                           100.0 * points / games), flush=True)
            else:
                print("  %s vs %s: no complete result, see %s (delete %s to start the pairing over)"
                      % (a, b, log, pgn), flush=True)
        results[(a, b)] = result
    print()
    print(report(names, results, args.bootstrap, args.seed))
    return 0


if __name__ == "__main__":
    sys.exit(main())
