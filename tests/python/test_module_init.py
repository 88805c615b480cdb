"""The module object: its attributes, re-import, star import, and the second-interpreter refusal."""
import inspect
import shutil
import subprocess
import sys

import pytest

import velmora


@pytest.mark.parametrize("get, expected", [
    (lambda m: m.__all__, ["parse"]),
    (lambda m: type(m.__all__), list),
    (lambda m: m.__doc__, ""),
    (lambda m: m.parse.__name__, "parse"),
    (lambda m: m.parse.__qualname__, "parse"),
    (lambda m: m.parse.__module__, "velmora"),
    (lambda m: m.parse.__doc__, None),
    (lambda m: m.parse.__text_signature__, "(xml)"),
    (lambda m: list(inspect.signature(m.parse).parameters), ["xml"]),
    (lambda m: m.parse.__self__ is m, True),
    (lambda m: hasattr(m, "PanicException"), False),
], ids=["all", "all-type", "doc", "name", "qualname", "module", "func-doc", "signature-text",
        "signature", "self", "no-panic-type"])
def test_module_attributes(get, expected):
    assert get(velmora) == expected


def test_reimport_returns_the_same_module_object():
    first = velmora
    first.set_by_test = 42
    try:
        del sys.modules["velmora"]
        import velmora as again
        assert again is first
        assert again.set_by_test == 42
        assert again.parse is first.parse
        assert again.__all__ == ["parse"]  # nothing was added twice
    finally:
        sys.modules["velmora"] = first
        del first.set_by_test


def test_star_import_binds_only_parse():
    namespace = {}
    exec("from velmora import *", namespace)
    assert sorted(k for k in namespace if k != "__builtins__") == ["parse"]


def test_second_interpreter_is_refused_and_first_keeps_working(run_python):
    proc = run_python("""
        import _testcapi, velmora
        print("rc", _testcapi.run_in_subinterp("import velmora"))
        try:
            velmora.parse(5)
        except TypeError as e:
            print("main:", e)
        print("result:", velmora.parse("<a/>"))
    """)
    if "has no attribute 'run_in_subinterp'" in proc.stderr or "No module named '_testcapi'" in proc.stderr:
        pytest.skip("this interpreter build has no legacy subinterpreter helper")
    assert proc.returncode == 0, proc.stderr
    import_errors = [l for l in proc.stderr.splitlines() if l.startswith("ImportError")]
    assert import_errors == [
        "ImportError: velmora does not support subinterpreters: it is already loaded in another "
        "interpreter of this process"]
    assert "http" not in proc.stderr
    assert "rc -1" in proc.stdout
    assert "main: argument 'xml': 'int' object cannot be converted to 'PyString'" in proc.stdout
    assert "result: {'a': None}" in proc.stdout


@pytest.mark.skipif(shutil.which("nm") is None, reason="nm not available")
def test_only_the_entry_point_is_exported():
    out = subprocess.run(["nm", "-D", "--defined-only", velmora.__file__],
                         capture_output=True, text=True, check=True).stdout
    assert [line.split()[-1] for line in out.splitlines()] == ["PyInit_velmora"]


EMBEDDING_PROGRAM = r"""
#include <Python.h>
#include <stdio.h>
int main(int argc, char** argv) {
  for (int round = 0; round < 3; ++round) {
    Py_Initialize();
    int rc = PyRun_SimpleString(argv[1]);
    printf("round %d rc %d\n", round, rc);
    fflush(stdout);
    if (Py_FinalizeEx() < 0) return 2;
  }
  return 0;
}
"""

EMBEDDED_SCRIPT = """
import io, pickle, pyo3_runtime, velmora, velmora_tools
print(velmora.parse('<r><a x="1">t</a><a x="2">u</a><b>\u00e9</b><b>2</b></r>'), flush=True)
try:
    velmora.parse('<r>')
except pyo3_runtime.PanicException as e:
    print('panic:', e, pickle.loads(pickle.dumps(e)).args, flush=True)
print(list(velmora_tools.iterparse(io.BytesIO(b'<r><i k="1">x</i><i>y</i></r>'), 2)), flush=True)
"""


@pytest.mark.skipif(shutil.which("cc") is None, reason="no C compiler")
def test_an_interpreter_started_after_another_was_finalised_gets_a_working_module(tmp_path):
    # An embedding program may finalise the interpreter and start a new one in the same process:
    # each must find a module that works, not the first interpreter's (gone with it).
    import os
    import sysconfig

    if not sysconfig.get_config_var("Py_ENABLE_SHARED"):
        pytest.skip("this interpreter has no shared libpython to embed")
    source = tmp_path / "embed.c"
    source.write_text(EMBEDDING_PROGRAM)
    libdir = sysconfig.get_config_var("LIBDIR")
    library = sysconfig.get_config_var("LDLIBRARY").removeprefix("lib").removesuffix(".so")
    program = tmp_path / "embed"
    subprocess.run(["cc", str(source), "-o", str(program), "-I" + sysconfig.get_paths()["include"],
                    "-L" + libdir, "-Wl,-rpath," + libdir, "-l" + library],
                   check=True, capture_output=True, text=True)
    import velmora_tools

    path = [os.path.dirname(velmora.__file__), os.path.dirname(os.path.dirname(velmora_tools.__file__))]
    env = {**os.environ, "PYTHONPATH": os.pathsep.join(path), "PYTHONHOME": sys.base_prefix}
    proc = subprocess.run([str(program), EMBEDDED_SCRIPT], capture_output=True, text=True, env=env, timeout=120)
    assert proc.returncode == 0, proc.stderr
    assert proc.stderr.count("panicked at") == 3, proc.stderr  # each round's malformed call reports
    import re

    parts = re.split(r"round (\d) rc (-?\d+)\n", proc.stdout)
    outputs, marks = parts[0:-1:3], list(zip(parts[1::3], parts[2::3]))
    assert marks == [("0", "0"), ("1", "0"), ("2", "0")], proc.stdout
    assert outputs[0] == outputs[1] == outputs[2], proc.stdout
    lines = outputs[0].splitlines()
    assert lines[0] == "{'r': {'a': [{'@x': '1', '#text': 't'}, {'@x': '2', '#text': 'u'}], 'b': ['\u00e9', '2']}}"
    assert lines[1].startswith("panic: ") and len(lines) == 3
    assert lines[2].startswith("[(((") and "'x'" in lines[2] and "'y'" in lines[2]
