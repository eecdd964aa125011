"""A file larger than 4 GiB read through a Session by slices, in constant memory."""

import os
import resource
import shutil
import tempfile
import unittest

import skarn_edit

GIB = 1 << 30
SIZE = 4 * GIB + (3 << 20)
MARKS = {0: b"<start>", 4 * GIB - 3: b"<across>", 4 * GIB + (1 << 20) + 11: b"<beyond>", SIZE - 5: b"<end>"}


class LargeFileTest(unittest.TestCase):
    def test_read_search_and_edit_past_4_gib(self):
        work = tempfile.mkdtemp(prefix="skarn_py_large_")
        self.addCleanup(shutil.rmtree, work, True)
        # The file is sparse, but the session's private copy may not be.
        if shutil.disk_usage(work).free < 2 * SIZE + GIB:
            self.skipTest("not enough free disk space for a file over 4 GiB and its copy")
        path = os.path.join(work, "big.bin")
        with open(path, "wb") as file:
            file.truncate(SIZE)
            for offset, mark in MARKS.items():
                file.seek(offset)
                file.write(mark)
        size = os.path.getsize(path)
        rss_before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        with skarn_edit.Session(path, work) as s:
            self.assertEqual(len(s), size)
            for offset, mark in MARKS.items():
                self.assertEqual(s[offset:offset + len(mark)], mark)
            self.assertEqual(s[4 * GIB - 1], ord("c"))
            self.assertEqual(s[-1], ord(">"))
            # Every 1 MiB slice of the whole file: the marks' bytes and zeros elsewhere.
            chunk = 1 << 20
            nonzero = 0
            for offset in range(0, size, chunk):
                piece = s[offset:offset + chunk]
                self.assertEqual(len(piece), min(chunk, size - offset))
                nonzero += len(piece) - piece.count(0)
            self.assertEqual(nonzero, sum(len(mark) for mark in MARKS.values()))
            # Search and edits at offsets that need 64 bits.
            self.assertEqual(list(s.find(b"<beyond>", 4 * GIB)), [4 * GIB + (1 << 20) + 11])
            self.assertEqual(next(s.find(b"<", reverse=True)), SIZE - 5)
            s.insert(4 * GIB + 1, b"inserted")
            self.assertEqual(s[4 * GIB - 3:4 * GIB + 9], b"<acr" + b"inserted")
            self.assertEqual(len(s), size + 8)
            self.assertEqual(s.undo(), 1)
            self.assertEqual(len(s), size)
        grown = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - rss_before  # KiB on Linux
        self.assertLess(grown, 256 * 1024, "memory grew with the file")


if __name__ == "__main__":
    unittest.main()
