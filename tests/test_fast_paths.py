"""The shortcuts the hot functions take must not change what they do.

str_to_date reads the common text shape in one pass and leaves every other
text to the field-by-field scanner; argument matching takes the all-positional
call without the general walk; the UTC singleton is accepted without an
equality call; the formatter and the clock functions write their results
directly.  Each test here sets a shortcut against a path that does not take
it, or against an independent computation in Python.
"""

import itertools
import sys
import tracemalloc
import warnings
from datetime import datetime, timedelta, timezone, tzinfo

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import tavik.tavik as tt

UTC = timezone.utc
MINUS = "\u2212"

# ---------------------------------------------------------------------------
# Parsing: the one-pass reading against the scanner and against Python


def oracle(year, month, day, hour, minute, second, digits, offset_minutes):
    """What a text with these fields means, computed by the datetime module."""
    micros = int((digits + "000000")[:6]) if digits else 0
    local = datetime(year, month, day, hour, minute, second, micros, tzinfo=timezone(timedelta(minutes=offset_minutes)))
    return local.astimezone(UTC)


def offset_text(offset_minutes, minus="-"):
    sign = "+" if offset_minutes >= 0 else minus
    hours, minutes = divmod(abs(offset_minutes), 60)
    return f"{sign}{hours:02d}:{minutes:02d}"


def text_of(year, month, day, hour, minute, second, digits, zone, separator="T"):
    fraction = f".{digits}" if digits else ""
    return f"{year:04d}-{month:02d}-{day:02d}{separator}{hour:02d}:{minute:02d}:{second:02d}{fraction}{zone}"


fields = st.builds(
    lambda d, s, digits, off: (d.year, d.month, d.day, s // 3600, s // 60 % 60, s % 60, digits, off),
    st.dates(min_value=datetime(1, 1, 2).date(), max_value=datetime(9999, 12, 30).date()),
    st.integers(0, 86399),
    st.text("0123456789", max_size=12),
    st.integers(-(23 * 60 + 59), 23 * 60 + 59),
)


@settings(max_examples=400, deadline=None)
@given(fields, st.sampled_from(["T", "t", " "]))
def test_common_shape_matches_python(f, separator):
    *rest, off = f
    zone = "Z" if off == 0 and rest[0] % 2 else offset_text(off)
    assert tt.str_to_date(text_of(*rest, zone, separator)) == oracle(*f)


@settings(max_examples=400, deadline=None)
@given(fields)
def test_common_shape_matches_the_scanner(f):
    # A U+2212 minus is read only by the scanner: the same instant either way.
    *rest, off = f
    west = -abs(off) or -1
    ascii_text = text_of(*rest, offset_text(west))
    scanned = text_of(*rest, offset_text(west, MINUS))
    assert tt.str_to_date(ascii_text) == tt.str_to_date(scanned) == oracle(*rest, west)


@pytest.mark.parametrize(
    "local, zone",
    [
        # Across the end and the start of months, leap and common Februaries, years.
        ("2024-02-29T23:30:00", "-01:00"),
        ("2023-02-28T23:30:00", "-01:00"),
        ("2024-03-01T00:10:00", "+00:11"),
        ("2023-03-01T00:10:00", "+00:11"),
        ("2023-12-31T23:59:59.999999999", "-00:01"),
        ("2024-01-01T00:00:00", "+23:59"),
        ("2000-02-29T00:00:00", "+00:01"),
        ("2100-02-28T23:00:00", "-01:30"),
        ("9999-12-31T00:00:00", "+23:59"),
        ("0001-01-02T00:00:00", "+23:59"),
        ("2024-04-30T23:00:00", "-02:00"),
        ("6436-06-15T12:00:00", "Z"),  # a year whose two halves OR to more than 99
        ("2024-06-30T23:59:60.5", "Z"),  # leap second
        ("2024-06-30T23:59:60", "-05:00"),
    ],
)
def test_day_crossings_match_python_and_the_scanner(local, zone):
    date, clock = local.split("T")
    hms, _, digits = clock.partition(".")
    year, month, day = map(int, date.split("-"))
    hour, minute, second = map(int, hms.split(":"))
    minutes = 0 if zone == "Z" else (1 if zone[0] == "+" else -1) * (int(zone[1:3]) * 60 + int(zone[4:6]))
    # A leap second reads as second 59 of the same minute, fraction kept.
    expected = oracle(year, month, day, hour, minute, min(second, 59), digits, minutes)
    spellings = [local + zone]
    if zone.startswith("-"):
        spellings.append(local + MINUS + zone[1:])
    for text in spellings:
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            assert tt.str_to_date(text) == expected
        assert len(caught) == (1 if second == 60 else 0)


@pytest.mark.parametrize("zone", ["-23:59", "-00:01", "+00:01", "+23:59"])
def test_shift_beyond_datetime_years_fails_alike(zone):
    # The result's year is 0 or 10000: the datetime constructor refuses it on both paths.
    local = "0001-01-01T00:00:00" if zone.startswith("+") else "9999-12-31T23:59:59"
    texts = [local + zone]
    if zone.startswith("-"):
        texts.append(local + zone.replace("-", MINUS))
    outcomes = set()
    for text in texts:
        with pytest.raises(ValueError) as caught:
            tt.str_to_date(text)
        outcomes.add((type(caught.value), str(caught.value)))
    assert len(outcomes) == 1


# Texts one step away from the common shape: each must still be named by the
# scanner's first failing check, as if there were no shortcut.
@pytest.mark.parametrize(
    "text, message",
    [
        ("2024-01-02T03:04:05", "premature end of input"),
        ("2024-01-02T03:04:05.", "premature end of input"),
        ("2024-01-02T03:04:05.Z", "input contains invalid characters"),
        ("2024-01-02T03:04:05+05:3", "premature end of input"),
        ("2024-01-02T03:04:05+05:30:00", "trailing input"),
        ("2024-01-02T03:04:05Zx", "trailing input"),
        ("2024-01-02T03:04:05zz", "trailing input"),
        ("2024-01-02T03:04:05+24:00", "input is out of range"),
        ("2024-01-02T03:04:05+23:60", "input is out of range"),
        ("2024-01-02T03:04:05+2a:00", "input contains invalid characters"),
        ("2024-01-02T03:04:05+0500", "input contains invalid characters"),
        ("2024-00-02T03:04:05Z", "input is out of range"),
        ("2024-13-02T03:04:05Z", "input is out of range"),
        ("2024-01-00T03:04:05Z", "input is out of range"),
        ("2024-01-32T03:04:05Z", "input is out of range"),
        ("2023-02-29T03:04:05Z", "input is out of range"),
        ("2024-02-30T03:04:05Zx", "trailing input"),
        ("2024-01-02T24:04:05Z", "input is out of range"),
        ("2024-01-02T03:60:05Z", "input is out of range"),
        ("2024-01-02T03:04:61Z", "input is out of range"),
        ("2024-01-02X03:04:05Z", "input contains invalid characters"),
        ("2024-01-02T03-04:05Z", "input contains invalid characters"),
        ("2024-01-02T03:04-05Z", "input contains invalid characters"),
        ("2024/01-02T03:04:05Z", "input contains invalid characters"),
        ("2024-01/02T03:04:05Z", "input contains invalid characters"),
        ("20a4-01-02T03:04:05Z", "input contains invalid characters"),
        ("2024-01-02T03:04:0xZ", "input contains invalid characters"),
        ("2024-01-02T03:04:05 Z", "input contains invalid characters"),
        ("2024-01-02T03:04:05.123+05:30 ", "trailing input"),
        ("2024-01-02T03:04:05+05:30\x00", "trailing input"),
    ],
)
def test_near_misses_get_the_scanners_error(text, message):
    with pytest.raises(RuntimeError) as caught:
        tt.str_to_date(text)
    assert str(caught.value).split("\n", 1)[0] == message


@pytest.mark.parametrize("digits", ["", "1", "12", "123", "1234", "12345678", "123456789", "1234567891", "9" * 30])
def test_fraction_digits_cut_like_python(digits):
    text = f"2024-01-02T03:04:05{'.' + digits if digits else ''}+01:00"
    assert tt.str_to_date(text) == oracle(2024, 1, 2, 3, 4, 5, digits, 60)


# ---------------------------------------------------------------------------
# Formatting against an independent rendering


def rendered(d):
    micros = d.microsecond
    fraction = "" if micros == 0 else f".{micros // 1000:03d}" if micros % 1000 == 0 else f".{micros:06d}"
    return (f"{d.year:04d}-{d.month:02d}-{d.day:02d}T{d.hour:02d}:{d.minute:02d}:{d.second:02d}"
            f"{fraction}+00:00")


@settings(max_examples=500, deadline=None)
@given(st.datetimes(timezones=st.just(UTC)), st.sampled_from([0, 1000, None]))
def test_format_matches_rendering(d, micro_step):
    if micro_step is not None:
        d = d.replace(microsecond=d.microsecond // 1000 * 1000 if micro_step else 0)
    assert tt.date_to_str(d) == rendered(d)
    assert tt.str_to_date(tt.date_to_str(d)) == d


# ---------------------------------------------------------------------------
# The tzinfo check: identity first, equality for every other tzinfo


class CountingZone(tzinfo):
    """A tzinfo whose only behaviour is an equality answer, counted."""

    def __init__(self, answer):
        self.answer = answer
        self.calls = 0

    def __eq__(self, other):
        self.calls += 1
        if isinstance(self.answer, BaseException):
            raise self.answer
        return self.answer

    __hash__ = None

    def utcoffset(self, dt):  # never asked
        raise AssertionError("utcoffset must not be called")


DATETIME_FUNCTIONS = [tt.date_to_str, tt.truncate_to_day]


@pytest.mark.parametrize("func", DATETIME_FUNCTIONS)
@pytest.mark.parametrize("answer", [True, 1, "yes"])
def test_equal_foreign_tzinfo_compared_once_and_accepted(func, answer):
    zone = CountingZone(answer)
    value = datetime(2024, 5, 6, 7, 8, 9, 123000, tzinfo=zone)
    result = func(value)
    assert zone.calls == 1
    assert result == func(value.replace(tzinfo=UTC))


@pytest.mark.parametrize("func", DATETIME_FUNCTIONS)
@pytest.mark.parametrize("answer", [False, 0, ""])
def test_unequal_foreign_tzinfo_compared_once_and_refused(func, answer):
    zone = CountingZone(answer)
    with pytest.raises(ValueError, match="expected datetime.timezone.utc"):
        func(datetime(2024, 5, 6, tzinfo=zone))
    assert zone.calls == 1


@pytest.mark.parametrize("func", DATETIME_FUNCTIONS)
@pytest.mark.parametrize("error", [KeyError("boom"), ZeroDivisionError("eq")])
def test_failing_equality_propagates_after_one_call(func, error):
    zone = CountingZone(error)
    with pytest.raises(type(error)):
        func(datetime(2024, 5, 6, tzinfo=zone))
    assert zone.calls == 1


@pytest.mark.parametrize("func", DATETIME_FUNCTIONS)
@pytest.mark.parametrize(
    "zone", [UTC, timezone(timedelta(0)), timezone(timedelta(0), "UTC"), timezone(timedelta(0), "Z")],
    ids=["singleton", "unnamed-zero", "named-UTC", "named-Z"],
)
def test_utc_and_zero_offset_timezones_agree(func, zone):
    value = datetime(2024, 5, 6, 7, 8, 9, 654321)
    assert func(value.replace(tzinfo=zone)) == func(value.replace(tzinfo=UTC))


# ---------------------------------------------------------------------------
# Positional and keyword calls: the shortcut against the general matching

CALLS = [
    (tt.str_to_date, "s", ["2024-01-02T03:04:05.5+01:00", "2024-01-02T03:04:05Z",
                           "2024-01-02T03:04:05" + MINUS + "01:00"],
     ["", "2024-01-02", "x" * 40, "2024-13-02T03:04:05Z", 5, None, b"2024-01-02T03:04:05Z"]),
    (tt.date_to_str, "d", [datetime(2024, 1, 2, 3, 4, 5, 120000, tzinfo=UTC)],
     [datetime(2024, 1, 2), datetime(2024, 1, 2, tzinfo=timezone(timedelta(hours=1))), "2024", 0]),
    (tt.truncate_to_day, "date", [datetime(2024, 1, 2, 3, 4, 5, tzinfo=UTC)],
     [datetime(2024, 1, 2), datetime(2300, 1, 2, tzinfo=UTC), 1.5]),
    (tt.ms_to_date, "ts", [0, -1, 1_704_164_645_120], [2**63, "0", 1.5, None, 10**20]),
]


def outcome(call):
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("error")
            return ("value", call())
    except Exception as error:  # noqa: BLE001 - the error itself is compared
        return ("error", type(error), str(error))


@pytest.mark.parametrize("func, name, good, bad", CALLS, ids=[c[1] for c in CALLS])
def test_positional_and_keyword_calls_agree(func, name, good, bad):
    for value in good + bad:
        positional = outcome(lambda: func(value))
        keyword = outcome(lambda: func(**{name: value}))
        assert positional == keyword
    assert all(outcome(lambda v=v: func(v))[0] == "value" for v in good)
    assert all(outcome(lambda v=v: func(v))[0] == "error" for v in bad)


@pytest.mark.parametrize("func, name, good, bad", CALLS, ids=[c[1] for c in CALLS])
def test_wrong_argument_counts_still_take_the_general_matching(func, name, good, bad):
    value = good[0]
    cases = {
        "none": lambda: func(),
        "two": lambda: func(value, value),
        "both": lambda: func(value, **{name: value}),
        "unknown": lambda: func(value, other=value),
    }
    for what, call in cases.items():
        result = outcome(call)
        assert result[0] == "error" and result[1] is TypeError, (what, result)
        assert f"{func.__name__}()" in result[2], (what, result)


# ---------------------------------------------------------------------------
# No allocation on the success path beyond the result object

ALLOCATION_CASES = [
    ("str_to_date-common", tt.str_to_date, "2024-01-02T03:04:05.123456789+05:30"),
    ("str_to_date-Z", tt.str_to_date, "2024-01-02T03:04:05Z"),
    ("str_to_date-scanner", tt.str_to_date, "2024-01-02T03:04:05" + MINUS + "05:30"),
    ("date_to_str", tt.date_to_str, datetime(2024, 1, 2, 3, 4, 5, 123456, tzinfo=UTC)),
    ("date_to_str-foreign-zero", tt.date_to_str, datetime(2024, 1, 2, tzinfo=timezone(timedelta(0), "Z"))),
    ("truncate_to_day", tt.truncate_to_day, datetime(2024, 1, 2, 3, 4, 5, tzinfo=UTC)),
    ("ms_to_date", tt.ms_to_date, 1_704_164_645_120),
]


def traced(call, result_size):
    """(bytes left behind, peak bytes beyond the result) over 250 calls whose results are dropped."""
    call()
    calls = itertools.repeat(None, 250)  # made beforehand: iterating it allocates nothing
    tracemalloc.start()
    try:
        before = tracemalloc.get_traced_memory()[0]
        tracemalloc.reset_peak()
        for _ in calls:
            call()
        current, peak = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
    return current - before, peak - current - result_size


def allocations_beyond_the_result(call):
    """What `call` allocates besides its result: (bytes kept, bytes of temporaries)."""
    existing = object()
    base = traced(lambda: existing, 0)
    got = traced(call, sys.getsizeof(call()))
    return got[0] - base[0], got[1] - base[1]


def assert_only_the_result_allocated(call):
    assert allocations_beyond_the_result(call) == (0, 0)


@pytest.mark.parametrize("name, func, arg", ALLOCATION_CASES, ids=[c[0] for c in ALLOCATION_CASES])
def test_successful_calls_allocate_only_the_result(name, func, arg):
    assert_only_the_result_allocated(lambda: func(arg))


@pytest.mark.parametrize("func", [tt.now_ms, tt.now_date], ids=["now_ms", "now_date"])
def test_clock_calls_allocate_only_the_result(func):
    assert_only_the_result_allocated(func)


def test_the_allocation_probe_sees_temporaries_and_extras():
    # isoformat builds its text through temporaries; the pair keeps a second object.
    value = datetime(2024, 1, 2, 3, 4, 5, 123456, tzinfo=UTC)
    assert allocations_beyond_the_result(value.isoformat)[1] > 0
    kept = []
    assert allocations_beyond_the_result(lambda: kept.append(tt.ms_to_date(0)))[0] > 0


# ---------------------------------------------------------------------------
# The clock: milliseconds straight from the clock agree with the datetime form


def test_now_ms_is_bracketed_by_the_datetime_clock():
    import time

    for _ in range(200):
        low = time.time_ns() // 1_000_000
        ms = tt.now_ms()
        high = time.time_ns() // 1_000_000
        assert low <= ms <= high
        d = tt.now_date()
        assert d.tzinfo is UTC
        after = tt.now_ms()
        # now_date sits between the two millisecond readings.
        epoch_ms = (d - datetime(1970, 1, 1, tzinfo=UTC)) // timedelta(milliseconds=1)
        assert ms <= epoch_ms <= after
