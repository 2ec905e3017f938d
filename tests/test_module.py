import importlib
import os
import re
import subprocess
import sys
import textwrap

import pytest

import tavik.tavik as tt
from test_api import CATALOGUE, ENUM, RECORD
from test_hardening_calls import in_child

ENUMS, RECORDS = ([name for name, kind, *_ in CATALOGUE if kind == k] for k in (ENUM, RECORD))


def test_reimport_returns_the_same_module_without_rerunning_the_body():
    before = sys.modules.pop("tavik.tavik")
    try:
        assert importlib.import_module("tavik.tavik") is before
    finally:
        sys.modules["tavik.tavik"] = before


def _run(code, **env):
    # Warnings are errors: a module built for another C API version is warned about at import.
    return subprocess.run(
        [sys.executable, "-W", "error", "-c", textwrap.dedent(code)], capture_output=True, text=True, timeout=120,
        env=dict(os.environ, **env),
    )


def test_failed_module_building_raises_nested_errors_and_a_retry_succeeds(testing):
    """Each allocation of building every class (the test extension's own copies) fails in turn: the
    RuntimeError chain names the class, and the next request finishes.  Records only up to their
    descriptors: from there on CPython 3.13.0 itself can crash (as for a plain `type()` call).
    Then each allocation of adding a name to a module: a bare MemoryError, which has no text, is
    named by its type."""
    classes = [("build_enum_class", i, name, None) for i, name in enumerate(ENUMS)]
    classes += [("build_record_class", i, name, 12) for i, name in enumerate(RECORDS)]
    seen, _ = in_child(testing, """
        import _testcapi, types
        seen = set()
        for builder, index, name, last in %r:
            start, restarted = 1, False
            while True:
                if start != last:  # from `last` on nothing fails: the build must succeed
                    _testcapi.set_nomemory(start, start + 1)
                try:
                    cls = getattr(tavik_testing, builder)(index)
                    break
                except RuntimeError as exc:
                    _testcapi.remove_mem_hooks()
                    inner = exc.__cause__
                    assert exc.args == (f"An error occurred while initializing class {name}",)
                    assert exc.__context__ is inner
                    if type(inner) is RuntimeError:  # a member: the class object stays, count from the members on
                        assert inner.__cause__ and inner.args[0].startswith(
                            f"An error occurred while initializing `{name}.")
                        seen.add("dict" if inner.args[0].endswith(".__dict__`") else "member")
                        start, restarted = (start, True) if restarted else (0, True)
                    else:
                        seen.add(builder)
                    start += 1
                finally:
                    _testcapi.remove_mem_hooks()
            members = [k for k, v in vars(cls).items() if type(v) is cls]
            assert cls.__name__ == name and [int(getattr(cls, m)) for m in members] == list(range(len(members)))
        for start in range(8):
            module = types.ModuleType("m")
            module.__all__ = [None] * 4  # full: the append must grow it
            _testcapi.set_nomemory(start, start + 1)
            try:
                tavik_testing.add_to_module(module, "name", 1)
            except (MemoryError, SystemError) as exc:
                seen.add(str(exc))
            finally:
                _testcapi.remove_mem_hooks()
        print(json.dumps(sorted(seen)))
        """ % classes)
    assert seen == ["", "Python API call failed", "build_enum_class", "build_record_class",
                    "could not append __name__ to __all__: MemoryError", "dict", "member"]


def test_a_restarted_interpreter_gets_a_module_of_its_own(testing):
    """An embedding program starts and finalises the interpreter twice, importing tavik each
    time: the second interpreter must not be handed the classes, module or datetime handle of
    the first, which are gone with it."""
    program = os.path.join(os.path.dirname(os.path.dirname(testing.__file__)), "embed_twice")
    if not os.path.exists(program):
        pytest.skip("embed_twice not built: this interpreter ships no library to embed")
    script = textwrap.dedent(
        """
        from datetime import datetime, timezone
        import tavik.tavik as tt
        day = tt.ms_to_date(86_400_000)
        assert day == datetime(1970, 1, 2, tzinfo=timezone.utc) and day.tzinfo is timezone.utc
        # Classes are built anew: a mark left by the first interpreter must not be seen.
        assert not hasattr(tt.RunMode, "marked") and not hasattr(tt.Pair, "marked")
        tt.RunMode.marked = tt.Pair.marked = True
        print(len(tt.__all__))
        """
    )
    site = os.path.dirname(os.path.dirname(tt.__file__))
    env = dict(os.environ, PYTHONPATH=site, PYTHONHOME=sys.base_prefix)
    result = subprocess.run([program, script], capture_output=True, text=True, timeout=120, env=env)
    assert (result.returncode, result.stdout) == (0, "18\n18\n"), result.stderr[-3000:]


def test_subinterpreter_import_is_refused_and_main_module_unaffected():
    result = _run(
        """
        import _interpreters
        import tavik.tavik as tt
        interp = _interpreters.create("legacy")
        excinfo = _interpreters.exec(interp, "import tavik.tavik")
        _interpreters.destroy(interp)
        print("exec", excinfo.type.__name__ if excinfo else None)
        print("main", tt.RunMode.Live == 2, len(tt.__all__) > 0)
        """
    )
    assert (result.returncode, result.stdout.split("\n")[-3:]) == (0, ["exec ImportError", "main True True", ""]), \
        result.stderr


def test_only_the_init_function_is_exported_and_nothing_can_throw():
    """Every entry faces the interpreter as noexcept: a C++ allocation or throw reachable from
    the module would end the process in std::terminate."""
    # Mach-O names carry a leading underscore, and Apple's nm has no -D.
    darwin = sys.platform == "darwin"
    prefix, defined, undefined = ("_", ["-gU"], ["-u"]) if darwin else ("", ["-D", "--defined-only"], ["-D", "-u"])

    def symbols(options):
        nm = subprocess.run(["nm", *options, tt.__file__], capture_output=True, text=True, check=True)
        return [line.split() for line in nm.stdout.splitlines()]

    assert [s[-1] for s in symbols(defined) if s[1] in "TDBWRVi"] == [prefix + "PyInit_tavik"]
    throwing = re.compile(prefix + r"(_Zn[wa]|_ZSt\d+__throw|__cxa_(throw|allocate_exception|rethrow))")
    assert [s[-1] for s in symbols(undefined) if throwing.match(s[-1])] == []


def test_tour_runs():
    result = subprocess.run([sys.executable, "-m", "tavik"], capture_output=True, text=True, timeout=60)
    assert result.returncode == 0 and all(name in result.stdout for name in tt.__all__), result.stderr
