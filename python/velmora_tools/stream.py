"""`iterparse`: the elements at one depth of an XML document, one at a time, in bounded memory.

The document is read in chunks. A native scanner (``velmora_tools._items``) finds each element
at the item depth with the reader's own rules, and ``velmora.parse`` converts that element's
text alone; nothing above the item depth is built, and only the element being read is held.
"""

from __future__ import annotations

import codecs
import os
from collections.abc import Buffer, Callable, Generator, Iterable, Iterator
from typing import Any, Final, NoReturn, Protocol

import velmora
from pyo3_runtime import PanicException

from velmora_tools import _items
from velmora_tools.encoding import HEAD_BYTES, detect
from velmora_tools.files import StrOrBytesPath

CHUNK_BYTES: Final = 1 << 20  # one read() of a file

Attributes = dict[str, Any] | None
Path = tuple[tuple[str, Attributes], ...]


class ChunkReader(Protocol):
    """A binary file, or anything whose ``read(size)`` returns at most `size` next bytes."""

    def read(self, size: int, /) -> bytes: ...


Source = StrOrBytesPath | ChunkReader | Iterable[Buffer]


def iterparse(source: Source, item_depth: int) -> Iterator[tuple[Path, Any]]:
    """The elements at depth `item_depth` of an XML document (the root element is depth 1), in
    document order, as ``(path, item)`` pairs.

    `source` is a path, a binary file (read in chunks with ``read(n)``) or an iterable of bytes
    chunks; the encoding is found as `parse_file` finds it. `item` is exactly what
    ``velmora.parse`` gives for the element's own text, the value under its name. `path` holds
    one ``(local name, attributes)`` pair per element from the root down to the item itself,
    attributes as ``parse`` gives them (``{"@k": "v"}``) or None when there are none.

    Failures: `PanicException` for malformed XML (items before it have been yielded). Inside an
    item the message is ``parse``'s for the item's text, with a note giving the item's byte
    offset; outside the items it is ``"Error at position N: "`` and the reader's error, N a byte
    offset in the document's UTF-8 text (a leading byte order mark not counted). OSError,
    UnicodeDecodeError and LookupError come as from `parse_file`, a decoding error with a note
    giving its offset. Closing the iterator early closes a file it opened and frees its buffers.
    """
    if isinstance(item_depth, bool) or not isinstance(item_depth, int):
        raise TypeError(f"item_depth must be an int, not {type(item_depth).__name__}")
    if item_depth < 1:
        raise ValueError(f"item_depth must be 1 or more, not {item_depth}")
    return _iterate(source, item_depth, None)


def iterate_with_progress(source: Source, item_depth: int, progress: Callable[[int], object]) -> Iterator[tuple[Path, Any]]:
    """`iterparse`, telling `progress` the number of bytes of each chunk read."""
    if item_depth < 1:
        raise ValueError(f"item_depth must be 1 or more, not {item_depth}")
    return _iterate(source, item_depth, progress)


def _iterate(source: Source, item_depth: int, progress: Callable[[int], object] | None) -> Iterator[tuple[Path, Any]]:
    chunks = _chunks(source, progress)
    marks: list[int] = []
    utf8 = _utf8(chunks, marks)
    scanner = _items.Scanner(item_depth, velmora.parse)
    try:
        for chunk in utf8:
            yield from scanner.feed(chunk)
            if scanner.failure is not None:
                _raise(scanner.failure, marks)
        yield from scanner.finish()
        if scanner.failure is not None:
            _raise(scanner.failure, marks)
    finally:
        scanner.close()
        utf8.close()
        chunks.close()


def _chunks(source: Source, progress: Callable[[int], object] | None) -> Generator[Buffer, None, None]:
    if isinstance(source, (str, bytes, os.PathLike)):
        with open(source, "rb") as file:
            yield from _reads(file, progress)
    elif hasattr(source, "read"):
        yield from _reads(source, progress)
    else:
        for chunk in source:
            if not isinstance(chunk, Buffer):
                raise TypeError(f"iterparse needs bytes chunks, not {type(chunk).__name__}")
            if progress is not None:
                progress(len(memoryview(chunk).cast("B")))
            yield chunk


def _reads(file: Any, progress: Callable[[int], object] | None) -> Iterator[Buffer]:
    while True:
        chunk = file.read(CHUNK_BYTES)
        if not isinstance(chunk, Buffer):
            raise TypeError(f"iterparse needs a binary file; read() returned {type(chunk).__name__}")
        if not chunk:
            return
        if progress is not None:
            progress(len(memoryview(chunk).cast("B")))
        yield chunk


def _utf8(chunks: Iterator[Buffer], marks: list[int]) -> Generator[Buffer, None, None]:
    """The document as UTF-8 without its byte order mark (whose length goes into `marks`)."""
    head = bytearray()
    for chunk in chunks:
        head += chunk
        if len(head) >= HEAD_BYTES:
            break
    codec, skip = detect(memoryview(head))
    marks.append(skip)
    if codec == "utf-8":
        if len(head) > skip:
            yield bytes(head[skip:])
        del head
        yield from chunks
        return
    decoder = codecs.getincrementaldecoder(codec)("strict")
    read = 0  # input bytes before the chunk being decoded
    try:
        text = decoder.decode(bytes(head[skip:]))
        read = len(head)
        del head
        yield text.encode("utf-8")
        for chunk in chunks:
            text = decoder.decode(chunk)
            yield text.encode("utf-8")
            read += len(memoryview(chunk).cast("B"))
        yield decoder.decode(b"", True).encode("utf-8")
    except UnicodeDecodeError as exc:
        start = read + exc.start + (skip if read == 0 else 0)
        exc.add_note(f"at byte {start} of the document")
        raise


def _raise(failure: tuple[Any, ...], marks: list[int]) -> NoReturn:
    kind = failure[0]
    if kind in ("item", "tag"):
        error = failure[2]
        what = "item" if kind == "item" else "start tag"
        error.add_note(f"in the {what} at byte offset {failure[1]}")
        raise error
    if kind == "utf8":
        try:
            failure[2].decode("utf-8")
        except UnicodeDecodeError as exc:
            exc.add_note(f"at byte {failure[1] + (marks[0] if marks else 0)} of the document")
            raise
        raise UnicodeDecodeError("utf-8", failure[2], 0, len(failure[2]), "invalid data")
    raise PanicException(failure[1])
