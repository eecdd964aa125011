"""Installs the package into a fresh virtual environment with pip, offline,
and runs the Python example of the project's README with it."""

import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
PACKAGE = os.path.dirname(HERE)
README = os.path.join(PACKAGE, "..", "..", "README.md")


def readme_example():
    """The python block between the README's python-session markers, and the output it promises."""
    with open(README, encoding="utf-8") as file:
        text = file.read()
    section = re.search(r"<!-- example: python-session -->(.*?)<!-- end example -->", text, re.S)
    if section is None:
        raise AssertionError("the README has no python-session example")
    code = re.search(r"```python\n(.*?)```", section.group(1), re.S).group(1)
    output = re.search(r"```text\n(.*?)```", section.group(1), re.S).group(1)
    return code, output


class InstallTest(unittest.TestCase):
    def test_pip_install_and_readme_example(self):
        # Debian's interpreter when there is one: its setuptools and wheel are
        # what an offline install builds with.
        python = os.environ.get("SKARN_INSTALL_PYTHON") or (
            "/usr/bin/python3" if os.path.exists("/usr/bin/python3") else sys.executable)
        code, expected = readme_example()
        with tempfile.TemporaryDirectory(prefix="skarn_py_install_") as work:
            source = os.path.join(work, "source")
            # pip builds in the source tree: build a copy, not the checkout.
            shutil.copytree(PACKAGE, source, ignore=shutil.ignore_patterns("build", "*.egg-info", "__pycache__"))
            venv = os.path.join(work, "venv")
            subprocess.run([python, "-m", "venv", "--system-site-packages", venv], check=True)
            venv_python = os.path.join(venv, "bin", "python")
            subprocess.run([venv_python, "-m", "pip", "install", "--no-index", "--no-build-isolation",
                            "--disable-pip-version-check", "-q", source], check=True)
            run = os.path.join(work, "run")
            os.mkdir(run)
            environment = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "PYTHONHOME")}
            result = subprocess.run([venv_python, "-c", code], cwd=run, env=environment,
                                    capture_output=True, text=True)
            self.assertEqual(result.returncode, 0, result.stderr)
            self.assertEqual(result.stdout, expected)
            # The package came from the environment, not from the checkout, and the
            # distribution's version follows the library's.
            where = subprocess.run([venv_python, "-c", "import importlib.metadata, skarn_edit; "
                                    "print(skarn_edit.__file__, importlib.metadata.version('skarn_edit'), "
                                    "skarn_edit.__version__)"],
                                   cwd=run, env=environment, capture_output=True, text=True, check=True)
            location, distribution, library = where.stdout.split()
            self.assertTrue(location.startswith(venv), location)
            self.assertEqual(distribution, library, "pyproject.toml's version differs from the library's")


if __name__ == "__main__":
    unittest.main()
