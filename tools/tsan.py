"""`bash dev tsan [--planted] [PYTEST ARGS...]`: tavik under ThreadSanitizer on a free-threaded CPython.

The interpreter comes from `tools/cpython.py ft-tsan` (free-threaded, built by clang 16 with TSan);
tavik and the test extension are built by the same clang with -fsanitize=thread (TAVIK_TSAN), so
one runtime sees the interpreter's and tavik's accesses alike.  Then the thread test, then pytest,
every report written to a file of its own.  A report that names tavik's code (a frame or a location
in one of its modules, or a source file under src/ or tests/native/) fails the run; the others lie
wholly inside the interpreter and are listed, counted apart.

--planted builds a scratch copy of the sources in which a class table publishes its classes
through plain variables instead of atomic ones, runs the thread test only, and fails unless TSan
reports a race there: the proof that this setup catches a race in tavik at all.
"""
import json
import os
import re
import shutil
import subprocess
import sys
import tomllib
from collections import Counter
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
WORK = ROOT / "build" / "tsan"
COMPILERS = {"CC": "clang-16", "CXX": "clang++-16"}

# Left out of the pytest run under TSan, each with the reason printed at every run.
SKIPPED = {
    "tests/test_hardening_leaks.py":
        "memory-size checks: TSan's allocator and shadow memory are what they would measure",
    "tests/test_hardening_oom.py":
        "allocation-failure injection: TSan's runtime allocates behind the interpreter's back",
    "tests/test_module.py::test_failed_module_building_raises_nested_errors_and_a_retry_succeeds":
        "allocation-failure injection (with _testcapi, which the TSan interpreter is built without)",
    "tests/test_module.py::test_a_restarted_interpreter_gets_a_module_of_its_own":
        "embeds the TSan interpreter's static libpython, whose extension modules then miss its symbols",
    "tests/test_hardening_threads.py":
        "run above by itself, for the time TSan's slowdown needs",
}
# TSan slows the thread test's calls several times over: its threads call for this much longer,
# so that each still gets through the rounds the test asks for.
THREAD_TEST_SLOWDOWN = 5

# The synchronisation --planted removes: a class table's published classes, read without its lock
# by every request and stored under it by the first, become plain pointers with the same member
# functions.  (A cell stored once before the threads' first calls, such as the datetime C API's,
# would not do: on a free-threaded interpreter every reference count change on a shared object is a
# sequentially consistent atomic, which orders the threads' accesses before TSan can see a race.)
PLANTED_FILE = "src/types/class_table.hpp"
PLANTED_FROM = "std::atomic<PyTypeObject*> ready_[N] = {};"
PLANTED_TO = """template <class T>
struct PlainCell {
    T value;
    T load(std::memory_order = {}) const noexcept { return value; }
    void store(T desired, std::memory_order = {}) noexcept { value = desired; }
    bool compare_exchange_strong(T& expected, T desired, std::memory_order = {}) noexcept {
        if (value != expected) return expected = value, false;
        value = desired;
        return true;
    }
};
PlainCell<PyTypeObject*> ready_[N] = {};"""

# Runs the thread test's own test function in-process, keeping the figures its child reports.
THREAD_TEST = """
import json, os, sys
sys.path.insert(0, os.environ["TAVIK_TESTING_DIR"])
import tavik_testing, test_hardening_threads as threads
figures = {}
def in_child(testing, script, threads, seconds, **env):
    report, stderr = real(testing, script, threads, seconds * float(sys.argv[1]), **env)
    figures.update(threads=len(report["rounds"]), rounds=sum(report["rounds"]))
    return report, stderr
real, threads.in_child = threads.in_child, in_child
threads.test_threads_get_what_one_thread_gets(tavik_testing)
figures["operations"] = figures["rounds"] * len(threads.CALLS)
print(json.dumps(figures))
"""

# A stack frame or location line inside tavik: the object file is one of tavik's modules (every
# frame and global names its object), or the source file is one of tavik's, relative to the
# repository as its builds record them (the core tests and the embedding program).  The
# interpreter's frames name python3.13t, its own extension modules and its own source paths.
TAVIK_LINE = re.compile(r"\((?:lib)?(?:tavik|tavik_testing|tavik_floors|fake_clock)[\w.-]*\.so\+0x"
                        r"|(?:^|[\s(])(?:src|tests/native)/[\w/]+\.[ch]pp:\d")


def say(*words):
    print("dev tsan:", *words, file=sys.stderr, flush=True)


def run(*command, env=None, cwd=None, capture=False):
    result = subprocess.run([str(c) for c in command], env=env, cwd=cwd, text=True,
                            stdout=subprocess.PIPE if capture else None)
    if result.returncode != 0:
        raise SystemExit(f"dev tsan: failed ({result.returncode}): {' '.join(map(str, command))}")
    return result.stdout


def quiet_env(**extra):
    """For the tools the TSan interpreter runs (pip, the build): races inside them are not ours."""
    return dict(os.environ, TSAN_OPTIONS="report_bugs=0:exitcode=0", **COMPILERS, **extra)


def interpreter():
    out = run(sys.executable, ROOT / "tools" / "cpython.py", "ft-tsan", capture=True)
    return Path(out.strip().splitlines()[-1])


def venv_for(base):
    """build/tsan/venv, made from `base` (remade when the interpreter changed), with what the tests need."""
    venv, python = WORK / "venv", WORK / "venv" / "bin" / "python"
    config = venv / "pyvenv.cfg"
    if not (python.exists() and f"executable = {base}\n" in config.read_text()):
        shutil.rmtree(venv, ignore_errors=True)
        say("making", venv, "from", base)
        run(base, "-m", "venv", venv, env=quiet_env())
    project = tomllib.loads((ROOT / "pyproject.toml").read_text())
    # Not the stub check's mypy (types are no thread's business) nor hypothesis (no test uses it),
    # neither of which has a free-threaded wheel for this interpreter.
    wanted = project["build-system"]["requires"] + [
        r for r in project["dependency-groups"]["test"] if re.match(r"(pytest|cmake|ninja)\b", r)]
    run(python, "-m", "pip", "install", "-q", "--disable-pip-version-check", *wanted, env=quiet_env())
    return python


def planted_copy():
    """The working tree's files, with the one synchronisation removed."""
    copy = WORK / "planted" / "source"
    shutil.rmtree(copy, ignore_errors=True)
    files = run("git", "-C", ROOT, "ls-files", "-co", "--exclude-standard", capture=True).split("\n")
    for name in filter(None, files):
        if (ROOT / name).is_file():
            (copy / name).parent.mkdir(parents=True, exist_ok=True)
            shutil.copy2(ROOT / name, copy / name)
    target = copy / PLANTED_FILE
    text = target.read_text()
    if text.count(PLANTED_FROM) != 1:
        raise SystemExit(f"dev tsan: {PLANTED_FILE} no longer holds `{PLANTED_FROM}` once: update PLANTED_* here")
    target.write_text(text.replace(PLANTED_FROM, PLANTED_TO))
    return copy


def build(python, source, tree):
    """tavik into the venv and the test extension into tree/testing, both with TSan."""
    say("building tavik and the test extension from", source)
    run(python, "-m", "pip", "install", "-q", "--disable-pip-version-check", "--no-build-isolation", "--no-deps",
        "--force-reinstall", "-C", "cmake.define.TAVIK_TSAN=ON", "-C", "cmake.build-type=RelWithDebInfo",
        "-C", f"build-dir={tree / 'wheel'}", source, env=quiet_env())
    run("cmake", "-S", source, "-B", tree / "testing", "-G", "Ninja", f"-DPython_EXECUTABLE={python}",
        "-DCMAKE_BUILD_TYPE=RelWithDebInfo", "-DTAVIK_BUILD_TESTING=ON", "-DTAVIK_TSAN=ON",
        env=quiet_env(), capture=True)
    run("cmake", "--build", tree / "testing", env=quiet_env(), capture=True)
    return tree / "testing" / "python"


def symbolizer():
    """An llvm-symbolizer for the reports' file names and lines (TSan finds none on PATH by itself)."""
    for name in ("llvm-symbolizer-16", "llvm-symbolizer"):
        if path := shutil.which(name):
            return os.path.realpath(path)
    raise SystemExit("dev tsan: no llvm-symbolizer (apt-get install llvm-16, or llvm)")


def gil_check(python, env):
    """Whether importing tavik leaves the GIL off; any warning it printed."""
    probe = subprocess.run([python, "-c", "import sys, tavik.tavik as t; print(t.__file__, sys._is_gil_enabled())"],
                           env=env, capture_output=True, text=True)
    if probe.returncode != 0:
        raise SystemExit(f"dev tsan: `import tavik` failed:\n{probe.stderr}")
    where, enabled = probe.stdout.split()
    if not where.startswith(str(WORK / "venv")):
        raise SystemExit(f"dev tsan: tavik was imported from {where}, not from the TSan venv")
    return enabled == "True", probe.stderr.strip()


def reports(folder):
    """Every report in the folder's files: (text, names tavik's code)."""
    found = []
    for path in sorted(folder.iterdir()):
        for block in re.findall(r"^WARNING: ThreadSanitizer:.*?(?=^=+$|\Z)", path.read_text(errors="replace"),
                                re.M | re.S):
            found.append((block, any(TAVIK_LINE.search(line) for line in block.splitlines())))
    return found


def summary(block):
    line = re.search(r"^SUMMARY: ThreadSanitizer: (.*)$", block, re.M)
    return line.group(1) if line else block.splitlines()[0]


def main():
    args = sys.argv[1:]
    planted = "--planted" in args
    pytest_args = [a for a in args if a != "--planted"]
    for tool in COMPILERS.values():
        if shutil.which(tool) is None:
            raise SystemExit(f"dev tsan: {tool} not found (apt-get install clang-16)")
    base = interpreter()
    say("interpreter:", base)
    python = venv_for(base)
    source, tree = (planted_copy(), WORK / "planted") if planted else (ROOT, WORK)
    testing_dir = build(python, source, tree)

    folder = tree / "reports"
    shutil.rmtree(folder, ignore_errors=True)
    folder.mkdir(parents=True)
    # exitcode=0: TSan's own exit status would fail every child process the tests start; the
    # report files decide.  history_size=4: the earlier access of a race keeps its stack.
    env = dict(os.environ, TAVIK_TESTING_DIR=str(testing_dir),
               TSAN_OPTIONS=f"log_path={folder}/tsan:exitcode=0:halt_on_error=0:history_size=4"
                            f":external_symbolizer_path={symbolizer()}")
    gil_on, warning = gil_check(python, env)
    if gil_on:
        # The threads would take turns and TSan would see little: make them run at once anyway.
        say("import tavik enabled the GIL:", warning or "(no warning)")
        say("running with PYTHON_GIL=0 so that the threads still run in parallel")
        env["PYTHON_GIL"] = "0"
    else:
        say("import tavik left the GIL off", f"(stderr: {warning})" if warning else "and printed nothing")

    status = 0
    say("thread test")
    thread_run = subprocess.run([python, "-c", THREAD_TEST, str(THREAD_TEST_SLOWDOWN)], cwd=ROOT / "tests",
                                env=env, stdout=subprocess.PIPE, text=True)
    if thread_run.returncode == 0:
        figures = json.loads(thread_run.stdout.splitlines()[-1])
        say("thread test: {threads} threads, {rounds} rounds, {operations} checked operations, "
            "every result as one thread gets it".format(**figures))
    else:
        say("thread test FAILED")
        status = 1
    if not planted:
        deselected = []
        for target, reason in SKIPPED.items():
            say(f"skipped under TSan: {target}: {reason}")
            deselected += ["--deselect", target] if "::" in target else ["--ignore", target]
        say("pytest")
        if subprocess.run([python, "-m", "pytest", "tests", "-q", "-p", "no:cacheprovider", *deselected,
                           *pytest_args], cwd=ROOT, env=env).returncode:
            status = 1

    found = reports(folder)
    ours = [block for block, in_tavik in found if in_tavik]
    theirs = Counter(summary(block) for block, in_tavik in found if not in_tavik)
    print(f"TSan reports: {len(ours)} in tavik, {sum(theirs.values())} inside the interpreter "
          f"({len(list(folder.iterdir()))} report files in {folder})")
    for line, count in theirs.most_common():
        print(f"  interpreter: {count} x {line}")
    for block in ours[:5]:
        print(block)
    if planted:
        caught = [block for block in ours if PLANTED_FILE in block]
        if not caught:
            raise SystemExit(f"dev tsan --planted: the race planted in {PLANTED_FILE} was NOT reported")
        print(f"planted race caught: {len(caught)} report(s) in {PLANTED_FILE}, the first:\n{caught[0]}")
        return
    if ours:
        status = 1
    sys.exit(status)


if __name__ == "__main__":
    main()
