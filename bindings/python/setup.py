"""The package's build step: builds the skarn_edit shared library from the
repository's sources with CMake and puts it inside the package, so that an
installed skarn_edit loads its own library. The project's metadata is in
pyproject.toml; _build_backend.py turns the build into a wheel."""

import os
import shutil
import subprocess
import sys
from pathlib import Path

from setuptools import Command, setup
try:
    from setuptools.command.build import build
except ImportError:  # setuptools before 62.4
    from distutils.command.build import build
from setuptools.dist import Distribution

HERE = Path(__file__).resolve().parent


def library_name() -> str:
    return "libskarn_edit.dylib" if sys.platform == "darwin" else "libskarn_edit.so"


def repository_root() -> Path:
    """The directory whose CMakeLists.txt builds the library: the repository
    holding bindings/python (a source distribution has only the Python files)."""
    root = HERE.parent.parent
    if not (root / "CMakeLists.txt").is_file() or not (root / "core" / "src").is_dir():
        raise SystemExit(f"skarn_edit: the library's sources are not in {root}: install the package from "
                         "bindings/python in a clone of the repository")
    return root


def cmake_program() -> str:
    program = shutil.which("cmake")
    if program is None:
        raise SystemExit("skarn_edit: building the library needs cmake (and a C++20 compiler) on the PATH; "
                         "on Debian: apt-get install cmake g++")
    return program


class BuildLibrary(Command):
    """Configures the repository with CMake (Release, no tests, benchmarks or
    tool) in the build's temporary directory, builds only the shared library
    and copies it into the package under the build's library directory."""

    description = "build libskarn_edit with CMake and put it into the package"
    user_options = []

    def initialize_options(self):
        self.build_lib = None
        self.build_temp = None

    def finalize_options(self):
        self.set_undefined_options("build", ("build_lib", "build_lib"), ("build_temp", "build_temp"))

    def run(self):
        cmake = cmake_program()
        tree = Path(self.build_temp).resolve() / "cmake"
        configure = [cmake, "-S", str(repository_root()), "-B", str(tree), "-DCMAKE_BUILD_TYPE=Release",
                     "-DSKARN_BUILD_TESTS=OFF", "-DSKARN_BUILD_BENCH=OFF", "-DSKARN_BUILD_TOOLS=OFF"]
        if "CMAKE_GENERATOR" not in os.environ and shutil.which("ninja") and not (tree / "CMakeCache.txt").exists():
            configure += ["-G", "Ninja"]
        compile_library = [cmake, "--build", str(tree), "--target", "skarn_edit"]
        if "CMAKE_BUILD_PARALLEL_LEVEL" not in os.environ:
            compile_library += ["--parallel", str(os.cpu_count() or 1)]
        for command in (configure, compile_library):
            self.announce(" ".join(command), level=2)
            subprocess.run(command, check=True)
        built = (tree / "core" / library_name()).resolve()  # the versioned file the links name
        target = Path(self.build_lib) / "skarn_edit" / library_name()
        target.parent.mkdir(parents=True, exist_ok=True)
        shutil.copyfile(built, target)


class BuildWithLibrary(build):
    """The build command, with the library built after the Python files."""

    sub_commands = build.sub_commands + [("build_library", None)]


class BinaryDistribution(Distribution):
    """A distribution that holds a native library: its wheel is tied to the platform."""

    def has_ext_modules(self):
        return True


setup(distclass=BinaryDistribution, cmdclass={"build": BuildWithLibrary, "build_library": BuildLibrary})
