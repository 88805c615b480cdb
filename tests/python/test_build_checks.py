"""Build-time checks that run before anything compiles."""
import pathlib
import shutil
import subprocess
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
CMAKE = shutil.which("cmake", path=str(pathlib.Path(sys.executable).parent)) or shutil.which("cmake")


@pytest.mark.skipif(CMAKE is None, reason="cmake not installed")
@pytest.mark.parametrize("answer, refused", [("1", True), ("0", False)], ids=["free-threaded", "with-lock"])
def test_free_threaded_interpreter_is_refused(tmp_path, answer, refused):
    # An interpreter that answers the build's question the way each kind of build does.
    fake = tmp_path / "python"
    fake.write_text(f"#!/bin/sh\necho {answer}\n")
    fake.chmod(0o755)
    proc = subprocess.run([CMAKE, f"-DPython_EXECUTABLE={fake}", "-P", ROOT / "cmake" / "RefuseFreeThreaded.cmake"],
                          capture_output=True, text=True, timeout=60)
    assert (proc.returncode != 0) == refused, proc.stderr
    assert ("is a free-threaded build" in " ".join(proc.stderr.split())) == refused


@pytest.mark.skipif(CMAKE is None, reason="cmake not installed")
def test_the_running_interpreter_is_accepted():
    proc = subprocess.run([CMAKE, f"-DPython_EXECUTABLE={sys.executable}", "-P", ROOT / "cmake" / "RefuseFreeThreaded.cmake"],
                          capture_output=True, text=True, timeout=60)
    assert proc.returncode == 0, proc.stderr
