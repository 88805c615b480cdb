"""The README's main-job command, run the way a user runs it: from another folder, with paths
relative to that folder and options after the files."""
import json
import os
import pathlib
import subprocess
import sys

import velmora

ROOT = pathlib.Path(__file__).resolve().parents[2]
SAMPLE = ROOT / "samples" / "catalog.xml"


def run_sample(*args, cwd):
    env = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "BUILD_DIR")}
    # This interpreter's environment and build folder, so the command rebuilds nothing.
    env.update(VENV_PYTHON=sys.executable, VELMORA_PYTHON_VERSION="%d.%d" % sys.version_info[:2])
    return subprocess.run([ROOT / "tools" / "run-sample.sh", *args], cwd=cwd, env=env,
                          capture_output=True, text=True, timeout=600)


def test_without_arguments_it_converts_the_shipped_sample(tmp_path):
    proc = run_sample(cwd=tmp_path)
    assert proc.returncode == 0, proc.stderr
    assert json.loads(proc.stdout) == velmora.parse(SAMPLE.read_text(encoding="utf-8"))
    assert proc.stdout.startswith('{\n  "catalog"')  # indented


def test_relative_paths_and_options_after_the_files(tmp_path):
    (tmp_path / "in").mkdir()
    (tmp_path / "in" / "doc.xml").write_text("<a><b>1</b></a>", encoding="utf-8")
    proc = run_sample("in/doc.xml", "--indent", "4", cwd=tmp_path)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout == json.dumps({"a": {"b": "1"}}, indent=4) + "\n"
