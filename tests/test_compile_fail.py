"""Mistakes in the module's tables that must not compile: each file under compile_fail/ compiles as
written and fails, with the message its `// expect:` line gives, once TAVIK_MISTAKE puts the mistake in."""
import os
import re
import shutil
import subprocess
import sysconfig
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
CASES = sorted((ROOT / "tests" / "compile_fail").glob("*.cpp"))
COMPILER = os.environ.get("CXX") or shutil.which("c++")


@pytest.mark.skipif(COMPILER is None, reason="no C++ compiler on PATH (the installed-wheel check runs without one)")
@pytest.mark.parametrize("case", CASES, ids=[case.stem for case in CASES])
def test_a_table_mistake_does_not_compile(case):
    expected = re.search(r"^// expect: (.+)$", case.read_text(), re.M).group(1)
    command = [COMPILER, "-std=c++20", "-fsyntax-only", "-fno-exceptions", f"-I{ROOT / 'src'}",
               f"-I{sysconfig.get_paths()['include']}", str(case)]
    correct, mistaken = [subprocess.Popen(command + defines, stderr=subprocess.PIPE, text=True)
                         for defines in ([], ["-DTAVIK_MISTAKE"])]  # both at once
    assert (correct.communicate()[1], correct.returncode) == ("", 0)
    errors = mistaken.communicate()[1]
    assert mistaken.returncode != 0 and expected in errors, errors
