"""Memory stays flat when every public entry is driven many thousands of times, on its
success path and on each failure path."""
import contextlib
import gc
import os
import subprocess
import sys
import textwrap
import tracemalloc

import pytest

from test_hardening_calls import NAMES, build

# A leak of one block per call shows as CALLS blocks per window.
CALLS = 5_000
BLOCK_BOUND = 50
TRACED_CALLS = 2_000
TRACED_BOUND = 4096  # bytes; one leaked 32-byte object per call would be 64000
RSS_CALLS = 5_000
RSS_BOUND = 2 * 1024 * 1024  # over len(NAMES) * RSS_CALLS calls


@pytest.fixture(scope="module")
def calls(testing):
    return build(testing)


@contextlib.contextmanager
def stderr_to(path):
    """fd 2 goes to a file meanwhile: the internal failure writes a report per call.  (Done inside
    the test, since the capture of the call phase would take fd 2 back from a fixture.)"""
    saved = os.dup(2)
    with open(path, "wb") as sink:
        os.dup2(sink.fileno(), 2)
    try:
        yield
    finally:
        os.dup2(saved, 2)
        os.close(saved)


def repeat(run, n):
    for _ in range(n):
        run()


def blocks():
    gc.collect()
    return sys.getallocatedblocks()


def rss():
    with open(f"/proc/{os.getpid()}/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


@pytest.mark.parametrize("name", NAMES)
def test_blocks_and_traced_memory_stay_flat(calls, name, tmp_path):
    with stderr_to(tmp_path / "stderr"):
        measure_flat(calls[name], tmp_path / "stderr")


def traced():
    gc.collect()
    return tracemalloc.get_traced_memory()[0]


def growth(run, n, measure):
    """The smaller growth of two windows of n calls each: a leak grows both, a cache that
    fills once (the interpreter's, the allocator's) shows in one at most."""
    first = measure()
    repeat(run, n)
    second = measure()
    repeat(run, n)
    return min(second - first, measure() - second)


def measure_flat(run, stderr_path):
    expected = run()
    repeat(run, CALLS // 10)
    grown = growth(run, CALLS, blocks)
    assert grown < BLOCK_BOUND, f"{grown} blocks per {CALLS} calls"

    tracemalloc.start()
    try:
        repeat(run, TRACED_CALLS // 10)
        traced_grown = growth(run, TRACED_CALLS, traced)
    finally:
        tracemalloc.stop()
    assert traced_grown < TRACED_BOUND, f"{traced_grown} bytes traced per {TRACED_CALLS} calls"
    # Still the same answer after all those calls.
    assert run() == expected
    if expected[0] == "SystemError":
        reports = stderr_path.read_text().count("tavik: internal failure in thread '<unnamed>' at ")
        assert reports == 2 + CALLS // 10 + 2 * CALLS + TRACED_CALLS // 10 + 2 * TRACED_CALLS
    return grown, traced_grown


@pytest.mark.skipif(not os.path.exists("/proc/self/statm"), reason="needs /proc")
def test_resident_memory_stays_flat_across_every_call(calls, tmp_path):
    with stderr_to(tmp_path / "stderr"):
        measure_rss([calls[name] for name in NAMES])


def measure_rss(runs):
    for run in runs:
        repeat(run, RSS_CALLS // 5)
    gc.collect()
    before = rss()
    for run in runs:
        repeat(run, RSS_CALLS)
    gc.collect()
    grown = rss() - before
    assert grown < RSS_BOUND, f"RSS grew by {grown} bytes over {len(runs) * RSS_CALLS} calls"
    return grown


@pytest.mark.skipif(not os.path.exists("/proc/self/statm"), reason="needs /proc")
def test_error_values_with_backtraces_leave_memory_flat():
    """The backtrace appendix is decided once per process, so it is measured in one of its own."""
    code = textwrap.dedent(
        """
        import gc, os, sys
        import tavik.tavik as tt

        def rss():
            with open(f"/proc/{os.getpid()}/statm") as f:
                return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")

        def churn(n):
            for _ in range(n):
                try:
                    tt.str_to_date("2024-01-02T03:04")
                except RuntimeError as exc:
                    text = exc.args[0]
            return text

        text = churn(1000)
        assert "\\n\\nStack backtrace:\\n" in text, text
        gc.collect()
        before = sys.getallocatedblocks(), rss()
        churn(10_000)
        gc.collect()
        print(sys.getallocatedblocks() - before[0], rss() - before[1])
        """
    )
    env = dict(os.environ, TAVIK_BACKTRACE="1")
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120, env=env)
    assert result.returncode == 0, result.stderr
    grown_blocks, grown_rss = map(int, result.stdout.split())
    # The appendix text (kilobytes per call) is built in C++ strings, out of the interpreter's sight.
    assert grown_blocks < BLOCK_BOUND and grown_rss < RSS_BOUND, result.stdout
