"""Reads a valgrind memcheck log: prints the totals, and fails when a block
definitely lost was allocated on a path through tavik's code (the module or
the test extension, which shares it).  The interpreter's own unfreed memory at
exit is reported but does not fail the run.  Not a test module: `bash dev
memcheck` runs it on the log it writes."""

import re
import sys


THROUGH_TAVIK = r"tavik(_testing)?\.cpython|/src/(call|module|helpers|types)|/tests/native/"


def main(path: str) -> int:
    text = open(path, encoding="utf-8", errors="replace").read()
    # A record starts at its "definitely lost" line and runs to the next blank line.
    records = re.findall(r"^==\d+== [\d,]+ (?:\([\d,]+ direct, [\d,]+ indirect\) )?bytes in [\d,]+ blocks are "
                         r"definitely lost.*?(?=^==\d+== $)", text, re.M | re.S)
    ours = [r for r in records if re.search(THROUGH_TAVIK, r)]
    # Any other error (an invalid read or write, a jump on uninitialised memory) inside tavik fails too.
    faults = [r for r in re.findall(r"^==\d+== (?:Invalid|Conditional|Use of uninit|Syscall param|Mismatched)"
                                    r".*?(?=^==\d+== $)", text, re.M | re.S) if re.search(THROUGH_TAVIK, r)]
    errors = re.search(r"ERROR SUMMARY: ([\d,]+) errors", text)
    print(f"memcheck: {len(records)} definitely-lost records, {len(ours)} through tavik; {len(faults)} other "
          f"errors through tavik; error summary: {errors.group(1) if errors else 'missing'}")
    for record in ours + faults:
        print(record)
    if errors is None:
        print("memcheck: the log has no error summary; did valgrind finish?")
        return 1
    return 1 if ours or faults else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
