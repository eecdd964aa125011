"""The package's build backend (PEP 517), named by pyproject.toml.

It needs setuptools but not the `wheel` package: setuptools runs setup.py's
build (the Python files and the library built with CMake) and writes the
metadata, and this module packs them into the wheel itself. So an offline
`pip install --no-build-isolation bindings/python` works with any setuptools
from 61 on, whether or not the interpreter has `wheel` (setuptools before
70.1 needs it for its own bdist_wheel). Source distributions are setuptools'.
"""

import base64
import email.parser
import hashlib
import os
import re
import shutil
import subprocess
import sys
import sysconfig
import tempfile
import zipfile
from pathlib import Path

from setuptools import build_meta as _setuptools

HERE = Path(__file__).resolve().parent

get_requires_for_build_sdist = _setuptools.get_requires_for_build_sdist
build_sdist = _setuptools.build_sdist


def get_requires_for_build_wheel(config_settings=None):
    return []


def _setup(*arguments: str) -> None:
    """Runs setup.py with `arguments` in the package's directory."""
    subprocess.run([sys.executable, "setup.py", *arguments], cwd=HERE, check=True)


def _safe(component: str) -> str:
    """A name or version as a wheel's file name writes it."""
    return re.sub(r"[^\w\d.]+", "_", component)


def _write_dist_info(scratch: Path, target: Path) -> str:
    """Writes the distribution's .dist-info directory into `target` from the
    .egg-info that setup.py's egg_info makes in `scratch`; returns its name."""
    scratch.mkdir(parents=True, exist_ok=True)
    _setup("egg_info", "--egg-base", str(scratch))
    egg_info = next(scratch.glob("*.egg-info"))
    requires = egg_info / "requires.txt"
    if requires.exists() and requires.read_text().strip():
        raise SystemExit("skarn_edit's build backend writes no Requires-Dist: the package must have no dependencies")
    metadata = (egg_info / "PKG-INFO").read_text(encoding="utf-8")
    fields = email.parser.HeaderParser().parsestr(metadata)
    name = f"{_safe(fields['Name'])}-{_safe(fields['Version'])}.dist-info"
    dist_info = target / name
    dist_info.mkdir(parents=True)
    (dist_info / "METADATA").write_text(metadata, encoding="utf-8")
    if (egg_info / "top_level.txt").exists():
        shutil.copyfile(egg_info / "top_level.txt", dist_info / "top_level.txt")
    return name


def prepare_metadata_for_build_wheel(metadata_directory, config_settings=None):
    with tempfile.TemporaryDirectory() as scratch:
        return _write_dist_info(Path(scratch), Path(metadata_directory))


def _platform_tag() -> str:
    return re.sub(r"[-.]", "_", sysconfig.get_platform())


def _record_line(path: str, data: bytes) -> str:
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
    return f"{path},sha256={digest},{len(data)}"


def _pack(root: Path, dist_info: str, wheel: Path) -> None:
    """Zips every file under `root` into `wheel`, with its RECORD last."""
    files = sorted(path for path in root.rglob("*") if path.is_file())
    record = []
    with zipfile.ZipFile(wheel, "w", zipfile.ZIP_DEFLATED) as archive:
        for path in files:
            name = path.relative_to(root).as_posix()
            data = path.read_bytes()
            entry = zipfile.ZipInfo(name, date_time=(1980, 1, 1, 0, 0, 0))
            entry.external_attr = (path.stat().st_mode & 0o777 | 0o100000) << 16
            archive.writestr(entry, data, zipfile.ZIP_DEFLATED)
            record.append(_record_line(name, data))
        record.append(f"{dist_info}/RECORD,,")
        archive.writestr(f"{dist_info}/RECORD", "\n".join(record) + "\n")


def build_wheel(wheel_directory, config_settings=None, metadata_directory=None):
    with tempfile.TemporaryDirectory() as scratch:
        scratch = Path(scratch)
        content = scratch / "content"
        _setup("build", "--build-lib", str(content))
        dist_info = _write_dist_info(scratch / "egg", content)
        tag = f"py3-none-{_platform_tag()}"
        (content / dist_info / "WHEEL").write_text(
            f"Wheel-Version: 1.0\nGenerator: skarn_edit _build_backend\nRoot-Is-Purelib: false\nTag: {tag}\n")
        wheel_name = f"{dist_info[:-len('.dist-info')]}-{tag}.whl"
        os.makedirs(wheel_directory, exist_ok=True)
        _pack(content, dist_info, Path(wheel_directory) / wheel_name)
        return wheel_name
