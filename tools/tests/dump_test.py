"""skarn dump must print exactly what xxd prints, also with -s/-l ranges."""

import subprocess

from skarn_test_support import SAMPLE, SkarnTestCase, main, require_program


class DumpTest(SkarnTestCase):
    def xxd(self, path, *options):
        xxd = require_program("xxd")
        return subprocess.run([xxd, *options, str(path)], stdout=subprocess.PIPE, check=True).stdout

    def assert_same_as_xxd(self, path, skarn_args=(), xxd_args=()):
        out, _ = self.skarn("dump", *skarn_args, path)
        expected = self.xxd(path, *xxd_args)
        self.assertEqual(out, expected, "dump %s of %s differs from xxd %s" % (skarn_args, path, xxd_args))

    def test_whole_files_of_many_sizes(self):
        # Short last lines of every length, whole lines, and files larger than
        # one 64 KiB viewport window (the dump has to step the viewport).
        sizes = [0, 1, 2, 3, 15, 16, 17, 31, 32, 33, 255, 256, 257, 1001,
                 65535, 65536, 65537, 2 * 65536 + 5, 200003]
        for size in sizes:
            with self.subTest(size=size):
                path = self.write("random-%d.bin" % size, self.random_bytes(size))
                self.assert_same_as_xxd(path)

    def test_text_column_covers_every_byte_value(self):
        path = self.write("all.bin", bytes(range(256)) * 3 + b"\x7e\x7f\x1f\x20")
        self.assert_same_as_xxd(path)

    def test_sample_file(self):
        self.assert_same_as_xxd(SAMPLE)

    def test_offset_and_length_like_xxd_s_l(self):
        size = 3 * 65536 + 77
        path = self.write("ranges.bin", self.random_bytes(size))
        offsets = [0, 1, 7, 15, 16, 17, 4095, 65535, 65536, 65537, size - 17, size - 1, size]
        lengths = [0, 1, 2, 15, 16, 17, 100, 65536, 65537, 150000, size, 10 * size]
        cases = [(o, l) for o in offsets for l in self.rng.sample(lengths, 4)]
        for offset, length in cases:
            with self.subTest(offset=offset, length=length):
                self.assert_same_as_xxd(path, ("--offset", offset, "--length", length),
                                        ("-s", str(offset), "-l", str(length)))

    def test_offset_alone_and_hex_numbers(self):
        path = self.write("hex.bin", self.random_bytes(70000))
        self.assert_same_as_xxd(path, ("--offset", "0x1234"), ("-s", "0x1234"))
        self.assert_same_as_xxd(path, ("--length", "0x31"), ("-l", "49"))
        self.assert_same_as_xxd(path, ("--offset=65530", "--length=0X20"), ("-s", "65530", "-l", "32"))
        self.assert_same_as_xxd(SAMPLE, ("--offset", "3", "--length", "40"), ("-s", "3", "-l", "40"))

    def test_short_options_and_offsets_from_the_end_like_xxd(self):
        size = 65536 + 77
        path = self.write("tail.bin", self.random_bytes(size))
        for back in (0, 1, 16, 17, 77, 65536, size):
            for length in (None, 5, 40):
                extra = () if length is None else ("-l", str(length))
                with self.subTest(back=back, length=length):
                    self.assert_same_as_xxd(path, ("-s", "-%d" % back) + extra, ("-s", "-%d" % back) + extra)
        out, err = self.skarn("dump", "-s", "-%d" % (size + 1), path, status=2)
        self.assertIn("before the start", err)

    def test_offset_past_the_end_is_an_error(self):
        path = self.write("short.bin", b"abc")
        out, err = self.skarn("dump", "--offset", "4", path, status=2)
        self.assertEqual(out, b"")
        self.assertIn("past the end", err)
        # At the very end there is simply nothing to print.
        out, _ = self.skarn("dump", "--offset", "3", path)
        self.assertEqual(out, b"")


if __name__ == "__main__":
    main()
