"""Allocation failures at every point of every row of the table of calls: no crash; each call ends
with MemoryError, a reported internal failure, a specified fallback text, or normally; the next call
is normal.  tavik is imported first: CPython 3.13.0 crashes when its import bookkeeping runs out of
memory.  Class building under failing allocations is in test_module.py."""
import re
import sys
import sysconfig

import pytest

from hooks import failure_report
from test_hardening_calls import NAMES, in_child

SCRIPT = """
    import _testcapi
    # A hook written in Python that fails for want of memory crashes CPython 3.13.0.
    table.UNRAISABLE_HOOK[0] = sys.__unraisablehook__
    mode = sys.argv[1]
    calls = table.build(tavik_testing)
    for call in calls.values():
        call()  # warm up: the datetime C API is imported on first use, caches fill

    def inject(call, start, stop):
        sys._getframe()  # the frame object exists before any allocation can fail
        func, args, kwargs = call.func, call.args, call.kwargs
        _testcapi.set_nomemory(start, stop)
        try:
            value = func(*args, **kwargs)
        except BaseException as exc:
            _testcapi.remove_mem_hooks()
            return type(exc).__name__, str(exc)
        _testcapi.remove_mem_hooks()
        return call.settle(("ok", value))

    report = {}
    for name, call in calls.items():
        normal = call()
        outcomes, after, start, streak = [], [], 0, 0
        # Until eight indices in a row change nothing: the call made fewer allocations.
        while streak < 8 and start < 5000:
            with call.context():
                got = inject(call, start, start + 1 if mode == "one" else 0)
            streak = streak + 1 if got == normal else 0
            outcomes.append(got)
            after.append(call() == normal)
            start += 1
        report[name] = {"normal": normal, "outcomes": outcomes, "after": after, "python": call.python}
    print(json.dumps(report, default=repr))
    """


def leaves(got):
    """The outcomes of the calls in a row: its own, or those of each of its calls."""
    several = got[0] == "ok" and type(got[1]) is list and all(type(o) is list and len(o) == 2 for o in got[1])
    return [tuple(o) for o in got[1]] if several else [tuple(got)]


def allowed(python, normal, got):
    """The kind of an outcome, or None for one that must not happen."""
    if got == normal:
        return "normal"
    kind, message = got
    if kind == normal[0] == "ok" and len(leaves(got)) > 1:
        # A row of several calls: every one of them ends in an allowed way.
        kinds = [allowed(python, n, g) for n, g in zip(leaves(normal), leaves(got))]
        return None if None in kinds else max(kinds, key=lambda k: k != "normal")
    if kind == "MemoryError":
        return "memory"
    if kind == "SystemError" and message in ("Python API call failed", "tavik: internal failure"):
        return "internal"
    # When an allocation fails inside Python code of the test's own (a hook), CPython 3.13.0 can
    # end the frame with this SystemError (plain `operator.eq` against a tzinfo whose __eq__
    # raises shows it without tavik).
    if kind == "SystemError" and message == "error return without exception set" and python:
        return "interpreter"
    if kind == normal[0] == "TypeError":
        # The specified texts for a type name, an exception text or a keyword's str() that cannot
        # be produced (the keyword's own characters stand in for the last).
        unnamed = re.sub(r"'[^']*'( object cannot be converted)", r"'<failed to extract type name>'\1", normal[1])
        prefix = re.match(r"argument '\w+': |\w+\(\) got an unexpected keyword argument ", normal[1])
        if message == unnamed or (prefix and message.startswith(prefix.group(0)) and (
                message == prefix.group(0) + "<unprintable TypeError object>" or "keyword" in prefix.group(0))):
            return "fallback"
    return None


# CPython 3.13t itself crashes when a list's array allocation fails (in the child's own list appends, before
# tavik is reached); 3.14t and the GIL builds do not.
CRASHES_ON_ONE_FAILED_ALLOCATION = bool(sysconfig.get_config_var("Py_GIL_DISABLED")) and sys.version_info[:2] == (3, 13)


@pytest.mark.parametrize("mode", [
    pytest.param("one", marks=pytest.mark.skipif(CRASHES_ON_ONE_FAILED_ALLOCATION, reason="CPython 3.13t crashes "
                                                 "when a list's array allocation fails, outside tavik")),
    "rest"], ids=["fail-one-allocation", "fail-every-allocation-from"])
def test_every_allocation_of_every_call_may_fail(testing, mode):
    report, stderr = in_child(testing, SCRIPT, mode)
    assert sorted(report) == sorted(NAMES)
    memory = 0
    for name, entry in report.items():
        normal = tuple(entry["normal"])
        kinds = [allowed(entry["python"], normal, tuple(o)) for o in entry["outcomes"]]
        assert None not in kinds, (name, normal, [o for o, kind in zip(entry["outcomes"], kinds) if kind is None])
        assert all(entry["after"]), (name, entry["after"].index(False))
        memory += kinds.count("memory")
    # Every call allocates, so failing allocations must have changed some outcomes.
    assert memory > len(NAMES)
    # Each failed-interpreter-call report follows the print of the pending exception ("lost
    # sys.stderr" when even that finds no memory); when every allocation fails from some point on,
    # the SystemError itself cannot be built and the caller sees MemoryError.
    failed = sum(leaf == ("SystemError", "Python API call failed")
                 for entry in report.values() for o in entry["outcomes"] for leaf in leaves(o))
    printed = re.findall(r"^(.*)\n" + failure_report() + "Python API call failed$", stderr, re.M)
    assert set(printed) <= {"MemoryError", "lost sys.stderr"}, set(printed)
    assert len(printed) == stderr.count("\nPython API call failed\n") > 0
    assert failed == (len(printed) if mode == "one" else 0)
