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
