"""Instructions per call under callgrind: each case runs once with N calls
and once with none, on the same prepared inputs, and (Ir_N - Ir_0) / N is
what one call costs, the loop's own iteration included (the floor rows show
how much of it is the call itself).

    python -m bench.callgrind            # table, also written to bench/results/instructions.md
    python -m bench.callgrind --profile parse_z   # callgrind_annotate of one case's N-call run
"""

from __future__ import annotations

import argparse
import importlib.util
import json
import os
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

from . import RESULTS, interpreter, machine_info

CALLS = 20_000

_PRELUDE = """
import sys, os
sys.path.insert(0, os.environ["TAVIK_TESTING_DIR"])
from datetime import timezone
import tavik, tavik_floors, tavik_testing
from bench import inputs
n = int(sys.argv[1])
"""

# name: (what, inputs expression, function expression, statement calling `f` on `x`)
CASES: dict[str, tuple[str, str, str, str]] = {
    "parse_z": ('str_to_date, "Z" texts', "inputs.Z_TEXTS", "tavik.str_to_date", "f(x)"),
    "parse_offset": ("str_to_date, offset texts", "inputs.OFFSET_TEXTS", "tavik.str_to_date", "f(x)"),
    "format": ("date_to_str", "inputs.DATETIMES", "tavik.date_to_str", "f(x)"),
    "ms_to_date": ("ms_to_date", "inputs.MILLIS", "tavik.ms_to_date", "f(x)"),
    "truncate_to_day": ("truncate_to_day", "inputs.DATETIMES", "tavik.truncate_to_day", "f(x)"),
    "now_ms": ("now_ms", "inputs.MILLIS", "tavik.now_ms", "f()"),
    "now_date": ("now_date", "inputs.MILLIS", "tavik.now_date", "f()"),
    "ciso8601_z": ('ciso8601.parse_rfc3339, "Z" texts', "inputs.Z_TEXTS", "__import__('ciso8601').parse_rfc3339",
                   "f(x)"),
    "fromisoformat_z": ('datetime.fromisoformat, "Z" texts', "inputs.Z_TEXTS",
                        "__import__('datetime').datetime.fromisoformat", "f(x)"),
    "isoformat": ("datetime.isoformat", "inputs.DATETIMES", "__import__('datetime').datetime.isoformat", "f(x)"),
    "floor_datetime": ("floor: floor_datetime", "inputs.Z_TEXTS", "tavik_floors.floor_datetime", "f(x)"),
    "floor_str": ("floor: floor_str", "inputs.Z_TEXTS", "tavik_floors.floor_str", "f(x)"),
    "floor_int": ("floor: floor_int", "inputs.Z_TEXTS", "tavik_floors.floor_int", "f(x)"),
    "floor_noop": ("floor: floor_noop", "inputs.Z_TEXTS", "tavik_floors.floor_noop", "f(x)"),
    "floor_now_int": ("floor: floor_now_int", "inputs.MILLIS", "tavik_floors.floor_now_int", "f()"),
    "floor_now_datetime": ("floor: floor_now_datetime", "inputs.MILLIS", "tavik_floors.floor_now_datetime", "f()"),
}

# Cases that need a peer, which may have no build for this interpreter.
NEEDS = {"ciso8601_z": "ciso8601"}

# Which floor each case is set against.
FLOOR = {"parse_z": "floor_datetime", "parse_offset": "floor_datetime", "ms_to_date": "floor_datetime",
         "truncate_to_day": "floor_datetime", "now_date": "floor_now_datetime",
         "format": "floor_str", "now_ms": "floor_now_int"}


def _script(case: str) -> str:
    _, source, function, statement = CASES[case]
    return _PRELUDE + f"""
xs = {source}
calls = (xs * ({CALLS} // len(xs) + 1))[:n]
f = {function}
def run(calls, f):
    for x in calls:
        {statement}
run(calls, f)
"""


def _instructions(case: str, n: int, keep: Path | None = None) -> int:
    with tempfile.TemporaryDirectory() as tmp:
        out = keep or Path(tmp) / "callgrind.out"
        env = dict(os.environ, PYTHONHASHSEED="0")
        subprocess.run(
            ["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}", sys.executable, "-c", _script(case),
             f"{n:06d}"],
            check=True, env=env, cwd=Path(__file__).resolve().parent.parent,
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        for line in out.read_text().splitlines():
            if line.startswith(("summary:", "totals:")):
                return int(line.split()[1])
    raise RuntimeError(f"no instruction total in the callgrind output of {case}")


def per_call(case: str) -> float:
    return (_instructions(case, CALLS) - _instructions(case, 0)) / CALLS


def main() -> None:
    parser = argparse.ArgumentParser(prog="python -m bench.callgrind")
    parser.add_argument("--profile", choices=sorted(CASES), help="annotate one case's N-call run instead")
    args = parser.parse_args()
    if shutil.which("valgrind") is None:
        sys.exit("bench.callgrind: valgrind is not installed")
    # The floors are built per interpreter, with the module's flags: only the caller knows where.
    if not os.environ.get("TAVIK_TESTING_DIR"):
        sys.exit("bench.callgrind: set TAVIK_TESTING_DIR to the folder holding tavik_floors (bash dev bench does)")

    if args.profile:
        out = Path(tempfile.mkdtemp()) / "callgrind.out"
        _instructions(args.profile, CALLS, keep=out)
        subprocess.run(["callgrind_annotate", "--inclusive=yes", str(out)], check=True)
        print(f"(raw profile: {out})")
        return

    counts = {}
    for case in CASES:
        if case in NEEDS and importlib.util.find_spec(NEEDS[case]) is None:
            print(f"{CASES[case][0]:<28} {NEEDS[case]} not installed", flush=True)
            continue
        counts[case] = per_call(case)
        print(f"{CASES[case][0]:<28} {counts[case]:8.0f} Ir/call", flush=True)

    lines = ["# Instructions per call (callgrind)", "", machine_info(), "",
             f"Each case runs {CALLS} calls and none on the same inputs under `valgrind --tool=callgrind`; "
             "the figure is (Ir_N - Ir_0) / N, the Python loop that makes the calls included. "
             "\"over floor\" subtracts the matching floor function's figure, which is the cost of the loop, "
             "the call and (for datetime results) building the datetime.", "",
             "| operation | Ir/call | floor | over floor |", "|---|---:|---|---:|"]
    for case, (what, *_rest) in CASES.items():
        floor = FLOOR.get(case)
        if case not in counts:
            lines.append(f"| {what} | {NEEDS[case]} not installed | | |")
        elif floor is None:
            lines.append(f"| {what} | {counts[case]:.0f} | | |")
        else:
            lines.append(f"| {what} | {counts[case]:.0f} | {floor} ({counts[floor]:.0f}) | "
                         f"{counts[case] - counts[floor]:+.0f} |")
    RESULTS.mkdir(parents=True, exist_ok=True)
    (RESULTS / "instructions.md").write_text("\n".join(lines) + "\n")
    (RESULTS / "instructions.json").write_text(json.dumps(
        {"interpreter": interpreter(), "machine": machine_info(), "calls": CALLS, "per_call": counts,
         "over_floor": {CASES[case][0]: counts[case] - counts[floor] for case, floor in FLOOR.items()}},
        indent=1) + "\n")
    print(f"written {RESULTS / 'instructions.md'} and instructions.json")


if __name__ == "__main__":
    main()
