#!/usr/bin/env python3
"""Checks of tools/improve.py.  End to end in --smoke mode, in a temporary
folder with a copy of the shipped network and a temporary history file: the
stages run in order and leave their markers, a stopped step resumes without
redoing finished stages, a finished step redoes nothing, a work folder is not
reused with other settings, and a match without a decision never replaces
the network, and a candidate that must win (trained from random weights)
replaces it.  Then the pieces that decide an installation: reading the
trainer's and match.py's output, the installation itself, the record stage
that installs each generation on its own verdict, the history file.

    python3 tests/test_improve.py [BUILD_DIR]     (default: build)

Needs datagen, trainer, random-network, vexar-0.9-avx and vexar-0.8 built in BUILD_DIR and Stockfish at
/usr/games/stockfish.  Exits non-zero when a check fails."""
import json
import os
import re
import subprocess
import sys
import tempfile

sys.dont_write_bytecode = True  # no __pycache__ in the source tree
from checks import check, run  # noqa: E402  (also puts tools/ on the path)
import improve  # noqa: E402

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BUILD = os.path.abspath(sys.argv[1]) if len(sys.argv) > 1 else os.path.join(REPO, "build")


def copy_king_network(folder):
    """A copy of the shipped 0.8 network in folder, for --king-network: a
    step may replace the file it is given."""
    data = open(os.path.join(REPO, "data", "network-0.8.nn"), "rb").read()
    with open(os.path.join(folder, "network-0.8.nn"), "wb") as f:
        f.write(data)
    return data


def tool(folder, *extra, work="work", king=True):
    command = [sys.executable, os.path.join(REPO, "tools", "improve.py"), "--smoke", "--build", BUILD,
               "--work", os.path.join(folder, work), "--network", os.path.join(folder, "network.txt"),
               "--history", os.path.join(folder, "history.md")] + list(extra)
    if king:
        command += ["--king", "--king-network", os.path.join(folder, "network-0.8.nn")]
    done = subprocess.run(command, cwd=REPO, capture_output=True, text=True, timeout=600)
    return done.returncode, done.stdout + done.stderr


def started(output):
    return re.findall(r"\] ([\w-]+): started", output)


def skipped(output):
    return re.findall(r"\] ([\w-]+): already done, skipped", output)


def markers(folder):
    work = os.path.join(folder, "work")
    return {s: open(os.path.join(work, s + ".done.json")).read() for s in improve.STAGES
            if os.path.exists(os.path.join(work, s + ".done.json"))}


def test_smoke_step():
    with tempfile.TemporaryDirectory() as folder:
        shipped = open(os.path.join(REPO, "data", "network.txt"), "rb").read()
        with open(os.path.join(folder, "network.txt"), "wb") as f:
            f.write(shipped)
        king_shipped = copy_king_network(folder)

        # A step stopped after the training: the first three stages in order,
        # their markers only, no match and no history yet.
        status, out = tool(folder, "--stop-after", "train")
        check(status == 0, "first run exits 0, got %d:\n%s" % (status, out))
        check(started(out) == ["selfplay", "label", "train"], "first run's stages: %r" % started(out))
        first = markers(folder)
        check(sorted(first) == ["label", "selfplay", "train"], "markers after --stop-after train: %r" % sorted(first))
        check(not os.path.exists(os.path.join(folder, "history.md")), "no history before the match")
        sp = json.loads(first.get("selfplay", "{}"))
        check(sp.get("positions", 0) >= 400, "self-play reached its positions: %r" % sp.get("positions"))
        check((sp.get("positions_per_hour_per_core") or 0) > 0, "self-play rate recorded")
        lb = json.loads(first.get("label", "{}"))
        check(lb.get("labelled_records", 0) > 0 and (lb.get("positions_per_hour_per_core") or 0) > 0,
              "labels written and their rate recorded: %r" % lb)
        tr = json.loads(first.get("train", "{}"))
        check("valid_loss" in tr.get("candidate_valid", {}) and "valid_loss" in tr.get("shipped_valid", {}),
              "held-out losses of both networks: %r" % tr)
        check(tr.get("shipped_valid", {}).get("epoch") == 0, "the shipped network's loss is the one before training")

        # The same command without the stop: the finished stages are
        # skipped, the rest run; a 2-game SPRT cannot decide, so the network
        # stays and the step is recorded as without a decision.
        status, out = tool(folder)
        check(status == 0, "second run exits 0, got %d:\n%s" % (status, out))
        check(skipped(out) == ["selfplay", "label", "train"], "second run skips: %r" % skipped(out))
        check(started(out) == ["king", "match", "king-match", "record"], "second run's stages: %r" % started(out))
        second = markers(folder)
        check(all(second.get(s) == first[s] for s in first), "finished stages' markers untouched")
        match = json.loads(second.get("match", "{}"))
        check(match.get("verdict") == "none" and match.get("games") == 2,
              "2 games without a decision: %r" % match)
        king_match = json.loads(second.get("king-match", "{}"))
        check(king_match.get("verdict") == "none" and king_match.get("games") == 2,
              "the 0.8 candidate's own 2 games: %r" % king_match)
        with open(os.path.join(folder, "network.txt"), "rb") as f:
            check(f.read() == shipped, "the network is not replaced without an accepted SPRT")
        with open(os.path.join(folder, "network-0.8.nn"), "rb") as f:
            check(f.read() == king_shipped, "nor the 0.8 network")
        history = open(os.path.join(folder, "history.md")).read()
        check(history.count(improve.HISTORY_TITLE) == 1 and history.count("### Step of") == 1,
              "one history section with one entry")
        check("network unchanged" in history and "W %d D %d L %d" % (match.get("wins"), match.get("draws"),
                                                                      match.get("losses")) in history,
              "the entry gives the outcome and W/D/L:\n%s" % history)
        check("Match of generation 0.8" in history, "and the 0.8 match:\n%s" % history)
        check(folder not in history, "no path of this machine in the history")

        # A third run does nothing; other settings in the same folder are refused.
        status, out = tool(folder)
        check(status == 0 and started(out) == [] and len(skipped(out)) == len(improve.STAGES),
              "third run redoes nothing: %d %r" % (status, started(out)))
        check(open(os.path.join(folder, "history.md")).read() == history, "the history is not appended twice")
        status, out = tool(folder, "--seed", "7")
        check(status == 2 and "other settings" in out, "another seed in the same work folder is refused: %d" % status)

        # A second step on the first one's positions: it starts at the
        # training, with its own settings, and the history names the source.
        # Positions played with other settings, or by another network, are
        # not taken.
        status, out = tool(folder, "--seed", "7", "--positions-from", os.path.join(folder, "work"), work="other")
        check(status == 2 and "other settings" in out, "positions of another seed are refused: %d\n%s" % (status, out))
        status, out = tool(folder, "--lr", "0.0001", "--positions-from", os.path.join(folder, "work"), work="work2")
        check(status == 0, "a step on reused positions exits 0, got %d:\n%s" % (status, out))
        check(skipped(out) == ["selfplay", "label"] and started(out) == ["train", "king", "match", "king-match",
                                                                         "record"],
              "it trains without playing or labelling: %r %r" % (skipped(out), started(out)))
        check(os.path.samefile(*(os.path.join(folder, w, "labelled.bin") for w in ("work", "work2"))),
              "the labelled positions are linked, not copied")
        entries = open(os.path.join(folder, "history.md")).read().split("### Step of")
        check(len(entries) == 3 and "positions are those of" in entries[2] and "lr 0.0001" in entries[2],
              "the second entry names the reused positions and its own rate:\n%s" % entries[-1])
        with open(os.path.join(folder, "network.txt"), "a") as f:
            f.write("\n")
        status, out = tool(folder, "--positions-from", os.path.join(folder, "work"), work="work3")
        check(status == 2 and "another network" in out, "games of another network are refused: %d\n%s" % (status, out))


def test_accepted_step():
    """A candidate that must win: the "shipped" network is one of random
    weights and the candidate is trained from it, so every game pair goes to
    the candidate and the SPRT accepts after about 105 pairs of fast games.
    The candidate then replaces the network and the history says so."""
    with tempfile.TemporaryDirectory() as folder:
        network = os.path.join(folder, "network.txt")
        made = subprocess.run([os.path.join(BUILD, "random-network"), "5", network], capture_output=True, timeout=60)
        check(made.returncode == 0, "random-network wrote a network")
        random_weights = open(network, "rb").read()
        status, out = tool(folder, "--positions", "30000", "--epochs", "4", "--lr", "0.001", "--max-games", "300",
                           king=False)
        match = json.loads(markers(folder).get("match", "{}"))
        check(status == 0 and match.get("verdict") == "H1", "the SPRT accepts: %d %r" % (status, match))
        candidate = open(os.path.join(folder, "work", "candidate", "network.txt"), "rb").read()
        check(open(network, "rb").read() == candidate != random_weights, "the accepted candidate is installed")
        history = open(os.path.join(folder, "history.md")).read()
        check("accepted, installed" in history and "H1 accepted" in history, "the history records the acceptance")
        check("vexar-0.9-avx bench" in out and "vexar-0.9 bench" in out, "the bench reminder is printed")


SUMMARY = """
candidate vs shipped: %d games, W %d D %d L %d (first engine's view), score 55.0%%
Elo +34.9, 95%% interval [+1.2, +70.0] (pentanomial over 50 pairs, LL..WW 1 9 20 12 8)
LOS 97.9%%
SPRT elo0 0 elo1 10 alpha 0.05 beta 0.05: LLR %.3f in (-2.944, 2.944): %s
candidate: 0 crashes, 0 hangs, 0 illegal moves, 0 time forfeits, 0 bestmove 0000
"""


def test_reading_the_tools():
    accepted = improve.parse_match(SUMMARY % (100, 30, 50, 20, 2.95, "H1 accepted (better)"))
    check(accepted is not None and accepted["verdict"] == "H1" and
          (accepted["games"], accepted["wins"], accepted["draws"], accepted["losses"]) == (100, 30, 50, 20) and
          accepted["elo"].startswith("+34.9"), "an accepting summary: %r" % accepted)
    rejected = improve.parse_match(SUMMARY % (80, 10, 50, 20, -2.95, "H0 accepted (not better by elo1)"))
    check(rejected is not None and rejected["verdict"] == "H0", "a rejecting summary: %r" % rejected)
    open_ = improve.parse_match(SUMMARY % (2, 1, 1, 0, 0.03, "no decision"))
    check(open_ is not None and open_["verdict"] == "none", "a summary without a decision")
    check(improve.parse_match("candidate vs shipped, 2 games at most\n") is None, "no summary: None")
    # Without --sprt there is no verdict, which must not read as a decision.
    check(improve.parse_match("\n".join(SUMMARY.splitlines()[:3])) is None, "a summary without its SPRT line")

    start, last = improve.parse_trainer(
        "trainer: starting from x\nepoch  0  valid loss 0.009070  mae 131.0 cp  corr 0.9490\n"
        "epoch  1  lr 3.00e-04  train loss 0.008  valid loss 0.008100  mae 115.5 cp  corr 0.9600  1.0 s (2 s per "
        "million positions), 1 s in all\n"
        "epoch  2  lr 3.00e-05  train loss 0.007  valid loss 0.007800  mae 110.0 cp  corr 0.9640  1.0 s (2 s per "
        "million positions), 2 s in all\n")
    check(start == {"epoch": 0, "valid_loss": 0.00907, "mae_cp": 131.0, "corr": 0.949}, "start row %r" % start)
    check(last is not None and last["epoch"] == 2 and last["valid_loss"] == 0.0078, "last row %r" % last)
    check(improve.parse_trainer("epoch  0  valid loss 0.1  mae 1.0 cp  corr 0.5\n")[1] is None,
          "no trained epoch: no candidate figures")


def test_install_and_history():
    with tempfile.TemporaryDirectory() as folder:
        target, candidate = os.path.join(folder, "network.txt"), os.path.join(folder, "candidate.txt")
        with open(target, "w") as f:
            f.write("old\n")
        with open(candidate, "w") as f:
            f.write("new\n")
        old_sha = improve.sha256(target)
        improve.install(candidate, target, old_sha)
        check(open(target).read() == "new\n", "an accepted candidate replaces the network")
        improve.install(candidate, target, old_sha)  # a rerun after the replacement
        check(open(target).read() == "new\n", "installing twice changes nothing")
        with open(target, "w") as f:
            f.write("someone else's\n")
        try:
            improve.install(candidate, target, old_sha)
            check(False, "a network changed during the step was overwritten")
        except improve.StageError:
            check(open(target).read() == "someone else's\n", "a network changed during the step is kept")

        history = os.path.join(folder, "networks.md")
        with open(history, "w") as f:
            f.write("# Networks\n\nEarlier text.")
        improve.append_history(history, "### Step one\n")
        improve.append_history(history, "### Step two\n")
        text = open(history).read()
        check(text.startswith("# Networks\n\nEarlier text.\n\n" + improve.HISTORY_TITLE), "section after the text")
        check(text.count(improve.HISTORY_TITLE) == 1 and text.index("Step one") < text.index("Step two"),
              "one section, entries in order:\n%s" % text)

        base = os.path.join(folder, "steps")
        check(improve.default_work(base).endswith("step-1"), "first step folder")
        os.makedirs(os.path.join(base, "step-1"))
        check(improve.default_work(base).endswith("step-1"), "an unfinished step is taken up again")
        with open(os.path.join(base, "step-1", "record.done.json"), "w") as f:
            f.write("{}")
        check(improve.default_work(base).endswith("step-2"), "after a finished step, the next number")


def test_record_each_generation():
    """The record stage goes by each generation's own verdict: an accepted
    0.8 match replaces the 0.8 network though the 0.9 match did not decide."""
    with tempfile.TemporaryDirectory() as folder:
        files = {"network.txt": "shipped 0.9\n", "network-0.8.nn": "shipped 0.8\n",
                 "work/candidate/network.txt": "candidate 0.9\n", "work/king-train/network.nn": "candidate 0.8\n"}
        for name, text in files.items():
            os.makedirs(os.path.dirname(os.path.join(folder, name)), exist_ok=True)
            with open(os.path.join(folder, name), "w") as f:
                f.write(text)
        net, king_net, history = (os.path.join(folder, n) for n in ("network.txt", "network-0.8.nn", "history.md"))
        step = improve.Step(improve.configure(["--smoke", "--king", "--build", BUILD, "--work", os.path.join(
            folder, "work"), "--network", net, "--king-network", king_net, "--history", history]))
        summary = {"games": 2, "wins": 2, "draws": 0, "losses": 0, "elo": "+inf", "llr": 0.5, "wall_s": 1.0}
        step.state = {"shipped_sha256": improve.sha256(net), "stages": {
            "match": dict(summary, verdict="none"),
            "king-match": dict(summary, verdict="H1", shipped_sha256=improve.sha256(king_net))}}
        step.record()
        check(open(net).read() == "shipped 0.9\n" and open(king_net).read() == "candidate 0.8\n",
              "only the accepted 0.8 candidate is installed")
        text = open(history).read()
        check("no decision within 2 games, network unchanged" in text and
              re.search(r"Match of generation 0.8.*H1 accepted; accepted, installed", text),
              "the entry gives both outcomes:\n%s" % text)

        # --skip-match: only the 0.8 candidate played; the entry says the 0.9 one was not tested.
        with open(king_net, "w") as f:
            f.write("shipped 0.8\n")
        step.args.skip_match = True
        step.state["stages"] = {"train": {"candidate_valid": {"valid_loss": 0.007, "mae_cp": 100, "corr": 0.96},
                                          "shipped_valid": {"valid_loss": 0.008, "mae_cp": 101, "corr": 0.96},
                                          "wall_s": 1.0},
                                "king-match": dict(summary, verdict="H1", shipped_sha256=improve.sha256(king_net))}
        result = step.record()
        check(open(net).read() == "shipped 0.9\n" and open(king_net).read() == "candidate 0.8\n",
              "--skip-match installs the accepted 0.8 candidate only")
        entry = open(history).read().split("### ")[-1]
        check(not result["installed"] and "0.9 candidate not tested" in entry and "not played (`--skip-match`)"
              in entry, "the entry says the 0.9 candidate was not tested:\n%s" % entry)

if __name__ == "__main__":
    sys.exit(run([test_reading_the_tools, test_install_and_history, test_record_each_generation, test_smoke_step,
                  test_accepted_step]))
