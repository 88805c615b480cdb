"""Chunks of inputs converted on forked worker processes and in this process, results in order.

This process is one of the converters: after a chunk for each worker comes one for itself,
converted when its turn comes, as large as what it can convert while the workers convert
theirs and it rebuilds the results they send (`_Costs` measures each of those as it goes).
Rebuilding a tree costs most of a parse, so with whole trees coming back this process takes a
small share; with small results, as large a share as a worker's. When the chunk whose turn it is
has not come back, this process converts inputs of later own chunks meanwhile (their results
wait for their turn), so it is never idle while there is work left; and the last chunks a
worker gets are the smallest worth sending, so that the workers and this process run out of
work together.

A worker gets its chunks through a pipe of its own (index ranges of the list it was forked
with, or the pickled inputs of an iterator) and reports each one on a second pipe; the chunk's
results, encoded one by one (`convert_chunk`), travel in that report when they are small, else
in a file of the spool folder (in memory where there is /dev/shm), so a worker never waits for
this process to read them. This process reads the reports itself, with no thread of its own.

A worker that dies takes its chunks with it: each of their inputs gets a `WorkerLostError` in
place of its result, and the others go on. Ending the iteration early kills the workers.
"""

from __future__ import annotations

import contextlib
import gc
import itertools
import marshal
import math
import os
import pickle
import select
import signal
import struct
import sys
import time
import traceback
from collections import deque
from collections.abc import Callable, Iterator, Sequence
from typing import Any, Final, NoReturn, TypeVar

from velmora_tools.output import write_all, write_spool_file
from velmora_tools.worker_lost import WorkerLostError

T = TypeVar("T")
R = TypeVar("R")

QUEUED_PER_WORKER: Final = 3  # chunks handed to a worker and not reported yet
DONE_PER_WORKER: Final = 3  # and reported, waiting for their turn (their results in memory)
INLINE_BYTES: Final = 2048  # results this small travel in the report itself
# A worker's chunk holds at least this much work, else this process converts the rest itself:
# handing out a chunk and waiting for its report takes a few tenths of a millisecond.
MIN_WORKER_SECONDS: Final = 0.002
_LAST_QUEUED: Final = 2  # chunks a worker holds at most once chunks are that small
# While the chunk whose turn it is has not come back, this process converts inputs of later own
# chunks rather than wait; at most this many of them hold results early (they stay in memory).
AHEAD_CHUNKS: Final = 2
# Between two inputs converted here, the reports are looked at only once this long has passed
# since the last look: a look costs a few microseconds (a poll and the bookkeeping around it),
# and every worker has chunks queued for longer than that.
LOOK_SECONDS: Final = 0.0005

_TASK: Final = struct.Struct("=BI")  # kind, length of what follows
_RANGE: Final = 0  # inputs start..stop of the list the worker was forked with (marshal)
_ITEMS: Final = 1  # the inputs themselves (pickle)
_DONE: Final = 2  # no more chunks: the worker ends (a process forked meanwhile may hold the pipe
# open, so its end would not come)
_REPORT: Final = struct.Struct("=QQ?dd")  # chunk, length of the results, inline, processor and wall seconds


# This process's ends of the pipes of every worker running (of every iteration going on): a
# worker forked closes them, so that each worker's pipes have no other holder.
_OPEN: Final[set[int]] = set()


class Redo:
    """Stands for a result the worker could not send (or the function raised): this process
    calls the function on that input itself, so the result, or the raise, is its own."""

    def __repr__(self) -> str:
        return "REDO"


REDO: Final = Redo()


def lost_message(wait_status: int) -> str:
    if os.WIFSIGNALED(wait_status):
        number = os.WTERMSIG(wait_status)
        try:
            how = f"was killed by {signal.Signals(number).name}"
        except ValueError:
            how = f"was killed by signal {number}"
    else:
        how = f"ended with status {os.waitstatus_to_exitcode(wait_status)}"
    return f"the worker process converting this input {how} before sending its result"


# Results to bytes and back: each result on its own, so that a chunk's results are rebuilt one
# at a time as they are yielded, and a worker holds one tree at a time. Holding many trees at
# once slows everything down (a chunk of 170 small trees alive makes converting them 40% slower:
# colder memory, longer collections).

_MARSHAL: Final = 0  # a tree by marshal: 0.27 of a parse to write and 0.85 to rebuild (pickle: 0.43, 0.95)
_PICKLE: Final = 1
_AGAIN: Final = 2  # this process computes it (REDO)
_HEADER_LENGTH: Final = struct.Struct("=I")


def encode_one(value: object, trees: bool) -> tuple[int, bytes]:
    """How one result travels, and its bytes.

    With `trees` the results are `parse_file` trees (exact dicts, lists, str and None, all that
    marshal writes here) or the exceptions returned in their place; other results go by pickle,
    which keeps every type as it is (marshal would write a bytearray as bytes, say). A result
    neither can carry (nested too deep, say) is computed again by this process.
    """
    if value is REDO:
        return _AGAIN, b""
    if trees and not isinstance(value, BaseException):
        try:
            return _MARSHAL, marshal.dumps(value)  # type: ignore[arg-type]  # a tree: marshal checks
        except ValueError:
            return _AGAIN, b""
    try:
        return _PICKLE, pickle.dumps(value, pickle.HIGHEST_PROTOCOL)
    except Exception:
        return _AGAIN, b""


def join_encoded(kinds: bytearray, parts: list[bytes]) -> list[bytes]:
    """The pieces of a chunk's encoding, in order: a header (length, then the kinds and ends)
    and every result's bytes."""
    ends = list(itertools.accumulate(len(part) for part in parts))
    header = marshal.dumps((bytes(kinds), ends))
    return [_HEADER_LENGTH.pack(len(header)), header, *parts]


def convert_chunk(func: Callable[[T], R], chunk: Sequence[T], trees: bool) -> tuple[list[bytes], float]:
    """The encoded results of `func` on each input (REDO where it raised: the raise comes
    again when this process calls `func` itself), and the processor time they took."""
    start = time.process_time()
    kinds = bytearray()
    parts = []
    for item in chunk:
        try:
            outcome: object = func(item)
        except BaseException:
            outcome = REDO
        kind, data = encode_one(outcome, trees)
        del outcome
        kinds.append(kind)
        parts.append(data)
    return join_encoded(kinds, parts), time.process_time() - start


class Encoded:
    """A chunk's results as `convert_chunk` encoded them; `take(position)` rebuilds one."""

    def __init__(self, payload: bytes) -> None:
        (length,) = _HEADER_LENGTH.unpack_from(payload)
        self.payload: memoryview = memoryview(payload)
        self.base: int = _HEADER_LENGTH.size + length
        self.kinds: bytes
        self.ends: list[int]
        self.kinds, self.ends = marshal.loads(self.payload[_HEADER_LENGTH.size : self.base])

    def take(self, position: int) -> Any:
        """The result at `position`, or REDO."""
        kind = self.kinds[position]
        if kind == _AGAIN:
            return REDO
        start = self.base + (self.ends[position - 1] if position else 0)
        data = self.payload[start : self.base + self.ends[position]]
        # No cyclic collection meanwhile: rebuilding a tree makes many containers, and the
        # collections they would set off cost a third as much again (`parse` pauses it too). A
        # small pickle (a number, say) makes too few to be worth the pause.
        enabled = (kind == _MARSHAL or len(data) >= 256) and gc.isenabled()
        if enabled:
            gc.disable()
        try:
            return marshal.loads(data) if kind == _MARSHAL else pickle.loads(data)
        except Exception:  # an exception type that cannot be rebuilt from its arguments, say
            return REDO
        finally:
            if enabled:
                gc.enable()


# The inputs, chunk by chunk.

class Source:
    """Hands out the inputs in chunks: slices of a list sized by `next_size` (given the number
    left), or `size` at a time from an iterator."""

    def __init__(self, items: Sequence[Any] | Iterator[Any], next_size: Callable[[int], int] | None,
                 size: int = 16) -> None:
        self.items: Sequence[Any] | Iterator[Any] = items
        self.next_size: Callable[[int], int] | None = next_size
        self.size: int = size
        self.start: int = 0
        self.exhausted: bool = False

    def usual_size(self) -> int:
        """The size the next chunk would have."""
        if self.next_size is None:
            return self.size
        assert isinstance(self.items, Sequence)
        return self.next_size(max(1, len(self.items) - self.start))

    def left(self) -> int:
        """Inputs not handed out yet (of a list; an iterator has no end in sight)."""
        if self.next_size is None:
            return sys.maxsize
        assert isinstance(self.items, Sequence)
        return max(0, len(self.items) - self.start)

    def next(self, size: int | None = None) -> tuple[int | None, list[Any]] | None:
        """The next chunk (of `size` inputs, else the usual size): its first input's index in the
        list (None from an iterator) and its inputs; None when there are no more."""
        if self.exhausted:
            return None
        size = size or self.usual_size()
        if self.next_size is None:
            iterator = self.items
            assert isinstance(iterator, Iterator)
            chunk = list(itertools.islice(iterator, size))
            if not chunk:
                self.exhausted = True
                return None
            return None, chunk
        assert isinstance(self.items, Sequence)
        if self.start >= len(self.items):
            self.exhausted = True
            return None
        start, self.start = self.start, self.start + size
        return start, list(self.items[start : self.start])


class _Raised:
    """Stands for what `func` raised on an input converted before its turn: raised at the turn."""

    __slots__ = ("exception",)

    def __init__(self, exception: BaseException) -> None:
        self.exception: BaseException = exception


class _Chunk:
    __slots__ = ("items", "values", "encoded", "own", "ahead")

    def __init__(self, items: list[Any], own: bool) -> None:
        self.items: list[Any] = items
        self.own: bool = own  # converted in this process when its turn comes
        self.ahead: list[Any] = []  # of an own chunk: the results of its first inputs, converted
        # while this process waited for a worker's chunk before it
        self.values: list[Any] | None = None  # the results, when a worker was lost with them
        self.encoded: Encoded | None = None  # the results a worker sent

    @property
    def ready(self) -> bool:
        return self.own or self.values is not None or self.encoded is not None


class _Worker:
    __slots__ = ("pid", "tasks", "reports", "buffer", "held")

    def __init__(self, pid: int, tasks: int, reports: int) -> None:
        self.pid: int = pid
        self.tasks: int = tasks  # write end of its task pipe; -1 once closed
        self.reports: int = reports  # read end of its report pipe
        self.buffer: bytearray = bytearray()
        self.held: deque[int] = deque()  # chunks sent to it and not reported, in order


def _read_exactly(fd: int, size: int) -> bytes | None:
    """`size` bytes from `fd`; None at its end."""
    parts = []
    while size:
        data = os.read(fd, size)
        if not data:
            return None
        parts.append(data)
        size -= len(data)
    return b"".join(parts)


def _spool_path(folder: str, chunk: int) -> str:
    return os.path.join(folder, f"{chunk}.res")


def _serve(func: Callable[[Any], Any], items: Sequence[Any], trees: bool, tasks: int, reports: int,
           folder: str) -> NoReturn:
    """A worker's whole life: convert the chunks sent until the task pipe ends; never returns."""
    status = 1
    try:
        gc.freeze()  # what came with the fork stays out of this process's collections
        while (header := _read_exactly(tasks, _TASK.size)) is not None:
            kind, length = _TASK.unpack(header)
            body = _read_exactly(tasks, length)
            if body is None or kind == _DONE:
                break
            if kind == _RANGE:
                number, start, stop = marshal.loads(body)
                chunk = items[start:stop]
            else:
                number, chunk = pickle.loads(body)
            started = time.perf_counter()
            parts, seconds = convert_chunk(func, chunk, trees)
            wall = time.perf_counter() - started
            del chunk
            size = sum(len(part) for part in parts)
            inline = size <= INLINE_BYTES or not _spool(folder, number, parts)
            report = _REPORT.pack(number, size, inline, seconds, wall)
            write_all(reports, [report, *parts] if inline else [report])
            del parts
        status = 0
    except BaseException:
        with contextlib.suppress(BaseException):
            traceback.print_exc()
    finally:
        for stream in (sys.stdout, sys.stderr):  # what `func` printed; emptied before the fork
            with contextlib.suppress(BaseException):
                stream.flush()
        os._exit(status)


def _spool(folder: str, number: int, parts: list[bytes]) -> bool:
    """The results in a spool file; False when they cannot be written (no space left, say)."""
    return write_spool_file(_spool_path(folder, number), parts, exclusive=True)


def _read_spooled(folder: str, number: int, length: int) -> bytes:
    path = _spool_path(folder, number)
    fd = os.open(path, os.O_RDONLY | os.O_CLOEXEC)
    try:
        os.unlink(path)
        data = _read_exactly(fd, length)
    finally:
        os.close(fd)
    if data is None:
        raise RuntimeError(f"the results of chunk {number} were cut short")
    return data


class _Costs:
    """Seconds per input of each kind of work, measured as it goes: what sizes this process's
    own chunks so that it finishes its share when the workers finish theirs."""

    def __init__(self) -> None:
        self.own: list[float] = [0.0, 0]  # converting here: seconds, inputs
        self.rebuilt: list[float] = [0.0, 0]  # rebuilding what a worker sent
        self.consumer: list[float] = [0.0, 0]  # the caller's own work between two results
        self.worker: list[float] = [0.0, 0]  # a worker's converting and encoding

    @staticmethod
    def add(cost: list[float], seconds: float, inputs: int = 1) -> None:
        cost[0] += seconds
        cost[1] += inputs

    @staticmethod
    def per_input(cost: list[float], default: float) -> float:
        return cost[0] / cost[1] if cost[1] else default

    def own_share(self, workers: int) -> float:
        """Inputs to convert here for each input a worker converts, while each of `workers`
        converts one chunk: this process converts its chunk and rebuilds theirs meanwhile."""
        worker = self.per_input(self.worker, 1.0)
        consumer = self.per_input(self.consumer, 0.0)
        spare = worker - workers * (self.per_input(self.rebuilt, 0.0) + consumer)
        # At most twice a worker's chunk: a large own chunk near the end would keep the workers waiting.
        return min(2.0, max(0.0, spare / (self.per_input(self.own, worker) + consumer)))


class Forks:
    """`func` over the chunks of `source`, on `count` forked workers and in this process;
    `on_done(inputs, seconds)` hears of each chunk a worker converted (it steers the sizes).

    Iterate `results()` once: ``(input, result)`` in input order. `items` is the list the
    source slices (the workers get index ranges of it), None for an iterator.

    The chunks go in turn to each worker, and after one for each worker comes one for this
    process, converted when its turn comes; its size, by `_Costs`, is what this process can
    convert while the workers convert theirs (nothing when rebuilding their results keeps it
    busy); while a worker's chunk is late, it converts later own inputs ahead. The results of
    a worker's chunk are rebuilt one at a time as they are yielded.
    """

    def __init__(self, func: Callable[[Any], Any], source: Source, items: Sequence[Any] | None, count: int,
                 trees: bool, folder: str, on_done: Callable[[int, float], None] | None = None) -> None:
        self.func: Callable[[Any], Any] = func
        self.source: Source = source
        self.items: Sequence[Any] | None = items
        self.count: int = count
        self.trees: bool = trees
        self.folder: str = folder
        self.on_done: Callable[[int, float], None] | None = on_done
        self.workers: list[_Worker] = []  # the live ones
        self.chunks: dict[int, _Chunk] = {}  # made and not yielded yet
        self.made: int = 0  # chunks made
        self.turn: int = 0  # the chunk to yield next
        self.since_own: int = count  # worker chunks made since the last own one: first an own one, which
        # this process converts while the workers start
        self.costs: _Costs = _Costs()
        self.poller: select.poll = select.poll()
        self.reported: int = 0  # chunks reported or lost so far
        self.next_look: float = 0.0  # when `_keep_workers_busy` looks at the reports again

    def _start(self) -> None:
        for stream in (sys.stdout, sys.stderr):  # else the workers would write it out again
            with contextlib.suppress(Exception):
                stream.flush()
        signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGINT})  # no interrupt between fork and ignore
        try:
            for _ in range(self.count):
                task_read, task_write = os.pipe()
                report_read, report_write = os.pipe()
                try:
                    pid = os.fork()
                except OSError:  # no more processes allowed: the ones forked do the work
                    for fd in (task_read, task_write, report_read, report_write):
                        os.close(fd)
                    break
                if pid == 0:
                    for fd in (*_OPEN, task_write, report_read):
                        os.close(fd)
                    _OPEN.clear()
                    signal.signal(signal.SIGINT, signal.SIG_IGN)  # this process stops the workers itself
                    signal.pthread_sigmask(signal.SIG_UNBLOCK, {signal.SIGINT})
                    _serve(self.func, self.items or (), self.trees, task_read, report_write, self.folder)
                os.close(task_read)
                os.close(report_write)
                _OPEN.update((task_write, report_read))
                self.workers.append(_Worker(pid, task_write, report_read))
                self.poller.register(report_read, select.POLLIN)
        finally:
            signal.pthread_sigmask(signal.SIG_UNBLOCK, {signal.SIGINT})

    def _stop(self, kill: bool) -> None:
        for worker in self.workers:
            if worker.tasks >= 0:
                if not kill:
                    with contextlib.suppress(OSError):
                        write_all(worker.tasks, [_TASK.pack(_DONE, 0)])
                os.close(worker.tasks)
                _OPEN.discard(worker.tasks)
            if kill:
                with contextlib.suppress(OSError):
                    os.kill(worker.pid, signal.SIGKILL)
        for worker in self.workers:
            with contextlib.suppress(ChildProcessError):
                os.waitpid(worker.pid, 0)
            os.close(worker.reports)
            _OPEN.discard(worker.reports)
        self.workers = []

    # Handing out chunks.

    def _make(self, own: bool, size: int | None = None) -> tuple[int, int | None, _Chunk] | None:
        made = self.source.next(size)
        if made is None:
            return None
        start, items = made
        number = self.made
        self.made += 1
        chunk = self.chunks[number] = _Chunk(items, own)
        return number, start, chunk

    def _send(self, worker: _Worker, number: int, start: int | None, chunk: _Chunk) -> bool:
        try:
            if start is not None:
                body, kind = marshal.dumps((number, start, start + len(chunk.items))), _RANGE
            else:
                body, kind = pickle.dumps((number, chunk.items), pickle.HIGHEST_PROTOCOL), _ITEMS
        except Exception:  # inputs that cannot be pickled: converted here
            return False
        try:
            write_all(worker.tasks, [_TASK.pack(kind, len(body)), body])
        except OSError:  # the worker is gone; its report pipe tells how
            os.close(worker.tasks)
            _OPEN.discard(worker.tasks)
            worker.tasks = -1
            return False
        worker.held.append(number)
        return True

    def _top_up(self) -> None:
        """Every worker given chunks up to its share of the ones in flight: a few running or
        queued, and a few more reported and waiting for their turn, so that a worker runs on
        while this process is behind, but not far ahead of the others."""
        room = (QUEUED_PER_WORKER + DONE_PER_WORKER) * len(self.workers) - sum(
            not chunk.own for chunk in self.chunks.values())
        for worker in self.workers:
            queued = QUEUED_PER_WORKER
            size = None
            last = self._little_left()
            if last:
                # The last inputs: chunks of the least work worth sending, one queued behind the
                # one running, so that no worker holds much when this process runs out of work;
                # this process makes own chunks only when it has nothing else to do.
                queued, size = _LAST_QUEUED, self._least_inputs()
                if self.source.left() < 2 * size:
                    return  # this process converts the rest
            while room > 0 and worker.tasks >= 0 and len(worker.held) < queued:
                if self.since_own >= len(self.workers) and not last:
                    self.since_own = 0
                    share = round(self.costs.own_share(len(self.workers)) * (size or self.source.usual_size()))
                    if share and self._make(True, share) is None:
                        return
                made = self._make(False, size)
                if made is None:
                    return
                room -= 1
                self.since_own += 1
                number, start, chunk = made
                if not self._send(worker, number, start, chunk):
                    chunk.own = True

    def _little_left(self) -> bool:
        """Whether chunks sized as they are now would be too small to hand out (only for chunk
        sizes steered by the work measured: a chunk size given is kept)."""
        if self.on_done is None or not self.costs.worker[1]:
            return False
        return self.source.usual_size() < self._least_inputs()

    def _least_inputs(self) -> int:
        """The inputs of the smallest chunk worth handing to a worker, by the work measured."""
        per_input = self.costs.per_input(self.costs.worker, 0.0)
        return max(1, math.ceil(MIN_WORKER_SECONDS / per_input)) if per_input > 0 else 1

    # Reports.

    def _read_reports(self, block: bool) -> None:
        started = time.perf_counter()
        for fd, _ in self.poller.poll(None if block else 0):
            worker = next(w for w in self.workers if w.reports == fd)
            data = os.read(fd, 1 << 16)
            if not data:
                self._lost(worker)
                continue
            worker.buffer += data
            self._take_reports(worker)
        if not block:
            self.costs.add(self.costs.rebuilt, time.perf_counter() - started, 0)

    def _take_reports(self, worker: _Worker) -> None:
        buffer = worker.buffer
        while len(buffer) >= _REPORT.size:
            number, length, inline, seconds, wall = _REPORT.unpack_from(buffer)
            end = _REPORT.size + (length if inline else 0)
            if len(buffer) < end:
                return
            chunk = self.chunks[number]
            payload = bytes(buffer[_REPORT.size : end]) if inline else _read_spooled(self.folder, number, length)
            chunk.encoded = Encoded(payload)
            del buffer[:end]
            worker.held.remove(number)
            self.reported += 1
            self.costs.add(self.costs.worker, wall, len(chunk.items))
            if self.on_done is not None:
                self.on_done(len(chunk.items), seconds)

    def _lost(self, worker: _Worker) -> None:
        """A worker's report pipe ended: it is gone, and its chunks' inputs get WorkerLostError."""
        self.poller.unregister(worker.reports)
        os.close(worker.reports)
        _OPEN.discard(worker.reports)
        if worker.tasks >= 0:
            os.close(worker.tasks)
            _OPEN.discard(worker.tasks)
        self.workers.remove(worker)
        try:
            _, wait_status = os.waitpid(worker.pid, 0)
        except ChildProcessError:  # reaped by someone else
            wait_status = 0
        message = lost_message(wait_status)
        self.reported += 1
        for number in worker.held:
            chunk = self.chunks[number]
            chunk.values = [WorkerLostError(message) for _ in chunk.items]

    # The results.

    def _work_while_waiting(self, awaited: _Chunk) -> None:
        """Until the worker's chunk whose turn it is comes back: inputs of later own chunks (one
        made if need be) converted one at a time, the reports read between them, rather than
        this process waiting idle. With none to convert, it waits for a report."""
        clock, costs, func = time.perf_counter, self.costs, self.func
        while not awaited.ready:
            chunk = self._ahead_chunk()
            if chunk is None:
                self._read_reports(block=True)
                self._top_up()
                continue
            item = chunk.items[len(chunk.ahead)]
            started = clock()
            try:
                value: Any = func(item)
            except (KeyboardInterrupt, SystemExit):
                raise
            except BaseException as exc:  # raised at its turn, after the results before it
                value = _Raised(exc)
            now = clock()
            costs.add(costs.own, now - started)
            chunk.ahead.append(value)
            del value
            self._keep_workers_busy(now)

    def _keep_workers_busy(self, now: float) -> None:
        """Between two inputs converted here (`now` the time): the reports that came in read, and
        the workers that sent them given their next chunks, however long this process's chunk is;
        at most once every LOOK_SECONDS."""
        if now < self.next_look:
            return
        self.next_look = now + LOOK_SECONDS
        reported = self.reported
        self._read_reports(block=False)
        if self.reported != reported:
            self._top_up()

    def _ahead_chunk(self) -> _Chunk | None:
        """The first own chunk after the turn with inputs not converted yet, or a new own chunk
        when there is none; None when there are no inputs left or enough results wait already."""
        started = 0
        for number in range(self.turn + 1, self.made):
            chunk = self.chunks.get(number)
            if chunk is None or not chunk.own:
                continue
            if len(chunk.ahead) < len(chunk.items):
                return chunk
            started += 1
        if started >= AHEAD_CHUNKS:
            return None
        made = self._make(True)
        return None if made is None else made[2]

    def _yield_chunk(self, chunk: _Chunk) -> Iterator[tuple[Any, Any]]:
        clock, costs, func = time.perf_counter, self.costs, self.func
        if chunk.own:
            ahead = chunk.ahead
            for position, item in enumerate(chunk.items):
                if position < len(ahead):
                    value = ahead[position]
                    ahead[position] = None  # freed as it goes
                    if isinstance(value, _Raised):
                        raise value.exception
                else:
                    started = clock()
                    value = func(item)
                    now = clock()
                    costs.add(costs.own, now - started)
                    self._keep_workers_busy(now)
                handed = clock()
                yield item, value
                del value
                costs.add(costs.consumer, clock() - handed)
        elif chunk.values is not None:
            yield from zip(chunk.items, chunk.values)
        else:
            encoded = chunk.encoded
            assert encoded is not None
            for position, item in enumerate(chunk.items):
                started = clock()
                value = encoded.take(position)
                costs.add(costs.rebuilt, clock() - started)
                handed = clock()
                yield item, (func(item) if value is REDO else value)
                costs.add(costs.consumer, clock() - handed)

    def results(self) -> Iterator[tuple[Any, Any]]:
        finished = False
        try:
            self._start()
            while True:
                self._read_reports(block=False)
                self._top_up()
                chunk = self.chunks.get(self.turn)
                if chunk is None:
                    if self._make(True) is None:
                        finished = True
                        return
                    continue
                if not chunk.ready:
                    self._work_while_waiting(chunk)
                    continue
                yield from self._yield_chunk(chunk)
                del self.chunks[self.turn]
                self.turn += 1
        finally:
            self._stop(kill=not finished)
