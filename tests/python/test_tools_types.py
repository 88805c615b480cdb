"""velmora_tools stays fully typed: mypy --strict finds nothing, against the module's own stub."""
import os
import pathlib
import subprocess
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]


def test_mypy_strict_is_clean(tmp_path):
    pytest.importorskip("mypy")
    stubs = tmp_path / "stubs"
    stubs.mkdir()
    (stubs / "velmora.pyi").write_text((ROOT / "python" / "velmora-stubs" / "__init__.pyi").read_text())
    env = dict(os.environ, MYPYPATH=str(stubs))
    proc = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--cache-dir", str(tmp_path / "cache"),
                           str(ROOT / "python" / "velmora_tools")], capture_output=True, text=True, env=env,
                          cwd=tmp_path, timeout=300)
    assert proc.returncode == 0, proc.stdout + proc.stderr
