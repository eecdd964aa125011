"""Runs the README's Python install commands as written, with the python3 first
on the PATH, in a copy of the repository (the install builds the C library),
then the README's Python example with the installed package and no
SKARN_EDIT_LIBRARY."""

import os
import re
import shutil
import subprocess
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.normpath(os.path.join(HERE, "..", "..", ".."))
README = os.path.join(ROOT, "README.md")
# What a fresh clone lacks: build trees, environments, caches.
NOT_IN_A_CLONE = shutil.ignore_patterns(".git", "build", "build-*", "out", "venv", "*.egg-info", "__pycache__")


def readme_section(marker):
    with open(README, encoding="utf-8") as file:
        text = file.read()
    section = re.search(rf"<!-- example: {marker} -->(.*?)<!-- end example -->", text, re.S)
    if section is None:
        raise AssertionError(f"the README has no {marker} example")
    return section.group(1)


def fenced(section, language):
    return re.search(rf"```{language}\n(.*?)```", section, re.S).group(1)


def clean_environment():
    """The caller's environment without what would point Python at another
    package or library (the test runner sets some of these)."""
    dropped = ("SKARN_EDIT_LIBRARY", "PYTHONPATH", "PYTHONHOME", "VIRTUAL_ENV", "LD_PRELOAD", "ASAN_OPTIONS")
    return {k: v for k, v in os.environ.items() if k not in dropped}


class InstallTest(unittest.TestCase):
    def test_readme_install_commands_then_readme_example(self):
        python3 = shutil.which("python3")
        self.assertIsNotNone(python3, "no python3 on the PATH, which the README's commands use")
        install = fenced(readme_section("python-install"), "sh")
        example = readme_section("python-session")
        code, expected = fenced(example, "python"), fenced(example, "text")
        environment = clean_environment()
        with tempfile.TemporaryDirectory(prefix="skarn_py_install_") as work:
            clone = os.path.join(work, "clone")
            shutil.copytree(ROOT, clone, ignore=NOT_IN_A_CLONE, symlinks=True)
            result = subprocess.run(["bash", "-euo", "pipefail", "-c", install], cwd=clone, env=environment,
                                    stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
            self.assertEqual(result.returncode, 0, f"the README's install commands with {python3} failed:\n"
                             + result.stdout)
            venv_python = os.path.join(clone, "venv", "bin", "python")
            run = os.path.join(work, "run")
            os.mkdir(run)
            result = subprocess.run([venv_python, "-c", code], cwd=run, env=environment,
                                    capture_output=True, text=True)
            self.assertEqual(result.returncode, 0, result.stderr)
            self.assertEqual(result.stdout, expected)
            # The package and its library came from the environment, and the
            # distribution's version follows the library's.
            where = subprocess.run([venv_python, "-c", "import importlib.metadata, skarn_edit; "
                                    "print(skarn_edit.__file__, skarn_edit._native.lib._name, "
                                    "importlib.metadata.version('skarn_edit'), skarn_edit.__version__)"],
                                   cwd=run, env=environment, capture_output=True, text=True, check=True)
            package, library, distribution, version = where.stdout.split()
            installed = os.path.join(clone, "venv", "")
            self.assertTrue(package.startswith(installed), package)
            self.assertTrue(library.startswith(os.path.dirname(package) + os.sep), library)
            self.assertEqual(distribution, version, "pyproject.toml's version differs from the library's")


if __name__ == "__main__":
    unittest.main()
