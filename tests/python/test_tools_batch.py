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
