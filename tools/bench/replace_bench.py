#!/usr/bin/env python3
"""Times `skarn edit FILE -o OUT --replace A=B` against `sed s/A/B/g`, both
over a base64 file, alternating the commands in the same run so that a busy
machine slows them alike, and prints for each the median time, its ratio to
sed's and the largest peak resident memory of its runs.

usage: tools/bench/replace_bench.py SIZE_MIB RUNS SKARN [SKARN...]

The file (SIZE_MIB MiB of base64 lines, as base64(1) writes them) and the
outputs live in a scratch directory under $TMPDIR, removed at the end. Each
SKARN is a path to the tool; a copy of a build's tool kept beside its
library (libskarn_edit.so.*) runs with that library, so that two builds can
be compared in one run. Every output is checked against sed's.
"""

import base64
import glob
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time


def write_base64(path, size):
    """`size` bytes (about) of base64 of random bytes, in 76-character lines."""
    chunk = 57 << 14  # a whole number of 57-byte lines
    with open(path, "wb") as out:
        while out.tell() < size:
            out.write(base64.encodebytes(os.urandom(chunk)))


def run(argv, stdout_path, env, work):
    """Runs `argv` with stdout to `stdout_path`; returns (seconds, peak RSS in KiB).

    The peak is measured by /usr/bin/time (Debian package "time"): a child
    forked from this interpreter would count the interpreter's own pages,
    which it holds until it runs the command.
    """
    peak_file = os.path.join(work, "peak")
    with open(stdout_path, "wb") as out:
        started = time.monotonic()
        status = subprocess.run(["/usr/bin/time", "-f", "%M", "-o", peak_file] + argv, stdout=out,
                                stderr=subprocess.DEVNULL, env=env).returncode
        elapsed = time.monotonic() - started
    if status != 0:
        sys.exit("failed: %s" % " ".join(argv))
    with open(peak_file) as peak:
        return elapsed, int(peak.read().split()[-1])


def environment_for(skarn):
    env = dict(os.environ, LC_ALL="C")
    directory = os.path.dirname(os.path.abspath(skarn))
    if glob.glob(os.path.join(directory, "libskarn_edit.so.*")):
        env["LD_LIBRARY_PATH"] = directory
    return env


def main():
    if len(sys.argv) < 4:
        sys.exit(__doc__)
    if not os.access("/usr/bin/time", os.X_OK):
        sys.exit("needs /usr/bin/time (Debian package \"time\") to measure peak memory")
    size = int(sys.argv[1]) << 20
    runs = int(sys.argv[2])
    tools = [os.path.abspath(path) for path in sys.argv[3:]]
    work = tempfile.mkdtemp(prefix="skarn-replace-bench-")
    try:
        data = os.path.join(work, "data.b64")
        write_base64(data, size)
        subprocess.run(["cat", data], stdout=subprocess.DEVNULL, check=True)  # warm the page cache
        reference = os.path.join(work, "sed.out")
        commands = [("sed", ["sed", "s/A/B/g", data], reference, dict(os.environ, LC_ALL="C"))]
        for index, tool in enumerate(tools):
            out = os.path.join(work, "skarn%d.out" % index)
            argv = [tool, "edit", data, "-o", out, "--force", "-q", "--replace", "A=B"]
            commands.append((tool, argv, os.devnull, environment_for(tool)))
        times = {name: [] for name, _, _, _ in commands}
        peaks = {name: 0 for name, _, _, _ in commands}
        print("file: %d bytes; load average before: %.2f %.2f %.2f" % ((os.path.getsize(data),) + os.getloadavg()))
        for _ in range(runs):
            for name, argv, stdout_path, env in commands:
                subprocess.run(["sync"], check=True)
                elapsed, peak = run(argv, stdout_path, env, work)
                times[name].append(elapsed)
                peaks[name] = max(peaks[name], peak)
        for index in range(len(tools)):
            out = os.path.join(work, "skarn%d.out" % index)
            if subprocess.run(["cmp", "-s", out, reference]).returncode != 0:
                sys.exit("%s: output differs from sed's" % tools[index])
        sed_median = statistics.median(times["sed"])
        print("%-48s %10s %8s %14s" % ("command", "median (s)", "ratio", "peak RSS (MiB)"))
        for name, _, _, _ in commands:
            median = statistics.median(times[name])
            print("%-48s %10.3f %8.2f %14.1f" % (name[-48:], median, median / sed_median, peaks[name] / 1024))
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
