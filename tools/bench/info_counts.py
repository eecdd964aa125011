#!/usr/bin/env python3
"""Times `skarn info` (character counts and byte profile in one reading) on
1 GiB of mixed UTF-8 text and 1 GiB of ASCII text against `wc -l` of the same
file, alternating the commands in one run so that a busy machine slows all
alike, and prints medians and ratios of wall and processor time. Given more than one skarn (say a build
of main and one of a branch), times each of them in the same rounds.

usage: tools/bench/info_counts.py WORK_DIR SKARN [SKARN...] [--runs N] [--keep]
The text files are made in WORK_DIR and deleted afterwards unless --keep.
"""

import os
import random
import statistics
import subprocess
import sys
import time

GIB = 1 << 30


def mixed_words(rng):
    """Words as in European and East Asian text: mostly ASCII, some with
    accented letters, some of CJK characters."""
    ascii_letters = "abcdefghijklmnopqrstuvwxyz"
    accented = "éèêàçüöäßñøå"
    words = []
    for _ in range(20000):
        kind = rng.random()
        if kind < 0.6:
            words.append("".join(rng.choice(ascii_letters) for _ in range(rng.randint(2, 9))))
        elif kind < 0.85:
            letters = [rng.choice(ascii_letters) for _ in range(rng.randint(3, 9))]
            for _ in range(rng.randint(1, 2)):
                letters[rng.randrange(len(letters))] = rng.choice(accented)
            words.append("".join(letters))
        else:
            words.append("".join(chr(rng.randint(0x4E00, 0x9FFF)) for _ in range(rng.randint(1, 4))))
    return words


def text_block(words, rng, size):
    """About `size` bytes of lines of the words."""
    out, length = [], 0
    while length < size:
        line = " ".join(rng.choice(words) for _ in range(rng.randint(4, 14))) + "\n"
        out.append(line)
        length += len(line.encode())
    return "".join(out).encode()


def write_gib(path, block):
    with open(path, "wb") as f:
        written = 0
        while written < GIB:
            f.write(block)
            written += len(block)


def timed(command):
    """(wall seconds, processor seconds of user and system) of one run."""
    started = time.monotonic()
    child = subprocess.Popen(command, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    _, status, usage = os.wait4(child.pid, 0)
    wall = time.monotonic() - started
    if status != 0:
        sys.exit("failed: %s" % " ".join(command))
    return wall, usage.ru_utime + usage.ru_stime


def main():
    args = sys.argv[1:]
    keep = "--keep" in args
    args = [a for a in args if a != "--keep"]
    runs = 7
    if "--runs" in args:
        at = args.index("--runs")
        runs = int(args[at + 1])
        del args[at:at + 2]
    if len(args) < 2:
        sys.exit(__doc__)
    work, skarns = args[0], [os.path.abspath(s) for s in args[1:]]

    rng = random.Random(2026)
    files = {
        "mixed UTF-8": (os.path.join(work, "info-mixed.txt"), text_block(mixed_words(rng), rng, 4 << 20)),
        "ASCII": (os.path.join(work, "info-ascii.txt"), text_block(
            ["".join(rng.choice("abcdefghijklmnopqrstuvwxyz") for _ in range(rng.randint(2, 9)))
             for _ in range(20000)], rng, 4 << 20)),
    }
    try:
        for path, block in files.values():
            write_gib(path, block)
        print("load average before: %.2f %.2f %.2f" % os.getloadavg())
        for name, (path, _) in files.items():
            commands = [("wc -l", ["wc", "-l", path])]
            commands += [("skarn %d" % i, [s, "info", "-q", path]) for i, s in enumerate(skarns, 1)]
            times = {label: [] for label, _ in commands}
            timed(commands[0][1])  # into the page cache
            for _ in range(runs):
                for label, command in commands:
                    times[label].append(timed(command))
            # On a shared machine the processor time says what the wall
            # time says once the other processes' share is taken out.
            wall = {label: statistics.median(t[0] for t in runs_) for label, runs_ in times.items()}
            cpu = {label: statistics.median(t[1] for t in runs_) for label, runs_ in times.items()}
            print("%s, 1 GiB, %d runs (medians):" % (name, runs))
            for label, _ in commands:
                print("  %-8s wall %7.3f s  %5.2fx wc -l   cpu %7.3f s  %5.2fx wc -l" %
                      (label, wall[label], wall[label] / wall["wc -l"], cpu[label], cpu[label] / cpu["wc -l"]))
        for i, s in enumerate(skarns, 1):
            print("skarn %d: %s" % (i, s))
    finally:
        if not keep:
            for path, _ in files.values():
                if os.path.exists(path):
                    os.remove(path)


if __name__ == "__main__":
    main()
