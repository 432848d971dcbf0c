#!/usr/bin/env python3
"""The generic build must run on any x86-64 processor.

Usage: check_generic_build.py GENERIC_ENGINE [CONTRAST_ENGINE]

1. Disassembles GENERIC_ENGINE (objdump) and fails on any instruction of
   POPCNT, LZCNT, BMI1, BMI2 or AVX (VEX-encoded, mnemonics starting with
   "v").  A REP BSF, which disassembles as TZCNT, counts too.
2. Runs it under qemu-x86_64 with an emulated processor that has SSE2 but no
   POPCNT, BMI or AVX, and checks a perft count and a short search there.
   CONTRAST_ENGINE (a program built for POPCNT and BMI) must be stopped by an
   illegal instruction under the same emulation, which shows that the
   emulation really withholds those instructions.
"""
import re
import shutil
import subprocess
import sys

from uci_engine import Checks

FORBIDDEN = {"popcnt", "lzcnt", "tzcnt", "andn", "bextr", "blsi", "blsmsk", "blsr", "bzhi", "mulx", "pdep", "pext",
             "rorx", "sarx", "shlx", "shrx"}
EMULATED_CPU = "qemu64,-popcnt"   # SSE2, no POPCNT/BMI/AVX

checks = Checks("check_generic_build")
check = checks.check


def forbidden_instructions(path):
    listing = subprocess.run(["objdump", "-d", "--no-show-raw-insn", path], stdout=subprocess.PIPE, check=True,
                             text=True).stdout
    found = {}
    for line in listing.splitlines():
        parts = line.split("\t")
        if len(parts) < 2 or not parts[0].strip().endswith(":"):
            continue
        mnemonic = parts[1].split()[0] if parts[1].split() else ""
        if mnemonic in FORBIDDEN or (mnemonic.startswith("v") and mnemonic not in ("verr", "verw")):
            found[mnemonic] = found.get(mnemonic, 0) + 1
    return found


def run_emulated(path, commands):
    return subprocess.run(["qemu-x86_64", "-cpu", EMULATED_CPU, path], input=commands.encode(),
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=300)


def main():
    engine = sys.argv[1]
    contrast = sys.argv[2] if len(sys.argv) > 2 else None
    found = forbidden_instructions(engine)
    check(not found, "instructions beyond SSE2 in %s: %r" % (engine, found))

    qemu = shutil.which("qemu-x86_64")
    check(qemu is not None, "qemu-x86_64 is missing (tools/setup.sh installs qemu-user)")
    if qemu:
        done = run_emulated(engine, "perft 4\nposition fen r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w "
                                    "KQkq - 0 1\nperft 3\nposition startpos\ngo depth 5\n")
        out = done.stdout.decode("latin-1")
        check(done.returncode == 0, "emulated run ended with status %r: %s" % (done.returncode, done.stderr[-300:]))
        check(re.search(r"^197281 nodes in ", out, re.M) is not None, "perft 4 under emulation: %r" % out[-300:])
        check(re.search(r"^97862 nodes in ", out, re.M) is not None, "Kiwipete perft 3 under emulation")
        check(re.search(r"^bestmove [a-h][1-8][a-h][1-8]", out, re.M) is not None, "no bestmove under emulation")
        if contrast:
            done = run_emulated(contrast, "perft 4\n")
            check(done.returncode != 0, "%s ran under the emulated SSE2 processor: the emulation withholds nothing"
                  % contrast)
    return checks.finish()


if __name__ == "__main__":
    sys.exit(main())
