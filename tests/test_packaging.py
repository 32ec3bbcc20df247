"""The build as a user meets it: configure-time errors and the Pythons the package declares.

These tests read the source tree beside tests/ (CMakeLists.txt, pyproject.toml) and skip without it.
"""

from __future__ import annotations

import re
import shutil
import subprocess
from pathlib import Path

import pytest

from support import SOURCE

pytestmark = pytest.mark.skipif(not (SOURCE / "CMakeLists.txt").exists(), reason="no source tree beside tests/")


def fake_openssl_2(root: Path) -> Path:
    """An include directory whose OpenSSL headers are of a release before 3."""
    (root / "openssl").mkdir()
    (root / "openssl" / "evp.h").write_text("")
    (root / "openssl" / "opensslv.h").write_text("# define OPENSSL_VERSION_MAJOR 2\n")
    return root


@pytest.mark.parametrize(
    ("variable", "value", "package"),
    [
        ("OPENSSL_INCLUDE_DIR", lambda tmp: tmp, "libssl-dev"),
        ("OPENSSL_INCLUDE_DIR", fake_openssl_2, "libssl-dev"),
        ("OPENSSL_CRYPTO_LIBRARY", lambda tmp: tmp / "libcrypto.so", "libssl-dev"),
        ("XXHASH_INCLUDE_DIR", lambda tmp: tmp, "libxxhash-dev"),
    ],
    ids=["openssl-header", "openssl-2", "openssl-library", "xxhash-header"],
)
def test_missing_dependency_stops_configure(tmp_path: Path, variable: str, value, package: str) -> None:
    cmake = shutil.which("cmake")
    if cmake is None:
        pytest.skip("cmake is not installed")
    where = tmp_path / "deps"
    where.mkdir()
    run = subprocess.run(
        [
            cmake,
            "-S",
            str(SOURCE),
            "-B",
            str(tmp_path / "build"),
            "-DTALOMA_PYTHON_MODULES=OFF",
            f"-D{variable}={value(where)}",
        ],
        capture_output=True,
        text=True,
        timeout=300,
    )
    assert run.returncode != 0, run.stdout
    message = " ".join(run.stderr.split())  # CMake wraps long messages
    assert f"apt-get install {package}" in message, run.stderr
    assert variable in message, run.stderr
    # Stopped while configuring: nothing was generated to build from.
    assert not (tmp_path / "build" / "build.ninja").exists() and not (tmp_path / "build" / "Makefile").exists()


def declared_pythons(pyproject: str) -> list[str]:
    return re.findall(r'"Programming Language :: Python :: (3\.\d+)"', pyproject)


def test_declared_pythons_agree() -> None:
    pyproject = (SOURCE / "pyproject.toml").read_text(encoding="utf-8")
    versions = declared_pythons(pyproject)
    assert versions, "pyproject.toml lists no Python version classifiers"
    minors = [int(v.split(".")[1]) for v in versions]
    assert minors == list(range(minors[0], minors[0] + len(minors))), f"gaps or disorder in {versions}"
    floor = re.search(r'^requires-python\s*=\s*">=\s*(3\.\d+)"', pyproject, re.M)
    assert floor and floor.group(1) == versions[0], "requires-python does not start at the oldest tested Python"
    cmake = re.search(r"find_package\(Python (3\.\d+)", (SOURCE / "cmake" / "TalomaModule.cmake").read_text())
    assert cmake and cmake.group(1) == versions[0], "CMake asks for another oldest Python"
