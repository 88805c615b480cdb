"""Very large inputs: a 1 GiB document, and an error found past 2^32 bytes of input."""
import gc

from scaling import MB, flat_records, report, require_memory, timed_outcome


def test_one_gib_of_flat_records():
    require_memory(10)  # the input, its records as dictionaries, and a 128 MiB run before it
    timings = []
    for size in (128 * MB, 1024 * MB):
        doc, count = flat_records(size)
        seconds, (kind, result) = timed_outcome(doc)
        assert kind == "ok"
        records = result["root"]["rec"]
        assert len(records) == count
        for i in (0, count // 2, count - 1):
            assert records[i] == {"@id": str(i), "name": f"record {i}", "value": "v" * 40, "flag": None}
        timings.append((len(doc), seconds))
        del doc, result, records
        gc.collect()
    report("1 GiB of flat records", *timings[1], small=timings[0])


def text_then_stray_end_tag(text_bytes):
    chunk = "abcdefgh" * (MB // 8)
    whole, rest = divmod(text_bytes, len(chunk))
    return "".join([chunk] * whole + [chunk[:rest], "</x>"])


def test_error_position_past_four_gib():
    # The input (4.3 GB) and the text value made from it before the stray end tag is met.
    require_memory(11)
    timings = []
    for text_bytes in ((1 << 32) // 8, (1 << 32) + 300 * MB):
        doc = text_then_stray_end_tag(text_bytes)
        seconds, (kind, message) = timed_outcome(doc)
        # The "<" of the end tag is at index text_bytes; the error names the byte after "</".
        assert (kind, message) == (
            "panic", f'Error at position {text_bytes + 2}: EndEventMismatch {{ expected: "", found: "x" }}')
        timings.append((len(doc), seconds))
        del doc
        gc.collect()
    report("text past 2^32 bytes, then a stray end tag", *timings[1], small=timings[0])
