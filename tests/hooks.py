"""The suite's hostile and lying objects.  Exceptions are made afresh on each raise (one instance
raised again grows its __traceback__, a leak of the test's making), never by a lambda: CPython
3.13.0 can crash when an allocation fails in such a nested frame, and the OOM check drives them."""
import ctypes
from datetime import datetime, timedelta, timezone, tzinfo

UTC = timezone.utc
def failure_report(source=r"[\w/]+"):
    """The head of an internal failure's report on stderr, made in `source` (a pattern); its message follows."""
    return rf"tavik: internal failure in thread '<unnamed>' at src/{source}\.cpp:\d+:\d+:\n"


class Number:
    """Answers __index__ and __float__ with `value`, whatever its type; counts the answers."""

    def __init__(self, value):
        self.value, self.reads = value, 0

    def __index__(self):
        self.reads += 1
        return self.value

    __float__ = __index__


class Hostile:
    """Raises kind(*args) from every number protocol and from bool()."""

    def __init__(self, kind, *args):
        self.kind, self.args = kind, args

    def _raise(self, *ignored):
        raise self.kind(*self.args)

    __float__ = __index__ = __bool__ = _raise


class Unprintable:
    def __str__(self):
        raise KeyError("no text")


class MyTypeError(TypeError):
    pass


class IntIgnoringHooks(int):
    """The stored value is what counts; the hooks must never run."""

    def __index__(self):
        raise AssertionError("__index__ of an int subclass")

    __int__ = __index__


class FloatIgnoringHooks(float):
    def __float__(self):
        raise AssertionError("__float__ of a float subclass")


class Text(str):
    """A str subclass whose methods all lie: only its characters count."""

    def __str__(self):
        return "1999-01-01T00:00:00Z"

    def __len__(self):
        return 0


class Key(str):
    """A keyword name whose str() is shown() and whose == answers `equal` (when given)."""

    def __new__(cls, text, shown=None, equal=None):
        key = super().__new__(cls, text)
        key.shown, key.equal = shown, equal
        return key

    def __str__(self):
        return self.shown() if self.shown else str.__str__(self)

    def __eq__(self, other):
        return str.__eq__(self, other) if self.equal is None else self.equal

    __hash__ = str.__hash__


def raiser(kind, *args):
    def answer(*ignored):
        raise kind(*args)

    return answer


class Zone(tzinfo):
    """A tzinfo whose == is answer(); its offset must never be asked."""

    def __init__(self, answer):
        self.answer = answer

    def __eq__(self, other):
        return self.answer()

    __hash__ = object.__hash__

    def utcoffset(self, dt):
        raise AssertionError("utcoffset must never be called")


class LyingDateTime(datetime):
    """Every Python-level attribute lies; only the stored fields are true."""

    year, month, day, hour, microsecond, tzinfo = 1999, 12, 7, 5, 7, None

    def utcoffset(self):
        return timedelta(hours=5)


class ClaimsUtc(datetime):
    tzinfo = UTC


class LooksLikeADateTime:
    __class__ = datetime
    year, month, day = 2024, 1, 2
    tzinfo = UTC


def named(qualname):
    """An instance of a class whose __qualname__ is `qualname`."""
    cls = type("Anything", (), {})
    cls.__qualname__ = qualname
    return cls()


def corrupted(field, value):
    """2024-02-28 23:59:59 UTC with `value` stored in `field`, as no constructor would allow."""
    d = datetime(2024, 2, 28, 23, 59, 59, tzinfo=UTC)
    # The fields follow the object header (16 bytes, 32 on a free-threaded build), a hash and a flag byte.
    offset, size = {"year": (0, 2), "month": (2, 1), "day": (3, 1), "hour": (4, 1), "minute": (5, 1),
                    "second": (6, 1), "microsecond": (7, 3)}[field]
    ctypes.memmove(id(d) + object.__basicsize__ + 9 + offset, value.to_bytes(size, "big"), size)
    return d


def corrupted_enum(member, value):
    """`member` (a fresh instance, never a class attribute) holding `value`, which no member has."""
    ctypes.c_uint8.from_address(id(member) + object.__basicsize__).value = value
    return member
