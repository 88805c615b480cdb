"""parse_many: every path's tree or exception, in input order, the same on any number of workers."""
import os
import pickle
import threading

import pytest

import velmora
from velmora_tools import PanicException, parse_file, parse_many
from velmora_tools.batch import CHUNKS_PER_WORKER, SizedChunks, ordered_map

GOOD = ['<r n="{i}"><x>{i}</x><x>caf\u00e9</x></r>', "<big>" + "<e a='1'>text</e>" * 20000 + "</big>", "", "plain"]
MALFORMED = ["<a></b>", "<a>", "<a x='1' x='2'/>"]


def outcome(path):
    try:
        return parse_file(path)
    except (Exception, PanicException) as exc:
        return exc


def same(a, b):
    """Trees equal, or exceptions of the same type with the same arguments (and file name)."""
    if isinstance(a, BaseException) or isinstance(b, BaseException):
        return type(a) is type(b) and a.args == b.args and getattr(a, "filename", None) == getattr(b, "filename", None)
    return a == b


@pytest.fixture
def folder(tmp_path):
    """Good, malformed, undecodable and unreadable paths, shuffled together; large ones first."""
    paths = []
    for i in range(40):
        kind = i % 10
        path = tmp_path / f"f{i:02}.xml"
        if kind == 3:
            path.write_text(MALFORMED[i % len(MALFORMED)], encoding="utf-8")
        elif kind == 5:
            path.write_bytes(b"<a>\xe9</a>")  # not UTF-8, nothing declared
        elif kind == 7:
            path = tmp_path / f"missing{i}.xml"
        elif kind == 8:
            path = tmp_path / f"dir{i}.xml"
            path.mkdir()
        else:
            path.write_text(GOOD[i % len(GOOD)].format(i=i), encoding="iso-8859-1" if kind == 9 else "utf-8")
            if kind == 9:
                path.write_bytes(b'<?xml version="1.0" encoding="latin-1"?>' + path.read_bytes())
        paths.append(str(path))
    return paths


@pytest.mark.parametrize("workers, chunksize", [(1, None), (2, None), (2, 1), (3, 7)])
def test_every_result_is_that_of_parse_file_in_input_order(folder, workers, chunksize, capfd):
    results = list(parse_many(folder, workers=workers, chunksize=chunksize))
    assert [path for path, _ in results] == folder
    for path, result in results:
        assert same(result, outcome(path)), path
    kinds = {type(result).__name__ for _, result in results}
    assert kinds == {"dict", "PanicException", "UnicodeDecodeError", "FileNotFoundError", "IsADirectoryError"}


def test_a_failure_from_a_worker_keeps_its_type_and_message(tmp_path, capfd):
    path = tmp_path / "bad.xml"
    path.write_text("<a></b>", encoding="utf-8")
    ((_, error),) = parse_many([path], workers=2)
    assert isinstance(error, PanicException)
    with pytest.raises(PanicException) as local:
        velmora.parse("<a></b>")
    assert error.args == local.value.args
    assert pickle.loads(pickle.dumps(error)).args == error.args


def test_paths_may_be_any_iterable_and_come_back_as_given(folder, capfd):
    given = [os.fsencode(p) if i % 2 else p for i, p in enumerate(folder[:12])]
    results = list(parse_many(iter(given), workers=2))
    assert [p for p, _ in results] == given
    assert all(same(r, outcome(p)) for p, r in results)


def test_closing_early_stops_the_batch(folder):
    good = [p for p in folder if os.path.isfile(p) and not p.endswith(("03.xml", "13.xml", "23.xml", "33.xml"))]
    batch = parse_many(good * 50, workers=2, chunksize=1)
    first = next(batch)
    assert first[0] == good[0] and isinstance(first[1], dict)
    batch.close()
    assert next(batch, None) is None


@pytest.mark.parametrize("workers, chunksize", [(0, None), (-1, None), (2, 0)])
def test_bad_counts_are_refused_at_the_call(workers, chunksize):
    with pytest.raises(ValueError):
        parse_many(["x.xml"], workers=workers, chunksize=chunksize)


def _square_or_fail(n):
    if n == 13:
        raise KeyError(n)
    return n * n


def test_an_exception_raised_by_the_function_itself_ends_the_iteration():
    results = ordered_map(_square_or_fail, range(20), workers=2, chunksize=3)
    assert [next(results) for _ in range(12)] == [(n, n * n) for n in range(12)]
    with pytest.raises(KeyError):
        list(results)


def first_key(tree):
    return next(iter(tree))


def keys_or_fail(tree):
    if "r" not in tree:
        raise LookupError(sorted(tree))
    return sorted(tree["r"])


@pytest.mark.parametrize("workers", [1, 2])
def test_then_runs_on_each_tree_and_failures_still_come_back(folder, workers, capfd):
    results = list(parse_many(folder, workers=workers, then=keys_or_fail))
    assert [p for p, _ in results] == folder
    for path, result in results:
        expected = outcome(path)
        if isinstance(expected, dict):
            expected = sorted(expected["r"]) if "r" in expected else LookupError(sorted(expected))
        assert same(result, expected), path
    assert sum(isinstance(r, LookupError) for _, r in results) > 0


def test_then_must_be_picklable_for_workers(tmp_path):
    (tmp_path / "a.xml").write_text("<a/>", encoding="utf-8")
    assert list(parse_many([tmp_path / "a.xml"], workers=1, then=lambda tree: len(tree))) == [(tmp_path / "a.xml", 1)]
    with pytest.raises((pickle.PicklingError, AttributeError)):  # the error differs between versions
        list(parse_many([tmp_path / "a.xml"], workers=2, then=lambda tree: len(tree)))


def test_a_parent_running_threads_starts_workers_without_fork(folder, capfd, recwarn):
    stop = threading.Event()
    thread = threading.Thread(target=stop.wait)
    thread.start()
    try:
        results = list(parse_many(folder[:12], workers=2))
    finally:
        stop.set()
        thread.join()
    assert [p for p, _ in results] == folder[:12]
    assert all(same(r, outcome(p)) for p, r in results)
    assert not [w for w in recwarn if "fork" in str(w.message)]


@pytest.mark.parametrize(
    ("count", "workers", "work_per_input", "target"),
    [
        (0, 2, 1.0, 10.0),
        (1, 2, 1.0, 10.0),
        (1000, 2, 1.0, 50.0),  # the target bounds the chunks
        (1000, 2, 1.0, 1e9),  # the even share of what is left bounds them
        (5000, 3, 0.0, 10.0),  # nothing measured: the share alone
        (37, 8, 5.0, 1.0),  # inputs bigger than the target: one at a time
    ],
)
def test_sized_chunks_cover_every_input_once_in_order_and_shrink_at_the_end(count, workers, work_per_input, target):
    items = list(range(count))
    chunks = SizedChunks(items, workers, target, first=4)
    seen: list[int] = []
    sizes = []
    for chunk in chunks:
        assert chunk, "no empty chunk"
        remaining = count - len(seen)
        if seen:  # after the first report, no chunk is above the target or the even share
            assert len(chunk) <= max(1, target // work_per_input if work_per_input else remaining)
            assert len(chunk) <= max(1, remaining // (workers * CHUNKS_PER_WORKER))
        seen.extend(chunk)
        sizes.append(len(chunk))
        chunks.done(len(chunk), len(chunk) * work_per_input)
    assert seen == items
    if count >= 1000:
        assert sizes[-1] < max(sizes[1:]), "the last chunks are the small ones"
        assert len(sizes) < count / 10, "few chunks for many small inputs"


# Forked workers: every kind of result comes back as this process would have made it, a lost
# worker costs only its own files, and nothing is left behind however the iteration ends.

import collections
import signal
import sys
import time

from velmora_tools import batch
from velmora_tools import WorkerLostError

MAIN_PID = os.getpid()
Pair = collections.namedtuple("Pair", "key size")


class TwoArgumentError(Exception):
    """Cannot be rebuilt from its args by pickle (its __init__ wants two)."""

    def __init__(self, key, size):
        super().__init__(f"{key}: {size}")


def odd_results(tree):
    """Results that marshal would change or pickle cannot carry, by the root's name."""
    key = next(iter(tree), "")
    size = len(str(tree))
    if key == "#text":
        raise TwoArgumentError(key, size)
    if key == "r":
        return Pair(key, size)  # a tuple subclass
    if key == "big":
        return bytearray(b"x" * (size % 7))  # marshal would give bytes
    if key == "":
        return {1.5, -0.0}
    return threading.Lock()  # neither marshal nor pickle takes it


def kill_worker(tree):
    if os.getpid() != MAIN_PID:
        os.kill(os.getpid(), signal.SIGKILL)
    return len(tree)


def children():
    """Processes whose parent is this one."""
    found = []
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                with open(f"/proc/{entry}/stat") as stat:
                    fields = stat.read().rsplit(")", 1)[1].split()
            except OSError:
                continue
            if int(fields[1]) == os.getpid():
                found.append(int(entry))
    return found


def spool_folders():
    return {name for name in os.listdir("/dev/shm") if name.startswith("velmora-")} if os.path.isdir("/dev/shm") else set()


@pytest.fixture(params=["fork", "pool"])
def engine(request, monkeypatch):
    """Both ways of running workers: forked by parse_many, or a process pool (where there is no fork)."""
    if request.param == "pool":
        monkeypatch.setattr(batch, "_can_fork", lambda: False)
    return request.param


@pytest.mark.parametrize("workers, chunksize, as_iterator", [(2, None, False), (3, None, False), (3, 2, False),
                                                             (2, None, True), (4, 1, True)])
def test_both_engines_give_parse_file_results(folder, engine, workers, chunksize, as_iterator, capfd):
    paths = folder * 3
    results = list(parse_many(iter(paths) if as_iterator else paths, workers=workers, chunksize=chunksize))
    assert [p for p, _ in results] == paths
    for path, result in results:
        assert same(result, outcome(path)), path


def test_a_tree_too_deep_for_marshal_and_pickle_still_comes_back(tmp_path, engine):
    deep = tmp_path / "deep.xml"
    deep.write_text("<a>" * 5000 + "x" + "</a>" * 5000, encoding="utf-8")
    shallow = tmp_path / "shallow.xml"
    shallow.write_text("<a>x</a>", encoding="utf-8")
    paths = [shallow, deep] * 6
    results = [tree for _, tree in parse_many(paths, workers=2, chunksize=1)]
    assert [chain(tree) for tree in results[1::2]] == [(5000, "x")] * 6 and results[::2] == [{"a": "x"}] * 6


def chain(tree):
    """The depth and the leaf of a chain of one-key dicts (compared without recursion)."""
    depth = 0
    while isinstance(tree, dict) and list(tree) == ["a"]:
        tree, depth = tree["a"], depth + 1
    return depth, tree


def test_then_results_keep_their_types_even_unpicklable_ones(folder, engine, capfd):
    paths = [p for p in folder if isinstance(outcome(p), dict)] * 3
    results = dict(parse_many(paths, workers=2, chunksize=2, then=odd_results))
    for path in paths:
        tree = outcome(path)
        local = outcome_of(odd_results, tree)
        got = results[path]
        assert type(got) is type(local), path
        if isinstance(local, BaseException):
            assert str(got) == str(local)
        elif not isinstance(local, type(threading.Lock())):
            assert got == local
    assert {type(r).__name__ for r in results.values()} >= {"Pair", "bytearray", "set", "TwoArgumentError"}


def outcome_of(func, tree):
    try:
        return func(tree)
    except Exception as exc:
        return exc


def test_a_worker_killed_costs_only_its_files_and_the_rest_converts(folder, capfd):
    good = [p for p in folder if isinstance(outcome(p), dict)] * 10
    before = set(children())  # a process pool's fork server, say
    started = time.monotonic()
    results = list(parse_many(good, workers=3, chunksize=3, then=kill_worker))
    assert time.monotonic() - started < 60
    assert [p for p, _ in results] == good
    lost = [r for _, r in results if isinstance(r, WorkerLostError)]
    assert lost and "killed by SIGKILL" in str(lost[0])
    assert len(lost) < len(good), "this process converted the rest"
    for path, result in results:
        assert isinstance(result, WorkerLostError) or result == len(outcome(path))
    assert set(children()) == before


def test_a_pool_worker_killed_ends_the_iteration_with_a_clear_error(folder, monkeypatch, capfd):
    from concurrent.futures.process import BrokenProcessPool

    monkeypatch.setattr(batch, "_can_fork", lambda: False)
    good = [p for p in folder if isinstance(outcome(p), dict)] * 4
    with pytest.raises(BrokenProcessPool):
        list(parse_many(good, workers=2, chunksize=3, then=kill_worker))


@pytest.mark.parametrize("how", ["close", "break", "raise"])
def test_ending_early_stops_the_workers_and_leaves_nothing(folder, how, capfd):
    good = [p for p in folder if isinstance(outcome(p), dict)] * 200
    before, processes = spool_folders(), set(children())

    def consume():
        batch_ = parse_many(good, workers=3)
        for index, (_, tree) in enumerate(batch_):
            assert isinstance(tree, dict)
            if index == 50:
                assert len(set(children()) - processes) == 2, "two workers forked"
                if how == "close":
                    batch_.close()
                    return
                if how == "break":
                    break
                raise KeyboardInterrupt

    if how == "raise":
        with pytest.raises(KeyboardInterrupt):
            consume()
    else:
        consume()
    assert set(children()) == processes
    assert spool_folders() == before


def test_what_was_printed_before_is_not_printed_again_by_the_workers(run_python, tmp_path):
    (tmp_path / "a.xml").write_text("<a>1</a>", encoding="utf-8")
    proc = run_python(f"""
        import sys
        from velmora_tools import parse_many
        print("before", end="")  # waits in the buffer: standard output is a pipe
        paths = [{str(tmp_path / "a.xml")!r}] * 200
        results = [tree for _, tree in parse_many(paths, workers=2, chunksize=5)]
        print(" after", len(results), results[-1])
    """, env={"PYTHONUNBUFFERED": None})
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout == "before after 200 {'a': '1'}\n"


def test_a_process_forked_meanwhile_holds_neither_the_end_nor_another_batch_up(folder, capfd):
    small = [p for p in folder if isinstance(outcome(p), dict) and os.path.getsize(p) < 1000]
    good = small * 30
    expected = [(outcome(p), len(outcome(p))) for p in small] * 30

    def timed_out(*_):
        raise TimeoutError("the batch did not end")

    previous = signal.signal(signal.SIGALRM, timed_out)
    signal.alarm(60)
    read_end, write_end = os.pipe()
    child = None
    try:
        outer = parse_many(good, workers=2)
        inner = parse_many(good, workers=2, then=len)
        pairs = []
        for index, ((path, tree), (_, size)) in enumerate(zip(outer, inner)):
            if index == 5:
                child = os.fork()
                if child == 0:  # lives on, holding every descriptor of the two batches, until told
                    os.read(read_end, 1)
                    os._exit(0)
            pairs.append((tree, size))
        assert pairs == expected
    finally:
        signal.alarm(0)
        signal.signal(signal.SIGALRM, previous)
        os.write(write_end, b"x")
        if child:
            os.waitpid(child, 0)


# This process converts later inputs while a worker's chunk is late; and with sizes steered by the
# work measured, workers get small chunks to the end. Results and raises keep their order.

FAILS_AT = 45


def square_slowly_in_workers(n):
    """n squared; in a worker process a few milliseconds late, so that this process waits and
    works ahead. Raises for FAILS_AT wherever it runs."""
    if os.getpid() != MAIN_PID:
        time.sleep(0.004)
    if n == FAILS_AT:
        raise KeyError(n)
    return n * n


def square(n):
    return n * n


@pytest.mark.parametrize("func, count, workers, chunksize, as_iterator", [
    (square_slowly_in_workers, FAILS_AT, 2, 3, False),  # every result, this process far ahead
    (square_slowly_in_workers, FAILS_AT, 3, None, False),
    (square_slowly_in_workers, FAILS_AT, 2, 4, True),
    (square, 20000, 2, None, False),  # many tiny inputs: the last chunks are the smallest worth sending
    (square, 20000, 3, None, False),
])
def test_results_stay_in_order_while_this_process_works_ahead(func, count, workers, chunksize, as_iterator):
    items = range(count)
    results = list(ordered_map(func, iter(items) if as_iterator else items, workers=workers, chunksize=chunksize))
    assert results == [(n, n * n) for n in items]


@pytest.mark.parametrize("workers, chunksize", [(2, 3), (2, None), (3, 2)])
def test_a_raise_in_an_input_converted_ahead_comes_at_its_turn(workers, chunksize):
    results = ordered_map(square_slowly_in_workers, range(2 * FAILS_AT), workers=workers, chunksize=chunksize)
    assert [next(results) for _ in range(FAILS_AT)] == [(n, n * n) for n in range(FAILS_AT)]
    with pytest.raises(KeyError):
        next(results)
