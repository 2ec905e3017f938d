"""The calling path shared by every function: argument matching, conversions, error reporting."""
import re
import sys

import pytest

import tavik.tavik as tt
from hooks import Index, Real

NOT_IMPLEMENTED = "not yet implemented"


def call_error(func, *args, **kwargs):
    with pytest.raises(BaseException) as info:
        func(*args, **kwargs)
    return info.value


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((), {}, "safe_float() missing 2 required positional arguments: 'value' and 'decimals'"),
        ((1.0,), {}, "safe_float() missing 1 required positional argument: 'decimals'"),
        ((), {"decimals": 1}, "safe_float() missing 1 required positional argument: 'value'"),
        ((), {"value": 1.0}, "safe_float() missing 1 required positional argument: 'decimals'"),
        ((1.0, 2, 3), {}, "safe_float() takes 2 positional arguments but 3 were given"),
        ((1.0, 2, 3), {"bogus": 1}, "safe_float() takes 2 positional arguments but 3 were given"),
        ((1.0,), {"value": 1.0}, "safe_float() got multiple values for argument 'value'"),
        ((1.0, 2), {"decimals": 2}, "safe_float() got multiple values for argument 'decimals'"),
        ((1.0, 2), {"t": 2}, "safe_float() got an unexpected keyword argument 't'"),
        ((), {"value": 1.0, "decimals": 2, "x": 0}, "safe_float() got an unexpected keyword argument 'x'"),
    ],
)
def test_argument_matching_messages(args, kwargs, message):
    err = call_error(tt.safe_float, *args, **kwargs)
    assert type(err) is TypeError
    assert str(err) == message


class MyTypeError(TypeError):
    pass


class RaisesOnFloat:
    def __init__(self, exc):
        self.exc = exc

    def __float__(self):
        raise self.exc


@pytest.mark.parametrize(
    "value, decimals",
    [
        (1.25, 2),
        (1, 0),
        (True, False),
        (-1.0, 0),
        (-1, 0),
        (float("nan"), 4_294_967_295),
        (Real(3.5), Index(7)),
        (Index(3), 1),
    ],
)
def test_accepted_arguments_end_in_the_internal_failure(value, decimals, capfd):
    err = call_error(tt.safe_float, value, decimals)
    assert type(err) is SystemError and str(err) == NOT_IMPLEMENTED
    report = capfd.readouterr().err
    assert re.fullmatch(
        r"tavik: internal failure in thread '<unnamed>' at src/helpers/functions\.cpp:\d+:\d+:\n"
        + NOT_IMPLEMENTED
        + r"\n",
        report,
    ), report


def test_keywords_are_accepted_in_any_order(capfd):
    err = call_error(tt.safe_float, decimals=2, value=1.0)
    assert type(err) is SystemError


@pytest.mark.parametrize(
    "value, decimals, exc_type, prefix_or_message",
    [
        ("1.0", 2, TypeError, "argument 'value': must be real number, not str"),
        ("1.0", -1, TypeError, "argument 'value': must be real number, not str"),
        (None, 2, TypeError, "argument 'value': must be real number, not NoneType"),
        (2**1024, 2, OverflowError, "int too large to convert to float"),
        (1.0, 2.0, TypeError, "argument 'decimals': 'float' object cannot be interpreted as an integer"),
        (1.0, "2", TypeError, "argument 'decimals': 'str' object cannot be interpreted as an integer"),
        (1.0, -1, OverflowError, "out of range integral type conversion attempted"),
        (1.0, 4_294_967_296, OverflowError, "out of range integral type conversion attempted"),
        (1.0, 2**63, OverflowError, "Python int too large to convert to C long"),
        (1.0, -(2**63) - 1, OverflowError, "Python int too large to convert to C long"),
        (RaisesOnFloat(ValueError("bad")), 0, ValueError, "bad"),
        (RaisesOnFloat(MyTypeError("sub")), 0, MyTypeError, "sub"),
    ],
)
def test_conversion_errors(value, decimals, exc_type, prefix_or_message):
    err = call_error(tt.safe_float, value, decimals)
    assert type(err) is exc_type
    assert str(err) == prefix_or_message


@pytest.mark.parametrize("cause", [None, ValueError("root")])
def test_prefixed_type_error_chains_like_the_interpreter(cause):
    """Raised inside a handler, the replacement carries the handled exception as its context,
    as int("x") would, and takes over the caught exception's cause."""
    original = TypeError("inner")
    original.__cause__ = cause
    handled = KeyError("handled")
    try:
        raise handled
    except KeyError:
        err = call_error(tt.safe_float, RaisesOnFloat(original), 0)
    assert type(err) is TypeError and str(err) == "argument 'value': inner"
    assert err.__cause__ is cause and err.__context__ is handled


def test_unprintable_type_error_falls_back_and_reports_unraisable():
    class Unprintable(Exception):
        pass

    class Weird:
        def __str__(self):
            raise Unprintable("no str")

    # An exact TypeError whose str() raises.
    exc = TypeError(Weird())
    seen = []
    hook = sys.unraisablehook
    sys.unraisablehook = seen.append
    try:
        err = call_error(tt.safe_float, RaisesOnFloat(exc), 0)
    finally:
        sys.unraisablehook = hook
    assert type(err) is TypeError
    assert str(err) == "argument 'value': <unprintable TypeError object>"
    assert any(isinstance(u.exc_value, Unprintable) for u in seen)


@pytest.mark.parametrize(
    "name",
    [
        "t\udcff",  # a lone surrogate cannot be encoded as UTF-8
        "ünïcødé",
    ],
)
def test_unknown_keyword_names_are_printed_safely(name):
    err = call_error(tt.safe_float, 1.0, 2, **{name: 0})
    assert type(err) is TypeError
    assert str(err).startswith("safe_float() got an unexpected keyword argument '")


def test_keyword_given_as_str_subclass_still_matches():
    class Key(str):
        pass

    err = call_error(tt.safe_float, **{Key("value"): 1.0, Key("decimals"): 1})
    assert type(err) is SystemError


def test_internal_failure_leaves_the_interpreter_usable(capfd):
    for _ in range(3):
        assert type(call_error(tt.safe_float, 1.0, 1)) is SystemError
    assert tt.RunMode.Live == 2


def test_internal_failure_in_a_subprocess_reports_and_the_process_survives():
    import subprocess

    code = (
        "import tavik.tavik as tt\n"
        "for args in [(1.25, 2), (1, 0)]:\n"
        "    try:\n"
        "        tt.safe_float(*args)\n"
        "    except SystemError as e:\n"
        "        print('SystemError', e)\n"
        "print('alive', tt.RunMode.Live == 2)\n"
    )
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert result.returncode == 0
    assert result.stdout.splitlines() == ["SystemError not yet implemented"] * 2 + ["alive True"]
    reports = re.findall(
        r"tavik: internal failure in thread '<unnamed>' at src/helpers/functions\.cpp:\d+:\d+:\nnot yet implemented\n",
        result.stderr,
    )
    assert len(reports) == 2, result.stderr
