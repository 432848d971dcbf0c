#!/usr/bin/env python3
"""Checks of tools/king_rows.py on a made-up network.nn: a first layer that
is the same for every king square has no king-specific part, and rows that
only one king square changes show up on that square alone (so the king
square is the outermost index of the rows).  Exits non-zero when a check
fails."""
import array
import os
import sys
import tempfile

sys.dont_write_bytecode = True  # no __pycache__ in the source tree
from checks import check, near, run  # noqa: E402  (also puts tools/ on the path)
import king_rows  # noqa: E402

BLOCK = king_rows.PIECE_SQUARES * king_rows.WIDTH


def network(first_layer):
    """A network.nn holding these first-layer integers and a zero tail."""
    data = array.array("h", first_layer).tobytes()
    return data + bytes(king_rows.FILE_BYTES - len(data))


def test_king_parts():
    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "network.nn")
        piece_square = [(i * 37) % 2001 - 1000 for i in range(BLOCK)]
        with open(path, "wb") as f:
            f.write(network(piece_square * king_rows.KINGS))
        shared, specific = king_rows.king_parts(path)
        check(max(specific) == 0.0, "same rows for every king square: king-specific rms %r" % max(specific))
        check(shared > 0.05, "shared rms of the piece-square rows: %r" % shared)
        # King square 5 adds 640 to every weight: its own rms is
        # 640 * 63/64, every other square's 640/64 (the mean moved).
        with open(path, "wb") as f:
            f.write(network([0] * (5 * BLOCK) + [640] * BLOCK + [0] * (58 * BLOCK)))
        shared, specific = king_rows.king_parts(path)
        near(specific[5], 0.063, 1e-9, "king square f1")
        near(specific[4], 0.001, 1e-9, "king square e1")
        near(shared, 0.001, 1e-9, "shared part")
        with open(path, "wb") as f:
            f.write(bytes(1000))
        try:
            king_rows.king_parts(path)
            check(False, "a file of the wrong size was read")
        except ValueError:
            check(True, "a file of the wrong size")


if __name__ == "__main__":
    sys.exit(run([test_king_parts]))
