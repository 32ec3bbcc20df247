"""The repaired wheels of dist/ (`make wheel`, `make wheels`) as users get them.

Each wheel is checked for what it carries, then installed into an empty virtual environment of its
own Python, offline, from dist/ and the runtime dependencies `make wheel` put in dist/deps/, with no
build step allowed; tests/support/wheel_smoke.py then runs there. `make test` builds the wheels of every
declared Python that pyenv has first, so in CI these tests run and never skip.
"""

from __future__ import annotations

import os
import re
import shutil
import subprocess
import sys
import zipfile
from pathlib import Path

import pytest

from support import SOURCE

DIST = SOURCE / "dist"
WHEELS = sorted(DIST.glob("taloma-*-manylinux*.whl"))
# The PKI library's own headers, but for its C interface and the error table read at run time.
SHIPPED_HEADERS = {"taloma/Vorn/pkiGlobal_C.h", "taloma/Vorn/cError.h"}


def interpreter(wheel: Path) -> str | None:
    """An interpreter of the wheel's Python: this one, or pyenv's."""
    tag = re.search(r"-cp3(\d+)-", wheel.name)
    assert tag, wheel.name
    version = f"3.{tag.group(1)}"
    if f"{sys.version_info[0]}.{sys.version_info[1]}" == version:
        return sys.executable
    pyenv = shutil.which("pyenv")
    if pyenv is None:
        return None
    prefix = subprocess.run([pyenv, "prefix", version], capture_output=True, text=True).stdout.strip()
    python = Path(prefix) / "bin" / "python"
    return str(python) if prefix and python.exists() else None


def test_wheels_were_built() -> None:
    if not WHEELS and not os.environ.get("CI"):
        pytest.skip("no repaired wheel in dist/: run `make wheel`")
    assert WHEELS, "no repaired wheel in dist/: `make wheels` did not run before the tests"


@pytest.mark.parametrize("wheel", WHEELS, ids=lambda w: w.name.split("-")[2])
def test_wheel_contents(wheel: Path, tmp_path: Path) -> None:
    with zipfile.ZipFile(wheel) as zf:
        names = zf.namelist()
        metadata = zf.read(next(n for n in names if n.endswith(".dist-info/METADATA"))).decode()
        zf.extract("taloma/Vorn/pkiGlobal_C.h", tmp_path)
    vendored = [n for n in names if n.startswith("taloma.libs/")]
    for soname in ("libcrypto.so.3", "libxxhash.so.0", "libmosquitto.so.1", "libmsgpackc.so.2"):
        stem = soname.split(".so")[0]
        assert any(Path(n).name.startswith(stem + "-") for n in vendored), f"{soname} not vendored: {vendored}"
    # One copy of the PKI library, where the signing module and ctypes callers both load it.
    assert "taloma/Vorn/libVornPKI.so" in names
    assert not any("VornPKI" in n for n in vendored), vendored
    headers = {n for n in names if n.endswith((".h", ".hpp", ".cpp"))}
    assert headers == SHIPPED_HEADERS
    assert re.search(r"^License-Expression: MIT$", metadata, re.M), metadata[:400]
    assert any(n.endswith(".dist-info/licenses/LICENSE") for n in names)
    assert any(n.endswith("py.typed") for n in names)
    # The shipped C header stands on its own.
    cc = shutil.which("cc")
    if cc:
        run = subprocess.run(
            [cc, "-fsyntax-only", "-Wall", "-Werror", "-x", "c", str(tmp_path / "taloma/Vorn/pkiGlobal_C.h")],
            capture_output=True,
            text=True,
        )
        assert run.returncode == 0, run.stderr


@pytest.mark.parametrize("wheel", WHEELS, ids=lambda w: w.name.split("-")[2])
def test_wheel_installs_and_runs(wheel: Path, tmp_path: Path) -> None:
    python = interpreter(wheel)
    if python is None:
        pytest.skip(f"no interpreter for {wheel.name}")
    env_dir = tmp_path / "venv"
    subprocess.run([python, "-m", "venv", str(env_dir)], check=True)
    env_python = env_dir / "bin" / "python"
    # The environment's own pip, as a user's; --only-binary forbids building anything there.
    install = subprocess.run(
        [
            str(env_python),
            "-m",
            "pip",
            "install",
            "-q",
            "--disable-pip-version-check",
            "--no-index",
            "--only-binary",
            ":all:",
            "--find-links",
            str(DIST),
            "--find-links",
            str(DIST / "deps"),
            str(wheel),
        ],
        capture_output=True,
        text=True,
        timeout=300,
    )
    assert install.returncode == 0, install.stderr
    work = tmp_path / "work"
    work.mkdir()
    clean_env = {k: v for k, v in os.environ.items() if not k.startswith(("PYTHON", "TALOMA_"))}
    smoke = subprocess.run(
        [str(env_python), "-I", str(SOURCE / "tests" / "support" / "wheel_smoke.py"), str(work)],
        cwd=work,
        env=clean_env,
        capture_output=True,
        text=True,
        timeout=300,
    )
    assert smoke.returncode == 0, smoke.stdout + smoke.stderr
    assert smoke.stdout.rstrip().endswith("smoke ok"), smoke.stdout
