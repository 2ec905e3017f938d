"""What the table of calls cannot state: exception chaining, warnings and unraisable reports, the
report of an internal failure, the clock, and the conversions against independent oracles."""
import os
import re
import subprocess
import sys
import textwrap
import time
import warnings
from datetime import datetime, timedelta, timezone

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import tavik.tavik as tt
from hooks import Hostile, Unprintable

UTC = timezone.utc
EPOCH = datetime(1970, 1, 1, tzinfo=UTC)
LEAP_WARNING = "ignored leap-second, `datetime` does not support leap-seconds"


def raised(func, *args):
    with pytest.raises(BaseException) as info:
        func(*args)
    return info.value


@pytest.mark.parametrize("cause", [None, ValueError("root")])
def test_prefixed_type_error_chains_like_the_interpreter(cause):
    """Raised inside a handler, the replacement has the handled exception as its context (as
    int("x") would) and takes over the caught exception's cause."""
    original = TypeError("inner")
    original.__cause__ = cause
    handled = KeyError("handled")
    try:
        raise handled
    except KeyError:
        err = raised(tt.safe_float, Hostile(lambda: original), 0)
    assert (type(err), str(err)) == (TypeError, "argument 'value': inner")
    assert err.__cause__ is cause and err.__context__ is handled


def test_reports_go_to_the_unraisable_hook(monkeypatch):
    seen = []
    monkeypatch.setattr(sys, "unraisablehook", seen.append)
    # A TypeError whose text cannot be made: the failure of str() is reported.
    err = raised(tt.ms_to_date, Hostile(TypeError, Unprintable()))
    assert str(err) == "argument 'ts': <unprintable TypeError object>"
    assert [type(u.exc_value) for u in seen] == [KeyError]
    # A leap-second warning turned into an error: the value still comes back, the warning is reported.
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        result = tt.str_to_date("2016-12-31T23:59:60Z")
    assert result == datetime(2016, 12, 31, 23, 59, 59, tzinfo=UTC)
    assert isinstance(seen[1].exc_value, UserWarning) and seen[1].object is result and len(seen) == 2
    with pytest.warns(UserWarning) as record:
        tt.str_to_date("2016-12-31T23:59:60.5+01:00")
    assert [(w.category, str(w.message)) for w in record] == [(UserWarning, LEAP_WARNING)]


def test_internal_failure_report(capfd):
    assert str(raised(tt.safe_float, 1.0, 1)) == "not yet implemented"
    report = capfd.readouterr().err
    assert re.fullmatch(r"tavik: internal failure in thread '<unnamed>' at src/helpers/functions\.cpp:\d+:\d+:\n"
                        r"not yet implemented\n", report), report


def test_clock():
    for _ in range(100):
        low = time.time_ns() // 1_000_000
        ms = tt.now_ms()
        d = tt.now_date()
        after = tt.now_ms()
        high = time.time_ns() // 1_000_000
        assert low <= ms <= after <= high and type(ms) is int
        assert d.tzinfo is UTC and ms <= (d - EPOCH) // timedelta(milliseconds=1) <= after


def run(code, **env):
    return subprocess.run([sys.executable, "-W", "error", "-c", textwrap.dedent(code)], capture_output=True,
                          text=True, timeout=120, env=dict(os.environ, **env))


def test_datetime_api_is_imported_on_first_use_and_its_failure_is_internal():
    result = run("""
        import sys, tavik.tavik as tt
        print('datetime' in sys.modules, '_datetime' in sys.modules)
        sys.modules["datetime"] = None
        try:
            tt.ms_to_date(0)
        except SystemError as e:
            print(str(e).startswith("failed to import `datetime` C API: "))
        """)
    assert result.stdout.split() == ["False", "False", "True"], result.stderr
    assert "tavik: internal failure in thread '<unnamed>' at src/helpers/datetime.cpp:" in result.stderr


@pytest.mark.parametrize("setting, appendix", [(None, False), ("0", False), ("1", True), ("full", True)])
def test_backtrace_switch(setting, appendix):
    env = {k: v for k, v in os.environ.items() if k != "TAVIK_BACKTRACE"}
    if setting is not None:
        env["TAVIK_BACKTRACE"] = setting
    code = "import tavik.tavik as tt\nfor _ in range(2):\n try: tt.str_to_date('')\n except RuntimeError as e: print(repr(e.args))"
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=env)
    lines = result.stdout.splitlines()
    assert len(lines) == 2, result.stderr
    start = "('premature end of input\\n\\nStack backtrace:\\n" if appendix else "('premature end of input',)"
    assert all(line.startswith(start) for line in lines) and (appendix or lines[0] == start), lines


@pytest.mark.skipif(sys.platform != "linux", reason="byte file names")
def test_backtrace_of_a_program_named_in_bytes_that_are_not_utf8(tmp_path):
    """The frames name the program as it was started: a name that is no UTF-8 must still give
    the RuntimeError and its text, never an internal failure."""
    program = os.path.join(os.fsencode(tmp_path), b"python\xff")
    os.symlink(os.path.realpath(sys.executable), program)
    code = "import tavik.tavik as tt\ntry: tt.str_to_date('')\nexcept BaseException as e: print(type(e).__name__, ascii(e.args))"
    site = os.path.dirname(os.path.dirname(tt.__file__))
    env = dict(os.environ, TAVIK_BACKTRACE="1", PYTHONPATH=site)
    result = subprocess.run([program, "-c", code], capture_output=True, text=True, env=env)
    assert result.stdout.startswith("RuntimeError ('premature end of input\\n\\nStack backtrace:\\n"), result.stderr
    assert "python\\\\xff(" in result.stdout


# --- against an independent oracle: Python's own datetime arithmetic ----------------------------

@st.composite
def rfc3339_texts(draw):
    """A text in any accepted spelling, and the UTC datetime Python computes for it."""
    year, month, day = draw(st.integers(1, 9999)), draw(st.integers(1, 12)), draw(st.integers(1, 28))
    hour, minute, second = draw(st.integers(0, 23)), draw(st.integers(0, 59)), draw(st.integers(0, 59))
    digits = draw(st.text("0123456789", max_size=12))
    offset = draw(st.integers(-(23 * 60 + 59), 23 * 60 + 59))
    sign = "+" if offset >= 0 else draw(st.sampled_from(["-", "\u2212"]))
    zone = draw(st.sampled_from(["Z", "z", "+00:00"])) if offset == 0 else f"{sign}{abs(offset) // 60:02}:{abs(offset) % 60:02}"
    fraction = "." + digits if digits else ""
    text = f"{year:04}-{month:02}-{day:02}{draw(st.sampled_from('Tt '))}{hour:02}:{minute:02}:{second:02}{fraction}{zone}"
    micro = int((digits + "000000")[:6])
    local = datetime(year, month, day, hour, minute, second, micro, tzinfo=timezone(timedelta(minutes=offset)))
    return text, local


@settings(max_examples=1500, deadline=None)
@given(rfc3339_texts())
def test_parse_matches_python(case):
    text, local = case
    try:
        expected = local.astimezone(UTC)
    except OverflowError:  # year 0 or 10000
        with pytest.raises(ValueError, match="year"):
            tt.str_to_date(text)
        return
    result = tt.str_to_date(text)
    assert result == expected and result.tzinfo is UTC
