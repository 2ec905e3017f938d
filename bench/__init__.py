"""Benchmarks of tavik against the standard library and other date-time
libraries; run with `python -m bench` (or `bash dev bench`)."""

from __future__ import annotations

import datetime as _datetime
import platform
import sys
from pathlib import Path

RESULTS = Path(__file__).resolve().parent / "results"


def cpu_model() -> str:
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "unknown"


def machine_info() -> str:
    return (f"CPU: {cpu_model()}; Python {sys.version.split()[0]} ({platform.python_implementation()}, "
            f"{platform.machine()}); {platform.system()} {platform.release()}; "
            f"date: {_datetime.datetime.now(_datetime.timezone.utc):%Y-%m-%d %H:%M} UTC")
