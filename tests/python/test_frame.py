"""The entry frame: one exception or one result, reference scopes, deferred releases."""
import gc
import signal
import sys

import pytest

import _velmora_test as t
import velmora


def test_failed_call_then_good_call(capfd):
    with pytest.raises(BaseException) as info:
        velmora.parse("</a>")
    assert type(info.value).__name__ == "PanicException"
    assert sys.exc_info() == (None, None, None)
    assert velmora.parse("<a>1</a>") == {"a": "1"}


WRONG_CALLS = [
    lambda: velmora.parse(),
    lambda: velmora.parse("<a/>", "x"),
    lambda: velmora.parse(foo=1),
    lambda: velmora.parse(**{"\udc80": 1}),
    lambda: velmora.parse("<a/>", xml="<b/>"),
    lambda: velmora.parse(5),
    lambda: velmora.parse(xml=b"<a/>"),
    lambda: velmora.parse("\udc80"),
]


def live_counts():
    gc.collect()
    return len(gc.get_objects()), sys.getallocatedblocks()


def test_wrong_calls_leave_no_objects_behind():
    def run(rounds):
        for _ in range(rounds):
            for call in WRONG_CALLS:
                try:
                    call()
                except (TypeError, UnicodeEncodeError):
                    pass

    run(50)
    before = live_counts()
    run(1000)
    after = live_counts()
    assert after[0] - before[0] <= 5
    assert after[1] - before[1] <= 50


def test_failing_and_succeeding_conversions_leave_no_objects_behind(capfd):
    def run(rounds):
        for _ in range(rounds):
            velmora.parse('<r a="1"><x>1</x><x>2</x><y/></r>')
            try:
                velmora.parse("<a></b>")
            except BaseException:
                pass

    run(20)
    before = live_counts()
    run(500)
    after = live_counts()
    assert after[0] - before[0] <= 5
    assert after[1] - before[1] <= 50


def test_each_frame_starts_with_an_empty_scope():
    assert t.scope_state() == (1, 0)
    t.own(object(), "x", 1.5)
    with pytest.raises(TypeError):
        t.bind((None, "f", (), 0, 0, ()), (1,), 1, None)
    assert t.scope_state() == (1, 0)


def test_nested_scope_releases_only_its_own():
    a, b = object(), object()
    ra, rb = sys.getrefcount(a), sys.getrefcount(b)
    assert t.nested_scope(a, b) == (1, 0, 1)
    assert (sys.getrefcount(a), sys.getrefcount(b)) == (ra, rb)


class Reentrant:
    """Runs frames from its finaliser, which the closing scope triggers."""

    def __init__(self, log, payload):
        self.log, self.payload = log, payload

    def __del__(self):
        self.log.append(t.scope_state())
        t.own(self.payload, self.payload)
        t.own_result_of(lambda: [self.payload])


def test_frames_opened_while_a_scope_closes():
    log, payload = [], object()
    before = sys.getrefcount(payload)
    t.own_result_of(lambda: [Reentrant(log, payload) for _ in range(3)])
    # Outer frame still counted; its entries were detached before anything was released.
    assert log == [(2, 0)] * 3
    assert sys.getrefcount(payload) == before


def test_release_without_the_frame_is_deferred_to_the_next_frame():
    obj = object()
    before = sys.getrefcount(obj)
    assert t.decref_from_thread(obj) == 1
    assert sys.getrefcount(obj) == before + 1
    t.scope_state()
    assert sys.getrefcount(obj) == before


@pytest.mark.parametrize("count, message", [
    (-1, "Access to the GIL is prohibited while a __traverse__ implmentation is running."),
    (-2, "Access to the GIL is currently prohibited."),
])
def test_prohibited_thread_aborts(run_python, count, message):
    proc = run_python(f"""
        import _velmora_test as t
        t.set_gil_count({count})
        t.scope_state()
        print("returned")
    """)
    assert proc.returncode == -signal.SIGABRT
    assert "returned" not in proc.stdout
    lines = proc.stderr.splitlines()
    assert message in lines
    assert "uncaught panic at ffi boundary" in lines
    assert lines.index(message) < lines.index("uncaught panic at ffi boundary")
