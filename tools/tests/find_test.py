"""skarn find against grep -b -o -a -F and against plain Python models."""

import json
import os
import subprocess

import skarn_test_support
from skarn_test_support import SAMPLE, SkarnTestCase, main, require_program


def support_skarn():
    return skarn_test_support.SKARN


def all_starts(data, pattern):
    """Every match start, overlapping ones included, ascending."""
    found, i = [], data.find(pattern)
    while i != -1:
        found.append(i)
        i = data.find(pattern, i + 1)
    return found


def leftmost_non_overlapping(data, pattern):
    found, i = [], data.find(pattern)
    while i != -1:
        found.append(i)
        i = data.find(pattern, i + len(pattern))
    return found


def rightmost_non_overlapping(data, pattern):
    """The matches a backward scan keeps: the forward model on the reversed bytes, descending."""
    n, m = len(data), len(pattern)
    return [n - m - i for i in leftmost_non_overlapping(data[::-1], pattern[::-1])]


def model(data, pattern, reverse=False, overlap=False, offset=0, length=None, fold=False):
    window = data[offset:] if length is None else data[offset:offset + length]
    if fold:
        window, pattern = window.lower(), pattern.lower()
    if overlap:
        found = all_starts(window, pattern)
        found = found[::-1] if reverse else found
    elif reverse:
        found = rightmost_non_overlapping(window, pattern)
    else:
        found = leftmost_non_overlapping(window, pattern)
    return [offset + i for i in found]


def offsets(out):
    return [int(line) for line in out.decode().split()]


class FindTest(SkarnTestCase):
    def find(self, *args, expected):
        out, _ = self.skarn("find", *args, status=0 if expected else 1)
        self.assertEqual(offsets(out), expected, "find %s" % (args,))

    def grep_offsets(self, pattern, path):
        grep = require_program("grep")
        done = subprocess.run([grep, "-b", "-o", "-a", "-F", "-e", pattern, str(path)],
                              stdout=subprocess.PIPE, env=dict(os.environ, LC_ALL="C"))
        self.assertIn(done.returncode, (0, 1))
        return [int(line.split(b":", 1)[0]) for line in done.stdout.splitlines()]

    def test_offsets_match_grep_on_random_text(self):
        # Few line ends, so that lines (grep's unit) are long, and files longer
        # than the stretches the tool hands to one search context.
        for size in [0, 1, 5, 100, 4095, 4097, 20000, 150000]:
            data = bytes(self.rng.choices(b"ab\n", weights=[50, 50, 1], k=size))
            path = self.write("text-%d.txt" % size, data)
            patterns = [b"a", b"ab", b"ba", b"aab", b"abab", b"bbbb", b"abba" * 3]
            if size > 20:
                start = self.rng.randrange(size - 10)
                patterns.append(data[start:start + 7].split(b"\n")[0] or b"a")
            for pattern in patterns:
                with self.subTest(size=size, pattern=pattern):
                    expected = self.grep_offsets(pattern, path)
                    self.assertEqual(expected, leftmost_non_overlapping(data, pattern), "the model disagrees with grep")
                    self.find(pattern, path, expected=expected)

    def test_overlapping_and_reverse_against_the_model(self):
        for size in [3, 64, 5000, 70000]:
            data = self.random_text(size, b"aab")
            path = self.write("overlap-%d.txt" % size, data)
            for pattern in [b"a", b"aa", b"aaa", b"aba", b"abaab", b"a" * 9]:
                for reverse in (False, True):
                    for overlap in (False, True):
                        args = (["--reverse"] if reverse else []) + (["--overlap"] if overlap else [])
                        with self.subTest(size=size, pattern=pattern, args=args):
                            self.find(*args, pattern, path, expected=model(data, pattern, reverse, overlap))

    def test_runs_of_one_byte(self):
        # Every position matches: the densest case, and the one where the
        # overlap rules differ most.
        path = self.write("run.txt", b"a" * 40000)
        self.find("--overlap", "aaa", path, expected=list(range(39998)))
        self.find("--reverse", "--overlap", "aaa", path, expected=list(range(39997, -1, -1)))
        self.find("aaa", path, expected=list(range(0, 39998, 3)))
        self.find("--reverse", "aaa", path, expected=list(range(39997, -1, -3)))

    def test_case_insensitive(self):
        data = self.random_text(30000, b"aAbB")
        path = self.write("case.txt", data)
        for pattern in [b"ab", b"AB", b"aBa", b"BBBB"]:
            for args in ([], ["--reverse"], ["--overlap"], ["--reverse", "--overlap"]):
                with self.subTest(pattern=pattern, args=args):
                    expected = model(data, pattern, "--reverse" in args, "--overlap" in args, fold=True)
                    self.find("-i", *args, pattern, path, expected=expected)
                    self.find("--ignore-case", *args, pattern, path, expected=expected)
        # Without -i only the exact bytes match.
        self.find("aBa", path, expected=model(data, b"aBa"))

    def test_hex_patterns_on_binary_data(self):
        pattern = bytes([0x00, 0x0d, 0x0a, 0xff])
        data = bytearray(self.random_bytes(60000))
        for at in sorted(self.rng.sample(range(0, 60000 - 4), 40)):
            data[at:at + 4] = pattern
        data[-4:] = pattern
        data = bytes(data)
        path = self.write("binary.bin", data)
        self.find("--hex", pattern.hex(), path, expected=model(data, pattern))
        self.find("--hex", pattern.hex().upper(), path, expected=model(data, pattern))
        self.find("--hex", "--reverse", "00", path, expected=model(data, b"\x00", reverse=True))
        self.find("--hex", "--overlap", "0d0a", path, expected=model(data, b"\r\n", overlap=True))
        self.find("--hex", "0d0a", SAMPLE, expected=model(SAMPLE.read_bytes(), b"\r\n"))

    def test_long_patterns(self):
        # A pattern much longer than the stretch of match starts per context.
        unit = self.random_text(9000, b"ab")
        data = self.random_text(5000, b"c") + unit * 3 + b"c" + unit + unit[:100]
        path = self.write("long.txt", data)
        for reverse in (False, True):
            for overlap in (False, True):
                args = (["--reverse"] if reverse else []) + (["--overlap"] if overlap else [])
                with self.subTest(args=args):
                    self.find(*args, unit + unit[:10], path, expected=model(data, unit + unit[:10], reverse, overlap))
        self.find(data + b"x", path, expected=[])

    def test_offset_length_and_max(self):
        data = self.random_text(50000, b"abc")
        path = self.write("range.txt", data)
        size = len(data)
        cases = [(0, None), (1, None), (size - 2, None), (size, None), (0, 0), (0, 1), (0, 2), (7, 3),
                 (100, 5000), (4000, 20000), (size - 10, 100), (123, size)]
        for offset, length in cases:
            for reverse in (False, True):
                for overlap in (False, True):
                    args = ["--offset", offset] + ([] if length is None else ["--length", length])
                    args += (["--reverse"] if reverse else []) + (["--overlap"] if overlap else [])
                    with self.subTest(args=args):
                        self.find(*args, "ab", path, expected=model(data, b"ab", reverse, overlap, offset, length))
        everything = model(data, b"ab")
        for limit in [1, 2, 17, len(everything), len(everything) + 5]:
            self.find("--max", limit, "ab", path, expected=everything[:limit])
        self.find("--max", "3", "--reverse", "ab", path, expected=model(data, b"ab", reverse=True)[:3])
        self.find("--max", "0", "ab", path, expected=[])
        _, err = self.skarn("find", "--offset", size + 1, "ab", path, status=2)
        self.assertIn("past the end", err)

    def test_matches_across_search_windows(self):
        # The tool hands the range to the library in windows of 4 MiB: matches
        # that cross a window's end, sit right at it or follow a match that
        # reaches into the next window must all come out as in one piece.
        window = 4 << 20
        data = bytearray(self.random_text(2 * window + 5000, b"ab"))
        pattern = b"abbbbbbbba"
        for edge in (window, 2 * window):
            for at in sorted({edge - len(pattern), edge - 5, edge - 1, edge, edge + 3} |
                             {edge + self.rng.randrange(-40, 40) for _ in range(6)}):
                data[at:at + len(pattern)] = pattern
        data = bytes(data)
        path = self.write("windows.txt", data)
        for pattern in (b"abbbbbbbba", b"bbbbbbbb", b"abbbbbbbbabbbbbbbba"):
            for reverse in (False, True):
                for overlap in (False, True):
                    for offset in (0, 7):
                        args = ["--offset", offset] + (["--reverse"] if reverse else [])
                        args += ["--overlap"] if overlap else []
                        with self.subTest(pattern=pattern, args=args):
                            expected = model(data, pattern, reverse, overlap, offset)
                            self.assertTrue(expected or pattern.endswith(b"bba"))
                            self.find(*args, pattern, path, expected=expected)

    def test_count_and_json(self):
        data = self.random_text(20000, b"ab\n")
        path = self.write("count.txt", data)
        grep = require_program("grep")
        for pattern in (b"ab", b"abba", b"zz"):
            expected = model(data, pattern)
            with self.subTest(pattern=pattern):
                out, _ = self.skarn("find", "-c", pattern, path, status=0 if expected else 1)
                self.assertEqual(out, b"%d\n" % len(expected))
                out, _ = self.skarn("find", "--json", pattern, path, status=0 if expected else 1)
                self.assertEqual(json.loads(out), {"file": str(path), "pattern": pattern.decode(),
                                                   "offsets": expected})
                out, _ = self.skarn("find", "--json", "--count", "--max", 3, pattern, path,
                                    status=0 if expected else 1)
                self.assertEqual(json.loads(out), {"file": str(path), "pattern": pattern.decode(),
                                                   "count": min(3, len(expected))})
        # grep -c counts lines; on a file without line ends it counts as -c does here.
        single = self.write("single.txt", b"xyz")
        ref = subprocess.run([grep, "-c", "-F", "q", str(single)], stdout=subprocess.PIPE)
        ours = subprocess.run([support_skarn(), "find", "-c", "q", str(single)], stdout=subprocess.PIPE)
        self.assertEqual((ours.returncode, ours.stdout), (ref.returncode, ref.stdout))
        # Names and patterns that need escaping, and hex patterns.
        odd = self.write('a "quoted"\\name.bin', b"\x00\xff\x00\xff")
        out, _ = self.skarn("find", "--json", "--hex", "00FF", odd)
        self.assertEqual(json.loads(out), {"file": str(odd), "pattern": "00FF", "hex": True, "offsets": [0, 2]})

    def test_nothing_found_exits_with_1(self):
        path = self.write("plain.txt", b"hello world\n")
        out, _ = self.skarn("find", "xyz", path, status=1)
        self.assertEqual(out, b"")
        self.skarn("find", "hello world\n and more", path, status=1)
        self.skarn("find", "a", self.write("empty.txt", b""), status=1)
        self.skarn("find", "--offset", "3", "--length", "1", "lo", path, status=1)
        # A pattern that looks like an option follows "--".
        self.find("--", "--", self.write("dash.txt", b"a-b--c---"), expected=[3, 6])


if __name__ == "__main__":
    main()
