"""skarn recover, and in-place saves of skarn edit cut short by a signal."""

import hashlib
import os
import signal
import subprocess
import time

from skarn_test_support import SkarnTestCase, main, skarn_env
import skarn_test_support as support

BIG = 64 << 20


def digest(path):
    with open(path, "rb") as file:
        return hashlib.sha256(file.read()).hexdigest()


class RecoverTest(SkarnTestCase):
    def journal(self, path):
        return path.parent / (".%s.skarn-journal" % path.name)

    def test_nothing_to_recover(self):
        source = self.write("doc.txt", b"content\n")
        out, _ = self.skarn("recover", source)
        self.assertEqual(out.decode(), "nothing to recover: %s has no journal\n" % source)
        self.assertEqual(source.read_bytes(), b"content\n")
        _, err = self.skarn("recover", self.path("missing.txt"), status=2)
        self.assertIn("No such file", err)

    def test_a_journal_that_cannot_be_applied_stays_and_is_named(self):
        source = self.write("doc.txt", b"content\n")
        foreign = self.random_bytes(200)
        self.journal(source).write_bytes(foreign)
        for args in (["recover", source], ["edit", source, "--in-place", "--insert", "0:x"], ["info", source]):
            with self.subTest(args=args[0]):
                _, err = self.skarn(*args, status=2)
                self.assertIn("not a journal of this library's format", err)
                self.assertEqual(self.journal(source).read_bytes(), foreign)
                self.assertEqual(source.read_bytes(), b"content\n")

    def kill_during_save(self, source, stop):
        """Starts an in-place save that shifts the whole file by one byte and
        sends `stop` once its journal exists; returns the tool's exit status,
        or None when the save ended before the journal was seen."""
        killed_tmp = self.path("killed-tmp")
        killed_tmp.mkdir(exist_ok=True)
        # A relative FILE: the library reports the file it saved by another name.
        child = subprocess.Popen([support.SKARN, "edit", source.name, "--in-place", "-q", "--insert", "0:x"],
                                 cwd=source.parent, env=skarn_env(killed_tmp), stdout=subprocess.DEVNULL,
                                 stderr=subprocess.DEVNULL)
        journal = self.journal(source)
        seen = False
        while child.poll() is None:
            if journal.exists():
                seen = True
                child.send_signal(stop)
                break
            time.sleep(0.0005)
        status = child.wait(timeout=600)
        return status if seen else None

    def test_a_save_cut_short_ends_with_the_old_or_the_new_content(self):
        old = self.random_bytes(BIG)
        old_digest = hashlib.sha256(old).hexdigest()
        new_digest = hashlib.sha256(b"x" + old).hexdigest()
        source = self.path("big.bin")
        for stop in (signal.SIGKILL, signal.SIGINT):
            with self.subTest(signal=stop.name):
                status = None
                for _ in range(10):
                    source.write_bytes(old)
                    status = self.kill_during_save(source, stop)
                    if status is not None:
                        break
                self.assertIsNotNone(status, "the save always ended before its journal was seen")
                if stop == signal.SIGINT:
                    # Cancelled before the journal was complete, or completed.
                    self.assertIn(status, (0, 128 + signal.SIGINT))
                    self.assertFalse(os.path.lexists(self.journal(source)), "a stopped save left its journal")
                    self.assertEqual(digest(source), old_digest if status != 0 else new_digest)
                    continue
                self.assertEqual(status, -signal.SIGKILL)
                self.assertTrue(self.journal(source).exists())
                out, _ = self.skarn("recover", source)
                now = digest(source)
                self.assertIn(now, (old_digest, new_digest))
                which = "new" if now == new_digest else "old"
                self.assertEqual(out.decode(), "recovered: %s has its %s content\n" % (source, which))
                self.assertFalse(os.path.lexists(self.journal(source)))
                out, _ = self.skarn("recover", source)
                self.assertIn("nothing to recover", out.decode())


class JournalsTest(SkarnTestCase):
    def journaled_session(self, source, end):
        """Runs the journaled_session helper (see journaled_session.c) over
        `source`; returns the process and the path of its journal."""
        helper = os.environ.get("SKARN_JOURNALED_SESSION")
        if helper is None:
            raise AssertionError("SKARN_JOURNALED_SESSION must name the helper program (the tests' CMake sets it)")
        child = subprocess.Popen([helper, str(source), end],
                                 stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        journal = child.stdout.readline().strip()
        self.assertTrue(journal, "the journaled session did not start")
        if end == "die":
            child.communicate(timeout=60)
            self.assertEqual(child.returncode, 0)
        return child, journal

    def test_left_journals_are_listed_and_removed_held_ones_refused(self):
        work = self.path("work")
        work.mkdir()
        source = work / "doc.txt"
        source.write_bytes(b"content\n")
        _, left = self.journaled_session(source, "die")
        kept_by_left = set(os.listdir(work)) - {"doc.txt"}
        self.assertIn(os.path.basename(left), kept_by_left)
        self.assertGreaterEqual(len(kept_by_left), 3, "the journal, the private copy and the checkpoint")
        live, held = self.journaled_session(source, "hold")
        try:
            empty = self.path("empty")
            empty.mkdir()
            out, _ = self.skarn("journals", empty, work)
            self.assertEqual(sorted(out.decode().splitlines()),
                             sorted(["%s\t%s\tleft" % (left, source), "%s\t%s\theld" % (held, source)]))
            _, err = self.skarn("journals", "--remove", held, status=2)
            self.assertIn("a live session holds it", err)
            _, err = self.skarn("journals", "--remove", source, status=2)
            self.assertIn("not a session journal", err)
            _, err = self.skarn("journals", self.path("missing"), status=2)
            self.assertIn("No such file", err)
            # The journal named before a refused one is removed, and said so.
            out, err = self.skarn("journals", "--remove", left, held, status=2)
            self.assertEqual(out.decode(), "removed: %s\n" % left)
            self.assertEqual(set(os.listdir(work)) & kept_by_left, set(), "files of the removed journal stayed")
            self.assertTrue(os.path.exists(held))
            out, _ = self.skarn("journals", work)
            self.assertEqual(out.decode(), "%s\t%s\theld\n" % (held, source))
        finally:
            live.communicate("", timeout=60)
        self.assertEqual(live.returncode, 0)
        self.assertEqual(os.listdir(work), ["doc.txt"])
        self.assertEqual(source.read_bytes(), b"content\n")
        out, _ = self.skarn("journals", work)
        self.assertEqual(out, b"")


if __name__ == "__main__":
    main()
