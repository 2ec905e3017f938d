"""Mutation testing of tavik's C++ sources, run by `bash dev mutate`.

universalmutator writes every line-level mutant of each source file; a seeded
shuffle fixes the order in which they are tried.  Each mutant is written over
the real source, the incremental tree build/mutate is rebuilt (its own build
type: -O1, no link-time optimization) and, when it compiles, the fast tests
run against it until the first failure.  A mutant of the pure core is also
built into build/mutate/sanitized-core (clang, AddressSanitizer and the
undefined-behaviour checks as traps) and the native core tests run there too:
an overread or a shift past the word's width changes no answer on this
machine, yet each is a fault.  The original text always goes back.

Results: build/mutate/results.json (every mutant tried, written after each
one, so an interrupted run keeps what it measured) and build/mutate/report.md.
"""

from __future__ import annotations

import argparse
import dataclasses
import difflib
import hashlib
import json
import os
import random
import shutil
import signal
import subprocess
import sys
import sysconfig
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
TREE = Path(os.environ.get("TAVIK_MUTATE_TREE", ROOT / "build" / "mutate"))  # one per interpreter
RESULTS = TREE / "results.json"
REPORT = TREE / "report.md"

# The module's sources.  Headers are left out: the logic they hold (calendar
# arithmetic, the argument fast path) is inlined into the .cpp files, and a
# header mutant rebuilds every file that includes it.
SOURCE_GLOBS = ["src/*.cpp", "src/types/*.cpp", "src/helpers/*.cpp", "src/helpers/pure/*.cpp"]

# Left out of the per-mutant suite: each takes longer than all the other
# hardening files together.  The leak test repeats every call thousands of
# times to measure memory; the thread test calls for a fixed 2 s.
SLOW_TEST_FILES = {"test_hardening_leaks.py", "test_hardening_threads.py"}

# The pure core, which the sanitized native core tests also check.
CORE_PREFIX = "src/helpers/pure/"

# universalmutator's command, installed beside the interpreter running this.
MUTATE = str(Path(sys.executable).parent / "mutate")

BUILD_TIMEOUT = 300  # seconds; a compiler never needs that long here
KILLED, SURVIVED, TIMEOUT, NOT_COMPILED = "killed", "survived", "timeout", "not compiled"


@dataclasses.dataclass
class Mutant:
    file: str       # repository-relative
    number: int     # universalmutator's number for this file
    line: int       # 1-based line of the real source that is replaced
    original: str   # that line, as in the real source
    mutated: str    # its replacement (universalmutator may insert a line: then it holds two)
    outcome: str = ""
    detail: str = ""   # what killed it, or the first compiler error
    seconds: float = 0.0

    def key(self) -> tuple:
        return self.file, self.number, self.line, self.original, self.mutated


# ---------------------------------------------------------------------------
# Traps in universalmutator's line scanner.  "{-" opens a Haskell block comment
# and "-}" closes one: every line after `decision{-1}` would go unmutated.  The
# scanner reads a copy in which both are written with a space; the mutants are
# mapped back character by character, so the inserted spaces never reach the
# real source.

def hide_traps(line: str) -> tuple[str, list[int | None]]:
    """The scanner's copy of `line`, and for each of its characters the index
    in `line` it came from (None for an inserted space)."""
    text, origin = [], []
    for i, char in enumerate(line):
        text.append(char)
        origin.append(i)
        following = line[i + 1:i + 2]
        if (char, following) in (("{", "-"), ("-", "}")):
            text.append(" ")
            origin.append(None)
    return "".join(text), origin


def restore_traps(real: str, hidden: str, origin: list[int | None], mutated: str) -> str:
    """Applies the edit that turned `hidden` into `mutated` to `real`: text the
    two share comes from `real` (dropping the inserted spaces), changed text
    from `mutated`."""
    matcher = difflib.SequenceMatcher(None, hidden, mutated, autojunk=False)
    pieces = []
    for tag, h1, h2, m1, m2 in matcher.get_opcodes():
        if tag == "equal":
            pieces.append("".join(real[i] for i in origin[h1:h2] if i is not None))
        else:
            pieces.append(mutated[m1:m2])
    result = "".join(pieces)
    # The only difference the mapping may make is the inserted spaces.
    if result.replace(" ", "") != mutated.replace(" ", ""):
        raise ValueError(f"cannot map mutant back onto {real!r}: {mutated!r}")
    return result


# ---------------------------------------------------------------------------
# Generating mutants

def run(command, **kwargs) -> subprocess.CompletedProcess:
    # A mutant may print any bytes.
    return subprocess.run(command, text=True, errors="replace", capture_output=True, **kwargs)


def generate_mutants(source: Path, workdir: Path) -> list[Mutant]:
    """Every mutant universalmutator makes of `source`, in its own order."""
    relative = source.relative_to(ROOT).as_posix()
    real_lines = source.read_text().splitlines(keepends=True)
    hidden_lines, origins = zip(*(hide_traps(line) for line in real_lines)) if real_lines else ((), ())
    shutil.rmtree(workdir, ignore_errors=True)
    (workdir / "mutants").mkdir(parents=True)
    copy = workdir / source.name
    copy.write_text("".join(hidden_lines))
    result = run([MUTATE, str(copy), "cpp", "--noCheck", "--mutantDir", "mutants"],
                 cwd=workdir)
    if result.returncode != 0:
        sys.exit(f"mutate failed on {relative}:\n{result.stdout[-2000:]}{result.stderr[-2000:]}")
    (workdir / "mutate.log").write_text(result.stdout)

    mutants = []
    for path in (workdir / "mutants").glob(f"{copy.stem}.mutant.*{copy.suffix}"):
        number = int(path.name.split(".")[-2])
        lines = path.read_text().splitlines(keepends=True)
        # One source line is replaced by one or more lines: find it from both ends.
        head = 0
        while head < min(len(lines), len(hidden_lines)) and lines[head] == hidden_lines[head]:
            head += 1
        tail = 0
        while (tail < min(len(lines), len(hidden_lines)) - head
               and lines[-1 - tail] == hidden_lines[-1 - tail]):
            tail += 1
        if len(hidden_lines) - head - tail == 0:  # a pure insertion: join it to a neighbouring line
            if head < len(hidden_lines):
                tail -= 1
            else:
                head -= 1
        if len(hidden_lines) - head - tail != 1:
            sys.exit(f"{path}: not a single-line mutant")
        index = head
        mutated = "".join(lines[head:len(lines) - tail])
        mutants.append(Mutant(relative, number, index + 1, real_lines[index],
                              restore_traps(real_lines[index], hidden_lines[index], origins[index], mutated)))
    # Its comment-out rule also wraps comment lines: `/*// text*/` changes nothing.
    mutants = [m for m in mutants if not m.original.lstrip().startswith("//")]
    mutants.sort(key=lambda m: m.number)
    return mutants


def coverage_note(source: Path, mutants: list[Mutant]) -> str:
    """Where the mutants fall, to catch a scanner that stopped early (a comment
    opener it misread): the last mutated line and the longest run of code lines
    without a mutant."""
    lines = [line.strip() for line in source.read_text().splitlines()]
    code = [number for number, line in enumerate(lines, 1)
            if line and not line.startswith(("//", "#")) and line not in ("{", "}", "};")]
    mutated = {m.line for m in mutants} & set(code)
    longest, longest_start, run_length, run_start = 0, 0, 0, 0
    for number in code:
        if number in mutated:
            run_length = 0
            continue
        run_start = number if run_length == 0 else run_start
        run_length += 1
        if run_length > longest:
            longest, longest_start = run_length, run_start
    note = (f"{len(mutated)} of {len(code)} code lines mutated, "
            f"last at line {max(mutated, default=0)} of {len(lines)}")
    if longest:
        note += f"; longest unmutated stretch: {longest} code lines from line {longest_start}"
    return note


def quotas(generated: dict[str, int], count: int, minimum: int) -> dict[str, int]:
    """Compiling mutants wanted per file: `count` shared in proportion to the
    mutants each file has, at least `minimum` (or all it has)."""
    fixed: dict[str, int] = {}
    while True:
        free = {f: n for f, n in generated.items() if f not in fixed}
        budget = max(count - sum(fixed.values()), 0)
        total = sum(free.values()) or 1
        share = {f: budget * n / total for f, n in free.items()}
        # Largest remainder: the rounding never loses or adds a mutant.
        result = {f: int(s) for f, s in share.items()}
        for f in sorted(share, key=lambda f: share[f] - int(share[f]), reverse=True)[:budget - sum(result.values())]:
            result[f] += 1
        small = {f for f, q in result.items() if q < min(minimum, generated[f])}
        if not small:
            result.update(fixed)
            return {f: min(q, generated[f]) for f, q in result.items()}
        for f in small:
            fixed[f] = min(minimum, generated[f])


# ---------------------------------------------------------------------------
# The mutation tree and the suite run against it

class Tree:
    """build/mutate: tavik, tavik_testing and core_tests at -O1 without
    link-time optimization (CMakeLists.txt turns it on for Release and
    RelWithDebInfo), and a venv whose tavik package is this tree's module;
    build/mutate/sanitized-core: the core tests alone, built by clang with
    AddressSanitizer and undefined-behaviour traps, also at -O1."""

    def __init__(self, python: str, seed: int):
        self.python = python
        self.seed = seed
        self.sanitized = TREE / "sanitized-core"
        self.venv = TREE / "venv"
        self.venv_python = self.venv / "bin" / "python"
        version = f"python{sys.version_info.major}.{sys.version_info.minor}"
        self.package = self.venv / "lib" / version / "site-packages" / "tavik"
        self.hypothesis_dir = TREE / "hypothesis"
        # An empty working directory: python puts it first on sys.path, and
        # TREE itself holds tavik.*.so, which would be imported as a bare module.
        self.workdir = TREE / "run"
        self.workdir.mkdir(exist_ok=True)
        self.test_files: list[Path] = sorted(p for p in (ROOT / "tests").glob("test_*.py")
                                             if p.name not in SLOW_TEST_FILES)

    def configure(self):
        if shutil.which("clang++") is None:
            sys.exit("dev mutate: clang++ not installed (apt-get install clang): the core's mutants need its sanitizers")
        mutation = ["-G", "Ninja", "-DTAVIK_BUILD_TESTING=ON", "-DCMAKE_BUILD_TYPE=Mutation",
                    "-DCMAKE_CXX_FLAGS_MUTATION=-O1 -DNDEBUG"]
        for tree, options in ((TREE, [f"-DPython_EXECUTABLE={self.python}"]),
                              (self.sanitized, ["-DCMAKE_CXX_COMPILER=clang++", "-DTAVIK_CORE_ONLY=ON",
                                                "-DTAVIK_SANITIZE=ON", "-DTAVIK_TRAP_UB=ON"])):
            result = run(["cmake", "-S", str(ROOT), "-B", str(tree), *mutation, *options])
            if result.returncode != 0:
                sys.exit(f"configuring {tree} failed:\n{result.stdout}{result.stderr}")

    def make_venv(self):
        # Tests start subprocesses with sys.executable and a PYTHONPATH of their
        # own, so PYTHONPATH cannot carry the mutant: the venv's site-packages can.
        # The main venv's site-packages follows it, for pytest and hypothesis.
        if not self.venv_python.exists():
            result = run([self.python, "-m", "venv", "--without-pip", str(self.venv)])
            if result.returncode != 0:
                sys.exit(f"creating {self.venv} failed:\n{result.stderr}")
        main_site = Path(sysconfig.get_paths()["purelib"])
        (self.package.parent / "tavik_main_venv.pth").write_text(f"import site; site.addsitedir({str(main_site)!r})\n")
        shutil.rmtree(self.package, ignore_errors=True)
        self.package.mkdir()
        for path in (ROOT / "src" / "tavik").iterdir():
            if path.is_file():
                (self.package / path.name).symlink_to(path)
        # A link: every rebuild of the module is seen at once.
        for path in TREE.glob("tavik.*.so"):
            (self.package / path.name).symlink_to(path)

    def build(self, sanitized: bool = True) -> tuple[bool, str]:
        for tree in (TREE, self.sanitized) if sanitized else (TREE,):
            try:
                result = run(["cmake", "--build", str(tree)], timeout=BUILD_TIMEOUT)
            except subprocess.TimeoutExpired:
                return False, "build timed out"
            if result.returncode != 0:
                errors = [line for line in result.stdout.splitlines() if "error:" in line]
                return False, (errors[0] if errors else result.stdout[-300:]).strip()
        return True, ""

    def environment(self) -> dict[str, str]:
        env = dict(os.environ, TAVIK_TESTING_DIR=str(TREE / "python"),
                   HYPOTHESIS_STORAGE_DIRECTORY=str(self.hypothesis_dir))
        env.pop("PYTHONPATH", None)
        env.pop("TAVIK_BACKTRACE", None)
        return env

    def check_imports(self):
        """pytest and the subprocesses the tests start (with a PYTHONPATH of
        their own) must load this tree's modules, not the main venv's."""
        code = "import tavik.tavik, tavik_testing; print(tavik.tavik.__file__); print(tavik_testing.__file__)"
        env = self.environment() | {"PYTHONPATH": str(TREE / "python")}
        result = run([str(self.venv_python), "-c", code], env=env, cwd=self.workdir)
        files = [Path(line) for line in result.stdout.split()]
        if (result.returncode != 0 or len(files) != 2 or not files[0].is_relative_to(self.package)
                or not files[0].resolve().is_relative_to(TREE) or not files[1].is_relative_to(TREE / "python")):
            sys.exit(f"the mutation venv does not load {TREE}'s modules:\n{result.stdout}{result.stderr}")
        print(f"tests import {files[0]} -> {files[0].resolve()}", flush=True)

    def run_suite(self, timeout: float | None, test_files: list[Path] | None = None,
                  sanitized: bool = True) -> tuple[str, str]:
        """(outcome, detail): the native core tests, sanitized too (for a mutant
        of the core), then pytest, stopping at the first failure.  A fixed
        hypothesis seed and an emptied example database make every mutant meet
        the same examples."""
        shutil.rmtree(self.hypothesis_dir, ignore_errors=True)
        deadline = None if timeout is None else time.monotonic() + timeout
        commands = [
            ("core_tests", [str(TREE / "core_tests")]),
            *([("sanitized core_tests", [str(self.sanitized / "core_tests")])] if sanitized else []),
            ("pytest", [str(self.venv_python), "-m", "pytest", "-x", "-q", "-p", "no:cacheprovider",
                        f"--hypothesis-seed={self.seed}", "--rootdir", str(ROOT),
                        *map(str, test_files or self.test_files)]),
        ]
        for name, command in commands:
            left = None if deadline is None else max(deadline - time.monotonic(), 1)
            process = subprocess.Popen(command, cwd=self.workdir, env=self.environment(), text=True,
                                       errors="replace", stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                       start_new_session=True)
            try:
                output, _ = process.communicate(timeout=left)
            except subprocess.TimeoutExpired:
                kill_group(process)
                process.communicate()
                return TIMEOUT, f"{name} still running after {timeout:.0f} s"
            except BaseException:
                kill_group(process)
                raise
            if process.returncode != 0:
                return KILLED, f"{name}: {first_failure(output, process.returncode)}"
        return SURVIVED, ""


def kill_group(process: subprocess.Popen):
    """Kills the process and whatever it started (its own session)."""
    try:
        os.killpg(process.pid, signal.SIGKILL)
    except ProcessLookupError:
        pass


def first_failure(output: str, returncode: int) -> str:
    for line in output.splitlines():
        if line.startswith(("FAILED ", "ERROR ")):
            # pytest names the test relative to its working directory.
            return line.split(" - ")[0].replace("../", "")
    for line in output.splitlines():
        if line.startswith("SUMMARY: "):  # a sanitizer's report
            return line[:200]
    if returncode < 0:
        return f"killed by signal {-returncode}"
    lines = [line for line in output.splitlines() if line.strip()]
    return lines[-1][:200] if lines else f"exit status {returncode}"


# ---------------------------------------------------------------------------
# Writing a mutant over the real source, and always taking it back

class SourceGuard:
    """Holds the original text of the file being mutated and writes it back on
    every way out: normal return, exception, SIGINT, SIGTERM, SIGHUP."""

    SIGNALS = (signal.SIGINT, signal.SIGTERM, signal.SIGHUP)

    def __init__(self):
        self.path: Path | None = None
        self.original = ""
        for sig in (signal.SIGTERM, signal.SIGHUP):
            signal.signal(sig, self._exit_on_signal)

    @staticmethod
    def _exit_on_signal(signum, _frame):
        raise SystemExit(128 + signum)  # unwinds through the finally blocks

    def apply(self, mutant: Mutant):
        path = ROOT / mutant.file
        original = path.read_text()
        lines = original.splitlines(keepends=True)
        if lines[mutant.line - 1] != mutant.original:
            raise RuntimeError(f"{mutant.file}:{mutant.line} changed since the mutants were generated")
        lines[mutant.line - 1] = mutant.mutated
        self.path, self.original = path, original
        path.write_text("".join(lines))

    def restore(self):
        # A signal arriving now waits until the original is back in place.
        blocked = signal.pthread_sigmask(signal.SIG_BLOCK, self.SIGNALS)
        try:
            if self.path is not None:
                self.path.write_text(self.original)
                self.path = None
        finally:
            signal.pthread_sigmask(signal.SIG_SETMASK, blocked)


def require_unmodified_sources():
    """A run killed with SIGKILL cannot restore its mutant: refuse to start on
    sources that differ from the last commit."""
    result = run(["git", "status", "--porcelain", "--", "src"], cwd=ROOT)
    if result.returncode != 0 or result.stdout.strip():
        sys.exit("dev mutate: src/ differs from the last commit (a leftover mutant?):\n"
                 f"{result.stdout}{result.stderr}Commit your changes, or `git checkout -- src` to drop them.")


# ---------------------------------------------------------------------------
# Results

def save_results(path: Path, settings: dict, notes: dict, mutants: list[Mutant]):
    data = {"settings": settings, "coverage": notes, "mutants": [dataclasses.asdict(m) for m in mutants]}
    temporary = path.with_suffix(".tmp")
    temporary.write_text(json.dumps(data, indent=1))
    temporary.replace(path)


def previous_outcomes(settings: dict) -> tuple[dict[tuple, Mutant], int]:
    """The mutants an interrupted run of the same draw already tested, and the
    time it spent."""
    if not RESULTS.exists():
        return {}, 0
    data = json.loads(RESULTS.read_text())
    same_draw = ("seed", "count", "minimum", "sources", "flags", "generated")
    if any(data["settings"].get(name) != settings[name] for name in same_draw):
        sys.exit(f"--resume: {RESULTS} is of another draw; run without --resume")
    mutants = [Mutant(**m) for m in data["mutants"]]
    return {m.key(): m for m in mutants}, data["settings"]["wall_seconds"]


def render_report(settings: dict, notes: dict, mutants: list[Mutant]) -> str:
    def kill_rate(killed, survived):
        return f"{100 * killed / (killed + survived):.1f} %" if killed + survived else "-"

    out = ["# Mutation testing", "",
           f"seed {settings['seed']}, {settings['count']} compiling mutants wanted (at least "
           f"{settings['minimum']} per file), commit {settings['commit'][:12]}, "
           f"{settings['wall_seconds'] / 60:.1f} min{'' if settings['complete'] else ', INTERRUPTED: partial'}.",
           "Kill rate = killed / (killed + survived); a timeout counts as killed.", "",
           "| file | generated | killed | of which timeout | survived | not compiled | kill rate |",
           "|---|---:|---:|---:|---:|---:|---:|"]
    totals = [0] * 5
    for file, generated in settings["generated"].items():
        mine = [m for m in mutants if m.file == file]
        timeouts = sum(m.outcome == TIMEOUT for m in mine)
        killed = sum(m.outcome == KILLED for m in mine) + timeouts
        survived = sum(m.outcome == SURVIVED for m in mine)
        not_compiled = sum(m.outcome == NOT_COMPILED for m in mine)
        row = [generated, killed, timeouts, survived, not_compiled]
        totals = [t + r for t, r in zip(totals, row)]
        out.append(f"| {file} | " + " | ".join(map(str, row)) + f" | {kill_rate(killed, survived)} |")
    out.append("| **total** | " + " | ".join(f"**{t}**" for t in totals) +
               f" | **{kill_rate(totals[1], totals[3])}** |")
    out += ["", "## Survivors", ""]
    survivors = [m for m in mutants if m.outcome == SURVIVED]
    for m in survivors:
        out.append(f"- `{m.file}:{m.line}` (#{m.number})")
        out.append(f"  - `{m.original.strip()}`")
        out.append(f"  - `{' / '.join(part.strip() for part in m.mutated.splitlines())}`")
    if not survivors:
        out.append("none")
    out += ["", "## Where the mutants fall (generated, per file)", ""]
    out += [f"- {file}: {note}" for file, note in notes.items()]
    return "\n".join(out) + "\n"


# ---------------------------------------------------------------------------

def main():
    parser = argparse.ArgumentParser(prog="dev mutate", description=__doc__.split("\n\n")[0])
    parser.add_argument("--count", type=int, default=150, help="compiling mutants to test in all (150)")
    parser.add_argument("--seed", type=int, default=1, help="seed of the order mutants are drawn in (1)")
    parser.add_argument("--min-per-file", type=int, default=8, help="compiling mutants per file at least (8)")
    parser.add_argument("--timeout", type=float, default=None,
                        help="seconds per mutant's tests before it counts as killed (3 x the clean run, >= 60)")
    parser.add_argument("--resume", action="store_true",
                        help="take the outcomes of results.json (same seed, count, sources) instead of testing again")
    parser.add_argument("files", nargs="*", help="sources to mutate (every .cpp of the module)")
    args = parser.parse_args()

    started = time.monotonic()
    require_unmodified_sources()
    sources = ([ROOT / f for f in args.files] if args.files
               else sorted(p for pattern in SOURCE_GLOBS for p in ROOT.glob(pattern)))
    TREE.mkdir(parents=True, exist_ok=True)

    print(f"generating mutants of {len(sources)} files ...", flush=True)
    generated, notes = {}, {}
    for source in sources:
        relative = source.relative_to(ROOT).as_posix()
        all_mutants = generate_mutants(source, TREE / "generated" / relative.replace("/", "_"))
        # The seed and the file name fix the order: same source and seed, same mutants.
        random.Random(f"{args.seed}:{relative}").shuffle(all_mutants)
        generated[relative] = all_mutants
        notes[relative] = coverage_note(source, all_mutants)
        print(f"  {relative}: {len(all_mutants)} mutants; {notes[relative]}", flush=True)
    wanted = quotas({f: len(ms) for f, ms in generated.items()}, args.count, args.min_per_file)

    tree = Tree(sys.executable, args.seed)
    tree.configure()
    ok, error = tree.build()
    if not ok:
        sys.exit(f"the unmutated source does not build: {error}")
    tree.make_venv()
    tree.check_imports()

    # The clean run: must pass; its time sets the timeout, and the files run
    # fastest first so that a failure shows up as early as possible.
    durations = {}
    for test_file in tree.test_files:
        begin = time.monotonic()
        outcome, detail = tree.run_suite(None, [test_file])
        durations[test_file] = time.monotonic() - begin
        if outcome != SURVIVED:
            sys.exit(f"the unmutated source fails its tests: {detail}")
    tree.test_files.sort(key=durations.get)
    begin = time.monotonic()
    outcome, detail = tree.run_suite(None)
    clean_seconds = time.monotonic() - begin
    if outcome != SURVIVED:
        sys.exit(f"the unmutated source fails its tests: {detail}")
    timeout = args.timeout or max(60.0, 3 * clean_seconds)
    print(f"clean run: {clean_seconds:.1f} s; timeout per mutant {timeout:.0f} s", flush=True)

    commit = run(["git", "rev-parse", "HEAD"], cwd=ROOT).stdout.strip()
    settings = {"seed": args.seed, "count": args.count, "minimum": args.min_per_file, "commit": commit,
                "sources": {p.relative_to(ROOT).as_posix(): hashlib.sha256(p.read_bytes()).hexdigest()
                            for p in sources},
                "flags": "-O1 -DNDEBUG; core mutants also clang ASan + UB traps", "timeout": timeout, "clean_seconds": round(clean_seconds, 1),
                "test_files": [p.name for p in tree.test_files], "wanted": wanted,
                "generated": {f: len(ms) for f, ms in generated.items()}, "complete": False, "wall_seconds": 0}
    earlier, earlier_seconds = previous_outcomes(settings) if args.resume else ({}, 0)
    tried: list[Mutant] = []
    guard = SourceGuard()
    try:
        for file, mutants in generated.items():
            compiled = 0
            for mutant in mutants:
                if compiled == wanted[file]:
                    break
                if (known := earlier.get(mutant.key())) is not None:
                    mutant.outcome, mutant.detail, mutant.seconds = known.outcome, known.detail, known.seconds
                    compiled += mutant.outcome != NOT_COMPILED
                    tried.append(mutant)
                    continue
                begin = time.monotonic()
                in_core = mutant.file.startswith(CORE_PREFIX)
                try:
                    guard.apply(mutant)
                    ok, error = tree.build(sanitized=in_core)
                    if ok:
                        compiled += 1
                        mutant.outcome, mutant.detail = tree.run_suite(timeout, sanitized=in_core)
                    else:
                        mutant.outcome, mutant.detail = NOT_COMPILED, error
                finally:
                    guard.restore()
                mutant.seconds = round(time.monotonic() - begin, 1)
                tried.append(mutant)
                settings["wall_seconds"] = earlier_seconds + round(time.monotonic() - started)
                save_results(RESULTS, settings, notes, tried)
                print(f"{mutant.outcome:>12}  {file}:{mutant.line} #{mutant.number}  "
                      f"[{compiled}/{wanted[file]}]  {mutant.seconds:.0f} s  {mutant.detail[:80]}", flush=True)
        settings["complete"] = True
    except (KeyboardInterrupt, SystemExit):  # SIGINT, or SIGTERM / SIGHUP
        print("interrupted; the source is restored, the results so far are kept", file=sys.stderr)
    finally:
        guard.restore()
        settings["wall_seconds"] = earlier_seconds + round(time.monotonic() - started)
        save_results(RESULTS, settings, notes, tried)
        # The last build was of a mutant: leave the tree built from the real source.
        tree.build()
    report = render_report(settings, notes, tried)
    REPORT.write_text(report)
    print(report)
    print(f"results: {RESULTS}\nreport: {REPORT}")
    return 0 if settings["complete"] else 1


if __name__ == "__main__":
    sys.exit(main())
