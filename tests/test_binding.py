"""What the table of calls cannot state: exception chaining, warnings and unraisable reports, the
report of an internal failure, the clock, the lazy datetime import, the backtrace switch."""
import json
import os
import platform
import re
import subprocess
import sys
import textwrap
import warnings
from datetime import datetime, timezone

import pytest

import tavik.tavik as tt
from hooks import Hostile, Unprintable, failure_report
from test_hardening_calls import in_child, year

# glibc and macOS have a stack-trace facility; musl has none, and there nothing is appended.
BACKTRACES = sys.platform == "darwin" or platform.libc_ver()[0] == "glibc"


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
    assert err.__cause__ is cause and err.__context__ is handled and err.__suppress_context__ is (cause is not None)


def test_reports(monkeypatch):
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
    assert result == datetime(2016, 12, 31, 23, 59, 59, tzinfo=timezone.utc)
    assert isinstance(seen[1].exc_value, UserWarning) and seen[1].object is result and len(seen) == 2
    with pytest.warns(UserWarning) as record:
        tt.str_to_date("2016-12-31T23:59:60.5+01:00")
    message = "ignored leap-second, `datetime` does not support leap-seconds"
    assert [(w.category, str(w.message)) for w in record] == [(UserWarning, message)]


def test_reports_cannot_hang_a_process_that_drains_its_own_stderr(testing):
    """fd 2 a pipe that a thread of the process drains, as capture helpers do; sys.stderr usable,
    None, or raising: every report arrives whole and every call ends in SystemError."""
    script = """
        import faulthandler, os, threading, tavik.tavik as tt
        saved, (read_end, write_end) = os.dup(2), os.pipe()
        faulthandler.dump_traceback_later(60, exit=True, file=saved)  # a hang fails, showing where
        os.dup2(write_end, 2)
        drained = []
        reader = threading.Thread(target=lambda: drained.extend(iter(lambda: os.read(read_end, 1 << 16), b"")))
        reader.start()
        class Broken:
            write = table.raiser(OSError, "full")
        outcomes = set()
        for sys.stderr in [sys.stderr, None, Broken()]:
            outcomes |= {table.outcome(tt.safe_float, 1.0, 2) for _ in range(5000)}
        sys.stderr = sys.__stderr__
        os.dup2(saved, 2)
        os.close(write_end)
        reader.join()
        print(json.dumps([sorted(outcomes), b"".join(drained).decode()]))
        """
    outcomes, drained = in_child(testing, script)[0]
    assert outcomes == [["SystemError", "not yet implemented"]]
    assert re.fullmatch(f"(?:{failure_report('helpers/functions')}not yet implemented\n){{15000}}", drained)


# Clock readings the system should never give, and the two ends of the range it may.
FAKE_CLOCK = [
    ("fail", "failed to read the system clock: Invalid argument"),
    ("-1 0", "system time before Unix epoch: 1.000000000s"),
    ("-2 500000000", "system time before Unix epoch: 1.500000000s"),
    ("-9223372036854775808 1", "system time before Unix epoch: 9223372036854775807.999999999s"),
    ("0 1000000000", "system clock gave a nanosecond count outside 0..999999999"),
    ("0 -1", "system clock gave a nanosecond count outside 0..999999999"),
    ("8210266876800 0", "system time beyond the year 262142"),
    ("8210266876799 999999999", (["ok", 8210266876799999], list(year(262142)))),
    ("0 0", (["ok", 0], ["ok", "1970-01-01 00:00:00+00:00"])),
    ("86399 999999999", (["ok", 86399999], ["ok", "1970-01-01 23:59:59.999999+00:00"])),
]


@pytest.mark.skipif(sys.platform != "linux", reason="LD_PRELOAD")
def test_clock_readings_out_of_range_are_internal_failures(testing):
    """The clock is read through a stand-in preloaded before the C library."""
    shim = os.path.join(os.path.dirname(os.path.dirname(testing.__file__)), "libfake_clock.so")
    script = """
        import os, tavik.tavik as tt
        rows = []
        for reading in json.loads(sys.argv[1]):
            os.environ["TAVIK_FAKE_CLOCK"] = reading
            rows.append([table.outcome(tt.now_ms), table.outcome(tt.now_date)])
        print(json.dumps(rows, default=str))
        """
    # After any runtime already preloaded (a sanitizer's must come first).
    preload = " ".join(filter(None, [os.environ.get("LD_PRELOAD"), shim]))
    rows, stderr = in_child(testing, script, json.dumps([reading for reading, _ in FAKE_CLOCK]), LD_PRELOAD=preload)
    failures = [want for _, want in FAKE_CLOCK if isinstance(want, str)]
    assert rows == [[["SystemError", want]] * 2 if want in failures else list(want) for _, want in FAKE_CLOCK]
    assert re.findall(failure_report("helpers/functions") + "(.*)\n", stderr) == [m for m in failures for _ in range(2)]


def test_datetime_api_is_imported_on_first_use_and_its_failure_is_internal():
    result = subprocess.run([sys.executable, "-c", textwrap.dedent("""
        import sys, tavik.tavik as tt
        print('datetime' in sys.modules, '_datetime' in sys.modules)
        sys.modules["datetime"] = None
        try:
            tt.ms_to_date(0)
        except SystemError as e:
            print(e)
        """)], capture_output=True, text=True)
    message = 'failed to import `datetime` C API: ImportError: PyCapsule_Import could not import module "datetime"'
    assert result.stdout.splitlines() == ["False False", message], result.stderr
    assert re.search(failure_report("helpers/datetime") + re.escape(message), result.stderr)


@pytest.mark.parametrize("setting, program", [(None, ""), ("0", ""), ("1", ""), ("full", ""), ("1", b"python\xff")])
def test_backtrace_switch(setting, program, tmp_path):
    """Any setting but 0 appends the frames, which name the program as it was started: a name
    that is no UTF-8 must still give the RuntimeError and its text, never an internal failure."""
    env = {k: v for k, v in os.environ.items() if k != "TAVIK_BACKTRACE"}
    env.update({"TAVIK_BACKTRACE": setting} if setting else {})
    env["PYTHONPATH"] = os.path.dirname(os.path.dirname(tt.__file__))
    executable = sys.executable
    if program:
        executable = os.path.join(os.fsencode(tmp_path), program)
        os.symlink(os.path.realpath(sys.executable), executable)
    code = textwrap.dedent("""
        import json, os, tavik.tavik as tt
        def error(depth):  # raised under `depth` calls that each go through C (map)
            if depth:
                return next(map(error, [depth - 1]))
            try:
                tt.str_to_date("")
            except RuntimeError as e:
                return e.args[0]
        first = error(0)
        os.environ["TAVIK_BACKTRACE"] = "0" if "Stack" in first else "1"  # read at the first error, then kept
        print(json.dumps([first, error(200)]))
        """)
    first, deep = json.loads(subprocess.run([executable, "-c", code], capture_output=True, text=True, env=env).stdout)
    if setting in (None, "0") or not BACKTRACES:
        assert first == deep == "premature end of input"
    else:
        assert first.startswith("premature end of input\n\nStack backtrace:\n   0: ")
        assert first.endswith("]") or sys.platform == "darwin"  # glibc's frames end in "[address]"
        assert deep.startswith(first[:40]) and len(deep.split("Stack backtrace:\n")[1].splitlines()) == 64
        assert not program or "python\\xff" in first
