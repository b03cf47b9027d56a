#!/usr/bin/env python3
"""Runs rows of the case table (tests/cases.json) through the board simulator.

A row: "name"; "board" (a preset, default "default") with "edit" (merged into
board.json: objects key by key, other values replace), "drop" (dotted keys
removed), "faults" (added to the board's) and "files" (written into the board
directory first); "run": one argument vector, or a list of them run one after
the other on the same board (a vector whose first word starts with "/" runs
that program instead of ostrautil); "read": board files shown after the run;
"show": the output of `ostrasim show` shown after the run.  "@drives/" in a
drive file name stands for the real drive data directory; without it the row
is skipped.

Each row's result is compared with its golden files under tests/expected/:
NAME.out (per run the command line, standard output with "(%d):" for source
line numbers, exit status; then the drive probes, every report file that no
longer holds what an earlier run left there, the files read and the board
state), NAME.trace (`ostrasim trace`) and with --walk NAME.faults: every open
and every request of the row's last run fails once (-1 with EIO, and a request
also answers 1), and the entry gives the run's output, what was sent after the
failing call and the report files; a row whose last command line makes the
same calls as an earlier row of its family (the name up to its first "-") is
not walked again.  The program must close every node on every path.  A golden
file NAME.X.BE, where there is one, holds the PowerPC result.

With --backend sgio every drive of the row's board is a real drive (board key
host) reached through SG_IO, answered by the stand-in device (--standin, the
simulated drives of a copy of the board): the program's output must be the
golden one.

  tests/cases.py [--target native|ppc] [--walk [--rows]] [--backend sgio --standin LIB] [NAME...]
  tests/cases.py --update [NAME...]   rewrite the golden files from build/native and
                                      build/ppc (their diff is the change's review)
"""
import argparse
import atexit
import difflib
from fnmatch import fnmatchcase
import json
import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent
REPORTS = ["tmp/ostra_smart.info", "tmp/ostra_serial.info", "tmp/ostra_ssd_life.info"]
EARLIER = "report of an earlier run\n"
SKIP = 77


class Skip(Exception):
    pass


def shown(data):
    """Bytes as a golden file holds them: a missing last line feed is marked."""
    return data if data.endswith(b"\n") or not data else data + b"\n\\ no newline at end\n"


def numbered(out):
    return re.sub(rb"([A-Za-z_]\w*)\([0-9]+\):", rb"\1(%d):", out)


def quoted(args):
    return " ".join(a if re.fullmatch(r"[\w/.=+-]+", a) else json.dumps(a) for a in args)


class Runner:
    def __init__(self, opt, target):
        self.opt, self.target = opt, target
        build = ROOT / "build" / target
        # --update writes the golden files of both builds in the tree
        self.prog = os.path.abspath(not opt.update and opt.ostrautil or build / "ostrautil")
        self.sim = os.path.abspath(opt.ostrasim or ROOT / "build/native/ostrasim")
        self.env = dict(os.environ, ASAN_OPTIONS="verify_asan_link_order=0")
        if target == "ppc":
            self.env["OSTRASIM_PPC_LIB"] = str(Path(self.prog).parent / "libostrasim.so")
        self.presets, self.walked, self.walks = {}, set(), opt.walk or opt.update
        if not Path(self.prog).exists():
            raise Skip(f"no {target} build: {self.prog}")

    def board(self, row, suffix=""):
        """A fresh board directory for the row, its edits made (one place per
        target and backend: the tests of a row through both run at once)."""
        where = self.target + ("-sgio" if self.opt.backend == "sgio" else "")
        board = Path(self.opt.scratch).resolve() / where / (row["name"] + suffix)
        preset = row.get("board", "default")
        if preset not in self.presets:
            self.presets[preset] = board.with_name(f".{preset}.{os.getpid()}")
            subprocess.run([self.sim, "init", self.presets[preset], "--preset", preset],
                           check=True, stdout=subprocess.DEVNULL)
            atexit.register(shutil.rmtree, self.presets[preset], True)
        shutil.rmtree(board, ignore_errors=True)
        shutil.copytree(self.presets[preset], board, symlinks=True)
        desc = json.loads((board / "board.json").read_text())

        def merge(into, edit):
            for k, v in edit.items():
                if isinstance(v, dict) and isinstance(into.get(k), dict):
                    merge(into[k], v)
                else:
                    into[k] = v
        merge(desc, row.get("edit", {}))
        for key in row.get("drop", []):
            *path, last = key.split(".")
            node = desc
            for k in path:
                node = node[k]
            del node[last]
        for drive in desc.get("drives", {}).values():
            name = drive.get("drive_file", "")
            if name.startswith("@drives/"):
                if not Path(self.opt.drives).is_dir():
                    raise Skip(f"no real drive data at {self.opt.drives}")
                drive["drive_file"] = str(Path(self.opt.drives) / name[8:])
        desc["faults"] = desc.get("faults", []) + row.get("faults", [])
        (board / "board.json").write_text(json.dumps(desc, indent=2) + "\n")
        if self.opt.backend == "sgio":  # the drives behind SG_IO: a copy's simulated ones
            drives = board.with_name(board.name + ".drives")
            shutil.rmtree(drives, ignore_errors=True)
            shutil.copytree(board, drives, symlinks=True)
            (drives / "sgio").mkdir()
            for name, drive in desc.get("drives", {}).items():
                drive["host"] = str(drives / "sgio" / name)
                (drives / "sgio" / name).touch()
            (board / "board.json").write_text(json.dumps(desc, indent=2) + "\n")
            # (the stand-in answers in descriptor and fixed sense by turns)
            self.env.update(OSTRASIM_SGIO_BOARD=str(drives), LD_PRELOAD=os.path.abspath(self.opt.standin))
        for rel, text in list(row.get("files", {}).items()) + [(r, EARLIER) for r in REPORTS]:
            (board / rel).parent.mkdir(parents=True, exist_ok=True)
            if not (board / rel).exists():
                (board / rel).write_text(text)
        return board

    def run(self, board, args):
        """One command line on the board: its output and exit status as the golden file has them."""
        argv = args if args and args[0].startswith("/") else [self.prog] + args
        r = subprocess.run([self.sim, "run", board, "--"] + argv, cwd=board,
                           stdin=subprocess.DEVNULL, capture_output=True, env=self.env)
        if r.stderr:
            raise AssertionError(f"{quoted(args)}: standard error: {r.stderr.decode()}")
        return shown(numbered(r.stdout)) + b"[exit %d]\n" % r.returncode

    def after(self, row, board):
        """The trace lines and the report files; every node must have been closed."""
        lines = [json.loads(t) for t in (board / "trace.jsonl").read_text().splitlines()]
        for line in [] if other(row) else lines:
            if line.get("op") == "exit" and line["open"]:
                raise AssertionError(f"nodes left open: {line['open']}")
        files = {r: (board / r).read_bytes() if (board / r).is_file() else b"(absent)\n"
                 for r in REPORTS}
        return lines, files

    def play(self, row, full=True):
        """Runs the row: its golden texts, trace lines and report files."""
        board, out, todo = self.board(row, "" if full else ".clean"), b"", runs(row)
        for n, args in enumerate(todo):
            if n == len(todo) - 1 and self.walks:  # the board as the last command line finds it
                snap = board.with_name(row["name"] + ".snap")
                shutil.rmtree(snap, ignore_errors=True)
                shutil.copytree(board, snap, symlinks=True)
                first = len((snap / "trace.jsonl").read_bytes().splitlines())
            out += b"$ " + quoted(args).encode() + b"\n" + self.run(board, args)
        lines, files = self.after(row, board)
        probe = board / "probe.log"
        out += b"--- probes: " + (probe.read_bytes().replace(b"\n", b" ").strip()
                                  if probe.exists() else b"none") + b"\n"
        for rel in REPORTS:
            if files[rel] != earlier(row, rel) and not (board / rel).is_dir():
                out += b"--- /" + rel.encode() + b"\n" + shown(files[rel])
        for rel in row.get("read", []):
            out += b"--- " + rel.encode() + b"\n" + shown((board / rel).read_bytes())
        if row.get("show"):
            out += b"--- ostrasim show\n" + subprocess.run(
                [self.sim, "show", board], check=True, capture_output=True).stdout
        trace = subprocess.run([self.sim, "trace", board], check=True,
                               capture_output=True).stdout if full else b""
        # the run header names the target's byte order; a twin is kept only
        # where the bytes themselves differ (tests/trace.sh checks the header)
        trace = re.sub(rb"(?m)^(run .*) \((big|little)-endian: [^)]*\)$", rb"\1", trace)
        return {"out": out, "trace": trace, "lines": lines, "files": files} | (
            {"snap": snap, "first": first} if self.walks else {})

    def walk(self, row, clean):
        """Every open and request of the row's last command line failing once."""
        last, snap, first = runs(row)[-1], clean["snap"], clean["first"]
        if other(row):
            return b""  # another program's failures are not ours to judge
        text, seen, seen_last, lines = b"", {}, {}, clean["lines"]
        calls = (row["name"].split("-")[0], tuple(last[:1]),
                 tuple(step(t) for t in lines[first:] if t.get("op") != "close"))
        if calls in self.walked:
            return None  # the same calls as a row walked before: the same failures
        self.walked.add(calls)
        for i, line in enumerate(lines):
            op = line.get("op")
            if op not in ("open", "ioctl"):
                continue
            request = "open" if op == "open" else line["request"]
            key = line["node"], request
            nth = seen[key] = seen.get(key, 0) + 1
            # a fault counts the calls from the run that first sees it: the last one
            late = seen_last[key] = seen_last.get(key, 0) + (i >= first)
            if line.get("front") == "preload":
                continue  # an open the kernel fails before a driver (a fault) sees it
            for result, err in [(-1, 5)] + ([(1, 0)] if op == "ioctl" else []) if i >= first else []:
                board = snap.with_name(row["name"] + ".walk")
                shutil.rmtree(board, ignore_errors=True)
                shutil.copytree(snap, board, symlinks=True)
                desc = json.loads((board / "board.json").read_text())
                desc["faults"].insert(0, {"node": line["node"], "request": request, "after": late - 1,
                                          "result": result, "errno": err, "times": 1})
                (board / "board.json").write_text(json.dumps(desc))
                out = self.run(board, last)
                got, files = self.after(row, board)
                call = f"{op} {line['node']} {request}#{nth} -> {result}"
                # the same call in the faulted run (lines that only its
                # success writes, such as an intent, may be missing before it)
                j = [k for k, t in enumerate(got) if t.get("op") == op and step(t) == step(line)][nth - 1]
                if got[j].get("result") != result:
                    raise AssertionError(f"{call}: the fault did not hit that call")
                after = [step(t) for t in got[j + 1:]]
                same = after == [step(t) for t in lines[i + 1:]]
                text += f"## {call}\n".encode() + out + b"then: " + (
                    b"as clean" if same else ", ".join(after).encode()) + b"\n"
                for rel in REPORTS:
                    if files[rel] != earlier(row, rel):
                        text += b"--- /" + rel.encode() + (b" as clean\n" if files[rel] == clean[
                            "files"][rel] else b"\n" + shown(files[rel]))
        return text


def unfixed(text):
    """A trace without the LBA of failed commands, which fixed sense does not give."""
    return re.sub(rb"lba \w+( device \w+: status .[13579bdf])", rb"lba ?\1", text)


def runs(row):
    return row["run"] if row["run"] and isinstance(row["run"][0], list) else [row["run"]]


def other(row):
    """The row runs another program than ostrautil."""
    return any(a[:1] and a[0][:1] == "/" for a in runs(row))


def earlier(row, rel):
    """What a report file holds before the row's first command line."""
    return row.get("files", {}).get(rel, EARLIER).encode()


def step(line):
    op = line.get("op")
    return " ".join(x for x in (op, line.get("node"), line.get("request")) if x)


def golden(name, target):
    """The golden file of a target: the .BE twin where the PowerPC result differs."""
    path = HERE / "expected" / name
    twin = path.with_name(name + ".BE")
    return twin if target == "ppc" and twin.exists() else path


def check(runner, row, opt):
    got = runner.play(row, full=opt.rows or not opt.walk)
    results = {} if opt.walk and not opt.rows else {"out": got["out"], "trace": got["trace"]}
    if opt.backend == "sgio":  # the output, but for what the simulator shows of its drives
        results = {"out": re.sub(rb"(?s)--- ostrasim show\n.*", b"", got["out"])}
        # and the same commands and registers (fixed sense has no LBA of a failed command)
        results["trace"] = unfixed(re.sub(rb"(?m); sense [0-9a-f]+|^ +(port|bound): .*\n", b"", got["trace"]))
    if opt.walk or (opt.update and runner.target == "native"):
        results["faults"] = runner.walk(row, got)
    failed = False
    for kind, data in results.items():
        name = f"{row['name']}.{kind}"
        path = golden(name, runner.target)
        if not data and not (opt.update and path.exists()):
            continue
        if opt.update:
            path = HERE / "expected" / name
            twin = path.with_name(name + ".BE")
            if runner.target == "native":
                path.write_bytes(data) if data else path.unlink()
            elif path.read_bytes() != data:
                twin.write_bytes(data)
            elif twin.exists():
                twin.unlink()
            continue
        want = path.read_bytes() if path.exists() else b""
        if opt.backend == "sgio":
            want = unfixed(re.sub(rb"(?s)--- ostrasim show\n.*", b"", want))
        if want != data:
            failed = True
            print(f"{row['name']}: {runner.target} differs from {path.relative_to(ROOT)}")
            sys.stdout.writelines(difflib.unified_diff(
                want.decode(errors="replace").splitlines(True),
                data.decode(errors="replace").splitlines(True), "expected", "got", n=2))
    return failed


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--target", choices=["native", "ppc"], default="native")
    ap.add_argument("--ostrautil", help="the program (default build/TARGET/ostrautil)")
    ap.add_argument("--ostrasim", help="the simulator (default build/native/ostrasim)")
    ap.add_argument("--drives", default=str(HERE / "drives"))
    ap.add_argument("--scratch", default=str(ROOT / "build/boards"))
    ap.add_argument("--walk", action="store_true", help="the fault walk only")
    ap.add_argument("--rows", action="store_true", help="with --walk: the rows' golden texts too")
    ap.add_argument("--backend", choices=["simulated", "sgio"], default="simulated")
    ap.add_argument("--standin", help="the stand-in SG_IO device library (--backend sgio)")
    ap.add_argument("--update", action="store_true", help="rewrite the golden files")
    ap.add_argument("names", nargs="*", help="rows (shell patterns; default all)")
    opt = ap.parse_args()
    rows = json.loads((HERE / "cases.json").read_text())
    rows = [r for r in rows if not opt.names or any(fnmatchcase(r["name"], n) for n in opt.names)]
    if not rows:
        sys.exit(f"no row is named {' or '.join(opt.names)}")
    failed = skipped = 0
    targets = ["native", "ppc"] if opt.update else [opt.target]
    for target in targets:
        try:
            runner = Runner(opt, target)
        except Skip as why:
            print(f"skipped: {why}")
            skipped += len(rows)
            continue
        for row in rows:
            try:
                failed += check(runner, row, opt)
            except Skip as why:
                print(f"{row['name']}: skipped: {why}")
                skipped += 1
            except (AssertionError, subprocess.CalledProcessError) as why:
                print(f"{row['name']}: {target}: {why}")
                failed += 1
    sys.exit(1 if failed else SKIP if skipped else 0)


if __name__ == "__main__":
    main()
