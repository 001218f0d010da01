#!/usr/bin/env python3
"""Checks a campaign folder after a run of one README recipe (tests/cluster/run).

check_campaign.py RECIPE TOP GRIDS CALLS ROUND
    ROUND 1: every good input converted exactly once (its output the
    reference in GRIDS), the done ones untouched and skipped, the bad ones
    without output and listed with their status; ROUND 2: nothing converted,
    nothing changed, status 0.
check_campaign.py --set-aside TOP
    moves the bad inputs out of data (as a lab would) and notes the outputs.
"""
import collections
import json
import os
import pathlib
import re
import sys

PYTHON_RECIPES = {"threads", "dask"}
# The recipes' first status with bad inputs among the good ones.
FIRST_STATUS = {"xargs": 123}
SUMMARY = {"xargs": False}


def inputs(top):
    """(good: {name: seed}, done, bad) as relative names, the way the recipes write them."""
    good, done, bad = {}, [], []
    for path in (top / "data").rglob("*.xdt"):
        name = os.path.relpath(path, top)
        if path.name.startswith("bad "):
            bad.append(name)
        elif path.name.startswith("done "):
            done.append(name)
        else:
            good[name] = re.search(r"s(\d+)_\d+\.xdt$", path.name)[1]
    return good, done, bad


def outputs(top):
    return {os.path.relpath(path, top): (path.stat().st_ino, path.stat().st_mtime_ns)
            for path in (top / "data").rglob("*.dat")}


def escaped(name):
    return "".join(c if c.isprintable() else repr(c)[1:-1] for c in name)


def texts(top, round_):
    """What the run said on standard error, wherever the recipe keeps it."""
    found = [top / f"stderr.{round_}"]
    found += [top / "convert.log"] + sorted((top / "logs").rglob("*.out"))
    return "".join(path.read_text(errors="replace") for path in found if path.exists())


def check(recipe, top, grids, calls_path, round_):
    problems = []
    good, done, bad = inputs(top)
    status = int((top / f"status.{round_}").read_text())
    summary = (top / f"summary.{round_}").read_text()
    said = texts(top, round_)
    calls = collections.Counter(os.path.normpath(c) for c in calls_path.read_bytes().decode().split("\0")[:-1])
    expected_status = 0 if round_ == 2 else FIRST_STATUS.get(recipe, 1)
    if status != expected_status:
        problems.append(f"status {status}, expected {expected_status}")
    leftovers = [str(p) for p in (top / "data").rglob(".*")]
    if leftovers:
        problems.append(f"hidden files left: {leftovers}")
    if list(top.glob("slurm-*.out")):
        problems.append("Slurm's task logs in the submit folder")
    if round_ == 2:
        before = json.loads((top / "outputs.json").read_text())
        now = {name: list(value) for name, value in outputs(top).items()}
        if now != before:
            problems.append(f"outputs changed: {sorted(set(now.items()) ^ set(before.items()))[:5]}")
        if calls:
            problems.append(f"{sum(calls.values())} conversions run, expected none: {list(calls)[:5]}")
        if summary.strip():
            problems.append(f"failures listed: {summary[:300]!r}")
        return problems
    for name, seed in good.items():
        output = top / (name[:-4] + ".dat")
        if not output.exists() or output.read_bytes() != (grids / f"s{seed}.dat").read_bytes():
            problems.append(f"{name!r}: output missing or not mapconv's")
    for name in done:
        if (top / (name[:-4] + ".dat")).read_text() != "converted earlier\n":
            problems.append(f"{name!r}: its earlier output was replaced")
    for name in bad:
        if (top / (name[:-4] + ".dat")).exists():
            problems.append(f"{name!r}: a bad input has an output")
    if recipe not in PYTHON_RECIPES:
        expected = collections.Counter({name: 1 for name in list(good) + bad})
        if calls != expected:
            wrong = sorted(set(calls.items()) ^ set(expected.items()))
            problems.append(f"inputs not run exactly once ({len(wrong)}), such as {wrong[:5]}")
        skipped = [name for name in done if f'Skipping "{name}"' not in said and f'Skipping "./{name}"' not in said]
        if skipped:
            problems.append(f"skips not said: {skipped[:3]}")
        if "Warning: " not in said:
            problems.append("the heights written as no data were not reported")
    else:
        if f"{len(done)} of {len(good) + len(done) + len(bad)} already converted, skipped" not in said:
            problems.append("the skipped inputs were not said")
        if "tall s9_0.xdt: " not in said or "heights written as no data" not in said:
            problems.append("the heights written as no data were not reported to the caller")
    if SUMMARY.get(recipe, True):
        lines = [line.split("\t") for line in summary.splitlines() if line]
        listed = {os.path.normpath(fields[-1]): fields[:-1] for fields in lines}
        if sorted(listed) != sorted(escaped(name) for name in bad) or len(lines) != len(bad):
            problems.append(f"the summary lists {sorted(listed)}, expected {sorted(bad)}")
        for fields in listed.values():
            if recipe in PYTHON_RECIPES:
                ok = fields[0] in ("ERR_PARAM_OUT_OF_RANGE", "ERR_PREMATURE_EOF")
            else:
                ok = fields == ["4", "reading the XDT file failed"]
            if not ok:
                problems.append(f"a summary line's status and meaning: {fields}")
    else:
        missing = [name for name in bad if f'Unable to convert "{name}"' not in said]
        if missing:
            problems.append(f"failures not in the log: {missing}")
    return problems


def main(arguments):
    if arguments[0] == "--set-aside":
        top = pathlib.Path(arguments[1])
        (top / "set-aside").mkdir()
        for number, name in enumerate(inputs(top)[2]):
            (top / name).rename(top / "set-aside" / f"{number}.xdt")
        (top / "outputs.json").write_text(json.dumps(outputs(top)))
        return 0
    recipe, top, grids, calls, round_ = arguments
    problems = check(recipe, pathlib.Path(top), pathlib.Path(grids), pathlib.Path(calls), int(round_))
    for problem in problems[:10]:
        print(f"{recipe}, run {round_}: {problem}", file=sys.stderr)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
