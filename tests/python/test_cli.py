"""The `velmora` command-line converter, run as a separate process like a user would."""
import json
import os
import pathlib
import subprocess
import sys

import pytest

import velmora

ROOT = pathlib.Path(__file__).resolve().parents[2]


def run_cli(*args, stdin=b""):
    paths = [str(ROOT / "python"), os.path.dirname(velmora.__file__)]
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(paths))
    return subprocess.run(
        [sys.executable, "-m", "velmora_cli", *args], input=stdin, capture_output=True, env=env, timeout=300
    )


def panic_message(xml):
    try:
        velmora.parse(xml)
    except BaseException as exc:  # PanicException derives from BaseException
        assert type(exc).__name__ == "PanicException"
        return exc.args[0]
    raise AssertionError(f"{xml!r} was accepted")


DOCUMENTS = [
    '<root a="1"><x>1</x><x>2</x><y/><z k="v">t</z></root>',
    "<p:doc xmlns:p='urn:x'><p:t>caf\u00e9 \u6771\u4eac &#x1F600; &lt;&amp;&gt;</p:t></p:doc>",
    "<?xml version='1.0'?><!-- c --><a><b/><b/></a>",
    "",
]


@pytest.mark.parametrize("xml", DOCUMENTS)
@pytest.mark.parametrize("how", ["file", "dash", "no-arg"])
def test_prints_the_parse_result_as_json(xml, how, tmp_path):
    path = tmp_path / "doc.xml"
    path.write_text(xml, encoding="utf-8")
    args = {"file": [str(path)], "dash": ["-"], "no-arg": []}[how]
    proc = run_cli(*args, stdin=b"" if how == "file" else xml.encode())
    assert proc.returncode == 0, proc.stderr
    assert json.loads(proc.stdout.decode("utf-8")) == velmora.parse(xml)
    assert proc.stderr == b""


LAYOUT = '<a k="\u00e9\\&quot;"><b>\u00e9</b><b/><c></c><d x="1"/><e><f>1</f></e></a><z/>'


@pytest.mark.parametrize("indent", [None, "0", "4"])
def test_output_layout_is_that_of_json_dumps(indent):
    proc = run_cli(*(["--indent", indent] if indent else []), stdin=LAYOUT.encode())
    expected = json.dumps(velmora.parse(LAYOUT), indent=int(indent or 2), ensure_ascii=False) + "\n"
    assert proc.returncode == 0
    # Non-ASCII stays as UTF-8 text rather than \u escapes.
    assert proc.stdout.decode("utf-8") == expected


def test_nesting_deeper_than_the_recursion_limit():
    depth = 5 * sys.getrecursionlimit()
    proc = run_cli("--indent", "0", stdin=("<n>" * depth + "leaf" + "</n>" * depth).encode())
    assert proc.returncode == 0, proc.stderr[-500:]
    assert proc.stdout.decode().replace("\n", "") == '{"n": ' * depth + '"leaf"' + "}" * depth


@pytest.mark.parametrize("xml", ["<a></b>", "</a>", "<a", "<a>", '<a x="1" x="2"/>', "<a>&bogus;</a>"])
def test_malformed_input_exits_1_with_the_failure_message(xml):
    proc = run_cli(stdin=xml.encode())
    err = proc.stderr.decode("utf-8")
    assert proc.returncode == 1
    assert proc.stdout == b""
    assert f"velmora: {panic_message(xml)}\n" in err
    assert "Traceback" not in err


@pytest.mark.parametrize(
    "make_path, reason",
    [
        (lambda tmp: tmp / "missing.xml", "No such file or directory"),
        (lambda tmp: tmp, "Is a directory"),
        (lambda tmp: (tmp / "latin1.xml", (tmp / "latin1.xml").write_bytes(b"<a>\xe9</a>"))[0], "not UTF-8"),
    ],
    ids=["missing", "directory", "not-utf8"],
)
def test_unreadable_input_exits_2_with_one_line(make_path, reason, tmp_path):
    path = make_path(tmp_path)
    proc = run_cli(str(path))
    err = proc.stderr.decode("utf-8")
    assert proc.returncode == 2
    assert err.startswith(f"velmora: cannot read {path}: ") and reason in err
    assert err.count("\n") == 1
