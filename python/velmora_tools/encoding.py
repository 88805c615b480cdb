"""Choosing the character encoding of an XML document held as bytes, and decoding it to text.

The order is the one XML processors follow: a byte order mark decides; else the first bytes'
layout (``<?xm`` in UTF-16 or UTF-32 without a mark, or in EBCDIC) fixes the family and the XML
declaration is read in it; else the declaration's ``encoding`` names an 8-bit encoding; else
UTF-8. What the bytes show wins over what the declaration says: a declaration naming UTF-16 in
a document whose declaration reads as 8-bit text is stale, and UTF-8 is used.
"""

from __future__ import annotations

import codecs
import re
from collections.abc import Buffer
from typing import Final

# Marks, longest first: the UTF-32 LE mark begins with the UTF-16 LE one.
_BOMS: Final = (
    (b"\x00\x00\xfe\xff", "utf-32-be"),
    (b"\xff\xfe\x00\x00", "utf-32-le"),
    (b"\xef\xbb\xbf", "utf-8"),
    (b"\xfe\xff", "utf-16-be"),
    (b"\xff\xfe", "utf-16-le"),
)
# The first four bytes of "<?xm" (or "<?" in the 16-bit forms) in each layout without a mark.
_WIDE_LAYOUTS: Final = {
    b"\x00\x00\x00\x3c": "utf-32-be",
    b"\x3c\x00\x00\x00": "utf-32-le",
    b"\x00\x3c\x00\x3f": "utf-16-be",
    b"\x3c\x00\x3f\x00": "utf-16-le",
}
_EBCDIC_START: Final = b"\x4c\x6f\xa7\x94"  # "<?xm" in the EBCDIC code pages
HEAD_BYTES: Final = 1024  # an XML declaration longer than this is not looked for
_DECLARATION: Final = re.compile(r"[ \t\r\n]*<\?xml[ \t\r\n](.*?)\?>", re.DOTALL)
_ENCODING_ATTR: Final = re.compile(r"""\bencoding[ \t\r\n]*=[ \t\r\n]*(?:"([^"]*)"|'([^']*)')""")
_ENCODING_NAME: Final = re.compile(r"[A-Za-z][A-Za-z0-9._-]*\Z")


def declared_encoding(head: str) -> str | None:
    """The ``encoding`` of the XML declaration at the start of `head`, as written, if any."""
    declaration = _DECLARATION.match(head)
    if declaration is None:
        return None
    attr = _ENCODING_ATTR.search(declaration.group(1))
    if attr is None:
        return None
    return attr.group(1) if attr.group(1) is not None else attr.group(2)


def _codec(name: str) -> codecs.CodecInfo:
    """The text codec Python knows under `name`; LookupError naming it otherwise."""
    if _ENCODING_NAME.match(name):
        try:
            info = codecs.lookup(name)
        except LookupError:
            pass
        else:
            if getattr(info, "_is_text_encoding", True):
                return info
    raise LookupError(f"unknown encoding {name!r} in the XML declaration")


def _is_wide(info: codecs.CodecInfo) -> bool:
    return info.name.startswith(("utf-16", "utf-32"))


def detect(view: memoryview) -> tuple[str, int]:
    """The codec that decodes the document in `view` (a byte view), and the length of its mark."""
    start = bytes(view[:4])
    for bom, codec in _BOMS:
        if start.startswith(bom):
            return codec, len(bom)
    return _unmarked(view, start), 0


def _unmarked(view: memoryview, start: bytes) -> str:
    wide = _WIDE_LAYOUTS.get(start)
    if wide is not None:
        unit = 4 if "32" in wide else 2
        head = bytes(view[: HEAD_BYTES - HEAD_BYTES % unit]).decode(wide, "replace")
        name = declared_encoding(head)
        if name is not None:
            _codec(name)  # an unknown name is an error even where the layout decides
        return wide
    if start == _EBCDIC_START:
        name = declared_encoding(bytes(view[:HEAD_BYTES]).decode("cp037"))
        return "cp037" if name is None else _codec(name).name
    name = declared_encoding(bytes(view[:HEAD_BYTES]).decode("latin-1"))
    if name is None:
        return "utf-8"
    info = _codec(name)
    return "utf-8" if _is_wide(info) else info.name


def decode(data: Buffer) -> str:
    """The text of the XML document in `data`, decoded in the encoding `detect` chooses.

    A byte order mark is not part of the text. Raises UnicodeDecodeError (whose ``start`` is the
    offset of the first bad byte in `data`) or LookupError for an unknown declared encoding.
    """
    view = memoryview(data)
    if view.ndim != 1 or view.format not in ("B", "b", "c"):
        view = view.cast("B")
    codec, skip = detect(view)
    try:
        return str(view[skip:], codec)
    except UnicodeDecodeError as exc:
        if not skip:
            raise
        whole = data if isinstance(data, bytes) else view.tobytes()
        error = UnicodeDecodeError(exc.encoding, whole, exc.start + skip, exc.end + skip, exc.reason)
    raise error  # raised outside the handler: not chained to the error with offsets after the mark
