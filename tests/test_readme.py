"""What a user reads.  The README runs as one session, in document order: in a ```python block a comment after
an expression is its result (its repr, "SomeError: message" for what it raises, or "e.g. R" for a result that
varies, which must have R's type and time zone); an exception table row's `example` calls raise the row's
exception with the row's message (one for all calls, or one each)."""
import ast
import datetime
import io
import re
import subprocess
import sys
import tokenize
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
BLOCK_OR_ROW = re.compile(r"^```python\n(.*?)^```$|^\|[^|\n]*\| (`[^|\n]*`) \| `(\w+)` \| ([^|\n]*) \|$", re.M | re.S)


def readme_checks(namespace):
    """(kind, line, expression, shown result) of every example, running the README's other statements on the way."""
    text = (ROOT / "README.md").read_text(encoding="utf-8")
    for found in BLOCK_OR_ROW.finditer(text):
        code, calls, exception, message_cell = found.groups()
        line = text.count("\n", 0, found.start()) + 1
        if code is None:
            calls, messages = re.findall(r"`([^`]+)`", calls), re.findall(r'"([^"]*)"', message_cell)
            for call, message in zip(calls, messages * len(calls) if len(messages) == 1 else messages, strict=True):
                yield "table", line, call, f"{exception}: {message}"
            continue
        tokens = tokenize.generate_tokens(io.StringIO(code).readline)
        comments = {t.start[0]: t.string[1:].strip() for t in tokens if t.type == tokenize.COMMENT}  # by line
        for statement in ast.parse(code).body:
            if isinstance(statement, ast.Expr) and statement.end_lineno in comments:
                shown = comments[statement.end_lineno]
                yield "block", line + statement.lineno, ast.get_source_segment(code, statement), shown
            else:
                exec(compile(ast.Module([statement], []), f"README.md, block at line {line}", "exec"), namespace)


def outcome(expression, shown, namespace):
    """What the expression gives, written as `shown` is: a repr, "Type: message", or its type and time zone."""
    try:
        value = eval(expression, namespace)
    except Exception as error:
        return f"{type(error).__name__}: {error}"
    if not shown.startswith("e.g. "):
        return repr(value)
    example = eval(shown.removeprefix("e.g. "), {"datetime": datetime})  # a repr names the module
    shape = (type(value), getattr(value, "tzinfo", None))
    return shown if shape == (type(example), getattr(example, "tzinfo", None)) else f"{shape} for {value!r}"


def in_this_interpreters_words(shown):
    """The README shows 3.13's texts; datetime's refusal of a year, which tavik passes on, is worded anew from 3.14."""
    def refusal(year):
        try:
            datetime.datetime(int(year[1]), 1, 1)
        except ValueError as error:
            return str(error)
    return re.sub(r"year (-?\d+) is out of range", refusal, shown)


def test_every_readme_example_shows_what_tavik_gives(testing):
    # The README's `order`: a filled limit buy of 0.5 BTC/USDT placed at 2024-03-01 01:30:00.250 UTC.
    placed = (2024, 3, 1, 5400, 250_000_000)  # date, second of the day, nanoseconds
    namespace = {"order": testing.make_order("o-1", 0, 0, 0, "BTC/USDT", 3, 0.5, 62000.0, 0.5, 62000.0, 0.0, placed)}
    kinds, mismatches = set(), []
    for kind, line, expression, shown in readme_checks(namespace):  # each checked before the README goes on
        kinds.add(kind)
        if (got := outcome(expression, shown, namespace)) != (shown := in_this_interpreters_words(shown)):
            mismatches.append(f"README.md:{line}: {expression}\n  shows {shown}\n  gives {got}")
    assert mismatches == []
    assert kinds == {"block", "table"}  # a layout the pattern no longer reads would check nothing


def test_the_stub_gives_every_public_name_an_english_docstring():
    checked = subprocess.run([sys.executable, ROOT / "tools" / "stub_docs.py"], capture_output=True, text=True)
    assert checked.returncode == 0, checked.stdout + checked.stderr
