#!/usr/bin/env python3
"""Checks of the match statistics (tools/match_stats.py) and of the match
tool's clock, book and argument handling (tools/match.py) against values
worked out by hand, and its refusal of a stale network conversion.  Exits
non-zero when a check fails."""
import math
import os
import random
import sys
import tempfile

sys.dont_write_bytecode = True  # no __pycache__ in the source tree
from checks import check, near, run  # noqa: E402  (also puts tools/ on the path)
import match  # noqa: E402
import match_stats as stats  # noqa: E402


def test_elo_and_score():
    # 400 * log10(0.6 / 0.4)
    near(stats.elo_from_score(0.6), 70.4365, 1e-3, "60% score")
    near(stats.elo_from_score(0.4), -70.4365, 1e-3, "40% score")
    near(stats.elo_from_score(0.5), 0.0, 1e-12, "even score")
    near(stats.score_from_elo(70.4365), 0.6, 1e-6, "score of +70.4 Elo")
    for elo in (-600.0, -35.0, 0.0, 12.5, 400.0):
        near(stats.elo_from_score(stats.score_from_elo(elo)), elo, 1e-9, "round trip of %g Elo" % elo)
    check(stats.elo_from_score(1.0) == math.inf and stats.elo_from_score(0.0) == -math.inf, "scores 1 and 0")
    check(stats.format_elo(math.inf) == "+inf" and stats.format_elo(-3.04) == "-3.0", "Elo text")


def test_trinomial():
    # 60 wins, 40 losses: mean 0.6, variance 0.6 * 0.4^2 + 0.4 * 0.6^2 = 0.24;
    # 0.6 +- 1.96 * sqrt(0.24 / 100) in Elo (computed with bc).
    n, mean, var = stats.trinomial(60, 0, 40)
    check(n == 100, "games counted")
    near(mean, 0.6, 1e-12, "trinomial mean")
    near(var, 0.24, 1e-12, "trinomial variance")
    elo, low, high = stats.elo_interval(n, mean, var)
    near(elo, 70.4365, 1e-3, "trinomial Elo")
    near(low, 2.7669, 1e-3, "trinomial interval low end")
    near(high, 143.9092, 1e-3, "trinomial interval high end")
    # Normal table: Phi(0.1 / 0.04899) = Phi(2.0412) = 0.9794.
    near(stats.los(n, mean, var), 0.9794, 1e-3, "trinomial LOS")
    # Draws shrink the variance: 50 draws, 30 wins, 20 losses.
    n, mean, var = stats.trinomial(30, 50, 20)
    near(mean, 0.55, 1e-12, "mean with draws")
    near(var, (30 * 0.45 ** 2 + 50 * 0.05 ** 2 + 20 * 0.55 ** 2) / 100, 1e-12, "variance with draws")
    # Symmetric records: 0 Elo, an interval symmetric about it, LOS 1/2.
    for wdl in ((10, 5, 10), (0, 7, 0), (3, 0, 3)):
        elo, low, high = stats.elo_interval(*stats.trinomial(*wdl))
        near(elo, 0.0, 1e-9, "symmetric %s Elo" % (wdl,))
        near(low, -high, 1e-9, "symmetric %s interval" % (wdl,))
        near(stats.los(*stats.trinomial(*wdl)), 0.5, 1e-12, "symmetric %s LOS" % (wdl,))
    elo, low, high = stats.elo_interval(*stats.trinomial(0, 0, 0))
    check(elo == 0.0 and low == -math.inf and high == math.inf, "no games: unbounded interval")


def test_pentanomial():
    check([stats.pair_bin(a, b) for a, b in ((0, 0), (0, 0.5), (1, 0), (0.5, 0.5), (0.5, 1), (1, 1))]
          == [0, 1, 2, 2, 3, 4], "pair bins")
    # 10 pairs: 1 LD, 2 DD/WL, 3 WD, 4 WW -> mean 7.5 / 10 = 0.75; variance
    # (0.25 + 2 * 0.0625 + 4 * 0.0625) / 10 = 0.0625; ends computed with bc.
    n, mean, var = stats.pentanomial([0, 1, 2, 3, 4])
    check(n == 10, "pairs counted")
    near(mean, 0.75, 1e-12, "pentanomial mean")
    near(var, 0.0625, 1e-12, "pentanomial variance")
    elo, low, high = stats.elo_interval(n, mean, var)
    near(elo, 190.8485, 1e-3, "pentanomial Elo")
    near(low, 66.8617, 1e-3, "pentanomial interval low end")
    near(high, 391.4665, 1e-3, "pentanomial interval high end")
    # Phi(0.25 / 0.0790569) = Phi(3.162) = 0.99922 (normal table).
    near(stats.los(n, mean, var), 0.99922, 2e-4, "pentanomial LOS")
    elo, low, high = stats.elo_interval(*stats.pentanomial([1, 2, 4, 2, 1]))
    check(elo == 0.0 and abs(low + high) < 1e-9 and low < 0, "symmetric pairs")
    # The same games seen as pairs and as single games: pairs that split
    # 1-0 / 0-1 (opening effects) have no variance as pairs.
    check(stats.pentanomial([0, 0, 8, 2, 0])[1] == stats.trinomial(10, 2, 8)[1], "same mean as pairs and games")
    penta = stats.elo_interval(*stats.pentanomial([0, 0, 8, 2, 0]))
    tri = stats.elo_interval(*stats.trinomial(10, 2, 8))
    check(penta[2] - penta[1] < tri[2] - tri[1], "paired wins and losses narrow the interval")


def test_llr():
    lower, upper = stats.sprt_bounds(0.05, 0.05)
    near(lower, -2.944439, 1e-6, "lower bound")
    near(upper, 2.944439, 1e-6, "upper bound")
    near(stats.sprt_bounds(0.05, 0.1)[0], math.log(0.1 / 0.95), 1e-12, "asymmetric lower bound")
    # n (s1 - s0)(2 mean - s0 - s1) / (2 var) with s1 = 0.514387 (bc).
    near(stats.llr(100, 0.6, 0.24, 0, 10), 0.556343, 1e-5, "LLR value")
    s0, s1 = stats.score_from_elo(0), stats.score_from_elo(5)
    near(stats.llr(50, (s0 + s1) / 2, 0.1, 0, 5), 0.0, 1e-12, "LLR at the midpoint")
    check(stats.llr(50, s1, 0.1, 0, 5) > 0 > stats.llr(50, s0, 0.1, 0, 5), "LLR sign")
    near(stats.llr(200, 0.53, 0.1, 0, 5), 2 * stats.llr(100, 0.53, 0.1, 0, 5), 1e-12, "LLR grows with n")
    check(stats.llr(0, 0.6, 0.2, 0, 5) == 0.0 and stats.llr(10, 0.6, 0.0, 0, 5) == 0.0, "no data, no LLR")
    # The fitted distributions keep the frequencies' shape and meet the mean.
    freqs, values = [0.1, 0.2, 0.3, 0.25, 0.15], (0.0, 0.25, 0.5, 0.75, 1.0)
    for mean in (0.02, 0.3, 0.5, 0.7, 0.98):
        p = stats.constrained_mle(freqs, values, mean)
        near(sum(p), 1.0, 1e-9, "fitted distribution at mean %g sums to 1" % mean)
        near(sum(a * x for a, x in zip(p, values)), mean, 1e-9, "fitted distribution has mean %g" % mean)
        check(min(p) > 0, "fitted distribution positive at mean %g" % mean)
    sample_mean = sum(f * x for f, x in zip(freqs, values))
    check(all(abs(a - f) < 1e-12 for a, f in zip(stats.constrained_mle(freqs, values, sample_mean), freqs)),
          "at the sample mean the fit is the sample")
    # Large samples: the exact form agrees with the normal one.
    counts = [100, 400, 800, 500, 200]
    exact, normal = stats.pentanomial_llr(counts, 0, 5), stats.llr(*stats.pentanomial(counts), 0, 5)
    check(abs(exact - normal) < 0.03 * abs(normal), "large sample LLR %g against normal form %g" % (exact, normal))
    # Tiny samples decide nothing, whatever they hold.
    for few in ([0, 0, 0, 0, 1], [2, 0, 0, 0, 0], [0, 0, 3, 0, 0], [0, 0, 0, 1, 2]):
        value = stats.pentanomial_llr(few, 0, 5)
        check(math.isfinite(value) and stats.sprt_decision(value, 0.05, 0.05) is None,
              "%s decides nothing (LLR %g)" % (few, value))
    check(stats.pentanomial_llr([0, 0, 0, 0, 0], 0, 5) == 0.0, "no pairs")
    check(stats.pentanomial_llr([0, 2, 10, 30, 10], 0, 5) > 0 > stats.pentanomial_llr([10, 30, 10, 2, 0], 0, 5),
          "pentanomial LLR sign")
    check(stats.trinomial_llr(60, 20, 20, 0, 5) > 0 > stats.trinomial_llr(20, 20, 60, 0, 5), "trinomial LLR sign")
    check(stats.sprt_decision(3.0, 0.05, 0.05) == "H1" and stats.sprt_decision(-3.0, 0.05, 0.05) == "H0"
          and stats.sprt_decision(2.9, 0.05, 0.05) is None, "decisions")


def simulate_sprt(rng, true_elo, elo0, elo1, draw_rate=0.4, max_pairs=30000):
    """An SPRT on game pairs drawn from a known Elo; 'H0', 'H1' or None."""
    score = stats.score_from_elo(true_elo)
    win, loss = score - draw_rate / 2, 1 - score - draw_rate / 2
    counts = [0] * 5

    def game():
        x = rng.random()
        return 1.0 if x < win else 0.0 if x < win + loss else 0.5

    for _ in range(max_pairs):
        counts[stats.pair_bin(game(), game())] += 1
        decision = stats.sprt_decision(stats.pentanomial_llr(counts, elo0, elo1), 0.05, 0.05)
        if decision:
            return decision
    return None


def test_sprt_simulation():
    rng = random.Random(20240601)
    runs = 30
    # Clearly better or worse than the hypotheses: nearly always right.
    better = sum(simulate_sprt(rng, 25, 0, 10) == "H1" for _ in range(runs))
    worse = sum(simulate_sprt(rng, -15, 0, 10) == "H0" for _ in range(runs))
    check(better >= runs - 2, "H1 accepted at +25 Elo in %d of %d runs" % (better, runs))
    check(worse >= runs - 2, "H0 accepted at -15 Elo in %d of %d runs" % (worse, runs))
    # At exactly elo0 the false positive rate is about alpha (5%).
    runs = 20
    false_h1 = sum(simulate_sprt(rng, 0, 0, 10) == "H1" for _ in range(runs))
    check(false_h1 <= 4, "H1 accepted at elo0 in %d of %d runs" % (false_h1, runs))


def test_clock_and_arguments():
    check(match.parse_tc("10+0.1") == (10000, 100), "10+0.1")
    check(match.parse_tc("60") == (60000, 0), "60 without increment")
    check(match.parse_tc("0.5+0.005") == (500, 5), "0.5+0.005")
    for bad in ("", "abc", "10+x", "0+1", "-5+0", "10+-1", "inf+0", "nan"):
        try:
            match.parse_tc(bad)
            check(False, "time control %r accepted" % bad)
        except ValueError:
            check(True, "")
    # Increment after the check; the margin allows a slightly late move.
    check(match.charge_clock(1000, 300, 10, 0) == (710, False), "clock charged")
    check(match.charge_clock(100, 120, 10, 0) == (-10, True), "clock below zero")
    check(match.charge_clock(100, 120, 10, 50) == (-10, False), "within the margin")
    check(match.charge_clock(100, 100, 10, 0) == (10, False), "exactly zero left")
    check(match.parse_option(" Hash = 16 ") == ("Hash", "16") and match.parse_option("A=B=C") == ("A", "B=C"),
          "options")
    for bad in ("Hash", "=5"):
        try:
            match.parse_option(bad)
            check(False, "option %r accepted" % bad)
        except ValueError:
            check(True, "")

    def cfg(*extra):
        return match.configure(match.build_parser().parse_args(
            ["--arbiter", "a", "--first", "f", "--second", "s"] + list(extra)))

    c = cfg("--tc", "2+0.02", "--games", "7", "--sprt", "0,5")
    check((c.base_ms, c.inc_ms, c.margin_ms, c.total_games, c.sprt) == (2000, 20, 0, 7, [0.0, 5.0]), "clock match")
    c = cfg("--openings", "3")
    check((c.movetime, c.margin_ms, c.total_games) == (100, 1000, 6), "fixed-time match as before")
    for bad in (["--sprt", "5,0"], ["--sprt", "5"], ["--resign", "3"], ["--games", "0"], ["--max-plies", "5000"],
                ["--alpha", "1.5"], ["--movetime", "0"], ["--concurrency", "0"]):
        try:
            cfg(*bad)
            check(False, "arguments %s accepted" % bad)
        except ValueError:
            check(True, "")

    # A network.nn older than the network.txt beside it is an old
    # conversion the engine would play with instead of the new file.
    with tempfile.TemporaryDirectory() as folder:
        check(match.stale_conversion(folder) is None, "an empty folder")
        for name, age in (("network.txt", 100), ("network.nn", 50)):
            with open(os.path.join(folder, name), "w") as f:
                f.write(name)
            os.utime(os.path.join(folder, name), (0, 1e9 - age))
        check(match.stale_conversion(folder) is None, "a conversion newer than its text file")
        os.utime(os.path.join(folder, "network.txt"), (0, 1e9))
        check("older than network.txt" in (match.stale_conversion(folder) or ""), "a stale conversion")


def test_book():
    with tempfile.NamedTemporaryFile("w", suffix=".epd", delete=False) as f:
        f.write("rnbqkbnr/pppppppp/8/8/4P3/8/PPPP1PPP/RNBQKBNR b KQkq e3 0 1\n"
                "r3k2r/8/8/8/8/8/8/R3K2R w KQkq - id \"castles\";\n"
                "8/8/8/8/8/8/8/K1k5 w - - 12 40\n"
                "\n# a comment\nnot a fen\n")
    fens = match.read_book(f.name)
    os.unlink(f.name)
    check(fens == ["rnbqkbnr/pppppppp/8/8/4P3/8/PPPP1PPP/RNBQKBNR b KQkq e3 0 1",
                   "r3k2r/8/8/8/8/8/8/R3K2R w KQkq - 0 1", "8/8/8/8/8/8/8/K1k5 w - - 12 40"],
          "book lines: %s" % fens)
    book = ["fen%d" % i for i in range(10)]
    first = match.pick_openings(book, 25, 7)
    check(first == match.pick_openings(book, 25, 7), "same seed, same openings")
    check(first != match.pick_openings(book, 25, 8), "another seed, another order")
    check(sorted(first[:10]) == sorted(book) and sorted(first[10:20]) == sorted(book), "whole book before repeats")
    odd = match.pick_openings(book, 12, 7, usable=lambda fen: int(fen[3:]) % 2 == 1)
    check(len(odd) == 12 and all(int(fen[3:]) % 2 == 1 for fen in odd), "unusable openings skipped")
    try:
        match.pick_openings(book, 3, 7, usable=lambda fen: False)
        check(False, "a book without usable openings accepted")
    except ValueError:
        check(True, "")


def main():
    return run((test_elo_and_score, test_trinomial, test_pentanomial, test_llr, test_sprt_simulation,
                test_clock_and_arguments, test_book))


if __name__ == "__main__":
    sys.exit(main())
