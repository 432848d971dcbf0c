#!/usr/bin/env python3
"""End-to-end start-ups with network files that are missing, damaged or that
cannot be written: each start must say on one "info string Network:" line which
network it uses (and why a file was refused), never report a partial file as
loaded, leave no partial network.nn behind, and still play with real weights.

Usage: e2e_network.py PATH_TO_ENGINE

Each case runs the engine in a fresh temporary directory.
"""
import os
import re
import resource
import shutil
import struct
import sys
import tempfile

from uci_engine import REPO, Checks, Engine

SHIPPED = os.path.join(REPO, "data", "network.txt")
NETWORK_BYTES = 430980
CONVERSION = "info debug NN file conversion..."
LOADED = "info debug NN loaded !"

checks = Checks("e2e_network")
check = checks.check


def start(path, workdir, file_limit=None):
    """The engine's start-up lines (up to the table line) and the engine."""
    saved = resource.getrlimit(resource.RLIMIT_FSIZE)
    if file_limit is not None:  # inherited by the engine only: restored at once
        resource.setrlimit(resource.RLIMIT_FSIZE, (file_limit, saved[1]))
    try:
        e = Engine(path, workdir, network=False)
    finally:
        resource.setrlimit(resource.RLIMIT_FSIZE, saved)
    lines = e.until_prefix("info debug Creation of Transposition Table")
    return e, lines[2:-1]  # after the banner and the instruction report


def plays(e, what):
    """The start-position evaluation; checks that a short search returns a legal move."""
    legal = [l.split(":")[0] for l in e.ask("perft 2")[:-1]]
    e.send("position startpos\ngo depth 4")
    best = e.until_prefix("bestmove")[-1].split()
    check(len(legal) == 20 and len(best) >= 2 and best[1] in legal, "%s: legal bestmove: %r" % (what, best))
    scores = [l for l in e.ask("debug") if l.startswith("score ")]
    match = re.fullmatch(r"score cp (-?\d+) ", scores[0]) if len(scores) == 1 else None
    check(match is not None, "%s: debug score line: %r" % (what, scores))
    e.finish("quit")
    return int(match.group(1)) if match else None


def case(path, what, prepare, expected_lines, expected_files, file_limit=None):
    with tempfile.TemporaryDirectory(prefix="vexar-e2e-network-") as workdir:
        prepare(workdir)
        before = {name: os.path.getsize(os.path.join(workdir, name)) for name in os.listdir(workdir)}
        e, lines = start(path, workdir, file_limit)
        try:
            check(lines == expected_lines, "%s: start-up lines\n  expected %r\n  got      %r" % (what, expected_lines, lines))
            check(sum(l.startswith("info string Network: ") for l in lines) == 1, "%s: one network line" % what)
            score = plays(e, what)
        finally:
            if e.proc.poll() is None:
                e.proc.kill()
                e.proc.wait()
        files = sorted(os.listdir(workdir))
        check(files == expected_files, "%s: files afterwards %r, expected %r" % (what, files, expected_files))
        for name, size in before.items():
            if name in files:
                check(os.path.getsize(os.path.join(workdir, name)) == size, "%s: %s left as it was" % (what, name))
        check(not e.stderr or e.stderr == [None], "%s: nothing on standard error: %r" % (what, e.stderr[:3]))
        return score


def write(name, data):
    def prepare(workdir):
        with open(os.path.join(workdir, name), "wb") as f:
            f.write(data)
    return prepare


def shipped_text_with(line_number, text):
    """The shipped network.txt with one line replaced."""
    with open(SHIPPED, "rb") as f:
        lines = f.read().split(b"\n")
    lines[line_number - 1] = text
    return b"\n".join(lines)


def main():
    if len(sys.argv) != 2:
        print(__doc__, file=sys.stderr)
        return 2
    path = os.path.abspath(sys.argv[1])
    embedded = "info string Network: embedded (%s)"

    # Nothing in the directory: the embedded network, reported as such.
    base = case(path, "no files", lambda d: None,
                [CONVERSION, embedded % "no network.nn or network.txt"], [])
    check(base is not None and base != 0, "the embedded network evaluates the start position: %r" % base)

    # The shipped text converts to the same network as the embedded copy, and
    # the file it writes is then loaded as it is.
    converted = case(path, "shipped network.txt", lambda d: shutil.copy(SHIPPED, d),
                     [CONVERSION, LOADED, "info string Network: network.nn (converted from network.txt)"],
                     ["network.nn", "network.txt"])
    check(converted == base, "converted and embedded networks agree: %r and %r" % (converted, base))

    good_nn = []

    def keep_converted(workdir):
        shutil.copy(SHIPPED, workdir)
        e, _ = start(path, workdir)
        e.finish("quit")
        with open(os.path.join(workdir, "network.nn"), "rb") as f:
            good_nn.append(f.read())
        os.remove(os.path.join(workdir, "network.txt"))

    case(path, "existing network.nn", keep_converted, [LOADED, "info string Network: network.nn"], ["network.nn"])
    check(len(good_nn) == 1 and len(good_nn[0]) == NETWORK_BYTES, "converted network.nn size")
    good = good_nn[0] if good_nn else bytes(NETWORK_BYTES)

    # Damaged binary files are refused, kept as they are, and network.txt is not consulted.
    for what, data, reason in [
            ("empty network.nn", b"", "network.nn has 0 bytes, not 430980"),
            ("short network.nn", good[:1001], "network.nn has 1001 bytes, not 430980"),
            ("truncated network.nn", good[:102400], "network.nn has 102400 bytes, not 430980"),
            ("long network.nn", good + b"\0\0\0\0", "network.nn has 430984 bytes, not 430980"),
            ("network.nn with a NaN", good[:400] + struct.pack("<f", float("nan")) + good[404:],
             "network.nn value 101 is not a finite number")]:
        score = case(path, what, write("network.nn", data), [embedded % reason], ["network.nn"])
        check(score == base, "%s: plays with the embedded network (%r, %r)" % (what, score, base))
    case(path, "directory network.nn", lambda d: os.mkdir(os.path.join(d, "network.nn")),
         [embedded % "network.nn is not a regular file"], ["network.nn"])

    # Damaged text files fail the conversion and leave no network.nn.
    for what, line, text, problem in [
            ("overlong line", 12, b"0.25" + b" " * 293 + b"1.5", "is longer than 255 characters"),
            ("nan", 7, b"nan", "is not a finite number"),
            ("inf", 98440, b"inf", "is not a finite number"),
            ("1e39", 107745, b"-1e39", "is not a finite number")]:
        score = case(path, what, write("network.txt", shipped_text_with(line, text)),
                     [CONVERSION, embedded % ("network.txt line %d %s" % (line, problem))], ["network.txt"])
        check(score == base, "%s: plays with the embedded network" % what)

    # A conversion cut short by the file size limit (as on a full disk).
    case(path, "file size limit", lambda d: shutil.copy(SHIPPED, d),
         [CONVERSION, embedded % "cannot write network.nn: File too large"], ["network.txt"], file_limit=102400)

    return checks.finish()


if __name__ == "__main__":
    sys.exit(main())
