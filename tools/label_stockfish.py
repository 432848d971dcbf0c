#!/usr/bin/env python3
"""label_stockfish.py - replaces the scores of training records with Stockfish's.

Reads files of 32-byte records (tools/record.h, tools/README.md) and writes one
file of records with the same positions, game results and plies, the score
replaced by one of:

    --mode eval        Stockfish's static evaluation (its `eval` command, the
                       "Final evaluation" line), converted from pawns for White
                       to centipawns for the side to move.  Positions it does
                       not evaluate ("none (in check)") are dropped.
    --mode depth N     the score of a `go depth N` search,
    --mode nodes N     the score of a `go nodes N` search; positions scored as
                       a mate are dropped.

Records whose position is not sound (see record.h) are dropped as well; the
first record kept of each game keeps the first-of-game flag, so the output's
games still count.

    label_stockfish.py --mode eval --out labelled.bin data.bin.w0 data.bin.w1
    label_stockfish.py --mode depth 8 --workers 2 --out labelled.bin data.bin.w*

--workers N Stockfish processes (default: one a core) label batches in
parallel; the output keeps the input order.  A progress line is printed every
few seconds.  The run is resumable: OUT.progress records how many input
records are done and how many output records they gave, after each batch is
on disk; a restarted run with the same inputs cuts OUT back to that count and
goes on from there.  `--dump FILE` prints the records of a file as text.

Only the standard library is used.
"""

import argparse
import concurrent.futures
import os
import re
import struct
import subprocess
import sys
import threading
import time

RECORD = struct.Struct("<Q16shHbBBB")
RECORD_BYTES = 32
assert RECORD.size == RECORD_BYTES

FLAG_WHITE = 1
FLAG_FIRST = 32
LETTERS = {1: "p", 2: "n", 3: "b", 4: "r", 5: "q", 6: "k"}
MATE_LIMIT = 20000  # |cp| from a search above this is treated like a mate


def record_problem(occupied, pieces, result, flags, en_passant):
    """None when the record is sound, else what is wrong (as in record.h)."""
    count = bin(occupied).count("1")
    if count > 32:
        return "more than 32 occupied squares"
    kings = [0, 0]
    for i in range(32):
        code = (pieces[i >> 1] >> (4 * (i & 1))) & 15
        if i >= count:
            if code:
                return "unused piece nibble not zero"
            continue
        if not 1 <= (code & 7) <= 6:
            return "piece code out of range"
        if code & 7 == 6:
            kings[code >> 3] += 1
    if kings != [1, 1]:
        return "not one king of each colour"
    if not -1 <= result <= 1:
        return "result out of range"
    if flags & 0xC0:
        return "unknown flag bits"
    if en_passant > 64:
        return "en-passant square out of range"
    return None


def record_fen(fields):
    """FEN of an unpacked record (the text recordToFen in record.h writes)."""
    occupied, pieces, _score, ply, _result, flags, en_passant, rule50 = fields
    board = [""] * 64
    index = 0
    for square in range(64):
        if occupied >> square & 1:
            code = (pieces[index >> 1] >> (4 * (index & 1))) & 15
            letter = LETTERS[code & 7]
            board[square] = letter.upper() if code >> 3 else letter
            index += 1
    rows = []
    for rank in range(7, -1, -1):
        row, empty = "", 0
        for file in range(8):
            piece = board[rank * 8 + file]
            if not piece:
                empty += 1
                continue
            if empty:
                row += str(empty)
                empty = 0
            row += piece
        if empty:
            row += str(empty)
        rows.append(row)
    castling = "".join(c for i, c in enumerate("KQkq") if flags & (2 << i)) or "-"
    ep = "-" if en_passant >= 64 else "abcdefgh"[en_passant & 7] + str(en_passant // 8 + 1)
    side = "w" if flags & FLAG_WHITE else "b"
    return "%s %s %s %s %d %d" % ("/".join(rows), side, castling, ep, rule50, ply // 2 + 1)


class Stockfish:
    """One Stockfish process, fed a batch of commands at a time."""

    def __init__(self, path, hash_mb):
        self.proc = subprocess.Popen([path], stdin=subprocess.PIPE, stdout=subprocess.PIPE, bufsize=0)
        self.pending = b""
        self.send(b"uci\nsetoption name Threads value 1\nsetoption name Hash value %d\nisready\n" % hash_mb)
        self.read_until(b"readyok")

    def send(self, data):
        self.proc.stdin.write(data)

    def read_more(self):
        chunk = os.read(self.proc.stdout.fileno(), 1 << 16)
        if not chunk:
            raise RuntimeError("stockfish ended unexpectedly")
        self.pending += chunk

    def read_until(self, marker):
        while marker not in self.pending:
            self.read_more()
        head, _, self.pending = self.pending.partition(marker)
        return head

    def close(self):
        try:
            self.send(b"quit\n")
            self.proc.wait(timeout=5)
        except Exception:
            # A Stockfish that does not quit is killed and then reaped, so no
            # zombie outlives the labelling.
            self.proc.kill()
            self.proc.wait()


FINAL_EVAL = re.compile(rb"Final evaluation[: ]+(none|[+-]?\d+\.\d+)")
SCORE = re.compile(rb"score (cp|mate) (-?\d+)")
EVAL_BATCH = 200  # positions a write; the commands stay well under a pipe buffer


def eval_scores(engine, fens):
    """White-side pawns of each FEN as side-to-move centipawns, None for none."""
    scores = []
    for start in range(0, len(fens), EVAL_BATCH):
        part = fens[start:start + EVAL_BATCH]
        engine.send(b"".join(b"position fen %s\neval\n" % f.encode() for f in part))
        found = []
        # Only whole lines are scanned, each once; the output of one `eval`
        # is about 4 KB of tables before its last line.
        while len(found) < len(part):
            end = engine.pending.rfind(b"\n") + 1
            if end:
                found += FINAL_EVAL.findall(engine.pending, 0, end)
                engine.pending = engine.pending[end:]
            if len(found) < len(part):
                engine.read_more()
        for fen, value in zip(part, found):
            if value == b"none":
                scores.append(None)
                continue
            cp = int(round(float(value) * 100))
            scores.append(cp if " w " in fen else -cp)
    return scores


def search_scores(engine, fens, limit):
    """Side-to-move centipawns of a search of each FEN, None for a mate."""
    # A fresh table for each batch: a batch's labels do not depend on which
    # process labelled the batches before it.
    engine.send(b"ucinewgame\nisready\n")
    engine.read_until(b"readyok")
    scores = []
    for fen in fens:
        engine.send(b"position fen %s\ngo %s\n" % (fen.encode(), limit))
        text = engine.read_until(b"bestmove")
        engine.read_until(b"\n")
        found = SCORE.findall(text)
        if not found or found[-1][0] == b"mate" or abs(int(found[-1][1])) > MATE_LIMIT:
            scores.append(None)
        else:
            scores.append(int(found[-1][1]))
    return scores


def label_batch(state, data, mode, limit):
    """Relabelled records of a batch of input records (bytes in, bytes out)."""
    engine = getattr(state.local, "engine", None)
    if engine is None:
        engine = Stockfish(state.stockfish, state.hash_mb)
        state.local.engine = engine
        with state.lock:
            state.engines.append(engine)
    fields = []
    for offset in range(0, len(data), RECORD_BYTES):
        f = RECORD.unpack_from(data, offset)
        if record_problem(f[0], f[1], f[4], f[5], f[6]) is None:
            fields.append(f)
        elif f[5] & FLAG_FIRST:
            fields.append(None)  # keeps the game boundary for the flag below
    kept = [f for f in fields if f is not None]
    fens = [record_fen(f) for f in kept]
    scores = eval_scores(engine, fens) if mode == "eval" else search_scores(engine, fens, limit)
    out = bytearray()
    carry_first = False
    it = iter(zip(kept, scores))
    for f in fields:
        if f is None:
            carry_first = True
            continue
        f, score = next(it)
        if f[5] & FLAG_FIRST:
            carry_first = True
        if score is None:
            continue
        flags = f[5] & ~FLAG_FIRST
        if carry_first:
            flags |= FLAG_FIRST
            carry_first = False
        score = max(-32767, min(32767, score))
        out += RECORD.pack(f[0], f[1], score, f[3], f[4], flags, f[6], f[7])
    return bytes(out), len(kept) - len(out) // RECORD_BYTES


class State:
    def __init__(self, stockfish, hash_mb):
        self.stockfish = stockfish
        self.hash_mb = hash_mb
        self.local = threading.local()
        self.lock = threading.Lock()
        self.engines = []


def read_progress(path):
    """(input records done, output records written, mode text) or None."""
    try:
        with open(path) as f:
            fields = f.read().split(None, 2)
    except FileNotFoundError:
        return None
    if len(fields) != 3 or not fields[0].isdigit() or not fields[1].isdigit():
        raise ValueError("%s is not a progress file" % path)
    return int(fields[0]), int(fields[1]), fields[2].strip()


def write_progress(path, done, written, mode_text):
    with open(path + ".tmp", "w") as f:
        f.write("%d %d %s\n" % (done, written, mode_text))
    os.replace(path + ".tmp", path)


def input_chunks(paths, skip, batch_bytes):
    """Whole records of the inputs in order, after the first `skip` records,
    cut at the start of a game where one lies in a chunk, so that a game whose
    first record is dropped can pass the first-of-game flag on."""
    leftover = b""
    for data in raw_chunks(paths, skip, batch_bytes):
        data = leftover + data
        cut = 0
        for offset in range(len(data) - RECORD_BYTES, 0, -RECORD_BYTES):
            if data[offset + 29] & FLAG_FIRST:
                cut = offset
                break
        if cut == 0 or len(data) > 4 * batch_bytes:
            cut = len(data)
        leftover = data[cut:]
        yield data[:cut]
    if leftover:
        yield leftover


def raw_chunks(paths, skip, batch_bytes):
    for path in paths:
        size = os.path.getsize(path) // RECORD_BYTES * RECORD_BYTES
        records = size // RECORD_BYTES
        if skip >= records:
            skip -= records
            continue
        with open(path, "rb") as f:
            f.seek(skip * RECORD_BYTES)
            left = size - skip * RECORD_BYTES
            skip = 0
            while left > 0:
                data = f.read(min(batch_bytes, left))
                if not data:
                    break
                left -= len(data)
                yield data


def dump(path):
    with open(path, "rb") as f:
        data = f.read()
    for offset in range(0, len(data) - RECORD_BYTES + 1, RECORD_BYTES):
        f = RECORD.unpack_from(data, offset)
        print("%s;%d;%d;%d%s" % (record_fen(f), f[2], f[4], f[3], ";first" if f[5] & FLAG_FIRST else ""))


def main():
    parser = argparse.ArgumentParser(description="Relabel training records with Stockfish.")
    parser.add_argument("inputs", nargs="*", help="record files, read in order")
    parser.add_argument("--out", help="output record file")
    parser.add_argument("--mode", nargs="+", default=["eval"], metavar="MODE",
                        help="eval | depth N | nodes N")
    parser.add_argument("--workers", type=int, default=os.cpu_count() or 1)
    parser.add_argument("--stockfish", default="/usr/games/stockfish")
    parser.add_argument("--hash", type=int, default=16, help="MB of hash per Stockfish (search modes)")
    parser.add_argument("--batch", type=int, default=0, help="records a batch (default 2000 for eval, 200 else)")
    parser.add_argument("--dump", metavar="FILE", help="print the records of FILE as FEN;score;result;ply and exit")
    args = parser.parse_args()

    if args.dump:
        try:
            dump(args.dump)
        except BrokenPipeError:
            sys.stderr.close()
        return 0
    mode = args.mode[0]
    if mode == "eval" and len(args.mode) == 1:
        limit = None
    elif mode in ("depth", "nodes") and len(args.mode) == 2 and args.mode[1].isdigit() and int(args.mode[1]) > 0:
        limit = b"%s %d" % (mode.encode(), int(args.mode[1]))
    else:
        parser.error("--mode must be 'eval', 'depth N' or 'nodes N'")
    if not args.out or not args.inputs:
        parser.error("--out and at least one input file are needed")
    if args.batch == 0:
        args.batch = 2000 if mode == "eval" else 200
    if args.workers < 1 or args.batch < 1:
        parser.error("--workers and --batch must be at least 1")
    for path in args.inputs:
        if not os.path.isfile(path):
            parser.error("no input file %s" % path)
        if os.path.abspath(path) == os.path.abspath(args.out):
            parser.error("the output must not be one of the inputs")

    mode_text = " ".join(args.mode)
    progress_path = args.out + ".progress"
    try:
        progress = read_progress(progress_path)
    except ValueError as error:
        print("label_stockfish: %s" % error, file=sys.stderr)
        return 1
    if progress is None:
        if os.path.exists(args.out) and os.path.getsize(args.out) > 0:
            print("label_stockfish: %s exists without %s; not overwriting it" % (args.out, progress_path),
                  file=sys.stderr)
            return 1
        progress = (0, 0, mode_text)
    done, written, done_mode = progress
    if done_mode != mode_text:
        print("label_stockfish: %s was labelled with --mode %s, not %s" % (args.out, done_mode, mode_text),
              file=sys.stderr)
        return 1
    if written and (not os.path.exists(args.out) or os.path.getsize(args.out) < written * RECORD_BYTES):
        print("label_stockfish: %s is shorter than %s says" % (args.out, progress_path), file=sys.stderr)
        return 1
    out = open(args.out, "ab+")
    out.truncate(written * RECORD_BYTES)
    out.seek(0, os.SEEK_END)
    total = sum(os.path.getsize(p) // RECORD_BYTES for p in args.inputs)
    if done:
        print("label_stockfish: resuming after %d of %d input records (%d written)" % (done, total, written))

    state = State(args.stockfish, args.hash)
    start = time.time()
    start_done = done
    last_line = start
    dropped = 0
    window = 2 * args.workers
    executor = concurrent.futures.ThreadPoolExecutor(max_workers=args.workers)
    try:
        chunks = input_chunks(args.inputs, done, args.batch * RECORD_BYTES)
        pending = []
        finished = False
        while pending or not finished:
            while not finished and len(pending) < window:
                data = next(chunks, None)
                if data is None:
                    finished = True
                    break
                pending.append((len(data) // RECORD_BYTES, executor.submit(label_batch, state, data, mode, limit)))
            if not pending:
                break
            count, future = pending.pop(0)
            result, dropped_here = future.result()
            out.write(result)
            out.flush()
            done += count
            written += len(result) // RECORD_BYTES
            dropped += dropped_here
            write_progress(progress_path, done, written, mode_text)
            now = time.time()
            if now - last_line >= 5 or (finished and not pending):
                rate = (done - start_done) / max(now - start, 1e-9)
                eta = (total - done) / rate if rate > 0 else 0
                print("labelled %d / %d records, %d written, %d dropped by Stockfish, %.0f records/s "
                      "(%.1f M an hour), ETA %d:%02d:%02d" % (done, total, written, dropped, rate, rate * 3600 / 1e6,
                                                             eta // 3600, eta // 60 % 60, eta % 60), flush=True)
                last_line = now
    except KeyboardInterrupt:
        print("label_stockfish: interrupted; %d input records done, rerun to continue" % done, file=sys.stderr)
        return 130
    finally:
        executor.shutdown(wait=False, cancel_futures=True)
        for engine in state.engines:
            engine.close()
        out.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
