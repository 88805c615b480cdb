"""The README's examples for velmora_tools and the command line, run as written."""
import doctest
import importlib.util
import os
import pathlib
import re
import shutil
import subprocess
import sys

import pytest

import velmora
from velmora_tools import PanicException, parse_file

ROOT = pathlib.Path(__file__).resolve().parents[2]
README = (ROOT / "README.md").read_text(encoding="utf-8")
SECTION = README[README.index("## Files, bytes and many files: velmora_tools"):README.index("## Documents larger than memory")]
BLOCKS = re.findall(r"```(python|sh)\n(.*?)```", SECTION, re.DOTALL)
SESSIONS = [code for kind, code in BLOCKS if kind == "python" and ">>>" in code]
(SCRIPT,) = [code for kind, code in BLOCKS if kind == "python" and ">>>" not in code]
(SHELL,) = [code for kind, code in BLOCKS if kind == "sh"]
BROKEN = "<feed><entry>1</feed>"


@pytest.fixture
def workdir(tmp_path, monkeypatch):
    """The files the examples name: the sample catalogue and a folder of feeds, one malformed,
    one in Latin-1, one a dangling link."""
    (tmp_path / "samples").mkdir()
    shutil.copy(ROOT / "samples" / "catalog.xml", tmp_path / "samples")
    incoming = tmp_path / "incoming"
    incoming.mkdir()
    (incoming / "a.xml").write_text('<feed id="a"><entry>1</entry><entry>2</entry></feed>', encoding="utf-8")
    (incoming / "b.xml").write_bytes('<?xml version="1.0" encoding="latin-1"?><feed id="b"><entry>caf\u00e9</entry></feed>'
                                     .encode("latin-1"))
    (incoming / "broken.xml").write_text(BROKEN, encoding="utf-8")
    (incoming / "missing.xml").symlink_to(tmp_path / "nowhere.xml")
    monkeypatch.chdir(tmp_path)
    return tmp_path


def child_env(**extra):
    return dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p), **extra)


def test_sections_have_their_examples():
    assert len(SESSIONS) == 2 and "LocalCluster" in SCRIPT and "velmora " in SHELL


def test_python_sessions_print_what_the_readme_shows(workdir, capfd):
    names = {}  # one session: later blocks use what earlier ones imported
    runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS)
    for number, session in enumerate(SESSIONS):
        test = doctest.DocTestParser().get_doctest(session, names, f"README block {number}", "README.md", 0)
        runner.run(test, out=sys.stdout.write, clear_globs=False)
        names = test.globs  # the test ran in a copy
    assert runner.failures == 0, capfd.readouterr().out


def test_dask_example_brings_each_result_and_the_failure_message_to_the_client(workdir):
    if importlib.util.find_spec("dask") is None or importlib.util.find_spec("distributed") is None:
        pytest.skip("dask[distributed] is not installed (requirements-dev.txt lists it)")
    (workdir / "dask_example.py").write_text(SCRIPT, encoding="utf-8")
    proc = subprocess.run([sys.executable, "dask_example.py"], capture_output=True, text=True, timeout=180,
                          env=child_env())
    assert proc.returncode == 0, proc.stderr[-3000:]
    with pytest.raises(PanicException) as malformed:
        velmora.parse(BROKEN)
    assert proc.stdout.splitlines() == [
        f"incoming/a.xml -> {parse_file('incoming/a.xml')}",  # the result, pickled back
        f"incoming/b.xml -> {parse_file('incoming/b.xml')}",
        f"incoming/broken.xml malformed: {malformed.value.args[0]}",
        "incoming/missing.xml unreadable: No such file or directory",
    ]


def test_shell_examples_exit_as_commented(workdir):
    bin_dir = workdir / "bin"
    bin_dir.mkdir()
    shim = bin_dir / "velmora"  # the console script, as an installed wheel has it
    shim.write_text(f'#!/bin/sh\nexec "{sys.executable}" -m velmora_tools "$@"\n', encoding="utf-8")
    shim.chmod(0o755)
    env = child_env(PATH=f"{bin_dir}{os.pathsep}{pathlib.Path(sys.executable).parent}{os.pathsep}{os.environ['PATH']}")
    for line in SHELL.strip().splitlines():
        status = re.search(r"# exit status (\d+)", line)
        proc = subprocess.run(["bash", "-c", line], capture_output=True, text=True, env=env, timeout=120)
        assert proc.returncode == (int(status.group(1)) if status else 0), (line, proc.stderr)
        assert "Traceback" not in proc.stderr
    assert (workdir / "catalog.json").read_text(encoding="utf-8").strip()
    assert len((workdir / "trees.jsonl").read_text(encoding="utf-8").splitlines()) == 4
