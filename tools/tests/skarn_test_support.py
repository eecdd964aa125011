"""Helpers shared by the tests of the skarn tool.

Each test script is run as `python3 <script> PATH_OF_SKARN [unittest arguments]`.
Every run of the tool gets a private TMPDIR, which must be empty again when the
tool exits: the tool keeps its session's copy of the file there and has to
remove it.
"""

import os
import random
import shutil
import subprocess
import sys
import tempfile
import unittest
from pathlib import Path

SKARN = None
SAMPLE = Path(__file__).resolve().parent.parent / "samples" / "sample.txt"


def main():
    global SKARN
    if len(sys.argv) < 2:
        sys.exit("usage: %s PATH_OF_SKARN [unittest arguments]" % sys.argv[0])
    SKARN = os.path.abspath(sys.argv[1])
    if not os.access(SKARN, os.X_OK):
        sys.exit("not an executable: %s" % SKARN)
    unittest.main(argv=[sys.argv[0]] + sys.argv[2:], verbosity=2)


def skarn_env(tmp):
    """The environment of a run of the tool: its own TMPDIR, the C locale."""
    return dict(os.environ, TMPDIR=str(tmp), LC_ALL="C")


def require_program(name):
    """Path of a reference program the tests compare against; its absence is a failure."""
    path = shutil.which(name)
    if path is None:
        raise AssertionError("the reference program %r is not installed" % name)
    return path


class SkarnTestCase(unittest.TestCase):
    """A test with its own directory and a seeded random generator."""

    seed = 20240601

    def setUp(self):
        self._dir = tempfile.TemporaryDirectory(prefix="skarn-test-")
        self.dir = Path(self._dir.name)
        self.tmp = self.dir / "tmpdir"
        self.tmp.mkdir()
        self.rng = random.Random("%s:%s" % (self.seed, self.id()))

    def tearDown(self):
        self._dir.cleanup()

    def path(self, name):
        return self.dir / name

    def write(self, name, data):
        p = self.dir / name
        p.write_bytes(data)
        return p

    def skarn(self, *args, status=0, env_extra=None):
        """Runs the tool and checks its exit status; returns (stdout bytes, stderr text).

        A failing run (status 2) must explain itself in exactly one line on
        stderr; a successful one must write nothing there.
        """
        env = skarn_env(self.tmp)
        if env_extra:
            env.update(env_extra)
        words = [SKARN] + [str(a) if not isinstance(a, bytes) else a for a in args]
        done = subprocess.run(words, stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env, timeout=600)
        err = done.stderr.decode("utf-8", "replace")
        context = "skarn %s\nstderr: %s" % (" ".join(repr(a) for a in args), err)
        self.assertEqual(done.returncode, status, context)
        if status == 2:
            self.assertEqual(err.count("\n"), 1, "expected one line on stderr; " + context)
            self.assertTrue(err.startswith("skarn"), context)
        else:
            self.assertEqual(err, "", context)
        self.assertEqual(os.listdir(self.tmp), [], "temporary files left behind; " + context)
        return done.stdout, err

    def random_text(self, size, alphabet=b"ab"):
        return bytes(self.rng.choices(alphabet, k=size))

    def random_bytes(self, size):
        return self.rng.randbytes(size)
