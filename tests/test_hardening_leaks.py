"""Memory stays flat when every row of the table of calls is repeated many times."""
import gc
import os
import subprocess
import sys
import textwrap
import tracemalloc

import pytest

from test_hardening_calls import NAMES, build, growth

CALLS, BLOCK_BOUND = 2_000, 50  # a leak of one block per call shows as CALLS blocks per window
TRACED_CALLS, TRACED_BOUND = 1_000, 4096  # bytes; one leaked 32-byte object per call would be 32000
RSS_ROUNDS, RSS_BOUND = 1_000, 2 * 1024 * 1024  # per window of RSS_ROUNDS calls of every row


@pytest.fixture(scope="module")
def calls(testing):
    return build(testing)


def rss():
    with open(f"/proc/{os.getpid()}/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


@pytest.mark.parametrize("name", NAMES)
def test_blocks_and_traced_memory_stay_flat(calls, name):
    run = calls[name]
    expected = run()
    for _ in range(CALLS // 10):
        run()
    assert growth(run, CALLS, sys.getallocatedblocks) < BLOCK_BOUND
    tracemalloc.start()
    try:
        assert growth(run, TRACED_CALLS, lambda: tracemalloc.get_traced_memory()[0]) < TRACED_BOUND
    finally:
        tracemalloc.stop()
    assert run() == expected  # still the same answer after all those calls


@pytest.mark.skipif(sys.platform != "linux", reason="reads /proc")
def test_resident_memory_stays_flat_across_every_call(calls):
    def every_row():
        for run in calls.values():
            run()

    assert growth(every_row, RSS_ROUNDS, rss) < RSS_BOUND


def test_error_values_with_backtraces_leave_memory_flat():
    """The backtrace appendix is decided once per process, so it is measured in one of its own."""
    code = textwrap.dedent(
        f"""
        import gc, sys, tavik.tavik as tt
        sys.path.insert(0, {os.path.dirname(__file__)!r})
        from test_hardening_calls import growth
        from test_hardening_leaks import rss, BLOCK_BOUND, RSS_BOUND

        def run():
            try:
                tt.str_to_date("2024-01-02T03:04")
            except RuntimeError as exc:
                assert "\\n\\nStack backtrace:\\n" in exc.args[0]

        print(growth(run, 5000, sys.getallocatedblocks) < BLOCK_BOUND, growth(run, 5000, rss) < RSS_BOUND)
        """
    )
    env = dict(os.environ, TAVIK_BACKTRACE="1")
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120, env=env)
    assert result.stdout.split() == ["True", "True"], result.stderr
