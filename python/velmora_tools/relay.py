"""Converting a list in chunks on forked processes that write their output themselves, in order.

Each worker claims the next chunk of the list, converts it, and writes the chunk's bytes
straight to the shared output descriptor when its turn has come; otherwise it leaves them in a
spool file and goes on with the next chunk, and whoever writes the chunk before it writes that
file too. The turn thus passes from chunk to chunk, the output is in list order, and this
process copies nothing: it only relays each chunk's report (the failures, the count) to the
caller, in order, while it waits.

The workers share a few counters in an anonymous shared mapping, guarded by a record lock on a
file of the spool folder (a lock the kernel drops with a process that dies holding it). A worker
that runs too far ahead of the turn waits on a pipe of its own, which whoever moves the turn
writes to.
"""

from __future__ import annotations

import contextlib
import errno
import fcntl
import marshal
import mmap
import os
import select
import signal
import struct
import sys
from collections.abc import Buffer, Callable, Iterator, Sequence
from typing import Any, Final

from velmora_tools.batch import SizedChunks
from velmora_tools.output import OutputError, send_file, write_all, write_spool_file

# Slots of the shared counters.
_NEXT_INPUT: Final = 0  # the first input not claimed yet
_NEXT_CHUNK: Final = 1  # the number of the next chunk to claim
_INPUTS_DONE: Final = 2  # inputs converted, and the bytes they gave: these size the chunks
_BYTES_DONE: Final = 3
_TURN: Final = 4  # the chunk whose bytes go to the output next
_WRITING: Final = 5  # 1 while a worker writes (the turn's chunk, then any spooled after it)
_STOP: Final = 6  # 1: claim nothing more
_OUTPUT_ERRNO: Final = 7  # why writing the output failed
_STAGGERED: Final = 8  # chunks sized by the work measured so far, up to the number of workers
_SLOTS: Final = 9
_WAITING: Final = _SLOTS * 8  # then one byte per worker: 1 while it waits for the turn to move,
# then one byte per chunk: 1 when its bytes wait in a spool file

_HEADER: Final = struct.Struct("=I")
_PARENT_CHECK_SECONDS: Final = 1.0  # a waiting worker checks this often that this process lives

Convert = Callable[[int, int], tuple[Sequence[Buffer], Any]]
"""Converts inputs ``start`` to ``stop``: their output bytes, and a report of them that
`marshal` can carry (made in the worker, handed to `on_chunk` here)."""


class WorkerLost(Exception):
    """A worker process ended before its chunk was written: the output stops before that chunk,
    or inside it when the worker ended while writing it."""

    def __init__(self, pid: int, wait_status: int) -> None:
        self.pid: int = pid
        self.wait_status: int = wait_status
        if os.WIFSIGNALED(wait_status):
            number = os.WTERMSIG(wait_status)
            try:
                name = signal.Signals(number).name
            except ValueError:
                name = f"signal {number}"
            how = f"was killed by {name}"
        else:
            how = f"ended with status {os.waitstatus_to_exitcode(wait_status)}"
        super().__init__(f"a worker process {how}; the output is cut short at the files it held")


class Relay:
    """`count` inputs converted in chunks on `workers` forked processes, written to `output_fd`.

    Chunks aim at `target_bytes` of output by what the inputs converted so far gave, and shrink
    towards the end (`SizedChunks`); no worker claims a chunk more than `ahead` chunks past the
    turn, which bounds the spooled bytes. `folder` holds the spool files and the lock.
    """

    def __init__(self, count: int, workers: int, output_fd: int, folder: str, target_bytes: float,
                 ahead: int | None = None) -> None:
        self.count: int = count
        self.workers: int = workers
        self.output_fd: int = output_fd
        self.folder: str = folder
        self.planner: SizedChunks[int] = SizedChunks(range(count), workers, target_bytes)
        self.ahead: int = ahead if ahead is not None else 3 * workers
        self.ready: int = _WAITING + workers  # where the chunks' flags start in `shared`
        self.shared: mmap.mmap = mmap.mmap(-1, self.ready + count + 2)
        self.counters: memoryview = memoryview(self.shared)[:_SLOTS * 8].cast("q")
        self.lock_fd: int = os.open(os.path.join(folder, "lock"), os.O_RDWR | os.O_CREAT | os.O_CLOEXEC, 0o600)
        self.wake_pipes: list[tuple[int, int]] = [os.pipe() for _ in range(workers)]
        self.index: int = -1  # which worker this process is; -1 in the parent
        self.parent: int = os.getpid()

    # The shared state.

    @contextlib.contextmanager
    def _locked(self) -> Iterator[memoryview]:
        fcntl.lockf(self.lock_fd, fcntl.LOCK_EX)
        try:
            yield self.counters
        finally:
            fcntl.lockf(self.lock_fd, fcntl.LOCK_UN)

    def _waiters(self) -> list[int]:
        """The workers waiting for the turn to move, no longer marked (call holding the lock)."""
        flags = self.shared[_WAITING : _WAITING + self.workers]
        if not any(flags):
            return []
        self.shared[_WAITING : _WAITING + self.workers] = bytes(self.workers)
        return [index for index, flag in enumerate(flags) if flag]

    def _wake(self, waiters: list[int]) -> None:
        for index in waiters:
            os.write(self.wake_pipes[index][1], b"\0")

    def _mark_waiting(self) -> None:
        """Holding the lock: this worker is to be woken when the turn moves."""
        self.shared[_WAITING + self.index] = 1

    def _wait(self) -> None:
        """Until woken (the turn moved or the work stopped; maybe earlier: the caller checks)."""
        own = self.wake_pipes[self.index][0]
        while not select.select([own], [], [], _PARENT_CHECK_SECONDS)[0]:
            if os.getppid() != self.parent:
                os._exit(1)  # orphaned: nobody reads the reports any more
        os.read(own, 1)

    def _stop(self, output_errno: int = 0) -> None:
        with self._locked() as state:
            state[_STOP] = 1
            if output_errno and not state[_OUTPUT_ERRNO]:
                state[_OUTPUT_ERRNO] = output_errno
            waiters = self._waiters()
        self._wake(waiters)

    def _spool_path(self, chunk: int) -> str:
        return os.path.join(self.folder, f"{chunk}.out")

    # A worker.

    def _claim(self) -> tuple[int, int, int] | None:
        """The next chunk: its number and its inputs' range; None when there is none left."""
        while True:
            with self._locked() as state:
                start = state[_NEXT_INPUT]
                if state[_STOP] or start >= self.count:
                    return None
                if state[_NEXT_CHUNK] - state[_TURN] < self.ahead:
                    self.planner.inputs_done, self.planner.work_done = state[_INPUTS_DONE], state[_BYTES_DONE]
                    size = self.planner.next_size(self.count - start)
                    if state[_INPUTS_DONE] and state[_STAGGERED] < self.workers:
                        # The first full-sized chunks are i/N of the size: the workers' chunks then
                        # end out of step, each mostly after the one before it is written, so
                        # few wait in a spool file (a second copy of their bytes).
                        state[_STAGGERED] += 1
                        size = max(1, size * state[_STAGGERED] // self.workers)
                    stop = start + size
                    chunk = state[_NEXT_CHUNK]
                    state[_NEXT_INPUT], state[_NEXT_CHUNK] = stop, chunk + 1
                    return chunk, start, stop
                self._mark_waiting()
            self._wait()

    def _take_turn(self, state: memoryview, chunk: int) -> bool:
        if state[_WRITING] or state[_TURN] != chunk:
            return False
        state[_WRITING] = 1
        return True

    def _spool(self, chunk: int, parts: Sequence[Buffer]) -> bool:
        # A full spool folder: wait for the turn instead.
        return write_spool_file(self._spool_path(chunk), parts, exclusive=False)

    def _deliver(self, chunk: int, inputs: int, parts: Sequence[Buffer] | None) -> None:
        """The chunk's bytes to the output now if its turn has come, else to a spool file for
        whoever writes the chunk before it; then, holding the turn, any spooled ones after it."""
        size = sum(memoryview(part).nbytes for part in parts or ())
        with self._locked() as state:
            state[_INPUTS_DONE] += inputs
            state[_BYTES_DONE] += size
            mine = self._take_turn(state, chunk)
        if not mine:
            if self._spool(chunk, parts or ()):
                with self._locked() as state:
                    self.shared[self.ready + chunk] = 1
                    mine = self._take_turn(state, chunk)
                if not mine:
                    return
                parts = None
            else:
                while not mine:
                    with self._locked() as state:
                        mine = self._take_turn(state, chunk)
                        if not mine:
                            if state[_STOP]:
                                return
                            self._mark_waiting()
                    if not mine:
                        self._wait()
        while True:
            try:
                if parts is not None:
                    write_all(self.output_fd, parts)
                    parts = None
                else:
                    path = self._spool_path(chunk)
                    send_file(path, self.output_fd)
                    os.unlink(path)
            except OSError as exc:
                with self._locked() as state:
                    state[_WRITING] = 0
                self._stop(exc.errno or errno.EIO)
                return
            with self._locked() as state:
                state[_TURN] = chunk + 1
                waiters = self._waiters()
                more = self.shared[self.ready + chunk + 1] == 1
                if not more:
                    state[_WRITING] = 0
            self._wake(waiters)
            if not more:
                return
            chunk += 1

    def _work(self, convert: Convert, reports: int) -> None:
        while (claim := self._claim()) is not None:
            chunk, start, stop = claim
            parts, report = convert(start, stop)
            record = marshal.dumps((chunk, start, stop, report))
            write_all(reports, [_HEADER.pack(len(record)), record])
            self._deliver(chunk, stop - start, parts)
            del parts
            if os.getppid() != self.parent:
                return

    def _worker(self, convert: Convert, reports: int) -> None:
        """A forked worker's whole life; it never returns into the caller's code."""
        status = 1
        try:
            signal.signal(signal.SIGINT, signal.SIG_IGN)  # this process stops the workers itself
            self._work(convert, reports)
            status = 0
        except BaseException:
            with contextlib.suppress(BaseException):
                sys.excepthook(*sys.exc_info())
                sys.stderr.flush()
        finally:
            os._exit(status)

    # This process.

    def run(self, convert: Convert, on_chunk: Callable[[int, int, Any], None]) -> None:
        """Converts every input; `on_chunk(start, stop, report)` here for each chunk, in order.

        Raises OutputError when the output could not be written, WorkerLost when a worker ended
        before its chunk was done. A KeyboardInterrupt (or `on_chunk` raising) ends the workers.
        """
        children: dict[int, int] = {}  # report pipe -> worker pid
        try:
            signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGINT})  # no interrupt between fork and ignore
            try:
                for index in range(self.workers):
                    read_end, write_end = os.pipe()
                    pid = os.fork()
                    if pid == 0:
                        for other in children:
                            os.close(other)
                        os.close(read_end)
                        self.index = index
                        signal.pthread_sigmask(signal.SIG_UNBLOCK, {signal.SIGINT})
                        self._worker(convert, write_end)
                    os.close(write_end)
                    children[read_end] = pid
            finally:
                signal.pthread_sigmask(signal.SIG_UNBLOCK, {signal.SIGINT})
            self._relay(children, on_chunk)
        finally:
            for pid in children.values():  # the ones still running: only after a failure here
                with contextlib.suppress(OSError):
                    os.kill(pid, signal.SIGKILL)
                with contextlib.suppress(OSError):
                    os.waitpid(pid, 0)
            for fd in children:
                with contextlib.suppress(OSError):
                    os.close(fd)
            for fd in (*(end for pipe in self.wake_pipes for end in pipe), self.lock_fd):
                os.close(fd)
        if self.counters[_OUTPUT_ERRNO]:
            number = self.counters[_OUTPUT_ERRNO]
            raise OutputError from OSError(number, os.strerror(number))

    def _relay(self, children: dict[int, int], on_chunk: Callable[[int, int, Any], None]) -> None:
        """The workers' reports handed on in chunk order, until every worker has ended."""
        buffers = {fd: bytearray() for fd in children}
        waiting: dict[int, tuple[int, int, Any]] = {}
        next_chunk = 0
        lost: WorkerLost | None = None
        poller = select.poll()
        for fd in children:
            poller.register(fd, select.POLLIN)
        while children:
            for fd, _ in poller.poll():
                data = os.read(fd, 1 << 16)
                if data:
                    buffer = buffers[fd]
                    buffer += data
                    while len(buffer) >= _HEADER.size:
                        (length,) = _HEADER.unpack_from(buffer)
                        if len(buffer) < _HEADER.size + length:
                            break
                        chunk, start, stop, report = marshal.loads(buffer[_HEADER.size : _HEADER.size + length])
                        del buffer[: _HEADER.size + length]
                        waiting[chunk] = (start, stop, report)
                    while next_chunk in waiting:
                        on_chunk(*waiting.pop(next_chunk))
                        next_chunk += 1
                    continue
                poller.unregister(fd)
                os.close(fd)
                pid = children.pop(fd)
                _, wait_status = os.waitpid(pid, 0)
                if wait_status != 0 and lost is None:
                    lost = WorkerLost(pid, wait_status)
                    self._stop()  # the turn can pass that worker's chunk no more
        if lost is not None and not self.counters[_OUTPUT_ERRNO]:
            raise lost
        if not self.counters[_STOP] and self.counters[_TURN] != self.counters[_NEXT_CHUNK]:
            raise RuntimeError("the workers ended with chunks unwritten")  # cannot happen
