#!/usr/bin/env python3
"""The engine as a GUI-side client library drives it: `go` keys in any order
with unknown keys between them, `searchmoves`, `go mate`, clocks already
below zero, and, over a few hundred searches of mixed limits, a `bestmove`
that is always the first move of the last `pv` line.  With a Threads option,
`go nodes` with two threads ends near its count.

Usage: e2e_client.py PATH_TO_ENGINE [SEARCHES]

Time is judged by what the engine reports: the `time` of its info lines
against the budget it was given.  Wall-clock bounds are only there to catch
a search that never ends, and are loose enough for a busy machine.
"""
import atexit
import random
import sys
import time

import uci_engine
from uci_engine import REPO, Checks

# Every engine started here is killed when the script ends, so that a search
# that never ends (the fault some of these checks look for) outlives no failure.
started = []


def Engine(*args, **kwargs):
    e = uci_engine.Engine(*args, **kwargs)
    started.append(e)
    return e


@atexit.register
def kill_engines():
    for e in started:
        if e.proc.poll() is None:
            e.proc.kill()

START = "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1"
# King and two rooks against a king: mates in 4 and in 6 (Stockfish 15.1, depth 26).
MATE_IN_4 = "2k4K/8/8/8/8/8/R2R4/8 w - - 0 1"
MATE_IN_6 = "3KR3/8/4R3/8/8/2k5/8/8 w - - 0 1"

checks = Checks("e2e_client")
check = checks.check


def field(line, key):
    """The word after `key` in an info line, or None."""
    words = line.split()
    return words[words.index(key) + 1] if key in words[:-1] else None


def search(e, command, stop_after=None, timeout=60):
    """Sends a go command (and "stop" after `stop_after` seconds); returns
    (lines up to bestmove, the move, wall seconds)."""
    start = time.monotonic()
    e.send(command)
    if stop_after is not None:
        time.sleep(stop_after)
        e.send("stop")
    lines = e.until(lambda l: l.startswith("bestmove "), timeout=timeout)
    return lines, lines[-1].split()[1], time.monotonic() - start


def pv_lines(lines):
    return [l for l in lines if l.startswith("info depth ") and " pv " in l]


def first_pv_move(line):
    return field(line, "pv")


def reported_time(lines):
    times = [int(field(l, "time")) for l in lines if l.startswith("info depth ") and field(l, "time")]
    return max(times) if times else 0


def check_key_order(e, name):
    e.ask("position startpos")
    lines, move, _ = search(e, "go foo 7 movetime 300 bar baz")
    check(reported_time(lines) >= 250, "%s: movetime after unknown keys is kept (reported %d ms)"
          % (name, reported_time(lines)))
    check(any("Skipping 'foo'" in l for l in lines), "%s: the unknown key is reported" % name)
    lines, move, _ = search(e, "go mate 2 movetime 400")
    check(reported_time(lines) >= 300, "%s: go mate 2 movetime 400 searches its time (reported %d ms)"
          % (name, reported_time(lines)))
    lines, move, _ = search(e, "go wibble 3 nodes 5000 depth 30")
    nodes = [int(field(l, "nodes")) for l in pv_lines(lines)]
    check(nodes and max(nodes) <= 5000 + 64, "%s: nodes after an unknown key is the limit: %r" % (name, nodes[-1:]))
    lines, move, _ = search(e, "go ponder depth 3 xyz searchmoves e2e4 d2d4 movestogo")
    depths = [int(field(l, "depth")) for l in pv_lines(lines)]
    check(depths and max(depths) == 3, "%s: depth read after ponder and searchmoves: %r" % (name, depths))
    check(move in ("e2e4", "d2d4"), "%s: searchmoves before other keys: %s" % (name, move))


def check_searchmoves(e, name):
    e.ask("position startpos")
    allowed = {"a2a3", "h2h3"}
    lines, move, _ = search(e, "go depth 6 searchmoves a2a3 h2h3")
    check(move in allowed, "%s: bestmove %s is one of the searchmoves" % (name, move))
    shown = {first_pv_move(l) for l in pv_lines(lines)}
    check(shown and shown <= allowed, "%s: every pv starts with a searchmove: %r" % (name, sorted(shown)))
    lines, move, _ = search(e, "go depth 4 searchmoves e2e5 zz g1h3")
    check(move == "g1h3", "%s: words that are no legal move are skipped: %s" % (name, move))
    lines, move, _ = search(e, "go depth 3 searchmoves e2e5")
    check(any("searching every move" in l for l in lines) and move != "0000",
          "%s: no legal searchmove searches every move: %s" % (name, move))


def check_mate(e, name):
    for fen, moves in ((MATE_IN_4, 4), (MATE_IN_6, 6)):
        e.ask("position fen " + fen)
        lines, move, wall = search(e, "go mate %d" % moves, timeout=120)
        final = [l for l in lines if l.startswith("info score ")]
        mate = field(final[-1], "mate") if final else None
        check(mate is not None and 0 < int(mate) <= moves,
              "%s: go mate %d proves a mate in at most %d: %r" % (name, moves, moves, final[-1:]))
        check(move == first_pv_move(pv_lines(lines)[-1]) if pv_lines(lines) else False,
              "%s: go mate %d plays the mating line's move %s" % (name, moves, move))


def check_spent_clocks(e, name):
    for command in ("go wtime -5 btime -5", "go wtime 0 btime 0 winc 0 binc 0", "go btime -100 wtime -1 movestogo 3"):
        for position in ("position startpos", "position startpos moves e2e4"):
            e.ask(position)
            lines, move, wall = search(e, command, timeout=30)
            check(reported_time(lines) <= 100 and wall < 5,
                  "%s: '%s' after '%s' answers at once (reported %d ms, %.2f s wall)"
                  % (name, command, position, reported_time(lines), wall))


def book_positions():
    with open("%s/data/books/8moves_v3_balanced.epd" % REPO) as book:
        return [" ".join(l.split()[:4]) + " 0 1" for l in book if l.strip()]


def check_bestmove_is_last_pv(e, name, searches):
    rng = random.Random(2026)
    book = book_positions()
    # The three cases a client library once caught, then mixed limits on book positions.
    plan = [("position startpos", "go movetime 60", None), ("position startpos", "go movetime 20", None),
            ("position startpos moves d2d4 g8f6 c2c4 e7e6", "go nodes 20000", None)]
    while len(plan) < searches:
        position = "position fen " + rng.choice(book)
        kind = rng.randrange(4)
        if kind == 0:
            plan.append((position, "go movetime %d" % rng.randint(5, 60), None))
        elif kind == 1:
            plan.append((position, "go nodes %d" % rng.randint(500, 40000), None))
        elif kind == 2:
            plan.append((position, "go wtime %d btime %d winc 10 binc 10" % (rng.randint(100, 3000),
                                                                             rng.randint(100, 3000)), None))
        else:
            plan.append((position, "go infinite", rng.uniform(0.01, 0.08)))
    mismatches = []
    for position, command, stop_after in plan:
        e.ask(position)
        lines, move, _ = search(e, command, stop_after)
        pvs = pv_lines(lines)
        if pvs and first_pv_move(pvs[-1]) != move:
            mismatches.append("%s / %s: last pv %r, bestmove %s" % (position, command, pvs[-1][:90], move))
    check(not mismatches, "%s: bestmove is the first move of the last pv in %d searches; %d differ:\n  %s"
          % (name, len(plan), len(mismatches), "\n  ".join(mismatches[:5])))


def check_threads_nodes(e, name):
    e.ask("setoption name Threads value 2")
    for limit in (50000, 300000):
        e.ask("position startpos")
        lines, move, _ = search(e, "go nodes %d" % limit)
        pvs = pv_lines(lines)
        nodes = int(field(pvs[-1], "nodes")) if pvs else 0
        check(abs(nodes - limit) <= limit // 20,
              "%s: go nodes %d with two threads ends at %d nodes" % (name, limit, nodes))
    e.ask("setoption name Threads value 1")


def nodes_of_second_search(path, fen, between):
    """Node count of the last pv line of a second `go depth 7` on one
    position, with `between` sent after the first."""
    e = Engine(path, timeout=60)
    e.ask("setoption name Hash value 16")
    e.ask("position fen " + fen)
    search(e, "go depth 7")
    if between:
        e.ask(between)
    lines, _, _ = search(e, "go depth 7")
    e.finish("quit")
    return int(field(pv_lines(lines)[-1], "nodes"))


def check_fresh_tables(path, name, classic):
    """The older generations start every search with fresh ordering tables (a
    second search equals one after `position`, which resets them); 0.9 keeps
    them.  `ucinewgame` empties the table where the generation says so."""
    fen = book_positions()[7]
    again = nodes_of_second_search(path, fen, None)
    after_position = nodes_of_second_search(path, fen, "position fen " + fen)
    if classic:
        check(again == after_position, "%s: a second go searches like one after position: %d and %d nodes"
              % (name, again, after_position))
    fresh = nodes_of_second_search(path, fen, "ucinewgame\nposition fen " + fen)
    first = Engine(path, timeout=60)
    first.ask("setoption name Hash value 16")
    first.ask("position fen " + fen)
    lines, _, _ = search(first, "go depth 7")
    first.finish("quit")
    clears = not classic or "0.6" in name or "0.3" in name
    if clears and classic:
        check(fresh == int(field(pv_lines(lines)[-1], "nodes")),
              "%s: after ucinewgame a search is a first search: %d and %s nodes"
              % (name, fresh, field(pv_lines(lines)[-1], "nodes")))


def check_tablebase_reloads(e, name):
    """Setting the tables again after a probe leaves standard error clean."""
    e.ask("setoption name SyzygyPath value %s/data/syzygy" % REPO)
    e.ask("position fen 8/8/8/8/8/2k5/8/R3K3 w - - 0 1")
    lines, move, _ = search(e, "go depth 3")
    check(move != "0000", "%s: a probed position is answered" % name)
    e.ask("setoption name SyzygyPath value %s/data/syzygy" % REPO)


def main():
    path = sys.argv[1]
    searches = int(sys.argv[2]) if len(sys.argv) > 2 else 200
    name = path.rsplit("/", 1)[-1]
    e = Engine(path, timeout=60)
    answer = e.ask("uci")
    check_key_order(e, name)
    check_searchmoves(e, name)
    check_mate(e, name)
    check_spent_clocks(e, name)
    check_bestmove_is_last_pv(e, name, searches)
    if any(l.startswith("option name Threads") for l in answer):
        check_threads_nodes(e, name)
    if any(l.startswith("option name SyzygyPath") for l in answer):
        check_tablebase_reloads(e, name)
    check(e.finish("quit") == 0, "%s: quit" % name)
    check(not [l for l in e.stderr if l], "%s: nothing on standard error: %r" % (name, e.stderr[:3]))
    check_fresh_tables(path, name, not any(l.startswith("option name Threads") for l in answer))
    return checks.finish()


if __name__ == "__main__":
    sys.exit(main())
