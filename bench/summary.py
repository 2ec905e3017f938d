"""python -m bench.summary: every interpreter's last benchmark run, side by side, in
bench/results/interpreters.md.

It reads what `bash dev bench` left in bench/results (the default interpreter)
and bench/results/TAG/ (any other): results.json (times), instructions.json
(callgrind) and threads.json (1 and 2 threads).  For each interpreter, each
operation's lead, the fastest peer's time over tavik's, and its instructions
over the floor; for each free-threaded build, its single-thread cost against a
GIL build of the same version and its scaling from 1 thread to 2.
"""

from __future__ import annotations

import json
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

from . import RESULTS_ROOT

# The operations where tavik is set against the peers; the last two are set against the
# standard library's own enumeration and attribute, which no peer has.
LEAD_OPERATIONS = ['str_to_date, "Z" texts', "str_to_date, offset texts", "date_to_str", "ms_to_date",
                   "truncate_to_day", "now_ms", "now_date"]
OWN_TYPE_OPERATIONS = ["enum == int", "record field read"]


@dataclass
class Run:
    folder: Path
    default: bool
    results: dict[str, Any]
    instructions: dict[str, Any] = field(default_factory=dict)
    threads: dict[str, Any] = field(default_factory=dict)

    @property
    def about(self) -> dict[str, Any]:
        return self.results["interpreter"]

    @property
    def label(self) -> str:
        about = self.about
        version = about["version"] + ("t" if about["free_threaded"] else "")
        if ".pyenv" in about["prefix"]:
            where = "pyenv"
        elif "sid" in about["os"]:
            where = "Debian sid"
        elif "tavik/python" in about["prefix"]:
            where = "built here"
        else:
            where = about["prefix"]
        return f"{version} ({where}{', default' if self.default else ''})"

    def row(self, operation: str) -> dict[str, Any] | None:
        return next((r for r in self.results["rows"] if r["operation"] == operation), None)

    def over_floor(self, operation: str) -> float | None:
        return self.instructions.get("over_floor", {}).get(operation)

    def compiled(self) -> tuple[str, str]:
        """The compiler and the optimisation the interpreter was built with."""
        parts = self.about["build"].split(", ")
        return parts[0], parts[1]


def load_runs(root: Path) -> list[Run]:
    runs = []
    for folder in [root, *sorted(p for p in root.iterdir() if p.is_dir())]:
        if not (folder / "results.json").is_file():
            continue
        run = Run(folder, folder == root, json.loads((folder / "results.json").read_text()))
        for name in ("instructions", "threads"):
            path = folder / f"{name}.json"
            if path.is_file():
                setattr(run, name, json.loads(path.read_text()))
        runs.append(run)
    # The default first, then the GIL builds by version, then the free-threaded ones.
    return sorted(runs, key=lambda r: (not r.default, r.about["free_threaded"],
                                       tuple(int(n) for n in r.about["version"].split(".")[:3] if n.isdigit())))


def table(header: list[str], rows: list[list[str]]) -> list[str]:
    return ["| " + " | ".join(header) + " |", "|" + "|".join("---" for _ in header) + "|",
            *("| " + " | ".join(row) + " |" for row in rows)]


def lead_cell(run: Run, operation: str, usual_peer: str, instructions: bool = True) -> str:
    row = run.row(operation)
    if row is None:
        return "not measured"
    peer = row["best_peer"]
    cell = f"{peer['ns'] / row['tavik_ns']:.2f}"
    if peer["column"] != usual_peer:
        cell += f" ({peer['column']})"
    if not instructions:
        return cell
    over = run.over_floor(operation)
    return cell + (f" · {over:+.0f}" if over is not None else " · —")


def not_installed(run: Run) -> str:
    missing = sorted({column for row in run.results["rows"] for column, why in row["missing"].items()
                      if why == "not installed"})
    return ", ".join(missing) or "none"


def lost_leads(runs: list[Run]) -> list[str]:
    """Every operation where the default interpreter leads and another does not."""
    default = next((r for r in runs if r.default), None)
    if default is None:
        return []
    lost = []
    for operation in LEAD_OPERATIONS:
        base = default.row(operation)
        if base is None or base["best_peer"]["ns"] <= base["tavik_ns"]:
            continue
        for run in runs:
            row = run.row(operation)
            if row is not None and row["best_peer"]["ns"] <= row["tavik_ns"]:
                lost.append(f"{run.label}, {operation}: tavik {row['tavik_ns']:.1f} ns, "
                            f"{row['best_peer']['label']} {row['best_peer']['ns']:.1f} ns "
                            f"({row['best_peer']['ns'] / row['tavik_ns']:.2f}; on the default "
                            f"{base['best_peer']['ns'] / base['tavik_ns']:.2f})")
    return lost


def reference_for(run: Run, runs: list[Run]) -> list[Run]:
    """The GIL builds of the free-threaded run's version, the one compiled alike first
    (same compiler, same PGO/LTO): the interpreter's own optimisation moves every
    figure and is not what free threading costs."""
    minor = run.about["version"].split(".")[:2]
    same = [r for r in runs if not r.about["free_threaded"] and r.about["version"].split(".")[:2] == minor]
    return sorted(same, key=lambda r: r.compiled() != run.compiled())


def ratio(a: float | None, b: float | None, form: str = "{:.2f}") -> str:
    return form.format(a / b) if a is not None and b else "—"


def free_threaded_section(run: Run, runs: list[Run]) -> list[str]:
    lines = [f"## {run.label}: free-threaded", ""]
    if run.threads:  # that process imports tavik and the floors only
        gil = run.threads["interpreter"]["gil_enabled"]
        lines += [f"GIL after `import tavik`: {'enabled' if gil else 'disabled'}.", ""]
    references = reference_for(run, runs)
    if references:
        chosen = references[0]
        compiler, optimisation = run.compiled()
        why = (f"built like {run.label} ({compiler}, {optimisation})" if chosen.compiled() == run.compiled()
               else "the only GIL build of this version measured")
        others = "; ".join(f"{r.label} is built with {', '.join(r.compiled())}" for r in references[1:])
        lines += [f"Single-thread cost against the GIL build {chosen.label}: {why}"
                  + (f"; {others}, which moves the interpreter's own figures, so it is shown beside." if others
                     else "."), ""]
        header = ["operation", f"{run.about['version']}t ns"]
        for ref in references:
            header += [f"{ref.about['version']} ns", f"t / {ref.about['version']}"]
        header += [f"{run.about['version']}t Ir over floor", *(f"{r.about['version']} Ir over floor"
                                                              for r in references)]
        rows = []
        for operation in LEAD_OPERATIONS + OWN_TYPE_OPERATIONS:
            mine = run.row(operation)
            cells = [operation, f"{mine['tavik_ns']:.1f}" if mine else "—"]
            for ref in references:
                theirs = ref.row(operation)
                cells += [f"{theirs['tavik_ns']:.1f}" if theirs else "—",
                          ratio(mine and mine["tavik_ns"], theirs and theirs["tavik_ns"])]
            cells += [f"{v:+.0f}" if (v := r.over_floor(operation)) is not None else "—" for r in [run, *references]]
            rows.append(cells)
        lines += table(header, rows) + [""]
    if run.threads:
        lines += [f"Scaling: total calls per second with 2 threads / with 1 thread, each thread looping over "
                  f"inputs of its own; best of {run.threads['repeats']} runs of each, alternating, on "
                  f"{run.threads['cpus']} CPUs shared with other work (load averages 1, 5, 15 min beside). "
                  "A GIL build's scaling is shown for contrast; the floor's is what the interpreter allows for "
                  "the cheapest call building the same kind of result; the machine's, that of two processes "
                  "running a pure-Python loop, what the free cores allowed at that moment.", ""]
        contrast = next((r for r in references if r.threads), None)
        header = ["operation", "1 thread, M calls/s", "2 threads, M calls/s", "scaling", "floor's scaling",
                  "machine's scaling"]
        if contrast:
            header.append(f"scaling on {contrast.about['version']} (GIL)")
        header.append("load before; after")
        theirs = {r["operation"]: r for r in contrast.threads["rows"]} if contrast else {}
        rows = []
        for r in run.threads["rows"]:
            cells = [r["operation"], f"{r['calls_1_thread'] / 1e6:.2f}", f"{r['calls_2_threads'] / 1e6:.2f}",
                     f"{r['scaling']:.2f}", f"{r['floor_scaling']:.2f}", f"{r['machine_scaling']:.2f}"]
            if contrast:
                other = theirs.get(r["operation"])
                cells.append(f"{other['scaling']:.2f}" if other else "—")
            cells.append(f"{r['load'][0]}; {r['load'][1]}")
            rows.append(cells)
        lines += table(header, rows) + [""]
    return lines


def main() -> None:
    runs = load_runs(RESULTS_ROOT)
    if not runs:
        raise SystemExit("bench.summary: no results.json under bench/results; run `bash dev bench` first")
    default = next((r for r in runs if r.default), runs[0])
    usual = {op: row["best_peer"]["column"] for op in LEAD_OPERATIONS if (row := default.row(op))}
    lines = ["# tavik on every interpreter", "",
             "Written by `python -m bench.summary` from each interpreter's last `bash dev bench` "
             "(bench/results for the default interpreter, bench/results/TAG/ for any other). Each cell: the "
             "fastest peer's time over tavik's (above 1: tavik leads), then tavik's instructions per call over "
             "its floor (callgrind; — where valgrind was not run). The fastest peer is named in the header as "
             f"on {default.label}, and in the cell where it differs.", ""]
    header = ["interpreter", *(f"{op} (vs {usual.get(op, '?')})" for op in LEAD_OPERATIONS), "peers not installed"]
    lines += table(header, [[run.label, *(lead_cell(run, op, usual.get(op, "")) for op in LEAD_OPERATIONS),
                             not_installed(run)] for run in runs])
    lost = lost_leads(runs)
    lines += ["", "Leads lost against the default interpreter: " + ("none." if not lost else ""),
              *(f"- {item}" for item in lost), ""]
    lines += ["Against the standard library's own types (no peer has enumerations or records): its time over "
              "tavik's.", ""]
    lines += table(["interpreter", *OWN_TYPE_OPERATIONS],
                   [[run.label, *(lead_cell(run, op, "stdlib", instructions=False) for op in OWN_TYPE_OPERATIONS)]
                    for run in runs])
    lines += ["", "## The runs", ""]
    lines += table(["interpreter", "folder", "interpreter's build", "tavik's compiler", "system", "run",
                    "load before; after"],
                   [[run.label, str(run.folder.relative_to(RESULTS_ROOT.parent.parent)), run.about["build"],
                     run.about["cxx"], run.about["os"], run.results["machine"].rsplit("date: ", 1)[-1],
                     "; ".join(run.results["load"])] for run in runs])
    lines.append("")
    for run in runs:
        if run.about["free_threaded"]:
            lines += free_threaded_section(run, runs)
    (RESULTS_ROOT / "interpreters.md").write_text("\n".join(lines))
    print(f"written {RESULTS_ROOT / 'interpreters.md'} ({len(runs)} interpreters)")


if __name__ == "__main__":
    main()
