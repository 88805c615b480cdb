"""Exhausted memory inside a conversion, under an address-space limit in a child process: the
module's own allocation failing (the open-element stack of a 20,000,000-deep document) fails
the call with a PanicException after one line on standard error; CPython's allocations
failing fail it too, with a readable report. Either way nothing is left allocated and the next
call works."""
import os
import re
import subprocess
import sys
import textwrap

import pytest

PRELUDE = r"""
import ctypes, gc, resource, sys, velmora

class MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in (
        "arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks",
        "fordblks", "keepcost")]

libc = ctypes.CDLL(None)
libc.mallinfo2.restype = MallInfo2

def in_use():
    # Python's blocks, and the bytes malloc hands out (small chunks and mapped ones).
    gc.collect()
    info = libc.mallinfo2()
    return sys.getallocatedblocks(), info.uordblks + info.hblkhd

def limited(extra_bytes, doc):
    # The limit applies to this process's address space: what it has mapped, plus extra_bytes.
    with open("/proc/self/status") as f:
        size = next(int(line.split()[1]) * 1024 for line in f if line.startswith("VmSize:"))
    resource.setrlimit(resource.RLIMIT_AS, (size + extra_bytes, resource.RLIM_INFINITY))
    try:
        return "returned", velmora.parse(doc)
    except BaseException as e:
        return "raised", e
    finally:
        resource.setrlimit(resource.RLIMIT_AS, (resource.RLIM_INFINITY, resource.RLIM_INFINITY))

velmora.parse("<a/>")
import pyo3_runtime
pyo3_runtime.PanicException  # the type is made before counting
"""

MODULE_ALLOCATION = PRELUDE + r"""
doc = "<a>" * 20_000_000 + "</a>" * 20_000_000
before = in_use()
for _ in range(2):
    kind, value = limited(2 << 30, doc)
    print(kind, type(value).__name__, value.args if kind == "raised" else "", flush=True)
    del value
after = in_use()
print("blocks", after[0] - before[0], "bytes", after[1] - before[1])
print("next", velmora.parse("<a>1</a>"))
"""


def run(code):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    env.pop("VELMORA_BACKTRACE", None)
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], env=env,
                          capture_output=True, text=True, timeout=300)


def test_the_modules_own_allocation_failing_fails_the_call():
    proc = run(MODULE_ALLOCATION)
    assert proc.returncode == 0, proc.stderr[-3000:]
    lines = proc.stdout.splitlines()
    messages = [re.fullmatch(r"raised PanicException \('(memory allocation of (\d+) bytes failed)',\)", line)
                for line in lines[:2]]
    assert all(messages), lines
    # The same line, line feed and all, is the whole report of each failure.
    assert proc.stderr == "".join(m.group(1) + "\n" for m in messages)
    assert int(messages[0].group(2)) > 1 << 28
    blocks, nbytes = lines[2].split()[1::2]
    assert abs(int(blocks)) < 100 and abs(int(nbytes)) < 1 << 20, lines[2]
    assert lines[3] == "next {'a': '1'}"


PYTHON_ALLOCATION = PRELUDE + r"""
doc = "<r>" + "".join(f"<i>{i}</i>" for i in range(3_000_000)) + "</r>"
before = in_use()
kinds = set()
for budget in range(40, 400, 10):
    kind, value = limited(budget << 20, doc)
    if kind == "raised":
        assert type(value).__name__ == "PanicException", repr(value)
        kinds.add(value.args[0])
    else:
        assert len(value["r"]["i"]) == 3_000_000
        kinds.add("returned")
    del value
after = in_use()
for kind in sorted(kinds):
    print("outcome", kind)
print("blocks", after[0] - before[0], "bytes", after[1] - before[1])
print("next", velmora.parse("<a>1</a>"))
"""

API_FAILED = "Python API call failed"
PRINTED_MEMORY_ERROR = ("called `Result::unwrap()` on an `Err` value: PyErr { type: <class 'MemoryError'>,"
                        " value: MemoryError(), traceback: None }")


def test_cpythons_allocations_failing_fail_the_call_with_a_readable_report():
    # Budgets from too little to enough: each fails in whichever step first finds no memory.
    proc = run(PYTHON_ALLOCATION)
    assert proc.returncode == 0, proc.stderr[-3000:]
    lines = proc.stdout.splitlines()
    outcomes = {line[len("outcome "):] for line in lines if line.startswith("outcome ")}
    assert outcomes <= {API_FAILED, PRINTED_MEMORY_ERROR, "returned"}, outcomes
    assert API_FAILED in outcomes and "returned" in outcomes, outcomes
    blocks, nbytes = lines[-2].split()[1::2]
    assert abs(int(blocks)) < 100 and abs(int(nbytes)) < 1 << 20, lines[-2]
    assert lines[-1] == "next {'a': '1'}"
    # The report: the module's own lines and one plain "MemoryError" where an object could not be
    # made; never the interpreter's dump of an exception object it could not print.
    report = re.compile(r"MemoryError|thread '<unnamed>' panicked at src/[a-z_/]+\.cpp:\d+:\d+:|"
                        + re.escape(API_FAILED) + "|" + re.escape(PRINTED_MEMORY_ERROR)
                        + r"|note: run with `VELMORA_BACKTRACE=1` environment variable to display a backtrace")
    for line in proc.stderr.splitlines():
        assert report.fullmatch(line), line
