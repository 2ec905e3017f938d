"""Many threads calling every public entry at once get exactly what one thread gets."""
import json
import os
import re
import subprocess
import sys
import textwrap

import pytest

from test_hardening_calls import NAMES

THREADS = 8
SECONDS = 2.0

# In a fresh process, so that the threads also race for the first use of the datetime C API:
# they start together and each begins with a different call.  The one-thread answers are
# taken afterwards, in the main thread.
SCRIPT = textwrap.dedent(
    """
    import json, random, sys, threading, time, warnings
    import tavik_testing
    import test_hardening_calls as table

    threads, seconds = int(sys.argv[1]), float(sys.argv[2])
    # Warning filters and the unraisable hook are process-wide: set once here, never per call.
    warnings.simplefilter("ignore")
    sys.unraisablehook = lambda unraisable: None
    sys.setswitchinterval(1e-5)
    calls = table.build(tavik_testing)
    names = list(calls)

    def bare(name):
        call = calls[name]
        return call.settle(table.outcome(call.func, *call.args, **call.kwargs))

    start = threading.Barrier(threads)
    seen = [dict() for _ in range(threads)]
    counts = [dict.fromkeys(names, 0) for _ in range(threads)]
    errors = []

    def worker(index):
        order = names[index:] + names[:index]
        rng = random.Random(index)
        try:
            start.wait()
            deadline = time.monotonic() + seconds
            while time.monotonic() < deadline:
                for name in order:
                    seen[index].setdefault(name, set()).add(repr(bare(name)))
                    counts[index][name] += 1
                rng.shuffle(order)
        except BaseException as exc:
            errors.append(repr(exc))

    workers = [threading.Thread(target=worker, args=(i,)) for i in range(threads)]
    for w in workers:
        w.start()
    for w in workers:
        w.join()
    single = {name: repr(bare(name)) for name in names}
    print(json.dumps({
        "errors": errors,
        "counts": counts,
        "single": single,
        "seen": [{name: sorted(s) for name, s in d.items()} for d in seen],
    }))
    """
)


@pytest.fixture(scope="module")
def env(testing):
    paths = [os.path.dirname(testing.__file__), os.path.dirname(__file__)]
    return dict(os.environ, PYTHONPATH=os.pathsep.join(paths))


def test_threads_get_what_one_thread_gets(env):
    result = subprocess.run(
        [sys.executable, "-c", SCRIPT, str(THREADS), str(SECONDS)],
        capture_output=True, text=True, timeout=120, env=env,
    )
    assert result.returncode == 0, result.stderr[-3000:]
    report = json.loads(result.stdout)
    assert report["errors"] == []
    single = report["single"]
    assert sorted(single) == sorted(NAMES)
    for index, seen in enumerate(report["seen"]):
        assert sorted(seen) == sorted(NAMES), index
        different = {name: answers for name, answers in seen.items() if answers != [single[name]]}
        assert not different, (index, different, {name: single[name] for name in different})
    # Every thread went round the table many times.
    assert min(min(counts.values()) for counts in report["counts"]) >= 10, report["counts"]
    # One whole report per internal failure, whichever thread made the call (plus the one-thread call).
    failing = [name for name in NAMES if single[name].startswith("('SystemError'")]
    failures = sum(counts[name] for counts in report["counts"] for name in failing) + len(failing)
    reports = re.findall(
        r"^tavik: internal failure in thread '<unnamed>' at src/helpers/functions\.cpp:\d+:\d+:\nnot yet implemented$",
        result.stderr,
        re.M,
    )
    assert len(reports) == failures == result.stderr.count("tavik: internal failure")
