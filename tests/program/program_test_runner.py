"""A small runner for the program tests: named cases, collected expectations, one summary line.

A case also fails when a relay it ran logged an ERROR line that the case did not allow (allow_error).

Every test script is started as `python3 script <binary> <repo root>` and exits with status 1 when
any case failed, so that ctest reports it.
"""

import os
import sys
import traceback

from relay_process import take_run_outputs, unexpected_errors


class CaseContext:
    """What a test case gets: the paths it works with and a place to record failed expectations."""

    def __init__(self, binary, repo_root):
        self.binary = binary
        self.repo_root = repo_root
        self.failures = []
        self.allowed_errors = []

    def allow_error(self, piece):
        """An ERROR line containing the piece is part of what the case tests; any other one fails it."""
        self.allowed_errors.append(piece)

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
        for message in unexpected_errors(take_run_outputs(), context.allowed_errors):
            context.failures.append(f"unexpected ERROR line: {message}")
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
