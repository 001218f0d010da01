#!/usr/bin/env python3
"""Checks that the library guide quotes its examples exactly.

Each ```cpp block that follows a line "<!-- example: NAME -->" in the guide
must equal the file NAME in the examples folder, and every example file must
be quoted. Usage: check_guide.py GUIDE EXAMPLES_FOLDER
"""
import pathlib
import re
import sys

guide = pathlib.Path(sys.argv[1]).read_text()
folder = pathlib.Path(sys.argv[2])
quoted = dict(re.findall(r"<!-- example: (\S+) -->\n```cpp\n(.*?)```\n", guide, re.S))
files = {path.name: path.read_text() for path in folder.glob("*.cpp")}
failures = [f"{name}: not quoted in the guide" for name in sorted(files.keys() - quoted.keys())]
failures += [f"{name}: quoted but no such example" for name in sorted(quoted.keys() - files.keys())]
failures += [f"{name}: the guide's copy differs from the file" for name in sorted(files.keys() & quoted.keys())
             if files[name] != quoted[name]]
for failure in failures:
    print(failure)
print(f"{len(quoted)} examples quoted, {len(failures)} problems")
sys.exit(1 if failures else 0)
