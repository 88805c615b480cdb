"""The `velmora` command, run as a separate process like a user would."""
import errno
import fcntl
import io
import json
import os
import pathlib
import pty
import signal
import struct
import subprocess
import sys
import termios

import pytest

import velmora
import velmora_tools
from velmora_tools import PanicException, cli, parse_file

ROOT = pathlib.Path(__file__).resolve().parents[2]
NO_ORJSON = "import sys; sys.modules['orjson'] = None; from velmora_tools.cli import main; sys.exit(main())"


def command(*args, without_orjson=False):
    head = ["-c", NO_ORJSON] if without_orjson else ["-m", "velmora_tools"]
    return [sys.executable, *head, *map(str, args)]


def child_env():
    paths = [str(ROOT / "python"), os.path.dirname(velmora.__file__)]
    return dict(os.environ, PYTHONPATH=os.pathsep.join(paths))


def run_cli(*args, stdin=b"", without_orjson=False, cwd=None, **streams):
    streams = streams or {"capture_output": True}
    return subprocess.run(command(*args, without_orjson=without_orjson), input=stdin, env=child_env(),
                          timeout=120, cwd=cwd, **streams)


def panic_message(xml):
    with pytest.raises(PanicException) as info:
        velmora.parse(xml)
    return info.value.args[0]


def lines(proc):
    return [json.loads(line) for line in proc.stdout.decode("utf-8").splitlines()]


DOCUMENTS = [
    '<root a="1"><x>1</x><x>2</x><y/><z k="v">t</z></root>',
    "<p:doc xmlns:p='urn:x'><p:t>caf\u00e9 \u6771\u4eac &#x1F600; &lt;&amp;&gt; \"q\" \\ \t</p:t></p:doc>",
    "<?xml version='1.0'?><!-- c --><a><b/><b/><c></c></a>",
    "",
    "grant { permission java.security.AllPermission; };",  # not XML: text outside elements
]


@pytest.mark.parametrize("xml", DOCUMENTS)
@pytest.mark.parametrize("how", ["file", "dash", "no-arg", "no-orjson"])
def test_one_input_is_one_compact_json_document(xml, how, tmp_path):
    path = tmp_path / "doc.xml"
    path.write_text(xml, encoding="utf-8")
    args = {"file": [path], "dash": ["-"], "no-arg": [], "no-orjson": [path]}[how]
    proc = run_cli(*args, stdin=xml.encode(), without_orjson=how == "no-orjson")
    assert (proc.returncode, proc.stderr) == (0, b"")
    expected = json.dumps(velmora.parse(xml), ensure_ascii=False, separators=(",", ":")) + "\n"
    assert proc.stdout.decode("utf-8") == expected


LAYOUT = '<a k="\u00e9\\&quot;"><b>\u00e9</b><b/><c></c><d x="1"/><e><f>1</f></e></a><z/>'


@pytest.mark.parametrize("without_orjson", [False, True], ids=["orjson", "json"])
@pytest.mark.parametrize("indent", ["0", "2", "4"])
def test_indent_is_that_of_json_dumps(indent, without_orjson):
    proc = run_cli("--indent", indent, stdin=LAYOUT.encode(), without_orjson=without_orjson)
    expected = json.dumps(velmora.parse(LAYOUT), indent=int(indent), ensure_ascii=False) + "\n"
    assert proc.returncode == 0
    assert proc.stdout.decode("utf-8") == expected


@pytest.mark.parametrize("jsonl", [False, True], ids=["document", "jsonl"])
def test_nesting_deeper_than_any_json_library_goes(jsonl, tmp_path):
    depth = 5 * sys.getrecursionlimit()
    path = tmp_path / "deep.xml"
    path.write_text("<n>" * depth + "leaf" + "</n>" * depth, encoding="utf-8")
    proc = run_cli(path, *(["--jsonl"] if jsonl else []))
    assert proc.returncode == 0, proc.stderr[-500:]
    tree = '{"n":' * depth + '"leaf"' + "}" * depth
    expected = '{"path":%s,"result":%s}\n' % (json.dumps(str(path)), tree) if jsonl else tree + "\n"
    assert proc.stdout.decode() == expected


@pytest.mark.parametrize("name, data", [
    ("latin1", '<?xml version="1.0" encoding="ISO-8859-1"?><a>caf\u00e9</a>'.encode("latin-1")),
    ("utf16", '\ufeff<?xml version="1.0" encoding="UTF-16"?><a>\u6771</a>'.encode("utf-16-le")),
    ("utf16-no-bom", '<?xml version="1.0" encoding="UTF-16"?><a>\u6771</a>'.encode("utf-16-be")),
])
def test_files_in_any_encoding_convert(name, data, tmp_path):
    path = tmp_path / f"{name}.xml"
    path.write_bytes(data)
    proc = run_cli(path)
    assert proc.returncode == 0, proc.stderr
    assert json.loads(proc.stdout) == parse_file(path)


@pytest.fixture
def tree(tmp_path):
    """A folder with good files at two levels, a malformed one, a non-XML name and a file named later."""
    (tmp_path / "in" / "sub").mkdir(parents=True)
    files = {
        "in/b.xml": "<b>2</b>", "in/a.xml": "<a>1</a>", "in/sub/c.xml": "<c/>", "in/sub/bad.xml": "<x></y>",
        "in/notes.txt": "<t>text</t>", "in/sub/d.XML": "<d/>", "extra.xml": "<e k='v'/>",
    }
    for name, text in files.items():
        (tmp_path / name).write_text(text, encoding="utf-8")
    return tmp_path


@pytest.mark.parametrize("jobs", ["1", "2"])
def test_folders_give_json_lines_in_sorted_order(tree, jobs, capfd):
    proc = run_cli("in", "extra.xml", "--jobs", jobs, cwd=tree)
    records = lines(proc)
    assert [r["path"] for r in records] == ["in/a.xml", "in/b.xml", "in/sub/bad.xml", "in/sub/c.xml", "extra.xml"]
    for record in records:
        if "result" in record:
            assert set(record) == {"path", "result"}
            assert record["result"] == parse_file(tree / record["path"])
    assert records[2] == {"path": "in/sub/bad.xml", "error": panic_message("<x></y>")}
    assert proc.returncode == 1
    assert proc.stderr.decode() == f"velmora: in/sub/bad.xml: {panic_message('<x></y>')}\n"


def test_glob_patterns_choose_the_files_in_folders(tree):
    proc = run_cli("in", "--glob", "*.txt", "--glob", "*.XML", "--glob", "[ab].xml", cwd=tree)
    assert [r["path"] for r in lines(proc)] == ["in/a.xml", "in/b.xml", "in/notes.txt", "in/sub/d.XML"]
    assert proc.returncode == 0


@pytest.mark.parametrize("args, paths", [
    (["--jsonl", "extra.xml"], ["extra.xml"]),  # one file, as JSON Lines
    (["in/sub"], ["in/sub/bad.xml", "in/sub/c.xml"]),  # a folder is always JSON Lines
    (["extra.xml", "extra.xml"], ["extra.xml", "extra.xml"]),
])
def test_json_lines_whenever_asked_or_more_than_one_input_is_possible(tree, args, paths, capfd):
    assert [r["path"] for r in lines(run_cli(*args, cwd=tree))] == paths


def test_empty_folder_writes_nothing(tmp_path):
    proc = run_cli(tmp_path)
    assert (proc.returncode, proc.stdout, proc.stderr) == (0, b"", b"")


@pytest.mark.parametrize("xml", ["<a></b>", "</a>", "<a", '<a x="1" x="2"/>', "<a>&bogus;</a>"])
@pytest.mark.parametrize("verbose", [False, True])
def test_malformed_input_exits_1_with_one_line_unless_verbose(xml, verbose):
    proc = run_cli(*(["--verbose"] if verbose else []), stdin=xml.encode())
    err = proc.stderr.decode("utf-8")
    assert (proc.returncode, proc.stdout) == (1, b"")
    assert err.endswith(f"velmora: standard input: {panic_message(xml)}\n")
    assert ("panicked at" in err) == verbose
    assert err.count("\n") == (4 if verbose else 1)  # the module's report is three lines


@pytest.mark.parametrize("make, reason", [
    (lambda tmp: tmp / "missing.xml", "No such file or directory"),
    (lambda tmp: (tmp / "l.xml", (tmp / "l.xml").write_bytes(b"<a>\xe9</a>"))[0],
     "'utf-8' codec can't decode byte 0xe9 in position 3: invalid continuation byte"),
    (lambda tmp: (tmp / "u.xml", (tmp / "u.xml").write_bytes(b"<?xml version='1.0' encoding='klingon'?><a/>"))[0],
     "unknown encoding 'klingon' in the XML declaration"),
], ids=["missing", "not-utf8", "unknown-encoding"])
def test_unreadable_input_exits_2_with_one_line(make, reason, tmp_path):
    path = make(tmp_path)
    proc = run_cli(path)
    assert (proc.returncode, proc.stdout) == (2, b"")
    assert proc.stderr.decode() == f"velmora: cannot read {path}: {reason}\n"
    proc = run_cli(path, "--jsonl")
    assert lines(proc) == [{"path": str(path), "error": f"cannot read: {reason}"}]


def test_unreadable_wins_over_malformed_and_the_batch_goes_on(tree):
    proc = run_cli("in/sub/bad.xml", "missing.xml", "in/a.xml", "--jobs", "2", cwd=tree)
    assert proc.returncode == 2
    assert [list(r)[1] for r in lines(proc)] == ["error", "error", "result"]
    assert proc.stderr.decode().splitlines() == [
        f"velmora: in/sub/bad.xml: {panic_message('<x></y>')}",
        "velmora: cannot read missing.xml: No such file or directory",
    ]


@pytest.mark.parametrize("args, message", [
    (["--indent", "x"], "argument --indent: indent must be a whole number, 0 or more, not 'x'"),
    (["--indent", "-1"], "argument --indent: indent must be a whole number, 0 or more, not '-1'"),
    (["--jobs", "0"], "argument -j/--jobs: jobs must be a whole number, 1 or more, not '0'"),
    (["--indent", "2", "a.xml", "b.xml"], "--indent applies to one JSON document"),
    (["--indent", "2", "--jsonl", "a.xml"], "--indent applies to one JSON document"),
    (["-", "a.xml"], "standard input ('-') cannot be combined with other inputs"),
    (["--bogus"], "unrecognized arguments: --bogus"),
])
def test_usage_errors_exit_2_with_a_clear_message(args, message):
    proc = run_cli(*args)
    assert proc.returncode == 2 and proc.stdout == b""
    assert message in proc.stderr.decode()


def test_version_and_help():
    proc = run_cli("--version")
    assert (proc.returncode, proc.stdout.decode()) == (0, f"velmora {velmora_tools.__version__}\n")
    help_text = run_cli("--help").stdout.decode()
    for words in ["--jobs", "--glob", "--jsonl", "--indent", "--verbose", "an empty file", "exit status",
                  "0    every input converted", "141", "no space left on device"]:
        assert words in help_text


def test_full_disk_is_one_line_and_status_3(tmp_path):
    path = tmp_path / "doc.xml"
    path.write_text("<a>" + "x" * 100_000 + "</a>", encoding="utf-8")
    for args in ([path], [path, path]):
        with open("/dev/full", "wb") as full:
            proc = run_cli(*args, stdout=full, stderr=subprocess.PIPE)
        assert proc.returncode == 3
        assert proc.stderr.decode() == f"velmora: cannot write output: {os.strerror(errno.ENOSPC)}\n"


@pytest.mark.parametrize("many", [False, True], ids=["one-document", "json-lines"])
def test_closed_pipe_ends_quietly_with_status_141(many, tmp_path):
    if many:
        for i in range(300):
            (tmp_path / f"{i:03}.xml").write_text(f"<r><v>{i}</v>{'<x>y</x>' * 2000}</r>", encoding="utf-8")
        args = [tmp_path, "--jobs", "2"]
    else:
        (tmp_path / "big.xml").write_text("<r>" + "<x>y</x>" * 500_000 + "</r>", encoding="utf-8")
        args = [tmp_path / "big.xml"]
    spools = set(pathlib.Path("/dev/shm").glob("velmora-*"))
    proc = subprocess.Popen(command(*args), stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=child_env())
    proc.stdout.read(10)
    proc.stdout.close()  # as `| head -c 10` does
    assert proc.wait(timeout=60) == 141
    assert proc.stderr.read() == b""
    assert set(pathlib.Path("/dev/shm").glob("velmora-*")) <= spools  # the workers' chunk files are gone


def run_with_terminal_stderr(args, columns, timeout):
    """Runs the command with standard error on a new terminal `columns` wide; answers the finished
    process (standard output captured) and everything written to the terminal."""
    leader, follower = pty.openpty()
    fcntl.ioctl(follower, termios.TIOCSWINSZ, struct.pack("HHHH", 24, columns, 0, 0))  # a new pty has no size
    try:
        proc = subprocess.run(args, stdout=subprocess.PIPE, stderr=follower, env=child_env(), timeout=timeout)
        os.close(follower)
        seen = b""
        while True:
            try:
                chunk = os.read(leader, 4096)
            except OSError:  # EIO: the terminal's other side is closed
                break
            if not chunk:
                break
            seen += chunk
    finally:
        os.close(leader)
    return proc, seen


@pytest.mark.parametrize("count, bar", [(2, True), (1, False)])
def test_progress_bar_on_a_terminal_for_several_inputs(count, bar, tmp_path):
    pytest.importorskip("tqdm")
    paths = []
    for i in range(count):
        paths.append(tmp_path / f"{i}.xml")
        paths[-1].write_text("<a/>", encoding="utf-8")
    proc, seen = run_with_terminal_stderr(command(*paths, "--jobs", "1"), columns=80, timeout=60)
    assert proc.returncode == 0
    assert (f"{count}/{count}".encode() in seen and b"file" in seen) == bar
    assert bar or seen == b""
    assert len(proc.stdout.splitlines()) == count


@pytest.mark.parametrize("refused", ["in", "in/sub"])
def test_a_folder_that_cannot_be_listed_is_an_unreadable_input(tree, refused, monkeypatch):
    listing = os.scandir

    def scandir(path="."):
        if os.fspath(path) == refused:
            raise PermissionError(errno.EACCES, os.strerror(errno.EACCES), path)
        return listing(path)

    monkeypatch.chdir(tree)
    monkeypatch.setattr(os, "scandir", scandir)
    found = cli.find_inputs(["in", "extra.xml"], ["*.xml"])
    denied = cli.Unreadable(refused, os.strerror(errno.EACCES))
    expected = [denied] if refused == "in" else ["in/a.xml", "in/b.xml", denied]
    assert found == expected + ["extra.xml"]


@pytest.mark.parametrize("mode", ["wb", "ab"], ids=["new-file", "appended"])
def test_json_lines_from_workers_reach_a_file_in_order(mode, tmp_path):
    folder = tmp_path / "in"
    folder.mkdir()
    for i in range(120):
        (folder / f"{i:03}.xml").write_text(f"<r><v>{i}</v>{'<x>y</x>' * (i % 7) * 50}</r>", encoding="utf-8")
    target = tmp_path / "out.jsonl"
    target.write_bytes(b"before\n")
    with open(target, mode) as out:  # appending: the kernel copy refuses O_APPEND, the plain one runs
        proc = run_cli(folder, "--jobs", "2", stdout=out, stderr=subprocess.PIPE)
    assert (proc.returncode, proc.stderr) == (0, b"")
    text = target.read_bytes()
    if mode == "ab":
        assert text.startswith(b"before\n")
        text = text[len(b"before\n"):]
    records = [json.loads(line) for line in text.splitlines()]
    assert [r["path"] for r in records] == [str(folder / f"{i:03}.xml") for i in range(120)]
    assert all(r["result"] == parse_file(r["path"]) for r in records)


@pytest.mark.parametrize("jobs", ["1", "2"])
def test_interrupt_ends_with_status_130_and_no_traceback(jobs, tmp_path):
    for i in range(400):
        (tmp_path / f"{i:03}.xml").write_text("<r>" + "<x>y</x>" * 4000 + "</r>", encoding="utf-8")
    args = [tmp_path] * 10
    proc = subprocess.Popen(command(*args, "--jobs", jobs), stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            env=child_env(), preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))
    assert proc.stdout.read(100)  # converting by now; from here on the pipe fills up
    proc.send_signal(signal.SIGINT)
    assert proc.wait(timeout=60) == 130
    assert b"Traceback" not in proc.stderr.read()
    proc.stdout.close()


STREAMED = '<?xml version="1.0"?><feed id="f"><e n="1"><t>caf\u00e9</t></e><e/><x>2</x></feed>'


@pytest.mark.parametrize("depth", [1, 2, 3])
@pytest.mark.parametrize("how", ["file", "stdin"])
def test_item_depth_writes_one_json_line_per_item(depth, how, tmp_path):
    path = tmp_path / "feed.xml"
    path.write_bytes(STREAMED.encode("utf-16"))
    proc = run_cli("--item-depth", depth, path) if how == "file" else \
        run_cli("--item-depth", depth, stdin=path.read_bytes())
    assert proc.returncode == 0 and proc.stderr == b""
    expected = [{"path": [list(step) for step in p], "item": item}
                for p, item in velmora_tools.iterparse([STREAMED.encode()], depth)]
    assert lines(proc) == expected and expected


def test_item_depth_on_malformed_input_keeps_the_items_before_and_exits_1(tmp_path):
    path = tmp_path / "bad.xml"
    path.write_text("<r><i>1</i><i>2</j></r>", encoding="utf-8")
    proc = run_cli("--item-depth", 2, path)
    assert proc.returncode == 1
    assert lines(proc) == [{"path": [["r", None], ["i", None]], "item": "1"}]
    assert proc.stderr.decode() == (f"velmora: {path}: called `Result::unwrap()` on an `Err` value: "
                                    'EndEventMismatch { expected: "i", found: "j" } (in the item at byte offset 11)\n')
    missing = run_cli("--item-depth", 2, tmp_path / "missing.xml")
    assert missing.returncode == 2 and missing.stderr.decode().startswith("velmora: cannot read ")


@pytest.mark.parametrize("args, message", [
    (["--item-depth", "0", "a.xml"], "item depth must be a whole number, 1 or more, not '0'"),
    (["--item-depth", "2", "a.xml", "b.xml"], "--item-depth streams one input file"),
    (["--item-depth", "2", "--indent", "2", "a.xml"], "--item-depth writes JSON Lines"),
])
def test_item_depth_usage_errors(args, message):
    proc = run_cli(*args)
    assert proc.returncode == 2 and message in proc.stderr.decode()


def test_item_depth_progress_bar_counts_bytes_read(tmp_path):
    pytest.importorskip("tqdm")
    path = tmp_path / "big.xml"
    path.write_bytes(b"<r>" + b"<i>x</i>" * 300000 + b"</r>")
    proc, seen = run_with_terminal_stderr(command("--item-depth", 2, path), columns=120, timeout=120)
    assert proc.returncode == 0 and len(proc.stdout.splitlines()) == 300000
    assert b"2.29M/2.29M" in seen and b"B/s" in seen  # 2,400,007 bytes, in units of 1024


def test_a_killed_worker_is_one_line_and_status_4_and_the_output_a_prefix(tmp_path):
    for i in range(400):
        (tmp_path / f"{i:03}.xml").write_text(f"<r><v>{i}</v>{'<x>y</x>' * 4000}</r>", encoding="utf-8")
    proc = subprocess.Popen(command(*[tmp_path] * 5, "--jobs", "2"), stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, env=child_env())
    head = proc.stdout.read(100)  # converting by now; the full pipe holds the workers back
    with open(f"/proc/{proc.pid}/task/{proc.pid}/children") as children:
        worker = int(children.read().split()[0])
    os.kill(worker, signal.SIGKILL)
    text = head + proc.stdout.read()
    assert proc.wait(timeout=60) == 4
    assert proc.stderr.read().decode() == (
        "velmora: a worker process was killed by SIGKILL; the output is cut short at the files it held\n")
    # A worker killed while writing leaves its last line cut.
    records = [json.loads(line) for line in text.splitlines(keepends=True) if line.endswith(b"\n")]
    expected = [str(tmp_path / f"{i:03}.xml") for i in range(400)] * 5
    assert [r["path"] for r in records] == expected[:len(records)] and len(records) < len(expected)
