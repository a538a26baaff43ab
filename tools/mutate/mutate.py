#!/usr/bin/env python3
"""Mutation runner for the stub: changes one thing in one stub source at a time, rebuilds
only what the change touches and asks the tests whether they notice.

The build happens in a copy of the sources (build/mutate/src, its own build directory
beneath), so the working tree is never changed. For each mutant the runner rebuilds the
test programs that link the mutated file, runs the mutated component's own tests first
and, only when they pass, the remaining unit tests and the whole-installation tests, each
with a time bound. Every mutant ends as killed, survived, timed out or did not build;
survivors listed in tests/mutation-equivalents.txt count as equivalent. Listed mutants skip
the fault sweep unless --fresh asks for it: each one would sit through the whole sweep,
most of a run's time, while the faster stages already catch a listing gone stale.

    tools/mutate/mutate.py [--build build/mutate] [stub/x/y.cpp ...]
"""
from __future__ import annotations

import argparse
import functools
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import time
from dataclasses import dataclass, field
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import mutants as mutation  # noqa: E402

SOURCE = Path(__file__).resolve().parents[2]
EQUIVALENTS = "tests/mutation-equivalents.txt"
COPIED = ["CMakeLists.txt", "cmake", "platform", "sim", "stub", "tests", "tools", "resources", "bench"]
# Built in the host build only from the release image's side; the host build never links it.
RELEASE_ONLY = {"stub/support/compiler_support.cpp"}

# Which test programs link a stub source, by folder (driver and entry are their own).
UNIT_PROGRAMS = ["stub_tests", "run_installer_tests"]
WHOLE_RUN_PROGRAM = "e2e_tests"
FAULT_SWEEP = "*/FaultSweepTest.*"
ALL_TARGETS = UNIT_PROGRAMS + [WHOLE_RUN_PROGRAM]


def programs_linking(path: str) -> list[str]:
    if path == "stub/driver/entry_point.cpp":
        return ["installer_host"]
    if path == "stub/driver/run_installer.cpp":
        return ["run_installer_tests", "installer_host"]
    if path.startswith("stub/support/") or path.endswith(".h"):
        return ["stub_tests", "run_installer_tests", "installer_host"]
    return ["stub_tests", "installer_host"]


@functools.lru_cache(maxsize=None)  # the copy's tests stay as synced for the whole run
def component_tests(path: str, tree: Path) -> tuple[str, str] | None:
    """The test program and gtest filter of the tests in the mutated file's own folder,
    as they stand in `tree`."""
    folder = Path(path).parent.name
    test_dir = tree / "tests" / "stub" / folder
    suites: set[str] = set()
    for test_file in sorted(test_dir.glob("*_test.cpp")):
        text = test_file.read_text()
        suites.update(re.findall(r"^TEST(?:_F|_P)?\((\w+),", text, re.M))
    if not suites:
        return None
    program = "run_installer_tests" if folder == "driver" else "stub_tests"
    pattern = ":".join(f"{s}.*:*/{s}.*" for s in sorted(suites))
    return program, pattern


@dataclass
class Outcome:
    status: str  # killed, survived, timeout, unbuilt, equivalent
    stage: str = ""
    seconds: float = 0.0


@dataclass
class FileReport:
    path: str
    mutants: int = 0
    counts: dict = field(default_factory=dict)
    survivors: list = field(default_factory=list)
    seconds: float = 0.0


def load_equivalents() -> dict[tuple[str, str, str], str]:
    """Lines `path: original => mutated  # why`, the texts whitespace-collapsed."""
    equivalents = {}
    file = SOURCE / EQUIVALENTS
    if not file.exists():
        return equivalents
    for number, line in enumerate(file.read_text().splitlines(), 1):
        if not line.strip() or line.startswith("#"):
            continue
        match = re.match(r"^(\S+): (.*?) => (.*?)\s+# (.+)$", line)
        if not match:
            raise SystemExit(f"{EQUIVALENTS}:{number}: not `path: original => mutated  # why`")
        path, before, after, why = match.groups()
        equivalents[(path, " ".join(before.split()), " ".join(after.split()))] = why
    return equivalents


class Runner:
    def __init__(self, build: Path, jobs: int, sweep: bool = True):
        self.root = build.resolve()
        self.src = self.root / "src"
        self.binary = self.src / "build" / "host"  # same relative layout as build/host
        self.jobs = jobs
        self.sweep = sweep  # whether any mutant meets the fault sweep
        self.temp = self.root / "tmp"
        self.timeouts: dict[str, float] = {}
        self.env = dict(os.environ)
        # Same relative paths as the host build, so ccache can share its objects.
        self.env.setdefault("CCACHE_BASEDIR", str(SOURCE.parent))
        self.env.setdefault("CCACHE_NOHASHDIR", "1")

    def sync(self):
        """Copies changed sources into the runner's own tree (unchanged files keep their
        times, so nothing but the changed is rebuilt)."""
        for name in COPIED:
            origin = SOURCE / name
            if origin.is_file():
                self.copy_if_changed(origin, self.src / name)
                continue
            for file in origin.rglob("*"):
                if file.is_file() and "__pycache__" not in file.parts:
                    self.copy_if_changed(file, self.src / file.relative_to(SOURCE))
        for name in COPIED:  # files removed from the tree go from the copy too
            copy = self.src / name
            if copy.is_dir():
                for file in copy.rglob("*"):
                    if file.is_file() and not (SOURCE / file.relative_to(self.src)).exists():
                        file.unlink()

    @staticmethod
    def copy_if_changed(origin: Path, copy: Path):
        if copy.exists() and copy.read_bytes() == origin.read_bytes():
            return
        copy.parent.mkdir(parents=True, exist_ok=True)
        shutil.copy2(origin, copy)

    def configure(self):
        if (self.binary / "build.ninja").exists():
            return
        flags = os.environ.get("CMAKE_FLAGS", "-G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo").split()
        if shutil.which("ccache") and not any("LAUNCHER" in f for f in flags):
            flags += ["-DCMAKE_CXX_COMPILER_LAUNCHER=ccache", "-DCMAKE_C_COMPILER_LAUNCHER=ccache"]
        subprocess.run(["cmake", "-S", str(self.src), "-B", str(self.binary), *flags,
                        "-DPELLORA_RELEASE_IMAGE=OFF"], check=True, env=self.env,
                       stdout=subprocess.DEVNULL)

    def build(self, targets: list[str]) -> bool:
        result = subprocess.run(["ninja", "-C", str(self.binary), f"-j{self.jobs}", *targets],
                                env=self.env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        self.last_build_output = result.stdout.decode(errors="replace")
        return result.returncode == 0

    def run_tests(self, program: str, pattern: str, timeout: float, shards: int = 1) -> str:
        """passed, failed or timeout. Whole-run tests are split over `shards` processes."""
        processes = []
        # Tests stopped early cannot clean up; their temporary files land here and go.
        shutil.rmtree(self.temp, ignore_errors=True)
        self.temp.mkdir(parents=True)
        for index in range(shards):
            env = dict(self.env, TMPDIR=str(self.temp))
            if shards > 1:
                env.update(GTEST_TOTAL_SHARDS=str(shards), GTEST_SHARD_INDEX=str(index))
            processes.append(subprocess.Popen(
                [str(self.binary / "tests" / program), f"--gtest_filter={pattern}", "--gtest_fail_fast",
                 "--gtest_brief=1"], env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                start_new_session=True))
        deadline = time.monotonic() + timeout
        outcome = "passed"
        try:
            for process in processes:
                try:
                    code = process.wait(timeout=max(0.1, deadline - time.monotonic()))
                    if code != 0 and outcome == "passed":
                        outcome = "failed"
                        self.stop(processes)  # one failure decides
                except subprocess.TimeoutExpired:
                    outcome = "timeout"
                    self.stop(processes)
        except BaseException:
            self.stop(processes)  # a stopped run leaves no test behind (they have their own session)
            raise
        return outcome

    @staticmethod
    def stop(processes):
        for process in processes:
            if process.poll() is None:
                os.killpg(process.pid, 9)
                process.wait()

    def stages(self, path: str) -> list[tuple[str, str, str, int]]:
        """(stage name, program, filter, shards), the component's own tests first."""
        stages = []
        own = component_tests(path, self.src)  # the copy's tests: those the baseline timed
        linked = programs_linking(path)
        if own and own[0] in linked:
            stages.append(("component", own[0], own[1], 1))
        for program in UNIT_PROGRAMS:
            if program not in linked:
                continue
            pattern = "*" if not own or own[0] != program else "-" + own[1]
            stages.append(("unit", program, pattern, 1))
        if "installer_host" in linked:
            # The fault sweep takes most of the whole-run time, so it judges only the
            # mutants that every other whole run let through.
            stages.append(("whole-run", WHOLE_RUN_PROGRAM, "-" + FAULT_SWEEP, 2))
            if self.sweep:
                stages.append(("fault-sweep", WHOLE_RUN_PROGRAM, FAULT_SWEEP, 2))
        return stages

    def baseline(self, paths: list[str]):
        """Builds everything once and times every stage on the unchanged code; a stage
        that fails here stops the run, since no mutant could be judged by it."""
        if not self.build(ALL_TARGETS):
            raise SystemExit("the unchanged sources do not build:\n" + self.last_build_output[-4000:])
        seen = set()
        for path in paths:
            for name, program, pattern, shards in self.stages(path):
                if (program, pattern) in seen:
                    continue
                seen.add((program, pattern))
                started = time.monotonic()
                outcome = self.run_tests(program, pattern, 900, shards)
                took = time.monotonic() - started
                if outcome != "passed":
                    raise SystemExit(f"{program} --gtest_filter={pattern} fails on the unchanged sources")
                # Generous: the machine is shared, and a slow run is not a killed mutant.
                self.timeouts[(program, pattern)] = 4 * took + 10
                print(f"baseline {program} {pattern[:60]}: {took:.1f} s", flush=True)

    def judge(self, path: str, mutated_text: str, sweep: bool = True) -> Outcome:
        started = time.monotonic()
        target = self.src / path
        original = target.read_text()
        try:
            target.write_text(mutated_text)
            for name, program, pattern, shards in self.stages(path):
                if name == "fault-sweep" and not sweep:
                    continue
                # The whole-run tests' program depends on installer_host, so it is rebuilt too.
                if not self.build([program]):
                    return Outcome("unbuilt", name, time.monotonic() - started)
                result = self.run_tests(program, pattern, self.timeouts[(program, pattern)], shards)
                if result == "failed":
                    return Outcome("killed", name, time.monotonic() - started)
                if result == "timeout":
                    return Outcome("timeout", name, time.monotonic() - started)
            return Outcome("survived", "", time.monotonic() - started)
        finally:
            target.write_text(original)


def stub_sources() -> list[str]:
    paths = sorted(str(p.relative_to(SOURCE)) for p in (SOURCE / "stub").rglob("*")
                   if p.suffix in (".cpp", ".h") and not p.name.endswith("_test.cpp"))
    return [p for p in paths if p not in RELEASE_ONLY]


def main() -> int:
    # A stopped run still puts the mutated file back (the `finally` in Runner.judge).
    signal.signal(signal.SIGTERM, signal.default_int_handler)
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("files", nargs="*", help="stub sources to mutate (default: every one)")
    parser.add_argument("--build", default="build/mutate", help="the runner's own directory")
    parser.add_argument("--jobs", type=int, default=2)
    parser.add_argument("--list", action="store_true", help="only list the mutants")
    parser.add_argument("--without-sweep", action="store_true",
                        help="a quicker first look: no mutant meets the fault sweep, so a survivor may be one it kills")
    parser.add_argument("--fresh", action="store_true", help="judge killed and listed-equivalent mutants again")
    args = parser.parse_args()

    paths = [os.path.relpath(Path(f).resolve(), SOURCE) for f in args.files] or stub_sources()
    # Sources before headers: a header's mutant rebuilds every file that includes it.
    paths.sort(key=lambda p: p.endswith(".h"))
    for path in paths:
        if not path.startswith("stub/") or not (SOURCE / path).is_file():
            raise SystemExit(f"not a stub source: {path}")
    if args.list:
        for path in paths:
            text = (SOURCE / path).read_text()
            for m in mutation.find_mutants(text):
                line, _, after = mutation.changed_lines(text, m)
                print(f"{path}:{line}: {m.operator}: {m.description}")
        return 0

    equivalents = load_equivalents()
    runner = Runner(Path(args.build), args.jobs, sweep=not args.without_sweep)
    runner.root.mkdir(parents=True, exist_ok=True)
    runner.sync()
    runner.configure()
    started = time.monotonic()
    runner.baseline(paths)
    # Killed (and timed-out) mutants are remembered by the changed text: tests only grow
    # stronger, so such a mutant is not judged again unless --fresh asks for it.
    memory_file = runner.root / "killed.json"
    memory = {} if args.fresh or not memory_file.exists() else json.loads(memory_file.read_text())

    reports = []
    # Per listing, whether each mutant it matched survived: one line of text can stand for
    # several mutants, and the listing holds while one of them survives.
    listing_survived: dict[tuple[str, str, str], bool] = {}
    for path in paths:
        text = (runner.src / path).read_text()  # as copied at the start, whatever happens later
        report = FileReport(path)
        file_started = time.monotonic()
        found = [] if path in RELEASE_ONLY else mutation.find_mutants(text)
        report.mutants = len(found)
        for number, mutant in enumerate(found, 1):
            line, before, after = mutation.changed_lines(text, mutant)
            key = f"{path}\n{before}\n{after}\n{mutant.operator}"
            listing = (path, before, after)
            listed = listing in equivalents
            if key in memory:
                status, _, stage = memory[key].rpartition(":")
                outcome = Outcome(status or "killed", stage + " (remembered)")
            else:
                outcome = runner.judge(path, mutant.apply(text), sweep=args.fresh or not listed)
            if outcome.status == "survived" and listed:
                outcome = Outcome("equivalent", "" if args.fresh else "fault sweep not run", outcome.seconds)
            if listed:
                listing_survived[listing] = listing_survived.get(listing, False) or outcome.status == "equivalent"
            if outcome.status in ("killed", "timeout"):
                memory[key] = outcome.status + ":" + outcome.stage.replace(" (remembered)", "")
                memory_file.write_text(json.dumps(memory, indent=0))
            report.counts[outcome.status] = report.counts.get(outcome.status, 0) + 1
            if outcome.status in ("survived", "timeout", "unbuilt"):
                report.survivors.append((line, outcome.status, mutant.description, before, after))
            print(f"[{number}/{len(found)}] {path}:{line} {mutant.description}: {outcome.status}"
                  f" {outcome.stage} ({outcome.seconds:.1f} s)", flush=True)
        report.seconds = time.monotonic() - file_started
        reports.append(report)
        runner.build(ALL_TARGETS)  # leave the copy built from the unchanged file again

    lines = ["", "Mutation report", "==============="]
    totals: dict[str, int] = {}
    for report in reports:
        counts = ", ".join(f"{k} {v}" for k, v in sorted(report.counts.items()))
        lines.append(f"{report.path}: {report.mutants} mutants ({counts}) in {report.seconds:.0f} s")
        for line, status, description, before, after in report.survivors:
            lines.append(f"  line {line}: {status}: {description}")
            lines.append(f"    {report.path}: {before} => {after}")
        for k, v in report.counts.items():
            totals[k] = totals.get(k, 0) + v
    stale = 0  # listings that no longer hold fail the run too, so the list stays true
    for path, before, after in sorted(equivalents):
        if path not in paths:
            continue
        survived = listing_survived.get((path, before, after))
        stale += survived is not True
        if survived is None:
            lines.append(f"listed as equivalent but no such mutant: {path}: {before} => {after}")
        elif not survived:
            lines.append(f"listed as equivalent but killed: {path}: {before} => {after}")
    total = sum(r.mutants for r in reports)
    lines.append(f"total: {total} mutants, " + ", ".join(f"{k} {v}" for k, v in sorted(totals.items())) +
                 f", {time.monotonic() - started:.0f} s")
    text = "\n".join(lines)
    print(text)
    (runner.root / "report.txt").write_text(text + "\n")
    return 1 if totals.get("survived", 0) or stale else 0


if __name__ == "__main__":
    sys.exit(main())
