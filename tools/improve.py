#!/usr/bin/env python3
"""One improvement step of generation 0.9's network, in one command:

  1. selfplay  build/datagen plays the shipped network against itself
  2. label     tools/label_stockfish.py --mode eval replaces the scores by
               Stockfish's static evaluation
  3. train     build/trainer fine-tunes the shipped network on them (--resume)
  4. king      (with --king) the same for generation 0.8's network-0.8.nn
  5. match     tools/match.py: the candidate against the shipped network, an
               SPRT over game pairs at 10 s + 0.1 s
  6. king-match  (with --king) the same SPRT for generation 0.8: vexar-0.8
               with the 0.8 candidate against vexar-0.8 with network-0.8.nn
  7. record    only when its SPRT accepts H1 a candidate replaces the
               shipped network (each generation on its own verdict); the
               step (accepted, rejected or without a decision) is appended
               to the history in docs/networks.md

Every stage leaves a marker NAME.done.json in the work folder when it has
finished; the same command run again skips the finished stages, and the
unfinished one resumes where its own tool can (datagen and match.py pick up
their files; label_stockfish.py its progress file; the trainer starts its
short run again).  state.json holds the step's settings and every stage's
results.  A work folder started with other settings is refused.

A rejected step's positions are still the shipped network's games: with
--positions-from an earlier work folder, a new step takes its labelled
positions (a hard link) and its self-play and label results, and starts at
the training, so that other training settings can be tried without playing
the games again.  It is refused unless that folder's network is the one
shipped now and its self-play settings are this step's.

Usage (from the repository root):

  python3 tools/improve.py                       # a full step, build/improve/step-N
  python3 tools/improve.py --positions 2000000 --max-games 600 --king
  python3 tools/improve.py --smoke --work /tmp/x --network /tmp/x-net.txt --history /tmp/x.md
  python3 tools/improve.py --work build/improve/step-2 --positions-from build/improve/step-1 --lr 0.00003
  python3 tools/improve.py --dry-run             # prints the commands only

Exit status: 0 when the step ran to its end (whatever the verdict), 1 when a
stage failed or was interrupted (run the command again to go on), 2 for bad
arguments or a work folder of other settings.
"""
import argparse
import datetime
import hashlib
import json
import os
import re
import resource
import shlex
import shutil
import subprocess
import sys
import time

sys.dont_write_bytecode = True  # no __pycache__ in the source tree

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
RECORD_BYTES = 32
STAGES = ("selfplay", "label", "train", "king", "match", "king-match", "record")
HISTORY_TITLE = "## Improvement steps (tools/improve.py)"

# Sizes of a full step and of --smoke (a run of well under a minute that goes
# through every stage; its verdict means nothing).  An option given on the
# command line wins over both.
# The training defaults are gentle on purpose: 5 M positions are a quarter of
# what the shipped network was trained on, and at its own rate (5 epochs at
# 0.0003) the held-out loss rose epoch by epoch and the candidate lost about
# 58 Elo; 2 epochs at 0.00003 lowered it at every epoch (docs/networks.md).
DEFAULTS = {"positions": 5000000, "nodes": 500, "random_plies": None, "seed": 1, "workers": 2, "epochs": 2,
            "lr": 0.00003, "blend": 0.25, "decay": 0.1, "valid_every": None, "tc": "10+0.1", "sprt": "0,10",
            "alpha": 0.05, "beta": 0.05, "max_games": 1000, "concurrency": 1, "king_epochs": None}
SMOKE = {"positions": 400, "nodes": 100, "epochs": 1, "valid_every": 2, "tc": "1+0.01", "max_games": 2,
         "king_epochs": 1}
# Settings that decide what a stage produces: a work folder is only resumed
# with the same ones.
SETTINGS = ("positions", "nodes", "random_plies", "seed", "workers", "book", "epochs", "lr", "blend", "decay",
            "valid_every", "king", "king_epochs", "tc", "sprt", "alpha", "beta", "max_games", "smoke",
            "positions_from")
# The settings that decide the self-play positions.
DATA_SETTINGS = ("positions", "nodes", "random_plies", "seed", "workers", "book", "smoke")


class StageError(Exception):
    pass


def log(message):
    print("improve: %s" % message, flush=True)


def sha256(path):
    digest = hashlib.sha256()
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(1 << 20), b""):
            digest.update(block)
    return digest.hexdigest()


def write_json(path, data):
    """Writes through a temporary file, so that a marker is whole or absent."""
    temporary = path + ".tmp"
    with open(temporary, "w") as f:
        json.dump(data, f, indent=1, sort_keys=True)
        f.write("\n")
    os.replace(temporary, path)


def read_json(path):
    with open(path) as f:
        return json.load(f)


def children_cpu():
    usage = resource.getrusage(resource.RUSAGE_CHILDREN)
    return usage.ru_utime + usage.ru_stime


def per_hour(count, seconds):
    return round(count * 3600.0 / seconds) if seconds > 0 else None


def record_count(paths):
    return sum(os.path.getsize(p) // RECORD_BYTES for p in paths if os.path.exists(p))


def progress_count(path, default):
    """The count at the start of a progress file, or default without one."""
    try:
        return int(open(path).read().split()[0])
    except (OSError, ValueError, IndexError):
        return default


def selfplay_files(work):
    prefix = "selfplay.w"
    if not os.path.isdir(work):
        return []
    names = [n for n in os.listdir(work) if n.startswith(prefix) and n[len(prefix):].isdigit()]
    return [os.path.join(work, n) for n in sorted(names, key=lambda n: int(n[len(prefix):]))]


def shown(path):
    """A path as the history and the messages show it: from the repository
    root when inside it, else its last component only, so that no folder of
    this machine is written into the checkout's documents."""
    if not path or not os.path.isabs(path):
        return path
    relative = os.path.relpath(path, REPO)
    return relative if not relative.startswith("..") else os.path.basename(path)


def readable(word):
    """A command word for the screen: paths inside the checkout from its root."""
    if os.path.isabs(word) and not os.path.relpath(word, REPO).startswith(".."):
        return os.path.relpath(word, REPO)
    return word


def setting_differences(before, now, names):
    """The settings among names that differ, as 'name BEFORE, not NOW', joined
    by commas; empty when none does."""
    return ", ".join("%s %r, not %r" % (k, before.get(k), now[k]) for k in names if before.get(k) != now[k])


def git_commit():
    try:
        out = subprocess.run(["git", "-C", REPO, "rev-parse", "--short", "HEAD"], capture_output=True, text=True,
                             timeout=30)
        return out.stdout.strip() or "unknown"
    except (OSError, subprocess.SubprocessError):
        return "unknown"


# ---------------------------------------------------------------------------
# Output of the tools


EPOCH_LINE = re.compile(r"^epoch\s+(\d+)\s.*?valid loss ([0-9.eE+-]+)\s+mae ([0-9.]+) cp\s+corr ([0-9.eE+-]+)")


def parse_trainer(text):
    """The held-out figures the trainer printed: the line of epoch
    start-1 (the network it started from, before any step) and of the last
    epoch.  Returns (start, last), each a dict or None."""
    rows = []
    for line in text.splitlines():
        m = EPOCH_LINE.match(line)
        if m:
            rows.append({"epoch": int(m.group(1)), "valid_loss": float(m.group(2)), "mae_cp": float(m.group(3)),
                         "corr": float(m.group(4))})
    if not rows:
        return None, None
    return rows[0], (rows[-1] if len(rows) > 1 else None)


SUMMARY_LINE = re.compile(r"^.* vs .*: (\d+) games, W (\d+) D (\d+) L (\d+) \(first engine's view\)")
ELO_LINE = re.compile(r"^Elo (.*)$")
SPRT_LINE = re.compile(r"^SPRT elo0 \S+ elo1 \S+ alpha \S+ beta \S+: LLR (\S+) in \((\S+), (\S+)\): (.*)$")


def parse_match(text):
    """The last summary that match.py printed: games, W/D/L of the candidate
    (the first engine), Elo line, LLR and the verdict: 'H1' (accepted, the
    candidate is better), 'H0' (rejected) or 'none' (no decision).  None when
    no complete summary is in the text."""
    result = None
    for line in text.splitlines():
        m = SUMMARY_LINE.match(line)
        if m:
            result = {"games": int(m.group(1)), "wins": int(m.group(2)), "draws": int(m.group(3)),
                      "losses": int(m.group(4)), "elo": None, "llr": None, "verdict": None}
            continue
        if result is None:
            continue
        m = ELO_LINE.match(line)
        if m and result["elo"] is None:
            result["elo"] = m.group(1)
            continue
        m = SPRT_LINE.match(line)
        if m:
            result["llr"] = float(m.group(1))
            words = m.group(4)
            result["verdict"] = "H1" if words.startswith("H1 accepted") else \
                "H0" if words.startswith("H0 accepted") else "none"
    if result is None or result["verdict"] is None:
        return None
    return result


# ---------------------------------------------------------------------------
# Running the stages


class Step:
    def __init__(self, args):
        self.args = args
        self.work = args.work
        self.build = args.build
        self.state_path = os.path.join(self.work, "state.json")
        self.state = None
        self.started = time.time()

    def path(self, *names):
        return os.path.join(self.work, *names)

    def marker(self, stage):
        return self.path("%s.done.json" % stage)

    def done(self, stage):
        return os.path.exists(self.marker(stage))

    def elapsed(self):
        s = int(time.time() - self.started)
        return "%d:%02d:%02d" % (s // 3600, s // 60 % 60, s % 60)

    def niced(self, command):
        return (["nice", "-n", str(self.args.nice)] if self.args.nice else []) + command

    def run(self, command, log_name, append=True):
        """Runs a command at the step's priority, its output shown and kept in
        WORK/log_name; returns (exit status, output, wall seconds, CPU
        seconds of it and its children)."""
        command = self.niced(command)
        text = " ".join(shlex.quote(readable(c)) for c in command)
        log("  $ %s" % text)
        if self.args.dry_run:
            return 0, "", 0.0, 0.0
        cpu0, wall0 = children_cpu(), time.time()
        lines = []
        with open(self.path(log_name), "a" if append else "w") as logfile:
            logfile.write("$ %s\n" % text)
            try:
                process = subprocess.Popen(command, cwd=REPO, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                           text=True, bufsize=1)
            except OSError as error:
                raise StageError("cannot run %s: %s" % (command[0], error))
            try:
                for line in process.stdout:
                    lines.append(line)
                    logfile.write(line)
                    logfile.flush()
                    sys.stdout.write("    " + line)
                    sys.stdout.flush()
                status = process.wait()
            except KeyboardInterrupt:
                # The child got the same Ctrl-C: let it write what it has.
                try:
                    process.wait(timeout=30)
                except subprocess.TimeoutExpired:
                    process.kill()
                    process.wait()
                raise
        return status, "".join(lines), time.time() - wall0, children_cpu() - cpu0

    # -- state

    def settings(self):
        a = self.args
        return {name: getattr(a, name) for name in SETTINGS}

    def open(self):
        """Creates the work folder, or checks that it belongs to the same
        step; takes the snapshot of the shipped network."""
        settings = self.settings()
        if os.path.exists(self.state_path):
            self.state = read_json(self.state_path)
            differing = setting_differences(self.state["settings"], settings, sorted(settings))
            if differing:
                raise ValueError("%s was started with other settings (%s); give another --work or the same "
                                 "options" % (self.work, differing))
            return
        if self.args.dry_run:
            self.state = {"settings": settings, "stages": {}}
            return
        os.makedirs(self.path("shipped"), exist_ok=True)
        os.makedirs(self.path("candidate"), exist_ok=True)
        # The step works on a copy of the shipped network taken now, so that
        # the data, the training and the match all see the same one.
        shutil.copyfile(self.args.network, self.path("shipped", "network.txt"))
        self.state = {"settings": settings, "network": self.args.network,
                      "shipped_sha256": sha256(self.path("shipped", "network.txt")),
                      "created": datetime.datetime.now(datetime.timezone.utc).isoformat(timespec="seconds"),
                      "command": " ".join(["python3", shown(sys.argv[0])] + [shlex.quote(shown(a))
                                                                               for a in sys.argv[1:]]),
                      "commit": git_commit(), "cores": os.cpu_count(),
                      "load_average": round(os.getloadavg()[0], 2), "stages": {}}
        if self.args.positions_from:
            self.take_positions(self.args.positions_from)
        write_json(self.state_path, self.state)

    def take_positions(self, source):
        """Starts this step from the labelled positions of the step in folder
        source: they must be games of the network shipped now, played with
        this step's self-play settings."""
        state_path = os.path.join(source, "state.json")
        if not os.path.exists(os.path.join(source, "label.done.json")) or not os.path.exists(state_path):
            raise ValueError("%s has no finished labels to take" % readable(source))
        other = read_json(state_path)
        if other.get("shipped_sha256") != self.state["shipped_sha256"]:
            raise ValueError("the positions of %s are games of another network than %s"
                             % (readable(source), readable(self.args.network)))
        differing = setting_differences(other["settings"], self.state["settings"], DATA_SETTINGS)
        if differing:
            raise ValueError("%s played its games with other settings (%s)" % (readable(source), differing))
        target = self.path("labelled.bin")
        try:
            os.link(os.path.join(source, "labelled.bin"), target)
        except OSError:
            shutil.copyfile(os.path.join(source, "labelled.bin"), target)
        for name in ("selfplay_runs", "label_runs"):
            if name in other:
                self.state[name] = other[name]
        for stage in ("selfplay", "label"):
            result = dict(other["stages"][stage], reused_from=shown(source))
            self.state["stages"][stage] = result
            write_json(self.marker(stage), result)

    def finish(self, stage, result):
        result["finished"] = datetime.datetime.now(datetime.timezone.utc).isoformat(timespec="seconds")
        self.state["stages"][stage] = result
        if self.args.dry_run:
            return
        write_json(self.state_path, self.state)
        write_json(self.marker(stage), result)

    # -- stages

    def add_run(self, name, unit, count, wall, cpu):
        """Adds one run of a stage (its count of positions or records, wall
        and CPU seconds) to the totals kept in the state over resumed runs."""
        runs = self.state.setdefault(name, {unit: 0, "wall_s": 0.0, "cpu_s": 0.0})
        runs[unit] += max(count, 0)
        runs["wall_s"] += wall
        runs["cpu_s"] += cpu
        if not self.args.dry_run:
            write_json(self.state_path, self.state)
        return runs

    def rates(self, runs, unit):
        """The stage's times and its rates an hour: a core (CPU time) and a
        worker (wall clock)."""
        return {"wall_s": round(runs["wall_s"], 1), "cpu_s": round(runs["cpu_s"], 1),
                "positions_per_hour_per_core": per_hour(runs[unit], runs["cpu_s"]),
                "positions_per_hour_per_worker_wall": per_hour(runs[unit], runs["wall_s"] * self.args.workers)}

    def selfplay(self):
        a = self.args
        files_before = selfplay_files(self.work)
        before = record_count(files_before)
        command = [os.path.join(self.build, "datagen"), "--out", self.path("selfplay"), "--positions",
                   str(a.positions), "--seed", str(a.seed), "--nodes", str(a.nodes), "--workers", str(a.workers),
                   "--network", self.path("shipped", "network.txt"), "--progress", "30"]
        if a.random_plies is not None:
            command += ["--random-plies", str(a.random_plies)]
        if a.book:
            command += ["--book", a.book]
        status, _, wall, cpu = self.run(command, "selfplay.log")
        files = selfplay_files(self.work)
        made = record_count(files) - before
        runs = self.add_run("selfplay_runs", "positions", made, wall, cpu)
        if status != 0:
            raise StageError("datagen exited with status %d (see %s)" % (status, self.path("selfplay.log")))
        total = record_count(files)
        if not a.dry_run and total < a.positions:
            raise StageError("datagen stopped at %d of %d positions" % (total, a.positions))
        return {"positions": total, "files": [os.path.basename(f) for f in files], **self.rates(runs, "positions")}

    def label(self):
        a = self.args
        inputs = selfplay_files(self.work)
        if self.args.dry_run and not inputs:
            inputs = [self.path("selfplay.w%d" % k) for k in range(self.args.workers)]
        out = self.path("labelled.bin")
        progress = out + ".progress"
        done_before = progress_count(progress, 0)
        command = [sys.executable, os.path.join(REPO, "tools", "label_stockfish.py"), "--mode", "eval",
                   "--workers", str(a.workers), "--stockfish", a.stockfish, "--out", out] + inputs
        status, _, wall, cpu = self.run(command, "label.log")
        total_in = record_count(inputs)
        done_now = progress_count(progress, done_before)
        runs = self.add_run("label_runs", "records", done_now - done_before, wall, cpu)
        if status != 0:
            raise StageError("label_stockfish.py exited with status %d (see %s)" % (status, self.path("label.log")))
        written = record_count([out])
        if not a.dry_run and written == 0:
            raise StageError("Stockfish labelled no position")
        return {"input_records": total_in, "labelled_records": written, "dropped": total_in - written,
                **self.rates(runs, "records")}

    def trainer_command(self, king):
        a = self.args
        folder = self.path("king-train" if king else "train")
        if not a.dry_run:
            os.makedirs(folder, exist_ok=True)
        out = os.path.join(folder, "network.nn" if king else "network.txt")
        command = [os.path.join(self.build, "trainer"), "--records", self.path("labelled.bin"), "--out", out,
                   "--csv", os.path.join(folder, "loss.csv"),
                   "--resume", a.king_network if king else self.path("shipped", "network.txt"),
                   "--epochs", str(a.king_epochs if king else a.epochs), "--threads", "2", "--lr", str(a.lr),
                   "--blend", str(a.blend), "--decay", "0" if king else str(a.decay), "--seed", str(a.seed)]
        if king:
            command[1:1] = ["--king", "--king-lr", "0.1"]
        if a.valid_every:
            command += ["--valid-every", str(a.valid_every)]
        if shutil.which("gnuplot"):
            command += ["--plot", os.path.join(folder, "loss.png")]
        return command, out

    def train(self, king=False):
        name = "king" if king else "train"
        command, out = self.trainer_command(king)
        # The 0.8 network is read in place: remember which one the
        # candidate was trained from, so that only that one is replaced.
        start_sha256 = sha256(self.args.king_network) if king and not self.args.dry_run else None
        # An interrupted training starts again from the shipped network: it is
        # the short stage, and its first line must measure the shipped network.
        status, text, wall, _ = self.run(command, name + ".log", append=False)
        if status != 0:
            raise StageError("the trainer exited with status %d (see %s)" % (status, self.path(name + ".log")))
        if self.args.dry_run:
            return {}
        start, last = parse_trainer(text)
        if start is None or last is None:
            raise StageError("no held-out losses in the trainer's output (see %s)" % self.path(name + ".log"))
        result = {"shipped_valid": start, "candidate_valid": last, "wall_s": round(wall, 1)}
        if king:
            result["network"] = shown(out)
            result["shipped_sha256"] = start_sha256
        else:
            # Only a finished training becomes the candidate; the engine
            # converts network.txt into network.nn on its first start, so an
            # old conversion must not stay next to it.
            shutil.copyfile(out, self.path("candidate", "network.txt"))
            result["sha256"] = sha256(self.path("candidate", "network.txt"))
        return result

    def match(self):
        # Each engine reads network.nn first and makes it from network.txt
        # when missing: clear conversions that might be of another file.
        if not self.args.dry_run:
            for side in ("candidate", "shipped"):
                stale = self.path(side, "network.nn")
                if os.path.exists(stale):
                    os.remove(stale)
            if sha256(self.path("candidate", "network.txt")) != self.state["stages"]["train"]["sha256"]:
                raise StageError("%s is not the network the training wrote" % self.path("candidate", "network.txt"))
        return self.sprt("vexar-0.9-avx", self.path("candidate"), self.path("shipped"), "", "match")

    def king_match(self):
        """The 0.8 candidate against a copy of the 0.8 network it was
        trained from; vexar-0.8 reads network.nn from its working folder."""
        a = self.args
        shipped = self.path("king-shipped")
        result_sha256 = None
        if not a.dry_run:
            os.makedirs(shipped, exist_ok=True)
            copy = os.path.join(shipped, "network.nn")
            shutil.copyfile(a.king_network, copy)
            result_sha256 = sha256(copy)
            # Work folders whose king stage predates this record take the
            # file as it is now.
            start = self.state["stages"]["king"].get("shipped_sha256") or result_sha256
            if result_sha256 != start:
                raise StageError("%s changed since the 0.8 training; run the step again in a new folder"
                                 % readable(a.king_network))
        result = self.sprt("vexar-0.8", self.path("king-train"), shipped, "-0.8", "king-match")
        if result:
            result["shipped_sha256"] = result_sha256
        return result

    def sprt(self, program, candidate, shipped, suffix, name):
        """An SPRT match of program run in folder candidate against the same
        program in folder shipped, resumed from WORK/name.pgn; returns what
        parse_match read, with the wall time over all runs."""
        a = self.args
        engine = os.path.join(self.build, program)
        command = [sys.executable, os.path.join(REPO, "tools", "match.py"),
                   "--arbiter", os.path.join(self.build, "vexar-0.9-avx"),
                   "--first", engine, "--first-dir", candidate, "--first-name", "candidate" + suffix,
                   "--second", engine, "--second-dir", shipped, "--second-name", "shipped" + suffix,
                   "--tc", a.tc, "--sprt=%s" % a.sprt, "--alpha", str(a.alpha), "--beta", str(a.beta),
                   "--games", str(a.max_games), "--concurrency", str(a.concurrency), "--seed", str(a.seed),
                   "--pgn", self.path(name + ".pgn"), "--resume"]
        status, text, wall, _ = self.run(command, name + ".log")
        if a.dry_run:
            return {}
        if status == 130:
            raise StageError("the match was interrupted; run the same command again to go on")
        if status != 0:
            raise StageError("match.py exited with status %d (see %s)" % (status, self.path(name + ".log")))
        result = parse_match(text)
        if result is None:
            raise StageError("no SPRT summary in match.py's output (see %s)" % self.path(name + ".log"))
        # match.py also prints its summary after Ctrl-C, with exit status 0:
        # a match cut off before its verdict or its last game is not finished.
        if "\ninterrupted: games in progress" in text or \
                (result["verdict"] == "none" and result["games"] < a.max_games):
            raise StageError("the match was cut off after %d games; run the command again to go on"
                             % result["games"])
        runs = self.state.setdefault(name.replace("-", "_") + "_runs", {"wall_s": 0.0})
        runs["wall_s"] += wall
        result["wall_s"] = round(runs["wall_s"], 1)
        return result

    def record(self):
        """Installs each candidate whose SPRT accepted it and appends the
        step to the history either way."""
        a = self.args
        if a.dry_run:
            log("  a candidate replaces %s%s only when its SPRT accepts H1; the step goes to %s"
                % (shown(a.network), " (or %s)" % shown(a.king_network) if a.king else "", shown(a.history)))
            return {}
        stages = self.state["stages"]
        result = {}
        for key, match, candidate, target, shipped_sha256 in (
                ("", "match", self.path("candidate", "network.txt"), a.network, self.state["shipped_sha256"]),
                ("king_", "king-match", self.path("king-train", "network.nn"), a.king_network,
                 stages.get("king-match", {}).get("shipped_sha256"))):
            if match not in stages:
                continue
            verdict = stages[match]["verdict"]
            installed = verdict == "H1" and not a.no_install
            if installed:
                install(candidate, target, shipped_sha256)
                log("%s replaced by the candidate" % readable(target))
            result[key + "verdict"] = verdict
            result[key + "installed"] = installed
            result[key + "outcome"] = ("accepted, installed" if installed else
                                       "accepted, not installed (--no-install)" if verdict == "H1" else
                                       "rejected, network unchanged" if verdict == "H0" else
                                       "no decision within %d games, network unchanged" % a.max_games)
        if "match" not in stages:
            result.update(verdict="none", installed=False, outcome="0.9 candidate not tested, network unchanged")
        entry = history_entry(self.state, self.args, result["outcome"], result.get("king_outcome"))
        append_history(a.history, entry)
        log("history: %s" % a.history)
        return result


def install(candidate, target, shipped_sha256):
    """Replaces target by candidate, in one rename, provided target is still
    the network the step started from (one installed meanwhile is kept)."""
    if sha256(target) == sha256(candidate):
        return  # installed by an earlier run that stopped before its marker
    if sha256(target) != shipped_sha256:
        raise StageError("%s changed since the step began; the candidate was not installed" % target)
    temporary = target + ".improve-tmp"
    shutil.copyfile(candidate, temporary)
    os.replace(temporary, target)


def fmt_rate(value):
    return "%.2f M" % (value / 1e6) if value else "?"


def match_line(what, args, m, outcome):
    return ("- %s (`tools/match.py`, %s, SPRT elo0 %s elo1 %s, alpha %g, beta %g, at most %d games, %d at a time, "
            "%.0f s): %d games, W %d D %d L %d, Elo %s, LLR %.3f: %s%s."
            % (what, args.tc, *args.sprt.split(","), args.alpha, args.beta, args.max_games, args.concurrency,
               m.get("wall_s", 0), m["games"], m["wins"], m["draws"], m["losses"], m["elo"], m["llr"],
               {"H1": "H1 accepted", "H0": "H0 accepted"}.get(m["verdict"], "no decision"),
               "; %s" % outcome if outcome else ""))


def history_entry(state, args, outcome, king_outcome=None):
    st = state["stages"]
    sp, lb, tr, m = st.get("selfplay", {}), st.get("label", {}), st.get("train", {}), st.get("match", {})
    date = datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d")
    lines = ["### Step of %s, %s: %s" % (date, shown(args.work), outcome), "",
        "*Recorded %s, commit %s, on a %s-core machine (load average %s when the step began).*"
        % (date, state.get("commit", "unknown"), state.get("cores", "?"), state.get("load_average", "?")), "",
        "    %s" % state.get("command", ""), ""]
    if "reused_from" in sp:
        lines.append("- The positions are those of `%s`, games of the same network (self-play and labels not run "
                     "again)." % sp["reused_from"])
    lines += [
        "- Self-play: %s positions, %s nodes a move, seed %s, %s workers; %s positions an hour a core "
        "(CPU time), %s an hour a worker (wall clock, %.0f s)."
        % (format(sp.get("positions", 0), ","), args.nodes, args.seed, args.workers,
           fmt_rate(sp.get("positions_per_hour_per_core")), fmt_rate(sp.get("positions_per_hour_per_worker_wall")),
           sp.get("wall_s", 0)),
        "- Labels (Stockfish static evaluation): %s of %s records kept; %s positions an hour a core (CPU time), "
        "%s an hour a worker (wall clock, %.0f s)."
        % (format(lb.get("labelled_records", 0), ","), format(lb.get("input_records", 0), ","),
           fmt_rate(lb.get("positions_per_hour_per_core")), fmt_rate(lb.get("positions_per_hour_per_worker_wall")),
           lb.get("wall_s", 0))]
    if tr:
        c, s = tr["candidate_valid"], tr["shipped_valid"]
        lines.append("- Training from the shipped network: epochs %d, lr %g, blend %g, decay %g, %.0f s.  Held-out "
                     "loss %.5f (mae %.0f cp, corr %.3f); the shipped network on the same positions %.5f (%.0f cp, "
                     "%.3f)." % (args.epochs, args.lr, args.blend, args.decay, tr["wall_s"], c["valid_loss"],
                                 c["mae_cp"], c["corr"], s["valid_loss"], s["mae_cp"], s["corr"]))
    if "king" in st:
        k = st["king"]
        lines.append("- Generation 0.8 (--king, `%s`): held-out loss %.5f, before %.5f."
                     % (k["network"], k["candidate_valid"]["valid_loss"], k["shipped_valid"]["valid_loss"]))
    if m:
        lines.append(match_line("Match", args, m, None))
    elif tr:
        lines.append("- Match: not played (`--skip-match`); the 0.9 candidate is not installed.")
    if "king-match" in st:
        lines.append(match_line("Match of generation 0.8, vexar-0.8 against itself", args, st["king-match"], king_outcome))
    return "\n".join(lines) + "\n"


def append_history(path, entry):
    text = open(path).read() if os.path.exists(path) else ""
    if HISTORY_TITLE not in text:
        addition = ("" if text.endswith("\n\n") or not text else "\n" if text.endswith("\n") else "\n\n") + \
            HISTORY_TITLE + "\n\nOne entry a step of `tools/improve.py` " + \
            "([training.md](training.md#one-improvement-step-toolsimprovepy)), newest last.\n\n" + entry
    else:
        addition = ("\n" if text.endswith("\n") else "\n\n") + entry
    with open(path, "a") as f:
        f.write(addition)


# ---------------------------------------------------------------------------
# Command line


def default_work(base):
    """The highest step-N under base that has not recorded its end, or the
    next number."""
    numbers = []
    if os.path.isdir(base):
        for name in os.listdir(base):
            if name.startswith("step-") and name[5:].isdigit():
                numbers.append(int(name[5:]))
    for n in sorted(numbers, reverse=True):
        if not os.path.exists(os.path.join(base, "step-%d" % n, "record.done.json")):
            return os.path.join(base, "step-%d" % n)
        break
    return os.path.join(base, "step-%d" % (max(numbers, default=0) + 1))


def build_parser():
    p = argparse.ArgumentParser(description="One improvement step of the 0.9 network: self-play, Stockfish labels, "
                                "fine-tuning, an SPRT match against the shipped network, installation only when "
                                "it accepts.  Resumable: run the same command again.")
    p.add_argument("--work", help="work folder (default: the unfinished build/improve/step-N, else the next N)")
    p.add_argument("--positions", type=int, help="self-play positions (default %d)" % DEFAULTS["positions"])
    p.add_argument("--nodes", type=int, help="nodes a move in self-play (default %d)" % DEFAULTS["nodes"])
    p.add_argument("--random-plies", type=int, help="random plies after the book line (default: datagen's, 8)")
    p.add_argument("--book", help="opening book of the self-play (default: datagen's)")
    p.add_argument("--seed", type=int, help="seed of the self-play, the training and the match openings (default 1)")
    p.add_argument("--workers", type=int, help="datagen workers and Stockfish processes (default 2)")
    p.add_argument("--epochs", type=int, help="training epochs (default %d)" % DEFAULTS["epochs"])
    p.add_argument("--lr", type=float, help="learning rate (default %g)" % DEFAULTS["lr"])
    p.add_argument("--blend", type=float, help="weight of the game result (default %g)" % DEFAULTS["blend"])
    p.add_argument("--decay", type=float, help="weight decay of the 0.9 training (default %g)" % DEFAULTS["decay"])
    p.add_argument("--positions-from", metavar="WORK",
                   help="take the labelled positions of this earlier step's work folder (games of the network "
                   "shipped now, same self-play settings) and start at the training")
    p.add_argument("--valid-every", type=int, help="hold out every N-th game (default: the trainer's, 20)")
    p.add_argument("--tc", help="match clock BASE+INC in seconds (default %s)" % DEFAULTS["tc"])
    p.add_argument("--sprt", help="ELO0,ELO1 of the SPRT (default %s)" % DEFAULTS["sprt"])
    p.add_argument("--alpha", type=float, help="SPRT false positive rate (default 0.05)")
    p.add_argument("--beta", type=float, help="SPRT false negative rate (default 0.05)")
    p.add_argument("--max-games", type=int, help="games at most (default %d)" % DEFAULTS["max_games"])
    p.add_argument("--concurrency", type=int,
                   help="games at once (default 1: one engine thinks at a time, the other core is left to "
                   "the match runner and the arbiter, so neither side's clock is eaten by the other)")
    p.add_argument("--king", action="store_true",
                   help="also fine-tune generation 0.8's network and test it in its own SPRT (installed into "
                   "--king-network when that accepts)")
    p.add_argument("--king-epochs", type=int, help="epochs of the --king training (default: --epochs)")
    p.add_argument("--king-network", default=os.path.join("data", "network-0.8.nn"),
                   help="the 0.8 network --king starts from and replaces on acceptance (default %(default)s)")
    p.add_argument("--network", default=os.path.join("data", "network.txt"),
                   help="the shipped network: the step starts from it and replaces it on acceptance "
                   "(default %(default)s)")
    p.add_argument("--history", default=os.path.join("docs", "networks.md"),
                   help="file the step is appended to (default %(default)s)")
    p.add_argument("--build", default="build",
                   help="folder of datagen, trainer and vexar-0.9-avx (default %(default)s)")
    p.add_argument("--stockfish", default="/usr/games/stockfish", help="Stockfish for the labels (default %(default)s)")
    p.add_argument("--nice", type=int, default=10, help="priority of every stage (default %(default)s; 0: unchanged)")
    p.add_argument("--stop-after", choices=STAGES, help="stop once this stage is done")
    p.add_argument("--smoke", action="store_true",
                   help="tiny sizes through every stage (%s), to check the pipeline"
                   % ", ".join("%s %s" % (k.replace("_", "-"), v) for k, v in SMOKE.items()))
    p.add_argument("--dry-run", action="store_true", help="print the commands of the stages still to run, run none")
    p.add_argument("--no-install", action="store_true", help="never replace the network, even when accepted")
    p.add_argument("--skip-match", action="store_true",
                   help="leave the 0.9 candidate untested and the 0.9 network as it is (with --king, only the 0.8 "
                   "candidate plays its SPRT, for a session with time for one test)")
    return p


def configure(argv=None):
    parser = build_parser()
    args = parser.parse_args(argv)
    for name, value in DEFAULTS.items():
        if getattr(args, name) is None:
            setattr(args, name, SMOKE.get(name, value) if args.smoke else value)
    if args.king_epochs is None:
        args.king_epochs = args.epochs
    try:
        elo = [float(v) for v in args.sprt.split(",")]
    except ValueError:
        elo = []
    problems = []
    if len(elo) != 2 or not elo[0] < elo[1]:
        problems.append("--sprt needs ELO0,ELO1 with ELO0 < ELO1")
    if not re.fullmatch(r"[0-9.]+(\+[0-9.]+)?", args.tc):
        problems.append("--tc needs BASE+INC in seconds")
    for name in ("positions", "nodes", "workers", "epochs", "king_epochs", "max_games", "concurrency"):
        if getattr(args, name) < 1:
            problems.append("--%s must be positive" % name.replace("_", "-"))
    if args.max_games < 2:
        problems.append("--max-games must be at least 2 (the SPRT counts game pairs)")
    if not 0 < args.alpha < 1 or not 0 < args.beta < 1:
        problems.append("--alpha and --beta must lie between 0 and 1")
    if not 0 <= args.blend <= 1:
        problems.append("--blend must lie between 0 and 1")
    # Paths are taken from the repository root, where the stages run.
    for name in ("network", "history", "build", "king_network"):
        setattr(args, name, os.path.abspath(os.path.join(REPO, getattr(args, name))))
    if args.book:
        args.book = os.path.abspath(os.path.join(REPO, args.book))
    if args.positions_from:
        args.positions_from = os.path.abspath(os.path.join(REPO, args.positions_from))
    if not os.path.isfile(args.network):
        problems.append("no network %s" % args.network)
    if args.king and not os.path.isfile(args.king_network):
        problems.append("no 0.8 network %s" % args.king_network)
    needed = ["datagen", "trainer", "vexar-0.9-avx"] + (["vexar-0.8"] if args.king else [])
    missing = [n for n in needed if not os.access(os.path.join(args.build, n), os.X_OK)]
    if missing and not args.dry_run:
        problems.append("not built: %s (cmake --build %s --target %s)"
                        % (", ".join(missing), os.path.relpath(args.build, REPO), " ".join(missing)))
    if not args.dry_run and not os.access(args.stockfish, os.X_OK):
        problems.append("no Stockfish at %s (Debian package stockfish)" % args.stockfish)
    if problems:
        parser.error("; ".join(problems))
    args.work = os.path.abspath(os.path.join(REPO, args.work)) if args.work else \
        default_work(os.path.join(REPO, "build", "improve"))
    return args


def main(argv=None):
    args = configure(argv)
    step = Step(args)
    try:
        step.open()
    except (ValueError, OSError) as error:
        print("improve: %s" % error, file=sys.stderr)
        return 2
    log("work folder %s%s" % (readable(args.work), " (dry run: nothing is run)" if args.dry_run else ""))
    actions = {"selfplay": step.selfplay, "label": step.label, "train": step.train,
               "king": lambda: step.train(king=True), "match": step.match, "king-match": step.king_match,
               "record": step.record}
    for stage in STAGES:
        if stage in ("king", "king-match") and not args.king or stage == "match" and args.skip_match:
            pass
        elif step.done(stage):
            log("[%s] %s: already done, skipped" % (step.elapsed(), stage))
        else:
            log("[%s] %s: started" % (step.elapsed(), stage))
            began = time.time()
            try:
                result = actions[stage]()
            except StageError as error:
                log("[%s] %s: FAILED: %s" % (step.elapsed(), stage, error))
                return 1
            except KeyboardInterrupt:
                log("[%s] %s: interrupted; run the same command again to go on" % (step.elapsed(), stage))
                return 1
            step.finish(stage, result)
            if not args.dry_run:
                log("[%s] %s: done in %.0f s" % (step.elapsed(), stage, time.time() - began))
        if stage == args.stop_after:
            log("stopped after %s (--stop-after)" % stage)
            return 0
    if args.dry_run:
        return 0
    rec = step.state["stages"]["record"]
    log("verdict: %s" % rec["outcome"])
    if "king_outcome" in rec:
        log("verdict of generation 0.8: %s" % rec["king_outcome"])
    if rec.get("king_installed"):
        log("%s changed: copy it as network.nn into vexar-0.8's working folder" % readable(args.king_network))
    if rec["installed"]:
        rel = readable(args.network)
        log("the shipped network changed: rebuild (the programs embed %s), then update the bench signatures in "
            "README.md from:" % rel)
        # --build may name a folder of copied programs rather than a CMake
        # build folder; then the programs to rebuild are those of build/.
        build = args.build if os.path.isfile(os.path.join(args.build, "CMakeCache.txt")) else "build"
        print("    cmake --build %s -j2" % readable(build))
        for program in ("vexar-0.9-avx", "vexar-0.9"):
            print("    %s bench" % os.path.join(readable(build), program))
    return 0


if __name__ == "__main__":
    sys.exit(main())
