#!/usr/bin/env python3
"""datagen.py - labelled positions for training Vexar's evaluation network.

Plays games from an EPD opening book with a UCI engine used as a label source
(stockfish by default), one small fixed-node search per move, and writes one
line per kept position:

    <FEN>;<score in centipawns from the side to move's point of view>

Kept positions are the "quiet-ish" ones: the side to move is not in check, the
search's best move is neither a capture nor a promotion, and the score is not
a mate score.  Some moves are replaced by a random legal move (with a fixed,
seeded generator) so that the games are not all alike.  The same arguments
always produce the same file: the label engine runs single-threaded with a
node limit, and the games are played one after another in book order.

Usage:
    datagen.py --book data/books/8moves_v3_balanced.epd --out build/train.data \
               --games 4000 --nodes 3000 --seed 1

Only the standard library is used.
"""

import argparse
import random
import subprocess
import sys
import time


class Engine:
    def __init__(self, path, hash_mb):
        self.proc = subprocess.Popen([path], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     universal_newlines=True, bufsize=1)
        self.send("uci")
        self.wait_for("uciok")
        self.send("setoption name Threads value 1")
        self.send("setoption name Hash value %d" % hash_mb)
        self.send("isready")
        self.wait_for("readyok")

    def send(self, line):
        self.proc.stdin.write(line + "\n")
        self.proc.stdin.flush()

    def wait_for(self, prefix):
        lines = []
        while True:
            line = self.proc.stdout.readline()
            if not line:
                raise RuntimeError("label engine ended unexpectedly")
            line = line.rstrip("\n")
            lines.append(line)
            if line.startswith(prefix):
                return lines

    def close(self):
        try:
            self.send("quit")
            self.proc.wait(timeout=5)
        except Exception:
            self.proc.kill()

    def set_position(self, fen, moves):
        if moves:
            self.send("position fen %s moves %s" % (fen, " ".join(moves)))
        else:
            self.send("position fen %s" % fen)

    def board(self):
        """(FEN, in check) of the current position."""
        self.send("d")
        fen = None
        for line in self.wait_for("Checkers:"):
            if line.startswith("Fen: "):
                fen = line[5:].strip()
        in_check = line[len("Checkers:"):].strip() != ""
        return fen, in_check

    def legal_moves(self):
        self.send("go perft 1")
        moves = []
        for line in self.wait_for("Nodes searched"):
            if ": " in line and not line.startswith("Nodes"):
                moves.append(line.split(":")[0].strip())
        return moves

    def search(self, nodes):
        """(kind, value, bestmove): kind is 'cp' or 'mate' (None if no score)."""
        self.send("go nodes %d" % nodes)
        kind, value = None, None
        for line in self.wait_for("bestmove"):
            if line.startswith("info") and " score " in line:
                words = line.split()
                i = words.index("score")
                kind, value = words[i + 1], int(words[i + 2])
        best = line.split()[1]
        return kind, value, best


def piece_at(fen, square_text):
    """Piece letter on a square of a FEN board, or None when it is empty."""
    file = ord(square_text[0]) - ord("a")
    rank = int(square_text[1]) - 1
    rows = fen.split()[0].split("/")
    row = rows[7 - rank]
    f = 0
    for c in row:
        if c.isdigit():
            f += int(c)
        else:
            if f == file:
                return c
            f += 1
    return None


def is_noisy(fen, move):
    """Capture (en passant included) or promotion."""
    if len(move) > 4:
        return True
    if piece_at(fen, move[2:4]) is not None:
        return True
    ep = fen.split()[3]
    mover = piece_at(fen, move[0:2])
    return ep != "-" and move[2:4] == ep and mover in ("P", "p")


def play_game(engine, book_fen, rng, args, out):
    moves = []
    kept = 0
    seen = {}
    decisive = 0
    for ply in range(args.max_plies):
        engine.set_position(book_fen, moves)
        fen, in_check = engine.board()
        key = " ".join(fen.split()[:4])
        seen[key] = seen.get(key, 0) + 1
        if seen[key] >= 3 or int(fen.split()[4]) >= 100:
            break
        kind, value, best = engine.search(args.nodes)
        if best == "(none)" or kind is None:
            break
        if kind == "mate":
            break
        if abs(value) >= args.adjudicate:
            decisive += 1
            if decisive >= 4:
                break
        else:
            decisive = 0
        if not in_check and not is_noisy(fen, best):
            out.write("%s;%d\n" % (fen, value))
            kept += 1
        move = best
        if ply < args.random_plies and rng.random() < args.random_rate:
            legal = engine.legal_moves()
            if legal:
                move = rng.choice(sorted(legal))
        moves.append(move)
    return kept


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--book", required=True, help="EPD file of opening positions")
    parser.add_argument("--out", required=True, help="output file (FEN;score lines)")
    parser.add_argument("--engine", default="/usr/games/stockfish", help="UCI label engine")
    parser.add_argument("--games", type=int, default=4000, help="number of games to play")
    parser.add_argument("--first", type=int, default=0, help="index of the first book line to use")
    parser.add_argument("--nodes", type=int, default=3000, help="nodes per search")
    parser.add_argument("--seed", type=int, default=1, help="seed of the random-move generator")
    parser.add_argument("--random-rate", type=float, default=0.08, help="chance of a random move")
    parser.add_argument("--random-plies", type=int, default=60, help="random moves only in the first plies")
    parser.add_argument("--max-plies", type=int, default=240, help="plies per game at most")
    parser.add_argument("--adjudicate", type=int, default=2500, help="end a game after 4 plies beyond this score")
    parser.add_argument("--hash", type=int, default=16, help="label engine hash (MB)")
    args = parser.parse_args()

    with open(args.book) as f:
        book = [" ".join(line.split()[:4]) + " 0 1" for line in f if line.strip()]
    rng = random.Random(args.seed)
    engine = Engine(args.engine, args.hash)
    start = time.time()
    total = 0
    with open(args.out, "w") as out:
        for g in range(args.games):
            book_fen = book[(args.first + g) % len(book)]
            total += play_game(engine, book_fen, rng, args, out)
            if (g + 1) % 50 == 0:
                out.flush()
                elapsed = time.time() - start
                print("datagen: %d games, %d positions, %.0f s (%.0f positions/s)"
                      % (g + 1, total, elapsed, total / max(elapsed, 1e-9)), file=sys.stderr, flush=True)
    engine.close()
    print("datagen: done, %d games, %d positions in %.0f s" % (args.games, total, time.time() - start),
          file=sys.stderr)


if __name__ == "__main__":
    main()
