"""Runs the whole suite (`bash dev test`: native core tests, stubtest, pytest) on every CPython
tavik supports and prints one table: interpreter, build (GIL or free-threaded), core checks,
stubtest, pytest counts, the GIL after `import tavik` on free-threaded builds, and time.

Each interpreter is fetched by this script and kept outside the repository, in
${TAVIK_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/tavik}:
  host       the machine's own 3.13, what `bash dev test` uses;
  sid        a Debian unstable chroot (mmdebstrap) holding python3.13, 3.14 and 3.15, in which
             the suite runs as `TAVIK_PYTHON=/usr/bin/python3.X bash dev test`, the repository
             mounted at its own path and its build folders private to the chroot;
  3.13t      the free-threaded interpreter tools/cpython.py builds from Debian's source.
Delete a cached chroot to have it made anew from the current unstable suite.

Run by `bash dev matrix [--only 3.14,3.13t] [--prepare]`: each row's log is in build/matrix/.
One row failing does not stop the others; the exit status is 1 if any row failed."""
import argparse
import hashlib
import os
import re
import shlex
import shutil
import subprocess
import sys
import time
from dataclasses import dataclass, field
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
LOGS = ROOT / "build" / "matrix"
CACHE = Path(os.environ.get("TAVIK_CACHE") or Path(os.environ.get("XDG_CACHE_HOME") or Path.home() / ".cache") / "tavik")

SID_VERSIONS = ("3.13", "3.14", "3.15")
# Everything the suite needs that pip does not bring: the compiler and binutils (nm reads the
# module's exports), cmake and ninja for the test extension, git for scikit-build-core.
SID_PACKAGES = sorted(
    [f"python{v}{suffix}" for v in SID_VERSIONS for suffix in ("", "-dev", "-venv")]
    + ["g++", "binutils", "cmake", "ninja-build", "git", "ca-certificates", "make"]
)
# The unstable suite's Release file is re-signed weekly; a cached mirror snapshot may be older.
SID_APT_OPTIONS = ['Acquire::Check-Valid-Until "false"']
# The recipe a cached chroot was made from; another recipe makes it anew.
SID_RECIPE = "\n".join(["suite sid", *SID_APT_OPTIONS, *SID_PACKAGES]) + "\n"
SID_RECIPE_FILE = "etc/tavik-matrix-recipe"


@dataclass
class Row:
    key: str  # what --only names
    where: str  # "host", "sid" or "ft"
    free_threaded: bool = False
    python: str = ""  # TAVIK_PYTHON, empty for the host's default 3.13
    # Test tools with no wheel for the interpreter (TAVIK_WITHOUT), and the GIL row whose stub
    # check stands in for this one's when mypy is among them: the same version's.
    without: str = ""
    stub_check_from: str = ""
    # Filled in by the run:
    version: str = ""
    checks: str = "-"
    stubtest: str = "not run"
    pytest: str = "not run"
    gil: str = ""
    venv: str = ""  # the key of dev's venv (.venv/KEY) for this interpreter
    seconds: float = 0.0
    ok: bool = False
    notes: list[str] = field(default_factory=list)


def all_rows():
    return [
        Row("host", "host"),
        *(Row(v, "sid", python=f"/usr/bin/python{v}") for v in SID_VERSIONS),
        Row("3.13t", "ft", free_threaded=True, without="mypy,hypothesis", stub_check_from="host"),
    ]


SOURCES = {"host": "machine", "sid": "Debian sid", "ft": "built here"}


def log(message):
    print(f"dev matrix: {message}", file=sys.stderr, flush=True)


# --- the Debian unstable chroot -------------------------------------------------------------

def host_debian_mirror():
    """The archive this machine's apt reads (deb822 or one-line sources), to fetch unstable from."""
    sources = Path("/etc/apt/sources.list.d")
    for path in sorted(sources.glob("*.sources")) if sources.is_dir() else []:
        for stanza in path.read_text().split("\n\n"):
            fields = dict(re.findall(r"^([A-Za-z-]+):\s*(.*)$", stanza, re.M))
            if "deb" in fields.get("Types", "").split() and fields.get("Enabled", "yes") != "no":
                for uri in fields.get("URIs", "").split():
                    if "security" not in uri:
                        return uri
    for path in [Path("/etc/apt/sources.list"), *sorted(sources.glob("*.list"))]:
        if path.is_file():
            for line in path.read_text().splitlines():
                parts = line.split()
                if parts[:1] == ["deb"]:
                    uri = next(p for p in parts[1:] if not p.startswith("["))
                    if "security" not in uri:
                        return uri
    raise RuntimeError("no Debian archive found in /etc/apt/sources.list{,.d}")


def mounts_under(path):
    """Mount points at or below path (a half-made chroot must not be removed through one)."""
    prefix = str(path).rstrip("/") + "/"
    with open("/proc/self/mountinfo") as info:
        points = [line.split()[4] for line in info]
    return [p for p in points if p == str(path) or p.startswith(prefix)]


def remove_tree(path):
    for point in sorted(mounts_under(path), reverse=True):
        subprocess.run(["umount", "--lazy", point], check=False)
    if mounts_under(path):
        raise RuntimeError(f"{path} still has mounts; not removed")
    shutil.rmtree(path, ignore_errors=True)


def sid_chroot():
    """The cached chroot, made first if missing or made from another recipe.  It is built in a
    folder of its own and renamed into place only when complete, so an interrupted build is
    never taken for a finished one."""
    final = CACHE / "sid"
    recipe = final / SID_RECIPE_FILE
    if recipe.is_file() and recipe.read_text() == SID_RECIPE:
        return final
    CACHE.mkdir(parents=True, exist_ok=True)
    for stale in CACHE.glob("sid.partial-*"):  # left by an interrupted run whose process is gone
        if not Path("/proc", stale.name.rsplit("-", 1)[1]).exists():
            remove_tree(stale)
    if shutil.which("mmdebstrap") is None:
        log("installing mmdebstrap")
        subprocess.run(["apt-get", "update", "-q"], check=True, stdout=subprocess.DEVNULL)
        subprocess.run(["apt-get", "install", "-y", "-q", "mmdebstrap"], check=True, stdout=subprocess.DEVNULL)
    partial = CACHE / f"sid.partial-{os.getpid()}"
    mirror = host_debian_mirror()
    log(f"making the unstable chroot in {partial} from {mirror} (a few minutes)")
    command = ["mmdebstrap", "--mode=root", "--variant=apt", "--include=" + ",".join(SID_PACKAGES),
               *(f"--aptopt={option}" for option in SID_APT_OPTIONS), "sid", str(partial), mirror]
    try:
        with open(LOGS / "sid-chroot.log", "w") as out:
            subprocess.run(command, check=True, stdout=out, stderr=subprocess.STDOUT)
        (partial / SID_RECIPE_FILE).write_text(SID_RECIPE)
        if final.exists():
            old = CACHE / f"sid.old-{os.getpid()}"
            final.rename(old)
            remove_tree(old)
        partial.rename(final)
    except BaseException:
        remove_tree(partial)
        raise
    return final


def can_mount():
    return subprocess.run(["unshare", "--mount", "--propagation", "private", "mount", "-t", "tmpfs", "none", "/mnt"],
                          capture_output=True).returncode == 0


def sid_command(chroot, command, settings):
    """command run as root inside the chroot with the environment settings, the host's DNS and CA
    certificates copied in (pip reaches the index as the host does).  The repository is bind-mounted at its own path in a mount namespace of this run alone (so no
    mount outlives it), with build/ and .venv/ replaced by folders private to the chroot: the
    host's builds, made against other headers, are neither reused nor overwritten.  Where
    mounting is refused, the repository's files are copied to the same path instead."""
    for name in ("etc/resolv.conf", "etc/ssl/certs/ca-certificates.crt"):
        target = chroot / name
        target.unlink(missing_ok=True)  # resolv.conf may be a dangling link
        shutil.copyfile(Path("/") / name, target)
    inside = chroot / str(ROOT).lstrip("/")
    environment = ["env", "-i", "HOME=/root", "LANG=C.UTF-8", "TERM=dumb",
                   "PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin",
                   *(f"{name}={value}" for name, value in settings.items())]
    if not can_mount():
        log("mounting refused: the repository is copied into the chroot")
        for entry in inside.iterdir() if inside.exists() else []:  # a fresh copy; the chroot's own builds kept
            if entry.name not in ("build", ".venv"):
                shutil.rmtree(entry) if entry.is_dir() and not entry.is_symlink() else entry.unlink()
        shutil.copytree(ROOT, inside, symlinks=True, dirs_exist_ok=True,
                        ignore=lambda folder, names: [n for n in names if folder == str(ROOT) and n in ("build", ".venv")])
        return ["chroot", str(chroot), *environment, *command]
    private = chroot / "var/cache/tavik-builds" / hashlib.sha256(str(ROOT).encode()).hexdigest()[:12]
    mounts = [f"mount --rbind /dev {q(chroot / 'dev')}", f"mount -t proc proc {q(chroot / 'proc')}",
              f"mkdir -p {q(inside)}", f"mount --bind {q(ROOT)} {q(inside)}"]
    for folder in ("build", ".venv"):
        (private / folder).mkdir(parents=True, exist_ok=True)
        (ROOT / folder).mkdir(exist_ok=True)  # the mount point; empty, dev fills it as usual
        mounts.append(f"mount --bind {q(private / folder)} {q(inside / folder)}")
    script = " && ".join(mounts) + f" && exec chroot {q(chroot)} " + shlex.join(environment + command)
    return ["unshare", "--mount", "--propagation", "private", "sh", "-c", script]


def q(path):
    return shlex.quote(str(path))


# --- running a row ----------------------------------------------------------------------------

def free_threaded_python():
    """The free-threaded 3.13 tools/cpython.py builds (once; it caches the interpreter itself)."""
    if not (ROOT / "tools" / "cpython.py").is_file():
        raise RuntimeError("tools/cpython.py, which builds the free-threaded interpreter, is not in this checkout")
    result = subprocess.run([sys.executable, str(ROOT / "tools" / "cpython.py"), "ft"], stdout=subprocess.PIPE,
                            text=True)
    lines = result.stdout.strip().splitlines()
    if result.returncode != 0 or not lines:
        raise RuntimeError(f"tools/cpython.py ft failed (exit status {result.returncode})")
    return lines[-1]


def read_results(row, output):
    """The table's cells from `bash dev test`'s output (each check's lines carry its label)."""
    checks = re.findall(r"^native core tests: (\d+) checks, (\d+) failures$", output, re.M)
    if checks:
        total, failures = checks[-1]
        row.checks = f"{int(total):,}" + (f", {failures} failed" if failures != "0" else "")
    if re.search(r"^stub check: Success: no issues found", output, re.M):
        row.stubtest = "pass"
    elif re.search(r"^stub check: ", output, re.M):
        row.stubtest = "FAIL"
    summary = re.findall(r"^=*\s*((?:\d+ \w+(?:, )?)+) in [\d.]+s", output, re.M)
    if summary:
        counts = dict((word, int(n)) for n, word in re.findall(r"(\d+) (\w+)", summary[-1]))
        row.pytest = "/".join(str(counts.get(k, 0)) for k in ("passed", "failed", "skipped"))
        if counts.get("error") or counts.get("errors"):
            row.pytest += f" +{counts.get('error', 0) + counts.get('errors', 0)} errors"
    row.notes += [line for line in output.splitlines() if re.match(r"(FAILED|ERROR) ", line)]
    # "setting up the environment: .venv/KEY (Python 3.14.10, /usr/bin/python3.14)"
    chosen = re.search(r"setting up the environment: \.venv/(\S+) \(Python (\S+),", output)
    if chosen:
        row.venv, row.version = chosen.groups()


def run_logged(row, command, env):
    """Runs command with its output in the row's log; returns the output."""
    with open(LOGS / f"{row.key}.log", "a") as out:
        out.write(f"$ {shlex.join(command)}\n")
        out.flush()
        result = subprocess.run(command, env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        out.write(result.stdout)
    return result.returncode, result.stdout


def run_row(row):
    (LOGS / f"{row.key}.log").unlink(missing_ok=True)
    env = {k: v for k, v in os.environ.items() if k not in ("TAVIK_PYTHON", "TAVIK_WITHOUT")}
    started = time.monotonic()
    try:
        if row.where == "ft":
            row.python = free_threaded_python()
        settings = {name: value for name, value in (("TAVIK_PYTHON", row.python), ("TAVIK_WITHOUT", row.without))
                    if value}
        if row.where == "sid":
            chroot = sid_chroot()
            wrap = lambda command: sid_command(chroot, command, settings)
        else:
            env.update(settings)
            wrap = lambda command: command
        started = time.monotonic()  # the suite's time: fetching the interpreter is not counted
        status, output = run_logged(row, wrap(["bash", str(ROOT / "dev"), "test"]), env)
        read_results(row, output)
        row.ok = status == 0
        if row.free_threaded and row.venv:
            row.ok &= check_gil(row, wrap, env)
    except Exception as error:  # one row's failure must not stop the others
        row.notes.append(f"{type(error).__name__}: {error}")
        row.ok = False
    row.seconds = time.monotonic() - started


def venv_run(row, wrap, env, code):
    """Python code run by the row's venv interpreter, from / (nothing of the checkout importable)."""
    python = ROOT / ".venv" / row.venv / "bin" / "python"
    return run_logged(row, wrap(["sh", "-c", 'cd / && exec "$@"', "-", str(python), "-W", "error", "-c", code]), env)


def check_gil(row, wrap, env):
    """Whether importing tavik left the GIL off, without a warning (an error under -W error)."""
    status, output = venv_run(row, wrap, env, "import tavik, sys; print(sys._is_gil_enabled())")
    if status == 0 and output.strip() == "False":
        row.gil = "off, no warning"
        return True
    row.gil = "ON" if status == 0 else "warning" if "RuntimeWarning" in output else "import failed"
    row.notes.append(f"import tavik: {output.strip().splitlines()[-1] if output.strip() else f'exit {status}'}")
    return False


def take_stub_checks(rows):
    """A row without mypy takes the stub check of the GIL build of its version: the stub file is
    the same, and mypy runs there."""
    by_key = {r.key: r for r in rows}
    for row in rows:
        if row.stub_check_from and "mypy" in row.without.split(","):
            source = by_key[row.stub_check_from]
            row.stubtest = f"{source.stubtest} (on {source.version or source.key} GIL)"
            row.ok &= source.stubtest == "pass"
            row.notes.append(f"{row.without.replace(',', ' and ')} have no wheel for this interpreter: left out "
                             f"(TAVIK_WITHOUT), the stub check taken from the {source.key} row")


def print_table(rows):
    header = ["interpreter", "build", "core checks", "stubtest", "pytest passed/failed/skipped", "GIL after import",
              "time"]
    lines = [[f"{row.version or row.key} ({SOURCES[row.where]})", "free-threaded" if row.free_threaded else "GIL",
              row.checks, row.stubtest, row.pytest, row.gil or "-", f"{row.seconds:.0f} s"] for row in rows]
    widths = [max(len(cells[i]) for cells in [header, *lines]) for i in range(len(header))]
    for cells in [header, ["-" * w for w in widths], *lines]:
        print("| " + " | ".join(c.ljust(w) for c, w in zip(cells, widths)) + " |")
    for row in rows:
        for note in row.notes:
            print(f"{row.key}: {note}")


def main():
    parser = argparse.ArgumentParser(prog="dev matrix", description=__doc__.split("\n\n")[0])
    rows = all_rows()
    parser.add_argument("--only", help="comma-separated rows: " + ", ".join(r.key for r in rows))
    parser.add_argument("--prepare", action="store_true", help="fetch and cache the interpreters, run nothing")
    options = parser.parse_args()
    if options.only:
        wanted = options.only.split(",")
        unknown = set(wanted) - {r.key for r in rows}
        if unknown:
            parser.error(f"unknown rows: {', '.join(sorted(unknown))}")
        needed = {r.stub_check_from for r in rows if r.key in wanted} - {""}
        if needed - set(wanted):
            log(f"also running {', '.join(sorted(needed - set(wanted)))}: its stub check stands in for another row's")
        rows = [r for r in rows if r.key in wanted or r.key in needed]
    LOGS.mkdir(parents=True, exist_ok=True)
    if options.prepare:
        if any(r.where == "sid" for r in rows):
            print(sid_chroot())
        if any(r.where == "ft" for r in rows):
            print(free_threaded_python())
        return 0
    for row in rows:
        log(f"{row.key} ({SOURCES[row.where]}): running the suite (log: build/matrix/{row.key}.log)")
        run_row(row)
        log(f"{row.key}: {'passed' if row.ok else 'FAILED'} in {row.seconds:.0f} s")
    take_stub_checks(rows)
    print_table(rows)
    return 0 if all(r.ok for r in rows) else 1


if __name__ == "__main__":
    sys.exit(main())
