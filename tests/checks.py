"""Pass/fail counting shared by the Python test scripts: `check` records one
result, `run` calls each test function (a test that raises counts as one
failure) and prints the totals, `status` is the exit status.  Importing it
also puts tools/ on the module path."""
import os
import sys
import traceback

TOOLS = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "tools")
sys.dont_write_bytecode = True  # no __pycache__ in the source tree
sys.path.insert(0, TOOLS)

counts = {"passed": 0, "failed": 0}


def check(condition, what):
    if condition:
        counts["passed"] += 1
    else:
        counts["failed"] += 1
        print("FAILED: %s" % what)


def near(a, b, tolerance, what):
    check(abs(a - b) <= tolerance, "%s: %r, expected %r" % (what, a, b))


def run(tests):
    """Runs the test functions; returns the exit status."""
    for test in tests:
        try:
            test()
        except Exception:
            counts["failed"] += 1
            print("FAILED: %s raised" % test.__name__)
            traceback.print_exc()
    print("%d passed, %d failed" % (counts["passed"], counts["failed"]))
    return 1 if counts["failed"] else 0
