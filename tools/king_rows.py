#!/usr/bin/env python3
"""How much a generation-0.8 network makes of its own king's square.

    python3 tools/king_rows.py data/network-0.8.nn

The first layer has a row of 128 weights for every (own king square, piece
kind, square).  Split each row into the mean over the 64 king squares (the
part every king square shares: a plain piece-square weight) and the rest
(what that king square adds), and print the rms of both, the latter per king
square as a board seen from the perspective's own side (its back rank at the
bottom).  A network whose king-specific part is small next to the shared one
evaluates almost as if the kings were not on the board.  Values are in
weight units (the file's integers / 10000).
"""
import array
import math
import sys

sys.dont_write_bytecode = True  # no __pycache__ in the source tree

KINGS, PIECE_SQUARES, WIDTH = 64, 640, 128
FIRST_LAYER_BYTES = KINGS * PIECE_SQUARES * WIDTH * 2
FILE_BYTES = 10523524
SCALE = 10000.0


def king_parts(path):
    """(rms of the shared part, [rms of the king-specific part per king square])."""
    weights = array.array("h")
    with open(path, "rb") as f:
        data = f.read()
    if len(data) != FILE_BYTES:
        raise ValueError("%s has %d bytes, not the %d of a network.nn" % (path, len(data), FILE_BYTES))
    weights.frombytes(data[:FIRST_LAYER_BYTES])
    if sys.byteorder != "little":
        weights.byteswap()
    block = PIECE_SQUARES * WIDTH
    mean = [0.0] * block
    for king in range(KINGS):
        rows = weights[king * block:(king + 1) * block]
        mean = [m + w for m, w in zip(mean, rows)]
    mean = [m / KINGS for m in mean]
    shared = math.sqrt(sum(m * m for m in mean) / block) / SCALE
    specific = []
    for king in range(KINGS):
        rows = weights[king * block:(king + 1) * block]
        specific.append(math.sqrt(sum((w - m) ** 2 for w, m in zip(rows, mean)) / block) / SCALE)
    return shared, specific


def main(argv):
    if len(argv) != 2:
        print("usage: king_rows.py NETWORK.nn", file=sys.stderr)
        return 2
    try:
        shared, specific = king_parts(argv[1])
    except (OSError, ValueError) as error:
        print(error, file=sys.stderr)
        return 1
    print("shared piece-square part: rms %.4f" % shared)
    print("king-specific part, rms per own king square (own back rank at the bottom):")
    for rank in range(7, -1, -1):
        print("  %d " % (rank + 1) + " ".join("%.4f" % specific[8 * rank + file] for file in range(8)))
    print("     " + "      ".join("abcdefgh"))
    print("mean %.4f, %.1f%% of the shared part" % (sum(specific) / KINGS, 100.0 * sum(specific) / KINGS / shared))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
