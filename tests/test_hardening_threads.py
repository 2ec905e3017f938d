"""Many threads building every class and calling every row of the table of calls at once get what one
thread gets: on a free-threaded interpreter nothing serialises them."""
import re

from hooks import failure_report
from test_hardening_calls import CALLS, in_child

# In a fresh process, so that the threads also race for the first use of the datetime C API.
SCRIPT = """
    import random, threading, time, warnings
    threads, seconds = int(sys.argv[1]), float(sys.argv[2])
    # Warning filters and the unraisable hook are process-wide: set once here, never per call.
    warnings.simplefilter("ignore")
    sys.unraisablehook = lambda unraisable: None
    sys.setswitchinterval(1e-5)
    start = threading.Barrier(threads)

    # First the test extension's own class tables, which nothing has asked for yet: every thread
    # builds every class at once, and all must get the same class objects.
    built = [None] * threads

    def build_classes(index):
        start.wait()
        built[index] = [id(tavik_testing.build_enum_class(i)) for i in range(7)] + \
                       [id(tavik_testing.build_record_class(i)) for i in range(4)]

    builders = [threading.Thread(target=build_classes, args=(i,)) for i in range(threads)]
    for b in builders:
        b.start()
    for b in builders:
        b.join()
    calls = table.build(tavik_testing)
    names = list(calls)
    seen = [{name: set() for name in names} for _ in range(threads)]
    rounds, errors = [0] * threads, []

    def worker(index):
        order, rng = names[index:] + names[:index], random.Random(index)
        try:
            start.wait()
            deadline = time.monotonic() + seconds
            while time.monotonic() < deadline:
                for name in order:
                    call = calls[name]
                    seen[index][name].add(repr(call.settle(table.outcome(call.func, *call.args, **call.kwargs))))
                rounds[index] += 1
                rng.shuffle(order)
        except BaseException as exc:
            errors.append(repr(exc))

    workers = [threading.Thread(target=worker, args=(i,)) for i in range(threads)]
    for w in workers:
        w.start()
    for w in workers:
        w.join()
    seen = [{name: sorted(outcomes) for name, outcomes in thread.items()} for thread in seen]
    print(json.dumps({"errors": errors, "rounds": rounds, "seen": seen, "classes": len({tuple(b) for b in built})}))
    """


def test_threads_get_what_one_thread_gets(testing):
    report, stderr = in_child(testing, SCRIPT, 8, 2.0)
    assert report["errors"] == [] and min(report["rounds"]) >= 10 and report["classes"] == 1, report
    expected = {name: [repr(outcome)] for name, outcome, _ in CALLS}
    for seen in report["seen"]:
        assert seen == expected
    # One whole report per internal failure, whichever thread made the call.
    failing = sum(outcome[0] == "SystemError" for _, outcome, _ in CALLS)
    reports = re.findall("^" + failure_report() + "(not yet implemented|enumeration value out of range)$", stderr, re.M)
    assert len(reports) == failing * sum(report["rounds"]) == stderr.count("tavik: internal failure")
