#!/usr/bin/env python3
"""End-to-end session: drives the built engine over stdin/stdout as a GUI would
and checks the exact lines it answers.

Usage: e2e_uci.py PATH_TO_ENGINE

The engine runs in a fresh temporary directory (no network files there).
Every read has a timeout, so a hung engine fails the test instead of blocking it.
"""
import os
import re
import sys
import tempfile

from uci_engine import Checks, Engine

TIMEOUT = 20.0
START_FEN = "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1"
KIWIPETE = "r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq - 0 1"
TT_LINE = "info debug Creation of Transposition Table : %s"

# A 300-ply random legal game (six promotions, four of them under-promotions) and
# the position it reaches, both from Stockfish 15.1 ("go perft 1" for the legal
# moves, "d" for the final FEN).
LONG_GAME = (
    "g1h3 a7a5 e2e4 a8a7 h3f4 a5a4 d1f3 h7h6 d2d3 e7e6 b2b4 f7f5 f3h3 d8e7 f4h5 b8a6 e1d2 b7b6 h5f6 g7f6 "
    "h3h5 e7f7 h5g5 f8b4 b1c3 a7a8 e4e5 c7c6 d3d4 f7g7 e5f6 h6g5 a2a3 f5f4 h2h4 g8e7 g2g4 a6b8 d2e2 a8a6 "
    "e2f3 b4a5 c3d5 a5e1 d5c7 e8d8 f1g2 c6c5 c7a6 h8f8 f6g7 d7d5 g7g8r e6e5 c1b2 e7g8 h1e1 f8f5 c2c3 d8e8 "
    "e1f1 e8d8 b2c1 b6b5 a6b8 c8b7 c1b2 f5f8 f3e2 b7a6 h4g5 d8c7 a1c1 c7c8 b8a6 b5b4 a6c5 b4b3 c1c2 c8c7 "
    "f1h1 f4f3 e2d2 f8c8 h1h2 c7b6 h2h1 e5e4 h1h8 b3c2 h8h7 f3g2 b2a1 c2c1b d2d1 c8c5 h7h6 b6c7 h6f6 c1b2 "
    "f6g6 g2g1b g6h6 b2c3 g5g6 c5c4 g6g7 c3a1 h6c6 c7b7 c6h6 a1b2 h6c6 b2a3 f2f4 a3c1 c6h6 g1f2 h6c6 c1b2 "
    "c6c8 g8f6 g7g8b c4c1 d1e2 b2c3 g4g5 f6h7 c8b8 b7a6 b8b2 c1h1 b2b4 h1h4 b4b3 c3d2 e2d1 f2e1 g8f7 e4e3 "
    "d1c2 a4a3 b3b5 d2a5 f7e8 h7f8 c2c1 f8d7 b5b6 d7b6 e8a4 a5c3 a4b5 a6b5 f4f5 h4h8 c1b1 e1g3 b1c1 b5c4 "
    "g5g6 h8e8 c1d1 e8g8 d1c1 g8h8 c1b1 g3e5 b1c2 h8h4 g6g7 c3e1 c2b1 c4d3 g7g8r h4h6 g8b8 e1b4 d4e5 d3c3 "
    "b8a8 h6h4 b1a2 b4f8 f5f6 h4g4 a8f8 g4g6 a2a1 e3e2 f8b8 g6g1 a1a2 c3d2 b8e8 b6a8 a2a3 d2d1 e8g8 g1g2 "
    "g8g5 d5d4 g5g6 d1d2 a3a4 g2f2 g6g4 f2g2 a4b4 g2h2 b4a4 d2c3 g4g7 h2h4 g7a7 c3c4 a7c7 c4d3 c7g7 h4g4 "
    "g7a7 g4g7 a7a8 g7a7 a4b5 a7h7 a8a4 h7h3 a4a8 d3d2 a8b8 d2c2 b8b6 c2d2 b5c4 d2e3 c4b3 h3h1 b3b4 e3d3 "
    "b4a5 h1h4 b6d6 d3e4 d6d7 h4f4 e5e6 f4f2 d7a7 e4f5 a5a6 f2f1 a7c7 f5f6 c7c5 e2e1q a6b7 e1a1 c5a5 f1b1 "
    "b7a6 b1e1 a6b7 e1g1 b7a6 g1h1 a6b5 h1c1 a5a7 a1b1 b5a6 b1g6 a6b5 c1e1 b5a5 g6b1 a7c7 b1b6 a5a4 b6d6 "
    "c7g7 d6f4 g7h7 e1h1 a4b4 f4g4 h7h1 g4g8 b4c4 g8g7 h1c1 g7b7 c1c2 b7d7 c2d2 f6f5 d2h2 d7f7 h2b2 f7f8"
)
LONG_GAME_FEN = "5q2/8/4P3/5k2/2Kp4/8/1R6/8 w - - 13 151"

# Start position, length 3, per root move (Stockfish 15.1), in generation order.
START_DIVIDE_3 = [
    ("a2a3", 380), ("a2a4", 420), ("b2b3", 420), ("b2b4", 421), ("c2c3", 420), ("c2c4", 441),
    ("d2d3", 539), ("d2d4", 560), ("e2e3", 599), ("e2e4", 600), ("f2f3", 380), ("f2f4", 401),
    ("g2g3", 420), ("g2g4", 421), ("h2h3", 380), ("h2h4", 420), ("b1a3", 400), ("b1c3", 440),
    ("g1f3", 440), ("g1h3", 400),
]

checks = Checks("e2e_uci")
check = checks.check


def expect_lines(got, expected, what):
    check(got == expected, "%s:\n  expected %r\n  got      %r" % (what, expected, got))


def fen(e):
    board = e.ask("debug")
    fens = [l[len("fen = "):] for l in board if l.startswith("fen = ")]
    check(len(fens) == 1, "debug prints one fen line: %r" % board)
    return fens[0] if fens else None


PERFT_SUMMARY = re.compile(r"^(\d+) nodes in (\d+) ms, speed = (\d+) nodes/s$")


def expect_perft(answer, total, root_lines, what):
    expect_lines(answer[:-1], ["%s: %d" % m for m in root_lines], what + " root lines")
    match = PERFT_SUMMARY.match(answer[-1]) if answer else None
    check(match is not None and int(match.group(1)) == total, "%s summary: %r" % (what, answer[-1:]))
    if match:
        nodes, ms, speed = (int(g) for g in match.groups())
        check(speed == (0 if ms == 0 else nodes // ms * 1000), "%s speed arithmetic: %r" % (what, answer[-1]))


def session(e):

    # Start-up lines, then nothing until a command.
    expect_lines(e.line(), "Vexar 0.9 x64 ('quit' to exit)", "banner")
    check(re.fullmatch(r"info debug Supported instructions : (popcnt )?(fma )?(avx )?(avx2 )?(bmi2)?", e.line()),
          "instruction report")
    expect_lines(e.line(), "info debug NN file conversion...", "network lines without network files")
    expect_lines(e.line(), "info string Network: embedded (no network.nn or network.txt)", "embedded network line")
    expect_lines(e.line(), TT_LINE % "success (128 MB)", "start-up table")
    expect_lines(e.ask(""), [], "empty line")

    uci = ["id name Vexar 0.9 x64", "id author Ralmond FESTIN",
           "option name Hash type spin default 128 min 1 max 262144",
           "option name Threads type spin default 1 min 1 max 256", "uciok"]
    expect_lines(e.ask("uci"), uci, "uci")
    expect_lines(e.ask("  uci  "), uci, "uci with blanks")
    expect_lines(e.ask("\tuci\r"), uci, "uci with a tab and a CR LF line end")
    expect_lines(e.ask("uci x"), ["info debug Unknown command : 'uci x'"], "uci x")
    expect_lines(e.ask("hello    \t  world  "), ["info debug Unknown command : 'hello world'"], "blank runs")
    expect_lines(e.ask("   "), [], "blank line")
    expect_lines(e.ask("stop"), [], "stop")

    # Positions, and debug's FEN line.
    check(fen(e) == START_FEN, "start-up game is the start position")
    expect_lines(e.ask("position startpos moves " + LONG_GAME), [], "long move list")
    check(fen(e) == LONG_GAME_FEN, "FEN after the long game")
    board = e.ask("debug on")
    check(len(board) == 15 and board[0] == "" and board[1].startswith(" 8 \xb3") and board[8].startswith(" 1 \xb3")
          and board[8].endswith(" *") and board[9] == "   \xc0" + "\xc4" * 24
          and board[10] == "     A  B  C  D  E  F  G  H" and re.fullmatch(r"key = 0x[0-9a-f]{16}", board[12])
          and board[13] == "fen = " + LONG_GAME_FEN and re.fullmatch(r"score (cp|mate) -?\d+ ", board[14]),
          "board display: %r" % board)
    e.ask("position startpos moves e2e4 g8f6 e4e5 d7d5 e5d6 e7d6 g1f3 f8e7 f1e2 e8g8 e1g1")
    check(fen(e) == "rnbq1rk1/ppp1bppp/3p1n2/8/8/5N2/PPPPBPPP/RNBQ1RK1 b - - 5 6",  # from Stockfish 15.1
          "FEN after en passant and castling")
    expect_lines(e.ask("position startpos moves e2e4 e7e5 g1f3"), [], "short move list")
    check(fen(e) == "rnbqkbnr/pppp1ppp/8/4p3/4P3/5N2/PPPP1PPP/RNBQKB1R b KQkq - 1 2", "FEN after e2e4 e7e5 g1f3")
    e.ask("position fen 4k3/8/8/8/8/8/8/4R1K1 b - - 0 1")
    board = e.ask("debug")
    check(len(board) > 1 and board[1].endswith(" * (check !)"), "check marker: %r" % board[1:2])

    # Rejected positions print one info debug line and keep the game.
    kept = "rnbqkbnr/ppp1pppp/8/3p4/2PP4/8/PP2PPPP/RNBQKBNR b KQkq c3 0 2"
    e.ask("position startpos moves d2d4 d7d5 c2c4")
    check(fen(e) == kept, "game before the rejections")
    for bad in ["position fen 8/8/8/8/8/8/8/K6k w - - 0",
                "position fen 8/8/8/8/8/8/8/K6k w - - 100 1",
                "position fen rnbqkbnr/ppppxppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1",
                "position fen k6k/8/8/8/8/8/8/K7 w - - 0 1",
                "position fen P3k3/8/8/8/8/8/8/4K3 w - - 0 1",
                "position fen 4k3/8/8/8/8/8/8/4R1K1 w - - 0 1",
                "position fen 4k3/8/8/8/4P3/8/8/4K3 b - d3 0 1",
                "position fen rnbqkbnr/pppppppp/n7/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1",
                "position fen rnbqkbnr/pppppppp1/7/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1",
                "position startpos moves e2e4 e7e5 e1e3",
                "position startpos moves e7e5",
                "position startpos moves e2e4 e7e5 e1e2 d8h4 e2e3 h4e4 e3f3",
                "position startpos moves e2e4 e7e5 e2e5x",
                "position fen 4k3/2P5/8/8/8/8/8/4K3 w - - 0 1 moves c7c8",
                "position fen 4k3/2P5/8/8/8/8/8/4K3 w - - 0 1 moves c7c8Q",
                "position fen 4k3/4r3/8/8/8/8/4B3/4K3 w - - 0 1 moves e2d3"]:
        answer = e.ask(bad)
        check(len(answer) == 1 and answer[0].startswith("info debug "), "one info debug line for %r: %r" % (bad, answer))
        check(fen(e) == kept, "game kept after %r" % bad)
    e.ask("position fen 4k3/2P5/8/8/8/8/8/4K3 w - - 0 1 moves c7c8n")
    check(fen(e) == "2N1k3/8/8/8/8/8/8/4K3 b - - 0 1", "promotion accepted")
    e.ask("ucinewgame")
    check(fen(e) == START_FEN, "ucinewgame sets the start position")

    # perft: root lines from length 2, summary, then the start position again.
    expect_perft(e.ask("perft 1"), 20, [], "perft 1")
    expect_perft(e.ask("perft 2"), 400, [(m, 20) for m, _ in START_DIVIDE_3], "perft 2")
    expect_perft(e.ask("perft 3"), 8902, START_DIVIDE_3, "perft 3")
    for line in ["perft", "perft 0", "perft -1"]:
        expect_perft(e.ask(line), 20, [], line)
    e.ask("position fen " + KIWIPETE)
    expect_perft(e.ask("perft 1"), 48, [], "perft 1 from Kiwipete")
    check(fen(e) == START_FEN, "perft resets the game")
    e.ask("position fen 7k/5Q2/6K1/8/8/8/8/8 b - - 0 1")
    expect_perft(e.ask("perft 3"), 0, [], "perft of a mated position")

    # Over-long lines: truncated to 8191 characters, the rest of the line discarded.
    warning = "info debug Warning while parsing input (max length = 8192 bytes, input truncated)"
    expect_lines(e.ask("x" * 9000), [warning, "info debug Unknown command : '%s'" % ("x" * 8191)], "9000 characters")
    expect_lines(e.ask("y" * 8191), [warning, "info debug Unknown command : '%s'" % ("y" * 8191)], "8191 characters")
    expect_lines(e.ask("z" * 8190), ["info debug Unknown command : '%s'" % ("z" * 8190)], "8190 characters")

    # Options.
    expect_lines(e.ask("setoption name Hash value 100"),
                 [TT_LINE % "invalid size (100 MB, reset to default)", TT_LINE % "success (128 MB)"], "Hash 100")
    expect_lines(e.ask("setoption name Hash value 1"), [TT_LINE % "success (1 MB)"], "Hash 1")
    expect_lines(e.ask("setoption name Hash value 0x10"), [TT_LINE % "success (16 MB)"], "Hash 0x10")
    expect_lines(e.ask("setoption name Threads value 0"),
                 ["info debug Warning: Vexar needs at least one thread :-)", "info debug Ignoring 'setoption' command..."],
                 "Threads 0")
    expect_lines(e.ask("setoption name Threads value 300"),
                 ["info debug Warning: Vexar supports up to 256 threads", "info debug Ignoring 'setoption' command..."],
                 "Threads 300")
    expect_lines(e.ask("setoption name Threads value 257"),
                 ["info debug Warning: Vexar supports up to 256 threads", "info debug Ignoring 'setoption' command..."],
                 "Threads 257")
    # The largest pool searches and answers like any other.
    expect_lines(e.ask("setoption name Threads value 256"), [], "Threads 256")
    e.send("position startpos\ngo depth 3")
    searched = e.until_prefix("bestmove")
    check("info debug Starting 256 thread(s)..." in searched, "256 threads not started: %s" % searched[:1])
    check(searched[-1] != "bestmove 0000", "256 threads: %s" % searched[-1])
    expect_lines(e.ask("setoption name Threads value 4"), [], "Threads 4")
    expect_lines(e.ask("setoption name Threads value 1"), [], "Threads 1")
    for bad in ["setoption name Hash value x", "setoption name Threads value y"]:
        expect_lines(e.ask(bad), ["info debug Error while parsing 'setoption' command"], bad)
    check(fen(e) == START_FEN, "still running after bad option values")

    e.send("quit\n")
    rest = []
    try:
        while True:
            rest.append(e.line())
    except RuntimeError:
        pass
    expect_lines(rest, [], "output after quit")
    status = e.finish()
    check(status == 0, "quit exits with status 0, got %r" % status)
    check(not [l for l in e.stderr if l], "nothing on standard error: %r" % e.stderr[:5])


def end_of_input(e):
    # Input that ends without quit (and without a final line feed) ends the program normally.
    status = e.finish("position startpos moves e2e4\nisready")
    out = []
    try:
        while True:
            out.append(e.line())
    except RuntimeError:
        pass
    check(out[-1:] == ["readyok"], "last line before end of input: %r" % out[-3:])
    check(status == 0, "end of input exits with status 0, got %r" % status)


def empty_input(e):
    check(e.finish() == 0, "empty input exits with status 0")


def main():
    if len(sys.argv) != 2:
        print(__doc__, file=sys.stderr)
        return 2
    path = os.path.abspath(sys.argv[1])
    with tempfile.TemporaryDirectory(prefix="vexar-e2e-") as workdir:
        for run in (session, end_of_input, empty_input):
            engine = Engine(path, workdir, network=False, timeout=TIMEOUT)
            try:
                run(engine)
            except (RuntimeError, OSError) as error:
                check(False, "%s: %s" % (run.__name__, error))
            finally:
                if engine.proc.poll() is None:
                    engine.proc.kill()
                    engine.proc.wait()
        leftovers = os.listdir(workdir)
        check(not leftovers, "no files written without network.txt: %r" % leftovers)
    return checks.finish()


if __name__ == "__main__":
    sys.exit(main())
