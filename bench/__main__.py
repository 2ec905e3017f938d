"""python -m bench: nanoseconds per call of tavik, the standard library and
the peer libraries, measured in one run on the same inputs.

Every statement loops over a list of inputs, so per-call time is the
repeat's time divided by the number of calls; the best of the repeats
counts.  The implementations of one operation take their repeats in turn
(round robin), so that a slow moment of the machine hits all of them alike.
Each tavik function is also set against a floor, the cheapest extension call
in the same calling convention that returns the same kind of result
(floor_datetime builds a UTC datetime with the C API, floor_str a new
29-character str, floor_int a new int of a millisecond clock's size: fast
calls with keywords, as tavik's; floor_noop, a one-argument call, returns its
argument).  The clock
functions' floors, floor_now_int and floor_now_datetime, take no arguments
like now_ms and now_date and read the real-time clock once before building
their result: what those two cannot avoid.
"""

from __future__ import annotations

import argparse
import enum
import importlib
import json
import os
import sys
import time
import timeit
from dataclasses import dataclass, field
from datetime import datetime, timedelta, timezone
from typing import Any, Callable

from . import RESULTS, import_measured, interpreter, load, machine_info
from . import inputs

UTC = timezone.utc
EPOCH = datetime(1970, 1, 1, tzinfo=UTC)

# The peers in table order, by the distribution name pip knows them by.
PEERS = {
    "ciso8601": "ciso8601",
    "pendulum": "pendulum",
    "whenever": "whenever",
    "dateutil": "python-dateutil",
    "iso8601": "iso8601",
    "arrow": "arrow",
    "udatetime": "udatetime",
}
COLUMNS = ["stdlib", *PEERS]


def _import(name: str) -> Any | None:
    try:
        return importlib.import_module(name)
    except ImportError:
        return None


@dataclass
class Impl:
    """One implementation of an operation: `stmt` is run once per input `x`."""

    column: str  # "tavik", "floor", "stdlib" or a peer
    label: str
    stmt: str
    xs: list[Any]
    names: dict[str, Any] = field(default_factory=dict)
    note: str = ""
    best: float = float("inf")
    loops: int = 1

    def timer(self) -> timeit.Timer:
        names = dict(self.names, xs=self.xs)
        # Bound as locals of timeit's inner function: no global lookups in the loop.
        setup = "; ".join(f"{k} = __names[{k!r}]" for k in names)
        body = f"for x in xs:\n    {self.stmt}"
        return timeit.Timer(body, setup=setup, globals={"__names": names})


@dataclass
class Row:
    operation: str
    floor: str  # a key of floors()
    tavik: Impl
    peers: list[Impl]
    missing: dict[str, str]  # column -> "not installed" / "no such function"
    subset_tavik: dict[str, float] = field(default_factory=dict)  # peer label -> tavik ns on that peer's subset


def accepted(function: Callable[[Any], Any], xs: list[Any]) -> list[Any]:
    ok = []
    for x in xs:
        try:
            function(x)
        except Exception:  # noqa: BLE001 - a peer's refusal, whatever its type
            continue
        ok.append(x)
    return ok


def build_rows(tavik: Any, testing: Any) -> list[Row]:
    mods = {name: _import(name if name != "dateutil" else "dateutil.parser") for name in PEERS}
    ciso8601, pendulum, whenever = mods["ciso8601"], mods["pendulum"], mods["whenever"]
    dateutil_parser, iso8601, arrow, udatetime = mods["dateutil"], mods["iso8601"], mods["arrow"], mods["udatetime"]
    not_installed = {name: "not installed" for name, mod in mods.items() if mod is None}
    rows: list[Row] = []

    def peer_parsers() -> list[tuple[str, str, Callable[[str], Any]]]:
        out = []
        if ciso8601:
            out += [("ciso8601", "ciso8601.parse_rfc3339", ciso8601.parse_rfc3339),
                    ("ciso8601", "ciso8601.parse_datetime", ciso8601.parse_datetime)]
        if pendulum:
            out.append(("pendulum", "pendulum.parse", pendulum.parse))
        if whenever:
            out.append(("whenever", "whenever.Instant.parse_iso", whenever.Instant.parse_iso))
        if dateutil_parser:
            out.append(("dateutil", "dateutil.parser.isoparse", dateutil_parser.isoparse))
        if iso8601:
            out.append(("iso8601", "iso8601.parse_date", iso8601.parse_date))
        if arrow:
            out.append(("arrow", "arrow.get", arrow.get))
        if udatetime:
            out.append(("udatetime", "udatetime.from_string", udatetime.from_string))
        return out

    kinds = (('str_to_date, "Z" texts', inputs.Z_TEXTS), ("str_to_date, offset texts", inputs.OFFSET_TEXTS))
    for title, texts in kinds:
        # The standard library's reading of the same texts is the same instant.
        for text in texts:
            assert datetime.fromisoformat(text).astimezone(UTC) == tavik.str_to_date(text), text
        peers = [Impl("stdlib", "datetime.fromisoformat", "f(x)", texts, {"f": datetime.fromisoformat})]
        if texts is inputs.OFFSET_TEXTS:
            peers.append(Impl("stdlib", "fromisoformat(x).astimezone(utc)", "f(x).astimezone(utc)", texts,
                              {"f": datetime.fromisoformat, "utc": UTC}))
        for column, label, function in peer_parsers():
            ok = accepted(function, texts)
            note = "" if len(ok) == len(texts) else f"accepts {len(ok)} of {len(texts)}"
            peers.append(Impl(column, label, "f(x)", ok, {"f": function}, note))
        rows.append(Row(title, "floor_datetime", Impl("tavik", "str_to_date", "f(x)", texts, {"f": tavik.str_to_date}),
                        peers, dict(not_installed)))

    dts = inputs.DATETIMES
    peers = [Impl("stdlib", "datetime.isoformat", "x.isoformat()", dts)]
    missing = dict(not_installed)
    if pendulum:
        peers.append(Impl("pendulum", "DateTime.isoformat", "x.isoformat()", [pendulum.instance(d) for d in dts]))
    if whenever:
        peers.append(Impl("whenever", "Instant.format_iso", "x.format_iso()",
                          [whenever.Instant.parse_iso(d.isoformat()) for d in dts]))
    if arrow:
        peers.append(Impl("arrow", "Arrow.isoformat", "x.isoformat()", [arrow.Arrow.fromdatetime(d) for d in dts]))
    if udatetime:
        # It formats only datetimes carrying its own fixed-offset zone.
        peers.append(Impl("udatetime", "udatetime.to_string", "f(x)",
                          [udatetime.from_string(d.isoformat()) for d in dts], {"f": udatetime.to_string}))
    for name in ("ciso8601", "dateutil", "iso8601"):
        missing.setdefault(name, "no formatter")
    rows.append(Row("date_to_str", "floor_str", Impl("tavik", "date_to_str", "f(x)", dts, {"f": tavik.date_to_str}),
                    peers, missing))

    ms = inputs.MILLIS
    for value in ms:
        assert tavik.ms_to_date(value) == EPOCH + timedelta(milliseconds=value)
    peers = [Impl("stdlib", "datetime.fromtimestamp(x / 1000, utc)", "f(x / 1000, utc)", ms,
                  {"f": datetime.fromtimestamp, "utc": UTC}),
             Impl("stdlib", "EPOCH + timedelta(milliseconds=x)", "epoch + td(milliseconds=x)", ms,
                  {"epoch": EPOCH, "td": timedelta})]
    missing = dict(not_installed)
    if pendulum:
        peers.append(Impl("pendulum", "pendulum.from_timestamp(x / 1000)", "f(x / 1000)", ms,
                          {"f": pendulum.from_timestamp}))
    if whenever:
        peers.append(Impl("whenever", 'Instant.from_timestamp(x, unit="millisecond")', "f(x, unit=u)", ms,
                          {"f": whenever.Instant.from_timestamp, "u": "millisecond"}))
    if arrow:
        peers.append(Impl("arrow", "Arrow.utcfromtimestamp(x / 1000)", "f(x / 1000)", ms,
                          {"f": arrow.Arrow.utcfromtimestamp}))
    if udatetime:
        peers.append(Impl("udatetime", "udatetime.utcfromtimestamp(x / 1000)", "f(x / 1000)", ms,
                          {"f": udatetime.utcfromtimestamp}))
    for name in ("ciso8601", "dateutil", "iso8601"):
        missing.setdefault(name, "no such function")
    rows.append(Row("ms_to_date", "floor_datetime", Impl("tavik", "ms_to_date", "f(x)", ms, {"f": tavik.ms_to_date}),
                    peers, missing))

    peers = [Impl("stdlib", "time.time_ns() // 1_000_000", "f() // 1_000_000", ms, {"f": time.time_ns})]
    missing = dict(not_installed)
    if whenever:
        peers.append(Impl("whenever", 'Instant.now().timestamp(unit="millisecond")', "f().timestamp(unit=u)", ms,
                          {"f": whenever.Instant.now, "u": "millisecond"}))
    for name in PEERS:
        missing.setdefault(name, "no such function")
    rows.append(Row("now_ms", "floor_now_int", Impl("tavik", "now_ms", "f()", ms, {"f": tavik.now_ms}), peers,
                    missing))

    peers = [Impl("stdlib", "datetime.now(utc)", "f(utc)", ms, {"f": datetime.now, "utc": UTC})]
    missing = dict(not_installed)
    if pendulum:
        peers.append(Impl("pendulum", 'pendulum.now("UTC")', "f(z)", ms, {"f": pendulum.now, "z": "UTC"}))
    if whenever:
        # Instant.now() returns whenever's own small type, not a datetime; its route to a
        # standard datetime is measured too, and tavik is held to the faster of the two.
        peers.append(Impl("whenever", "Instant.now() (own type)", "f()", ms, {"f": whenever.Instant.now}))
        to_stdlib = next((name for name in ("to_stdlib", "py_datetime") if hasattr(whenever.Instant, name)), None)
        if to_stdlib is not None:
            peers.append(Impl("whenever", f"Instant.now().{to_stdlib}()", f"f().{to_stdlib}()", ms,
                              {"f": whenever.Instant.now}))
    if arrow:
        peers.append(Impl("arrow", "arrow.utcnow()", "f()", ms, {"f": arrow.utcnow}))
    if udatetime:
        peers.append(Impl("udatetime", "udatetime.utcnow()", "f()", ms, {"f": udatetime.utcnow}))
    for name in PEERS:
        missing.setdefault(name, "no such function")
    rows.append(Row("now_date", "floor_now_datetime", Impl("tavik", "now_date", "f()", ms, {"f": tavik.now_date}),
                    peers, missing))

    for d in dts:
        assert tavik.truncate_to_day(d) == d.replace(hour=0, minute=0, second=0, microsecond=0)
    peers = [Impl("stdlib", "d.replace(hour=0, minute=0, second=0, microsecond=0)",
                  "x.replace(hour=0, minute=0, second=0, microsecond=0)", dts)]
    missing = dict(not_installed)
    if pendulum:
        peers.append(Impl("pendulum", 'DateTime.start_of("day")', 'x.start_of("day")',
                          [pendulum.instance(d) for d in dts]))
    if arrow:
        peers.append(Impl("arrow", 'Arrow.floor("day")', 'x.floor("day")', [arrow.Arrow.fromdatetime(d) for d in dts]))
    for name in PEERS:
        missing.setdefault(name, "no such function")
    rows.append(Row("truncate_to_day", "floor_datetime",
                    Impl("tavik", "truncate_to_day", "f(x)", dts, {"f": tavik.truncate_to_day}), peers, missing))

    class Status(enum.IntEnum):
        Created = 0
        Submitted = 1
        PartialFilled = 2
        Filled = 3
        Canceled = 4
        Rejected = 5

    members = [getattr(tavik.OrderStatus, name) for name in Status.__members__]
    count = len(inputs.MILLIS)
    tavik_members = [members[i % len(members)] for i in range(count)]
    int_members = [Status(i % len(members)) for i in range(count)]
    missing = {name: "no enumerations" for name in PEERS}
    rows.append(Row("enum == int", "floor_noop", Impl("tavik", "OrderStatus member == 3", "x == 3", tavik_members),
                    [Impl("stdlib", "enum.IntEnum member == 3", "x == 3", int_members)], missing))

    class SlotsOrder:
        __slots__ = ("price",)

        def __init__(self, price: float) -> None:
            self.price = price

    orders = []
    plain = []
    for i in range(count):
        price = 100.0 + i * 0.25
        orders.append(testing.make_order(f"o{i}", 0, 0, 0, "BTC-USDT", 3, 1.5, price, 1.5, price, 0.01,
                                         (2024, 1, 2, 3600, 0)))
        plain.append(SlotsOrder(price))
    missing = {name: "no records" for name in PEERS}
    rows.append(Row("record field read", "floor_noop", Impl("tavik", "Order.price", "x.price", orders),
                    [Impl("stdlib", "__slots__ attribute", "x.price", plain)], missing))
    return rows


def floors(floor_module: Any) -> dict[str, Impl]:
    xs = inputs.Z_TEXTS
    return {"floor_datetime": Impl("floor", "tavik_floors.floor_datetime", "f(x)", xs,
                                   {"f": floor_module.floor_datetime}),
            "floor_str": Impl("floor", "tavik_floors.floor_str", "f(x)", xs, {"f": floor_module.floor_str}),
            "floor_int": Impl("floor", "tavik_floors.floor_int", "f(x)", xs, {"f": floor_module.floor_int}),
            "floor_noop": Impl("floor", "tavik_floors.floor_noop", "f(x)", xs, {"f": floor_module.floor_noop}),
            # Called like now_ms and now_date: no argument, the same loop over a list.
            "floor_now_int": Impl("floor", "tavik_floors.floor_now_int", "f()", inputs.MILLIS,
                                  {"f": floor_module.floor_now_int}),
            "floor_now_datetime": Impl("floor", "tavik_floors.floor_now_datetime", "f()", inputs.MILLIS,
                                       {"f": floor_module.floor_now_datetime})}


def measure(impls: list[Impl], repeats: int, target: float) -> None:
    """Best per-call nanoseconds of each, the repeats taken in turn."""
    timers = []
    for impl in impls:
        timer = impl.timer()
        # Calibrate: enough loops for one repeat to take about `target` seconds.
        elapsed = timer.timeit(1)
        impl.loops = max(1, int(target / max(elapsed, 1e-9)))
        timers.append(timer)
    for _ in range(repeats):
        for impl, timer in zip(impls, timers):
            elapsed = timer.timeit(impl.loops)
            impl.best = min(impl.best, elapsed / (impl.loops * len(impl.xs)) * 1e9)


def best_peer(row: Row) -> Impl:
    return min(row.peers, key=lambda p: p.best)


def cells(row: Row, floor_ns: float) -> list[str]:
    out = [row.operation, f"{row.tavik.best:.1f}"]
    for column in COLUMNS:
        impls = [p for p in row.peers if p.column == column]
        if impls:
            out.append(" / ".join(f"{p.best:.0f}" + ("*" if p.note else "") for p in impls))
        else:
            out.append(row.missing.get(column, "—"))
    peer = best_peer(row)
    out += [f"{peer.best / row.tavik.best:.2f} ({peer.label})", f"{floor_ns:.1f}", f"{row.tavik.best / floor_ns:.2f}"]
    return out


def summary_row(row: Row, floor_ns: float) -> dict[str, Any]:
    """One operation's figures for bench.summary, which sets interpreters against each other."""
    peer = best_peer(row)
    return {"operation": row.operation, "tavik_ns": row.tavik.best, "floor": row.floor, "floor_ns": floor_ns,
            "best_peer": {"column": peer.column, "label": peer.label, "ns": peer.best},
            "peers": [{"column": p.column, "label": p.label, "ns": p.best, "note": p.note} for p in row.peers],
            "missing": row.missing}


HEADER = ["operation", "tavik ns", *(f"{c} ns" for c in COLUMNS), "best peer / tavik", "floor ns", "tavik / floor"]


def text_table(rows: list[list[str]]) -> str:
    widths = [max(len(r[i]) for r in [HEADER, *rows]) for i in range(len(HEADER))]
    lines = ["  ".join(h.ljust(w) for h, w in zip(HEADER, widths))]
    lines.append("  ".join("-" * w for w in widths))
    lines += ["  ".join(c.ljust(w) for c, w in zip(r, widths)) for r in rows]
    return "\n".join(lines)


def markdown_table(header: list[str], rows: list[list[str]]) -> str:
    lines = ["| " + " | ".join(header) + " |", "|" + "|".join("---" for _ in header) + "|"]
    lines += ["| " + " | ".join(c.replace("|", "\\|") for c in r) + " |" for r in rows]
    return "\n".join(lines)


def chart(rows: list[Row], floor_impls: dict[str, Impl], path: os.PathLike[str]) -> bool:
    """One panel per operation on one shared linear axis that starts at zero, so
    that bar lengths compare across panels as well as within one.  The axis ends
    at a few times the slowest tavik figure; a longer bar is cut at the edge and
    its value written there.  Every bar carries its ns and its ratio to tavik."""
    try:
        import matplotlib
    except ImportError:  # no wheel for this interpreter: the tables are written all the same
        print("bench: matplotlib not installed; no chart", file=sys.stderr)
        return False
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    limit = 4 * max(row.tavik.best for row in rows)
    fig, axes = plt.subplots(len(rows), 1, sharex=True,
                             figsize=(10, 2.2 + 0.28 * sum(len(r.peers) + 2 for r in rows)),
                             gridspec_kw={"height_ratios": [len(r.peers) + 2 for r in rows]})
    for ax, row in zip(axes, rows):
        bars = [(row.tavik.label, row.tavik.best, "tab:red"), (f"floor ({row.floor})", floor_impls[row.floor].best,
                                                                "tab:gray")]
        bars += [(p.label + (" *" if p.note else ""), p.best, "tab:blue") for p in row.peers]
        labels, values, colours = zip(*bars)
        ax.barh(range(len(bars)), [min(v, limit) for v in values], color=colours)
        ax.set_yticks(range(len(bars)), labels, fontsize=7)
        ax.invert_yaxis()
        ax.set_xlim(0, limit)
        ax.set_title(row.operation, fontsize=9, loc="left")
        ax.tick_params(axis="x", labelsize=7)
        for i, v in enumerate(values):
            text = f"{v:.1f} ns  ({v / row.tavik.best:.2f}× tavik)"
            if v > limit:  # cut at the edge: the value is written inside the bar
                ax.text(limit, i, f"{text} ▸ ", va="center", ha="right", fontsize=6, color="white")
            else:
                ax.text(v, i, f" {text}", va="center", fontsize=6)
    axes[-1].set_xlabel("ns per call: linear, from zero, one scale for every panel; lower is better\n"
                        "▸ = bar cut at the edge; * = measured on the inputs the library accepts", fontsize=7)
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)
    return True


def main() -> None:
    parser = argparse.ArgumentParser(prog="python -m bench")
    parser.add_argument("--repeats", type=int, default=9, help="repeats per implementation, best counts (>= 5)")
    parser.add_argument("--target", type=float, default=0.02, help="seconds per repeat")
    parser.add_argument("--no-write", action="store_true", help="print only, leave bench/results alone")
    args = parser.parse_args()
    if args.repeats < 5:
        parser.error("--repeats must be at least 5")

    tavik, tavik_floors, tavik_testing = import_measured("bench", "tavik_floors", "tavik_testing")

    rows = build_rows(tavik, tavik_testing)
    floor_impls = floors(tavik_floors)
    load_before = load()
    for row in rows:
        # The floor is measured alongside every operation and the best of all its rounds counts.
        extra = []
        for peer in row.peers:
            if peer.note:  # the tavik figure on the same subset, for a fair ratio
                extra.append(Impl("tavik", f"tavik on {peer.label}'s inputs", row.tavik.stmt, peer.xs,
                                  row.tavik.names))
        measure([row.tavik, floor_impls[row.floor], *row.peers, *extra], args.repeats, args.target)
        for peer, sub in zip([p for p in row.peers if p.note], extra):
            row.subset_tavik[peer.label] = sub.best
        print(f"measured {row.operation}", file=sys.stderr, flush=True)
    load_after = load()

    table = [cells(row, floor_impls[row.floor].best) for row in rows]
    info = machine_info()
    print(info)
    print()
    print(text_table(table))
    notes = []
    for row in rows:
        for peer in row.peers:
            if peer.note:
                notes.append(f"{row.operation}: {peer.label} {peer.note} (rejects the others, e.g. nanosecond "
                             f"fractions) and takes {peer.best:.1f} ns there; tavik on that subset: "
                             f"{row.subset_tavik[peer.label]:.1f} ns")
    if notes:
        print()
        print("* " + "\n* ".join(notes))

    if args.no_write:
        return
    details = []
    for row in rows:
        for impl in [row.tavik, *row.peers]:
            details.append([row.operation, impl.label, f"{impl.best:.1f}", f"{impl.best / row.tavik.best:.2f}",
                            impl.note or f"all {len(impl.xs)}"])
        for column, why in row.missing.items():
            details.append([row.operation, f"({column})", why, "", ""])
    # Only the floors some row is set against are measured.
    floors_text = ", ".join(f"{name} {impl.best:.1f} ns" for name, impl in floor_impls.items()
                            if impl.best != float("inf"))
    md = [
        "# Benchmark results",
        "",
        f"{info}; load averages (1, 5, 15 min) before and after: {load_before}; {load_after}",
        "",
        "Produced by `bash dev bench` (`python -m bench`). Nanoseconds per call, best of "
        f"{args.repeats} repeats (each about {args.target * 1000:.0f} ms), implementations taking their repeats in "
        "turn; "
        "each statement loops over a fixed, seeded list of inputs (1200 texts per kind mixing no fraction, "
        "milliseconds, microseconds and nanoseconds, positive and negative offsets), so the loop's iteration is "
        f"included in every figure, the floors' too. Floors: {floors_text}. "
        "In the stdlib column, a second figure is the alternative named in the details; "
        "ciso8601's two parse figures are parse_rfc3339 / parse_datetime.",
        "",
        markdown_table(HEADER, table),
        "",
        *(f"\\* {n}  " for n in notes),
        "",
        "## Every implementation",
        "",
        markdown_table(["operation", "implementation", "ns", "ns / tavik", "inputs"], details),
        "",
    ]
    RESULTS.mkdir(parents=True, exist_ok=True)
    (RESULTS / "results.png").unlink(missing_ok=True)  # never a chart of an earlier run beside these tables
    if chart(rows, floor_impls, RESULTS / "results.png"):
        md += ["![results](results.png)", ""]
    (RESULTS / "results.md").write_text("\n".join(md))
    (RESULTS / "results.json").write_text(json.dumps(
        {"interpreter": interpreter(), "machine": info, "load": [load_before, load_after], "repeats": args.repeats,
         "floors": {name: impl.best for name, impl in floor_impls.items() if impl.best != float("inf")},
         "rows": [summary_row(row, floor_impls[row.floor].best) for row in rows]}, indent=1) + "\n")
    print(f"\nwritten {RESULTS / 'results.md'} and results.json")


if __name__ == "__main__":
    main()
