"""The one table of calls into tavik, every entry on its success and failure paths, hostile objects
included: rows (name, outcome, call), outcome ("ok", value) or (exception type name, message), call a
Call or a function of tavik_testing that makes one.  One test walks it; the leak, out-of-memory and
thread checks drive every row again."""
import contextlib
import gc
import json
import math
import operator
import os
import subprocess
import sys
import textwrap
import tracemalloc
import warnings as _warnings
import zoneinfo
from functools import partial
from datetime import date, datetime, timedelta, timezone

import pytest

import tavik.tavik as tt
from hooks import (ClaimsUtc, FloatIgnoringHooks, Hostile, IntIgnoringHooks, Key, LooksLikeADateTime, LyingDateTime,
                   MyTypeError, Number, Text, Unprintable, Zone, corrupted, corrupted_enum, named, raiser)

UTC = timezone.utc
R = tt.RunMode
D0 = datetime(2024, 1, 2, 3, 4, 5, 123456, tzinfo=UTC)
T0 = (2024, 1, 2, 11045, 123_456_789)  # 2024-01-02 03:04:05.123456789
FIRST_MS, LAST_MS = -8_334_601_228_800_000, 8_210_266_876_799_999  # the first and last instant
NOT_UTC = ("ValueError", "expected datetime.timezone.utc")
MS_FAILED = ("RuntimeError", "时间戳转换失败")
BAD_DATE, BAD_TIME = ("ValueError", "invalid or out-of-range date"), ("ValueError", "invalid or out-of-range time")
C_LONG = ("OverflowError", "Python int too large to convert to C long")
U32 = ("OverflowError", "out of range integral type conversion attempted")


def utc(*fields):
    return datetime(*fields, tzinfo=UTC)


def outcome(func, /, *args, **kwargs):
    try:
        value = func(*args, **kwargs)
    except BaseException as exc:  # KeyboardInterrupt and SystemExit must come back too
        return type(exc).__name__, str(exc)
    return "ok", value


# What the calls that report an unraisable exception install as sys.unraisablehook.  The
# out-of-memory check puts the interpreter's own C hook here: CPython 3.13.0 crashes when a
# hook written in Python fails for want of memory.
UNRAISABLE_HOOK = [lambda unraisable: None]


class Call:
    """func(*args, **kwargs), bare so that allocations can be failed around it alone; `warnings` is
    the filter in force, `quiet` swallows unraisable reports, `shape` maps a changing result (the
    clock) to a fixed one, `python` marks a call that runs a hook of the test's inside tavik."""

    def __init__(self, func, *args, warnings=None, quiet=False, shape=None, python=False, **kwargs):
        self.func, self.args, self.kwargs = func, args, kwargs
        self.warnings, self.quiet, self.shape, self.python = warnings, quiet, shape, python

    @contextlib.contextmanager
    def context(self):
        with contextlib.ExitStack() as stack:
            if self.warnings is not None:
                stack.enter_context(_warnings.catch_warnings())
                _warnings.simplefilter(self.warnings)
            if self.quiet or self.warnings == "error":
                hook, sys.unraisablehook = sys.unraisablehook, UNRAISABLE_HOOK[0]
                stack.callback(setattr, sys, "unraisablehook", hook)
            yield

    def settle(self, result):
        """The comparable outcome of a bare call's result."""
        return ("ok", self.shape(result[1])) if result[0] == "ok" and self.shape else result

    def __call__(self):
        with self.context():
            return self.settle(outcome(self.func, *self.args, **self.kwargs))


def hooked(*args, **kwargs):
    return Call(*args, python=True, **kwargs)


def each(func, *values):
    """The outcome of func(value) for each value: one row for the cases of one rule."""
    return [outcome(func, value) for value in values]


def each_keyword(func, *names):
    """The outcome of func(name=1) for each keyword name."""
    return [outcome(func, **{name: 1}) for name in names]


def equalities(member, others):
    return [(member == x, x == member, member != x) for x in others]


def orderings(member, others):
    return [getattr(member, op)(x) for op in ("__lt__", "__le__", "__gt__", "__ge__") for x in others]


def index_reads(member, value):
    """Each operator's answer against Number(value), and how often it read the number's __index__."""
    numbers = {op: Number(value) for op in ("__lt__", "__le__", "__eq__", "__ne__", "__gt__", "__ge__")}
    return [(getattr(member, op)(number), number.reads) for op, number in numbers.items()]


def typeerror(text, parameter=None):
    return "TypeError", text if parameter is None else f"argument '{parameter}': {text}"


def unexpected(function, keyword):
    return "TypeError", f"{function}() got an unexpected keyword argument '{keyword}'"


def unconvertible(parameter, type_name, target="PyDateTime"):
    return typeerror(f"'{type_name}' object cannot be converted to '{target}'", parameter)


def year(number):
    """datetime's own refusal of a year it cannot hold, passed on unchanged (3.14 words it anew)."""
    try:
        datetime(number, 1, 1)
    except ValueError as error:
        return "ValueError", str(error)
    raise AssertionError(f"datetime holds the year {number}")


def read(make, *names, **options):
    """A row's call: reads the named fields of the record make(testing) builds."""
    return lambda t: Call(operator.attrgetter(*names), make(t), **options)


# Keyword names however spelled, each with the name the message shows.
KEYWORD_NAMES = [
    ("时间戳", "时间戳"),
    (Key("ts_", shown=lambda: "with \udc80"), "with \ufffd"),  # a str() with a lone surrogate
    (Key("own\udc80chars", shown=raiser(KeyError, "no str")), "own\ufffdchars"),  # no str(): its own characters
    (Key("other", shown=raiser(KeyError, "no str")), "other"),  # its own characters, none to replace
    (Key("x\udc80", shown=lambda: "other"), "other"),  # str(), not the characters, though these need replacing
    (Key("plain", shown=lambda: 5), "plain"),  # a str() that is no str
    (Key("nope", equal=True), "nope"),  # equal to every parameter's name, yet none of them
]

# The calling convention: matching, its messages, keyword names however spelled.
CALLING = [
    ("missing-two", typeerror("safe_float() missing 2 required positional arguments: 'value' and 'decimals'"),
     Call(tt.safe_float)),
    ("missing-second", typeerror("safe_float() missing 1 required positional argument: 'decimals'"),
     Call(tt.safe_float, value=1.0)),
    ("missing-first", typeerror("safe_float() missing 1 required positional argument: 'value'"),
     Call(tt.safe_float, decimals=1)),
    ("too-many", typeerror("safe_float() takes 2 positional arguments but 3 were given"),
     Call(tt.safe_float, 1.0, 2, 3, bogus=1)),
    ("too-many-one", typeerror("date_to_str() takes 1 positional arguments but 2 were given"),
     Call(tt.date_to_str, D0, D0)),
    ("multiple-first", typeerror("safe_float() got multiple values for argument 'value'"),
     Call(tt.safe_float, 1, value=1)),
    ("multiple-second", typeerror("safe_float() got multiple values for argument 'decimals'"),
     Call(tt.safe_float, 1.0, 2, decimals=2)),
    ("keywords-any-order", ("SystemError", "not yet implemented"), Call(tt.safe_float, decimals=2, value=1.0)),
    ("keyword-lying-equality", ("ok", utc(1970, 1, 1)), Call(tt.ms_to_date, **{Key("ts", equal=False): 0})),
    ("unexpected", unexpected("safe_float", "x"), Call(tt.safe_float, value=1.0, decimals=2, x=0)),
    ("keyword-surrogates-wide", unexpected("date_to_str", "🚀\ufffd\ufffdx"),
     Call(tt.date_to_str, **{"🚀\udfff\ud800x": 0})),
    ("keyword-names", ("ok", [unexpected("ms_to_date", shown) for _, shown in KEYWORD_NAMES]),
     hooked(each_keyword, tt.ms_to_date, *(name for name, _ in KEYWORD_NAMES))),
    ("keyword-nul", unexpected("truncate_to_day", "date\x00"), Call(tt.truncate_to_day, **{"date\x00": 1})),
    ("no-arguments", typeerror("tavik.tavik.now_ms() takes no arguments (1 given)"), Call(tt.now_ms, 1)),
    ("no-keywords", typeerror("tavik.tavik.now_date() takes no keyword arguments"), Call(tt.now_date, x=1)),
]

# Numbers: the converters, and the "argument 'name': " prefix on an exact TypeError only.
NUMBERS = [
    ("convert", ("ok", (1.25, 4_294_967_295)), lambda t: Call(t.convert, 1.25, decimals=4_294_967_295)),
    ("convert-protocols", ("ok", (3.5, 7)), lambda t: hooked(t.convert, Number(3.5), Number(7))),
    ("convert-subclasses", ("ok", (2.5, 2)), lambda t: Call(t.convert, FloatIgnoringHooks(2.5), IntIgnoringHooks(2))),
    ("float-from-str", typeerror("must be real number, not str", "value"), Call(tt.safe_float, "1", -1)),
    ("float-overflow", ("OverflowError", "int too large to convert to float"), Call(tt.safe_float, -(10**400), 1)),
    ("float-raises", ("ValueError", "bad"), hooked(tt.safe_float, Hostile(ValueError, "bad"), 0)),
    ("float-type-error", typeerror("exact", "value"), hooked(tt.safe_float, Hostile(TypeError, "exact"), 0)),
    ("float-type-error-subclass", ("MyTypeError", "sub"), hooked(tt.safe_float, Hostile(MyTypeError, "sub"), 1)),
    ("u32-from-float", typeerror("'float' object cannot be interpreted as an integer", "decimals"),
     Call(tt.safe_float, 1.0, 2.0)),
    ("u32-negative", U32, Call(tt.safe_float, 1.0, -1)),
    ("u32-above", U32, Call(tt.safe_float, 1.0, 4_294_967_296)),
    ("u32-c-long", C_LONG, Call(tt.safe_float, 1.0, 2**63)),
    ("int-c-long", ("ok", [C_LONG] * 3), hooked(each, tt.ms_to_date, 2**63, -(10**10000), Number(10**30))),
    ("u32-type-error", typeerror("(1, 2)", "decimals"), hooked(tt.safe_float, 1.0, Hostile(TypeError, 1, 2))),
    ("int-from-str", typeerror("'str' object cannot be interpreted as an integer", "ts"), Call(tt.ms_to_date, "1")),
    ("int-type-error-empty", typeerror("", "ts"), hooked(tt.ms_to_date, Hostile(TypeError))),
    ("int-type-error-surrogate", typeerror("lone \ufffd", "ts"),
     hooked(tt.ms_to_date, Hostile(TypeError, "lone \udc80"))),
    ("int-type-error-unprintable", typeerror("<unprintable TypeError object>", "ts"),
     hooked(tt.ms_to_date, Hostile(TypeError, Unprintable()), quiet=True)),
    ("int-interrupt", ("KeyboardInterrupt", "stop"), hooked(tt.ms_to_date, Hostile(KeyboardInterrupt, "stop"))),
]

# Texts: any str by its characters; anything else refused with its qualified type name.
TEXTS = [
    ("str-subclass", ("ok", utc(2024, 1, 2, 2, 4, 5)), Call(tt.str_to_date, s=Text("2024-01-02 03:04:05+01:00"))),
    ("str-non-ascii", ("RuntimeError", "input contains invalid characters"),
     Call(tt.str_to_date, "２０２４-01-02T03:04:05Z")),
    ("str-surrogate", ("UnicodeEncodeError", "'utf-8' codec can't encode character '\\ud800' in position 19: "
                       "surrogates not allowed"), Call(tt.str_to_date, Text("2024-01-02T03:04:05\ud800Z"))),
    ("str-from-bytes", unconvertible("s", "bytes", "PyString"), Call(tt.str_to_date, b"2024")),
    ("str-qualified-name", unconvertible("s", "Outer.Inner", "PyString"), Call(tt.str_to_date, named("Outer.Inner"))),
    ("str-surrogate-name", unconvertible("d", "odd\ufffdname"), Call(tt.date_to_str, named("odd\udc80name"))),
]

# Datetimes: the stored fields of one whose tzinfo equals timezone.utc, asked once, never converted.
DATETIMES = [
    ("dt-format", ("ok", "2024-01-02T03:04:05.123456+00:00"), Call(tt.date_to_str, D0)),
    ("dt-zero-offset", ("ok", "2024-01-02T00:00:00+00:00"),
     Call(tt.date_to_str, d=datetime(2024, 1, 2, tzinfo=timezone(timedelta(0), "Z")))),
    ("dt-lying", ("ok", "2024-01-02T23:04:05.000600+00:00"),
     Call(tt.date_to_str, LyingDateTime(2024, 1, 2, 23, 4, 5, 600, tzinfo=UTC))),
    ("dt-truthy-zone", ("ok", "2024-01-02T03:04:05+00:00"),
     hooked(tt.date_to_str, datetime(2024, 1, 2, 3, 4, 5, tzinfo=Zone(lambda: [0])))),
    ("dt-truncate", ("ok", utc(2024, 1, 2)), Call(tt.truncate_to_day, date=D0)),
    ("dt-naive", typeerror("expected a datetime with non-None tzinfo", "d"),
     Call(tt.date_to_str, datetime(2024, 1, 2))),
    ("dt-naive-lying", typeerror("expected a datetime with non-None tzinfo", "date"),
     Call(tt.truncate_to_day, ClaimsUtc(2024, 1, 2))),
    ("dt-date", unconvertible("d", "date"), Call(tt.date_to_str, date(2024, 1, 2))),
    ("dt-lookalike", unconvertible("date", "LooksLikeADateTime"), Call(tt.truncate_to_day, LooksLikeADateTime())),
    ("dt-zone-raises", ("KeyError", "'eq'"),
     hooked(tt.date_to_str, datetime(2024, 1, 2, tzinfo=Zone(raiser(KeyError, "eq"))))),
    ("dt-zone-type-error", typeerror("eq", "date"),
     hooked(tt.truncate_to_day, datetime(2024, 1, 2, tzinfo=Zone(raiser(TypeError, "eq"))))),
    ("dt-zone-bad-bool", ("ZeroDivisionError", "bool"),
     hooked(tt.date_to_str, datetime(2024, 1, 2, tzinfo=Zone(partial(Hostile, ZeroDivisionError, "bool"))))),
    ("dt-not-utc", ("ok", [NOT_UTC] * 3), hooked(each, tt.date_to_str, *(datetime(2024, 1, 2, tzinfo=zone) for zone in (
        timezone(timedelta(minutes=-1)), zoneinfo.ZoneInfo("UTC"), Zone(lambda: ""))))),
    # Stored fields (of 2024-02-28 23:59:59) that no constructor allows and unpickling stores.
    ("dt-month-13", BAD_DATE, Call(tt.date_to_str, corrupted("month", 13))),
    ("dt-february-30", BAD_DATE, Call(tt.date_to_str, corrupted("day", 30))),
    ("dt-day-0", BAD_DATE, Call(tt.date_to_str, corrupted("day", 0))),
    ("dt-year-10000", BAD_DATE, Call(tt.date_to_str, corrupted("year", 10000))),  # a valid instant, no 4-digit year
    ("dt-hour-24", BAD_TIME, Call(tt.truncate_to_day, corrupted("hour", 24))),
    ("dt-minute-60", BAD_TIME, Call(tt.truncate_to_day, corrupted("minute", 60))),
    ("dt-second-60", BAD_TIME, Call(tt.truncate_to_day, corrupted("second", 60))),
    ("dt-leap", ("ok", "2024-02-28T23:59:60.500+00:00"), Call(tt.date_to_str, corrupted("microsecond", 1_500_000))),
    ("dt-micro-2e6", BAD_TIME, Call(tt.truncate_to_day, corrupted("microsecond", 2_000_000))),  # beyond a leap second
    ("dt-micro-wraps", BAD_TIME, Call(tt.date_to_str, corrupted("microsecond", 4_294_968))),  # x 1000 wraps to 704 ns
    ("dt-micro-wraps-59", BAD_TIME, Call(tt.truncate_to_day, corrupted("microsecond", 6_294_967))),  # not 1.999999704 s
]

# Parsing through the binding: one row per kind of result (the grammar is the core tests' table).
PARSING = [
    ("parse", ("ok", utc(2024, 1, 1, 19, 4, 5, 123456)), Call(tt.str_to_date, "2024-01-02T03:04:05.123456789+08:00")),
    ("parse-scanned", ("ok", utc(2024, 1, 2, 4, 34, 5)), Call(tt.str_to_date, s="2024-01-02 03:04:05\u221201:30")),
    ("parse-errors", ("ok", [("RuntimeError", m) for m in ("input is out of range", "input contains invalid characters",
                                                          "premature end of input", "trailing input")]),
     Call(each, tt.str_to_date, "2024-13-02T03:04:05Z", "2024-01-02X03:04:05Z", "", "2024-01-02T03:04:05Zjunk")),
    ("leap-second-ignored", ("ok", utc(2016, 12, 31, 23, 59, 59, 500000)),
     Call(tt.str_to_date, "2016-12-31T23:59:60.5Z", warnings="ignore")),
]

# The range bounds, as the caller sees them.
RANGES = [
    ("ms", ("ok", utc(2023, 11, 14, 22, 13, 20, 123000)), Call(tt.ms_to_date, 1_700_000_000_123)),
    ("ms-floor", ("ok", utc(1969, 12, 31, 23, 59, 59, 999000)), hooked(tt.ms_to_date, Number(-1))),
    ("ms-int-subclass", ("ok", utc(1970, 1, 1, 0, 0, 0, 5000)), Call(tt.ms_to_date, IntIgnoringHooks(5))),
    ("ms-first-datetime", ("ok", utc(1, 1, 1)), Call(tt.ms_to_date, -62_135_596_800_000)),
    ("ms-last-datetime", ("ok", utc(9999, 12, 31, 23, 59, 59, 999000)), Call(tt.ms_to_date, 253_402_300_799_999)),
    ("ms-beyond-datetime", ("ok", [year(0), year(10000), year(-262143), year(262142)]),
     Call(each, tt.ms_to_date, -62_135_596_800_001, 253_402_300_800_000, FIRST_MS, LAST_MS)),
    ("ms-beyond-range", ("ok", [MS_FAILED] * 3), Call(each, tt.ms_to_date, FIRST_MS - 1, LAST_MS + 1, -(2**63))),
    ("truncate-before-first", ("RuntimeError", "timestamp exceeds num_nanoseconds limit"),
     Call(tt.truncate_to_day, utc(1677, 9, 21, 0, 12, 43, 145224))),
    ("now_date", ("ok", datetime), Call(tt.now_date, shape=type)),
    ("now_ms", ("ok", int), Call(tt.now_ms, shape=type)),
]

# Enumerations: equal to members of their class and to whatever reads as that int; never ordered.
ENUMS = [
    ("enum-repr", ("ok", "EventType.OrderChange"), Call(repr, tt.EventType.OrderChange)),
    ("enum-bool", ("ok", True), Call(bool, R.Backtest)),
    ("enum-equal", ("ok", [(True, True, False)] * 4),
     hooked(equalities, R.Simulation, (1, True, Number(1), R.Simulation))),
    ("enum-unequal", ("ok", [(False, False, True)] * 10), hooked(equalities, R.Simulation, (
        R.Backtest, 2, 1 + 2**8, 1 + 2**32, 2**70, -1, 1.0, "Simulation", tt.TradeKind.Future,
        Hostile(KeyError, "x")))),
    ("enum-unordered", ("ok", [NotImplemented] * 16), Call(orderings, R.Simulation, (R.Backtest, 1, True, 2**70))),
    ("enum-index-read", ("ok", [(NotImplemented, 1)] * 2 + [(True, 1), (False, 1)] + [(NotImplemented, 1)] * 2),
     hooked(index_reads, R.Simulation, 1)),  # by every operator, the orderings too
    ("enum-index", typeerror("'builtins.RunMode' object cannot be interpreted as an integer"),
     Call(operator.index, R.Live)),
    ("enum-construct", typeerror("No constructor defined for RunMode"), Call(tt.RunMode, 0)),
]


def order(t, create_time=T0):
    return t.make_order("订单-1", 1, 1, 0, "BTC/USDT", 3, 1.5, 42000.25, -0.0, math.inf, 5e-324, create_time)


def pair(t):
    return t.make_pair(1, "", "比特币", "🚀\x00" * 100, 0.1, -math.inf, 2.5)


def candle(t):
    return t.make_candle(0, "ETH", 4, (1970, 1, 1, 0, 0), T0, 1.0, 2.0, -0.5, 1.5, 10.0, 1.7976931348623157e308,
                         -(2**63))


def reads_anew(p):
    """Each read makes a new object: equal, never the same one."""
    return p.kind == p.kind, p.kind is p.kind, p.base is p.base, p.min_volume is p.min_volume


def position(t):
    return t.make_position(0, "ETH", 1, 1.5, 2.5, -(2**31))


# Records: every field read back as stored (the catalogue test checks each one's type).
RECORDS = [
    ("order-fields", ("ok", ("订单-1", tt.TradeKind.Future, tt.TradeType.Market, tt.TradeSide.Long, "BTC/USDT",
                             tt.OrderStatus.Filled, 1.5, 42000.25, -0.0, math.inf, 5e-324, D0)),
     read(order, "id", "kind", "type", "side", "code", "status", "volume", "price", "filled_volume", "filled_price",
          "fee", "create_time")),
    ("candle-fields", ("ok", (tt.TradeKind.Spot, "ETH", tt.CandleInterval.Day1, utc(1970, 1, 1), D0, 1.0, 2.0, -0.5,
                              1.5, 10.0, 1.7976931348623157e308, -(2**63))),
     read(candle, "kind", "code", "interval", "open_time", "close_time", "open", "high", "low", "close", "volume",
          "amount", "trades")),
    ("pair-fields", ("ok", (tt.TradeKind.Future, "", "比特币", "🚀\x00" * 100, 0.1, -math.inf, 2.5)),
     read(pair, "kind", "code", "base", "quote", "min_volume", "min_price", "min_amount")),
    ("position-fields", ("ok", (tt.TradeKind.Spot, "ETH", tt.TradeSide.Short, 1.5, 2.5, -(2**31))),
     read(position, "kind", "code", "side", "volume", "price", "leverage")),
    ("record-year-0", year(0), read(partial(order, create_time=(0, 1, 1, 0, 0)), "create_time")),
    ("record-leap-second", ("ok", utc(2016, 12, 31, 23, 59, 59, 500000)),
     read(partial(order, create_time=(2016, 12, 31, 86399, 1_500_000_000)), "create_time", warnings="error")),
    ("record-new-reads", ("ok", (True, False, False, False)), lambda t: Call(reads_anew, pair(t))),
    ("record-freed", ("ok", tt.Pair), lambda t: Call(pair, t, shape=type)),  # its texts with it: no growth
    ("record-read-only", ("AttributeError", "attribute 'price' of 'builtins.Order' objects is not writable"),
     lambda t: Call(setattr, order(t), "price", 2.0)),
    ("enum-corrupt-value", ("SystemError", "enumeration value out of range"),
     lambda t: Call(repr, corrupted_enum(pair(t).kind, 2))),
]

CALLS = CALLING + NUMBERS + TEXTS + DATETIMES + PARSING + RANGES + ENUMS + RECORDS
NAMES = [name for name, _, _ in CALLS]


def typed(value):
    """Equal outcomes of the same types: an enumeration read as a plain int, or an int as a float, differs."""
    return [typed(v) for v in value] if type(value) in (tuple, list) else (type(value), value)


def growth(run, n, measure, collect=gc.collect):
    """The smaller growth of two windows of n calls each: a leak grows both, a cache that
    fills once (the interpreter's, the allocator's) shows in one at most."""
    sizes = []
    for window in range(3):
        for _ in range(n if window else 0):
            run()
        collect()
        sizes.append(measure())
    return min(sizes[1] - sizes[0], sizes[2] - sizes[1])


def build(testing):
    return {name: call if isinstance(call, Call) else call(testing) for name, _, call in CALLS}


def in_child(testing, script, *args, **env):
    """Runs `script` in a fresh interpreter, where this module is `table` and `env` is added to the
    environment; (its JSON output, its stderr)."""
    paths = os.pathsep.join([os.path.dirname(testing.__file__), os.path.dirname(__file__)])
    code = "import json, sys, tavik_testing\nimport test_hardening_calls as table\n" + textwrap.dedent(script)
    result = subprocess.run([sys.executable, "-c", code, *map(str, args)], capture_output=True, text=True,
                            timeout=300, env=dict(os.environ, PYTHONPATH=paths, **env))
    assert result.returncode == 0, result.stderr[-3000:]
    return json.loads(result.stdout), result.stderr


@pytest.mark.parametrize("name, expected", [(name, expected) for name, expected, _ in CALLS], ids=NAMES)
def test_each_call_ends_as_specified_and_repeats_identically(testing, name, expected, capfd):
    run = build(testing)[name]
    first = run()
    assert typed(first) == typed(expected) and run() == first
    # Equal, hashing alike and as ASCII as expected: a str stored wider than its widest character is neither.
    if isinstance(expected[1], str):
        assert (hash(first[1]), first[1].isascii()) == (hash(expected[1]), expected[1].isascii())
    assert ("tavik: internal failure" in capfd.readouterr().err) is (expected[0] == "SystemError")
    # A quick look for a leak (the leak checks measure longer): one block per call shows as 200.
    assert growth(run, 200, sys.getallocatedblocks, collect=lambda: None) < 100


@pytest.mark.parametrize("text, copies", [
    ("键" * 1_000_000, 1),  # the message alone: a text without lone surrogates is passed on, never copied
    ("\udc80" + "键" * 1_000_000, 2),  # and one copy, with U+FFFD in place of the surrogate (the first character)
])
def test_texts_are_copied_only_to_replace_lone_surrogates(text, copies):
    """The peak of a call whose TypeError text is `text`, in copies of it.  A surrogate scan that runs
    past the text's end, or stops at its first ordinary character, copies every text (2 in the first
    row); a copy made twice or twice as wide shows as 3 or more in the second."""
    hostile = Hostile(TypeError, text)
    tracemalloc.start()
    try:
        result = outcome(tt.ms_to_date, hostile)
        peak = tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
    assert result == ("TypeError", "argument 'ts': " + text.replace("\udc80", "\ufffd"))
    assert peak < (copies + 0.5) * sys.getsizeof(text)
