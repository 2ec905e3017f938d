"""Hostile Python objects at every conversion: the caller gets the documented exception or result."""
import sys
from datetime import datetime, timedelta, timezone, tzinfo

import pytest

import tavik.tavik as tt
from hooks import Index, Real

UTC = timezone.utc
NOT_IMPLEMENTED = "not yet implemented"


class MyTypeError(TypeError):
    pass


class Unprintable:
    """An argument of TypeError(...) whose str() fails."""

    def __str__(self):
        raise KeyError("no text")


class RaisesOnIndex:
    def __init__(self, exc):
        self.exc = exc

    def __index__(self):
        raise self.exc


class IntIgnoringHooks(int):
    """Stored value is what counts; the hooks must never run."""

    def __index__(self):
        raise AssertionError("__index__ of an int subclass")

    def __int__(self):
        raise AssertionError("__int__ of an int subclass")


class FloatIgnoringHooks(float):
    def __float__(self):
        raise AssertionError("__float__ of a float subclass")


def chained_type_error():
    exc = TypeError("chained")
    exc.__cause__ = KeyError("root")
    exc.__context__ = ValueError("context")
    return exc


def outcome(func, *args, **kwargs):
    """(exception type, message) or ("ok", result)."""
    try:
        return "ok", func(*args, **kwargs)
    except BaseException as exc:  # KeyboardInterrupt and SystemExit must come back too
        return type(exc), str(exc)


# --- integers: ms_to_date's ts and safe_float's decimals ----------------------------------------

INTEGER_CASES = [
    (RaisesOnIndex(MyTypeError("sub")), MyTypeError, "sub"),
    (RaisesOnIndex(TypeError("exact")), TypeError, "argument '{p}': exact"),
    (RaisesOnIndex(TypeError()), TypeError, "argument '{p}': "),
    (RaisesOnIndex(TypeError(1, 2)), TypeError, "argument '{p}': (1, 2)"),
    (RaisesOnIndex(TypeError("lone \udc80")), TypeError, "argument '{p}': lone \ufffd"),
    (RaisesOnIndex(TypeError(Unprintable())), TypeError, "argument '{p}': <unprintable TypeError object>"),
    (RaisesOnIndex(ValueError("bad index")), ValueError, "bad index"),
    (RaisesOnIndex(OverflowError("own overflow")), OverflowError, "own overflow"),
    (RaisesOnIndex(MemoryError("pretend")), MemoryError, "pretend"),
    (RaisesOnIndex(KeyboardInterrupt("stop")), KeyboardInterrupt, "stop"),
    (Index("7"), TypeError, "argument '{p}': __index__ returned non-int (type str)"),
    (Index(10**30), OverflowError, "Python int too large to convert to C long"),
    pytest.param(10**10000, OverflowError, "Python int too large to convert to C long", id="10**10000"),
    pytest.param(-(10**10000), OverflowError, "Python int too large to convert to C long", id="-10**10000"),
    (2**64, OverflowError, "Python int too large to convert to C long"),
]


@pytest.mark.parametrize("arg, exc_type, message", INTEGER_CASES)
def test_hostile_ms_to_date_timestamps(arg, exc_type, message):
    hook, sys.unraisablehook = sys.unraisablehook, lambda unraisable: None
    try:
        assert outcome(tt.ms_to_date, arg) == (exc_type, message.format(p="ts"))
    finally:
        sys.unraisablehook = hook


@pytest.mark.parametrize("arg, exc_type, message", INTEGER_CASES)
def test_hostile_safe_float_decimals(arg, exc_type, message):
    hook, sys.unraisablehook = sys.unraisablehook, lambda unraisable: None
    try:
        assert outcome(tt.safe_float, 1.0, arg) == (exc_type, message.format(p="decimals"))
    finally:
        sys.unraisablehook = hook


@pytest.mark.parametrize("arg, ms", [(IntIgnoringHooks(5), 5), (IntIgnoringHooks(-1), -1), (Index(-86_400_000), -86_400_000)])
def test_int_subclasses_are_read_by_their_stored_value(arg, ms):
    assert tt.ms_to_date(arg) == datetime(1970, 1, 1, tzinfo=UTC) + timedelta(milliseconds=ms)


def test_conversion_error_keeps_only_the_cause_of_the_caught_error():
    with pytest.raises(TypeError) as info:
        tt.ms_to_date(RaisesOnIndex(chained_type_error()))
    err = info.value
    assert str(err) == "argument 'ts': chained"
    assert type(err.__cause__) is KeyError and err.__cause__.args == ("root",)


# --- floats: safe_float's value ----------------------------------------------------------------

@pytest.mark.parametrize(
    "arg, exc_type, message",
    [
        (Real(1), TypeError, "argument 'value': Real.__float__ returned non-float (type int)"),
        (Real("1.0"), TypeError, "argument 'value': Real.__float__ returned non-float (type str)"),
        (Index(10**400), OverflowError, "int too large to convert to float"),
        (-(10**400), OverflowError, "int too large to convert to float"),
        (RaisesOnIndex(MyTypeError("via index")), MyTypeError, "via index"),
        (RaisesOnIndex(TypeError("via index")), TypeError, "argument 'value': via index"),
        (FloatIgnoringHooks(2.5), SystemError, NOT_IMPLEMENTED),
        (IntIgnoringHooks(3), SystemError, NOT_IMPLEMENTED),
        (Index(2**53), SystemError, NOT_IMPLEMENTED),
    ],
)
def test_hostile_safe_float_values(arg, exc_type, message, capfd):
    assert outcome(tt.safe_float, arg, IntIgnoringHooks(2)) == (exc_type, message)
    report = capfd.readouterr().err
    assert (NOT_IMPLEMENTED in report) is (exc_type is SystemError)


# --- texts and keyword names ---------------------------------------------------------------------

class TextOverridingEverything(str):
    def __str__(self):
        return "1999-01-01T00:00:00Z"

    def encode(self, *args, **kwargs):
        raise AssertionError("encode")

    def __len__(self):
        return 0

    def __getitem__(self, index):
        raise AssertionError("__getitem__")


def test_str_subclass_argument_is_read_by_its_characters():
    assert tt.str_to_date(TextOverridingEverything("2024-01-02T03:04:05Z")) == datetime(2024, 1, 2, 3, 4, 5, tzinfo=UTC)
    assert tt.str_to_date(s=TextOverridingEverything("2024-01-02 03:04:05+01:00")) == datetime(
        2024, 1, 2, 2, 4, 5, tzinfo=UTC
    )


def test_str_subclass_with_a_lone_surrogate_is_an_encoding_error():
    with pytest.raises(UnicodeEncodeError):
        tt.str_to_date(TextOverridingEverything("2024-01-02T03:04:05\ud800Z"))


class KeyWithStr(str):
    def __new__(cls, text, shown):
        key = super().__new__(cls, text)
        key.shown = shown
        return key

    def __str__(self):
        return self.shown


class KeyStrRaises(str):
    def __str__(self):
        raise KeyError("no str")


class KeyStrNotText(str):
    def __str__(self):
        return 5


class KeyEqualsEverything(str):
    def __eq__(self, other):
        return True

    __hash__ = str.__hash__


@pytest.mark.parametrize(
    "func, positional, keyword, shown",
    [
        (tt.safe_float, (1.0, 2), "t\udcff", "t\ufffd"),
        (tt.safe_float, (1.0, 2), "\ud800", "\ufffd"),
        (tt.str_to_date, (), "s\ud800", "s\ufffd"),
        (tt.date_to_str, (), "d\udfff\ud800x", "d\ufffd\ufffdx"),
        (tt.ms_to_date, (), KeyWithStr("ts_", "shown-instead"), "shown-instead"),
        (tt.ms_to_date, (), KeyWithStr("x", "with \udc80 surrogate"), "with \ufffd surrogate"),
        (tt.ms_to_date, (), KeyStrRaises("own\udc80chars"), "own\ufffdchars"),
        (tt.ms_to_date, (), KeyStrNotText("plain"), "plain"),
        (tt.ms_to_date, (), KeyEqualsEverything("nope"), "nope"),
        (tt.truncate_to_day, (), "DATE", "DATE"),
        (tt.truncate_to_day, (), "date\x00", "date\x00"),
    ],
)
def test_unknown_keyword_names_are_written_exactly(func, positional, keyword, shown):
    # The named parameter is given too, so only the stray keyword is wrong.
    kwargs = {keyword: 0}
    with pytest.raises(TypeError) as info:
        func(*positional, **kwargs)
    assert type(info.value) is TypeError
    message = str(info.value)
    expected = f"{func.__name__}() got an unexpected keyword argument '{shown}'"
    # Equal and hashing alike: the replacement text is stored like any other str.
    assert message == expected and hash(message) == hash(expected)


def test_keyword_matching_uses_the_characters_not_the_subclass_methods():
    class Key(str):
        def __eq__(self, other):
            return False

        __hash__ = str.__hash__

    assert tt.ms_to_date(**{Key("ts"): 0}) == datetime(1970, 1, 1, tzinfo=UTC)
    with pytest.raises(TypeError, match=r"^ms_to_date\(\) got multiple values for argument 'ts'$"):
        tt.ms_to_date(0, **{Key("ts"): 0})


# --- datetimes and their tzinfo ------------------------------------------------------------------

class BadBool:
    def __init__(self, exc):
        self.exc = exc

    def __bool__(self):
        raise self.exc


class Zone(tzinfo):
    """A tzinfo whose __eq__ answers `answer` (a callable of the other operand)."""

    def __init__(self, answer):
        self.answer = answer

    def __eq__(self, other):
        return self.answer(other)

    __hash__ = object.__hash__

    def utcoffset(self, dt):
        raise AssertionError("utcoffset must never be called")


def _raise(exc):
    def answer(other):
        raise exc

    return answer


@pytest.mark.parametrize("func, p", [(tt.date_to_str, "d"), (tt.truncate_to_day, "date")])
@pytest.mark.parametrize(
    "answer, exc_type, message",
    [
        (lambda other: NotImplemented, ValueError, "expected datetime.timezone.utc"),
        (lambda other: 0, ValueError, "expected datetime.timezone.utc"),
        (lambda other: [], ValueError, "expected datetime.timezone.utc"),
        (lambda other: "", ValueError, "expected datetime.timezone.utc"),
        (lambda other: BadBool(TypeError("exact bool")), TypeError, "argument '{p}': exact bool"),
        (lambda other: BadBool(MyTypeError("sub bool")), MyTypeError, "sub bool"),
        (lambda other: BadBool(TypeError(Unprintable())), TypeError, "argument '{p}': <unprintable TypeError object>"),
        (_raise(MyTypeError("sub eq")), MyTypeError, "sub eq"),
        (_raise(TypeError(Unprintable())), TypeError, "argument '{p}': <unprintable TypeError object>"),
        (_raise(RecursionError("deep")), RecursionError, "deep"),
        (_raise(KeyboardInterrupt("stop")), KeyboardInterrupt, "stop"),
    ],
)
def test_hostile_tzinfo_equality(func, p, answer, exc_type, message):
    value = datetime(2024, 1, 2, 3, 4, 5, tzinfo=Zone(answer))
    hook, sys.unraisablehook = sys.unraisablehook, lambda unraisable: None
    try:
        assert outcome(func, value) == (exc_type, message.format(p=p))
    finally:
        sys.unraisablehook = hook


@pytest.mark.parametrize("answer", [lambda other: [0], lambda other: 1, lambda other: other is UTC])
def test_truthy_tzinfo_equality_accepts_the_stored_wall_clock(answer):
    value = datetime(2024, 1, 2, 23, 4, 5, 600, tzinfo=Zone(answer))
    assert tt.date_to_str(value) == "2024-01-02T23:04:05.000600+00:00"
    assert tt.truncate_to_day(value) == datetime(2024, 1, 2, tzinfo=UTC)


class LyingDateTime(datetime):
    """Every Python-level attribute lies; only the stored fields are true."""

    year = 1999
    month = 12
    microsecond = 7

    @property
    def tzinfo(self):
        return None

    @property
    def day(self):
        raise AssertionError("day")

    def utcoffset(self):
        return timedelta(hours=5)

    def isoformat(self, *args, **kwargs):
        raise AssertionError("isoformat")

    def __eq__(self, other):
        raise AssertionError("__eq__")

    __hash__ = datetime.__hash__

    def __getattribute__(self, name):
        if name in ("hour", "minute", "second", "fold"):
            raise AssertionError(name)
        return super().__getattribute__(name)


class LooksLikeADateTime:
    __class__ = datetime
    year, month, day = 2024, 1, 2
    tzinfo = UTC


@pytest.mark.parametrize(
    "value, text, day",
    [
        (LyingDateTime(2024, 1, 2, 3, 4, 5, tzinfo=UTC), "2024-01-02T03:04:05+00:00", (2024, 1, 2)),
        (LyingDateTime(1677, 9, 21, 0, 12, 43, 145225, tzinfo=UTC), "1677-09-21T00:12:43.145225+00:00", (1677, 9, 21)),
        (LyingDateTime(2262, 4, 11, 23, 47, 16, 854775, fold=1, tzinfo=UTC), "2262-04-11T23:47:16.854775+00:00", (2262, 4, 11)),
    ],
)
def test_datetime_subclass_attributes_are_ignored(value, text, day):
    assert tt.date_to_str(value) == text
    result = tt.truncate_to_day(value)
    assert type(result) is datetime and result.tzinfo is UTC
    assert (result.year, result.month, result.day, result.hour, result.microsecond) == (*day, 0, 0)


def test_naive_subclass_is_refused_even_when_its_tzinfo_attribute_lies():
    class ClaimsUtc(datetime):
        tzinfo = UTC

    with pytest.raises(TypeError, match=r"^argument 'd': expected a datetime with non-None tzinfo$"):
        tt.date_to_str(ClaimsUtc(2024, 1, 2))


@pytest.mark.parametrize("func, p", [(tt.date_to_str, "d"), (tt.truncate_to_day, "date")])
def test_objects_only_claiming_to_be_datetimes_are_refused(func, p):
    assert outcome(func, LooksLikeADateTime()) == (
        TypeError,
        f"argument '{p}': 'LooksLikeADateTime' object cannot be converted to 'PyDateTime'",
    )


@pytest.mark.parametrize(
    "func, p, target",
    [(tt.date_to_str, "d", "PyDateTime"), (tt.truncate_to_day, "date", "PyDateTime"), (tt.str_to_date, "s", "PyString")],
)
@pytest.mark.parametrize("qualname, shown", [("Outer.Inner", "Outer.Inner"), ("odd\udc80name", "odd\ufffdname"), ("名前", "名前")])
def test_conversion_error_names_the_qualified_type_safely(func, p, target, qualname, shown):
    cls = type("Anything", (), {})
    cls.__qualname__ = qualname
    assert outcome(func, cls()) == (TypeError, f"argument '{p}': '{shown}' object cannot be converted to '{target}'")


# --- enumerations against hostile operands -------------------------------------------------------

@pytest.mark.parametrize(
    "other, equal",
    [
        (Index(2), True),
        (Index(10**30), False),
        (Index("2"), False),
        (RaisesOnIndex(MyTypeError("x")), False),
        (RaisesOnIndex(KeyError("x")), False),
        (IntIgnoringHooks(2), True),
        (IntIgnoringHooks(3), False),
    ],
)
def test_enum_equality_never_raises_for_hostile_operands(other, equal):
    assert (tt.RunMode.Live == other) is equal
    assert (tt.RunMode.Live != other) is (not equal)
