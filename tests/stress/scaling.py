"""Timing helpers of the stress suite: time per MB of one shape at two sizes (the ratio shows
whether time grows linearly), printed next to flat records of similar size."""
import gc
import resource

import pytest

import velmora
from quiet import stderr_discarded  # tests/python, on the path via tools/stress.sh

MB = 1 << 20
# Time per MB at the full size may exceed that at an eighth of it by this factor before growth
# counts as worse than linear (allocation, caches and a machine shared with other jobs all add
# noise; a quadratic step is 8 times slower per MB and beyond).
LINEAR_SLACK = 3.0
_flat_rates = {}


def outcome(xml):
    """('ok', result) or ('panic', message)."""
    try:
        with stderr_discarded():
            return "ok", velmora.parse(xml)
    except BaseException as e:
        if type(e).__name__ != "PanicException":
            raise
        return "panic", e.args[0]


def timed_outcome(xml):
    """(seconds, outcome) of one call; the result is kept alive by the caller and freed after.
    Seconds of user CPU time of this process: the machine is shared, and wall time would also
    count other jobs. The kernel's time is left out too: a call on gigabytes takes its memory
    fresh from the system, and the time the kernel spends on each page of it varied from 0.5 to
    3.1 ms per MB between runs here, for the same number of page faults per MB."""
    gc.collect()
    start = resource.getrusage(resource.RUSAGE_SELF).ru_utime
    result = outcome(xml)
    return resource.getrusage(resource.RUSAGE_SELF).ru_utime - start, result


def available_memory():
    with open("/proc/meminfo") as f:
        for line in f:
            if line.startswith("MemAvailable:"):
                return int(line.split()[1]) * 1024
    return 0


def require_memory(gib):
    have = available_memory() / (1 << 30)
    if have < gib:
        pytest.skip(f"needs {gib} GiB of available memory, {have:.1f} GiB available")


def flat_records(nbytes):
    """A root holding records of about 100 bytes each, `nbytes` long in all."""
    record = '<rec id="{0}"><name>record {0}</name><value>{1}</value><flag/></rec>'
    filler = "v" * 40
    parts, size, i = ["<root>"], 6, 0
    while size < nbytes - 7:
        parts.append(record.format(i, filler))
        size += len(parts[-1])
        i += 1
    parts.append("</root>")
    return "".join(parts), i


def flat_rate(nbytes):
    """ms per MB of flat records of about `nbytes` (capped at 256 MiB to bound memory)."""
    nbytes = min(nbytes, 256 * MB)
    key = max(MB, 1 << (nbytes.bit_length() - 1))  # one measurement per power of two
    if key not in _flat_rates:
        doc, _ = flat_records(key)
        seconds, result = timed_outcome(doc)
        assert result[0] == "ok"
        del result, doc
        _flat_rates[key] = seconds * 1000 / (key / MB)
    return key, _flat_rates[key]


def rate(seconds, nbytes):
    return seconds * 1000 / (nbytes / MB)


def report(name, nbytes, seconds, small=None):
    """Prints time per MB of a case next to flat records of similar size; with `small`, the
    (bytes, seconds) of the same shape at an eighth of the size, checks growth is linear."""
    flat_size, flat = flat_rate(nbytes)
    line = (f"{name:<44} {nbytes / MB:9.1f} MB {seconds:8.2f} s user {rate(seconds, nbytes):8.2f} ms/MB"
            f" | flat records ({flat_size // MB} MB) {flat:6.2f} ms/MB")
    if small:
        small_rate = rate(small[1], small[0])
        line += f" | 1/8 size {small_rate:6.2f} ms/MB"
    print(line, flush=True)
    if small:
        # Short timings are noisy: allow 20 ms on top.
        assert seconds <= LINEAR_SLACK * small[1] * nbytes / small[0] + 0.02, line


def scaled(name, make, check, size):
    """Runs `make(n)` at n = size // 8 and n = size, checks both outcomes, reports the timings."""
    timings = []
    for n in (size // 8, size):
        doc = make(n)
        nbytes = len(doc) if doc.isascii() else len(doc.encode())
        best = None
        for _ in range(2 if nbytes < 64 * MB else 1):  # the faster of two runs, where cheap
            seconds, result = timed_outcome(doc)
            check(n, result)
            del result
            best = seconds if best is None else min(best, seconds)
        timings.append((nbytes, best))
        del doc
        gc.collect()
    report(name, timings[1][0], timings[1][1], small=timings[0])
