#!/usr/bin/python3
"""Runs the command-line cases of one folder: each NAME.case sets up a scratch
folder, runs one program there with relative names and compares its exit
status, standard error, standard output and the files left in the folder with
NAME.stderr, NAME.stdout and NAME.files. The format is in cases/README.md.

usage: run_cases.py [--program NAME=PATH]... [--version V] [--samples DIR] FOLDER [CASE...]

MAPCONV_TEST_WRAPPER (words such as a valgrind command) goes in front of the
program under test; MAPCONV_CASES_UPDATE=1 rewrites the expected files from
what the programs do now, for review after an intended change.
"""

import hashlib
import io
import math
import os
import re
import shlex
import shutil
import signal
import socket
import stat
import struct
import subprocess
import sys
import tempfile
import zipfile

SKIPPED = 77
# No run may write more than this: a copy without end fails instead.
FILE_SIZE_LIMIT = 256 << 20
UNPRIVILEGED = ["setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups"]
ESCAPES = {"n": "\n", "t": "\t", "r": "\r", "a": "\a", "e": "\x1b", "\\": "\\", "s": " "}


class Skip(Exception):
    pass


class CaseError(Exception):
    pass


def unescape(word):
    """\\n, \\t, \\r, \\a, \\e, \\s (a space), \\\\ and \\xHH, as bytes."""
    out = bytearray()
    i = 0
    raw = word.encode("utf-8", "surrogateescape")
    while i < len(raw):
        ch = raw[i : i + 1]
        if ch == b"\\" and i + 1 < len(raw):
            nxt = chr(raw[i + 1])
            if nxt == "x":
                out.append(int(raw[i + 2 : i + 4], 16))
                i += 4
                continue
            if nxt in ESCAPES:
                out += ESCAPES[nxt].encode()
                i += 2
                continue
        out += ch
        i += 1
    return bytes(out)


def words_of(line):
    """Shell-like words (quotes group, no backslash escapes), then unescaped."""
    lexer = shlex.shlex(line, posix=True, punctuation_chars=False)
    lexer.whitespace_split = True
    lexer.escape = ""
    lexer.commenters = ""
    return [unescape(word) for word in lexer]


def expand(word):
    """{long:N:PART} repeats PART until the word is longer than N bytes."""

    def long(match):
        limit, part = int(match.group(1)), match.group(2)
        text = b""
        while len(text) <= limit:
            text += part
        return text

    return re.sub(rb"\{long:(\d+):([^}]*)\}", long, word)


def xdt_bytes(words):
    """xdt NAME COLUMNS ROWS [SPACING HEIGHTS...]: the counts, then the points
    row by row at x = column * spacing, y = row * spacing. One HEIGHTS word is
    an expression in r (row) and k (column); several are the heights in order."""
    columns, rows = int(words[0]), int(words[1])
    data = struct.pack("<HH", columns, rows)
    if len(words) < 3:
        return data
    spacing = struct.unpack("<f", struct.pack("<f", float(words[2])))[0]
    heights = [w.decode() for w in words[3:]]
    expression = compile(heights[0], "height", "eval") if len(heights) == 1 else None
    names = {"nan": math.nan, "inf": math.inf, "sin": math.sin, "cos": math.cos}
    points = []
    for r in range(rows):
        for k in range(columns):
            if expression is not None:
                names["r"], names["k"] = r, k
                z = float(eval(expression, {"__builtins__": {}}, names))
            else:
                z = float(heights[r * columns + k])
            points.append(struct.pack("<fff", k * spacing, r * spacing, z))
    return data + b"".join(points)


class Case:
    def __init__(self, folder, name, programs, samples=""):
        self.folder = folder
        self.name = name
        self.programs = programs
        self.samples = samples
        self.held = []  # sockets bound for the run
        self.loops = []
        self.mounts = []
        self.private = tempfile.mkdtemp(prefix="mapconv-case-private-")
        self.copies = []

    def reachable(self, word):
        # The build tree may sit in a folder only its owner can enter (a clone
        # under mktemp -d): nobody runs a copy of the program instead.
        folder = tempfile.mkdtemp(prefix="mapconv-case-program-")
        self.copies.append(folder)
        os.chmod(folder, 0o755)
        copy = os.path.join(folder, os.path.basename(self.programs[os.fsdecode(word)]))
        shutil.copy2(self.programs[os.fsdecode(word)], copy)
        return os.fsencode(copy)

    def path(self, word):
        return os.fsdecode(word)

    def setup(self, verb, args):
        p = self.path
        if verb == "xdt":
            with open(p(args[0]), "wb") as f:
                f.write(xdt_bytes(args[1:]))
        elif verb == "bytes":
            with open(p(args[0]), "wb") as f:
                f.write(bytes.fromhex(b"".join(args[1:]).decode()))
        elif verb == "text":
            with open(p(args[0]), "wb") as f:
                f.write(b" ".join(args[1:]))
        elif verb == "copy":
            shutil.copyfile(p(args[1]), p(args[0]))
        elif verb == "cut":
            size = os.path.getsize(p(args[0]))
            length = int(args[1])
            os.truncate(p(args[0]), length if length >= 0 else size + length)
        elif verb == "patch":
            with open(p(args[0]), "r+b") as f:
                f.seek(int(args[1], 0))
                f.write(bytes.fromhex(b"".join(args[2:]).decode()))
        elif verb == "fifo":
            os.mkfifo(p(args[0]), 0o600)
        elif verb == "socket":
            held = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
            held.bind(p(args[0]))
            self.held.append(held)
        elif verb == "symlink":
            os.symlink(p(args[1]), p(args[0]))
        elif verb == "hardlink":
            os.link(p(args[1]), p(args[0]))
        elif verb == "mkdir":
            os.mkdir(p(args[0]))
        elif verb == "chmod":
            os.chmod(p(args[1]), int(args[0], 8), follow_symlinks=False)
        elif verb == "tmpfs":
            os.mkdir(p(args[0]))
            if subprocess.run(["mount", "-t", "tmpfs", "-o", "size=" + p(args[1]), "mapconv-test", p(args[0])],
                              stderr=subprocess.DEVNULL).returncode != 0:
                raise Skip("cannot mount a small file system here (needs root)")
            self.mounts.append(os.path.abspath(p(args[0])))
        elif verb == "loop":
            self.loop(p(args[0]), p(args[1]))
        elif verb == "sample":
            # A real file from the samples folder, which may be absent here.
            source = os.path.join(self.samples, p(args[1]))
            if not self.samples or not os.path.isfile(source):
                raise Skip("no %s (the samples folder, ../shared/x3p)" % source)
            shutil.copyfile(source, p(args[0]))
        elif verb == "prepare":
            result = self.execute(args, wrap=False)
            if result.returncode != 0:
                raise CaseError("prepare %s failed: %s" % (b" ".join(args).decode(errors="replace"),
                                                          result.stderr.decode(errors="replace")))
        else:
            raise CaseError("unknown setup " + verb)

    def loop(self, node, content_file):
        """node: a block device whose first bytes are content_file's, which goes."""
        if os.geteuid() != 0 or shutil.which("losetup") is None:
            raise Skip("no loop device here (needs root and losetup)")
        image = os.path.join(self.private, "disk%d.img" % len(self.loops))
        with open(content_file, "rb") as f:
            content = f.read()
        os.remove(content_file)
        with open(image, "wb") as f:
            f.write(content.ljust(64 << 10, b"\0"))
        found = subprocess.run(["losetup", "--find", "--show", image], capture_output=True, text=True)
        if found.returncode != 0:
            raise Skip("no loop device here")
        device = found.stdout.strip()
        self.loops.append(device)
        os.mknod(node, 0o600 | stat.S_IFBLK, os.stat(device).st_rdev)

    def command(self, words, wrap):
        program = os.fsdecode(words[0])
        if program not in self.programs:
            raise CaseError("unknown program " + program)
        argv = [os.fsencode(self.programs[program])] + words[1:]
        if wrap:
            argv = [os.fsencode(w) for w in os.environ.get("MAPCONV_TEST_WRAPPER", "").split()] + argv
        return argv

    def execute(self, words, wrap, options=None):
        options = options or {}
        argv = self.command(words, wrap)
        if options.get("user") == "nobody":
            argv[argv.index(os.fsencode(self.programs[os.fsdecode(words[0])]))] = self.reachable(words[0])
            argv = [os.fsencode(w) for w in UNPRIVILEGED] + argv
        limit = options.get("fsize", FILE_SIZE_LIMIT)

        def child():
            # The signals a case sends end the program, whatever the runner ignores.
            for number in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP):
                signal.signal(number, signal.SIG_DFL)
            import resource

            resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))

        stdin = open(options.get("stdin", "/dev/null"), "rb")
        stdout = open(options["stdout"], "wb") if "stdout" in options else subprocess.PIPE
        try:
            return subprocess.run(argv, stdin=stdin, stdout=stdout, stderr=subprocess.PIPE,
                                  preexec_fn=child, timeout=time_limit())
        except subprocess.TimeoutExpired:
            raise CaseError("%s ran longer than %d s" % (os.fsdecode(argv[0]), time_limit()))
        finally:
            stdin.close()
            if stdout is not subprocess.PIPE:
                stdout.close()

    def cleanup(self):
        for held in self.held:
            held.close()
        self.held = []
        for mount in self.mounts:
            subprocess.run(["umount", "-l", mount], stderr=subprocess.DEVNULL)
        self.mounts = []
        for device in self.loops:
            subprocess.run(["losetup", "-d", device], stderr=subprocess.DEVNULL)
        self.loops = []
        shutil.rmtree(self.private, ignore_errors=True)
        for folder in self.copies:
            shutil.rmtree(folder, ignore_errors=True)


def time_limit():
    seconds = int(os.environ.get("MAPCONV_CASES_TIMEOUT", "60"))
    return seconds * 10 if os.environ.get("MAPCONV_TEST_WRAPPER") else seconds


def describe(path, entry_stat):
    mode = "%04o" % stat.S_IMODE(entry_stat.st_mode)
    if stat.S_ISLNK(entry_stat.st_mode):
        return "link -> " + os.readlink(path)
    if stat.S_ISDIR(entry_stat.st_mode):
        return "dir " + mode
    if stat.S_ISFIFO(entry_stat.st_mode):
        return "fifo " + mode
    if stat.S_ISSOCK(entry_stat.st_mode):
        return "socket"
    with open(path, "rb") as f:
        content = f.read()
    if stat.S_ISBLK(entry_stat.st_mode):
        return "block device sha256:" + hashlib.sha256(content).hexdigest()[:16]
    if content.startswith(b"\x89PNG\r\n\x1a\n") and len(content) >= 24:
        # The compressed bytes depend on the zlib at hand: only the size is kept.
        width, height = struct.unpack(">II", content[16:24])
        return "file %s png %d x %d" % (mode, width, height)
    if content.startswith(b"PK\x03\x04"):
        # A ZIP container records when it was written: its entries are kept.
        try:
            with zipfile.ZipFile(io.BytesIO(content)) as archive:
                entries = ["%s %d sha256:%s" % (i.filename, i.file_size,
                                                hashlib.sha256(archive.read(i)).hexdigest()[:16])
                           for i in archive.infolist()]
            return "file %s zip %s" % (mode, ", ".join(entries))
        except (zipfile.BadZipFile, EOFError, OSError):
            # Cut or damaged: its first bytes hold the time too.
            return "file %s %d bytes of a ZIP container without its directory" % (mode, len(content))
    if len(content) <= 32 and all(32 <= b < 127 for b in content):
        return "file %s %r" % (mode, content.decode())
    if len(content) <= 16:
        return "file %s hex %s" % (mode, content.hex())
    return "file %s %d bytes sha256:%s" % (mode, len(content), hashlib.sha256(content).hexdigest()[:16])


def listing(top):
    lines = []
    for root, dirs, files in os.walk(top):
        dirs.sort()
        for name in sorted(dirs + files):
            path = os.path.join(root, name)
            shown = os.path.relpath(path, top)
            shown = shown.encode("utf-8", "surrogateescape").decode("ascii", "backslashreplace")
            shown = "".join(c if c.isprintable() or c == "\\" else "\\x%02x" % ord(c) for c in shown)
            lines.append("%s\t%s\n" % (shown, describe(path, os.lstat(path))))
        dirs[:] = [d for d in dirs if not os.path.islink(os.path.join(root, d))]
    return "".join(lines).encode()


def run_case(folder, name, programs, version, update, samples=""):
    """Runs one case; returns a list of differences (empty: it passed)."""
    with open(os.path.join(folder, name + ".case"), "rb") as f:
        lines = f.read().decode("utf-8", "surrogateescape").splitlines()
    steps = []
    for line in lines:
        if line.startswith("include "):
            # Setup shared by several cases of the folder.
            with open(os.path.join(folder, line.split()[1] + ".setup"), "rb") as f:
                steps += f.read().decode("utf-8", "surrogateescape").splitlines()
        else:
            steps.append(line)
    scratch = tempfile.mkdtemp(prefix="mapconv-case-")
    previous = os.getcwd()
    case = Case(folder, name, programs, samples)
    options = {}
    run = None
    status = 0
    try:
        os.chmod(scratch, 0o755)
        os.chdir(scratch)
        for line in steps:
            if not line.strip() or line.lstrip().startswith("#"):
                continue
            verb, _, rest = line.strip().partition(" ")
            args = [expand(w) for w in words_of(rest)]
            if verb == "run":
                run = args
            elif verb == "status":
                status = int(rest)
            elif verb == "user":
                options["user"] = rest.strip()
            elif verb == "limit-fsize":
                options["fsize"] = int(rest)
            elif verb in ("stdin", "stdout"):
                options[verb] = os.fsdecode(args[0])
            elif run is None:
                case.setup(verb, args)
            else:
                raise CaseError("setup after run: " + line)
        if run is None:
            raise CaseError("no run line")
        result = case.execute(run, wrap=True, options=options)
        actual = {
            "status": result.returncode if result.returncode >= 0 else 128 - result.returncode,
            "stderr": result.stderr,
            "stdout": result.stdout or b"",
        }
        for held in case.held:
            held.close()
        actual["files"] = listing(scratch)
    finally:
        case.cleanup()
        os.chdir(previous)
        subprocess.run(["chmod", "-R", "u+rwx", scratch], stderr=subprocess.DEVNULL)
        shutil.rmtree(scratch, ignore_errors=True)

    def shown(text):
        return text.replace(version.encode(), b"{version}") if version else text

    problems = []
    if actual["status"] != status:
        if update:
            rewrite_status(os.path.join(folder, name + ".case"), lines, actual["status"])
        problems.append("status %d, expected %d" % (actual["status"], status))
    for part in ("stderr", "stdout", "files"):
        expected_path = os.path.join(folder, name + "." + part)
        expected = b""
        if os.path.exists(expected_path):
            with open(expected_path, "rb") as f:
                expected = f.read()
        got = shown(actual[part])
        if got != expected:
            problems.append("%s differs:\n--- expected\n%s\n--- actual\n%s" % (
                part, expected.decode(errors="backslashreplace"), got.decode(errors="backslashreplace")))
            if update:
                if got:
                    with open(expected_path, "wb") as f:
                        f.write(got)
                elif os.path.exists(expected_path):
                    os.remove(expected_path)
    return problems


def rewrite_status(path, lines, status):
    kept = [line for line in lines if not line.startswith("status ")]
    if status != 0:
        kept.append("status %d" % status)
    with open(path, "wb") as f:
        f.write(("\n".join(kept) + "\n").encode("utf-8", "surrogateescape"))


def main(argv):
    programs = {}
    version = ""
    samples = ""
    rest = []
    i = 1
    while i < len(argv):
        if argv[i] == "--program":
            name, _, path = argv[i + 1].partition("=")
            programs[name] = path
            i += 2
        elif argv[i] == "--version":
            version = argv[i + 1]
            i += 2
        elif argv[i] == "--samples":
            samples = argv[i + 1]
            i += 2
        else:
            rest.append(argv[i])
            i += 1
    folder, chosen = rest[0], rest[1:]
    names = chosen or sorted(n[: -len(".case")] for n in os.listdir(folder) if n.endswith(".case"))
    if not names:
        print("no cases in " + folder)
        return 1
    update = os.environ.get("MAPCONV_CASES_UPDATE") == "1"
    os.umask(0o022)
    # A case writing into a closed pipe must fail, not kill the runner.
    signal.signal(signal.SIGPIPE, signal.SIG_IGN)
    failed = skipped = 0
    for name in names:
        try:
            problems = run_case(folder, name, programs, version, update, samples)
        except Skip as reason:
            print("SKIP %s: %s" % (name, reason))
            skipped += 1
            continue
        except CaseError as error:
            problems = [str(error)]
        if problems:
            failed += 1
            print("FAIL %s%s" % (name, " (expected files rewritten)" if update else ""))
            for problem in problems:
                print("  " + problem.replace("\n", "\n  "))
        else:
            print("ok   %s" % name)
    print("%d cases, %d failed, %d skipped" % (len(names), failed, skipped))
    if failed:
        return 1
    return SKIPPED if skipped == len(names) and names else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
