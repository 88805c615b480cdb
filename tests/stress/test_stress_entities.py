"""Entity attacks: nothing is ever expanded beyond the five predefined entities, nothing is
fetched or opened, and memory stays flat."""
import os
import shutil
import subprocess
import sys
import textwrap
import time
import tracemalloc

import pytest

import velmora
from scaling import outcome, stderr_discarded

UNWRAP = "called `Result::unwrap()` on an `Err` value: "


def laughs(levels, use):
    decls = '<!ENTITY lol0 "lol">' + "".join(
        f'<!ENTITY lol{i} "{f"&lol{i - 1};" * 10}">' for i in range(1, levels))
    return f'<?xml version="1.0"?><!DOCTYPE lolz [{decls}]><lolz a="{use}">{use}</lolz>'


@pytest.mark.parametrize("doc, expected", [
    # 10^9 "lol" if expanded; here only an unknown name
    (laughs(10, "&lol9;"), ("panic", UNWRAP + 'EscapeError(UnrecognizedSymbol(1..5, "lol9"))')),
    (laughs(10, "ok"), ("ok", {"lolz": {"@a": "ok", "#text": "ok"}})),
    # the quadratic-blowup variant: one large entity referenced many times
    ('<!DOCTYPE r [<!ENTITY big "' + "x" * 100_000 + '">]><r>' + "&big;" * 100_000 + "</r>",
     ("panic", UNWRAP + 'EscapeError(UnrecognizedSymbol(1..4, "big"))')),
])
def test_entity_expansion_attacks_stay_flat(doc, expected):
    tracemalloc.start()
    try:
        start = time.perf_counter()
        got = outcome(doc)
        seconds = time.perf_counter() - start
        peak = tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
    assert got == expected
    print(f"{len(doc)} bytes: {seconds * 1000:.2f} ms, peak traced memory {peak} bytes", flush=True)
    assert peak < 4 * len(doc) + 64 * 1024
    assert seconds < 1.0


EXTERNAL = [
    ('<!DOCTYPE x [<!ENTITY ext SYSTEM "file:///etc/passwd">]><x>&ext;</x>',
     UNWRAP + 'EscapeError(UnrecognizedSymbol(1..4, "ext"))'),
    ('<!DOCTYPE x [<!ENTITY ext SYSTEM "http://127.0.0.1:9/e">]><x a="&ext;"/>',
     UNWRAP + 'EscapeError(UnrecognizedSymbol(1..4, "ext"))'),
    ('<!DOCTYPE x [<!ENTITY % p SYSTEM "http://127.0.0.1:9/p.dtd"> %p;]><x>&fromp;</x>',
     UNWRAP + 'EscapeError(UnrecognizedSymbol(1..6, "fromp"))'),
    ('<!DOCTYPE x PUBLIC "-//X//DTD//EN" "http://127.0.0.1:9/x.dtd"><x>&undefined;</x>',
     UNWRAP + 'EscapeError(UnrecognizedSymbol(1..10, "undefined"))'),
    ('<!DOCTYPE x SYSTEM "/etc/passwd"><x>ok</x>', {"x": "ok"}),
    ('<?xml-stylesheet href="file:///etc/passwd"?><x>&#x26;ext;</x>', {"x": "&ext;"}),
]

OPEN_OR_CONNECT = {"open", "os.open", "socket.connect", "socket.__new__", "socket.getaddrinfo",
                   "urllib.Request", "subprocess.Popen", "os.system", "os.exec"}


def test_external_entities_are_rejected_without_opening_anything():
    events = []
    watching = False

    def hook(event, args):
        if watching and event in OPEN_OR_CONNECT:
            events.append((event, args))

    sys.addaudithook(hook)  # cannot be removed; it only records while `watching`
    got = []
    with stderr_discarded():
        for doc, _ in EXTERNAL:
            watching = True
            try:
                got.append(velmora.parse(doc))
            except BaseException as e:
                got.append(e.args[0])
            finally:
                watching = False
    assert got == [expected for _, expected in EXTERNAL]
    assert events == []


STRACED = """
import os, velmora, sys, json
docs = json.loads(sys.argv[1])
def marker(name):  # a failing open that shows in the trace
    try:
        os.open("/nonexistent/velmora-" + name, os.O_RDONLY)
    except OSError:
        pass
marker("begin")
for doc in docs:
    try:
        velmora.parse(doc)
    except BaseException:
        pass
marker("end")
"""


@pytest.mark.skipif(shutil.which("strace") is None, reason="strace is not installed")
def test_external_entities_make_no_system_call_that_opens_or_connects(tmp_path):
    import json

    log = tmp_path / "trace"
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    env.pop("VELMORA_BACKTRACE", None)
    proc = subprocess.run(
        ["strace", "-f", "-qq", "-o", str(log), "-e", "trace=open,openat,openat2,connect,socket,execve",
         sys.executable, "-c", textwrap.dedent(STRACED), json.dumps([doc for doc, _ in EXTERNAL])],
        env=env, capture_output=True, text=True, timeout=120)
    if proc.returncode != 0 and "ptrace" in proc.stderr:
        pytest.skip("strace cannot trace here: " + proc.stderr.strip()[:200])
    assert proc.returncode == 0, proc.stderr[-2000:]
    lines = log.read_text().splitlines()
    begin = next(i for i, line in enumerate(lines) if "velmora-begin" in line)
    end = next(i for i, line in enumerate(lines) if "velmora-end" in line)
    assert lines[begin + 1:end] == []
