import importlib
import subprocess
import sys
import textwrap

import pytest

import tavik
import tavik.tavik as tt

ENUMS = ["RunMode", "TradeKind", "TradeType", "TradeSide", "OrderStatus", "CandleInterval", "EventType"]
RECORDS = ["Pair", "Candle", "Order", "Position"]
FUNCTIONS = ["safe_float", "truncate_to_day", "str_to_date", "date_to_str", "ms_to_date", "now_date", "now_ms"]
REGISTRATION_ORDER = ENUMS + RECORDS + FUNCTIONS


def test_all_is_the_registration_list_in_order():
    assert tt.__all__ == REGISTRATION_ORDER


def test_package_reexports_the_module_names():
    assert tavik.__all__ == tt.__all__
    for name in tt.__all__:
        assert getattr(tavik, name) is getattr(tt, name)


def test_module_doc_is_empty_string():
    assert tt.__doc__ == ""


def test_functions_belong_to_the_module_and_classes_to_builtins():
    for name in tt.__all__:
        obj = getattr(tt, name)
        expected = "builtins" if isinstance(obj, type) else "tavik.tavik"
        assert obj.__module__ == expected, name


@pytest.mark.parametrize(
    "name, signature, doc",
    [
        ("safe_float", "(value, decimals)", "安全浮点数"),
        ("truncate_to_day", "(date)", "截断日期到天"),
        ("str_to_date", "(s)", "字符串转日期"),
        ("date_to_str", "(d)", "日期转字符串"),
        ("ms_to_date", "(ts)", "时间戳转日期"),
        ("now_date", "()", "获取当前时间"),
        ("now_ms", "()", "获取当前时间戳"),
    ],
)
def test_function_signatures_and_docs(name, signature, doc):
    func = getattr(tt, name)
    assert func.__text_signature__ == signature
    assert func.__doc__ == doc
    assert func.__name__ == name and func.__self__ is tt


def test_reimport_returns_the_same_module_without_rerunning_the_body():
    before = sys.modules.pop("tavik.tavik")
    try:
        again = importlib.import_module("tavik.tavik")
        assert again is before
        assert again.__all__ == before.__all__
    finally:
        sys.modules["tavik.tavik"] = before


def _run(code):
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, timeout=60)


def test_subinterpreter_import_is_refused_and_main_module_unaffected():
    result = _run(
        """
        import _interpreters
        import tavik.tavik as tt
        interp = _interpreters.create("legacy")
        excinfo = _interpreters.exec(interp, "import tavik.tavik")
        print("exec", excinfo.type.__name__ if excinfo else None)
        print("main", tt.RunMode.Live == 2, len(tt.__all__) > 0)
        """
    )
    assert result.returncode == 0, result.stderr
    lines = result.stdout.split("\n")
    assert "exec ImportError" in lines
    assert "main True True" in lines


@pytest.mark.skipif(sys.platform != "linux", reason="ELF symbol table")
def test_only_the_init_function_is_exported():
    nm = subprocess.run(["nm", "-D", "--defined-only", tt.__file__], capture_output=True, text=True)
    if nm.returncode != 0:
        pytest.skip("nm not available")
    symbols = [line.split()[-1] for line in nm.stdout.splitlines() if line.split()[1:2] in (["T"], ["D"], ["B"], ["W"], ["R"], ["V"], ["i"])]
    assert symbols == ["PyInit_tavik"]


def test_tour_runs():
    result = subprocess.run([sys.executable, "-m", "tavik"], capture_output=True, text=True, timeout=60)
    assert result.returncode == 0, result.stderr
    for name in tt.__all__:
        assert name in result.stdout
