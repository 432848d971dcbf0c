"""A UCI engine process driven over its standard input and output, for the
end-to-end tests, and the tally of their checks.  Every read has a timeout,
so a hung engine fails a test instead of blocking it."""
import os
import queue
import shutil
import subprocess
import sys
import tempfile
import threading

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
# Generation 0.8 reads only its own binary form, and cannot start without it.
KING_NETWORK = os.path.join(REPO, "data", "network-0.8.nn")


def king_relative(path):
    return os.path.basename(path).startswith("vexar-0.8")


def place_network(path, cwd):
    """Puts the shipped network of the engine at `path` into the folder: the
    0.9 text form, or generation 0.8's network.nn (a random one made by the
    build's random-network when none is shipped)."""
    if king_relative(path):
        target = os.path.join(cwd, "network.nn")
        if os.path.exists(KING_NETWORK):
            shutil.copy(KING_NETWORK, target)
        else:
            maker = os.path.join(os.path.dirname(os.path.abspath(path)), "random-network")
            subprocess.run([maker, "--king", "1", target], check=True, stdout=subprocess.DEVNULL)
        return
    shipped = os.path.join(REPO, "data", "network.txt")
    if os.path.exists(shipped):
        shutil.copy(shipped, cwd)


class Engine:
    def __init__(self, path, cwd=None, network=True, timeout=20.0, env=None, args=()):
        """Starts the engine in `cwd` (a fresh temporary directory by default),
        with its shipped network copied there when `network` is true."""
        self.timeout = timeout
        self.cwd = cwd or tempfile.mkdtemp(prefix="vexar-e2e-")
        if network:
            place_network(path, self.cwd)
        self.proc = subprocess.Popen([os.path.abspath(path)] + list(args), cwd=self.cwd, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=subprocess.PIPE, env=env)
        self.lines = queue.Queue()
        self.stderr = []
        threading.Thread(target=self._pump, args=(self.proc.stdout, self.lines.put), daemon=True).start()
        threading.Thread(target=self._pump, args=(self.proc.stderr, self.stderr.append), daemon=True).start()

    @staticmethod
    def _pump(stream, sink):
        for raw in stream:
            sink(raw.decode("latin-1").rstrip("\n"))
        sink(None)

    def send(self, text):
        if not text.endswith("\n"):
            text += "\n"
        self.proc.stdin.write(text.encode("latin-1"))
        self.proc.stdin.flush()

    def line(self, timeout=None):
        try:
            line = self.lines.get(timeout=timeout or self.timeout)
        except queue.Empty:
            raise RuntimeError("no output within %.0f s" % (timeout or self.timeout))
        if line is None:
            raise RuntimeError("engine closed its output")
        return line

    def until(self, predicate, timeout=None):
        """Lines up to and including the first for which predicate(line) holds."""
        got = []
        while True:
            line = self.line(timeout)
            got.append(line)
            if predicate(line):
                return got

    def until_prefix(self, prefix, timeout=None):
        return self.until(lambda l: l.startswith(prefix), timeout)

    def ask(self, command):
        """Sends a command fenced with isready; returns the answer lines."""
        self.send(command + "\nisready")
        return self.until(lambda l: l == "readyok")[:-1]

    def finish(self, text=None):
        """Optionally sends a last text, closes standard input (end of input
        means quit) and returns the exit status."""
        if text:
            self.send(text)
        self.proc.stdin.close()
        try:
            return self.proc.wait(timeout=self.timeout)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
            return None


class Checks:
    """The checks of one test script.  A failed check is printed to standard
    error at once, so that it shows next to the output that led to it;
    finish() prints the closing tally and returns the exit status."""

    def __init__(self, name):
        self.name = name
        self.passed = 0
        self.failures = []

    def check(self, condition, message):
        if condition:
            self.passed += 1
        else:
            self.failures.append(message)
            print("FAIL: " + message, file=sys.stderr)

    def finish(self):
        """Prints "NAME: N passed, M failed"; 0 when every check passed, 1 when
        one failed or none ran at all (a script that checked nothing proved
        nothing)."""
        print("%s: %d passed, %d failed" % (self.name, self.passed, len(self.failures)))
        sys.stdout.flush()
        return 0 if self.passed and not self.failures else 1
