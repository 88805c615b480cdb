"""Calls from many threads at once get exactly what one thread gets."""
import sys
import threading

import differential
import test_robust_leaks
import velmora
import xmlgen
from quiet import stderr_discarded

THREADS = 8
CALLS_PER_THREAD = 2000


def outcome(xml):
    try:
        return ("ok", differential.ordered(velmora.parse(xml)))
    except BaseException as e:
        return (type(e).__name__, e.args)


def documents():
    gen = xmlgen.Generator(2024)
    docs = [gen.case() for _ in range(150)]
    return docs + test_robust_leaks.GOOD + test_robust_leaks.FAILING + [123, b"<a/>", "\udc80"]


def test_eight_threads_get_the_single_thread_results():
    docs = documents()
    with stderr_discarded():
        expected = [outcome(xml) for xml in docs]
        assert {kind for kind, _ in expected} >= {"ok", "PanicException", "TypeError", "UnicodeEncodeError"}
        mismatches = []
        start = threading.Barrier(THREADS)

        def worker(offset):
            start.wait()
            for i in range(CALLS_PER_THREAD):
                k = (offset * 37 + i) % len(docs)  # each thread walks the documents in its own order
                got = outcome(docs[k])
                if got != expected[k]:
                    mismatches.append((docs[k], got, expected[k]))

        interval = sys.getswitchinterval()
        sys.setswitchinterval(1e-5)  # switch threads as often as the interpreter allows
        try:
            threads = [threading.Thread(target=worker, args=(n,)) for n in range(THREADS)]
            for t in threads:
                t.start()
            for t in threads:
                t.join()
        finally:
            sys.setswitchinterval(interval)
    assert mismatches == []
