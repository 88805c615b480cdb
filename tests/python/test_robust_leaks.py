"""Many calls of every kind leave nothing alive; a result is freed entirely once dropped."""
import gc
import sys
import tracemalloc

import pytest

import velmora
from quiet import stderr_discarded

GOOD = [
    '<root a="1"><x>1</x><x>2</x><y/><z k="v">t&amp;u</z></root>',
    "<a><b/><b/><b>x</b></a>",
    "\ufeff<?xml version='1.0'?><!DOCTYPE r [<!ENTITY e 'v'>]><r>é&#x1F600;<![CDATA[c]]></r>",
    "text only",
    "",
]
# One of every failure frame: reader error with a position, reader error inside an element,
# attribute error, escape errors in text and in a value, a Python error, and failures that come
# after much of the tree was built.
FAILING = [
    "</a>",
    "<a",
    "<!x>",
    "<a></b>",
    "<a>",
    '<a x="1" x="2"/>',
    "<a x/>",
    "<a>&bogus;</a>",
    '<a x="&#0;"/>',
    "<a><#text/></a>",
    "<r>" + "<i k='v'>t</i>" * 200 + "</x>",
    "<i>t</i>" * 200 + "</x>",
]
WRONG_CALLS = [
    lambda: velmora.parse(),
    lambda: velmora.parse("<a/>", "<b/>"),
    lambda: velmora.parse(xml="<a/>", other=1),
    lambda: velmora.parse(b"<a/>"),
    lambda: velmora.parse(None),
    lambda: velmora.parse("<a>\udc80</a>"),
]


def call_mix(rounds):
    for _ in range(rounds):
        for xml in GOOD:
            assert type(velmora.parse(xml)) is dict
        for xml in FAILING:
            try:
                velmora.parse(xml)
            except BaseException as e:
                assert type(e).__name__ == "PanicException"
            else:
                raise AssertionError(f"{xml!r} did not fail")
        for call in WRONG_CALLS:
            try:
                call()
            except (TypeError, UnicodeEncodeError):
                pass
            else:
                raise AssertionError("a wrong call succeeded")


CALLS_PER_ROUND = len(GOOD) + len(FAILING) + len(WRONG_CALLS)


def live_counts():
    gc.collect()
    return len(gc.get_objects()), sys.getallocatedblocks(), tracemalloc.get_traced_memory()[0]


def test_hundred_thousand_mixed_calls_leave_counts_flat():
    rounds = 100_000 // CALLS_PER_ROUND + 1
    tracemalloc.start()
    try:
        with stderr_discarded():
            call_mix(200)  # warm-up: free lists, caches, the failure report's first-time state
            before = live_counts()
            call_mix(rounds)
            after = live_counts()
    finally:
        tracemalloc.stop()
    objects, blocks, traced = (a - b for a, b in zip(after, before))
    # One object lost by any one kind of call would show up `rounds` (over 4,000) times.
    assert objects <= 10, (objects, blocks, traced)
    assert blocks <= 100, (objects, blocks, traced)
    assert traced <= 16 * 1024, (objects, blocks, traced)


def big_document(n):
    items = "".join(f'<item id="{i}" p:kind="k{i % 7}"><name>n{i}&amp;</name><v>{i}</v><e/></item>'
                    for i in range(n))
    return f"<root>{items}<tail>é</tail></root>"


def test_dropped_result_is_freed_entirely():
    doc = big_document(2000)
    gc.collect()
    tracemalloc.start()
    try:
        del velmora.parse(doc)["root"]  # warm-up; also fills the interpreter's free lists again
        before = tracemalloc.get_traced_memory()[0]
        result = velmora.parse(doc)
        held = tracemalloc.get_traced_memory()[0] - before
        # Only the caller holds the result, and only the result holds its parts (counted outside
        # `assert`, whose rewriting keeps references to intermediate values).
        value = result["root"]["item"][12]["v"]  # a short str, made without PyObject_Init's call
        counts = (sys.getrefcount(result), sys.getrefcount(result["root"]), sys.getrefcount(result["root"]["item"]),
                  sys.getrefcount(value) - 1)
        traced_value = tracemalloc.get_object_traceback(value) is not None
        del value
        del result  # freed by reference counting alone: no collection runs in between
        left = tracemalloc.get_traced_memory()[0] - before
    finally:
        tracemalloc.stop()
    assert counts == (2, 2, 2, 2)
    assert traced_value
    assert held > 2000 * 300  # the tree really was alive: several objects per item
    assert left <= 1024, (held, left)


@pytest.mark.parametrize("enabled", [True, False])
def test_collector_state_is_restored_after_every_kind_of_call(enabled):
    was = gc.isenabled()
    (gc.enable if enabled else gc.disable)()
    try:
        with stderr_discarded():
            call_mix(1)
        assert gc.isenabled() is enabled
    finally:
        (gc.enable if was else gc.disable)()
