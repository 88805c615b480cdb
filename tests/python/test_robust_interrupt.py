"""Signals during a long conversion: Ctrl-C (SIGINT) ends it with KeyboardInterrupt soon after
it arrives, an exception raised by any signal handler comes out unchanged, a handler that does
not raise lets the conversion finish, and none of it leaks or writes a failure report. The
child process converts; this process sends the signals."""
import os
import signal
import subprocess
import sys
import textwrap
import time

def default_sigint():
    signal.signal(signal.SIGINT, signal.SIG_DFL)


CHILD = r"""
import gc, signal, sys, time, velmora

# About 200 MB: text events replacing one another, so the result stays one short string while
# the conversion takes well over a second.
doc = "<r>" + "t<!---->" * (24 << 20) + "</r>"

class FromHandler(Exception):
    pass

raised = FromHandler("raised by the handler")
quiet_calls = []

def raise_own(signum, frame):
    raise raised

signal.signal(signal.SIGUSR1, raise_own)
signal.signal(signal.SIGUSR2, lambda signum, frame: quiet_calls.append(signum))

def attempt(label):
    gc.collect()
    blocks = sys.getallocatedblocks()
    print("ready", label, flush=True)
    try:
        result = ("returned", velmora.parse(doc))
    except BaseException as e:
        result = ("raised", e)
    ended = time.monotonic()
    result = result[0], (type(result[1]).__name__ if result[0] == "raised" else result[1]), result[1] is raised
    gc.collect()
    print("done", label, repr(ended), repr(result), sys.getallocatedblocks() - blocks, flush=True)

velmora.parse("<a/>")  # the module's once-per-process objects are made before counting
attempt("SIGINT")
attempt("SIGUSR1")
attempt("SIGUSR2")
print("quiet handler calls", len(quiet_calls), flush=True)
print("next call", velmora.parse("<a>1</a>"), flush=True)
"""


def test_signals_during_a_long_conversion():
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    # The child gets Ctrl-C's default disposition even where this process was started with it
    # ignored (a background job of a script), or its interpreter would not turn it into
    # KeyboardInterrupt.
    child = subprocess.Popen([sys.executable, "-c", textwrap.dedent(CHILD)], env=env, preexec_fn=default_sigint,
                             stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                             text=True)
    try:
        outcomes = {}
        for name in ("SIGINT", "SIGUSR1", "SIGUSR2"):
            assert child.stdout.readline().split() == ["ready", name]
            time.sleep(0.2)
            sent = time.monotonic()
            child.send_signal(getattr(signal, name))
            words = child.stdout.readline().split(maxsplit=3)
            assert words[:2] == ["done", name], words
            ended, outcome, blocks = float(words[2]), *words[3].rsplit(" ", 1)
            outcomes[name] = (ended - sent, outcome, int(blocks))
        # Read through the same buffered streams as above (communicate() would miss what they
        # already hold); standard error stays small.
        rest, err = child.stdout.read(), child.stderr.read()
        child.wait(timeout=60)
    finally:
        child.kill()
        child.wait()
    # Both clocks are CLOCK_MONOTONIC of the same machine.
    delay, outcome, blocks = outcomes["SIGINT"]
    assert outcome == "('raised', 'KeyboardInterrupt', False)"
    assert delay < 0.5, f"KeyboardInterrupt {delay:.3f} s after SIGINT"
    assert abs(blocks) < 50
    delay, outcome, blocks = outcomes["SIGUSR1"]
    assert outcome == "('raised', 'FromHandler', True)"  # the handler's own exception object
    assert delay < 0.5
    assert abs(blocks) < 50
    _, outcome, _ = outcomes["SIGUSR2"]
    assert outcome == "('returned', {'r': 't'}, False)"
    assert rest.splitlines() == ["quiet handler calls 1", "next call {'a': '1'}"]
    assert err == ""  # no failure report
