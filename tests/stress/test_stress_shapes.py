"""Extreme shapes: a million levels of nesting, 200,000 attributes on one tag, a DOCTYPE with a
million unbalanced "<"; each checked for its result and for time linear in size."""
import os
import subprocess
import sys
import textwrap

import pytest

from scaling import scaled

UNWRAP = "called `Result::unwrap()` on an `Err` value: "


def deep(n):
    return "<a>" * n + "x" + "</a>" * n


def check_deep(n, outcome):
    kind, value = outcome
    assert kind == "ok"
    for _ in range(n):  # walked iteratively: comparing or printing would recurse a million times
        assert type(value) is dict and list(value) == ["a"]
        value = value["a"]
    assert value == "x"


def test_nesting_a_million_deep():
    scaled("nesting 1,000,000 deep", deep, check_deep, 1_000_000)


def test_nesting_a_million_deep_then_a_mismatch():
    def check(n, outcome):
        assert outcome == ("panic", UNWRAP + 'EndEventMismatch { expected: "a", found: "b" }')

    scaled("nesting 1,000,000 deep, then a wrong end tag", lambda n: "<a>" * n + "</b>", check, 1_000_000)


def attributes(n, extra=""):
    return "<a" + "".join(f' a{i}="{i}"' for i in range(n)) + extra + "/>"


def test_two_hundred_thousand_attributes():
    def check(n, outcome):
        assert outcome[0] == "ok"
        attrs = outcome[1]["a"]
        assert len(attrs) == n and attrs["@a0"] == "0" and attrs[f"@a{n - 1}"] == str(n - 1)

    scaled("one tag with 200,000 attributes", attributes, check, 200_000)


def test_two_hundred_thousand_attributes_and_a_late_duplicate():
    # Every key is checked against all earlier ones; the duplicate is the very last key.
    def check(n, outcome):
        position = len(attributes(n)) - 2  # in the tag content, which starts after "<"
        assert outcome == ("panic", UNWRAP + f"Duplicated({position}, 2)")

    scaled("200,000 attributes, the last one a duplicate", lambda n: attributes(n, ' a0="x"'), check, 200_000)


DOCTYPE_EOF = 'Error at position 1: UnexpectedEof("DOCTYPE")'


@pytest.mark.parametrize("name, make, expected", [
    ("DOCTYPE with 10^6 unbalanced '<'",
     lambda n: "<!DOCTYPE x [" + "<" * n + "]><a/>", ("panic", DOCTYPE_EOF)),
    # Every ">" is a candidate end that the count of "<" rejects: a rescan per candidate is quadratic.
    ("DOCTYPE with 10^6 '<' and 10^6 - 1 '>'",
     lambda n: "<!DOCTYPE x [" + "<" * n + ">" * (n - 1) + "]", ("panic", DOCTYPE_EOF)),
    ("DOCTYPE with 10^6 balanced '<' and '>'",
     lambda n: "<!DOCTYPE x [" + "<" * n + ">" * n + "]><a/>", ("ok", {"a": None})),
])
def test_doctype_with_a_million_angle_brackets(name, make, expected):
    def check(n, outcome):
        assert outcome == expected

    scaled(name, make, check, 1_000_000)


FREE_IN_SMALL_STACK = """
import sys, threading, velmora
n = 1_000_000
doc = "<a>" * n + "</a>" * n
errors = []

def parse_and_drop():
    try:
        r = velmora.parse(doc)
        depth = 0
        while r:
            r = r["a"]
            depth += 1
        assert depth == n, depth
        r = velmora.parse(doc)
        del r  # a million nested dictionaries released at once
    except BaseException as e:
        errors.append(repr(e))

result = velmora.parse(doc)
del result  # on the main thread
threading.stack_size(256 * 1024)
t = threading.Thread(target=parse_and_drop)
t.start()
t.join()
print("errors:", errors)
"""


def test_million_deep_result_is_freed_without_exhausting_the_stack():
    # In a child: a native stack overflow would take the whole test run down.
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    proc = subprocess.run([sys.executable, "-X", "faulthandler", "-c", textwrap.dedent(FREE_IN_SMALL_STACK)],
                          env=env, capture_output=True, text=True, timeout=600)
    assert proc.returncode == 0, proc.stderr[-3000:]
    assert proc.stdout.strip() == "errors: []"
