"""Tests of the skarn_edit package against the built library.

Run with SKARN_EDIT_LIBRARY naming the library and the package on PYTHONPATH.
"""

import errno
import json
import os
import random
import signal
import re
import subprocess
import sys
import tempfile
import textwrap
import time
import unittest

import skarn_edit
from skarn_edit import _native


class TempDir(unittest.TestCase):
    def setUp(self):
        self._tmp = tempfile.TemporaryDirectory(prefix="skarn_py_")
        self.dir = self._tmp.name
        self.addCleanup(self._tmp.cleanup)

    def write(self, name, data):
        path = os.path.join(self.dir, name)
        with open(path, "wb") as file:
            file.write(data)
        return path

    def run_child(self, code):
        """Runs `code` in a child interpreter in the test's directory, so that a crash fails the test only."""
        result = subprocess.run([sys.executable, "-X", "faulthandler", "-c", textwrap.dedent(code)], cwd=self.dir,
                                capture_output=True, text=True, timeout=300)
        self.assertEqual(result.returncode, 0, result.stderr)
        return result.stdout


def model_find(content, pattern, start, end, reverse, overlap, ignore_case):
    """The offsets bytes.find / rfind give, in search order."""
    if ignore_case:
        content, pattern = content.lower(), pattern.lower()
    found = []
    if not reverse:
        position = content.find(pattern, start, end)
        while position != -1:
            found.append(position)
            position = content.find(pattern, position + (1 if overlap else len(pattern)), end)
    else:
        position = content.rfind(pattern, start, end)
        while position != -1:
            found.append(position)
            # The next match must start before this one; without overlap it must also end before it.
            limit = position + len(pattern) - 1 if overlap else position
            position = content.rfind(pattern, start, limit)
    return found


class DifferentialTest(TempDir):
    """Random scripts on a Session and on a bytearray with an undo model, compared after every step."""

    ALPHABET = b"abAB\n"

    def random_bytes(self, rng, low=1, high=6):
        return bytes(rng.choice(self.ALPHABET) for _ in range(rng.randint(low, high)))

    def check_same(self, rng, session, model, step):
        where = f"step {step}"
        self.assertEqual(len(session), len(model), where)
        self.assertEqual(session[:], bytes(model), where)
        for _ in range(3):
            a, b = rng.randint(-len(model) - 2, len(model) + 2), rng.randint(-len(model) - 2, len(model) + 2)
            self.assertEqual(session[a:b], bytes(model[a:b]), f"{where} [{a}:{b}]")
        offset = rng.randint(0, len(model))
        buffer = bytearray(b"?" * rng.randint(0, 12))
        count = session.readinto(offset, buffer)
        self.assertEqual(bytes(buffer[:count]), bytes(model[offset:offset + len(buffer)]), where)
        self.assertEqual(buffer[count:], b"?" * (len(buffer) - count), where)
        if model:
            i = rng.randint(-len(model), len(model) - 1)
            self.assertEqual(session[i], model[i], f"{where} [{i}]")
        pattern = self.random_bytes(rng, 1, 3)
        start = rng.randint(0, len(model))
        end = rng.choice([None, rng.randint(0, len(model))])
        stop = len(model) if end is None else end
        for reverse in (False, True):
            overlap, ignore_case = rng.random() < 0.5, rng.random() < 0.3
            expected = model_find(bytes(model), pattern, start, stop, reverse, overlap, ignore_case)
            got = list(session.find(pattern, start, end, reverse=reverse, overlap=overlap, ignore_case=ignore_case))
            self.assertEqual(got, expected, f"{where} find {pattern!r} [{start}:{end}] reverse={reverse} "
                                            f"overlap={overlap} ignore_case={ignore_case} in {bytes(model)!r}")
            counted = session.count(pattern, start, end, reverse=reverse, overlap=overlap, ignore_case=ignore_case)
            self.assertEqual(counted, len(expected), f"{where} count {pattern!r} [{start}:{end}] reverse={reverse}")

    def run_script(self, seed, steps):
        rng = random.Random(seed)
        original = self.random_bytes(rng, 0, 40)
        path = self.write(f"diff{seed}.bin", original)
        model = bytearray(original)
        undo_stack, redo_stack = [], []  # (content before, content after, serials) per undo step
        with skarn_edit.Session(path, self.dir) as session:
            for step in range(steps):
                roll = rng.random()
                if roll < 0.45:
                    before = bytes(model)
                    serials = []
                    group = rng.randint(2, 4) if rng.random() < 0.2 else 1
                    with session.transaction():
                        for _ in range(group):
                            serials.append(self.random_edit(rng, session, model))
                    self.assertTrue(all(s > 0 for s in serials))
                    self.assertEqual(len(set(serials)), len(serials))
                    undo_stack.append((before, bytes(model), serials))
                    redo_stack.clear()
                elif roll < 0.65:
                    result = session.undo()
                    if undo_stack:
                        before, after, serials = undo_stack.pop()
                        self.assertEqual(result, min(serials), f"step {step}")
                        model[:] = before
                        redo_stack.append((before, after, serials))
                    else:
                        self.assertEqual(result, 0)
                elif roll < 0.8:
                    result = session.redo()
                    if redo_stack:
                        before, after, serials = redo_stack.pop()
                        self.assertEqual(result, max(serials), f"step {step}")
                        model[:] = after
                        undo_stack.append((before, after, serials))
                    else:
                        self.assertEqual(result, 0)
                elif roll < 0.95:
                    target = os.path.join(self.dir, "saved.bin")
                    if model:
                        written = session.save(target, overwrite=True)
                        self.assertEqual(os.path.realpath(written), os.path.realpath(target))
                        with open(target, "rb") as file:
                            self.assertEqual(file.read(), bytes(model), f"step {step}")
                else:
                    session.clear_changes()
                    model[:] = original
                    undo_stack.clear()
                    redo_stack.clear()
                self.assertEqual(session.num_undone_changes,
                                 sum(len(serials) for _, _, serials in redo_stack), f"step {step}")
                self.check_same(rng, session, model, step)
            self.assertEqual(session.num_changes, sum(len(serials) for _, _, serials in undo_stack))

    def random_edit(self, rng, session, model):
        kind = rng.choice(["insert", "overwrite", "delete"] if model else ["insert", "overwrite"])
        if kind == "delete":
            offset = rng.randrange(len(model))
            length = rng.randint(1, 8)
            del model[offset:offset + length]
            return session.delete(offset, length)
        offset = rng.randint(0, len(model))
        data = self.random_bytes(rng)
        # Every accepted input type goes through the same path.
        argument = rng.choice([data, bytearray(data), memoryview(data), data.decode("ascii")])
        if kind == "insert":
            model[offset:offset] = data
            return session.insert(offset, argument)
        model[offset:offset + len(data)] = data
        return session.overwrite(offset, argument)

    def test_random_scripts(self):
        seed = int(os.environ.get("SKARN_TEST_SEED", random.randrange(1 << 30)))
        for index in range(12):
            with self.subTest(seed=seed + index):
                self.run_script(seed + index, 120)

    def test_paths_for_libraries_without_the_optional_functions(self):
        # Reading through segments, transforms by a Python call per byte, bytes copied once more.
        present, new_bytes = set(_native._present), _native.new_bytes
        _native._present.clear()
        _native.new_bytes = None
        try:
            self.run_script(4242, 60)
            content = bytes(range(256)) * 3
            with skarn_edit.Session(self.write("old.bin", content)) as session:
                session.transform(bytes(reversed(range(256))), 10, 500)
                self.assertEqual(session[:], content[:10] + content[10:510].translate(bytes(reversed(range(256))))
                                 + content[510:])
                self.assertEqual(session.read(250, 3 << 20), session[250:])
        finally:
            _native._present.update(present)
            _native.new_bytes = new_bytes


class LifecycleAndErrorsTest(TempDir):
    def test_use_after_close_and_cleanup(self):
        path = self.write("a.txt", b"hello")
        checkpoints = os.path.join(self.dir, "chk")
        session = skarn_edit.Session(path, checkpoints)
        viewport = session.viewport(0, 4)
        session.insert(0, b"x")
        session.checkpoint()
        self.assertTrue(os.listdir(checkpoints))
        with session:
            pass
        self.assertTrue(session.closed)
        session.close()  # idempotent
        self.assertEqual(os.listdir(checkpoints), [], "the session's files are left behind")
        for call in (lambda: len(session), lambda: session[0], lambda: session.read(0, 1),
                     lambda: session.insert(0, b"x"), lambda: session.undo(), lambda: list(session.find(b"h")),
                     lambda: session.save(os.path.join(self.dir, "b")), lambda: session.viewport(0, 1),
                     lambda: viewport.data, lambda: session.num_changes, lambda: session.checkpoint()):
            with self.assertRaises(ValueError):
                call()
        viewport.close()  # harmless after the session went

    def test_library_that_cannot_be_loaded_is_named(self):
        missing = os.path.join(self.dir, "libmissing.so")
        environment = dict(os.environ, SKARN_EDIT_LIBRARY=missing)
        result = subprocess.run([sys.executable, "-c", "import skarn_edit"], env=environment,
                                capture_output=True, text=True)
        self.assertNotEqual(result.returncode, 0)
        self.assertIn("ImportError", result.stderr)
        self.assertIn(missing, result.stderr)

    def test_bad_arguments(self):
        with skarn_edit.Session(self.write("a.txt", b"hello")) as s:
            for call in (lambda: s.insert(6, b"x"), lambda: s.insert(-1, b"x"), lambda: s.overwrite(6, b"x"),
                         lambda: s.delete(5, 1), lambda: s.delete(0, 0), lambda: s.insert(0, b""),
                         lambda: s.read(-1, 1), lambda: s.read(6, 1), lambda: s[::2], lambda: s.find(b""),
                         lambda: s.viewport(0, 0), lambda: s.viewport(0, (1 << 20) + 1),
                         lambda: s.transform(bytes(255)), lambda: s.transform(lambda b: b + 256),
                         lambda: s.character_counts(bom="EBCDIC"), lambda: s.byte_profile(6)):
                with self.assertRaises(ValueError):
                    call()
            with self.assertRaises(IndexError):
                s[5]
            with self.assertRaises(TypeError):
                s.insert(0, 5)
            self.assertEqual(s.num_changes, 0)
            self.assertEqual((s[-5], s[-2:], s[7:9], s.read(5, 10)), (ord("h"), b"lo", b"", b""))
        with self.assertRaises(skarn_edit.Error):
            skarn_edit.Session(os.path.join(self.dir, "missing"))

    def test_integers_beyond_64_bits(self):
        big = (1 << 64) + 1  # 1 once wrapped to 64 bits
        with skarn_edit.Session(self.write("a.txt", b"hello world")) as s:
            for call in (lambda: s.insert(big, b"x"), lambda: s.delete(big, 1), lambda: s.read(big, 1),
                         lambda: s.readinto(-big, bytearray(1)), lambda: s.viewport(big, 4), lambda: s.viewport(0, big),
                         lambda: s.save("b", offset=big), lambda: s.transform(bytes(256), 0, big)):
                with self.assertRaises(OverflowError):
                    call()
            self.assertEqual((s.num_changes, s.num_checkpoints), (0, 0))
            viewport = s.viewport(0, 4, floating=1 << 32)
            self.assertTrue(viewport.floating)
            with self.assertRaises(OverflowError):
                viewport.move(big)
            self.assertEqual(list(s.find(b"WORLD", ignore_case=1 << 32)), [6])
            # A length the library cuts at the end of the content reaches to that end.
            self.assertEqual((s.read(6, big), s.character_counts(6, big).single_byte), (b"world", 5))
            with open(s.save(os.path.join(self.dir, "tail.txt"), offset=6, length=big), "rb") as file:
                self.assertEqual(file.read(), b"world")
            s.delete(5, big)
            self.assertEqual(s[:], b"hello")

    def test_paused_changes_and_transactions(self):
        with skarn_edit.Session(self.write("a.txt", b"0123456789")) as s:
            s.pause_changes()
            for call in (lambda: s.insert(0, b"x"), lambda: s.delete(0, 1), lambda: s.undo(), lambda: s.redo()):
                with self.assertRaises(skarn_edit.Error):
                    call()
            s.resume_changes()
            with s.transaction():
                s.delete(0, 2)
                with s.transaction():  # nested: joins the outer one
                    s.insert(0, b"ab")
                s.overwrite(8, b"XYZ")
            self.assertEqual(s[:], b"ab234567XYZ")
            self.assertEqual(s.undo(), 1)
            self.assertEqual((s[:], s.num_undone_changes, s.undo()), (b"0123456789", 3, 0))
            self.assertEqual(s.redo(), 3)
            self.assertEqual([(c.serial, c.kind, c.offset, c.length, c.data) for c in s.changes],
                             [(1, "delete", 0, 2, b""), (2, "insert", 0, 2, b"ab"), (3, "overwrite", 8, 3, b"XYZ")])

    def test_save_failures_and_numbered_names(self):
        path = self.write("a.txt", b"abc")
        blocker = self.write("file", b"")
        with skarn_edit.Session(path, self.dir) as s:
            s.insert(3, b"d")
            with self.assertRaises(skarn_edit.SaveError) as caught:
                s.save(os.path.join(blocker, "sub", "out.txt"))
            self.assertIsInstance(caught.exception, OSError)
            self.assertLess(caught.exception.code, 0)
            self.assertIn("out.txt", str(caught.exception))
            first = s.save(path)  # the file exists: a numbered name
            self.assertNotEqual(os.path.realpath(first), os.path.realpath(path))
            self.assertEqual(os.path.realpath(s.save(path, overwrite=True)), os.path.realpath(path))
            self.assertEqual(os.path.realpath(s.save(path, offset=1, length=2, force=True)), os.path.realpath(path))
            with open(first, "rb") as a, open(path, "rb") as b:
                self.assertEqual((a.read(), b.read()), (b"abcd", b"bc"))

    @unittest.skipUnless(_native.has("skarn_error_last"), "the library keeps no record of its failures")
    def test_failures_carry_the_librarys_record(self):
        path = self.write("a.txt", b"abc")
        blocker = self.write("file", b"")
        os.mkdir(os.path.join(self.dir, "d"))
        with skarn_edit.Session(path, self.dir) as s:
            s.insert(0, b"x")
            with self.assertRaises(skarn_edit.SaveError) as caught:
                s.save(os.path.join(self.dir, "d"), overwrite=True)  # a rename onto a directory
        saved = caught.exception
        self.assertEqual((saved.errno, saved.strerror), (errno.EISDIR, os.strerror(errno.EISDIR)))
        self.assertEqual((saved.function, saved.result), ("skarn_edit_save_segment", saved.code))
        self.assertRegex(str(saved), r"^renaming the temporary file failed: .*/d: .*Is a directory$")
        # A failure whose cause is no failed system call (after one that was): no errno.
        with self.assertRaises(skarn_edit.Error) as caught:
            skarn_edit.Session(path, os.path.join(blocker, "chk"))
        opened = caught.exception
        self.assertEqual((opened.errno, opened.strerror, opened.function, opened.result),
                         (None, None, "skarn_edit_create_session", 0))
        self.assertEqual(str(opened), "cannot open a session over %r: failed to create checkpoint directory %r"
                         % (path, os.path.join(blocker, "chk")))

    def test_analysis(self):
        text = "\ufeffa\u00e9\u20ac\U0001f600".encode("utf-8") + b"\xff\r\n"
        with skarn_edit.Session(self.write("u.txt", text)) as s:
            self.assertEqual(s.bom, "UTF-8")
            counts = s.character_counts()
            self.assertEqual((counts.bom, counts.single_byte, counts.double_byte, counts.triple_byte,
                              counts.quad_byte, counts.invalid_bytes), ("UTF-8", 3, 1, 1, 1, 1))
            profile = s.byte_profile(3)
            self.assertEqual(len(profile), 257)
            self.assertEqual(profile[:256], [text[3:].count(bytes([v])) for v in range(256)])
            self.assertEqual(profile[256], 1)
            self.assertEqual(s.byte_profile(0, 0), [0] * 257)
        with skarn_edit.Session(self.write("n.txt", b"plain")) as s:
            self.assertEqual(s.bom, "none")


class CallbackTest(TempDir):
    def test_viewports_follow_edits(self):
        with skarn_edit.Session(self.write("a.txt", b"0123456789abcdef")) as s:
            seen = []
            fixed = s.viewport(4, 4, on_change=lambda v: seen.append(("fixed", v.offset, v.data)))
            floating = s.viewport(8, 4, floating=True, on_change=lambda v: seen.append(("float", v.offset, v.data)))
            self.assertEqual((fixed.data, floating.data, fixed.length), (b"4567", b"89ab", 4))
            s.overwrite(14, b"EF")  # touches neither
            self.assertEqual(seen, [])
            s.insert(0, b"--")
            self.assertEqual(seen, [("fixed", 4, b"2345"), ("float", 10, b"89ab")])
            seen.clear()
            s.undo()
            self.assertEqual(seen, [("fixed", 4, b"4567"), ("float", 8, b"89ab")])
            seen.clear()
            s.transform(bytes.maketrans(b"0123456789", b"ABCDEFGHIJ"))
            self.assertEqual(seen, [("fixed", 4, b"EFGH"), ("float", 8, b"IJab")])
            seen.clear()
            s.drop_checkpoint()
            self.assertEqual(seen, [("fixed", 4, b"4567"), ("float", 8, b"89ab")])
            floating.move(0, 2)
            self.assertEqual((floating.data, floating.offset, floating.capacity), (b"01", 0, 2))
            fixed.close()
            fixed.close()
            seen.clear()
            s.insert(0, b"!")
            self.assertEqual(seen, [("float", 1, b"01")])
            self.assertEqual(len(s.viewports), 1)
            far = s.viewport(100, 4)
            self.assertEqual((far.data, far.length), (b"", 0))

    def test_events_and_exceptions_from_callbacks(self):
        with skarn_edit.Session(self.write("a.txt", b"abc")) as s:
            events = []
            s.on_event = lambda name, change: events.append((name, change and (change.serial, change.kind)))
            s.insert(0, b"x")
            s.undo()
            s.redo()
            s.checkpoint()
            s.drop_checkpoint()
            s.clear_changes()
            s.on_event = None
            s.insert(0, b"y")
            self.assertEqual(events, [("edit", (1, "insert")), ("undo", (1, "insert")), ("edit", (1, "insert")),
                                      ("save", None), ("create_checkpoint", None), ("destroy_checkpoint", None), ("clear", None)])

            def fail(*_):
                raise KeyError("from the callback")
            s.on_event = fail
            with self.assertRaises(KeyError):
                s.insert(0, b"z")
            self.assertEqual(s[:2], b"zy")  # the edit itself was made
            s.on_event = None
            s.insert(0, b"w")  # the exception was raised once, not kept
            viewport = s.viewport(0, 2, on_change=fail)
            with self.assertRaises(KeyError):
                s.delete(0, 1)
            viewport.on_change = None
            s.delete(0, 1)
            calls = []
            with self.assertRaises(ZeroDivisionError):
                s.transform(lambda b: calls.append(b) or 1 // 0)
            self.assertEqual((calls, s.num_checkpoints), ([0], 0))  # nothing touched

    def test_close_from_inside_callbacks(self):
        # The library refuses to destroy while its callback runs: the close (or
        # a search's end) takes effect once the call returns, and no callback follows a close.
        self.assertEqual(self.run_child("""
            import ctypes, gc, os, skarn_edit
            searches = skarn_edit._native.lib.skarn_session_get_num_search_contexts
            searches.restype, searches.argtypes = ctypes.c_int64, [ctypes.c_void_p]
            with open("a.txt", "wb") as file:
                file.write(b"0123456789")
            os.mkdir("chk")
            s = skarn_edit.Session("a.txt", "chk")
            events, calls = [], []
            s.on_event = lambda name, change: events.append(name) or s.count(b"0")
            # Only the session refers to the viewport.
            s.viewport(0, 4, on_change=lambda viewport: calls.append(viewport.closed) or viewport.close())
            with s.transaction():
                s.insert(0, b"a")
                s.insert(0, b"b")
            gc.collect()
            s.insert(0, b"c")  # would call the freed callback
            assert (calls, s.viewports) == ([False], ()), (calls, s.viewports)
            assert events == ["create_viewport", "edit", "edit", "destroy_viewport", "edit"], events
            assert searches(s._handle) == 0, searches(s._handle)

            with s.transaction():
                s.insert(0, b"d")
                s.insert(0, b"e")
            s.on_event = lambda name, change: calls.append(name) or s.close()
            assert s.undo() == 4  # two undo events: the second is not delivered
            assert calls == [False, "undo"], calls
            assert os.listdir("chk") == [], os.listdir("chk")
            try:
                len(s)
            except ValueError:
                print("closed")
            """), "closed\n")

    def test_transform_by_function_and_table(self):
        rng = random.Random(7)
        content = bytes(rng.randrange(256) for _ in range(5000))
        with skarn_edit.Session(self.write("t.bin", content)) as s:
            s.transform(lambda b: (b * 7 + 3) & 0xFF, 100, 1000)
            expected = content[:100] + bytes((b * 7 + 3) & 0xFF for b in content[100:1100]) + content[1100:]
            self.assertEqual(s[:], expected)
            table = bytes(rng.randrange(256) for _ in range(256))
            s.transform(bytearray(table), 4000)
            expected = expected[:4000] + expected[4000:].translate(table)
            self.assertEqual(s[:], expected)
            self.assertEqual(s.num_checkpoints, 2)
            s.drop_checkpoint()
            s.drop_checkpoint()
            self.assertEqual(s[:], content)
            with self.assertRaises(skarn_edit.Error):
                s.drop_checkpoint()


    def test_replace_all_is_bytes_replace_over_the_range_and_one_checkpoint(self):
        content = b"one Two ONE two one\n" * 300
        with skarn_edit.Session(self.write("r.txt", content)) as s:
            s.delete(5, 3)  # edited content: more than one piece
            edited = content[:5] + content[8:]
            self.assertEqual(s.replace_all(b"one", b"1", 10, 4000), edited[10:4000].count(b"one"))
            expected = edited[:10] + edited[10:4000].replace(b"one", b"1") + edited[4000:]
            self.assertEqual(s[:], expected)
            self.assertEqual(s.replace_all(b"TWO", b"", ignore_case=True), expected.lower().count(b"two"))
            self.assertEqual(s[:], re.sub(b"(?i)two", b"", expected))
            self.assertEqual(s.replace_all(b"absent", b"x"), 0)
            self.assertEqual(s.num_checkpoints, 2)
            s.drop_checkpoint()
            self.assertEqual(s[:], expected)
            with self.assertRaises(ValueError):
                s.replace_all(b"", b"x")

class ThreadTest(TempDir):
    def test_one_session_over_threads(self):
        self.assertEqual(self.run_child("""
            import os, threading, skarn_edit
            with open("a.bin", "wb") as file:
                file.write(b"ab" * 50000)
            s = skarn_edit.Session("a.bin", ".")
            for offset in range(0, 40, 10):
                s.viewport(offset, 64, floating=True, on_change=lambda v: v.data)
            start, outcomes = threading.Barrier(4), []

            def edit():
                start.wait()
                for i in range(300):
                    with s.transaction():  # other threads wait: the two inserts stay one step
                        s.insert(i, b"x")
                        s.insert(i, b"y")

            def read():
                start.wait()
                try:
                    while True:
                        for viewport in s.viewports:
                            viewport.data
                        s.read(0, 4096)
                        try:
                            next(s.find(b"ab", 0, 200), None)
                        except RuntimeError:  # another thread edited during the search
                            pass
                except BaseException as error:
                    outcomes.append(type(error).__name__)

            threads = [threading.Thread(target=work, daemon=True) for work in (edit, edit, read, read)]
            for thread in threads:
                thread.start()
            for thread in threads[:2]:
                thread.join(120)
            assert (len(s), s.num_changes, s.undo()) == (101200, 1200, 1199), (len(s), s.num_changes)
            s.close()  # while the readers read
            for thread in threads[2:]:
                thread.join(120)
            assert outcomes == ["ValueError", "ValueError"], outcomes
            print(sorted(os.listdir(".")))
            """), "['a.bin']\n")


class InPlaceTest(TempDir):
    def test_in_place(self):
        path = self.write("a.txt", b"hello world")
        checkpoints = os.path.join(self.dir, "chk")
        os.mkdir(checkpoints)
        if not _native.has("skarn_edit_create_session_with_options"):
            with self.assertRaises(NotImplementedError):
                skarn_edit.Session(path, checkpoints, in_place=True)
            return
        with skarn_edit.Session(path, checkpoints, in_place=True) as s:
            self.assertEqual(os.listdir(checkpoints), [], "an in-place session copied the file")
            s.overwrite(0, b"J")
            s.insert(len(s), b"!")
            self.assertEqual(os.path.realpath(s.save(path, overwrite=True)), os.path.realpath(path))
        with open(path, "rb") as file:
            self.assertEqual(file.read(), b"Jello world!")

    def test_save_in_place_keeps_the_inode(self):
        path = self.write("a.txt", b"hello world")
        link = os.path.join(self.dir, "link.txt")
        os.link(path, link)
        inode = os.stat(path).st_ino
        with skarn_edit.Session(path, in_place=True) as s:
            s.insert(0, b">")
            other = self.write("other.txt", b"other")
            with self.assertRaises(skarn_edit.SaveError) as caught:
                s.save(other, in_place=True)
            self.assertEqual(caught.exception.code, -16)
            with open(other, "rb") as file:
                self.assertEqual(file.read(), b"other")
            os.unlink(other)
            self.assertEqual(os.path.realpath(s.save(path, in_place=True)), os.path.realpath(path))
        self.assertEqual(os.stat(path).st_ino, inode)
        with open(link, "rb") as file:
            self.assertEqual(file.read(), b">hello world")
        self.assertEqual(sorted(os.listdir(self.dir)), ["a.txt", "link.txt"])
        self.assertFalse(skarn_edit.recover(path))

    def test_recover_after_a_killed_save(self):
        old = os.urandom(64 << 20)
        path = self.write("big.bin", old)
        journal = os.path.join(self.dir, ".big.bin.skarn-journal")
        code = ("import skarn_edit\n"
                "with skarn_edit.Session('big.bin', in_place=True) as s:\n"
                "    s.insert(0, b'x')\n"
                "    s.save('big.bin', in_place=True)\n")
        for _ in range(10):
            child = subprocess.Popen([sys.executable, "-c", code], cwd=self.dir)
            while child.poll() is None and not os.path.exists(journal):
                time.sleep(0.0005)
            child.kill()
            child.wait()
            if os.path.exists(journal):
                break
            self.write("big.bin", old)
        self.assertTrue(os.path.exists(journal), "the save always ended before its journal was seen")
        self.assertTrue(skarn_edit.recover(path))
        with open(path, "rb") as file:
            content = file.read()
        self.assertTrue(content in (old, b"x" + old), "recovered to neither the old nor the new content")
        self.assertFalse(os.path.exists(journal))
        self.assertFalse(skarn_edit.recover(path))


def random_edits(rng, content, count):
    """`count` random edits, undos and redos over `content`, and the model's
    contents: those the changes in force lead through (the first is
    `content`) and those undone (the next redo's last)."""
    done, undone, edits = [content], [], []
    for _ in range(count):
        current, roll = done[-1], rng.random()
        if roll < 0.15 and len(done) > 1:
            edits.append(["undo"])
            undone.append(done.pop())
            continue
        if roll < 0.25 and undone:
            edits.append(["redo"])
            done.append(undone.pop())
            continue
        offset = rng.randrange(len(current) + 1)
        data = rng.randbytes(rng.choice([1, 7, 300, 5000]))
        if roll < 0.55 or not current:
            edits.append(["insert", offset, data.hex()])
            done.append(current[:offset] + data + current[offset:])
        elif roll < 0.8:
            edits.append(["overwrite", offset, data.hex()])
            done.append(current[:offset] + data + current[offset + len(data):])
        else:
            offset = min(offset, len(current) - 1)
            length = rng.randrange(1, 2000)
            edits.append(["delete", offset, length])
            done.append(current[:offset] + current[offset + length:])
        undone.clear()
    return edits, done, undone


class JournalTest(TempDir):
    def killed_after_edits(self, edits, sync_ms):
        """Runs a child that applies `edits` (see random_edits) to a journaled
        session over doc.bin, reports its journal and is killed; returns the
        journal's path."""
        code = textwrap.dedent("""
            import json, sys, skarn_edit
            s = skarn_edit.Session("doc.bin", journal=True, journal_sync_ms=%d)
            for edit in json.loads(sys.stdin.readline()):
                if edit[0] in ("insert", "overwrite"):
                    getattr(s, edit[0])(edit[1], bytes.fromhex(edit[2]))
                else:
                    getattr(s, edit[0])(*edit[1:])
            print(s.journal_path, flush=True)
            sys.stdin.read()
        """ % sync_ms)
        child = subprocess.Popen([sys.executable, "-c", code], cwd=self.dir, stdin=subprocess.PIPE,
                                 stdout=subprocess.PIPE, text=True)
        try:
            child.stdin.write(json.dumps(edits) + "\n")
            child.stdin.flush()
            reported = child.stdout.readline().strip()
        finally:
            os.kill(child.pid, signal.SIGKILL)
            child.communicate(timeout=60)
        self.assertTrue(reported, "the child reported no journal")
        return os.path.join(self.dir, reported)

    def test_resume_after_the_process_was_killed(self):
        seed = int(os.environ.get("SKARN_TEST_SEED", random.randrange(1 << 30)))
        rng = random.Random(seed)
        original = rng.randbytes(200000)
        path = self.write("doc.bin", original)
        edits, done, undone = random_edits(rng, original, 60)
        reported = self.killed_after_edits(edits, rng.choice([0, 50, -1]))
        journal = skarn_edit.find_journal(path)
        self.assertEqual(os.path.realpath(journal), os.path.realpath(reported))
        with skarn_edit.Session.resume(journal) as resumed:
            with self.assertRaises(skarn_edit.Error):
                skarn_edit.Session.resume(journal)  # held by the resumed session
            self.assertIsNone(skarn_edit.find_journal(path))
            self.assertEqual(resumed.journal_path, journal)
            self.assertEqual(os.path.realpath(resumed.path), os.path.realpath(path))
            self.assertEqual((resumed.num_changes, resumed.num_undone_changes), (len(done) - 1, len(undone)))
            self.assertEqual(resumed[:], done[-1], "seed %d" % seed)
            if undone:
                resumed.redo()
                self.assertEqual(resumed[:], undone[-1], "seed %d" % seed)
                resumed.undo()
            for expected in reversed(done[:-1]):
                resumed.undo()
                self.assertEqual(resumed[:], expected, "seed %d" % seed)
        self.assertFalse(os.path.exists(journal), "closing the resumed session left its journal")
        self.assertEqual(sorted(os.listdir(self.dir)), ["doc.bin"])
        with open(path, "rb") as file:
            self.assertEqual(file.read(), original)
        with skarn_edit.Session(path) as plain:
            self.assertIsNone(plain.journal_path)
        with self.assertRaises(skarn_edit.Error):
            skarn_edit.remove_journal(path)  # not a journal: nothing removed
        skarn_edit.remove_journal(self.killed_after_edits(edits[:3], 0))
        self.assertEqual(sorted(os.listdir(self.dir)), ["doc.bin"], "removing the journal left its files")


if __name__ == "__main__":
    unittest.main()
