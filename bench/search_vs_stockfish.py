#!/usr/bin/env python3
"""Search speed side by side with Stockfish 15.1, in one run on one machine.

1. `bench` of vexar-0.9-avx (one thread) with a random-weights network from
   tools/random_network.cpp (seed 1), so that every node does the full network
   work, next to Stockfish's own `bench` (one thread, its default positions,
   depth 13, 16 MB hash); prints both speeds and the ratio.  Vexar runs with
   the same 16 MB hash and with its default 128 MB: every node probes the
   table, so a table larger than the cache costs memory latency.
2. Wall time for vexar to complete depth D on the four bench positions with one
   thread and with two (shipped network, cleared hash before each), and the
   speed-up.

Usage: bench/search_vs_stockfish.py [BUILD_DIR] [DEPTH]
"""
import os
import re
import subprocess
import sys
import tempfile

sys.dont_write_bytecode = True  # no __pycache__ in the source tree
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))
from uci_engine import REPO, Engine  # noqa: E402
from speed_report import time_to_depth  # noqa: E402

BENCH_FENS = [
    "2r1k2r/pq1p1ppp/1pbPpn2/8/2P2B2/P2B1P2/1PQ3PP/R3K2R b KQk - 2 16",
    "1n1q1rk1/r3ppbp/p1p3p1/1p3b2/P1pP3B/1NP1PB2/5PPP/R2QR1K1 w - - 10 16",
    "r2q2k1/pb3pp1/1p3n1p/2bpr3/8/2NBP3/PPQB1PPP/2RR2K1 w - - 0 16",
    "r5k1/p2qp1bp/6p1/1pP3P1/2n1P3/1QP1B3/P3N1PP/R4K2 b - - 0 17",
]


def main():
    build = sys.argv[1] if len(sys.argv) > 1 else os.path.join(REPO, "build")
    depth = int(sys.argv[2]) if len(sys.argv) > 2 else 13
    engine = os.path.join(build, "vexar-0.9-avx")

    random_dir = tempfile.mkdtemp(prefix="vexar-bench-")
    subprocess.run([os.path.join(build, "random-network"), "1", os.path.join(random_dir, "network.txt")],
                   check=True, stdout=subprocess.DEVNULL)
    ours = {}
    for hash_mb in (16, 128):
        e = Engine(engine, cwd=random_dir, network=False, timeout=3600)
        e.ask("setoption name Hash value %d" % hash_mb)
        e.send("bench")
        ours[hash_mb] = e.until(lambda l: re.match(r"^\d+ nodes in \d+ ms, speed = \d+ nodes/s$", l))[-1]
        e.finish()
    our_nps = {mb: int(re.search(r"speed = (\d+)", line).group(1)) for mb, line in ours.items()}

    sf = subprocess.run(["/usr/games/stockfish"], input="bench 16 1 13 default depth\n", capture_output=True,
                        text=True, timeout=3600)
    sf_nps = int(re.search(r"Nodes/second\s*:\s*(\d+)", sf.stderr + sf.stdout).group(1))
    sf_nodes = int(re.search(r"Nodes searched\s*:\s*(\d+)", sf.stderr + sf.stdout).group(1))
    print("bench, one thread")
    for mb in (16, 128):
        print("  vexar-0.9-avx, random network, %3d MB hash: %s" % (mb, ours[mb]))
    print("  stockfish 15.1, 16 MB hash:                 %d nodes, %d nodes/s" % (sf_nodes, sf_nps))
    for mb in (16, 128):
        print("  ratio vexar (%3d MB) / stockfish (16 MB):    %.2f" % (mb, our_nps[mb] / sf_nps))

    print("time to complete depth %d on the bench positions (shipped network)" % depth)
    times = {}
    for threads in (1, 2):
        times[threads] = time_to_depth(engine, None, threads, BENCH_FENS, depth)
        print("  %d thread(s): %.2f s" % (threads, times[threads]))
    print("  speed-up 1 -> 2 threads: %.2f" % (times[1] / times[2]))


if __name__ == "__main__":
    main()
