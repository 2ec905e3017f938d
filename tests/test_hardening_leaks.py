"""Memory stays flat when every row of the table of calls is repeated many times.  tracemalloc
traces all three of the interpreter's allocators; the C library's, used only for backtraces, is
measured by the resident size."""
import os
import sys
import tracemalloc

import pytest

from test_hardening_calls import NAMES, build, growth, in_child

CALLS, BLOCK_BOUND = 2_000, 50  # a leak of one block per call shows as CALLS blocks per window
TRACED_CALLS, TRACED_BOUND = 1_000, 4096  # bytes; one leaked 32-byte object per call would be 32000
RSS_BOUND = 2 * 1024 * 1024  # bytes per window


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
    assert growth(run, CALLS, sys.getallocatedblocks) < BLOCK_BOUND
    tracemalloc.start()
    try:
        assert growth(run, TRACED_CALLS, lambda: tracemalloc.get_traced_memory()[0]) < TRACED_BOUND
    finally:
        tracemalloc.stop()
    assert run() == expected  # still the same answer after all those calls


@pytest.mark.skipif(sys.platform != "linux", reason="reads /proc")
def test_error_values_with_backtraces_leave_memory_flat(testing):
    """The backtrace appendix is decided once per process, so it is measured in one of its own."""
    script = """
        import tavik.tavik as tt
        from test_hardening_leaks import rss, BLOCK_BOUND, RSS_BOUND

        def run():
            try:
                tt.str_to_date("2024-01-02T03:04")
            except RuntimeError as exc:
                assert "\\n\\nStack backtrace:\\n" in exc.args[0]

        print(json.dumps([table.growth(run, 5000, sys.getallocatedblocks), table.growth(run, 5000, rss)]))
        """
    blocks, resident = in_child(testing, script, TAVIK_BACKTRACE="1")[0]
    assert blocks < BLOCK_BOUND and resident < RSS_BOUND
