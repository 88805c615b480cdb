"""`parse_bytes` and `parse_file`: `velmora.parse` of a document held as bytes or in a file."""

from __future__ import annotations

import os
from collections.abc import Buffer
from typing import Any, Protocol

import velmora

from velmora_tools.encoding import decode

StrOrBytesPath = str | bytes | os.PathLike[str] | os.PathLike[bytes]


class BinaryReader(Protocol):
    """A binary file, or anything whose ``read()`` returns the rest of its bytes."""

    def read(self, /) -> bytes: ...


def parse_bytes(data: Buffer) -> dict[str, Any]:
    """`velmora.parse` of the text of the XML document in `data` (bytes, bytearray, memoryview...).

    The encoding comes from a byte order mark, else from the XML declaration, else is UTF-8.
    Raises UnicodeDecodeError (``start`` is the offset of the bad byte in `data`), LookupError
    for an unknown declared encoding, or `PanicException` for a malformed document.
    """
    return velmora.parse(decode(data))


def read_bytes(source: StrOrBytesPath | BinaryReader) -> Buffer:
    """All bytes of a file given by path or as an open binary file, read in one call."""
    if isinstance(source, (str, bytes, os.PathLike)):
        with open(source, "rb") as file:
            return file.read()
    data: object = source.read()
    if not isinstance(data, Buffer):
        raise TypeError(f"parse_file needs a binary file; read() returned {type(data).__name__}")
    return data


def parse_file(source: StrOrBytesPath | BinaryReader) -> dict[str, Any]:
    """`parse_bytes` of the whole content of a file, given by path or as an open binary file.

    The file is read once; its bytes are released before the text is parsed. OSError from
    opening or reading comes through unchanged.
    """
    data = read_bytes(source)
    text = decode(data)
    del data
    return velmora.parse(text)
