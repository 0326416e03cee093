"""A small runner for the program tests: named cases, collected expectations, one summary line.

Every test script is started as `python3 script <binary> <repo root>` and exits with status 1 when
any case failed, so that ctest reports it.
"""

import os
import sys
import traceback


class CaseContext:
    """What a test case gets: the paths it works with and a place to record failed expectations."""

    def __init__(self, binary, repo_root):
        self.binary = binary
        self.repo_root = repo_root
        self.failures = []

    def expect(self, condition, description):
        if not condition:
            self.failures.append(description)
        return bool(condition)

    def expect_equal(self, actual, expected, description):
        return self.expect(actual == expected,
                           f"{description}: expected {expected!r}, got {actual!r}")


def run_cases(cases):
    """Runs (name, function) pairs; each function takes a CaseContext. Exits with the result."""
    if len(sys.argv) != 3:
        print(f"usage: {sys.argv[0]} <vantrelRelay binary> <repository root>")
        sys.exit(2)
    binary, repo_root = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])
    passed = 0
    failed = 0
    for name, function in cases:
        context = CaseContext(binary, repo_root)
        try:
            function(context)
        except Exception:
            context.failures.append("exception:\n" + traceback.format_exc())
        if context.failures:
            failed += 1
            print(f"FAIL {name}")
            for failure in context.failures:
                print(f"     {failure}")
        else:
            passed += 1
            print(f"ok   {name}")
        sys.stdout.flush()
    print(f"{passed} passed, {failed} failed")
    sys.exit(0 if failed == 0 and passed > 0 else 1)
