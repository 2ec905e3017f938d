"""One table of calls covering every public entry, on its success path and on each failure
path, shared by the leak, out-of-memory and thread checks.

Each row is (name, kind, factory): kind is "ok" or the name of the exception class the call
ends with.  The factory takes the tavik_testing module and returns a
callable of no arguments that makes exactly one call into tavik and returns a comparable
outcome: ("ok", value) or (exception type name, message).  A callable never raises.
"""
import contextlib
import operator
import sys
import warnings as _warnings
from datetime import datetime, timedelta, timezone, tzinfo

import pytest

import tavik.tavik as tt
from hooks import Index

UTC = timezone.utc
D0 = datetime(2024, 1, 2, 3, 4, 5, 123456, tzinfo=UTC)
T0 = (2024, 1, 2, 11045, 123_456_789)
LEAP = "2016-12-31T23:59:60.5Z"


# Hostile hooks raise a fresh exception each time: raising one instance again would grow its
# __traceback__ chain call after call, a leak of the test's own making.
class RaisesOnFloat:
    def __init__(self, make_exc):
        self.make_exc = make_exc

    def __float__(self):
        raise self.make_exc()


class Unprintable:
    def __str__(self):
        raise KeyError("no text")


class MyTypeError(TypeError):
    pass


class Zone(tzinfo):
    def __init__(self, answer):
        self.answer = answer

    def __eq__(self, other):
        return self.answer()

    __hash__ = object.__hash__


class BadBool:
    def __bool__(self):
        raise ZeroDivisionError("bool")


class KeyStrRaises(str):
    def __str__(self):
        raise KeyError("no str")


def _raise(make_exc):
    def answer():
        raise make_exc()

    return answer


def chained_type_error():
    exc = TypeError("chained")
    exc.__cause__ = KeyError("root")
    return exc


def outcome(func, *args, **kwargs):
    try:
        value = func(*args, **kwargs)
    except BaseException as exc:
        return type(exc).__name__, str(exc)
    return "ok", value


# What the calls that report an unraisable exception install as sys.unraisablehook.  The
# out-of-memory check puts the interpreter's own C hook here: CPython 3.13.0 crashes when a
# hook written in Python fails for want of memory.
UNRAISABLE_HOOK = [lambda unraisable: None]


class Call:
    """One call into tavik: `func(*args, **kwargs)` is the bare call, with nothing else in it,
    so that the out-of-memory check can fail allocations around it alone.  `warnings` is the
    warning filter in force (when given), `quiet` swallows unraisable reports, `shape` maps a
    result that changes from call to call (the clock) to one that does not."""

    def __init__(self, func, *args, warnings=None, quiet=False, shape=None, **kwargs):
        self.func, self.args, self.kwargs = func, args, kwargs
        self.warnings, self.quiet, self.shape = warnings, quiet, shape

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
        """The comparable outcome of a bare call's result (("ok", value))."""
        if result[0] == "ok" and self.shape is not None:
            return "ok", self.shape(result[1])
        return result

    def __call__(self):
        with self.context():
            return self.settle(outcome(self.func, *self.args, **self.kwargs))


call = Call


ORDER_FIELDS = ("id", "kind", "type", "side", "code", "status", "volume", "price", "filled_volume",
                "filled_price", "fee", "create_time")
CANDLE_FIELDS = ("kind", "code", "interval", "open_time", "close_time", "open", "high", "low", "close",
                 "volume", "amount", "trades")

R = tt.RunMode

CALLS = [
    # success paths
    ("str_to_date", "ok", lambda t: call(tt.str_to_date, "2024-01-02T03:04:05.123456789+08:00")),
    ("str_to_date-keyword", "ok", lambda t: call(tt.str_to_date, s="2024-01-02 03:04:05\u221201:30")),
    ("date_to_str", "ok", lambda t: call(tt.date_to_str, D0)),
    ("date_to_str-named-zero-offset", "ok", lambda t: call(tt.date_to_str, datetime(2024, 1, 2, tzinfo=timezone(timedelta(0), "Z")))),
    ("truncate_to_day", "ok", lambda t: call(tt.truncate_to_day, D0)),
    ("ms_to_date", "ok", lambda t: call(tt.ms_to_date, 1_700_000_000_123)),
    ("ms_to_date-index", "ok", lambda t: call(tt.ms_to_date, Index(-1))),
    ("now_date", "ok", lambda t: call(tt.now_date, shape=type)),
    ("now_ms", "ok", lambda t: call(tt.now_ms, shape=type)),
    ("leap-second-warning-ignored", "ok", lambda t: call(tt.str_to_date, LEAP, warnings="ignore")),
    ("leap-second-warning-error", "ok", lambda t: call(tt.str_to_date, LEAP, warnings="error")),
    ("enum-repr", "ok", lambda t: call(repr, tt.EventType.OrderChange)),
    ("enum-int", "ok", lambda t: call(int, tt.OrderStatus.Rejected)),
    ("enum-eq-int", "ok", lambda t: call(operator.eq, R.Live, 2)),
    ("enum-eq-member", "ok", lambda t: call(operator.eq, R.Live, R.Live)),
    ("enum-ne-index", "ok", lambda t: call(operator.ne, R.Live, Index(1))),
    ("enum-eq-huge", "ok", lambda t: call(operator.eq, R.Live, 2**70)),
    ("enum-eq-str", "ok", lambda t: call(operator.eq, R.Live, "Live")),
    ("enum-order", "TypeError", lambda t: call(operator.lt, R.Live, R.Backtest)),
    ("order-fields", "ok", lambda t: call(operator.attrgetter(*ORDER_FIELDS),
        t.make_order("订单-1", 1, 1, 0, "BTC/USDT", 3, 1.0, 2.0, 3.0, 4.0, 5.0, T0))),
    ("candle-fields-out-of-years", "ValueError", lambda t: call(operator.attrgetter(*CANDLE_FIELDS),
        t.make_candle(1, "X", 2, (0, 1, 1, 0, 0), (10000, 1, 1, 0, 0), 1, 2, 3, 4, 5, 6, 7))),
    ("position-fields", "ok", lambda t: call(operator.attrgetter("kind", "code", "side", "volume", "price", "leverage"),
        t.make_position(0, "ETH", 1, 1.5, 2.5, -7))),
    ("make-pair", "ok", lambda t: call(t.make_pair, 0, "a", "比", "🚀", 0.1, 0.2, 0.3, shape=operator.attrgetter("quote"))),
    ("instant-field-leap", "ok", lambda t: call(operator.attrgetter("create_time"),
        t.make_order("1", 0, 1, 0, "X", 0, 1, 1, 1, 1, 1, (2016, 12, 31, 86399, 1_500_000_000)), warnings="error")),
    # argument matching
    ("missing-two", "TypeError", lambda t: call(tt.safe_float)),
    ("missing-one", "TypeError", lambda t: call(tt.safe_float, decimals=1)),
    ("too-many", "TypeError", lambda t: call(tt.date_to_str, D0, D0, x=1)),
    ("multiple-values", "TypeError", lambda t: call(tt.str_to_date, "x", s="y")),
    ("unexpected-keyword", "TypeError", lambda t: call(tt.ms_to_date, t=1)),
    ("unexpected-keyword-surrogate", "TypeError", lambda t: call(tt.ms_to_date, **{"ts\udc80": 1})),
    ("unexpected-keyword-non-ascii", "TypeError", lambda t: call(tt.ms_to_date, **{"时间戳": 1})),
    ("unexpected-keyword-bad-str", "TypeError", lambda t: call(tt.ms_to_date, **{KeyStrRaises("k\u00e9y"): 1})),
    ("noargs-given-args", "TypeError", lambda t: call(tt.now_ms, 1)),
    # conversions
    ("not-a-datetime", "TypeError", lambda t: call(tt.date_to_str, "2024-01-02")),
    ("not-a-str", "TypeError", lambda t: call(tt.str_to_date, b"x")),
    ("not-a-float", "TypeError", lambda t: call(tt.safe_float, "1.0", 1)),
    ("not-an-int", "TypeError", lambda t: call(tt.safe_float, 1.0, 1.5)),
    ("int-overflow", "OverflowError", lambda t: call(tt.ms_to_date, 2**63)),
    ("u32-range", "OverflowError", lambda t: call(tt.safe_float, 1.0, -1)),
    ("float-overflow", "OverflowError", lambda t: call(tt.safe_float, 2**1024, 1)),
    ("naive", "TypeError", lambda t: call(tt.truncate_to_day, datetime(2024, 1, 2))),
    ("other-zone", "ValueError", lambda t: call(tt.date_to_str, datetime(2024, 1, 2, tzinfo=timezone(timedelta(hours=8))))),
    ("tz-eq-raises", "KeyError", lambda t: call(tt.date_to_str, datetime(2024, 1, 2, tzinfo=Zone(_raise(lambda: KeyError("eq")))))),
    ("tz-eq-type-error", "TypeError", lambda t: call(tt.truncate_to_day, datetime(2024, 1, 2, tzinfo=Zone(_raise(lambda: TypeError("eq")))))),
    ("tz-eq-bad-bool", "ZeroDivisionError", lambda t: call(tt.date_to_str, datetime(2024, 1, 2, tzinfo=Zone(BadBool)))),
    ("type-error-prefixed-with-cause", "TypeError", lambda t: call(tt.safe_float, RaisesOnFloat(chained_type_error), 1)),
    ("type-error-subclass", "MyTypeError", lambda t: call(tt.safe_float, RaisesOnFloat(lambda: MyTypeError("sub")), 1)),
    ("type-error-unprintable", "TypeError", lambda t: call(tt.safe_float, RaisesOnFloat(lambda: TypeError(Unprintable())), 1, quiet=True)),
    ("type-error-surrogate-text", "TypeError", lambda t: call(tt.safe_float, RaisesOnFloat(lambda: TypeError("x\udc80")), 1)),
    ("surrogate-text", "UnicodeEncodeError", lambda t: call(tt.str_to_date, "2024-01-02T03:04:05\ud800Z")),
    # parse errors
    ("parse-out-of-range", "RuntimeError", lambda t: call(tt.str_to_date, "2024-13-02T03:04:05Z")),
    ("parse-invalid", "RuntimeError", lambda t: call(tt.str_to_date, "2024-01-02X03:04:05Z")),
    ("parse-too-short", "RuntimeError", lambda t: call(tt.str_to_date, "2024-01-02T03:04")),
    ("parse-too-long", "RuntimeError", lambda t: call(tt.str_to_date, "2024-01-02T03:04:05Zjunk")),
    # range errors
    ("truncate-outside-nanos", "RuntimeError", lambda t: call(tt.truncate_to_day, datetime(1, 1, 1, tzinfo=UTC))),
    ("ms-outside-instants", "RuntimeError", lambda t: call(tt.ms_to_date, 2**63 - 1)),
    ("ms-outside-datetime-years", "ValueError", lambda t: call(tt.ms_to_date, 253_402_300_800_000)),
    ("parse-year-zero", "ValueError", lambda t: call(tt.str_to_date, "0000-06-01T00:00:00+00:00")),
    ("instant-outside-datetime-years", "ValueError", lambda t: call(t.instant_to_py, (262142, 12, 31, 86399, 0))),
    # the internal failure
    ("safe-float-internal-failure", "SystemError", lambda t: call(tt.safe_float, 1.25, 2)),
    # construction
    ("construct-enum", "TypeError", lambda t: call(tt.RunMode, 0)),
    ("construct-record", "TypeError", lambda t: call(tt.Order)),
]

NAMES = [name for name, _, _ in CALLS]


def build(testing):
    return {name: factory(testing) for name, _, factory in CALLS}


# The table itself is checked here, so that the checks built on it start from the right outcomes.


@pytest.mark.parametrize("name, kind", [(name, kind) for name, kind, _ in CALLS])
def test_each_call_ends_as_designed_and_repeats_identically(testing, name, kind, capfd):
    run = build(testing)[name]
    first = run()
    assert first[0] == kind, first
    assert run() == first
    report = capfd.readouterr().err
    assert ("tavik: internal failure" in report) is (kind == "SystemError"), report
