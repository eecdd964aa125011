"""skarn edit against the same edits made on Python bytes, and its saving rules."""

import os
import stat
import time
import unittest

from skarn_test_support import SkarnTestCase, main

TEXT_BYTES = b"abcdeXYZ019 :=-."


def as_argument(data, rng, allow_equals=True):
    """DATA as the tool takes it: plain text when that can say it, else hex:."""
    plain = (data and all(b in TEXT_BYTES for b in data) and not data.startswith(b"hex:")
             and (allow_equals or b"=" not in data))
    if plain and rng.random() < 0.7:
        return data.decode()
    return "hex:" + data.hex() if data else ""


class Script:
    """A random list of operations, and the content they make of `content`."""

    def __init__(self, rng, content, count):
        self.rng = rng
        self.content = bytearray(content)
        self.args = []
        for _ in range(count):
            self.add_operation()

    def random_data(self, low, high):
        if self.rng.random() < 0.3:
            return self.rng.randbytes(self.rng.randint(low, high))
        return bytes(self.rng.choices(TEXT_BYTES, k=self.rng.randint(low, high)))

    def add_operation(self):
        rng, content = self.rng, self.content
        n = len(content)
        kinds = ["insert", "overwrite", "replace"] + (["delete", "upper", "lower"] if n > 0 else [])
        kind = rng.choice(kinds)
        if kind in ("insert", "overwrite"):
            offset = rng.choice([0, n, rng.randint(0, n)])
            data = self.random_data(1, 24)
            if kind == "insert":
                content[offset:offset] = data
            else:
                content[offset:offset + len(data)] = data  # may run past the end
            self.args += ["--" + kind, "%d:%s" % (offset, as_argument(data, rng))]
        elif kind == "delete":
            offset = rng.randrange(n)
            length = rng.randint(1, 40)
            del content[offset:offset + length]  # cut at the end
            self.args += ["--delete", "%d:%d" % (offset, length)]
        elif kind == "replace":
            if n > 0 and rng.random() < 0.7:
                at = rng.randrange(n)
                find = bytes(content[at:at + rng.randint(1, 3)])
            else:
                find = self.random_data(1, 2)
            replacement = rng.choice([b"", self.random_data(1, 5), find + b"x", b"y" + find + find])
            self.content[:] = bytes(content).replace(find, replacement)
            self.args += ["--replace", "%s=%s" % (as_argument(find, rng, allow_equals=False),
                                                  as_argument(replacement, rng))]
        else:
            offset = rng.randrange(n)
            length = rng.choice([0, rng.randint(1, 60)])
            end = n if length == 0 else offset + length
            part = bytes(content[offset:end])
            content[offset:end] = part.upper() if kind == "upper" else part.lower()
            self.args += ["--" + kind, "%d:%d" % (offset, length)]


class EditTest(SkarnTestCase):
    def edit(self, source, *args, status=0, expected_path=None):
        out, err = self.skarn("edit", source, *args, status=status)
        if status != 0:
            self.assertEqual(out, b"")
            return None, err
        lines = out.decode().splitlines()
        self.assertEqual(len(lines), 2, out)
        self.assertTrue(lines[0].startswith("saved: "), out)
        self.assertTrue(lines[1].startswith("size: "), out)
        saved = lines[0][len("saved: "):]
        if expected_path is not None:
            self.assertEqual(saved, os.path.realpath(expected_path))
        self.assertEqual(int(lines[1][len("size: "):]), os.path.getsize(saved))
        return saved, err

    def listing(self):
        return sorted(p.name for p in self.dir.iterdir() if p.name != "tmpdir")

    def test_random_scripts_match_the_model(self):
        for round_ in range(40):
            size = self.rng.choice([0, 1, 10, 200, 3000])
            original = bytes(self.rng.choices(b"abcABC xyz\r\n", k=size))
            source = self.write("in.txt", original)
            script = Script(self.rng, original, self.rng.randint(1, 8))
            target = self.path("out.txt")
            with self.subTest(round=round_, args=script.args):
                if target.exists():
                    target.unlink()
                self.edit(source, "-o", target, *script.args, expected_path=target)
                self.assertEqual(target.read_bytes(), bytes(script.content))
                self.assertEqual(source.read_bytes(), original, "the input must not change")
                self.assertEqual(self.listing(), ["in.txt", "out.txt"])

    def test_replace(self):
        cases = [
            (b"aaa", b"a", b"aa"),  # the replacement contains the pattern
            (b"aaaaa", b"aa", b"b"),  # left to right, no overlaps
            (b"abcabc", b"b", b""),  # an empty replacement deletes
            (b"xabyab", b"ab", b"CD"),  # same length
            (b"nothing here", b"zz", b"y"),
            (b"==x==", b"=", b"hex:3d3d"),
        ]
        for content, find, replacement in cases:
            with self.subTest(content=content, find=find):
                source = self.write("r.txt", content)
                target = self.path("r-out.txt")
                if target.exists():
                    target.unlink()
                find_arg = "hex:" + find.hex() if b"=" in find else find.decode()
                self.edit(source, "-o", target, "--replace", "%s=%s" % (find_arg, replacement.decode()))
                wanted = replacement if not replacement.startswith(b"hex:") else bytes.fromhex(replacement[4:].decode())
                self.assertEqual(target.read_bytes(), content.replace(find, wanted))

    def test_replace_many_matches_in_a_large_file(self):
        content = self.random_text(120000, b"ab")
        source = self.write("big.txt", content)
        # Dense matches, and a long replacement: the edits are made region by
        # region, and both limits of a region are reached.
        cases = [(b"ab", b"c"), (b"ba", b"abab"), (b"aab", b"xyz"), (b"b", b""), (b"a", b"0123456789" * 4)]
        for find, replacement in cases:
            with self.subTest(find=find, replacement=replacement):
                target = self.path("big-out.txt")
                if target.exists():
                    target.unlink()
                self.edit(source, "-o", target, "--replace", "%s=%s" % (find.decode(), replacement.decode()))
                self.assertEqual(target.read_bytes(), content.replace(find, replacement))

    def test_binary_data_and_hex(self):
        source = self.write("bin.dat", bytes(range(256)))
        target = self.path("bin-out.dat")
        self.edit(source, "-o", target, "--insert", "0:hex:00FF0d0a", "--overwrite", "260:hex:0000000000",
                  "--delete", "2:2", "--upper", "0:0")
        expected = bytearray(b"\x00\xff\r\n" + bytes(range(256)))
        expected[260:265] = b"\x00" * 5
        del expected[2:4]
        self.assertEqual(target.read_bytes(), bytes(expected).upper())

    def test_numbered_names_and_force(self):
        source = self.write("in.txt", b"hello")
        target = self.write("out.txt", b"old")
        self.edit(source, "-o", target, "--insert", "5:!", expected_path=self.path("out-1.txt"))
        self.edit(source, "-o", target, "--insert", "0:>", expected_path=self.path("out-2.txt"))
        self.assertEqual(target.read_bytes(), b"old")
        self.assertEqual(self.path("out-1.txt").read_bytes(), b"hello!")
        self.assertEqual(self.path("out-2.txt").read_bytes(), b">hello")
        self.edit(source, "--output", target, "--force", "--delete", "0:1", expected_path=target)
        self.assertEqual(target.read_bytes(), b"ello")
        self.assertEqual(self.listing(), ["in.txt", "out-1.txt", "out-2.txt", "out.txt"])

    def test_output_into_a_directory_like_cp(self):
        source = self.write("in.txt", b"hello")
        directory = self.path("d")
        directory.mkdir()
        self.edit(source, "-o", directory, "--insert", "5:!", expected_path=directory / "in.txt")
        self.edit(source, "-o", str(directory) + "/", "--insert", "0:>", expected_path=directory / "in-1.txt")
        self.edit(source, "-o", directory, "--force", "--delete", "0:1", expected_path=directory / "in.txt")
        self.assertEqual(sorted(os.listdir(directory)), ["in-1.txt", "in.txt"])
        self.assertEqual((directory / "in.txt").read_bytes(), b"ello")
        self.assertEqual((directory / "in-1.txt").read_bytes(), b">hello")

    def test_output_through_a_link(self):
        source = self.write("in.txt", b"hello")
        real = self.path("real")
        real.mkdir()
        # A dangling link is followed: its file is made and the link stays.
        os.symlink("real/new.txt", self.path("to-new"))
        self.edit(source, "-o", self.path("to-new"), "--insert", "0:>", expected_path=real / "new.txt")
        self.assertEqual((real / "new.txt").read_bytes(), b">hello")
        self.assertEqual(os.readlink(self.path("to-new")), "real/new.txt")
        # OUT's directory must exist, also where a link leads: none is made.
        os.symlink(self.path("gone") / "deeper" / "out.txt", self.path("to-gone"))
        _, err = self.edit(source, "-o", self.path("to-gone"), "--insert", "0:>", status=2)
        self.assertIn(str(self.path("to-gone")), err)
        self.assertFalse(os.path.lexists(self.path("gone")))
        self.assertEqual(self.listing(), ["in.txt", "real", "to-gone", "to-new"])

    @unittest.skipUnless(os.geteuid() == 0, "links of another owner need root")
    def test_links_in_a_shared_directory_follow_the_protected_symlinks_rule(self):
        source = self.write("in.txt", b"new")
        victim = self.write("victim.txt", b"old")
        shared = self.path("shared")
        shared.mkdir()
        os.chmod(shared, 0o1777)
        os.symlink(victim, shared / "out")
        os.lchown(shared / "out", 54321, 54321)
        # Neither this process's link nor the directory owner's: the kernel
        # would not follow it, and the save does not either.
        for flags in ([], ["--force"]):
            with self.subTest(flags=flags):
                _, err = self.edit(source, "-o", shared / "out", *flags, "--insert", "0:x", status=2)
                self.assertIn("Permission denied", err)
                self.assertEqual(victim.read_bytes(), b"old")
                self.assertEqual(self.listing(), ["in.txt", "shared", "victim.txt"])
        os.chown(shared, 54321, 54321)
        self.edit(source, "-o", shared / "out", "--force", "--insert", "0:x", expected_path=victim)
        self.assertEqual(victim.read_bytes(), b"xnew")

    def test_in_place(self):
        source = self.write("doc.txt", b"one two three\n")
        os.chmod(source, 0o751)
        self.edit(source, "--in-place", "--replace", "two=2", expected_path=source)
        self.edit(source, "--in-place", "--upper", "0:3", expected_path=source)
        self.assertEqual(source.read_bytes(), b"ONE 2 three\n")
        self.assertEqual(stat.S_IMODE(os.stat(source).st_mode), 0o751, "permissions must be kept")
        self.assertEqual(self.listing(), ["doc.txt"])

    def test_in_place_keeps_the_inode_and_by_rename_makes_a_new_one(self):
        source = self.write("doc.txt", b"one two\n")
        os.link(source, self.path("link.txt"))
        inode = os.stat(source).st_ino
        self.edit(source, "--in-place", "--insert", "0:>", "--replace", "two=2", expected_path=source)
        self.assertEqual(os.stat(source).st_ino, inode)
        self.assertEqual(self.path("link.txt").read_bytes(), b">one 2\n", "the hard link sees the new content")
        with open(source, "rb") as reader:
            self.edit(source, "--in-place", "--by-rename", "--delete", "0:1", expected_path=source)
            self.assertEqual(reader.read(), b">one 2\n", "an open reader keeps the old content")
        self.assertNotEqual(os.stat(source).st_ino, inode)
        self.assertEqual(source.read_bytes(), b"one 2\n")
        self.assertEqual(self.path("link.txt").read_bytes(), b">one 2\n")
        self.assertEqual(self.listing(), ["doc.txt", "link.txt"], "no journal is left")

    def test_output_gets_the_permissions_of_the_input(self):
        source = self.write("p.txt", b"abc")
        os.chmod(source, 0o640)
        target = self.path("p-out.txt")
        self.edit(source, "-o", target, "--insert", "0:x")
        self.assertEqual(stat.S_IMODE(os.stat(target).st_mode), 0o640)

    def test_in_place_over_a_file_dated_in_the_future(self):
        # A modification time ahead of the clock is no change by another
        # program: the file is written in place without --force, for plain
        # edits and for case changes (which work on a checkpoint), and the
        # next run over the file just written works too.
        for operation in (["--insert", "0:x"], ["--upper", "0:0"]):
            with self.subTest(operation=operation):
                source = self.write("changed.txt", b"content\n")
                later = time.time() + 3600
                os.utime(source, (later, later))
                self.edit(source, "--in-place", *operation, expected_path=source)
                expected = b"xcontent\n" if operation[0] == "--insert" else b"CONTENT\n"
                self.assertEqual(source.read_bytes(), expected)
                self.assertEqual(self.listing(), ["changed.txt"])
                self.edit(source, "--in-place", "--delete", "0:1", expected_path=source)
                self.assertEqual(source.read_bytes(), expected[1:])

    def test_a_refused_operation_saves_nothing(self):
        source = self.write("in.txt", b"12345")
        target = self.path("never.txt")
        cases = [
            (["--insert", "6:x"], "--insert 6:x"),
            (["--overwrite", "0x6:x"], "--overwrite 0x6:x"),
            (["--delete", "5:1"], "--delete 5:1"),
            (["--upper", "5:0"], "--upper 5:0"),
            (["--lower", "9:2"], "--lower 9:2"),
            (["--insert", "0:ab", "--delete", "7:1"], "--delete 7:1"),  # past the end after the insert
            (["--replace", "1=", "--insert", "5:x"], "--insert 5:x"),  # the replace made it shorter
        ]
        for args, named in cases:
            with self.subTest(args=args):
                _, err = self.edit(source, "-o", target, *args, status=2)
                self.assertIn(named, err)
                self.assertFalse(target.exists())
                self.assertEqual(self.listing(), ["in.txt"])
                _, err = self.edit(source, "--in-place", *args, status=2)
                self.assertEqual(source.read_bytes(), b"12345")


if __name__ == "__main__":
    main()
