#!/usr/bin/env python3
"""Times whole skarn commands against reference commands, alternating the two
in the same run so that a busy machine slows both alike, and prints medians.

usage: tools/bench/commands.py PATH_OF_SKARN [runs]
"""

import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time


def timed(command, cwd, env):
    started = time.monotonic()
    subprocess.run(["bash", "-c", command], cwd=cwd, env=env, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL, check=False)
    return time.monotonic() - started


def main():
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    skarn = os.path.abspath(sys.argv[1])
    runs = int(sys.argv[2]) if len(sys.argv) > 2 else 5
    work = tempfile.mkdtemp(prefix="skarn-bench-")
    try:
        with open(os.path.join(work, "zeros.bin"), "wb") as f:
            f.truncate(100 << 20)
        with open(os.path.join(work, "lines.txt"), "wb") as f:
            f.write(b"y\n" * (50 << 20))
        with open(os.path.join(work, "random.bin"), "wb") as f:
            f.write(os.urandom(256 << 20))
        env = dict(os.environ, LC_ALL="C", TMPDIR=work)
        cases = [
            ("find | head -1, 100 MiB", "%s find --hex 00 zeros.bin | head -1" % skarn,
             "grep -a -b -o -F y lines.txt | head -1"),
            ("dump | head -1, 100 MiB", "%s dump zeros.bin | head -1" % skarn, "xxd zeros.bin | head -1"),
            ("find, no match, 256 MiB", "%s find -c --hex 0011223344556677 random.bin" % skarn,
             "grep -c -a -F xyzxyzxyzq random.bin"),
            ("info from stdin vs file, 256 MiB", "cat random.bin | %s info -" % skarn,
             "%s info random.bin" % skarn),
            # Saves over the file: the reference is a synced copy of it.
            ("edit in place, 1 byte, 256 MiB", "%s edit random.bin --in-place --overwrite 0:x" % skarn,
             "cp random.bin copy.bin && sync copy.bin"),
            ("edit by rename, 1 byte, 256 MiB", "%s edit random.bin --in-place --by-rename --overwrite 0:x" % skarn,
             "cp random.bin copy.bin && sync copy.bin"),
            ("edit in place, insert at 0", "%s edit random.bin --in-place --insert 0:x" % skarn,
             "cp random.bin copy.bin && sync copy.bin"),
        ]
        print("load average before: %.2f %.2f %.2f" % os.getloadavg())
        print("%-34s %12s %12s %8s" % ("case", "skarn (s)", "ref (s)", "ratio"))
        for name, ours, reference in cases:
            mine, theirs = [], []
            for _ in range(runs):
                mine.append(timed(ours, work, env))
                theirs.append(timed(reference, work, env))
            a, b = statistics.median(mine), statistics.median(theirs)
            print("%-34s %12.3f %12.3f %8.2f" % (name, a, b, a / b if b else float("nan")))
        print("load average after: %.2f %.2f %.2f" % os.getloadavg())
    finally:
        shutil.rmtree(work)


if __name__ == "__main__":
    main()
