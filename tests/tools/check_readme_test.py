#!/usr/bin/python3
"""check_readme.py's package table check, against a made-up clone whose
tools/setup lists two packages for the purpose ci."""

import importlib.util
import pathlib
import sys
import tempfile

spec = importlib.util.spec_from_file_location("check_readme", sys.argv[1])
check_readme = importlib.util.module_from_spec(spec)
spec.loader.exec_module(check_readme)

SETUP = """#!/bin/sh
[ "$1" = --list ] && [ "$2" = ci ] && echo "cmake ninja-build"
"""

# README text: how many problems the check must find.
CASES = [
    ("| CI | `tools/setup ci` | `cmake` `ninja-build` |\n", 0),
    ("| CI | `tools/setup ci` | `ninja-build` `cmake` |\n", 0),
    ("| CI | `tools/setup ci` | `cmake` |\n", 1),  # a package missing
    ("| CI | `tools/setup ci` | `cmake` `ninja-build` `valgrind` |\n", 1),  # an extra one
    ("| CI | `tools/setup ci` | `cmake` `valgrind` |\n", 1),  # both in one row
    ("no table at all\n", 1),
]

failed = 0
with tempfile.TemporaryDirectory() as clone:
    (pathlib.Path(clone) / "tools").mkdir()
    (pathlib.Path(clone) / "tools" / "setup").write_text(SETUP)
    for readme, expected in CASES:
        problems = check_readme.check_package_table(readme, clone)
        if len(problems) != expected:
            failed += 1
            print(f"FAIL {readme.strip()!r}: {len(problems)} problems, expected {expected}: {problems}")
        else:
            print(f"ok   {readme.strip()!r}")
sys.exit(1 if failed else 0)
