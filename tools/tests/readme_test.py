"""Runs the shell blocks of the README's tool section as written, in order, in a
directory laid out as the repository's root after the Quick start: the tool
under test as build/tool/tools/skarn and a copy of tools/samples."""

import os
import re
import shutil
import subprocess
import tempfile
import textwrap
import unittest
from pathlib import Path

import skarn_test_support as support

README = Path(__file__).resolve().parent.parent.parent / "README.md"


def tool_blocks():
    text = README.read_text(encoding="utf-8")
    section = re.search(r"<!-- example: tool -->(.*?)<!-- end example -->", text, re.S)
    if section is None:
        raise AssertionError("the README has no tool example section")
    # Blocks inside list items are indented; their lines keep the item's indent.
    return [textwrap.dedent(body) for body in re.findall(r"^ *```sh\n(.*?)^ *```$", section.group(1), re.S | re.M)]


class ReadmeTest(unittest.TestCase):
    def test_readme_tool_examples_run_as_written(self):
        blocks = tool_blocks()
        self.assertGreaterEqual(len(blocks), 5, "the tool section lost its examples")
        with tempfile.TemporaryDirectory(prefix="skarn_readme_") as root:
            root = Path(root)
            (root / "build" / "tool" / "tools").mkdir(parents=True)
            (root / "build" / "tool" / "tools" / "skarn").symlink_to(support.SKARN)
            shutil.copytree(support.SAMPLE.parent, root / "tools" / "samples")
            environment = {k: v for k, v in os.environ.items() if k != "PATH"}
            environment["PATH"] = os.defpath  # no other skarn than the one the README names
            result = subprocess.run(["bash", "-euo", "pipefail", "-c", "\n".join(blocks)], cwd=root,
                                    env=environment, capture_output=True, text=True)
            self.assertEqual(result.returncode, 0, f"stdout:\n{result.stdout}\nstderr:\n{result.stderr}")
            self.assertTrue((root / "fixed.txt").is_file(), "the edit example wrote no fixed.txt")
            # The in-place example dropped the 3-byte mark from the copy.
            self.assertEqual((root / "notes.txt").read_bytes(), support.SAMPLE.read_bytes()[3:])


if __name__ == "__main__":
    support.main()
