"""skarn info against counts made in Python."""

import json
import os
from collections import Counter

from skarn_test_support import SAMPLE, SkarnTestCase, main

BOMS = {
    "UTF-8": (b"\xef\xbb\xbf", "utf-8"),
    "UTF-16LE": (b"\xff\xfe", "utf-16-le"),
    "UTF-16BE": (b"\xfe\xff", "utf-16-be"),
    "UTF-32LE": (b"\xff\xfe\x00\x00", "utf-32-le"),
    "UTF-32BE": (b"\x00\x00\xfe\xff", "utf-32-be"),
}


def character_widths(text, encoding):
    """(single, double, triple, quad) as the library names them for valid text."""
    counts = [0, 0, 0, 0]
    for ch in text:
        if encoding == "utf-8":
            counts[len(ch.encode("utf-8")) - 1] += 1
        elif ord(ch) <= 0x7F:
            counts[0] += 1
        else:
            counts[1 if encoding.startswith("utf-16") else 3] += 1
    return counts


def top_bytes(data):
    ranked = sorted(Counter(data).items(), key=lambda item: (-item[1], item[0]))[:5]
    return [{"value": "0x%02x" % value, "count": count} for value, count in ranked]


class InfoTest(SkarnTestCase):
    def info_json(self, path, *args):
        out, _ = self.skarn("info", "--json", path, *args)
        self.assertEqual(out.count(b"\n"), 1)
        return json.loads(out)

    def check_text_file(self, path, bom_name, encoding):
        data = path.read_bytes()
        mark = BOMS[bom_name][0] if bom_name in BOMS else b""
        text = data[len(mark):].decode(encoding)
        single, double, triple, quad = character_widths(text, encoding)
        info = self.info_json(path)
        self.assertEqual(info["file"], str(path))
        self.assertEqual(info["size"], len(data))
        self.assertEqual(info["bom"], bom_name)
        self.assertEqual(info["encoding"], bom_name)
        self.assertEqual(info["characters"], {
            "total": single + double + triple + quad, "single_byte": single, "double_byte": double,
            "triple_byte": triple, "quad_byte": quad, "invalid_bytes": 0, "bom_bytes": len(mark)})
        self.assertEqual(info["line_feeds"], data.count(b"\n"))
        self.assertEqual(info["dos_line_ends"], data.count(b"\r\n"))
        self.assertEqual(info["top_bytes"], top_bytes(data))
        return info

    def test_sample(self):
        info = self.check_text_file(SAMPLE, "UTF-8", "utf-8")
        self.assertGreater(info["dos_line_ends"], 2)
        self.assertEqual(info["dos_line_ends"], info["line_feeds"])
        self.assertGreater(info["characters"]["quad_byte"], 0)

    def test_every_byte_order_mark(self):
        text = "Grüße, 5 €, 🙂 and plain ASCII\r\nline two\n"
        for name, (mark, encoding) in BOMS.items():
            with self.subTest(bom=name):
                path = self.write("%s.txt" % name, mark + text.encode(encoding))
                self.check_text_file(path, name, encoding)

    def test_named_encoding(self):
        # Counted as "none", the UTF-8 mark is an ordinary three-byte character.
        info = self.info_json(SAMPLE, "--encoding", "none")
        utf8 = self.info_json(SAMPLE)
        self.assertEqual(info["bom"], "UTF-8")
        self.assertEqual(info["encoding"], "none")
        self.assertEqual(info["characters"]["bom_bytes"], 0)
        self.assertEqual(info["characters"]["triple_byte"], utf8["characters"]["triple_byte"] + 1)
        # Any letter case names an encoding; UTF-8 text read as UTF-16BE is mostly double-byte units.
        info = self.info_json(SAMPLE, "--encoding", "utf-16be")
        self.assertEqual(info["encoding"], "UTF-16BE")
        self.assertEqual(info["characters"]["triple_byte"], 0)
        for bad in ["UTF-8x", "utf8", "latin1", "", "unknown"]:
            with self.subTest(name=bad):
                _, err = self.skarn("info", "--encoding", bad, SAMPLE, status=2)
                self.assertIn("unknown encoding", err)

    def test_binary_file(self):
        data = b"A" + self.random_bytes(100000) + b"\r\n\r\r\n\n\r"
        info = self.info_json(self.write("random.bin", data))
        self.assertEqual(info["bom"], "none")
        self.assertEqual(info["encoding"], "none")
        self.assertEqual(info["size"], len(data))
        self.assertEqual(info["line_feeds"], data.count(b"\n"))
        self.assertEqual(info["dos_line_ends"], data.count(b"\r\n"))
        self.assertEqual(info["top_bytes"], top_bytes(data))
        counts = info["characters"]
        widths = counts["single_byte"] + 2 * counts["double_byte"] + 3 * counts["triple_byte"] + 4 * counts["quad_byte"]
        self.assertEqual(widths + counts["invalid_bytes"], len(data), "every byte is counted once")

    def test_empty_file(self):
        info = self.info_json(self.write("empty.txt", b""))
        self.assertEqual(info, {
            "file": str(self.path("empty.txt")), "size": 0, "bom": "none", "encoding": "none",
            "characters": {"total": 0, "single_byte": 0, "double_byte": 0, "triple_byte": 0, "quad_byte": 0,
                           "invalid_bytes": 0, "bom_bytes": 0},
            "line_feeds": 0, "dos_line_ends": 0, "top_bytes": []})

    def test_json_escapes_file_names(self):
        for name in ['we"ird\\name\ttab\n.txt', "ctrl\x01\x1f.txt", "café €.txt"]:
            with self.subTest(name=name):
                path = self.write(name, b"x")
                self.assertEqual(self.info_json(path)["file"], str(path))
        # Bytes that are not UTF-8 cannot appear in JSON text; they become U+FFFD.
        raw = os.fsencode(str(self.dir)) + b"/caf\xc3\xa9-\xff\xfe.txt"
        with open(raw, "wb") as f:
            f.write(b"x")
        self.assertEqual(self.info_json(raw)["file"], str(self.dir) + "/café-\ufffd\ufffd.txt")

    def test_text_output(self):
        out, _ = self.skarn("info", SAMPLE)
        fields = {}
        for line in out.decode().splitlines():
            key, _, value = line.partition(":")
            fields[key.strip()] = value.strip()
        info = self.info_json(SAMPLE)
        self.assertEqual(fields["file"], str(SAMPLE))
        self.assertEqual(fields["size"], str(info["size"]))
        self.assertEqual(fields["bom"], "UTF-8")
        self.assertEqual(fields["encoding"], "UTF-8")
        self.assertEqual(fields["characters"], str(info["characters"]["total"]))
        self.assertEqual(fields["quad-byte"], str(info["characters"]["quad_byte"]))
        self.assertEqual(fields["line feeds"], str(info["line_feeds"]))
        self.assertEqual(fields["DOS line ends"], str(info["dos_line_ends"]))
        self.assertEqual(fields["top bytes"],
                         ", ".join("%s (%d)" % (t["value"], t["count"]) for t in info["top_bytes"]))
        # Without a mark, or counted as none, the line names the rules counted by.
        for args in [(str(self.write("plain.txt", b"caf\xc3\xa9\n")),), (SAMPLE, "--encoding", "none")]:
            out, _ = self.skarn("info", *args)
            self.assertIn("\nencoding:        UTF-8, no byte-order mark\n", out.decode())


if __name__ == "__main__":
    main()
