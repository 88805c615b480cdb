"""Converting many files on worker processes, results in input order: `parse_many`.

`velmora.parse` holds the interpreter lock for a whole call, so threads would take turns; worker
processes run conversions side by side. Where it can fork, this process forks its workers and
converts a share itself (velmora_tools.pool); elsewhere a process pool converts. Paths go to the
workers in chunks, which keeps the cost of handing out work small next to the work for small
files; when their number is known, the chunks are sized by the processor time earlier ones
took and shrink towards the end, so the workers finish together. Only a few chunks per worker
are in flight, so results wait in memory only as long as an earlier, slower chunk does.
"""

from __future__ import annotations

import functools
import itertools
import os
import sys
import threading
from collections import deque
from collections.abc import Callable, Iterable, Iterator, Sequence, Sized
from typing import TYPE_CHECKING, Any, Final, Generic, TypeVar, overload

from pyo3_runtime import PanicException

from velmora_tools.files import StrOrBytesPath, parse_file

if TYPE_CHECKING:
    from concurrent.futures import Future
    from multiprocessing.context import BaseContext

P = TypeVar("P", bound=StrOrBytesPath)
T = TypeVar("T")
R = TypeVar("R")

UNSIZED_CHUNK: Final = 16  # inputs per task when their number is not known
CHUNKS_PER_WORKER: Final = 4  # at least this many tasks per worker for what is left
IN_FLIGHT_PER_WORKER: Final = 3  # tasks submitted ahead per worker
# Work per task when the number of inputs is known: enough that handing out a task costs little
# next to it (about a quarter of a millisecond), small enough to keep results in memory few.
CHUNK_SECONDS: Final = 0.02


class SizedChunks(Generic[T]):
    """Splits a list of inputs into chunks, steered by how much work the finished ones held.

    Each chunk aims at `target` units of work (bytes, say) by the average per input reported so
    far through `done`, and holds no more than an even share of what is left
    (``remaining / (workers * CHUNKS_PER_WORKER)``): few chunks, so little cost per chunk,
    shrinking towards the end, so every worker finishes at about the same time. Until the
    first report, chunks hold `first` inputs. Iterate it once, lazily, while reporting.
    """

    def __init__(self, items: Sequence[T], workers: int, target: float, first: int = 8) -> None:
        self.items: Sequence[T] = items
        self.workers: int = workers
        self.target: float = target
        self.first: int = first
        self.inputs_done: int = 0
        self.work_done: float = 0.0

    def done(self, inputs: int, work: float) -> None:
        """A finished chunk of `inputs` inputs held `work` units of work."""
        self.inputs_done += inputs
        self.work_done += work

    def next_size(self, remaining: int) -> int:
        if self.inputs_done == 0:
            wanted = self.first
        else:
            per_input = self.work_done / self.inputs_done
            wanted = int(self.target / per_input) if per_input > 0 else remaining
        share = remaining // (self.workers * CHUNKS_PER_WORKER)
        return max(1, min(wanted, share, remaining))

    def __iter__(self) -> Iterator[list[T]]:
        start = 0
        while start < len(self.items):
            size = self.next_size(len(self.items) - start)
            yield list(self.items[start : start + size])
            start += size


def thread_count() -> int:
    """Threads of this process, those started outside Python included where the system says."""
    try:
        return len(os.listdir("/proc/self/task"))
    except OSError:
        return threading.active_count()


def _context() -> BaseContext:
    """Fork while this process runs one thread (fast, and safe then); else a fork server."""
    import multiprocessing

    methods = multiprocessing.get_all_start_methods()
    if "fork" in methods and thread_count() == 1:
        return multiprocessing.get_context("fork")
    return multiprocessing.get_context("forkserver" if "forkserver" in methods else "spawn")


def _run_chunk(func: Callable[[T], R], chunk: list[T], trees: bool) -> tuple[bytes, float]:
    """The results of a chunk encoded for `pool.Encoded`, and the processor time they took
    (which steers the chunk sizes)."""
    from velmora_tools.pool import convert_chunk

    parts, seconds = convert_chunk(func, chunk, trees)
    return b"".join(parts), seconds


def ordered_map(
    func: Callable[[T], R], items: Iterable[T], workers: int | None = None, chunksize: int | None = None
) -> Iterator[tuple[T, R]]:
    """``(item, func(item))`` for every item, in input order, computed on `workers` processes.

    `func` must be picklable (a module-level function or a partial of one) and should return
    failures rather than raise them: an exception it raises ends the iteration. ``workers=1``
    runs in this process. Closing the iterator early stops the workers.
    """
    return _ordered_map(func, items, workers, chunksize, trees=False)


def _ordered_map(
    func: Callable[[T], R], items: Iterable[T], workers: int | None, chunksize: int | None, trees: bool
) -> Iterator[tuple[T, R]]:
    """`ordered_map`; with `trees`, `func` returns `parse_file` trees or exceptions, which
    travel back quicker than other results."""
    if workers is None:
        workers = os.cpu_count() or 1
    if workers < 1:
        raise ValueError(f"workers must be 1 or more, not {workers}")
    if chunksize is not None and chunksize < 1:
        raise ValueError(f"chunksize must be 1 or more, not {chunksize}")
    if workers == 1:
        return ((item, func(item)) for item in items)
    import pickle

    pickle.dumps(func)  # refused here, as a start method other than fork refuses it
    if isinstance(items, Sized):
        return _sized(func, list(items), workers, chunksize, trees)
    return _unsized(func, iter(items), workers, chunksize or UNSIZED_CHUNK, trees)


def _can_fork() -> bool:
    """Whether this process may fork its workers: where fork is the usual start method, and
    while this process runs one thread (a fork takes only the calling thread along)."""
    return hasattr(os, "fork") and sys.platform != "darwin" and thread_count() == 1


def _sized(func: Callable[[T], R], items: list[T], workers: int, chunksize: int | None,
           trees: bool) -> Iterator[tuple[T, R]]:
    planner = SizedChunks(items, workers, CHUNK_SECONDS)
    if _can_fork():
        from velmora_tools.pool import Source

        next_size = planner.next_size if chunksize is None else (lambda _remaining: chunksize)
        yield from _on_forks(func, Source(items, next_size), items, min(workers, len(items)), trees,
                             planner.done if chunksize is None else None)
    elif chunksize is None:
        yield from _on_processes(func, iter(planner), workers, planner, trees)
    else:
        source = iter(items)
        yield from _on_processes(func, iter(lambda: list(itertools.islice(source, chunksize)), []), workers,
                                 None, trees)


def _unsized(func: Callable[[T], R], items: Iterator[T], workers: int, chunksize: int,
             trees: bool) -> Iterator[tuple[T, R]]:
    if _can_fork():
        from velmora_tools.pool import Source

        yield from _on_forks(func, Source(items, None, chunksize), None, workers, trees, None)
    else:
        yield from _on_processes(func, iter(lambda: list(itertools.islice(items, chunksize)), []), workers,
                                 None, trees)


def _on_forks(func: Callable[[T], R], source: Any, items: list[T] | None, workers: int, trees: bool,
              on_done: Callable[[int, float], None] | None) -> Iterator[tuple[T, R]]:
    """On `workers - 1` forked processes and this one (see velmora_tools.pool)."""
    if workers <= 1:
        while (chunk := source.next()) is not None:
            for item in chunk[1]:
                yield item, func(item)
        return
    from velmora_tools.output import spool_folder
    from velmora_tools.pool import Forks

    with spool_folder() as folder:
        yield from Forks(func, source, items, workers - 1, trees, folder, on_done).results()


def _on_processes(
    func: Callable[[T], R], chunks: Iterator[list[T]], workers: int, planner: SizedChunks[T] | None, trees: bool
) -> Iterator[tuple[T, R]]:
    """On a pool of `workers` processes started by a fork server (or spawned)."""
    from concurrent.futures import ProcessPoolExecutor  # imported when needed: a quick start for one file

    from velmora_tools.pool import REDO, Encoded

    pending: deque[tuple[list[T], Future[tuple[bytes, float]]]] = deque()
    with ProcessPoolExecutor(max_workers=workers, mp_context=_context()) as pool:
        try:
            while True:
                while len(pending) < workers * IN_FLIGHT_PER_WORKER:
                    chunk = next(chunks, None)
                    if chunk is None:
                        break
                    pending.append((chunk, pool.submit(_run_chunk, func, chunk, trees)))
                if not pending:
                    return
                chunk, future = pending.popleft()
                payload, seconds = future.result()
                if planner is not None:
                    planner.done(len(chunk), seconds)
                encoded = Encoded(payload)
                del payload
                for position, item in enumerate(chunk):
                    value = encoded.take(position)
                    yield item, (func(item) if value is REDO else value)
        finally:
            pool.shutdown(wait=True, cancel_futures=True)


def parse_outcome(
    path: StrOrBytesPath, then: Callable[[dict[str, Any]], object] | None = None
) -> object | BaseException:
    """`parse_file` of `path` (passed to `then` if given), or the exception raised on the way
    (except KeyboardInterrupt and SystemExit, which are not caught)."""
    try:
        tree = parse_file(path)
        return tree if then is None else then(tree)
    except (Exception, PanicException) as exc:
        exc.__traceback__ = None  # frames do not cross to the parent; keep the object small
        return exc


@overload
def parse_many(
    paths: Iterable[P], workers: int | None = None, *, chunksize: int | None = None, then: None = None
) -> Iterator[tuple[P, dict[str, Any] | BaseException]]: ...


@overload
def parse_many(
    paths: Iterable[P], workers: int | None = None, *, chunksize: int | None = None,
    then: Callable[[dict[str, Any]], T],
) -> Iterator[tuple[P, T | BaseException]]: ...


def parse_many(
    paths: Iterable[P], workers: int | None = None, *, chunksize: int | None = None,
    then: Callable[[dict[str, Any]], object] | None = None,
) -> Iterator[tuple[P, object]]:
    """``(path, parse_file(path))`` for every path, in input order, converted on `workers` processes.

    A file that fails gives, in place of its tree, the exception `parse_file` raised: OSError
    (unreadable), UnicodeDecodeError or LookupError (undecodable), `PanicException`
    (malformed); the batch goes on. `workers` defaults to the number of CPUs; ``workers=1``
    converts in this process.

    Where processes can be forked (Linux, say, while this process runs one thread), this
    process is one of the `workers`: it forks the others, and converts a share of the files
    itself, sized so that it is done with them when the workers are done with theirs while it
    rebuilds what they send. Elsewhere the conversions run on a pool of `workers` processes.
    `chunksize` fixes the files per chunk handed to a worker; by default chunks are sized by the
    time earlier ones took when `paths` has a length, else 16.

    Whole trees cost: every tree a worker converts is rebuilt in this process, and that costs
    most of a parse (0.85 of one), so with whole trees coming back two workers convert small
    files only about 1.2 times as fast as one, and more workers add little: this process is
    the bottleneck. `then`, a picklable function, runs on each tree (in the worker that
    converted it, or here) and only its result comes back; an exception it raises is returned
    in place of the result. Give it whenever less than the whole tree is needed: then the work
    scales with the workers.

    A worker that dies (killed, say) takes the files it held with it: each gets a
    `WorkerLostError` in place of its result, and the batch goes on. Leaving the loop early
    (or closing the iterator) stops the workers at once.
    """
    job = parse_outcome if then is None else functools.partial(parse_outcome, then=then)
    return _ordered_map(job, paths, workers, chunksize, trees=then is None)
