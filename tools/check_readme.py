#!/usr/bin/env python3
"""Runs the README's commands, in order, in a scratch clone of the repository.

A reader follows the README from the top in one shell, so the check does too:
```sh blocks run as written, ```console blocks run each "$ " line and compare
what it prints (standard output and error together) with the lines shown under
it, and ```python blocks run with the interpreter the module is built for. A block after a line
"<!-- not run: why -->" is skipped. A block after "<!-- run by tests/cluster/run: NAME -->"
needs the engines that script starts (Slurm, sshd, Dask) and is run there instead, on
many inputs: the check makes sure that script runs every such block, by name. Every command must succeed, and the clone
must be as clean afterwards as before (git status --porcelain empty). The
package table is checked against tools/setup --list.

The clone is of HEAD with the working tree's changes to tracked files applied,
so an edited README is checked before it is committed.

Usage: check_readme.py [--keep]   (--keep leaves the scratch folder in place)
       check_readme.py --block NAME  (prints the body of the block the cluster script runs as NAME)
"""
import pathlib
import re
import shlex
import shutil
import subprocess
import sys
import tempfile
import time

FENCE = re.compile(r"^(?P<marker>[ \t]*<!-- (?:not run[^>]*|run by tests/cluster/run: (?P<cluster>[\w-]+) )-->\n"
                   r"(?:[ \t]*\n)?)?(?P<indent>[ \t]*)```(?P<lang>\w*)\n"
                   r"(?P<body>.*?)^(?P=indent)```[ \t]*$", re.M | re.S)


CLUSTER_SCRIPT = "tests/cluster/run"
# How that script runs a block: readme_block NAME.
CLUSTER_RUNS = re.compile(r"^\s*readme_block ([\w-]+)", re.M)


def blocks(readme):
    """Yields (line number of the first body line, language, body, runs, cluster block name or None)."""
    for match in FENCE.finditer(readme):
        indent = match["indent"]
        lines = [line[len(indent):] if line.startswith(indent) else line
                 for line in match["body"].splitlines()]
        first_line = readme.count("\n", 0, match.start("body")) + 1
        yield first_line, match["lang"], lines, match["marker"] is None, match["cluster"]


def cluster_blocks(readme):
    """The blocks the cluster script runs: name -> (language, body lines)."""
    found = {}
    for first_line, lang, lines, _, name in blocks(readme):
        if name is not None:
            if name in found:
                sys.exit(f"README line {first_line}: a second block named {name}")
            found[name] = (lang, lines)
    return found


def check_cluster_blocks(readme, clone):
    """Each block left to the cluster script is run by it, and it runs no other."""
    marked = set(cluster_blocks(readme))
    script = clone / CLUSTER_SCRIPT
    run = set(CLUSTER_RUNS.findall(script.read_text())) if script.exists() else set()
    problems = []
    if marked - run:
        problems.append(f"README blocks marked for {CLUSTER_SCRIPT} that it does not run: {sorted(marked - run)}")
    if run - marked:
        problems.append(f"{CLUSTER_SCRIPT} runs README blocks that no marker names: {sorted(run - marked)}")
    return problems


def commands(first_line, lines):
    """Splits shell lines into complete commands: (line number, text)."""
    start, chunk = None, []
    for number, line in enumerate(lines, first_line):
        if not chunk and not line.strip():
            continue
        start = number if not chunk else start
        chunk.append(line)
        text = "\n".join(chunk)
        complete = subprocess.run(["bash", "-n", "-c", text], capture_output=True).returncode == 0
        if complete and not line.endswith("\\"):
            yield start, text
            chunk = []
    if chunk:
        sys.exit(f"README line {start}: incomplete shell command")


def script_for(readme, scratch):
    """The whole README as one bash script, stopping at the first failure."""
    out = ["set -o pipefail",
           'fail() { echo "README line $1 failed (status $2): $3" >&2; exit 1; }',
           # The interpreter the module is built for, as the README says.
           "python=python3; python3 -c 'import numpy' 2>/dev/null || python=/usr/bin/python3"]

    def run(number, text, redirect=""):
        out.append(f"echo {shlex.quote('$ ' + text.splitlines()[0])}")
        out.append(f"{{\n{text}\n}}{redirect}")
        out.append(f"s=$?; [ $s -eq 0 ] || fail {number} $s {shlex.quote(text)}")

    counts = {"run": 0, "skipped": 0, "cluster": 0}
    for index, (first_line, lang, lines, runs, cluster) in enumerate(blocks(readme)):
        if lang not in ("sh", "console", "python"):
            continue
        if not runs:
            counts["cluster" if cluster else "skipped"] += 1
            continue
        counts["run"] += 1
        if lang == "sh":
            for number, text in commands(first_line, lines):
                run(number, text)
        elif lang == "python":
            path = scratch / f"block{index}.py"
            path.write_text("\n".join(lines) + "\n")
            run(first_line, f'"$python" {shlex.quote(str(path))}')
        else:
            steps = []
            for number, line in enumerate(lines, first_line):
                if line.startswith("$ "):
                    steps.append((number, line[2:], []))
                elif steps:
                    steps[-1][2].append(line)
                else:
                    sys.exit(f"README line {number}: console block output before any command")
            for step, (number, text, expected) in enumerate(steps):
                expected_path = scratch / f"expected{index}_{step}"
                expected_path.write_text("".join(line + "\n" for line in expected))
                got = shlex.quote(str(expected_path) + ".got")
                run(number, text, f" >{got} 2>&1")
                out.append(f"diff -u {shlex.quote(str(expected_path))} {got} || "
                           f"fail {number} 0 {shlex.quote('its output differs from the README: ' + text)}")
    return "\n".join(out) + "\n", counts


def check_package_table(readme, clone):
    """Each row naming `tools/setup PURPOSE` lists exactly that purpose's packages."""
    rows = re.findall(r"^\|.*\|\s*`tools/setup (\w+)`\s*\|([^|\n]*)\|\s*$", readme, re.M)
    problems = [] if rows else ["no package table (rows with `tools/setup PURPOSE`)"]
    for purpose, cell in rows:
        shown = set(" ".join(re.findall(r"`([^`]*)`", cell)).split())
        listed = subprocess.run(["sh", "tools/setup", "--list", purpose], cwd=clone, capture_output=True,
                                text=True, check=True).stdout.split()
        if shown != set(listed):
            problems.append(f"the table's packages for {purpose} are not tools/setup's: "
                            f"missing {sorted(set(listed) - shown)}, extra {sorted(shown - set(listed))}")
    return problems


def git(*args, cwd, **kwargs):
    return subprocess.run(["git", *args], cwd=cwd, check=True, capture_output=True, text=True, **kwargs).stdout


def main():
    if sys.argv[1:2] == ["--block"] and len(sys.argv) == 3:
        readme = (pathlib.Path(__file__).parent.parent / "README.md").read_text()
        found = cluster_blocks(readme)
        if sys.argv[2] not in found:
            sys.exit(f"README has no block marked run by {CLUSTER_SCRIPT}: {sys.argv[2]}")
        print("\n".join(found[sys.argv[2]][1]))
        return 0
    keep = "--keep" in sys.argv[1:]
    repo = pathlib.Path(git("rev-parse", "--show-toplevel", cwd=pathlib.Path(__file__).parent).strip())
    started = time.monotonic()
    scratch = pathlib.Path(tempfile.mkdtemp(prefix="check_readme."))
    try:
        clone = scratch / "clone"
        git("clone", "-q", str(repo), str(clone), cwd=scratch)
        changes = git("diff", "HEAD", "--binary", cwd=repo)
        if changes:
            git("apply", "--index", cwd=clone, input=changes)
            git("-c", "user.name=check_readme", "-c", "user.email=check_readme@localhost",
                "commit", "-q", "-m", "the working tree's changes", cwd=clone)
        readme = (clone / "README.md").read_text()
        problems = check_package_table(readme, clone) + check_cluster_blocks(readme, clone)
        script, counts = script_for(readme, scratch)
        (scratch / "readme.sh").write_text(script)
        print(f"running {counts['run']} README blocks in {clone} ({counts['skipped']} marked not run, "
              f"{counts['cluster']} left to {CLUSTER_SCRIPT})", flush=True)
        status = subprocess.run(["bash", str(scratch / "readme.sh")], cwd=clone, stdin=subprocess.DEVNULL).returncode
        if status != 0:
            problems.append("a README command failed (see above)")
        dirt = git("status", "--porcelain", "--untracked-files=all", cwd=clone)
        if dirt:
            problems.append("the README's commands left the tree unclean:\n" + dirt.rstrip())
    finally:
        if keep:
            print(f"scratch folder kept: {scratch}")
        else:
            shutil.rmtree(scratch, ignore_errors=True)
    for problem in problems:
        print(problem, file=sys.stderr)
    print(f"README check: {len(problems)} problems, {time.monotonic() - started:.0f} s")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
