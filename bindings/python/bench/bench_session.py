#!/usr/bin/env python3
"""Benchmarks of the Python package.

1. Reading a file (1 GiB by default) in 1 MiB slices through Session, against
   reading it with open().readinto() into one buffer; the two alternate, round
   by round, so that both see the same machine load. Prints each median and
   their ratio (the target is at most 1.5).
2. Small insert calls per second (1e5 by default) at random offsets.

Usage: SKARN_EDIT_LIBRARY=build/release/core/libskarn_edit.so \\
       PYTHONPATH=bindings/python bench_session.py [--size-mib N] [--rounds N] [--inserts N] [--dir D]
"""

import argparse
import os
import random
import shutil
import statistics
import tempfile
import time

import skarn_edit
from skarn_edit import _native

MIB = 1 << 20


def read_with_readinto(path, size):
    buffer = bytearray(MIB)
    view = memoryview(buffer)
    total = 0
    with open(path, "rb", buffering=0) as file:
        while True:
            n = file.readinto(view)
            if not n:
                break
            total += n
    assert total == size
    return total


def read_with_session(session, size):
    total = 0
    for offset in range(0, size, MIB):
        total += len(session[offset:offset + MIB])
    assert total == size
    return total


def readinto_with_session(session, size):
    buffer = bytearray(MIB)
    total = 0
    for offset in range(0, size, MIB):
        total += session.readinto(offset, buffer)
    assert total == size
    return total


def insert_rate(work, count, at_random, raw):
    """Inserts of 3 bytes per second: at random offsets or each after the last; `raw` calls the C
    function directly through ctypes, to tell the package's own cost from the library's."""
    rng = random.Random(1)
    with skarn_edit.Session(None, work) as session:
        session.insert(0, b"seed")
        length = 4
        handle = session._handle
        insert_bytes = _native.lib.skarn_edit_insert_bytes
        start = time.perf_counter()
        for _ in range(count):
            offset = rng.randint(0, length) if at_random else length
            if raw:
                assert insert_bytes(handle, offset, b"abc", 3) > 0
            else:
                session.insert(offset, b"abc")
            length += 3
        elapsed = time.perf_counter() - start
        assert len(session) == length
    return count / elapsed


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--size-mib", type=int, default=1024)
    parser.add_argument("--rounds", type=int, default=7)
    parser.add_argument("--inserts", type=int, default=100000)
    parser.add_argument("--dir", default=None, help="where to write the test file (default: a temporary directory)")
    options = parser.parse_args()

    work = tempfile.mkdtemp(prefix="skarn_py_bench_", dir=options.dir)
    try:
        path = os.path.join(work, "data.bin")
        size = options.size_mib * MIB
        block = os.urandom(MIB)
        with open(path, "wb") as file:
            for _ in range(options.size_mib):
                file.write(block)
        print(f"library {skarn_edit.__version__}, file {size / MIB:.0f} MiB, load {os.getloadavg()[0]:.2f}")
        with skarn_edit.Session(path, work) as session:
            read_with_readinto(path, size)  # warm both files into the page cache
            read_with_session(session, size)
            plain, through, into = [], [], []
            for _ in range(options.rounds):
                for times, read in ((plain, lambda: read_with_readinto(path, size)),
                                    (through, lambda: read_with_session(session, size)),
                                    (into, lambda: readinto_with_session(session, size))):
                    start = time.perf_counter()
                    read()
                    times.append(time.perf_counter() - start)
            p = statistics.median(plain)
            print(f"open().readinto, 1 MiB : median {p:.3f} s ({size / MIB / p:.0f} MiB/s) over {options.rounds} rounds")
            for label, times in (("Session[a:b], 1 MiB   ", through), ("Session.readinto 1 MiB", into)):
                t = statistics.median(times)
                print(f"{label} : median {t:.3f} s ({size / MIB / t:.0f} MiB/s), ratio to readinto {t / p:.2f}")

        for label, at_random in (("after the last", False), ("at random offsets", True)):
            package = insert_rate(work, options.inserts, at_random, raw=False)
            raw = insert_rate(work, options.inserts, at_random, raw=True)
            print(f"insert {label}: {options.inserts} calls, {package:,.0f}/s through Session.insert, "
                  f"{raw:,.0f}/s calling the C function directly")
        print(f"load after: {os.getloadavg()[0]:.2f}")
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
