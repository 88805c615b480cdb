"""Failures that cross processes: a PanicException pickles by its qualified name and arrives in
another process as that process's own PanicException, with the same arguments."""
import concurrent.futures
import multiprocessing
import pickle
import sys

import pytest

import velmora
from quiet import stderr_discarded

MALFORMED = {"</a>": 'Error at position 2: EndEventMismatch { expected: "", found: "a" }',
             "<a>": 'called `Result::unwrap()` on an `Err` value: UnexpectedEof("</\\"a\\">")',
             "<a b=1/>": "called `Result::unwrap()` on an `Err` value: UnquotedValue(4)"}


def failure(text):
    with stderr_discarded():
        try:
            velmora.parse(text)
        except BaseException as exc:
            return exc
    raise AssertionError(f"{text!r} was accepted")


@pytest.mark.parametrize("text", MALFORMED)
@pytest.mark.parametrize("protocol", [0, 2, pickle.HIGHEST_PROTOCOL])
def test_round_trip_in_this_process_gives_the_same_type(text, protocol):
    exc = failure(text)
    again = pickle.loads(pickle.dumps(exc, protocol))
    assert type(again) is type(exc)
    assert again.args == exc.args == (MALFORMED[text],)


def test_home_module_hands_out_the_raised_type_and_nothing_else():
    import pyo3_runtime
    assert pyo3_runtime.PanicException is type(failure("</a>"))
    assert sys.modules["pyo3_runtime"] is pyo3_runtime
    with pytest.raises(AttributeError, match="module 'pyo3_runtime' has no attribute 'Other'"):
        pyo3_runtime.Other
    assert not hasattr(velmora, "PanicException")


# Each child loads the pickle of a failure made here; `setup` runs first.
@pytest.mark.parametrize("setup, expect_same_type", [
    ("", False),                                       # has not even imported velmora
    ("import velmora", False),                         # imported it, never failed
    ("import velmora\ntry:\n    velmora.parse('<x>')\nexcept BaseException as e:\n    own = type(e)", True),
], ids=["fresh", "imported", "has-failed"])
def test_a_failure_arrives_in_another_process(run_python, setup, expect_same_type):
    data = pickle.dumps(failure("<a>"))
    proc = run_python(f"""
import pickle, sys
{setup}
exc = pickle.loads(bytes.fromhex({data.hex()!r}))
import pyo3_runtime
print(type(exc).__module__, type(exc).__qualname__, type(exc).__mro__[1].__name__)
print(type(exc) is pyo3_runtime.PanicException, type(exc) is globals().get("own", type(exc)))
print(type(exc).__doc__.startswith("\\n"), len(type(exc).__doc__))
print(repr(exc.args))
""")
    assert proc.returncode == 0, proc.stderr
    lines = proc.stdout.splitlines()
    assert lines[0] == "pyo3_runtime PanicException BaseException"
    assert lines[1] == "True True"
    assert lines[2] == "True 235"
    assert lines[3] == repr((MALFORMED["<a>"],))


def convert(text):
    return velmora.parse(text)


def quiet_worker():
    import os
    os.dup2(os.open(os.devnull, os.O_WRONLY), 2)


@pytest.mark.parametrize("method", ["fork", "spawn"])
def test_process_pool_executor_reports_each_files_message(method):
    documents = ["<a>1</a>", "</a>", "<b/>", "<a b=1/>"]
    context = multiprocessing.get_context(method)
    with concurrent.futures.ProcessPoolExecutor(2, mp_context=context, initializer=quiet_worker) as pool:
        futures = [pool.submit(convert, d) for d in documents]
        outcomes = [f.exception() or f.result() for f in futures]
    assert outcomes[0] == {"a": "1"} and outcomes[2] == {"b": None}
    for text, outcome in zip(documents[1::2], outcomes[1::2]):
        assert type(outcome).__qualname__ == "PanicException"
        assert type(outcome) is type(failure(text))
        assert outcome.args == (MALFORMED[text],)


def convert_or_failure(text):
    try:
        return velmora.parse(text)
    except BaseException as exc:  # a Pool worker dies on a BaseException, so hand it back
        return exc


def test_multiprocessing_pool_carries_failures_back_as_values():
    documents = ["<a/>", "</a>", "<b>x</b>", "<a>"]
    with multiprocessing.get_context("spawn").Pool(2, initializer=quiet_worker) as pool:
        outcomes = pool.map(convert_or_failure, documents)
    assert outcomes[0::2] == [{"a": None}, {"b": "x"}]
    for text, outcome in zip(documents[1::2], outcomes[1::2]):
        assert type(outcome) is type(failure(text))
        assert outcome.args == (MALFORMED[text],)


def test_readme_process_pool_recipe_reports_the_malformed_file(tmp_path, run_python):
    import pathlib
    import re
    readme = (pathlib.Path(__file__).resolve().parents[2] / "README.md").read_text(encoding="utf-8")
    section = readme[readme.index("## Converting many files"):]
    recipe = re.search(r"```python\n(.*?)```", section, re.S).group(1)
    folder = tmp_path / "documents"
    folder.mkdir()
    (folder / "a.xml").write_text("<a><b>1</b></a>", encoding="utf-8")
    (folder / "b.xml").write_text("<a><b>1</a>", encoding="utf-8")
    (folder / "c.xml").write_text("<x/><y/>", encoding="utf-8")
    script = tmp_path / "recipe.py"
    script.write_text(recipe, encoding="utf-8")
    proc = run_python(f"import os, runpy; os.chdir({str(tmp_path)!r}); "
                      f"runpy.run_path({str(script)!r}, run_name='__main__')")
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.splitlines() == [
        "documents/a.xml: 1 top-level keys",
        'documents/b.xml: malformed: called `Result::unwrap()` on an `Err` value: '
        'EndEventMismatch { expected: "b", found: "a" }',
        "documents/c.xml: 2 top-level keys",
    ]
