"""The README runs as one session, in document order, the way a reader pastes it.  In a ```python block a comment
after an expression is its result: its repr, "SomeError: message" for what it raises, or "e.g. R" for a result
that varies, which must have R's type and time zone.  A table row's `example` calls must raise the row's
exception with the row's message (one message for all calls, or one per call)."""
import ast
import datetime
import io
import re
import tokenize
from pathlib import Path

README = Path(__file__).resolve().parent.parent / "README.md"


def block_checks(code, first_line, namespace):
    """Runs the block's statements; yields (line, expression, shown result) for each one that shows a result."""
    comments = {token.start[0]: token.string.lstrip("#").strip()
                for token in tokenize.generate_tokens(io.StringIO(code).readline) if token.type == tokenize.COMMENT}
    for statement in ast.parse(code).body:
        if isinstance(statement, ast.Expr) and statement.end_lineno in comments:
            yield first_line + statement.lineno, ast.get_source_segment(code, statement), comments[statement.end_lineno]
        else:
            ast.increment_lineno(statement, first_line)
            exec(compile(ast.Module([statement], []), str(README), "exec"), namespace)


def readme_checks(namespace):
    """(kind, line, expression, shown result) for every checked example, running the README up to each."""
    lines = README.read_text(encoding="utf-8").splitlines()
    block, header = None, None
    for number, line in enumerate(lines, 1):
        if block is not None and line == "```":
            yield from (("block", *check) for check in block_checks("\n".join(block), start, namespace))
            block = None
        elif block is not None:
            block.append(line)
        elif line == "```python":
            block, start = [], number
        elif not line.startswith("|"):
            header = None
        elif header is None:
            header = [cell.strip() for cell in line.strip("|").split("|")]
        else:
            row = dict(zip(header, (cell.strip() for cell in line.strip("|").split("|"))))
            calls = re.findall(r"`([^`]+)`", row.get("example", ""))
            messages = re.findall(r'"([^"]*)"', row.get("message", ""))
            for call, message in zip(calls, messages * len(calls) if len(messages) == 1 else messages, strict=True):
                yield "table", number, call, f"{row['exception'].strip('`')}: {message}"


def outcome(expression, shown, namespace):
    """What the expression gives, written as `shown` is: a repr, "Type: message", or its type and time zone."""
    try:
        value = eval(expression, namespace)
    except Exception as error:
        return f"{type(error).__name__}: {error}"
    if shown.startswith("e.g. "):
        example = eval(shown.removeprefix("e.g. "), {"datetime": datetime})  # a repr names the module
        shape = (type(value), getattr(value, "tzinfo", None))
        return shown if shape == (type(example), getattr(example, "tzinfo", None)) else f"{shape} for {value!r}"
    return repr(value)


def test_every_readme_example_shows_what_tavik_gives(testing):
    # The record the README's `order` stands for: a filled limit buy placed at 2024-03-01 01:30:00.250 UTC.
    order = testing.make_order("o-1", 0, 0, 0, "BTC/USDT", 3, 0.5, 62000.0, 0.5, 62000.0, 0.0, (2024, 3, 1, 5400, 250000000))
    namespace = {"order": order}
    checked, mismatches = {"block": 0, "table": 0}, []
    for kind, line, expression, shown in readme_checks(namespace):
        checked[kind] += 1
        if (got := outcome(expression, shown, namespace)) != shown:
            mismatches.append(f"README.md:{line}: {expression}\n  shows {shown}\n  gives {got}")
    assert mismatches == []
    assert min(checked.values()) > 0, f"no checks found: {checked}"  # a README layout the parser no longer reads
