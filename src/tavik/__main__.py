"""A short tour of tavik for a newcomer: `python -m tavik`."""

from __future__ import annotations

import inspect
from typing import Any

from tavik import tavik


def _members(cls: type) -> list[tuple[str, Any]]:
    return [(name, value) for name, value in vars(cls).items() if isinstance(value, cls)]


def _enumerations() -> None:
    print("Enumerations: members are class attributes; int() gives the value, == compares with ints.")
    for name in tavik.__all__:
        cls = getattr(tavik, name)
        if not isinstance(cls, type) or not _members(cls):
            continue
        members = ", ".join(f"{member}={int(value)}" for member, value in _members(cls))
        print(f"  {name:<15} {cls.__doc__:<6} {members}")
    print(f"  e.g. repr(tavik.OrderStatus.PartialFilled) = {tavik.OrderStatus.PartialFilled!r}, "
          f"tavik.OrderStatus.Filled == 3 -> {tavik.OrderStatus.Filled == 3}")
    print()


def _records() -> None:
    records = [getattr(tavik, name) for name in tavik.__all__
               if isinstance(getattr(tavik, name), type) and not _members(getattr(tavik, name))]
    if not records:
        return
    print("Records: read-only, built by the framework's native code (Python cannot construct them).")
    for cls in records:
        fields = [(name, attr.__doc__) for name, attr in vars(cls).items()
                  if inspect.isgetsetdescriptor(attr)]
        print(f"  {cls.__name__} ({cls.__doc__}): " + ", ".join(f"{n} {d}" for n, d in fields))
    print()


def _functions() -> None:
    print("Functions:")
    for name in tavik.__all__:
        obj = getattr(tavik, name)
        if callable(obj) and not isinstance(obj, type):
            print(f"  {name}{obj.__text_signature__}  {obj.__doc__}")
    print()


def _examples() -> None:
    examples = [
        ("now_ms()", lambda: tavik.now_ms()),
        ("now_date()", lambda: tavik.now_date()),
        ("ms_to_date(1700000000123)", lambda: tavik.ms_to_date(1700000000123)),
        ("str_to_date('2024-01-02 11:04:05.5+08:00')", lambda: tavik.str_to_date("2024-01-02 11:04:05.5+08:00")),
        ("date_to_str(str_to_date('2024-01-02T03:04:05.120Z'))",
         lambda: tavik.date_to_str(tavik.str_to_date("2024-01-02T03:04:05.120Z"))),
        ("truncate_to_day(ms_to_date(1700000000123))", lambda: tavik.truncate_to_day(tavik.ms_to_date(1700000000123))),
        ("str_to_date('2024-02-30T00:00:00Z')", lambda: tavik.str_to_date("2024-02-30T00:00:00Z")),
        ("safe_float(1.25, 2)", lambda: tavik.safe_float(1.25, 2)),
    ]
    # Said before the call, whose report on standard error would otherwise look like a fault of the tour.
    notes = {"safe_float(1.25, 2)": "safe_float has no computation yet: the call ends in an internal failure, and "
                                    "the report it writes to standard error is expected"}
    available = [(text, run) for text, run in examples if hasattr(tavik, text.split("(")[0])]
    if not available:
        return
    print("Examples:")
    for text, run in available:
        if text in notes:
            print(f"  ({notes[text]})")
        print(f"  {text}", flush=True)  # before an internal failure's report on stderr
        try:
            result = repr(run())
        except Exception as error:  # the tour shows failures too
            result = f"raises {type(error).__name__}: {error}"
        print(f"      -> {result}")


def main() -> None:
    print(f"tavik: {len(tavik.__all__)} names registered, in this order:")
    print("  " + ", ".join(tavik.__all__))
    print()
    _enumerations()
    _records()
    _functions()
    _examples()


if __name__ == "__main__":
    main()
