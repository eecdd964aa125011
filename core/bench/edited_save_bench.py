#!/usr/bin/env python3
"""Times the save of a file behind many small edits against the save of the
same file unedited, with save_tool (which reports the time of each phase),
alternating the runs so that a busy machine slows them alike, and prints
the median save phase of each and their ratio.

usage: core/bench/edited_save_bench.py SIZE_MIB EDITS RUNS SAVE_TOOL [SAVE_TOOL...]

The input (SIZE_MIB MiB of random bytes) and the outputs live in a scratch
directory under $TMPDIR, removed at the end. A copy of a build's save_tool
kept beside its library (libskarn_edit.so.*) runs with that library, so that
two builds can be compared in one run.
"""

import glob
import os
import re
import shutil
import statistics
import subprocess
import sys
import tempfile


def environment_for(tool):
    env = dict(os.environ)
    directory = os.path.dirname(os.path.abspath(tool))
    if glob.glob(os.path.join(directory, "libskarn_edit.so.*")):
        env["LD_LIBRARY_PATH"] = directory
    return env


def save_ms(tool, source, target, edits):
    """The save phase of one run of save_tool, in milliseconds."""
    result = subprocess.run([tool, source, target, str(edits), "42"], capture_output=True, text=True,
                            env=environment_for(tool))
    found = re.search(r"save ([0-9.]+)", result.stderr)
    if result.returncode != 0 or found is None:
        sys.exit("%s failed: %s" % (tool, result.stderr))
    os.remove(target)
    return float(found.group(1))


def main():
    if len(sys.argv) < 5:
        sys.exit(__doc__)
    size, edits, runs = int(sys.argv[1]) << 20, int(sys.argv[2]), int(sys.argv[3])
    tools = [os.path.abspath(path) for path in sys.argv[4:]]
    work = tempfile.mkdtemp(prefix="skarn-edited-save-bench-")
    try:
        source = os.path.join(work, "input.bin")
        with open(source, "wb") as out:
            out.write(os.urandom(size))
        target = os.path.join(work, "output.bin")
        cases = [(tool, count) for tool in tools for count in (0, edits)]
        times = {case: [] for case in cases}
        print("input: %d bytes; load average before: %.2f %.2f %.2f" % ((size,) + os.getloadavg()))
        for _ in range(runs):
            for tool, count in cases:
                subprocess.run(["sync"], check=True)
                times[(tool, count)].append(save_ms(tool, source, target, count))
        print("%-48s %14s %14s %8s" % ("save_tool", "unedited (ms)", "edited (ms)", "ratio"))
        for tool in tools:
            plain = statistics.median(times[(tool, 0)])
            edited = statistics.median(times[(tool, edits)])
            print("%-48s %14.1f %14.1f %8.2f" % (tool[-48:], plain, edited, edited / plain))
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
