"""python -m bench.threads: how tavik's functions scale from one thread to two.

For each function, calls per second with one thread and with two, each thread
looping over inputs of its own (objects of its own too: two threads touching
one object's reference count would measure that, not the function).  Total
calls per second with 2 threads / with 1 thread is the scaling: about 2 on a
free-threaded build with two idle cores, at most 1 under the GIL.  The floors
(the cheapest extension call building the same kind of result) run alike, so
that what the interpreter itself does not scale can be told from what tavik
does not; and two processes running a pure-Python loop, which share nothing,
measure what the machine's free cores allow at that moment.  The runs of 1 and
2 threads alternate, the best of each counts, and the load averages are
recorded beside the figures: other work on the machine takes cores from the
two threads.

    python -m bench.threads [--repeats 7] [--target 0.1]   # writes threads.md and threads.json
"""

from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys
import threading
import time
from datetime import timedelta
from typing import Any, Callable

from . import RESULTS, import_measured, interpreter, load, machine_info
from . import inputs

ZERO = timedelta(0)

# operation: (inputs, tavik function, floor function, statement calling `f` on `x`)
OPERATIONS: dict[str, tuple[list[Any], str, str, str]] = {
    'str_to_date, "Z" texts': (inputs.Z_TEXTS, "str_to_date", "floor_datetime", "f(x)"),
    "str_to_date, offset texts": (inputs.OFFSET_TEXTS, "str_to_date", "floor_datetime", "f(x)"),
    "date_to_str": (inputs.DATETIMES, "date_to_str", "floor_str", "f(x)"),
    "ms_to_date": (inputs.MILLIS, "ms_to_date", "floor_datetime", "f(x)"),
    "truncate_to_day": (inputs.DATETIMES, "truncate_to_day", "floor_datetime", "f(x)"),
    "now_ms": (inputs.MILLIS, "now_ms", "floor_now_int", "f()"),
    "now_date": (inputs.MILLIS, "now_date", "floor_now_datetime", "f()"),
}


def own_copy(xs: list[Any]) -> list[Any]:
    """Equal inputs that are new objects (the shared lists' are one thread's)."""
    def fresh(x: Any) -> Any:
        if isinstance(x, str):
            return x.encode().decode()
        if isinstance(x, int):
            return int(str(x))
        return x + ZERO  # a datetime
    return [fresh(x) for x in xs]


def make_loop(statement: str) -> Callable[[Callable[..., Any], list[Any], int], None]:
    """The timed loop, with `f` and `xs` as locals, as timeit would compile it."""
    namespace: dict[str, Any] = {}
    exec(f"def loop(f, xs, rounds):\n    for _ in range(rounds):\n        for x in xs:\n            {statement}\n",
         namespace)
    return namespace["loop"]


def calls_per_second(loop: Callable[..., None], f: Callable[..., Any], own_inputs: list[list[Any]],
                     rounds: int) -> float:
    """Every thread runs `rounds` passes over its own inputs, all released at once;
    the total of calls over the time from the first start to the last finish."""
    barrier = threading.Barrier(len(own_inputs))
    spans: list[tuple[float, float]] = []

    def work(xs: list[Any]) -> None:
        barrier.wait()
        start = time.perf_counter()
        loop(f, xs, rounds)
        spans.append((start, time.perf_counter()))

    threads = [threading.Thread(target=work, args=(xs,)) for xs in own_inputs]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    wall = max(end for _, end in spans) - min(start for start, _ in spans)
    return sum(len(xs) for xs in own_inputs) * rounds / wall


# A pure-Python loop, timed from an agreed moment so that two copies overlap: two
# processes share nothing, so their scaling is what the machine's free cores allow.
_PROCESS_LOOP = """
import sys, time
start = float(sys.argv[1])
while time.time() < start:
    pass
begun = time.perf_counter()
xs = list(range(1000, 2200))
for _ in range(int(sys.argv[2])):
    for x in xs:
        x + 1
print(int(sys.argv[2]) * len(xs) / (time.perf_counter() - begun))
"""


def processes_per_second(count: int, rounds: int) -> float:
    start = f"{time.time() + 0.3:.6f}"  # after every interpreter has started
    children = [subprocess.Popen([sys.executable, "-c", _PROCESS_LOOP, start, str(rounds)], stdout=subprocess.PIPE,
                                 text=True) for _ in range(count)]
    return sum(float(child.communicate()[0]) for child in children)


def machine_scaling(repeats: int, rounds: int = 150) -> float:
    """Total loop iterations per second of 2 processes / of 1: about 2 on two idle cores."""
    one = two = 0.0
    for _ in range(repeats):
        one = max(one, processes_per_second(1, rounds))
        two = max(two, processes_per_second(2, rounds))
    return two / one


def scaling(f: Callable[..., Any], xs: list[Any], statement: str, repeats: int, target: float) -> dict[str, float]:
    loop = make_loop(statement)
    per_thread = [own_copy(xs) for _ in range(2)]
    started = time.perf_counter()
    loop(f, per_thread[0], 1)
    rounds = max(1, int(target / max(time.perf_counter() - started, 1e-9)))
    one = two = 0.0
    for _ in range(repeats):
        one = max(one, calls_per_second(loop, f, per_thread[:1], rounds))
        two = max(two, calls_per_second(loop, f, per_thread, rounds))
    return {"ns_1_thread": 1e9 / one, "calls_1_thread": one, "calls_2_threads": two, "scaling": two / one}


def main() -> None:
    parser = argparse.ArgumentParser(prog="python -m bench.threads")
    parser.add_argument("--repeats", type=int, default=7, help="runs of 1 and of 2 threads, best counts")
    parser.add_argument("--target", type=float, default=0.1, help="seconds per single-thread run")
    args = parser.parse_args()
    tavik, tavik_floors = import_measured("bench.threads", "tavik_floors")

    about = interpreter()
    results = []
    for operation, (xs, function, floor, statement) in OPERATIONS.items():
        before = load()
        measured = scaling(getattr(tavik, function), xs, statement, args.repeats, args.target)
        floor_measured = scaling(getattr(tavik_floors, floor), xs, statement, args.repeats, args.target)
        machine = machine_scaling(3)
        results.append({"operation": operation, **measured, "floor": floor, "floor_scaling": floor_measured["scaling"],
                        "machine_scaling": machine, "load": [before, load()]})
        print(f"{operation:<28} 1 thread {measured['calls_1_thread'] / 1e6:6.2f} M/s ({measured['ns_1_thread']:.1f} ns)"
              f"  2 threads {measured['calls_2_threads'] / 1e6:6.2f} M/s  scaling {measured['scaling']:.2f}"
              f"  ({floor} {floor_measured['scaling']:.2f}, 2 processes {machine:.2f})  load {before}", flush=True)

    info = machine_info()
    lines = ["# Calls per second with 1 and 2 threads", "",
             f"{info}; GIL {'enabled' if about['gil_enabled'] else 'disabled'}; "
             f"{os.cpu_count()} CPUs", "",
             "Produced by `python -m bench.threads` (`bash dev bench`). Each thread loops over 1200 inputs of its "
             f"own; best of {args.repeats} runs of each (about {args.target * 1000:.0f} ms), 1 and 2 threads "
             "alternating. Scaling: total calls per second with 2 threads / with 1 thread. The floor's scaling is "
             "the same measure for the cheapest call building the same kind of result; the machine's, that of two "
             "processes running a pure-Python loop (they share nothing: what the free cores allow, measured right "
             "after the operation). Load: the 1, 5, 15 min averages before and after the operation's runs.", "",
             "| operation | 1 thread, M calls/s | ns per call | 2 threads, M calls/s | scaling | floor's scaling | "
             "machine's scaling | load before; after |", "|---|---:|---:|---:|---:|---:|---:|---|"]
    for r in results:
        lines.append(f"| {r['operation']} | {r['calls_1_thread'] / 1e6:.2f} | {r['ns_1_thread']:.1f} | "
                     f"{r['calls_2_threads'] / 1e6:.2f} | {r['scaling']:.2f} | {r['floor_scaling']:.2f} ({r['floor']}) "
                     f"| {r['machine_scaling']:.2f} | {r['load'][0]}; {r['load'][1]} |")
    RESULTS.mkdir(parents=True, exist_ok=True)
    (RESULTS / "threads.md").write_text("\n".join(lines) + "\n")
    (RESULTS / "threads.json").write_text(json.dumps(
        {"interpreter": about, "machine": info, "cpus": os.cpu_count(), "repeats": args.repeats, "rows": results},
        indent=1) + "\n")
    print(f"written {RESULTS / 'threads.md'} and threads.json")


if __name__ == "__main__":
    main()
