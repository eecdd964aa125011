"""Command-line errors and exit statuses of skarn."""

from skarn_test_support import SAMPLE, SkarnTestCase, main

COMMANDS = ["info", "find", "dump", "edit", "recover", "journals"]


class UsageTest(SkarnTestCase):
    def usage_error(self, *args, mentions=None):
        out, err = self.skarn(*args, status=2)
        self.assertEqual(out, b"")
        self.assertIn("--help", err, "a usage error points to the help")
        if mentions is not None:
            self.assertIn(mentions, err)
        return err

    def test_help(self):
        out, _ = self.skarn("--help")
        for command in COMMANDS:
            self.assertIn(command, out.decode())
        for command in COMMANDS:
            with self.subTest(command=command):
                out, _ = self.skarn(command, "--help")
                self.assertTrue(out.startswith(b"usage: skarn " + command.encode()), out)
                self.assertIn(b"example: skarn " + command.encode(), out)
        out, _ = self.skarn("--version")
        self.assertRegex(out.decode(), r"^skarn \d+\.\d+\.\d+\n$")

    def test_bad_numbers(self):
        bad = {
            "": "invalid number", "abc": "invalid number", "12x": "invalid number", "0x": "invalid number",
            "0xg1": "invalid number", " 1": "invalid number", "1 ": "invalid number", "+5": "invalid number",
            "1.5": "invalid number", "-1": "negative", "-0x10": "negative",
            "9223372036854775808": "too large", "0x8000000000000000": "too large",
            "99999999999999999999999": "too large", "0x1ffffffffffffffff": "too large",
        }
        for text, message in bad.items():
            with self.subTest(number=text):
                # dump --offset -N counts from the end, as xxd -s -N does.
                if not text.startswith("-"):
                    self.usage_error("dump", "--offset", text, SAMPLE, mentions=message)
                self.usage_error("dump", "--length=" + text, SAMPLE, mentions=message)
                self.usage_error("find", "--max", text, "a", SAMPLE, mentions=message)
                self.usage_error("find", "--offset", text, "a", SAMPLE, mentions=message)
                self.usage_error("find", "--length", text, "a", SAMPLE, mentions=message)
                self.usage_error("edit", SAMPLE, "-o", self.path("o"), "--insert", text + ":x", mentions=message)
                self.usage_error("edit", SAMPLE, "-o", self.path("o"), "--delete", "0:" + text, mentions=message)
                self.usage_error("edit", SAMPLE, "-o", self.path("o"), "--upper", text + ":0", mentions=message)
        # xxd reads a leading 0 as octal; the tool refuses such numbers rather
        # than read them either way. 0 itself and 0x hex are fine.
        for text in ("00", "010", "0777", "-010"):
            with self.subTest(number=text):
                self.usage_error("dump", "-s", text, SAMPLE, mentions="leading 0")
                self.usage_error("find", "--max", text, "a", SAMPLE)
        self.assertEqual(self.skarn("dump", "-s", "0", "-l", "0x010", SAMPLE)[0],
                         self.skarn("dump", "-l", "16", SAMPLE)[0])
        # The largest number is accepted, in decimal and hex.
        dump, _ = self.skarn("dump", "--length", "9223372036854775807", SAMPLE)
        self.assertEqual(dump, self.skarn("dump", "--length", "0x7fffffffffffffff", SAMPLE)[0])
        self.assertEqual(dump, self.skarn("dump", SAMPLE)[0])

    def test_unknown_commands_and_options(self):
        self.usage_error(mentions="missing command")
        self.usage_error("frobnicate", mentions="unknown command")
        self.usage_error("dump", "--bogus", SAMPLE, mentions="--bogus")
        self.usage_error("find", "-x", "a", SAMPLE, mentions="-x")
        self.usage_error("info", "--json=yes", SAMPLE, mentions="takes no value")
        self.usage_error("dump", SAMPLE, "--offset", mentions="needs a value")
        self.usage_error("dump", "--offset", "1", "--offset", "2", SAMPLE, mentions="twice")
        self.usage_error("edit", SAMPLE, "-o", self.path("o"), "--upper", mentions="needs a value")

    def test_missing_and_extra_operands(self):
        self.usage_error("info", mentions="missing FILE")
        self.usage_error("info", SAMPLE, SAMPLE, mentions="too many")
        self.usage_error("dump", mentions="missing FILE")
        self.usage_error("find", mentions="missing PATTERN")
        self.usage_error("find", "a", mentions="missing FILE")
        self.usage_error("find", "a", SAMPLE, SAMPLE, mentions="too many")
        self.usage_error("edit", mentions="missing FILE")
        self.usage_error("recover", mentions="missing FILE")
        self.usage_error("recover", SAMPLE, SAMPLE, mentions="too many")
        self.usage_error("journals", "--remove", mentions="missing JOURNAL")

    def test_bad_patterns_and_operations(self):
        self.usage_error("find", "", SAMPLE, mentions="empty PATTERN")
        self.usage_error("find", "--hex", "abc", SAMPLE, mentions="odd number")
        self.usage_error("find", "--hex", "zz", SAMPLE, mentions="invalid hex")
        out = self.path("o")
        self.usage_error("edit", SAMPLE, "--insert", "0:x", mentions="-o OUT or --in-place")
        self.usage_error("edit", SAMPLE, "-o", out, "--in-place", "--insert", "0:x", mentions="not both")
        self.usage_error("edit", SAMPLE, "-o", out, "--by-rename", "--insert", "0:x", mentions="with --in-place")
        self.usage_error("edit", SAMPLE, "-o", out, mentions="no operation")
        self.usage_error("edit", SAMPLE, "-o", out, "--insert", "0", mentions="OFF:DATA")
        self.usage_error("edit", SAMPLE, "-o", out, "--insert", "0:", mentions="empty DATA")
        self.usage_error("edit", SAMPLE, "-o", out, "--overwrite", "0:hex:0", mentions="odd number")
        self.usage_error("edit", SAMPLE, "-o", out, "--overwrite", "0:hex:xy", mentions="invalid hex")
        self.usage_error("edit", SAMPLE, "-o", out, "--delete", "0:0", mentions="at least 1")
        self.usage_error("edit", SAMPLE, "-o", out, "--replace", "abc", mentions="FIND=REPL")
        self.usage_error("edit", SAMPLE, "-o", out, "--replace", "=x", mentions="empty FIND")
        self.assertFalse(out.exists())

    def test_missing_or_unreadable_files(self):
        missing = self.path("no-such-file.txt")
        for args in (["info", missing], ["dump", missing], ["find", "a", missing],
                     ["edit", missing, "-o", self.path("o"), "--insert", "0:x"]):
            with self.subTest(args=args):
                out, err = self.skarn(*args, status=2)
                self.assertEqual(out, b"")
                self.assertIn(str(missing), err)
                self.assertIn("No such file", err)
        _, err = self.skarn("info", self.dir, status=2)
        self.assertIn("not a regular file", err)


if __name__ == "__main__":
    main()
