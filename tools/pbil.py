#!/usr/bin/env python3
"""Population-based incremental learning (PBIL) of generation 0.3's fourteen
genes, through the program's own -pbil= argument.

The learner keeps one probability per bit of the 84-digit gene string.  Each
generation it draws a population of strings from those probabilities, scores
every string by running vexar-0.3-popcnt with -pbil=STRING, moves the
probabilities towards the best string (and slightly away from the worst),
and mutates them a little so that no bit settles for good.  The start is the
built-in genes' own string with probabilities 0.5 + or - START_BIAS, so the
search begins around the values the program already plays with.

Fitness (higher is better):
  positions  minus the mean squared difference, in win-probability space,
             between the program's evaluation (`debug`) and the records'
             labels, over a fixed sample of quiet labelled positions
             (tools/record.h files, e.g. Stockfish-labelled self-play);
  games      the score of a short match against the built-in genes
             (tools/match.py, fixed move time, balanced openings).

Progress is printed each generation; the best string found is reported with
its decoded genes.  `--final-pairs N` then plays a longer match of the best
string against the built-in genes and prints its Elo.

  python3 tools/pbil.py --engine build/vexar-0.3-popcnt --fitness positions --records FILE
  python3 tools/pbil.py --engine build/vexar-0.3-popcnt --fitness games --pairs 8
"""
import argparse
import concurrent.futures
import math
import os
import random
import re
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import label_stockfish as records  # noqa: E402  (the record reader)

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
GENE_SIZE, GENE_NUMBER = 6, 14
BITS = GENE_SIZE * GENE_NUMBER
BUILT_IN = [5, 2, 10, 5, 5, 15, 1, 10, 10, 5, 10, 2, 50, 25]
START_BIAS = 0.3


def gray_encode(value):
    code = value ^ (value >> 1)
    return format(code, "0%db" % GENE_SIZE)


def gray_decode(bits):
    value = previous = 0
    for b in bits:
        previous ^= b == "1"
        value = value << 1 | previous
    return value


def encode(genes):
    return "".join(gray_encode(g) for g in genes)


def decode(text):
    return [gray_decode(text[i * GENE_SIZE:(i + 1) * GENE_SIZE]) for i in range(GENE_NUMBER)]


def sigmoid(cp):
    return 1.0 / (1.0 + math.exp(-cp / 400.0))


# ---------------------------------------------------------------------------
# Fitness from labelled positions

def sample_positions(paths, count, seed, score_limit=2000):
    """A fixed random sample of (fen, label) from record files: records whose
    label is within +-score_limit (the labeller already dropped positions in
    check)."""
    rng = random.Random(seed)
    chosen = []
    seen = 0
    for path in paths:
        with open(path, "rb") as f:
            while True:
                raw = f.read(records.RECORD_BYTES * 4096)
                if not raw:
                    break
                for offset in range(0, len(raw) - records.RECORD_BYTES + 1, records.RECORD_BYTES):
                    fields = records.RECORD.unpack_from(raw, offset)
                    if abs(fields[2]) > score_limit or records.record_problem(fields[0], fields[1], fields[4],
                                                                               fields[5], fields[6]):
                        continue
                    seen += 1
                    item = (records.record_fen(fields), fields[2])
                    # Reservoir sampling: every usable record equally likely.
                    if len(chosen) < count:
                        chosen.append(item)
                    elif rng.randrange(seen) < count:
                        chosen[rng.randrange(count)] = item
    return chosen


SCORE = re.compile(rb"^score (cp|mate) (-?\d+) ", re.M)


def evaluations(engine, genes_text, fens):
    """The program's `debug` score of each FEN with the given genes."""
    script = "".join("position fen %s\ndebug\n" % fen for fen in fens) + "quit\n"
    out = subprocess.run([engine, "-pbil=" + genes_text], input=script.encode(), stdout=subprocess.PIPE,
                         check=True).stdout
    scores = []
    for kind, value in SCORE.findall(out):
        v = int(value)
        scores.append(v if kind == b"cp" else (30000 - v if v > 0 else -30000 - v))
    if len(scores) != len(fens):
        raise RuntimeError("expected %d scores, got %d" % (len(fens), len(scores)))
    return scores


def positions_fitness(engine, genes_text, sample):
    scores = evaluations(engine, genes_text, [fen for fen, _ in sample])
    error = sum((sigmoid(s) - sigmoid(label)) ** 2 for s, (_, label) in zip(scores, sample))
    return -error / len(sample)


# ---------------------------------------------------------------------------
# Fitness from games

MATCH_SCORE = re.compile(r"score ([\d.]+)%")
MATCH_ELO = re.compile(r"^Elo (\S+), (.*)$", re.M)


def match(engine, genes_text, pairs, movetime, seed, extra=()):
    command = [sys.executable, os.path.join(REPO, "tools", "match.py"), "--arbiter", engine,
               "--first", "%s -pbil=%s" % (engine, genes_text), "--first-name", "candidate",
               "--second", engine, "--second-name", "built-in", "--pairs", str(pairs),
               "--movetime", str(movetime), "--seed", str(seed), "--concurrency", "1"] + list(extra)
    out = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True).stdout
    found = MATCH_SCORE.search(out)
    if not found:
        raise RuntimeError("match.py gave no score:\n" + out[-2000:])
    return float(found.group(1)) / 100.0, out


def games_fitness(engine, genes_text, pairs, movetime, seed):
    return match(engine, genes_text, pairs, movetime, seed)[0]


# ---------------------------------------------------------------------------
# The learner

def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0],
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--engine", default=os.path.join(REPO, "build", "vexar-0.3-popcnt"))
    parser.add_argument("--fitness", choices=["positions", "games"], default="positions")
    parser.add_argument("--records", nargs="+", help="labelled record files (positions fitness)")
    parser.add_argument("--positions", type=int, default=4000, help="sample size (positions fitness)")
    parser.add_argument("--pairs", type=int, default=8, help="game pairs per candidate (games fitness)")
    parser.add_argument("--movetime", type=int, default=20, help="ms a move (games fitness and final match)")
    parser.add_argument("--population", type=int, default=16)
    parser.add_argument("--generations", type=int, default=30)
    parser.add_argument("--learning-rate", type=float, default=0.1)
    parser.add_argument("--negative-rate", type=float, default=0.05, help="push away from the worst string")
    parser.add_argument("--mutation", type=float, default=0.02, help="chance a probability is nudged")
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--workers", type=int, default=os.cpu_count() or 1)
    parser.add_argument("--final-pairs", type=int, default=0,
                        help="game pairs of the best string against the built-in genes at the end")
    args = parser.parse_args()
    engine = os.path.abspath(args.engine)
    rng = random.Random(args.seed)

    if args.fitness == "positions":
        if not args.records:
            parser.error("--fitness positions needs --records")
        sample = sample_positions(args.records, args.positions, args.seed)
        print("sample: %d labelled positions" % len(sample), flush=True)
        fitness = lambda text: positions_fitness(engine, text, sample)  # noqa: E731
    else:
        # Every candidate of a generation meets the same openings.
        fitness = lambda text: games_fitness(engine, text, args.pairs, args.movetime, args.seed)  # noqa: E731

    start = encode(BUILT_IN)
    probability = [0.5 + (START_BIAS if b == "1" else -START_BIAS) for b in start]
    best_text, best_fit = start, fitness(start)
    print("built-in genes %s: fitness %.6f" % (BUILT_IN, best_fit), flush=True)
    began = time.time()
    with concurrent.futures.ThreadPoolExecutor(max_workers=args.workers) as pool:
        for generation in range(1, args.generations + 1):
            population = ["".join("1" if rng.random() < p else "0" for p in probability)
                          for _ in range(args.population)]
            fits = list(pool.map(fitness, population))
            ranked = sorted(zip(fits, population), reverse=True)
            top_fit, top = ranked[0]
            worst = ranked[-1][1]
            for i in range(BITS):
                target = 1.0 if top[i] == "1" else 0.0
                probability[i] = probability[i] * (1 - args.learning_rate) + target * args.learning_rate
                if worst[i] != top[i]:
                    probability[i] = probability[i] * (1 - args.negative_rate) + target * args.negative_rate
                if rng.random() < args.mutation:
                    probability[i] = probability[i] * 0.95 + (1.0 if rng.random() < 0.5 else 0.0) * 0.05
            if top_fit > best_fit:
                best_fit, best_text = top_fit, top
            settled = sum(1 for p in probability if p < 0.1 or p > 0.9)
            print("generation %d/%d: best %.6f, generation best %.6f mean %.6f, %d/%d bits settled, %.0f s"
                  % (generation, args.generations, best_fit, top_fit, sum(fits) / len(fits), settled, BITS,
                     time.time() - began), flush=True)
    print("best string: %s" % best_text)
    print("best genes:  %s (fitness %.6f)" % (decode(best_text), best_fit))
    if args.final_pairs:
        # Openings other than those the games fitness saw.
        _, out = match(engine, best_text, args.final_pairs, args.movetime, args.seed + 1000,
                       ["--concurrency", str(args.workers)])
        print("final match of the best genes against the built-in ones:")
        print("\n".join(l for l in out.splitlines() if l.startswith(("candidate vs", "Elo", "LOS", "candidate:",
                                                                     "built-in:"))))


if __name__ == "__main__":
    main()
