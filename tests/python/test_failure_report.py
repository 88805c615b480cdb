"""The failure report on descriptor 2, seen from Python: each case runs in a fresh interpreter,
since the backtrace setting and the hint are once-per-process state."""
import os
import re
import signal
import subprocess
import sys
import textwrap

import pytest

import velmora

MESSAGE = 'Error at position 2: EndEventMismatch { expected: "", found: "a" }'
FIRST_LINE = re.compile(r"thread '<unnamed>' panicked at ((?:src|tests)/[\w/]+\.(?:cpp|h)):(\d+):(\d+):")
HINT = "note: run with `VELMORA_BACKTRACE=1` environment variable to display a backtrace"
OMITTED = ("note: Some details are omitted, run with `VELMORA_BACKTRACE=full` "
           "for a verbose backtrace.")
FRAME_LINE = re.compile(r" {0,3}(\d+): \S.*|      \S.*|             at \S+")
UNSET = object()


def module_path():
    dirs = [os.path.dirname(velmora.__file__)]
    try:
        import _velmora_test
        dirs.append(os.path.dirname(_velmora_test.__file__))
    except ImportError:
        pass
    return os.pathsep.join(dirs + [p for p in os.environ.get("PYTHONPATH", "").split(os.pathsep) if p])


def run(code, setting=UNSET):
    """Runs `code` in a new interpreter; VELMORA_BACKTRACE is unset or set to `setting`."""
    env = dict(os.environ, PYTHONPATH=module_path())
    env.pop("VELMORA_BACKTRACE", None)
    if setting is not UNSET:
        env["VELMORA_BACKTRACE"] = setting
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], env=env,
                          capture_output=True, text=True, timeout=120)


FAIL_TWICE = """
    import velmora
    for _ in range(2):
        try:
            velmora.parse('</a>')
        except BaseException as e:
            print(e.args[0])
"""


def split_reports(stderr):
    """The reports in `stderr`, each a list of lines starting with its first line."""
    reports = []
    for line in stderr.splitlines():
        if FIRST_LINE.fullmatch(line):
            reports.append([])
        assert reports, f"text before the first report: {line!r}"
        reports[-1].append(line)
    return reports


def check_backtrace(lines):
    """Checks the frame lines of a backtrace; returns the frames' text."""
    numbers = [int(m.group(1)) for m in map(FRAME_LINE.fullmatch, lines) if m and m.group(1)]
    assert all(FRAME_LINE.fullmatch(line) for line in lines), lines
    assert numbers == list(range(len(numbers))) and len(numbers) >= 3, lines
    return "\n".join(lines)


def test_first_report_has_the_hint_and_the_second_does_not():
    result = run(FAIL_TWICE)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == [MESSAGE, MESSAGE]
    first, second = split_reports(result.stderr)
    assert first[1:] == [MESSAGE, HINT]
    assert second[1:] == [MESSAGE]
    assert FIRST_LINE.fullmatch(first[0]).group(1) == "src/convert/walk.cpp"


@pytest.mark.parametrize("setting, style", [
    (UNSET, "off"), ("0", "off"), ("1", "short"), ("", "short"), ("yes", "short"),
    ("Full", "short"), ("full", "full"),
])
def test_backtrace_setting(setting, style):
    result = run(FAIL_TWICE, setting)
    assert result.returncode == 0, result.stderr
    reports = split_reports(result.stderr)
    assert len(reports) == 2
    for index, report in enumerate(reports):
        assert report[1] == MESSAGE
        if style == "off":
            assert report[2:] == ([HINT] if index == 0 else [])
            continue
        assert report[2] == "stack backtrace:"
        assert HINT not in report
        frames = report[3:-1] if style == "short" else report[3:]
        assert (report[-1] == OMITTED) == (style == "short")
        text = check_backtrace(frames)
        assert "PyEval" in text, "interpreter frames are named"
        if style == "short":
            # It starts at the statement that raised the failure: the machinery is left out.
            file, line, _ = FIRST_LINE.fullmatch(report[0]).groups()
            first_location = next(f for f in frames if f.startswith("             at "))
            assert first_location == f"             at {file}:{line}"
            assert "velmora::fail(" not in text and "write_stack" not in text
        else:
            assert text.index("velmora::fail(") < text.index(f"at {FIRST_LINE.fullmatch(report[0]).group(1)}")


@pytest.mark.parametrize("start, change, second_has_backtrace", [
    (UNSET, "os.environ['VELMORA_BACKTRACE'] = 'full'", False),
    ("1", "del os.environ['VELMORA_BACKTRACE']", True),
    ("full", "os.environ['VELMORA_BACKTRACE'] = '0'", True),
])
def test_setting_is_read_once_at_the_first_report(start, change, second_has_backtrace):
    result = run(f"""
        import os, velmora
        for attempt in range(2):
            if attempt == 1:
                {change}
            try:
                velmora.parse('</a>')
            except BaseException:
                pass
    """, start)
    first, second = split_reports(result.stderr)
    assert ("stack backtrace:" in second) == second_has_backtrace
    assert ("stack backtrace:" in first) == (start is not UNSET)


def test_setting_is_read_at_the_first_report_not_at_import():
    result = run("""
        import os, velmora
        os.environ['VELMORA_BACKTRACE'] = 'full'
        try:
            velmora.parse('</a>')
        except BaseException:
            pass
    """)
    (report,) = split_reports(result.stderr)
    assert report[2] == "stack backtrace:" and OMITTED not in report


def test_redirecting_sys_stderr_does_not_capture_the_report():
    result = run("""
        import contextlib, io, velmora
        captured = io.StringIO()
        with contextlib.redirect_stderr(captured):
            try:
                velmora.parse('</a>')
            except BaseException:
                pass
        print(repr(captured.getvalue()))
    """)
    assert result.stdout == "''\n"
    assert split_reports(result.stderr)[0][1:] == [MESSAGE, HINT]


def test_redirecting_descriptor_2_captures_the_report():
    result = run("""
        import os, sys, tempfile, velmora
        with tempfile.TemporaryFile() as f:
            saved = os.dup(2)
            os.dup2(f.fileno(), 2)
            try:
                velmora.parse('</a>')
            except BaseException:
                pass
            finally:
                os.dup2(saved, 2)
            f.seek(0)
            sys.stdout.write(f.read().decode())
    """)
    assert result.stderr == ""
    assert split_reports(result.stdout)[0][1:] == [MESSAGE, HINT]


def test_report_comes_before_the_interpreter_prints_the_exception():
    result = run("import velmora\nvelmora.parse('</a>')\n")
    assert result.returncode == 1
    lines = result.stderr.splitlines()
    assert FIRST_LINE.fullmatch(lines[0]) and lines[1:3] == [MESSAGE, HINT]
    assert lines[3] == "Traceback (most recent call last):"
    assert lines[-1] == f"pyo3_runtime.PanicException: {MESSAGE}"


@pytest.mark.parametrize("body", [
    "threading.current_thread().name = 'renamed-main'\nwork()",
    "t = threading.Thread(target=work, name='xml-worker')\nt.start()\nt.join()",
])
def test_every_thread_is_unnamed(body):
    result = run(textwrap.dedent("""
        import threading, velmora
        def work():
            try:
                velmora.parse('</a>')
            except BaseException:
                print(threading.current_thread().name)
    """) + body)
    assert result.stdout.strip() in ("renamed-main", "xml-worker")
    assert split_reports(result.stderr)[0][1:] == [MESSAGE, HINT]
    assert result.stdout.strip() not in result.stderr


needs_hooks = pytest.mark.skipif(
    subprocess.run([sys.executable, "-c", "import _velmora_test"], capture_output=True,
                   env=dict(os.environ, PYTHONPATH=module_path())).returncode != 0,
    reason="the test-only extension is not built")


@needs_hooks
def test_exhausted_memory_outside_every_call_writes_one_line_and_aborts():
    result = run("""
        import _velmora_test
        _velmora_test.allocate(1 << 20)
        print('small allocation done', flush=True)
        _velmora_test.allocate(1 << 62)
        print('not reached')
    """)
    assert result.returncode == -signal.SIGABRT
    assert result.stdout == "small allocation done\n"
    assert result.stderr == "memory allocation of 4611686018427387904 bytes failed\n"


@needs_hooks
def test_exhausted_memory_inside_a_call_fails_the_call_after_the_same_line():
    result = run("""
        import _velmora_test, velmora
        for size in (1 << 62, 1 << 40):
            try:
                _velmora_test.allocate_in_call(size)
            except BaseException as e:
                print(type(e).__name__, e.args, flush=True)
        print(_velmora_test.allocate_in_call(1 << 20), velmora.parse('<a>1</a>'))
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == [
        "PanicException ('memory allocation of 4611686018427387904 bytes failed',)",
        "PanicException ('memory allocation of 1099511627776 bytes failed',)",
        "None {'a': '1'}",
    ]
    assert result.stderr == ("memory allocation of 4611686018427387904 bytes failed\n"
                             "memory allocation of 1099511627776 bytes failed\n")


@needs_hooks
@pytest.mark.parametrize("setting", [UNSET, "1"])
def test_failure_escaping_the_frame_reports_twice_and_aborts(setting):
    result = run("""
        import _velmora_test
        _velmora_test.escape_through_panic_trap('escaping')
        print('not reached')
    """, setting)
    assert result.returncode == -signal.SIGABRT
    assert result.stdout == ""
    escaping, trapped, cleanup = split_reports(result.stderr)
    assert escaping[1] == "escaping"
    # The trap's failure comes while the first is in flight: always a full backtrace.
    assert trapped[1:3] == ["uncaught panic at ffi boundary", "stack backtrace:"]
    check_backtrace(trapped[3:])
    assert cleanup[1:] == ["panic in a destructor during cleanup",
                           "thread caused non-unwinding panic. aborting."]
    assert trapped[0] == cleanup[0]
