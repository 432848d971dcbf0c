#!/usr/bin/env python3
"""A UCI match runner: two engines play the openings of an EPD/FEN book, each
opening with both colours (a game pair), on a clock (--tc BASE+INC) or at a
fixed time per move (--movetime).  It reports every game, the W/D/L record of
the first engine, its Elo difference with a 95% interval, the likelihood of
superiority and every crash, hang, illegal move, time forfeit and unexplained
"bestmove 0000"; with --sprt it runs a sequential test and stops once it
decides.  With --resume it goes on from the games that a cut-off run of the
same match left in its --pgn file.

A third process, the Vexar engine given as --arbiter, judges the games: it
refuses an illegal move list and its `go` answers "Game over" for mate,
stalemate and draws by rule (50 moves, repetition, bare kings).  Games that
reach --max-plies are drawn; --resign and --draw adjudicate earlier from the
engines' own scores.

Clock games: the tool keeps both clocks, sends
`go wtime W btime B winc I binc I`, measures each move from sending `go` to
reading `bestmove`, subtracts it and adds the increment.  A clock below
-(--time-margin) loses on time.  An engine that does not answer within its
clock plus --hang-timeout is killed (a hang, scored as a loss on time) and
restarted for the next game; so is one that exits or closes its output (a
crash, scored as a loss).

Statistics (tools/match_stats.py): the interval and LOS use the pentanomial
model over complete game pairs with the normal approximation of the mean (the
trinomial model over single games while no pair is complete, and for
comparison in the summary).  The SPRT is the logistic-Elo generalized SPRT
over game pairs: after each complete pair, the log-likelihood ratio of the
pentanomial distributions nearest the observed one whose expected scores are
those of ELO1 and ELO0, against the bounds log(beta/(1-alpha)) and
log((1-beta)/alpha).  Games still in progress when it decides are finished
and counted in W/D/L.

Examples (from the repository root):

  # Vexar against Stockfish at 1350 Elo, 10 s + 0.1 s a game, 20 games
  tools/match.py --arbiter build/vexar-0.9-avx \\
      --first build/vexar-0.9-avx --first-dir data \\
      --second /usr/games/stockfish --second-option UCI_LimitStrength=true --second-option UCI_Elo=1350 \\
      --tc 10+0.1 --games 20

  # Two networks, one binary: each directory holds its network.txt / network.nn
  tools/match.py --arbiter build/vexar-0.9-avx \\
      --first build/vexar-0.9-avx --first-dir nets/new --first-name new \\
      --second build/vexar-0.9-avx --second-dir nets/old --second-name old \\
      --tc 8+0.08 --sprt 0,5 --games 20000 --concurrency 2 --pgn sprt.pgn

  # The fixed-time mode of earlier versions
  tools/match.py --arbiter build/vexar-0.9-avx --first build/vexar-0.9-avx --first-dir data \\
      --second /usr/games/stockfish --second-option UCI_LimitStrength=true \\
      --second-option UCI_Elo=2000 --openings 10 --movetime 100

The exit status is 0 after a finished match, 1 when the engines could not be
started or the arbiter failed, 2 for bad arguments, 130 when Ctrl-C cut the
match off (the summary of the games played is printed all the same).
"""
import argparse
import math
import os
import queue
import random
import re
import shlex
import shutil
import subprocess
import sys
import tempfile
import threading
import time

sys.dont_write_bytecode = True  # no __pycache__ in the source tree
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import match_stats as stats  # noqa: E402

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
DEFAULT_BOOK = os.path.join(REPO, "data", "books", "8moves_v3_balanced.epd")
FAILURES = ("crash", "hang", "illegal", "time", "nullmove")
FAILURE_NAMES = {"crash": "crashes", "hang": "hangs", "illegal": "illegal moves", "time": "time forfeits",
                 "nullmove": "bestmove 0000"}
UCI_MOVE = re.compile(r"[a-h][1-8][a-h][1-8][qrbn]?")
MATE_SCORE = 100000  # a "score mate N" line in centipawns, for adjudication


# ---------------------------------------------------------------------------
# Arguments


def parse_tc(text):
    """'BASE+INC' or 'BASE' in seconds -> (base ms, increment ms)."""
    base, _, inc = text.partition("+")
    try:
        base_s, inc_s = float(base), float(inc or "0")
    except ValueError:
        raise ValueError("time control %r is not BASE+INC in seconds" % text)
    if not (math.isfinite(base_s) and math.isfinite(inc_s)) or round(base_s * 1000) <= 0 or inc_s < 0:
        raise ValueError("time control %r needs a positive base and an increment >= 0" % text)
    return round(base_s * 1000), round(inc_s * 1000)


def parse_option(text):
    name, sep, value = text.partition("=")
    if not sep or not name.strip():
        raise ValueError("engine option %r is not NAME=VALUE" % text)
    return name.strip(), value.strip()


def charge_clock(clock_ms, elapsed_ms, inc_ms, margin_ms):
    """The clock after a move that took elapsed_ms: (new clock, lost on time).
    The increment is added after the check, as a GUI does."""
    left = clock_ms - elapsed_ms
    return left + inc_ms, left < -margin_ms


def read_book(path):
    """The FENs of an EPD or FEN file, one position a line; EPD operations
    after the four fields are dropped, move counters kept when present."""
    fens = []
    with open(path) as book:
        for line in book:
            fields = line.split(";")[0].split()
            if len(fields) < 4 or fields[1] not in ("w", "b"):
                continue
            counters = fields[4:6] if len(fields) >= 6 and all(f.isdigit() for f in fields[4:6]) else ["0", "1"]
            fens.append(" ".join(fields[:4] + counters))
    return fens


def pick_openings(fens, pairs, seed, usable=lambda fen: True):
    """`pairs` openings in a seeded random order, skipping those for which
    usable(fen) is false; the book is gone through in full before an opening
    repeats.  Raises ValueError when no opening is usable."""
    rng = random.Random(seed)
    good = {}
    chosen = []
    while len(chosen) < pairs:
        order = list(fens)
        rng.shuffle(order)
        found = False
        for fen in order:
            if fen not in good:
                good[fen] = usable(fen)
            if good[fen]:
                found = True
                chosen.append(fen)
                if len(chosen) == pairs:
                    break
        if not found:
            raise ValueError("no usable opening in the book")
    return chosen


# ---------------------------------------------------------------------------
# Engine processes


class EngineFailure(Exception):
    """kind 'crash' (exited, closed its output or refused input) or 'hang'."""

    def __init__(self, kind, detail):
        super().__init__(detail)
        self.kind = kind


class EngineSetup:
    def __init__(self, command, directory, options, name):
        self.command = shlex.split(command)
        if not self.command:
            raise ValueError("empty engine command")
        # The engine runs in its own directory: a program given by a path is
        # made absolute first.
        if os.sep in self.command[0] or os.path.exists(self.command[0]):
            self.command[0] = os.path.abspath(self.command[0])
        self.directory = os.path.abspath(directory) if directory else os.getcwd()
        self.options = options
        self.name = name


def stale_conversion(directory):
    """A message when directory holds a network.nn older than the
    network.txt beside it: Vexar reads network.nn first and converts
    network.txt only when network.nn is missing, so it would play with the
    old conversion of another network."""
    binary, text = (os.path.join(directory, n) for n in ("network.nn", "network.txt"))
    if os.path.isfile(binary) and os.path.isfile(text) and os.path.getmtime(text) > os.path.getmtime(binary):
        return ("%s is older than network.txt beside it: the engine would play with that old conversion; delete "
                "it and the engine converts network.txt again" % binary)
    return None


class Engine:
    """One running UCI process.  A thread reads its output into a queue with
    the time each line arrived; every wait has a deadline."""

    def __init__(self, setup, start_timeout):
        self.setup = setup
        self.start_timeout = start_timeout
        self.proc = None
        self.closed = False
        self.id_name = None
        self.network = None
        self.reported_ms = None

    def alive(self):
        return self.proc is not None and self.proc.poll() is None and not self.closed

    def start(self):
        self.kill()
        self.closed = False
        self.lines = queue.Queue()
        try:
            self.proc = subprocess.Popen(self.setup.command, cwd=self.setup.directory, stdin=subprocess.PIPE,
                                         stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        except OSError as error:
            self.proc = None
            raise EngineFailure("crash", "cannot start %s: %s" % (" ".join(self.setup.command), error))
        threading.Thread(target=self._pump, args=(self.proc.stdout, self.lines), daemon=True).start()
        self.send("uci")
        for line in self.wait_for(lambda l: l == "uciok", time.monotonic() + self.start_timeout):
            if line.startswith("id name "):
                self.id_name = line[len("id name "):].strip()
            elif line.startswith("info string Network: "):
                self.network = line[len("info string "):].strip()
        for name, value in self.setup.options:
            self.send("setoption name %s value %s" % (name, value))
        self.sync()

    @staticmethod
    def _pump(stream, lines):
        for raw in stream:
            lines.put((time.monotonic(), raw.decode("latin-1").rstrip("\r\n")))
        lines.put((time.monotonic(), None))

    def send(self, text):
        try:
            self.proc.stdin.write((text + "\n").encode("latin-1"))
            self.proc.stdin.flush()
        except (OSError, ValueError):
            self.closed = True
            raise EngineFailure("crash", "%s does not take input" % self.setup.name)

    def read(self, deadline):
        """(arrival time, line) of the next line before the deadline."""
        try:
            when, line = self.lines.get(timeout=max(0.0, deadline - time.monotonic()))
        except queue.Empty:
            raise EngineFailure("hang", "%s did not answer in time" % self.setup.name)
        if line is None:
            self.closed = True
            raise EngineFailure("crash", "%s closed its output (exit status %s)" % (self.setup.name, self.proc.poll()))
        return when, line

    def wait_for(self, predicate, deadline):
        got = []
        while True:
            line = self.read(deadline)[1]
            got.append(line)
            if predicate(line):
                return got

    def sync(self):
        self.send("isready")
        return self.wait_for(lambda l: l == "readyok", time.monotonic() + self.start_timeout)[:-1]

    def sync_after(self, command):
        self.send(command)
        return self.sync()

    def new_game(self):
        self.send("ucinewgame")
        self.sync()

    def think(self, position, go, deadline):
        """Sends a position and a go command; (best move, milliseconds from
        `go` to `bestmove`, last score in centipawns or None).  The last
        search time the engine reported is kept in `reported_ms`."""
        # Lines left over from before (a second bestmove, late output) must
        # not answer this search.
        while not self.lines.empty():
            if self.lines.get_nowait()[1] is None:
                self.closed = True
                raise EngineFailure("crash", "%s closed its output" % self.setup.name)
        self.send(position)
        self.send(go)
        started = time.monotonic()
        score = None
        self.reported_ms = None
        while True:
            when, line = self.read(deadline)
            fields = line.split()
            if fields[:1] == ["info"] and "time" in fields:
                at = fields.index("time")
                if at + 1 < len(fields) and fields[at + 1].isdigit():
                    self.reported_ms = int(fields[at + 1])
            if fields[:1] == ["info"] and "score" in fields:
                at = fields.index("score")
                try:
                    kind, value = fields[at + 1], int(fields[at + 2])
                    score = value if kind == "cp" else (MATE_SCORE if value > 0 else -MATE_SCORE)
                except (IndexError, ValueError):
                    pass
            if fields[:1] == ["bestmove"]:
                return (fields[1] if len(fields) > 1 else ""), (when - started) * 1000.0, score

    def quit(self):
        if self.alive():
            try:
                self.send("quit")
                self.proc.wait(timeout=2)
            except (EngineFailure, subprocess.TimeoutExpired):
                pass
        self.kill()

    def kill(self):
        if self.proc is not None:
            if self.proc.poll() is None:
                self.proc.kill()
            self.proc.wait()
            for stream in (self.proc.stdin, self.proc.stdout):
                try:
                    stream.close()
                except OSError:
                    pass
            self.proc = None


class ArbiterError(Exception):
    pass


class Arbiter:
    """The Vexar engine as judge of legality and game ends."""

    def __init__(self, path, start_timeout):
        self.directory = tempfile.mkdtemp(prefix="vexar-arbiter-")
        self.engine = Engine(EngineSetup(shlex.quote(path), self.directory, [("Hash", "1")], "arbiter"),
                             start_timeout)
        try:
            self.engine.start()
        except EngineFailure as error:
            raise ArbiterError(str(error))

    def judge(self, fen, moves):
        """'illegal', 'mate', 'pat', 'draw' or None (the game goes on)."""
        try:
            answer = self.engine.sync_after("position fen %s%s" % (fen, " moves " + " ".join(moves) if moves else ""))
            if any(l.startswith("info debug Invalid position") for l in answer):
                return "illegal"
            self.engine.send("go depth 1")
            lines = self.engine.wait_for(lambda l: l.startswith("bestmove"), time.monotonic() + 30)
        except EngineFailure as error:
            raise ArbiterError("arbiter failed: %s" % error)
        for line in lines:
            for outcome in ("mate", "pat", "draw"):
                if line == "info string Game over (%s) !" % outcome:
                    return outcome
        return None

    def close(self):
        self.engine.quit()
        shutil.rmtree(self.directory, ignore_errors=True)


# ---------------------------------------------------------------------------
# One game


class Game:
    """A game's record: `first_white` says which engine had White; `result`
    is from the first engine's view (1, 0.5, 0)."""

    def __init__(self, number, pair, fen, first_white):
        self.number, self.pair, self.fen, self.first_white = number, pair, fen, first_white
        self.moves = []
        self.result = 0.5
        self.reason = ""
        self.failure = None  # (engine index 0/1, kind) of the engine that failed


def lose(game, loser, reason, failure=None):
    game.result = 0.0 if loser == 0 else 1.0
    game.reason = reason
    if failure:
        game.failure = (loser, failure)


def prepare(engine):
    """Starts or restarts an engine where needed and begins a new game."""
    if not engine.alive():
        engine.start()
    engine.new_game()


def play(game, engines, arbiter, cfg):
    """Plays one game between engines[0] (first) and engines[1] (second)."""
    for index, engine in enumerate(engines):
        try:
            prepare(engine)
        except EngineFailure as error:
            engine.kill()
            lose(game, index, "%s: %s" % (error.kind, error), error.kind)
            return
    white_to_move = game.fen.split()[1] == "w"
    # by_colour[0] is the engine index playing White
    by_colour = (0, 1) if game.first_white else (1, 0)
    clock = [cfg.base_ms, cfg.base_ms]
    low_scores = [0, 0]  # consecutive own scores at or below -resign_cp
    drawish = [0, 0]  # consecutive own scores within +-draw_cp
    for ply in range(cfg.max_plies):
        colour = 0 if (ply % 2 == 0) == white_to_move else 1
        mover = by_colour[colour]
        engine = engines[mover]
        position = "position fen %s%s" % (game.fen, " moves " + " ".join(game.moves) if game.moves else "")
        if cfg.base_ms:
            go = "go wtime %d btime %d winc %d binc %d" % (max(1, clock[0]), max(1, clock[1]), cfg.inc_ms, cfg.inc_ms)
            budget = clock[colour]
        else:
            go = "go movetime %d" % cfg.movetime
            budget = cfg.movetime
        deadline = time.monotonic() + (budget + cfg.margin_ms) / 1000.0 + cfg.hang_timeout
        try:
            move, elapsed, score = engine.think(position, go, deadline)
        except EngineFailure as error:
            engine.kill()
            reason = "crash" if error.kind == "crash" else "hang (no bestmove, lost on time)"
            lose(game, mover, reason, error.kind)
            return
        if cfg.base_ms:
            before = clock[colour]
            clock[colour], late = charge_clock(clock[colour], elapsed, cfg.inc_ms, cfg.margin_ms)
            budget_text = "%d ms left" % before
        else:
            late = elapsed > cfg.movetime + cfg.margin_ms
            budget_text = "%d ms a move" % cfg.movetime
        if late:
            if engine.reported_ms is not None:
                budget_text += ", it reported %d ms" % engine.reported_ms
            lose(game, mover, "time forfeit (%.0f ms used, %s)" % (elapsed, budget_text), "time")
            return
        if move in ("", "0000", "(none)"):
            lose(game, mover, "bestmove 0000 in a game not over", "nullmove")
            return
        # Text that is not a move in coordinate notation never reaches the
        # arbiter's command line.
        if not UCI_MOVE.fullmatch(move):
            lose(game, mover, "illegal move %r" % move[:20], "illegal")
            return
        game.moves.append(move)
        outcome = arbiter.judge(game.fen, game.moves)
        if outcome == "illegal":
            game.moves.pop()
            lose(game, mover, "illegal move %s" % move, "illegal")
            return
        if outcome == "mate":
            lose(game, 1 - mover, "mate")
            return
        if outcome in ("pat", "draw"):
            game.result, game.reason = 0.5, "stalemate" if outcome == "pat" else "draw by rule"
            return
        # Adjudication from the scores each engine gives its own moves.
        if cfg.resign:
            count, cp = cfg.resign
            low_scores[mover] = low_scores[mover] + 1 if score is not None and score <= -cp else 0
            if low_scores[mover] >= count:
                lose(game, mover, "adjudicated (resigns)")
                return
        if cfg.draw:
            move_number, count, cp = cfg.draw
            drawish[mover] = drawish[mover] + 1 if score is not None and abs(score) <= cp else 0
            if (ply + 1) // 2 >= move_number and min(drawish) >= count:
                game.result, game.reason = 0.5, "adjudicated (draw)"
                return
    game.result, game.reason = 0.5, "move limit"


# ---------------------------------------------------------------------------
# The match


class Match:
    """Shared state of the worker threads; every field is used under `lock`."""

    def __init__(self, cfg, names):
        self.cfg, self.names = cfg, names
        self.lock = threading.Lock()
        self.stop = threading.Event()
        self.wdl = [0, 0, 0]  # first engine's wins, draws, losses
        self.games_done = 0
        self.pairs = {}  # pair -> results of its finished games
        self.penta = [0, 0, 0, 0, 0]
        self.failures = [dict.fromkeys(FAILURES, 0), dict.fromkeys(FAILURES, 0)]
        self.decision = None
        self.fatal = None
        self.interrupted = False
        self.pgn = open(cfg.pgn, "a") if cfg.pgn else None

    def count(self, game):
        """Adds a finished game to the totals (the caller holds `lock`);
        returns the SPRT state after the game pair it completes, as text, or
        ''."""
        self.games_done += 1
        self.wdl[{1.0: 0, 0.5: 1, 0.0: 2}[game.result]] += 1
        if game.failure:
            self.failures[game.failure[0]][game.failure[1]] += 1
        done = self.pairs.setdefault(game.pair, [])
        done.append(game.result)
        if len(done) != 2:
            return ""
        self.penta[stats.pair_bin(*done)] += 1
        if not self.cfg.sprt:
            return ""
        value = stats.pentanomial_llr(self.penta, *self.cfg.sprt)
        lower, upper = stats.sprt_bounds(self.cfg.alpha, self.cfg.beta)
        decision = stats.sprt_decision(value, self.cfg.alpha, self.cfg.beta)
        if decision and not self.decision:
            self.decision = decision
            self.stop.set()
        return "  LLR %.3f (%.3f, %.3f)" % (value, lower, upper)

    def restore(self, game):
        """Counts a game of an earlier run of this match (already in the PGN)."""
        with self.lock:
            self.count(game)

    def record(self, game):
        with self.lock:
            if self.interrupted:  # a game cut short by Ctrl-C (its engines got the signal too)
                return
            sprt = self.count(game)
            white, black = (0, 1) if game.first_white else (1, 0)
            print("game %d (pair %d): %s - %s %s, %s, %d plies" % (
                game.number + 1, game.pair + 1, self.names[white], self.names[black],
                result_text(game.result if game.first_white else 1 - game.result), game.reason, len(game.moves)))
            print("  score %s: +%d =%d -%d  %.1f%%  (%d games)%s" % (
                self.names[0], self.wdl[0], self.wdl[1], self.wdl[2],
                100.0 * (self.wdl[0] + 0.5 * self.wdl[1]) / self.games_done, self.games_done, sprt), flush=True)
            if self.pgn:
                self.write_pgn(game)

    def write_pgn(self, game):
        white, black = (0, 1) if game.first_white else (1, 0)
        result = result_text(game.result if game.first_white else 1 - game.result)
        if self.cfg.base_ms:
            tc = "%g+%g" % (self.cfg.base_ms / 1000, self.cfg.inc_ms / 1000)
        else:
            tc = "%g/move" % (self.cfg.movetime / 1000)
        tags = [("Event", "Vexar match"), ("Site", "?"), ("Date", time.strftime("%Y.%m.%d")),
                ("Round", "%d.%d" % (game.pair + 1, 1 if game.first_white else 2)), ("White", self.names[white]),
                ("Black", self.names[black]), ("Result", result), ("SetUp", "1"), ("FEN", game.fen),
                ("TimeControl", tc), ("PlyCount", str(len(game.moves))), ("Termination", termination(game))]
        out = ["[%s \"%s\"]" % (k, v.replace("\\", "\\\\").replace('"', '\\"')) for k, v in tags]
        # The moves in UCI notation inside one comment, wrapped for readers
        # that limit the line length.
        words, text = ["{UCI:"] + game.moves + ["}", "{%s}" % game.reason.replace("}", ")"), result], []
        line = ""
        for word in words:
            if line and len(line) + 1 + len(word) > 79:
                text.append(line)
                line = word
            else:
                line = (line + " " + word) if line else word
        text.append(line)
        self.pgn.write("\n".join(out) + "\n\n" + "\n".join(text) + "\n\n")
        self.pgn.flush()


def termination(game):
    """The PGN Termination tag of a game."""
    if game.failure:
        return "time forfeit" if game.failure[1] in ("time", "hang") else "rules infraction"
    if game.reason.startswith("adjudicated") or game.reason == "move limit":
        return "adjudication"
    return "normal"


RESULT_TEXTS = {1.0: "1-0", 0.5: "1/2-1/2", 0.0: "0-1"}
WHITE_SCORES = {text: score for score, text in RESULT_TEXTS.items()}  # the PGN Result tag read back


def result_text(white_score):
    return RESULT_TEXTS[white_score]


# The reason texts `play` gives a failure, by the failure they stand for.
FAILURE_REASONS = (("crash", "crash"), ("hang", "hang"), ("time forfeit", "time"), ("bestmove 0000", "nullmove"),
                   ("illegal move", "illegal"))
PGN_GAME = re.compile(r"((?:\[\w+ \"(?:[^\"\\]|\\.)*\"\]\n)+)\n(.*?)\n\n", re.S)
PGN_TAG = re.compile(r"\[(\w+) \"((?:[^\"\\]|\\.)*)\"\]")
PGN_MOVES = re.compile(r"\{UCI:(?P<moves>[^}]*)\}\s*\{(?P<reason>[^}]*)\}\s*(?P<result>\S+)", re.S)


def read_finished_games(path, names, openings, total_games):
    """The games that an earlier, cut-off run of this match wrote to the PGN
    file `path`: a list of (Game, its PGN text).  A last game that was cut off
    while being written is left out.  Raises ValueError when a game belongs
    to another match: other engines, an opening that is not its pair's, a
    round beyond `total_games`, or a game that stands twice."""
    with open(path) as f:
        text = f.read()
    games, seen = [], set()
    for chunk in PGN_GAME.finditer(text):
        tags = {k: re.sub(r"\\(.)", r"\1", v) for k, v in PGN_TAG.findall(chunk[1])}
        body = PGN_MOVES.fullmatch(" ".join(chunk[2].split("\n")).strip())
        if body is None or body["result"] != tags.get("Result"):
            continue  # not a game this tool wrote in full
        round_ = re.fullmatch(r"(\d+)\.([12])", tags.get("Round", ""))
        if round_ is None or tags["Result"] not in WHITE_SCORES:
            raise ValueError("a game without a round or a result of its own: %r" % chunk[1].splitlines()[0])
        pair, first_white = int(round_[1]) - 1, round_[2] == "1"
        number = 2 * pair + (0 if first_white else 1)
        white, black = (names[0], names[1]) if first_white else (names[1], names[0])
        if number >= total_games or (tags.get("White"), tags.get("Black")) != (white, black):
            raise ValueError("round %s (%s - %s) is not a game of this match"
                             % (tags["Round"], tags.get("White"), tags.get("Black")))
        if tags.get("FEN") != openings[pair]:
            raise ValueError("round %s started from another opening than this match's pair %d"
                             % (tags["Round"], pair + 1))
        if number in seen:
            raise ValueError("round %s stands twice" % tags["Round"])
        seen.add(number)
        game = Game(number, pair, openings[pair], first_white)
        game.moves = body["moves"].split()
        white_score = WHITE_SCORES[tags["Result"]]
        game.result = white_score if first_white else 1.0 - white_score
        game.reason = body["reason"]
        if tags.get("Termination") in ("time forfeit", "rules infraction"):
            kind = next((k for prefix, k in FAILURE_REASONS if game.reason.startswith(prefix)), None)
            if kind:
                game.failure = (0 if game.result == 0.0 else 1, kind)
        games.append((game, chunk[0]))
    return games


def resume(cfg, names, openings):
    """Takes back the finished games of an earlier run from the PGN file and
    rewrites it with just those (so that no cut-off game stays in it); returns
    the Games."""
    if not os.path.exists(cfg.pgn):
        return []
    finished = read_finished_games(cfg.pgn, names, openings, cfg.total_games)
    temporary = cfg.pgn + ".resume"
    with open(temporary, "w") as f:
        f.write("".join(text for _, text in finished))
    os.replace(temporary, cfg.pgn)
    return [game for game, _ in finished]


def worker(match, jobs, setups, arbiter_path):
    engines = [Engine(setup, match.cfg.start_timeout) for setup in setups]
    arbiter = None
    try:
        arbiter = Arbiter(arbiter_path, match.cfg.start_timeout)
        while not match.stop.is_set():
            try:
                game = jobs.get_nowait()
            except queue.Empty:
                break
            play(game, engines, arbiter, match.cfg)
            match.record(game)
    except ArbiterError as error:
        with match.lock:
            match.fatal = str(error)
        match.stop.set()
    finally:
        for engine in engines:
            engine.quit()
        if arbiter:
            arbiter.close()


def summary(match):
    cfg, names = match.cfg, match.names
    w, d, l = match.wdl
    n = w + d + l
    print()
    print("%s vs %s: %d games, W %d D %d L %d (first engine's view), score %.1f%%"
          % (names[0], names[1], n, w, d, l, 100.0 * (w + 0.5 * d) / n if n else 50.0))
    pairs = sum(match.penta)
    tri = stats.trinomial(w, d, l)
    if pairs:
        model = stats.pentanomial(match.penta)
        label = "pentanomial over %d pairs, LL..WW %s" % (pairs, " ".join(map(str, match.penta)))
    else:
        model, label = tri, "trinomial over %d games" % n
    elo, low, high = stats.elo_interval(*model)
    if model[2] > 0:
        interval = "95%% interval [%s, %s]" % (stats.format_elo(low), stats.format_elo(high))
    else:
        interval = "no interval (every sample alike)"
    print("Elo %s, %s (%s)" % (stats.format_elo(elo), interval, label))
    if pairs:
        _, tlow, thigh = stats.elo_interval(*tri)
        if tri[2] > 0:
            print("    trinomial interval over %d games: [%s, %s]" % (n, stats.format_elo(tlow),
                                                                      stats.format_elo(thigh)))
    print("LOS %.1f%%" % (100.0 * stats.los(*model)))
    if cfg.sprt:
        lower, upper = stats.sprt_bounds(cfg.alpha, cfg.beta)
        value = stats.pentanomial_llr(match.penta, *cfg.sprt)
        verdict = {"H0": "H0 accepted (not better by elo1)", "H1": "H1 accepted (better)"}.get(
            match.decision, "no decision")
        print("SPRT elo0 %g elo1 %g alpha %g beta %g: LLR %.3f in (%.3f, %.3f): %s"
              % (cfg.sprt[0], cfg.sprt[1], cfg.alpha, cfg.beta, value, lower, upper, verdict))
    for index in (0, 1):
        f = match.failures[index]
        print("%s: %s" % (names[index], ", ".join("%d %s" % (f[k], FAILURE_NAMES[k]) for k in FAILURES)))
    if match.fatal:
        print("match stopped: %s" % match.fatal)


def build_parser():
    p = argparse.ArgumentParser(
        description="Plays a match between two UCI engines and reports W/D/L, Elo with a 95%% interval "
        "(pentanomial model over game pairs), LOS, failures and optionally an SPRT (logistic-Elo GSPRT "
        "over game pairs).", formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--arbiter", required=True, help="the Vexar binary that judges legality and game ends")
    for which in ("first", "second"):
        p.add_argument("--%s" % which, required=True, help="command of the %s engine (program and arguments)" % which)
        p.add_argument("--%s-dir" % which, help="working directory of the %s engine (default: the current one)"
                       % which)
        p.add_argument("--%s-option" % which, action="append", default=[], metavar="NAME=VALUE",
                       help="UCI option, repeatable")
        p.add_argument("--%s-name" % which, help="display name (default: the engine's id name)")
    p.add_argument("--book", default=DEFAULT_BOOK, help="EPD or FEN file, one opening a line (default: %(default)s)")
    p.add_argument("--seed", type=int, default=1, help="seed of the opening order (default: %(default)s)")
    count = p.add_mutually_exclusive_group()
    count.add_argument("--games", type=int, help="games to play (the maximum with --sprt)")
    count.add_argument("--pairs", "--openings", type=int, dest="pairs",
                       help="game pairs to play, each opening with both colours (default: 10)")
    clock = p.add_mutually_exclusive_group()
    clock.add_argument("--tc", help="clock games: BASE+INC in seconds, e.g. 10+0.1")
    clock.add_argument("--movetime", type=int, help="fixed milliseconds a move (the default, 100, without --tc)")
    p.add_argument("--time-margin", type=int, metavar="MS",
                   help="how far a clock may fall below zero, or a move exceed --movetime, before the game is "
                   "lost on time (default: 0 with --tc, 1000 with --movetime)")
    p.add_argument("--hang-timeout", type=float, default=5.0, metavar="S",
                   help="seconds past the clock before a silent engine is killed as hung (default: %(default)s)")
    p.add_argument("--start-timeout", type=float, default=30.0, metavar="S",
                   help="seconds an engine may take to answer uci/isready (default: %(default)s)")
    p.add_argument("--max-plies", type=int, default=400, help="plies before a game is drawn (default: %(default)s)")
    p.add_argument("--resign", metavar="COUNT,CP",
                   help="an engine whose own score is at or below -CP for COUNT moves in a row loses")
    p.add_argument("--draw", metavar="MOVE,COUNT,CP",
                   help="from move MOVE on (counted from the opening position), a game is drawn once both "
                   "engines' scores were within +-CP for their last COUNT moves")
    p.add_argument("--sprt", metavar="ELO0,ELO1",
                   help="sequential test of H0: Elo = ELO0 against H1: Elo = ELO1 (write --sprt=-5,0 when ELO0 "
                   "is negative)")
    p.add_argument("--alpha", type=float, default=0.05, help="SPRT false positive rate (default: %(default)s)")
    p.add_argument("--beta", type=float, default=0.05, help="SPRT false negative rate (default: %(default)s)")
    p.add_argument("--concurrency", type=int, default=1, help="games played at once (default: %(default)s)")
    p.add_argument("--pgn", help="append the games to this PGN file (moves in UCI notation in a comment)")
    p.add_argument("--resume", action="store_true",
                   help="count the games that an earlier run of the same match left in --pgn and play only the "
                   "others")
    return p


def numbers(text, count, what, kind=float):
    try:
        values = [kind(v) for v in text.split(",")]
    except ValueError:
        values = []
    if len(values) != count:
        raise ValueError("%s needs %d comma-separated numbers, got %r" % (what, count, text))
    return values


def configure(args):
    """Checks the arguments; returns the match configuration (the namespace
    itself, with the derived fields added)."""
    cfg = args
    if cfg.tc:
        cfg.base_ms, cfg.inc_ms = parse_tc(cfg.tc)
        cfg.movetime = 0
    else:
        cfg.base_ms, cfg.inc_ms = 0, 0
        cfg.movetime = 100 if cfg.movetime is None else cfg.movetime
        if cfg.movetime <= 0:
            raise ValueError("--movetime must be positive")
    if cfg.time_margin is None:
        cfg.time_margin = 0 if cfg.tc else 1000
    cfg.margin_ms = cfg.time_margin
    if cfg.margin_ms < 0 or cfg.hang_timeout <= 0 or cfg.start_timeout <= 0:
        raise ValueError("--time-margin, --hang-timeout and --start-timeout must not be negative")
    if not 1 <= cfg.max_plies <= 1500:
        raise ValueError("--max-plies must be within 1..1500 (the move list must fit an engine's input line)")
    if cfg.concurrency < 1:
        raise ValueError("--concurrency must be at least 1")
    if cfg.games is not None and cfg.games < 1 or cfg.pairs is not None and cfg.pairs < 1:
        raise ValueError("--games and --pairs must be positive")
    cfg.total_games = cfg.games if cfg.games is not None else 2 * (cfg.pairs or 10)
    cfg.resign = numbers(cfg.resign, 2, "--resign", int) if cfg.resign else None
    cfg.draw = numbers(cfg.draw, 3, "--draw", int) if cfg.draw else None
    cfg.sprt = numbers(cfg.sprt, 2, "--sprt") if cfg.sprt else None
    if cfg.resume and not cfg.pgn:
        raise ValueError("--resume reads the games of --pgn: name the file")
    if cfg.sprt and not cfg.sprt[0] < cfg.sprt[1]:
        raise ValueError("--sprt needs ELO0 < ELO1")
    if not (0 < cfg.alpha < 1 and 0 < cfg.beta < 1):
        raise ValueError("--alpha and --beta must lie between 0 and 1")
    cfg.first_option = [parse_option(o) for o in cfg.first_option]
    cfg.second_option = [parse_option(o) for o in cfg.second_option]
    return cfg


def main(argv=None):
    parser = build_parser()
    args = parser.parse_args(argv)
    try:
        cfg = configure(args)
        fens = read_book(cfg.book)
        if not fens:
            raise ValueError("no positions in %s" % cfg.book)
        setups = [EngineSetup(cfg.first, cfg.first_dir, cfg.first_option, cfg.first_name or "first"),
                 EngineSetup(cfg.second, cfg.second_dir, cfg.second_option, cfg.second_name or "second")]
        stale = [stale_conversion(setup.directory) for setup in setups]
        if any(stale):
            raise ValueError("; ".join(filter(None, stale)))
    except (ValueError, OSError) as error:
        parser.error(str(error))

    # Start one set of engines here, one after the other, so that start-up
    # problems are reported before any game and engines that convert files in
    # their directory on first start do not do it at the same time; the names
    # come from their `id name` answers.
    probes = [Engine(setup, cfg.start_timeout) for setup in setups]
    try:
        for probe in probes:
            probe.start()
    except EngineFailure as error:
        print("cannot start the engines: %s" % error, file=sys.stderr)
        for probe in probes:
            probe.kill()
        return 1
    for index, (setup, probe) in enumerate(zip(setups, probes)):
        if not (cfg.first_name if index == 0 else cfg.second_name):
            setup.name = probe.id_name or os.path.basename(setup.command[0])
        probe.quit()
    if setups[0].name == setups[1].name:
        setups[0].name += " (1)"
        setups[1].name += " (2)"
    names = [setup.name for setup in setups]
    networks = [(name, probe.network) for name, probe in zip(names, probes) if probe.network]

    # Openings the arbiter refuses, or where the game is already over, are
    # skipped.
    try:
        judge = Arbiter(cfg.arbiter, cfg.start_timeout)
        try:
            skipped = []

            def usable(fen):
                if judge.judge(fen, []) is None:
                    return True
                skipped.append(fen)
                return False

            openings = pick_openings(fens, (cfg.total_games + 1) // 2, cfg.seed, usable)
        finally:
            judge.close()
    except (ArbiterError, ValueError) as error:
        print("cannot choose the openings: %s" % error, file=sys.stderr)
        return 1
    for fen in skipped:
        print("skipped opening (invalid or game over): %s" % fen)
    resumed = []
    if cfg.resume:
        try:
            resumed = resume(cfg, names, openings)
        except (ValueError, OSError) as error:
            print("cannot resume from %s: %s" % (cfg.pgn, error), file=sys.stderr)
            return 1
    finished = {game.number for game in resumed}
    jobs = queue.Queue()
    for number in range(cfg.total_games):
        if number not in finished:
            jobs.put(Game(number, number // 2, openings[number // 2], number % 2 == 0))
    try:
        match = Match(cfg, names)
    except OSError as error:
        print("cannot open the PGN file: %s" % error, file=sys.stderr)
        return 1
    for game in resumed:
        match.restore(game)
    if cfg.base_ms:
        clock = "%s s + %s s a move" % (cfg.base_ms / 1000, cfg.inc_ms / 1000)
    else:
        clock = "%d ms a move" % cfg.movetime
    print("%s vs %s, %d games at most, %s, book %s, seed %d, concurrency %d" % (
        names[0], names[1], cfg.total_games, clock, os.path.basename(cfg.book), cfg.seed, cfg.concurrency),
        flush=True)
    for name, network in networks:
        print("%s: %s" % (name, network), flush=True)
    if resumed:
        print("resumed %d finished games from %s" % (len(resumed), cfg.pgn), flush=True)
    threads = [threading.Thread(target=worker, args=(match, jobs, setups, cfg.arbiter), daemon=True)
               for _ in range(min(cfg.concurrency, jobs.qsize()))]
    for thread in threads:
        thread.start()
    try:
        for thread in threads:
            while thread.is_alive():
                thread.join(0.2)
    except KeyboardInterrupt:
        with match.lock:
            match.interrupted = True
        match.stop.set()
        print("\ninterrupted: games in progress are not counted", flush=True)
    with match.lock:
        summary(match)
    if match.pgn:
        match.pgn.close()
    # A match cut off by Ctrl-C is not a finished one, although its summary
    # is printed: callers must not take it for a result.
    return 1 if match.fatal else 130 if match.interrupted else 0


if __name__ == "__main__":
    sys.exit(main())
