"""Tests of skarn view: the real program in a real terminal (tmux), typed at
with send-keys and read back with capture-pane, against xxd's bytes, the file
on disk and a model of the editor written in Python.

Exits 77 (skipped) when tmux is not installed.
"""

import itertools
import os
import re
import shlex
import shutil
import signal
import subprocess
import sys
import time

import skarn_test_support as support
from skarn_test_support import SkarnTestCase, main, require_program

ROW = re.compile(r"^([0-9a-f]{8,})  (.*)$")
STATUS = re.compile(r"0x([0-9A-F]+) \((\d+)\) / (\d+)  (INS|OVR)  (hex|text)")
SGR = re.compile(r"\x1b\[([0-9;]*)m")
sockets = itertools.count()


class Terminal:
    """skarn view running in a detached tmux session of its own server."""

    def __init__(self, case, args, width=80, height=40, env=None, cwd=None):
        self.case = case
        self.sent = []  # the keys sent, for the message of a failure
        self.socket = "skarn-view-test-%d-%d" % (os.getpid(), next(sockets))
        words = ["env", "LC_ALL=C"] + ["%s=%s" % item for item in (env or {}).items()]
        command = shlex.join(words + [support.SKARN, "view"] + [str(a) for a in args])
        # The exit status stays on the screen after the program ends.
        # A killed program leaves the terminal raw: stty puts it back first.
        shell = command + '; status=$?; stty sane; echo; echo "[exit $status]"; exec sleep 600'
        self.tmux("new-session", "-d", "-x", str(width), "-y", str(height), "-c", str(cwd or case.dir), shell)

    def tmux(self, *args):
        return subprocess.run(["tmux", "-L", self.socket, "-f", "/dev/null"] + list(args), check=True,
                              stdout=subprocess.PIPE, timeout=20).stdout.decode("utf-8", "replace")

    def keys(self, *keys):
        self.sent.extend(keys)
        self.tmux("send-keys", *keys)

    def type(self, text):
        self.sent.append(repr(text))
        self.tmux("send-keys", "-l", "--", text)

    def screen(self, escapes=False, history=False):
        return self.tmux("capture-pane", "-p", *(["-e"] if escapes else []), *(["-S", "-100"] if history else []))

    def wait(self, check, what, timeout=10):
        """Polls the screen until check(screen) is true; returns that screen."""
        deadline = time.monotonic() + timeout
        while True:
            screen = self.screen()
            if check(screen):
                return screen
            if time.monotonic() > deadline:
                self.case.fail("the screen never showed %s after the keys %s:\n%s" %
                               (what, " ".join(self.sent[-16:]), screen))
            time.sleep(0.02)

    def wait_text(self, text, timeout=10):
        return self.wait(lambda screen: text in screen, repr(text), timeout)

    def program(self):
        """The process id of skarn view (the child of the pane's shell), or None once it ended."""
        shell = self.tmux("display-message", "-p", "#{pane_pid}").strip()
        children = subprocess.run(["pgrep", "-P", shell], stdout=subprocess.PIPE).stdout.split()
        return int(children[0]) if children else None

    def kill_program(self, number=signal.SIGKILL):
        os.kill(self.program(), number)
        self.wait_text("[exit %d]" % (128 + number))

    def close(self):
        """Ends the terminal; the program sees the hangup and must end too."""
        program = self.program()
        subprocess.run(["tmux", "-L", self.socket, "kill-server"], stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + 10
        while program is not None and not ended(program):
            if time.monotonic() > deadline:
                self.case.fail("skarn view went on after its terminal was closed")
            time.sleep(0.02)


def ended(pid):
    """Whether the process is gone or a zombie."""
    try:
        with open("/proc/%d/stat" % pid) as f:
            return f.read().rsplit(") ", 1)[-1].startswith("Z")
    except FileNotFoundError:
        return True


def screen_rows(screen):
    """{offset: [bytes]} of the rows on the screen (a trailing "__" is the end)."""
    rows = {}
    for line in screen.splitlines():
        match = ROW.match(line)
        if match:
            hex_part = match.group(2).split("  ")[0]
            rows[int(match.group(1), 16)] = [int(t, 16) for t in hex_part.split() if t != "__"]
    return rows


def highlighted_bytes(escaped_screen):
    """Offsets of the bytes whose hex digits are drawn bold (changed bytes)."""
    marked = set()
    for line in escaped_screen.splitlines():
        plain, bold_at, bold = [], [], False
        position = 0
        for match in SGR.finditer(line + "\x1b[m"):
            for char in line[position:match.start()]:
                plain.append(char)
                bold_at.append(bold)
            position = match.end()
            codes = match.group(1).split(";") if match.group(1) else ["0"]
            for code in codes:
                if code in ("0", ""):
                    bold = False
                elif code == "1":
                    bold = True
                elif code == "22":
                    bold = False
        text = "".join(plain)
        row = ROW.match(text)
        if not row:
            continue
        start = len(row.group(1)) + 2
        for column in range(16):
            at = start + 3 * column
            if at + 1 < len(text) and text[at:at + 2].strip() and text[at:at + 2] != "__" and bold_at[at]:
                marked.add(int(row.group(1), 16) + column)
    return marked


def status_of(screen):
    match = STATUS.search(screen)
    if not match:
        return None
    return {"cursor": int(match.group(2)), "size": int(match.group(3)), "mode": match.group(4),
            "pane": match.group(5), "modified": "[modified]" in screen}


class EditorModel:
    """What the editor should hold after each key, kept in Python."""

    def __init__(self, data):
        self.data = bytearray(data)
        self.changed = [False] * len(data)
        self.cursor, self.insert, self.pane, self.pending = 0, False, "hex", False
        self.undone, self.done = [], []

    def snapshot(self):
        return bytes(self.data), list(self.changed)

    def begin(self, offset):
        self.done.append([self.snapshot(), None, offset])
        self.undone.clear()

    def end(self):
        self.done[-1][1] = self.snapshot()

    def put(self, offset, byte, insert):
        if insert:
            self.data[offset:offset] = bytes([byte])
            self.changed[offset:offset] = [True]
        elif offset == len(self.data):
            self.data.append(byte)
            self.changed.append(True)
        else:
            self.data[offset] = byte
            self.changed[offset] = True

    def nibble(self, digit):
        at = self.cursor
        if not self.pending:
            self.begin(at)
            old = self.data[at] if at < len(self.data) else 0
            self.put(at, digit << 4 if self.insert else (old & 0x0F) | digit << 4, self.insert)
            self.pending = True
        else:
            self.put(at, (self.data[at] & 0xF0) | digit, False)
            self.pending = False
            self.cursor += 1
        self.end()

    def character(self, char):
        self.pending = False
        self.begin(self.cursor)
        self.put(self.cursor, ord(char), self.insert)
        self.end()
        self.cursor += 1

    def delete(self, at):
        self.pending = False
        if at < 0 or at >= len(self.data):
            return False
        self.begin(at)
        del self.data[at]
        del self.changed[at]
        self.end()
        return True

    def history(self, source, target, index):
        self.pending = False
        if source:
            step = source.pop()
            target.append(step)
            self.data, self.changed = bytearray(step[index][0]), list(step[index][1])
            self.cursor = min(step[2], len(self.data))

    def move(self, offset):
        self.pending = False
        self.cursor = max(0, min(offset, len(self.data)))


class ViewTest(SkarnTestCase):
    def setUp(self):
        super().setUp()
        self.terminals = []

    def tearDown(self):
        for terminal in self.terminals:
            terminal.close()
        super().tearDown()

    def start(self, *args, **kwargs):
        terminal = Terminal(self, args, **kwargs)
        self.terminals.append(terminal)
        return terminal

    def sparse_file(self, name, size):
        path = self.path(name)
        with open(path, "wb") as f:
            f.truncate(size)
        return path

    def test_the_first_screen_shows_the_bytes_of_xxd(self):
        data = self.random_bytes(333)
        path = self.write("first.bin", data)
        dump = subprocess.run([require_program("xxd"), "-g", "1", str(path)], stdout=subprocess.PIPE,
                              check=True).stdout.decode()
        terminal = self.start(path.name, width=80, height=30)
        screen = terminal.wait(lambda s: status_of(s) is not None, "the status line")
        self.assertEqual(status_of(screen), {"cursor": 0, "size": 333, "mode": "OVR", "pane": "hex",
                                             "modified": False})
        # Each row: xxd's offset, its bytes and its text column, in this layout.
        lines = [line for line in screen.splitlines() if ROW.match(line)]
        self.assertEqual(len(lines), 21)
        for ours, theirs in zip(lines, dump.splitlines()):
            offset, rest = theirs.split(": ", 1)
            hex_part, text = rest[:47], rest[49:]
            self.assertEqual(ours.rstrip(), ("%s  %-47s  %s" % (offset, hex_part, text)).rstrip())

    def test_a_sparse_100_gib_file_opens_at_once_and_moves_to_its_end(self):
        size = 100 << 30
        self.sparse_file("big.bin", size)
        terminal = self.start("big.bin", width=80, height=12)
        terminal.wait_text("/ %d  OVR" % size)
        terminal.keys("C-End")
        screen = terminal.wait_text("0x1900000000 (%d)" % size)
        self.assertEqual(screen_rows(screen)[size - 16], [0] * 16)
        terminal.keys("C-Home")
        terminal.wait_text("0x0000000000 (0)")
        terminal.keys("C-g")
        terminal.type("50%")
        terminal.keys("Enter")
        terminal.wait_text("(%d)" % (size // 2))
        # A search that finds nothing shows its progress and Esc stops it.
        terminal.keys("C-f")
        terminal.type("needle")
        terminal.keys("Enter")
        terminal.wait_text("searching...")
        terminal.keys("Escape")
        terminal.wait_text("search cancelled", timeout=20)
        self.assertIn("(%d)" % (size // 2), terminal.screen())

    def check_screen(self, terminal, model):
        """Waits until the screen shows the model's cursor, size, mode and pane, and its bytes in the rows shown."""
        expected = {"cursor": model.cursor, "size": len(model.data), "mode": "INS" if model.insert else "OVR",
                    "pane": model.pane, "modified": bool(model.done)}

        def shows_model(screen):
            rows = screen_rows(screen)
            return status_of(screen) == expected and all(
                bytes(shown) == model.data[offset:offset + 16] for offset, shown in rows.items()) and any(
                offset <= model.cursor <= offset + 16 for offset in rows)

        screen = terminal.wait(shows_model, "the model's state %r, bytes %s" % (expected, bytes(model.data).hex()))
        rows = sorted(screen_rows(screen))
        shown = range(rows[0], min(rows[-1] + 16, len(model.data)))
        changed = {i for i in shown if model.changed[i]}
        self.assertEqual(highlighted_bytes(terminal.screen(escapes=True)), changed)

    def random_step(self, terminal, model):
        """Sends one random key (or key pair) and applies it to the model."""
        rng, data = self.rng, model.data
        choice = rng.choice(["pair", "pair", "half", "char", "char", "mode", "delete", "backspace", "undo",
                             "undo", "redo", "move", "move", "goto"])
        if choice in ("pair", "half", "char"):
            wanted = "text" if choice == "char" else "hex"
            if model.pane != wanted:
                model.pending = False
                model.pane = wanted
                terminal.keys("Tab")
            if choice == "char":
                char = rng.choice("abcXYZ019 !~")
                terminal.type(char)
                model.character(char)
                return
            digits = [rng.randrange(16) for _ in range(2 if choice == "pair" else 1)]
            terminal.type("".join("%x" % d if rng.random() < 0.5 else "%X" % d for d in digits))
            for digit in digits:
                model.nibble(digit)
        elif choice == "mode":
            terminal.keys(rng.choice(["C-t", "IC"]))
            model.pending = False
            model.insert = not model.insert
        elif choice == "delete":
            terminal.keys("DC")
            model.delete(model.cursor)
        elif choice == "backspace":
            terminal.keys("BSpace")
            if model.delete(model.cursor - 1):
                model.cursor -= 1
        elif choice == "undo":
            terminal.keys("C-z")
            model.history(model.done, model.undone, 0)
        elif choice == "redo":
            terminal.keys("C-y")
            model.history(model.undone, model.done, 1)
        elif choice == "move":
            c, row_start = model.cursor, model.cursor - model.cursor % 16
            key, target = rng.choice([("Left", c - 1), ("Right", c + 1), ("Up", c - 16), ("Down", c + 16),
                                      ("Home", row_start), ("End", row_start + 15), ("C-a", 0),
                                      ("C-e", len(data)), ("C-Home", 0), ("C-End", len(data))])
            terminal.keys(key)
            model.move(target)
        else:
            n = rng.randrange(len(data) + 1)
            text, target = rng.choice([(str(n), n), ("0x%x" % n, n), ("+%d" % (n // 3), model.cursor + n // 3),
                                       ("-%d" % (n // 3), model.cursor - n // 3), ("%d%%" % (n % 101),
                                       len(data) * (n % 101) // 100), ("end", len(data))])
            terminal.keys("C-g")
            terminal.type(text)
            terminal.keys("Enter")
            model.move(target)

    def test_random_edits_undo_and_redo_match_a_model_and_save_in_place(self):
        # All of a small file on the screen, and a window onto a larger one
        # (edits outside the rows shown must not mark them).
        for size, height in ((100, 40), (1500, 12)):
            with self.subTest(size=size):
                self.edit_randomly_and_save(size, height)

    def edit_randomly_and_save(self, size, height):
        original = self.random_bytes(size)
        path = self.write("edit.bin", original)
        model = EditorModel(original)
        terminal = self.start(path.name, height=height)
        self.check_screen(terminal, model)
        for step in range(120):
            self.random_step(terminal, model)
            if step % 6 == 5:
                self.check_screen(terminal, model)
        model.pending = False
        self.check_screen(terminal, model)
        inode = os.stat(path).st_ino
        terminal.keys("C-s")
        terminal.wait(lambda s: "saved" in s and "[modified]" not in s, "the save")
        self.assertEqual(path.read_bytes(), bytes(model.data))
        self.assertEqual(os.stat(path).st_ino, inode, "an in-place save keeps the inode")
        self.assertEqual(highlighted_bytes(terminal.screen(escapes=True)), set())
        terminal.keys("C-q")
        terminal.wait_text("[exit 0]")

    def test_search_forward_and_backward_in_text_and_hex(self):
        data = b"..cat..dog..cat..\x00\xffcat.dog\x00\xff..cat"
        self.write("search.txt", data)
        terminal = self.start("search.txt")
        terminal.wait_text("(0) /")
        cursor = 0
        # (keys, typed pattern or None to repeat the last one, the bytes, backward)
        steps = [("C-f", "cat", b"cat", False), ("F3", None, b"cat", False), ("C-n", None, b"cat", False),
                 ("C-p", None, b"cat", True), ("S-F3", None, b"cat", True), ("C-f", "hex:00 ff", b"\x00\xff", False),
                 ("C-n", None, b"\x00\xff", False), ("C-b", "hex:00FF", b"\x00\xff", True),
                 ("C-b", "dog", b"dog", True), ("C-b", "dog", b"dog", True), ("C-f", "cat", b"cat", False),
                 ("C-n", None, b"cat", False), ("C-n", None, b"cat", False), ("C-n", None, b"cat", False)]
        for keys, typed, pattern, backward in steps:
            # New searches start at the cursor, repeated ones after it; backwards, matches start before it.
            start = cursor + (1 if typed is None and not backward else 0)
            found = data.rfind(pattern, 0, cursor - 1 + len(pattern)) if backward else data.find(pattern, start)
            terminal.keys(keys)
            if typed is not None:
                terminal.type(typed)
                terminal.keys("Enter")
            if found < 0:
                terminal.wait_text("not found before the cursor" if backward else "not found after the cursor")
            else:
                terminal.wait_text("found at %d" % found)
                cursor = found
            self.assertIn("(%d) /" % cursor, terminal.screen())

    def test_quitting_with_unsaved_changes_asks_first(self):
        path = self.write("quit.txt", b"hello")
        terminal = self.start(path.name)
        terminal.wait_text("(0) /")
        terminal.keys("C-q")
        terminal.wait_text("[exit 0]")
        terminal = self.start(path.name)
        terminal.wait_text("(0) /")
        terminal.type("41")
        terminal.wait_text("[modified]")
        terminal.keys("C-q")
        terminal.wait_text("unsaved changes: quit and lose them? (y/n)")
        terminal.keys("n")
        terminal.wait(lambda s: "(y/n)" not in s, "the prompt gone")
        terminal.keys("C-q")
        terminal.wait_text("(y/n)")
        terminal.keys("y")
        terminal.wait_text("[exit 0]")
        self.assertEqual(path.read_bytes(), b"hello")

    def test_the_layout_follows_a_resize(self):
        self.write("resize.bin", bytes(range(256)))
        terminal = self.start("resize.bin", width=80, height=20)
        terminal.wait_text("00000010  10 11")
        terminal.tmux("resize-window", "-x", "40", "-y", "10")
        screen = terminal.wait_text("00000004  04 05 06 07")
        self.assertEqual(screen_rows(screen)[4], list(range(4, 8)))
        self.assertEqual(len([line for line in screen.splitlines() if ROW.match(line)]), 8)
        terminal.tmux("resize-window", "-x", "12", "-y", "10")
        terminal.wait_text("too small")
        terminal.tmux("resize-window", "-x", "80", "-y", "20")
        terminal.wait_text("00000010  10 11")
        terminal.keys("C-v")
        terminal.wait_text("int16 le 256 256   be 1 1")

    def test_read_only_refuses_to_save_over_the_file(self):
        path = self.write("ro.txt", b"keep me")
        terminal = self.start("--read-only", path.name)
        terminal.wait_text("  RO")
        terminal.type("00")
        terminal.keys("C-s")
        terminal.wait_text("read-only: not saved")
        self.assertEqual(path.read_bytes(), b"keep me")
        terminal.keys("C-w")
        terminal.type("copy.txt")
        terminal.keys("Enter")
        terminal.wait_text("saved as ")
        self.assertEqual(self.path("copy.txt").read_bytes(), b"\x00eep me")
        self.assertEqual(path.read_bytes(), b"keep me")
        # Closing the terminal at a prompt ends the program too (see Terminal.close).
        terminal.keys("C-q")
        terminal.wait_text("(y/n)")

    def test_a_failed_save_says_why_and_keeps_the_session(self):
        path = self.write("changed.txt", b"0123456789")
        terminal = self.start(path.name)
        terminal.wait_text("(0) /")
        terminal.type("ab")
        terminal.wait_text("[modified]")
        with open(path, "ab") as f:
            f.write(b"more")
        terminal.keys("C-s")
        terminal.wait_text("save failed: another program changed the file")
        self.assertEqual(path.read_bytes(), b"0123456789more")
        self.assertIn("[modified]", terminal.screen())

    def test_edits_of_a_killed_session_are_offered_back_on_the_next_start(self):
        path = self.path("killed.txt")
        for keep in (True, False):
            with self.subTest(keep=keep):
                path.write_bytes(b"hello world")
                terminal = self.start(path.name)
                terminal.wait_text("(0) /")
                terminal.keys("C-t")
                terminal.type("4142")
                terminal.keys("DC", "Tab")
                terminal.type("!")
                terminal.wait_text("00000000  41 42 21 65 6c")
                # Killed as by a crash, or by the hangup of a closed terminal.
                terminal.kill_program(signal.SIGKILL if keep else signal.SIGHUP)
                self.assertEqual(path.read_bytes(), b"hello world")
                terminal = self.start(path.name)
                terminal.wait_text("keep them? (y/n)")
                self.assertIn("00000000  41 42 21 65 6c", terminal.screen())
                terminal.keys("y" if keep else "n")
                if keep:
                    terminal.wait_text("kept the earlier session's edits")
                    terminal.keys("C-s")
                    terminal.wait_text("saved")
                    self.assertEqual(path.read_bytes(), b"AB!ello world")
                    # Edits after an in-place save are journaled too.
                    terminal.keys("C-e", "BSpace")
                    terminal.wait_text("[modified]")
                    terminal.kill_program()
                    terminal = self.start(path.name)
                    terminal.wait_text("keep them? (y/n)")
                    terminal.keys("y")
                    terminal.wait_text("/ 12  OVR")
                    terminal.keys("C-s")
                    terminal.wait(lambda s: "saved" in s and "[modified]" not in s, "the second save")
                    self.assertEqual(path.read_bytes(), b"AB!ello worl")
                else:
                    terminal.wait_text("discarded the earlier session's edits")
                    self.assertIn("00000000  68 65 6c 6c 6f", terminal.screen())
                terminal.keys("C-q")
                terminal.wait_text("[exit 0]")
                self.assertEqual([name for name in os.listdir(self.dir) if "journal" in name], [])

    def test_errors_end_with_one_line_and_a_failure_status(self):
        self.skarn("view", self.path("missing"), status=2)
        self.skarn("view", self.dir, status=2)
        path = self.write("small.txt", b"x")
        _, err = self.skarn("view", path, status=2)
        self.assertIn("terminal", err)
        terminal = self.start(path.name, width=30, height=2)
        terminal.wait_text("[exit 2]")
        self.assertIn("too small", terminal.screen(history=True).replace("\n", ""))


if __name__ == "__main__":
    if shutil.which("tmux") is None:
        print("skipped: tmux is not installed")
        sys.exit(77)
    main()
