#!/usr/bin/env python3
"""Times skarn view in a real terminal (tmux): from a key to the updated screen
at the start and the end of a sparse 100 GiB file and behind 1e5 changes, and
from the start to the first screen, as the program itself measures them
(SKARN_VIEW_TIMING). Prints medians; the open time is set beside that of
`xxd -l 512` over the same file, alternating.

usage: tools/bench/view.py PATH_OF_SKARN [DIRECTORY] [keys]
DIRECTORY (default /work/tmp, else the temporary directory) gets the sparse
file, removed at the end.
"""

import itertools
import os
import shlex
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

SIZE = 100 << 30
# Moves and edits, hex digits in pairs: every key redraws the screen.
KEY_CYCLE = ["Right", "Down", "4", "1", "Left", "Up", "a", "b", "PageDown", "PageUp"]
panes = itertools.count()


class Pane:
    def __init__(self, skarn, path, timing, edits=0):
        self.socket = "skarn-view-bench-%d-%d" % (os.getpid(), next(panes))
        env = ["env", "SKARN_VIEW_TIMING=%s" % timing] + (["SKARN_VIEW_RANDOM_EDITS=%d" % edits] if edits else [])
        command = shlex.join(env + [skarn, "view", path]) + "; exec sleep 600"
        self.tmux("new-session", "-d", "-x", "100", "-y", "40", command)

    def tmux(self, *args):
        return subprocess.run(["tmux", "-L", self.socket, "-f", "/dev/null"] + list(args), check=True,
                              stdout=subprocess.PIPE).stdout.decode("utf-8", "replace")

    def wait_for(self, text, timeout=300):
        deadline = time.monotonic() + timeout
        while text not in self.tmux("capture-pane", "-p"):
            if time.monotonic() > deadline:
                raise SystemExit("the screen never showed %r" % text)
            time.sleep(0.01)

    def close(self):
        subprocess.run(["tmux", "-L", self.socket, "kill-server"], stderr=subprocess.DEVNULL)


def timing_lines(path, kind):
    if not os.path.exists(path):
        return []
    with open(path) as f:
        return [int(line.split()[-1]) for line in f if line.startswith(kind)]


def wait_for_lines(timing, count):
    deadline = time.monotonic() + 120
    while len(timing_lines(timing, "key-to-screen")) < count and time.monotonic() < deadline:
        time.sleep(0.05)


def key_times(skarn, path, timing, keys, at_end=False, edits=0):
    """Microseconds from each of `keys` keys to its screen."""
    if os.path.exists(timing):
        os.remove(timing)
    pane = Pane(skarn, path, timing, edits)
    try:
        # Random edits change the size: the mode shows that the first screen is there.
        pane.wait_for("  OVR  hex")
        if at_end:
            pane.tmux("send-keys", "C-End", "Up", "Up")
            wait_for_lines(timing, 3)
        before = len(timing_lines(timing, "key-to-screen"))
        for i in range(keys):
            pane.tmux("send-keys", KEY_CYCLE[i % len(KEY_CYCLE)])
        wait_for_lines(timing, before + keys)
        return timing_lines(timing, "key-to-screen")[before:]
    finally:
        # Quit, throwing the edits away: a closed terminal would keep them in
        # the journal, for the next run to offer.
        pane.tmux("send-keys", "C-q", "y")
        time.sleep(1)
        pane.close()
        for name in os.listdir(os.path.dirname(path)):
            if name.startswith(".Skarnpad"):
                os.remove(os.path.join(os.path.dirname(path), name))


def open_times(skarn, path, timing, runs):
    """(skarn view's start-to-first-screen, xxd -l 512's whole run) in microseconds, alternating."""
    ours, theirs = [], []
    for _ in range(runs):
        if os.path.exists(timing):
            os.remove(timing)
        pane = Pane(skarn, path, timing)
        try:
            pane.wait_for("/ %d" % SIZE)
            deadline = time.monotonic() + 10
            while not timing_lines(timing, "open-to-screen") and time.monotonic() < deadline:
                time.sleep(0.01)
            ours.extend(timing_lines(timing, "open-to-screen"))
        finally:
            pane.close()
        started = time.monotonic()
        subprocess.run(["xxd", "-l", "512", path], stdout=subprocess.DEVNULL, check=True)
        theirs.append(int((time.monotonic() - started) * 1e6))
    return ours, theirs


def report(name, values):
    if not values:
        print("%-44s no measurements" % name)
        return
    print("%-44s median %7d us   p90 %7d us   n=%d" %
          (name, statistics.median(values), sorted(values)[int(len(values) * 0.9)], len(values)))


def main():
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    skarn = os.path.abspath(sys.argv[1])
    base = sys.argv[2] if len(sys.argv) > 2 else ("/work/tmp" if os.path.isdir("/work/tmp") else None)
    keys = int(sys.argv[3]) if len(sys.argv) > 3 else 200
    work = tempfile.mkdtemp(prefix="skarn-view-bench-", dir=base)
    path = os.path.join(work, "big.bin")
    timing = os.path.join(work, "timing.log")
    try:
        with open(path, "wb") as f:
            f.truncate(SIZE)
        print("load average before: %.2f %.2f %.2f" % os.getloadavg())
        ours, theirs = open_times(skarn, path, timing, 9)
        report("open to first screen, 100 GiB", ours)
        report("reference: xxd -l 512, whole run", theirs)
        if ours and theirs:
            print("%-44s %.2f" % ("ratio (view open / xxd run)", statistics.median(ours) / statistics.median(theirs)))
        report("key to screen, start of 100 GiB", key_times(skarn, path, timing, keys))
        report("key to screen, end of 100 GiB", key_times(skarn, path, timing, keys, at_end=True))
        report("key to screen, behind 1e5 changes", key_times(skarn, path, timing, keys, edits=100000))
        report("key to screen, end, behind 1e5 changes",
               key_times(skarn, path, timing, keys, at_end=True, edits=100000))
        print("load average after: %.2f %.2f %.2f" % os.getloadavg())
    finally:
        shutil.rmtree(work)


if __name__ == "__main__":
    main()
