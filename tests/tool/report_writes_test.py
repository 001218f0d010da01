#!/usr/bin/env python3
"""mapconv's report reaches standard error in at most two writes: the
"Converting" line alone, then the rest of the run's report, so that runs
sharing one log never mix lines. Standard error is a SOCK_SEQPACKET socket,
where every write(2) arrives as one record; the records joined must be the
bytes the same run writes into a regular file.

Usage: report_writes_test.py MAPCONV XDTGEN
"""
import os
import shlex
import socket
import subprocess
import sys
import tempfile

MAPCONV, XDTGEN = (os.path.abspath(path) for path in sys.argv[1:3])
WRAPPER = shlex.split(os.environ.get("MAPCONV_TEST_WRAPPER", ""))

# name | how the input is made | arguments | status | records, each cut short as a prefix
CASES = [
    ("converted", ["8", "6"], ["in.xdt", "new.dat"], 0,
     ['Converting "in.xdt" to "new.dat"\n', 'Conversion from "in.xdt" to "new.dat" successful\n']),
    ("warning", ["-z", "1", "8", "6"], ["in.xdt", "new.dat"], 0,
     ['Converting ', 'Warning: ', ]),
    ("reader line and failure", ["1", "6"], ["in.xdt", "new.dat"], 4,
     ['Converting ', 'Num Cols = 1 is too small\nUnable to convert "in.xdt" to "new.dat" because...\n']),
    ("cut short", ["truncate", "8", "6"], ["in.xdt", "new.dat"], 4,
     ['Converting ', 'EOF reading point ']),
    ("output exists", ["8", "6"], ["in.xdt", "old.dat"], 3,
     ['Unable to convert "in.xdt" to "old.dat" because...\n\t"old.dat" already exists\n']),
    ("input missing", ["8", "6"], ["nothing.xdt", "new.dat"], 2, ['Unable to convert "nothing.xdt"']),
    ("usage", ["8", "6"], ["in.xdt"], 1, ['\nUsage:  mapconv [options] input output\n']),
    ("name with a newline", ["8", "6"], ["in.xdt", "a\nb.dat"], 0,
     ['Converting "in.xdt" to "a\\nb.dat"\n', 'Conversion from ']),
]


def run(arguments, folder, stderr):
    return subprocess.run(WRAPPER + [MAPCONV] + arguments, cwd=folder, stdin=subprocess.DEVNULL,
                          stdout=subprocess.PIPE, stderr=stderr).returncode


def records_of(arguments, folder):
    """The run's status, its standard error's records and its standard output."""
    ours, theirs = socket.socketpair(socket.AF_UNIX, socket.SOCK_SEQPACKET)
    with ours:
        with theirs:
            process = subprocess.Popen(WRAPPER + [MAPCONV] + arguments, cwd=folder, stdin=subprocess.DEVNULL,
                                       stdout=subprocess.PIPE, stderr=theirs)
        records = []
        while record := ours.recv(1 << 20):
            records.append(record.decode())
        output = process.stdout.read()
        return process.wait(), records, output


def main():
    failures = 0
    for name, make, arguments, status, expected in CASES:
        with tempfile.TemporaryDirectory() as folder:
            truncate = make[0] == "truncate"
            subprocess.run([XDTGEN] + make[truncate:] + [os.path.join(folder, "in.xdt")], check=True,
                           stderr=subprocess.DEVNULL)
            if truncate:
                os.truncate(os.path.join(folder, "in.xdt"), 100)
            open(os.path.join(folder, "old.dat"), "w").close()
            got_status, records, output = records_of(arguments, folder)
            for made in ("new.dat", "a\nb.dat"):
                if os.path.exists(os.path.join(folder, made)):
                    os.unlink(os.path.join(folder, made))
            with open(os.path.join(folder, "stderr.txt"), "w+") as log:
                run(arguments, folder, log)
                log.seek(0)
                whole = log.read()
        problems = []
        if got_status != status:
            problems.append(f"status {got_status}, expected {status}")
        if len(records) != len(expected) or any(not r.startswith(e) for r, e in zip(records, expected)):
            problems.append(f"records {records!r}, expected {len(expected)} beginning {expected!r}")
        if "".join(records) != whole:
            problems.append(f"the records {records!r} are not the bytes written into a file: {whole!r}")
        if output:
            problems.append(f"printed on standard output: {output!r}")
        if problems:
            failures += 1
            print(f"FAIL {name}: " + "; ".join(problems))
    print(f"{len(CASES) - failures} passed, {failures} failed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
