"""The fixed inputs every benchmark runs on: generated from one seed, so two
runs (and the timed and the instruction-counted runs) see the same texts."""

from __future__ import annotations

import random
from datetime import datetime, timedelta, timezone

SEED = 20240102
COUNT = 1200  # texts per kind ("Z" and offset)

# Offsets that real feeds carry, both signs, including the zero offset written out.
OFFSETS = ["+00:00", "+01:00", "+02:00", "+03:00", "+05:30", "+05:45", "+08:00", "+09:00", "+10:00",
           "+12:45", "+14:00", "-01:00", "-03:00", "-03:30", "-05:00", "-06:00", "-07:00", "-08:00",
           "-09:30", "-10:00", "-12:00"]

# no fraction, milliseconds, microseconds, nanoseconds
FRACTION_DIGITS = [0, 3, 6, 9]


def _text(rng: random.Random, offset: str) -> str:
    year = rng.randint(2000, 2035)
    month = rng.randint(1, 12)
    day = rng.randint(1, 28)
    hour, minute, second = rng.randint(0, 23), rng.randint(0, 59), rng.randint(0, 59)
    digits = FRACTION_DIGITS[rng.randrange(len(FRACTION_DIGITS))]
    fraction = "" if digits == 0 else "." + "".join(str(rng.randrange(10)) for _ in range(digits))
    return f"{year:04d}-{month:02d}-{day:02d}T{hour:02d}:{minute:02d}:{second:02d}{fraction}{offset}"


def _texts(kind: str) -> list[str]:
    rng = random.Random(f"{SEED}-{kind}")
    if kind == "z":
        return [_text(rng, "Z") for _ in range(COUNT)]
    return [_text(rng, OFFSETS[rng.randrange(len(OFFSETS))]) for _ in range(COUNT)]


Z_TEXTS: list[str] = _texts("z")
OFFSET_TEXTS: list[str] = _texts("offset")

# UTC datetimes with a mix of no fraction, whole milliseconds and microseconds.
_EPOCH = datetime(1970, 1, 1, tzinfo=timezone.utc)


def _datetimes() -> list[datetime]:
    rng = random.Random(f"{SEED}-datetimes")
    out = []
    for i in range(COUNT):
        ms = rng.randint(946_684_800_000, 2_082_758_399_999)  # 2000 .. 2035
        micros = (0, rng.randrange(1000) * 1000, rng.randrange(1_000_000))[i % 3]
        out.append((_EPOCH + timedelta(milliseconds=ms)).replace(microsecond=micros))
    return out


DATETIMES: list[datetime] = _datetimes()


def _millis() -> list[int]:
    rng = random.Random(f"{SEED}-millis")
    return [rng.randint(946_684_800_000, 2_082_758_399_999) for _ in range(COUNT)]


MILLIS: list[int] = _millis()


def fraction_digits(text: str) -> int:
    """How many fraction digits a generated text has."""
    if "." not in text:
        return 0
    tail = text.split(".", 1)[1]
    return len(tail) - len(tail.lstrip("0123456789"))
