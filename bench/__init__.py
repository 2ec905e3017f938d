"""Benchmarks of tavik against the standard library and other date-time
libraries; run with `python -m bench` (or `bash dev bench`).

Results go to TAVIK_BENCH_RESULTS when it is set (`bash dev bench` sets it:
bench/results for the default interpreter, bench/results/<tag>/ for any other,
so runs on two interpreters never overwrite each other), else bench/results."""

from __future__ import annotations

import datetime as _datetime
import importlib
import os
import platform
import shutil
import subprocess
import sys
import sysconfig
from pathlib import Path
from typing import Any

RESULTS_ROOT = Path(__file__).resolve().parent / "results"
RESULTS = Path(os.environ.get("TAVIK_BENCH_RESULTS") or RESULTS_ROOT)


def cpu_model() -> str:
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "unknown"


def free_threaded() -> bool:
    return bool(sysconfig.get_config_var("Py_GIL_DISABLED"))


def interpreter_tag() -> str:
    """cp314, cp313t: the interpreter's version and build, as wheel tags name them."""
    return "cp%d%d%s" % (*sys.version_info[:2], "t" if free_threaded() else "")


def os_release() -> str:
    try:
        for line in Path("/etc/os-release").read_text().splitlines():
            if line.startswith("PRETTY_NAME="):
                return line.split("=", 1)[1].strip('"')
    except OSError:
        pass
    return platform.system()


def cxx_compiler() -> str:
    """The C++ compiler CMake picks by default (tavik and the floors are built with it)."""
    compiler = os.environ.get("CXX") or shutil.which("c++")
    if not compiler:
        return "unknown"
    try:
        return subprocess.run([compiler, "--version"], capture_output=True, text=True).stdout.splitlines()[0]
    except (OSError, IndexError):
        return compiler


def interpreter_build() -> str:
    """How the interpreter itself was compiled: what makes two builds of one version differ in speed."""
    args = sysconfig.get_config_var("CONFIG_ARGS") or ""
    optimised = [name for flag, name in (("--enable-optimizations", "PGO"), ("--with-lto", "LTO")) if flag in args]
    return f"{platform.python_compiler()}, {'+'.join(optimised) or 'no PGO/LTO'}" + (
        ", shared libpython" if sysconfig.get_config_var("Py_ENABLE_SHARED") else "")


def interpreter() -> dict[str, Any]:
    """What the summary needs to tell one run's interpreter from another's."""
    gil = getattr(sys, "_is_gil_enabled", lambda: True)()
    return {"tag": interpreter_tag(), "version": sys.version.split()[0], "free_threaded": free_threaded(),
            "gil_enabled": gil, "prefix": sys.base_prefix, "os": os_release(), "build": interpreter_build(),
            "cxx": cxx_compiler()}


def load() -> str:
    """The machine's load averages (1, 5, 15 min): other work shares the cores with a benchmark."""
    try:
        return " ".join(Path("/proc/loadavg").read_text().split()[:3])
    except OSError:
        return "unknown"


def machine_info() -> str:
    return (f"CPU: {cpu_model()}; Python {sys.version.split()[0]} ({platform.python_implementation()}, "
            f"{platform.machine()}{', free-threaded' if free_threaded() else ''}); {platform.system()} "
            f"{platform.release()}; {os_release()}; "
            f"date: {_datetime.datetime.now(_datetime.timezone.utc):%Y-%m-%d %H:%M} UTC")


def import_measured(program: str, *extensions: str) -> tuple[Any, ...]:
    """tavik and the named extensions of the test build tree, which TAVIK_TESTING_DIR names (`bash dev bench`
    sets it); `program` exits saying so when they are not there."""
    testing_dir = os.environ.get("TAVIK_TESTING_DIR")
    if testing_dir:
        sys.path.insert(0, testing_dir)
    try:
        return tuple(importlib.import_module(name) for name in ("tavik", *extensions))
    except ImportError:
        sys.exit(f"{program}: {' or '.join(extensions)} not found; set TAVIK_TESTING_DIR (bash dev bench does)")
