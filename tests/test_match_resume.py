#!/usr/bin/env python3
"""Checks of match.py --resume: the games a cut-off run wrote to its PGN are
counted again exactly as the run counted them (results, failures, game
pairs), a game cut off while being written is dropped from the file, and a
PGN of another match is refused.  Exits non-zero when a check fails."""
import os
import sys
import tempfile
import types

sys.dont_write_bytecode = True  # no __pycache__ in the source tree
from checks import check, run  # noqa: E402  (also puts tools/ on the path)
import match  # noqa: E402

NAMES = ["alpha", "beta"]
OPENINGS = ["rnbqkbnr/pppppppp/8/8/4P3/8/PPPP1PPP/RNBQKBNR b KQkq - 0 1",
            "rnbqkbnr/pppppppp/8/8/3P4/8/PPP1PPPP/RNBQKBNR b KQkq - 0 1",
            "rnbqkbnr/pppppppp/8/8/2P5/8/PP1PPPPP/RNBQKBNR b KQkq - 0 1"]


def config(pgn, games=6):
    return types.SimpleNamespace(pgn=pgn, total_games=games, base_ms=10000, inc_ms=100, movetime=0, sprt=None,
                                 alpha=0.05, beta=0.05)


def game(number, result, reason, failure=None, moves=("e7e5", "g1f3")):
    g = match.Game(number, number // 2, OPENINGS[number // 2], number % 2 == 0)
    g.moves, g.result, g.reason, g.failure = list(moves), result, reason, failure
    return g


# Games as play() leaves them, results from the first engine's view: a long
# move list that wraps, a crash of the second engine, a time forfeit of the
# first with White, a draw and a 'bestmove 0000' of the second.
PLAYED = [game(0, 1.0, "mate", moves=["e7e5", "g1f3", "b8c6"] * 30),
          game(1, 1.0, "crash", (1, "crash")),
          game(2, 0.0, "time forfeit (10112 ms used, 10000 ms left)", (0, "time")),
          game(3, 0.5, "draw by rule"),
          game(4, 1.0, "bestmove 0000 in a game not over", (1, "nullmove"))]


def played_match(pgn):
    """A Match that recorded PLAYED, writing its PGN."""
    m = match.Match(config(pgn), NAMES)
    with open(os.devnull, "w") as quiet:
        stdout, sys.stdout = sys.stdout, quiet
        try:
            for g in PLAYED:
                m.record(g)
        finally:
            sys.stdout = stdout
    m.pgn.close()
    return m


def test_resume_counts_as_played():
    with tempfile.TemporaryDirectory() as folder:
        pgn = os.path.join(folder, "m.pgn")
        played = played_match(pgn)
        with open(pgn) as f:
            written = f.read()
        # The run is killed while writing its sixth game.
        with open(pgn, "a") as f:
            f.write('[Event "Vexar match"]\n[Site "?"]\n[Round "3.2"]\n[White "beta"]\n\n{UCI: e7e5 ')
        games = match.resume(config(pgn), NAMES, OPENINGS)
        check(sorted(g.number for g in games) == [0, 1, 2, 3, 4], "resumed games: %r" % [g.number for g in games])
        with open(pgn) as f:
            check(f.read() == written, "the cut-off game must leave the PGN, the others stay as written")
        by_number = {g.number: g for g in games}
        check(by_number[0].moves == PLAYED[0].moves, "moves of a wrapped move list")
        check(by_number[2].first_white and by_number[2].result == 0.0, "a loss of the first engine with White")
        check(not by_number[3].first_white, "second game of a pair: the first engine has Black")
        restored = match.Match(config(os.path.join(folder, "other.pgn")), NAMES)
        for g in games:
            restored.restore(g)
        restored.pgn.close()
        for field in ("wdl", "games_done", "penta", "failures", "pairs"):
            check(getattr(restored, field) == getattr(played, field), "%s after resuming: %r, when played: %r"
                  % (field, getattr(restored, field), getattr(played, field)))


def test_resume_refuses_another_match():
    with tempfile.TemporaryDirectory() as folder:
        pgn = os.path.join(folder, "m.pgn")
        played_match(pgn)
        refusals = [("other engines", ["alpha", "gamma"], OPENINGS, 6),
                    ("other openings", NAMES, [OPENINGS[1], OPENINGS[0], OPENINGS[2]], 6),
                    ("fewer games than the PGN holds", NAMES, OPENINGS, 4)]
        for what, names, openings, total in refusals:
            try:
                match.read_finished_games(pgn, names, openings, total)
                check(False, "a PGN of %s was taken" % what)
            except ValueError:
                check(True, what)
        with open(pgn) as f:
            first = f.read().split("\n\n")[:2]
        with open(pgn, "a") as f:
            f.write("\n\n".join(first) + "\n\n")
        try:
            match.read_finished_games(pgn, NAMES, OPENINGS, 6)
            check(False, "a game that stands twice was taken")
        except ValueError:
            check(True, "a game that stands twice")
        # No PGN yet: nothing to resume, nothing created.
        missing = os.path.join(folder, "none.pgn")
        check(match.resume(config(missing), NAMES, OPENINGS) == [] and not os.path.exists(missing),
              "resuming without a PGN")


def main():
    return run([test_resume_counts_as_played, test_resume_refuses_another_match])


if __name__ == "__main__":
    sys.exit(main())
