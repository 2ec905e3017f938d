"""Date-time functions: parsing, formatting, truncation, epoch milliseconds and the clock."""
import os
import subprocess
import sys
import textwrap
import time
import warnings
import zoneinfo
from datetime import date, datetime, timedelta, timezone

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import tavik.tavik as tt
from hooks import Index

UTC = timezone.utc
LEAP_WARNING = "ignored leap-second, `datetime` does not support leap-seconds"

OUT_OF_RANGE = "input is out of range"
INVALID = "input contains invalid characters"
TOO_SHORT = "premature end of input"
TOO_LONG = "trailing input"
PARSE_MESSAGES = {OUT_OF_RANGE, INVALID, TOO_SHORT, TOO_LONG}
TIMESTAMP_LIMIT = "timestamp exceeds num_nanoseconds limit"
MS_FAILED = "时间戳转换失败"


def utc(*fields):
    return datetime(*fields, tzinfo=UTC)


def runtime_error(func, *args):
    with pytest.raises(RuntimeError) as info:
        func(*args)
    assert type(info.value) is RuntimeError
    assert len(info.value.args) == 1
    return info.value.args[0]


# --- parsing -------------------------------------------------------------------------------

@pytest.mark.parametrize(
    "text, expected",
    [
        ("2024-01-02T03:04:05Z", utc(2024, 1, 2, 3, 4, 5)),
        ("2024-01-02 11:04:05+08:00", utc(2024, 1, 2, 3, 4, 5)),
        ("2024-01-02t03:04:05z", utc(2024, 1, 2, 3, 4, 5)),
        ("2024-01-02T03:04:05-00:00", utc(2024, 1, 2, 3, 4, 5)),
        ("2024-01-01T00:30:00+01:00", utc(2023, 12, 31, 23, 30)),
        ("2024-01-02T03:04:05\u221205:00", utc(2024, 1, 2, 8, 4, 5)),
        ("2024-12-31T23:30:00-00:45", utc(2025, 1, 1, 0, 15)),
        ("2024-02-28T23:59:00-23:59", utc(2024, 2, 29, 23, 58)),
        ("2024-01-02T03:04:05.123456789Z", utc(2024, 1, 2, 3, 4, 5, 123456)),
        ("2024-01-02T03:04:05.5Z", utc(2024, 1, 2, 3, 4, 5, 500000)),
        ("2024-01-02T03:04:05.1234567891234Z", utc(2024, 1, 2, 3, 4, 5, 123456)),
        ("2024-01-02T03:04:05.000000999Z", utc(2024, 1, 2, 3, 4, 5)),
        ("2024-01-02T03:04:05.999999999+00:00", utc(2024, 1, 2, 3, 4, 5, 999999)),
        ("0001-01-01T00:00:00Z", utc(1, 1, 1)),
        ("9999-12-31T23:59:59.999999Z", utc(9999, 12, 31, 23, 59, 59, 999999)),
        ("0001-01-01T23:59:00+23:59", utc(1, 1, 1)),
        ("2000-02-29T12:00:00Z", utc(2000, 2, 29, 12)),
    ],
)
def test_parse_valid(text, expected):
    result = tt.str_to_date(text)
    assert result == expected
    assert result.tzinfo is UTC
    assert type(result) is datetime


@pytest.mark.parametrize(
    "text, message",
    [
        ("2024-01-02", TOO_SHORT),
        ("2024-01-02T03:04:05", TOO_SHORT),
        ("", TOO_SHORT),
        ("202", TOO_SHORT),
        ("2024-01-02T03:04:05.", TOO_SHORT),
        ("2024-01-02T03:04:05+08", TOO_SHORT),
        ("2024-01-02T03:04:05+08:", TOO_SHORT),
        ("2024-01-02T03:04:05+08:3", TOO_SHORT),
        ("2024-01-02T03:04:05+", TOO_SHORT),
        ("2024-01-02T03:04Z", INVALID),
        ("2024-01-02T03:04:05+0800", INVALID),
        (" 2024-01-02T03:04:05Z", INVALID),
        ("2024-1-02T03:04:05Z", INVALID),
        ("2024-01-02T03:04:05.Z", INVALID),
        ("2024-01-02X03:04:05Z", INVALID),
        ("2024-01-02T03:04:05+08:a0", INVALID),
        ("2024-01-02T03:04:05*08:00", INVALID),
        ("+2024-01-02T03:04:05Z", INVALID),
        ("2024-01-02T03:04:05\u201305:00", INVALID),
        ("2024-13-02T03:04:05Z", OUT_OF_RANGE),
        ("2024-00-02T03:04:05Z", OUT_OF_RANGE),
        ("2024-01-32T03:04:05Z", OUT_OF_RANGE),
        ("2024-01-00T03:04:05Z", OUT_OF_RANGE),
        ("2024-01-02T24:00:00Z", OUT_OF_RANGE),
        ("2024-01-02T03:60:00Z", OUT_OF_RANGE),
        ("2024-01-02T03:04:61Z", OUT_OF_RANGE),
        ("2023-02-29T00:00:00Z", OUT_OF_RANGE),
        ("2024-04-31T00:00:00Z", OUT_OF_RANGE),
        ("1900-02-29T00:00:00Z", OUT_OF_RANGE),
        ("2024-01-02T03:04:05+24:00", OUT_OF_RANGE),
        ("2024-01-02T03:04:05+08:60", OUT_OF_RANGE),
        ("2024-01-02T03:04:05+99:00", OUT_OF_RANGE),
        ("2024-13-01x", OUT_OF_RANGE),  # the month is checked before the separator is read
        ("2024-01-02T03:04:05Z ", TOO_LONG),
        ("2024-01-02T03:04:05+00:00Z", TOO_LONG),
        ("2023-02-30T00:00:00Zx", TOO_LONG),  # trailing input is reported before the missing day
    ],
)
def test_parse_errors(text, message):
    assert runtime_error(tt.str_to_date, text) == message


@pytest.mark.parametrize(
    "text, expected",
    [
        ("2016-12-31T23:59:60Z", utc(2016, 12, 31, 23, 59, 59)),
        ("2016-12-31T23:59:60.5+01:00", utc(2016, 12, 31, 22, 59, 59, 500000)),
        ("2024-05-05T10:20:60.25Z", utc(2024, 5, 5, 10, 20, 59, 250000)),
    ],
)
def test_parse_leap_second_warns(text, expected):
    with pytest.warns(UserWarning) as record:
        assert tt.str_to_date(text) == expected
    assert [str(w.message) for w in record] == [LEAP_WARNING]


def test_leap_second_warning_as_error_still_returns_the_value():
    seen = []
    hook = sys.unraisablehook
    sys.unraisablehook = seen.append
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("error")
            result = tt.str_to_date("2016-12-31T23:59:60Z")
    finally:
        sys.unraisablehook = hook
    assert result == utc(2016, 12, 31, 23, 59, 59)
    assert len(seen) == 1
    assert isinstance(seen[0].exc_value, UserWarning) and seen[0].object == result


@pytest.mark.parametrize(
    "text", ["0000-01-01T00:00:00Z", "9999-12-31T23:59:59-00:01", "0001-01-01T00:00:00+00:01"]
)
def test_parse_beyond_datetime_years_raises_the_constructor_error(text):
    with pytest.raises(ValueError, match="year"):
        tt.str_to_date(text)


@pytest.mark.parametrize(
    "arg, exc_type, message",
    [
        (b"2024-01-02T03:04:05Z", TypeError, "argument 's': 'bytes' object cannot be converted to 'PyString'"),
        (None, TypeError, "argument 's': 'NoneType' object cannot be converted to 'PyString'"),
        ("2024-01-02T03:04:05Z\udcff", UnicodeEncodeError, None),
    ],
)
def test_parse_argument_errors(arg, exc_type, message):
    with pytest.raises(exc_type) as info:
        tt.str_to_date(arg)
    if message is not None:
        assert type(info.value) is exc_type and str(info.value) == message


def test_parse_accepts_str_subclass_and_keyword():
    class Text(str):
        pass

    assert tt.str_to_date(Text("2024-01-02T03:04:05Z")) == utc(2024, 1, 2, 3, 4, 5)
    assert tt.str_to_date(s="2024-01-02T03:04:05Z") == utc(2024, 1, 2, 3, 4, 5)


def test_parse_non_ascii_is_invalid_not_a_crash():
    assert runtime_error(tt.str_to_date, "２０２４-01-02T03:04:05Z") == INVALID
    assert runtime_error(tt.str_to_date, "2024-01-02T03:04:05\u2212") == TOO_SHORT


# --- formatting -------------------------------------------------------------------------------

@pytest.mark.parametrize(
    "value, text",
    [
        (utc(2024, 1, 2, 3, 4, 5), "2024-01-02T03:04:05+00:00"),
        (utc(2024, 1, 2, 3, 4, 5, 123456), "2024-01-02T03:04:05.123456+00:00"),
        (utc(2024, 1, 2, 3, 4, 5, 120000), "2024-01-02T03:04:05.120+00:00"),
        (utc(2024, 1, 2, 3, 4, 5, 1000), "2024-01-02T03:04:05.001+00:00"),
        (utc(2024, 1, 2, 3, 4, 5, 500), "2024-01-02T03:04:05.000500+00:00"),
        (utc(2024, 1, 2, 3, 4, 5, 1), "2024-01-02T03:04:05.000001+00:00"),
        (utc(1, 1, 1), "0001-01-01T00:00:00+00:00"),
        (utc(9999, 12, 31, 23, 59, 59, 999999), "9999-12-31T23:59:59.999999+00:00"),
        (datetime(2024, 1, 2, 3, 4, 5, tzinfo=timezone(timedelta(0), "X")), "2024-01-02T03:04:05+00:00"),
        (datetime(2024, 1, 2, 3, 4, 5, fold=1, tzinfo=UTC), "2024-01-02T03:04:05+00:00"),
    ],
)
def test_format(value, text):
    result = tt.date_to_str(value)
    assert result == text and type(result) is str
    assert result.isascii()
    assert tt.str_to_date(result) == value


class EqualsEverything(timezone.__base__):  # a tzinfo subclass whose __eq__ always agrees
    def __eq__(self, other):
        return True

    __hash__ = object.__hash__

    def utcoffset(self, dt):
        raise AssertionError("utcoffset must never be called")


class EqualsRaises(timezone.__base__):
    def __eq__(self, other):
        raise KeyError("eq")

    __hash__ = object.__hash__


class BadBool:
    def __bool__(self):
        raise ZeroDivisionError("bool")


class EqualsBadBool(timezone.__base__):
    def __eq__(self, other):
        return BadBool()

    __hash__ = object.__hash__


class EqualsTypeError(timezone.__base__):
    def __eq__(self, other):
        raise TypeError("no comparison")

    __hash__ = object.__hash__


class SubDateTime(datetime):
    pass


@pytest.mark.parametrize("func, name", [(tt.date_to_str, "d"), (tt.truncate_to_day, "date")])
@pytest.mark.parametrize(
    "arg, exc_type, message",
    [
        (datetime(2024, 1, 2), TypeError, "argument '{}': expected a datetime with non-None tzinfo"),
        (date(2024, 1, 2), TypeError, "argument '{}': 'date' object cannot be converted to 'PyDateTime'"),
        ("2024-01-02", TypeError, "argument '{}': 'str' object cannot be converted to 'PyDateTime'"),
        (1.0, TypeError, "argument '{}': 'float' object cannot be converted to 'PyDateTime'"),
        (datetime(2024, 1, 2, tzinfo=timezone(timedelta(hours=8))), ValueError, "expected datetime.timezone.utc"),
        (datetime(2024, 1, 2, tzinfo=timezone(timedelta(minutes=-1))), ValueError, "expected datetime.timezone.utc"),
        (datetime(2024, 1, 2, tzinfo=zoneinfo.ZoneInfo("UTC")), ValueError, "expected datetime.timezone.utc"),
        (datetime(2024, 1, 2, tzinfo=EqualsRaises()), KeyError, "'eq'"),
        (datetime(2024, 1, 2, tzinfo=EqualsBadBool()), ZeroDivisionError, "bool"),
        (datetime(2024, 1, 2, tzinfo=EqualsTypeError()), TypeError, "argument '{}': no comparison"),
    ],
)
def test_datetime_argument_refusals(func, name, arg, exc_type, message):
    with pytest.raises(exc_type) as info:
        func(arg)
    assert type(info.value) is exc_type
    assert str(info.value) == message.format(name)


@pytest.mark.parametrize(
    "value",
    [
        datetime(2024, 1, 2, 3, 4, 5, tzinfo=timezone(timedelta(0), "Z")),
        datetime(2024, 1, 2, 3, 4, 5, tzinfo=EqualsEverything()),
        SubDateTime(2024, 1, 2, 3, 4, 5, tzinfo=UTC),
    ],
)
def test_datetime_arguments_accepted_as_utc_wall_clock(value):
    assert tt.date_to_str(value) == "2024-01-02T03:04:05+00:00"
    assert tt.date_to_str(d=value) == "2024-01-02T03:04:05+00:00"


# --- truncation -------------------------------------------------------------------------------

@pytest.mark.parametrize(
    "value, expected",
    [
        (utc(2024, 1, 2, 3, 4, 5, 123456), utc(2024, 1, 2)),
        (utc(2024, 1, 2), utc(2024, 1, 2)),
        (utc(1969, 12, 31, 12), utc(1969, 12, 31)),
        (utc(1969, 12, 31, 23, 59, 59, 999999), utc(1969, 12, 31)),
        (utc(1969, 12, 31), utc(1969, 12, 31)),
        (utc(1970, 1, 1, 0, 0, 0, 1), utc(1970, 1, 1)),
        (utc(1677, 9, 21, 0, 12, 43, 145225), utc(1677, 9, 21)),
        (utc(1677, 9, 21, 23, 59, 59), utc(1677, 9, 21)),
        (utc(2262, 4, 11, 23, 47, 16, 854775), utc(2262, 4, 11)),
        (datetime(2024, 1, 2, 3, tzinfo=timezone(timedelta(0), "Z")), utc(2024, 1, 2)),
    ],
)
def test_truncate(value, expected):
    result = tt.truncate_to_day(value)
    assert result == expected and result.tzinfo is UTC
    assert tt.truncate_to_day(date=value) == expected


@pytest.mark.parametrize(
    "value",
    [
        utc(1677, 9, 21, 0, 12, 43, 145224),
        utc(2262, 4, 11, 23, 47, 16, 854776),
        utc(1, 1, 1),
        utc(1676, 12, 31),
        utc(2263, 1, 1),
        utc(9999, 12, 31, 23, 59, 59, 999999),
    ],
)
def test_truncate_outside_nanosecond_range(value):
    assert runtime_error(tt.truncate_to_day, value) == TIMESTAMP_LIMIT


# --- epoch milliseconds -------------------------------------------------------------------------

FIRST_MS = -8_334_601_228_800_000  # -262143-01-01T00:00:00.000
LAST_MS = 8_210_266_876_799_999  # 262142-12-31T23:59:59.999


@pytest.mark.parametrize(
    "ts, expected",
    [
        (0, utc(1970, 1, 1)),
        (-1, utc(1969, 12, 31, 23, 59, 59, 999000)),
        (-1000, utc(1969, 12, 31, 23, 59, 59)),
        (-1001, utc(1969, 12, 31, 23, 59, 58, 999000)),
        (-86_400_001, utc(1969, 12, 30, 23, 59, 59, 999000)),
        (1_700_000_000_123, utc(2023, 11, 14, 22, 13, 20, 123000)),
        (True, utc(1970, 1, 1, 0, 0, 0, 1000)),
        (Index(86_400_000), utc(1970, 1, 2)),
        (253_402_300_799_999, utc(9999, 12, 31, 23, 59, 59, 999000)),
        (-62_135_596_800_000, utc(1, 1, 1)),
        (951_782_400_000, utc(2000, 2, 29)),
    ],
)
def test_ms_to_date(ts, expected):
    result = tt.ms_to_date(ts)
    assert result == expected and result.tzinfo is UTC
    if ts is not True and not isinstance(ts, Index):
        assert result == datetime(1970, 1, 1, tzinfo=UTC) + timedelta(milliseconds=ts)


def test_ms_to_date_keyword():
    assert tt.ms_to_date(ts=86_400_000) == utc(1970, 1, 2)


@pytest.mark.parametrize("ts", [253_402_300_800_000, -62_135_596_800_001, FIRST_MS, LAST_MS])
def test_ms_to_date_years_datetime_cannot_hold(ts):
    with pytest.raises(ValueError, match="year"):
        tt.ms_to_date(ts)


@pytest.mark.parametrize("ts", [LAST_MS + 1, FIRST_MS - 1, 2**63 - 1, -(2**63)])
def test_ms_to_date_out_of_range(ts):
    assert runtime_error(tt.ms_to_date, ts) == MS_FAILED


@pytest.mark.parametrize(
    "ts, exc_type, message",
    [
        (2**63, OverflowError, "Python int too large to convert to C long"),
        (1.5, TypeError, "argument 'ts': 'float' object cannot be interpreted as an integer"),
        ("1", TypeError, "argument 'ts': 'str' object cannot be interpreted as an integer"),
    ],
)
def test_ms_to_date_argument_errors(ts, exc_type, message):
    with pytest.raises(exc_type) as info:
        tt.ms_to_date(ts)
    assert type(info.value) is exc_type and str(info.value) == message


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: tt.ms_to_date(), "ms_to_date() missing 1 required positional argument: 'ts'"),
        (lambda: tt.ms_to_date(1, 2), "ms_to_date() takes 1 positional arguments but 2 were given"),
        (lambda: tt.ms_to_date(t=1), "ms_to_date() got an unexpected keyword argument 't'"),
        (lambda: tt.date_to_str(1, 2, x=3), "date_to_str() takes 1 positional arguments but 2 were given"),
        (lambda: tt.str_to_date("x", s="y"), "str_to_date() got multiple values for argument 's'"),
        (lambda: tt.truncate_to_day("x"), "argument 'date': 'str' object cannot be converted to 'PyDateTime'"),
        (lambda: tt.now_ms(1), None),
        (lambda: tt.now_date(x=1), None),
    ],
)
def test_argument_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    if message is not None:
        assert str(info.value) == message


# --- clock ---------------------------------------------------------------------------------------

def test_now_ms_and_now_date_agree_with_the_system_clock():
    before = time.time_ns() // 1_000_000
    ms = tt.now_ms()
    d = tt.now_date()
    after = time.time_ns() // 1_000_000
    assert type(ms) is int
    assert before <= ms <= after
    assert d.tzinfo is UTC and d.utcoffset() == timedelta(0)
    d_ms = (d - utc(1970, 1, 1)) // timedelta(milliseconds=1)
    assert ms <= d_ms <= after


def test_now_ms_never_decreases():
    values = [tt.now_ms() for _ in range(1000)]
    assert values == sorted(values)


# --- the conversions themselves, through the test extension ---------------------------------------

@pytest.mark.parametrize(
    "instant, expected",
    [
        ((2024, 1, 2, 11045, 0), utc(2024, 1, 2, 3, 4, 5)),
        ((2024, 1, 2, 11045, 123_456_789), utc(2024, 1, 2, 3, 4, 5, 123456)),
        ((2024, 1, 2, 11045, 999_999_999), utc(2024, 1, 2, 3, 4, 5, 999999)),
        ((1, 1, 1, 0, 0), utc(1, 1, 1)),
        ((9999, 12, 31, 86399, 999_999_000), utc(9999, 12, 31, 23, 59, 59, 999999)),
    ],
)
def test_instant_to_py(testing, instant, expected):
    result = testing.instant_to_py(instant)
    assert result == expected and result.tzinfo is UTC


@pytest.mark.parametrize("instant", [(0, 1, 1, 0, 0), (10000, 1, 1, 0, 0), (-262143, 1, 1, 0, 0), (262142, 12, 31, 86399, 0)])
def test_instant_to_py_outside_datetime_years(testing, instant):
    with pytest.raises(ValueError, match="year"):
        testing.instant_to_py(instant)


def test_instant_to_py_leap_second(testing):
    with pytest.warns(UserWarning, match="leap-second"):
        assert testing.instant_to_py((2016, 12, 31, 86399, 1_500_000_000)) == utc(2016, 12, 31, 23, 59, 59, 500000)


@pytest.mark.parametrize(
    "value, instant",
    [
        (utc(2024, 1, 2, 3, 4, 5), (2024, 1, 2, 11045, 0)),
        (utc(2024, 1, 2, 3, 4, 5, 7), (2024, 1, 2, 11045, 7000)),
        (datetime(2024, 1, 2, 3, 4, 5, fold=1, tzinfo=UTC), (2024, 1, 2, 11045, 0)),
    ],
)
def test_py_to_instant(testing, value, instant):
    assert testing.py_to_instant(value) == instant


def test_datetime_api_is_not_imported_with_the_module():
    code = "import sys, tavik.tavik; print('datetime' in sys.modules, '_datetime' in sys.modules)"
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert result.stdout.split() == ["False", "False"]


def test_unimportable_datetime_api_is_an_internal_failure():
    code = textwrap.dedent(
        """
        import sys
        sys.modules["datetime"] = None
        import tavik.tavik as tt
        try:
            tt.ms_to_date(0)
        except SystemError as e:
            print(str(e).startswith("failed to import `datetime` C API: "))
        """
    )
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "True"
    assert "tavik: internal failure in thread '<unnamed>' at src/helpers/datetime.cpp:" in result.stderr


# --- error values and the backtrace switch ---------------------------------------------------------

@pytest.mark.parametrize("setting, appendix", [(None, False), ("0", False), ("1", True), ("full", True)])
def test_backtrace_switch(setting, appendix):
    env = {k: v for k, v in os.environ.items() if k != "TAVIK_BACKTRACE"}
    if setting is not None:
        env["TAVIK_BACKTRACE"] = setting
    code = textwrap.dedent(
        """
        import tavik.tavik as tt
        for _ in range(2):
            try:
                tt.str_to_date("")
            except RuntimeError as e:
                print(repr(e.args))
        """
    )
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=env)
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    if appendix:
        assert all(line.startswith("('premature end of input\\n\\nStack backtrace:\\n") for line in lines), lines
    else:
        assert lines == ["('premature end of input',)"] * 2


@pytest.mark.skipif(sys.platform != "linux", reason="byte file names")
def test_backtrace_of_a_program_named_in_bytes_that_are_not_utf8(tmp_path):
    """The frames name the program as it was started: a name that is no UTF-8 must still give
    the RuntimeError and its text, never an internal failure."""
    program = os.path.join(os.fsencode(tmp_path), b"python\xff")
    os.symlink(os.path.realpath(sys.executable), program)
    code = textwrap.dedent(
        """
        import tavik.tavik as tt
        try:
            tt.str_to_date("")
        except BaseException as e:
            print(type(e).__name__, ascii(e.args))
        """
    )
    site = os.path.dirname(os.path.dirname(tt.__file__))
    env = dict(os.environ, TAVIK_BACKTRACE="1", PYTHONPATH=site)
    result = subprocess.run([program, "-c", code], capture_output=True, text=True, env=env)
    assert result.returncode == 0, result.stderr
    assert result.stdout.startswith("RuntimeError ('premature end of input\\n\\nStack backtrace:\\n"), result.stdout
    assert "python\\\\xff(" in result.stdout


# --- properties ----------------------------------------------------------------------------------

@st.composite
def rfc3339_texts(draw):
    year = draw(st.integers(1, 9999))
    month = draw(st.integers(1, 12))
    day = draw(st.integers(1, 28 if month == 2 else 30))
    hour, minute, second = draw(st.integers(0, 23)), draw(st.integers(0, 59)), draw(st.integers(0, 59))
    digits = draw(st.text("0123456789", max_size=12))
    offset = draw(st.integers(-(23 * 60 + 59), 23 * 60 + 59))
    sep = draw(st.sampled_from("Tt "))
    zulu = draw(st.sampled_from(["Z", "z", None])) if offset == 0 else None
    minus = draw(st.sampled_from(["-", "\u2212"]))
    fraction = "." + digits if digits else ""
    if zulu:
        suffix = zulu
    else:
        sign = "+" if offset >= 0 else minus
        suffix = f"{sign}{abs(offset) // 60:02}:{abs(offset) % 60:02}"
    text = f"{year:04}-{month:02}-{day:02}{sep}{hour:02}:{minute:02}:{second:02}{fraction}{suffix}"
    micro = int((digits + "000000")[:6]) if digits else 0
    local = datetime(year, month, day, hour, minute, second, micro, tzinfo=timezone(timedelta(minutes=offset)))
    return text, local


@settings(max_examples=3000, deadline=None)
@given(rfc3339_texts())
def test_parse_matches_an_independent_oracle(case):
    text, local = case
    try:
        expected = local.astimezone(UTC)
    except OverflowError:
        with pytest.raises(ValueError):
            tt.str_to_date(text)
        return
    result = tt.str_to_date(text)
    assert result == expected and result.tzinfo is UTC
    # fromisoformat accepts the same text when it is in its own dialect.
    if "\u2212" not in text and len(text.partition(".")[2].rstrip("Zz+-:0123456789")) == 0:
        try:
            iso = datetime.fromisoformat(text)
        except ValueError:
            pass
        else:
            assert iso.astimezone(UTC) == result
    assert tt.str_to_date(tt.date_to_str(result)) == result


ALPHABET = "0123456789-:T tZz+.\u2212x\u00e9"


@settings(max_examples=3000, deadline=None)
@given(st.one_of(st.text(ALPHABET, max_size=40), rfc3339_texts().flatmap(
    lambda case: st.tuples(st.just(case[0]), st.integers(0, 40), st.text(ALPHABET, max_size=3))
).map(lambda t: t[0][: t[1]] + t[2] + t[0][t[1] + 1:])))
def test_mutated_texts_raise_only_specified_errors(text):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        try:
            result = tt.str_to_date(text)
        except RuntimeError as e:
            assert type(e) is RuntimeError and e.args[0] in PARSE_MESSAGES
        except ValueError as e:
            assert "year" in str(e)
        else:
            assert result.tzinfo is UTC


@settings(max_examples=2000, deadline=None)
@given(st.datetimes(min_value=datetime(1, 1, 1), max_value=datetime(9999, 12, 31, 23, 59, 59, 999999)))
def test_format_round_trip_and_matches_isoformat(naive):
    value = naive.replace(tzinfo=UTC)
    text = tt.date_to_str(value)
    assert tt.str_to_date(text) == value
    assert datetime.fromisoformat(text) == value


@settings(max_examples=2000, deadline=None)
@given(st.integers(-62_135_596_800_000, 253_402_300_799_999))
def test_ms_to_date_matches_integer_arithmetic(ms):
    assert tt.ms_to_date(ms) == datetime(1970, 1, 1, tzinfo=UTC) + timedelta(milliseconds=ms)


@settings(max_examples=2000, deadline=None)
@given(st.datetimes(min_value=datetime(1677, 9, 22), max_value=datetime(2262, 4, 10)))
def test_truncate_matches_replace(naive):
    value = naive.replace(tzinfo=UTC)
    assert tt.truncate_to_day(value) == value.replace(hour=0, minute=0, second=0, microsecond=0)
