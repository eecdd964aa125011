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
            plain, through = [], []
            for _ in range(options.rounds):
                start = time.perf_counter()
                read_with_readinto(path, size)
                plain.append(time.perf_counter() - start)
                start = time.perf_counter()
                read_with_session(session, size)
                through.append(time.perf_counter() - start)
            p, s = statistics.median(plain), statistics.median(through)
            print(f"readinto 1 MiB : median {p:.3f} s ({size / MIB / p:.0f} MiB/s) over {options.rounds} rounds")
            print(f"Session slices : median {s:.3f} s ({size / MIB / s:.0f} MiB/s)")
            print(f"ratio Session / readinto: {s / p:.2f}")

        rng = random.Random(1)
        with skarn_edit.Session(None, work) as session:
            session.insert(0, b"seed")
            length = 4
            start = time.perf_counter()
            for _ in range(options.inserts):
                session.insert(rng.randint(0, length), b"abc")
                length += 3
            elapsed = time.perf_counter() - start
            assert len(session) == length
            print(f"insert: {options.inserts} calls in {elapsed:.2f} s = {options.inserts / elapsed:,.0f} inserts/s")
        print(f"load after: {os.getloadavg()[0]:.2f}")
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
