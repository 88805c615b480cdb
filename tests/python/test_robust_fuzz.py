"""Generated and mutated documents, run in child processes by tools/fuzz_parse.py: parse returns a
dict or raises PanicException, agrees with the reference, and never takes the process down.
The long run is `tools/fuzz_parse.py --seconds N`; here a bounded number of cases."""
import json
import os
import pathlib
import subprocess
import sys

import pytest

pytest.importorskip("_velmora_test")

ROOT = pathlib.Path(__file__).resolve().parent.parent.parent
DRIVER = ROOT / "tools" / "fuzz_parse.py"


def run_driver(tmp_path, *args, extra_path=()):
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join([*map(str, extra_path), *(p for p in sys.path if p)])
    # Under AddressSanitizer (tools/sanitize.sh) a deliberate SIGSEGV would be logged as a finding.
    env["ASAN_OPTIONS"] = env.get("ASAN_OPTIONS", "") + ":handle_segv=0"
    regressions = tmp_path / "regressions.jsonl"
    proc = subprocess.run([sys.executable, str(DRIVER), "--regressions", str(regressions), *args],
                          env=env, capture_output=True, text=True, timeout=300)
    found = [json.loads(line) for line in regressions.read_text().splitlines()] if regressions.exists() else []
    return proc, found


def test_bounded_fuzz_run_finds_nothing(tmp_path):
    proc, found = run_driver(tmp_path, "--cases", "20000", "--seed", "20240601", "--batch", "5000", "--jobs", "2")
    assert proc.returncode == 0, proc.stdout + proc.stderr
    assert "20000 cases, 0 failures" in proc.stdout
    assert found == []


# A stand-in for parse that misbehaves on inputs holding "<!--": the driver must notice each way
# of misbehaving, name it, and record the input that caused it.
FAULTY_TARGET = """
import os, signal, velmora
MODE = {mode!r}
def parse(xml):
    if "<!--" not in xml:
        return velmora.parse(xml)
    if MODE == "segfault":
        os.kill(os.getpid(), signal.SIGSEGV)
    if MODE == "abort":
        os.abort()
    if MODE == "exception":
        raise ValueError("not PanicException")
    if MODE == "wrong type":
        return [velmora.parse(xml)]
    if MODE == "wrong result":
        return {{"x": None}}
"""


@pytest.mark.parametrize("mode, kind, detail", [
    ("segfault", "crash (SIGSEGV)", "Fatal Python error: Segmentation fault"),
    ("abort", "crash (SIGABRT)", "Fatal Python error: Aborted"),
    ("exception", "difference", "raised builtins.ValueError('not PanicException',)"),
    ("wrong type", "difference", "returned a list, not a dict"),
    ("wrong result", "difference", "parse: ('ok', [('x', None)])"),
])
def test_driver_detects_and_records_each_kind_of_fault(tmp_path, mode, kind, detail):
    (tmp_path / "faulty.py").write_text(FAULTY_TARGET.format(mode=mode))
    proc, found = run_driver(tmp_path, "--cases", "400", "--seed", "5", "--batch", "200",
                             "--target", "faulty:parse", extra_path=[tmp_path])
    assert proc.returncode == 1
    assert found and all("<!--" in item["input"] for item in found)
    assert {item["found"] for item in found} == {kind}
    assert detail in proc.stdout
