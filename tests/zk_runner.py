#!/usr/bin/env python3
"""Runs one script test as ctest sees it: `zk_runner.py SCRIPT [ARGS...]`
loads SCRIPT's tests as `unittest.main()` would when the script runs on its
own and runs them, then exits

  0        every test ran and passed,
  1        a test failed or raised (or the script did not load),
  SKIPPED  none failed but at least one was skipped,

so a script whose tests were skipped is reported as skipped, never as
passed (ctest maps SKIPPED to "Skipped" through SKIP_RETURN_CODE). The
skipped tests and their reasons are listed last. Not a test itself."""
import importlib.util
import os
import sys
import unittest

# The exit code of a run with skips: automake's, which ctest also knows.
SKIPPED = 77


def load(script):
    """The script as a module of its own name, imported as Python imports a
    script it runs: its folder first on the path."""
    path = os.path.abspath(script)
    sys.path.insert(0, os.path.dirname(path))
    name = os.path.splitext(os.path.basename(path))[0]
    spec = importlib.util.spec_from_file_location(name, path)
    mod = importlib.util.module_from_spec(spec)
    sys.modules[name] = mod
    spec.loader.exec_module(mod)
    return mod


def main(argv):
    if len(argv) < 2:
        print("usage: zk_runner.py SCRIPT [unittest arguments]", file=sys.stderr)
        return 2
    mod = load(argv[1])
    prog = unittest.main(module=mod, argv=[argv[1]] + argv[2:], exit=False)
    res = prog.result
    if res.skipped:
        print("\nskipped %d of %d:" % (len(res.skipped), res.testsRun), file=sys.stderr)
        for test, reason in res.skipped:
            print("  %s: %s" % (test.id(), reason), file=sys.stderr)
    if not res.wasSuccessful():
        return 1
    return SKIPPED if res.skipped else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
