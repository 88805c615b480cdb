"""Forked workers writing their chunks to one descriptor: the output is in input order whatever
order the chunks finish in, every report arrives once and in order, and a worker that dies or an
output that fails stops the work cleanly."""
import errno
import os
import signal
import time

import pytest

from velmora_tools import relay
from velmora_tools.output import OutputError, spool_folder


def line(i):
    return b"%d %s\n" % (i, b"x" * (i % 50))


def slow_early(start, stop):
    """The first chunks are the slow ones, so later chunks finish before them."""
    if start < 16:
        time.sleep(0.05)
    return [line(i) for i in range(start, stop)], list(range(start, stop))


def run_relay(target, convert, count=400, workers=3, ahead=None, target_bytes=300):
    reports = []
    with spool_folder() as folder:
        work = relay.Relay(count, workers, target, folder, target_bytes, ahead=ahead)
        try:
            work.run(convert, lambda start, stop, report: reports.append((start, stop, report)))
        finally:
            leftover = sorted(os.listdir(folder))
    return reports, leftover


@pytest.mark.parametrize("sink, ahead, spool_works", [
    ("file", None, True),
    ("append", None, True),  # the kernel copy refuses O_APPEND: the plain copy runs
    ("pipe", 1, True),  # a worker one chunk ahead of the turn waits for it
    ("file", None, False),  # nothing can be spooled: each chunk waits for its turn
])
def test_output_in_input_order_and_reports_in_order(sink, ahead, spool_works, tmp_path, monkeypatch):
    if not spool_works:
        monkeypatch.setattr(relay.Relay, "_spool", lambda self, chunk, parts: False)
    path = tmp_path / "out"
    path.write_bytes(b"")
    expected = b"".join(line(i) for i in range(400))
    if sink == "pipe":
        read_end, write_end = os.pipe()
        pid = os.fork()
        if pid == 0:  # a reader slower than the workers, so the pipe fills up
            os.close(write_end)
            with open(path, "wb") as out:
                while data := os.read(read_end, 4096):
                    out.write(data)
                    time.sleep(0.0005)
            os._exit(0)
        os.close(read_end)
        try:
            reports, leftover = run_relay(write_end, slow_early, ahead=ahead)
        finally:
            os.close(write_end)
            os.waitpid(pid, 0)
    else:
        fd = os.open(path, os.O_WRONLY | (os.O_APPEND if sink == "append" else 0))
        try:
            reports, leftover = run_relay(fd, slow_early, ahead=ahead)
        finally:
            os.close(fd)
    assert path.read_bytes() == expected
    assert [i for start, stop, report in reports for i in report] == list(range(400))
    assert all(report == list(range(start, stop)) for start, stop, report in reports)
    assert len(reports) > 10, "many chunks, so the turn really passed between workers"
    assert leftover == ["lock"]  # every spooled chunk written and removed


def test_a_worker_that_dies_stops_the_output_before_its_chunk(tmp_path):
    doomed = 150

    def convert(start, stop):
        if start <= doomed < stop:
            os.kill(os.getpid(), signal.SIGKILL)
        time.sleep(0.002)
        return [line(i) for i in range(start, stop)], None

    path = tmp_path / "out"
    fd = os.open(path, os.O_WRONLY | os.O_CREAT)
    try:
        with pytest.raises(relay.WorkerLost) as lost:
            run_relay(fd, convert, workers=2)
    finally:
        os.close(fd)
    assert "killed by SIGKILL" in str(lost.value)
    written = path.read_bytes().splitlines(keepends=True)
    assert written == [line(i) for i in range(len(written))]  # whole lines, in order, no gap
    assert len(written) <= doomed


def test_a_failing_output_is_one_error_and_ends_every_worker(tmp_path):
    read_end, write_end = os.pipe()
    os.close(read_end)  # nobody reads: EPIPE (SIGPIPE is ignored by the interpreter)
    try:
        with pytest.raises(OutputError) as failed:
            run_relay(write_end, slow_early, workers=2)
    finally:
        os.close(write_end)
    assert failed.value.__cause__.errno == errno.EPIPE


def test_an_interrupt_while_relaying_ends_the_workers(tmp_path):
    fd = os.open(tmp_path / "out", os.O_WRONLY | os.O_CREAT)
    pids = []

    def convert(start, stop):
        time.sleep(0.01)
        return [line(i) for i in range(start, stop)], os.getpid()

    def on_chunk(start, stop, pid):
        pids.append(pid)
        raise KeyboardInterrupt

    try:
        with spool_folder() as folder, pytest.raises(KeyboardInterrupt):
            relay.Relay(400, 2, fd, folder, 300).run(convert, on_chunk)
    finally:
        os.close(fd)
    with pytest.raises(ProcessLookupError):  # ended and waited for
        os.kill(pids[0], 0)


@pytest.mark.parametrize("sizes", [[0], [1, 0, 5], [3] * 1000, [70000, 1]])
def test_write_all_writes_every_byte_in_order(sizes):
    parts = [bytes([65 + i % 26]) * size for i, size in enumerate(sizes)]
    read_end, write_end = os.pipe()
    pid = os.fork()
    if pid == 0:
        os.close(read_end)
        relay.write_all(write_end, parts)
        os._exit(0)
    os.close(write_end)
    received = b""
    while data := os.read(read_end, 65536):
        received += data
    os.close(read_end)
    os.waitpid(pid, 0)
    assert received == b"".join(parts)
