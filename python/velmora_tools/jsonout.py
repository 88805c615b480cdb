"""JSON text of a converted tree as UTF-8 bytes: orjson when installed, else the standard library.

The text is that of ``json.dumps(tree, ensure_ascii=False, separators=(",", ":"))`` when compact
and of ``json.dumps(tree, ensure_ascii=False, indent=n)`` when indented, whichever library makes
it. Both libraries give up on deep nesting (orjson past 254 levels, json near the recursion
limit) while `velmora.parse` converts any depth, so a tree too deep for them is written by a loop
with its own stack.
"""

from __future__ import annotations

import json
from collections.abc import Buffer, Callable, Iterator
from typing import Any, Final

_orjson_dumps: Callable[..., bytes] | None
try:
    import orjson
except ImportError:  # optional: velmora[fast]
    _orjson_dumps = None
    _orjson_errors: tuple[type[Exception], ...] = ()
    _OPT_INDENT_2 = 0
else:
    _orjson_dumps = orjson.dumps
    _orjson_errors = (orjson.JSONEncodeError,)
    _OPT_INDENT_2 = orjson.OPT_INDENT_2

_encode_str: Final[Callable[[str], str]] = json.encoder.encode_basestring  # ensure_ascii=False
_END: Final = object()


def backend() -> str:
    """Which library writes compact JSON: "orjson" or "json"."""
    return "json" if _orjson_dumps is None else "orjson"


def dumps(tree: Any, indent: int | None = None, *, use_orjson: bool = True) -> bytes:
    """The JSON text of `tree`; compact when `indent` is None, else `indent` spaces per level."""
    if use_orjson and _orjson_dumps is not None and indent in (None, 2):
        try:
            return _orjson_dumps(tree, option=0 if indent is None else _OPT_INDENT_2)
        except _orjson_errors:
            pass  # nested too deep for it
    try:
        if indent is None:
            text = json.dumps(tree, ensure_ascii=False, separators=(",", ":"))
        else:
            text = json.dumps(tree, ensure_ascii=False, indent=indent)
    except RecursionError:
        text = "".join(chunks(tree, indent))
    return text.encode("utf-8")


def compact_pieces(tree: Any, *, run: int = 2048, fan_out: int = 64, depth: int = 6) -> Iterator[Buffer]:
    """The compact JSON text of `tree` (that of ``dumps(tree)``) in pieces, for writing while
    the next piece is made.

    The first `depth` levels are opened here when they hold at most `fan_out` items; a longer
    list there is cut into runs of `run` items, each written by one `dumps` call.
    """
    if depth > 0 and isinstance(tree, dict) and 0 < len(tree) <= fan_out:
        separator = b"{"
        for key, value in tree.items():
            yield separator + dumps(key) + b":"
            separator = b","
            yield from compact_pieces(value, run=run, fan_out=fan_out, depth=depth - 1)
        yield b"}"
    elif depth > 0 and isinstance(tree, list) and 0 < len(tree) <= fan_out:
        separator = b"["
        for value in tree:
            yield separator
            separator = b","
            yield from compact_pieces(value, run=run, fan_out=fan_out, depth=depth - 1)
        yield b"]"
    elif depth > 0 and isinstance(tree, list) and len(tree) > fan_out:
        for start in range(0, len(tree), run):
            text = memoryview(dumps(tree[start : start + run]))
            if start:
                yield b","
            yield text[1:-1] if start else text[:-1]  # the runs' own brackets dropped
        yield b"]"
    else:
        yield dumps(tree)


def _scalar(value: Any) -> str:
    if isinstance(value, str):
        return _encode_str(value)
    return json.dumps(value)  # None, and any number or boolean a caller may pass


def chunks(tree: Any, indent: int | None) -> Iterator[str]:
    """The JSON text of `tree` in pieces, without recursion (same text as `dumps`)."""
    pad = "" if indent is None else " " * indent
    newline = "" if indent is None else "\n"
    colon = ":" if indent is None else ": "
    # One entry per open container: its item iterator, whether it is a dict, its depth and
    # whether an item has been written yet.
    stack: list[tuple[Iterator[Any], bool, int, list[bool]]] = []

    def opening(value: Any, depth: int) -> str:
        if isinstance(value, dict):
            if not value:
                return "{}"
            stack.append((iter(value.items()), True, depth, [False]))
            return "{"
        if isinstance(value, list):
            if not value:
                return "[]"
            stack.append((iter(value), False, depth, [False]))
            return "["
        return _scalar(value)

    yield opening(tree, 0)
    while stack:
        items, is_dict, depth, started = stack[-1]
        item: Any = next(items, _END)
        if item is _END:
            stack.pop()
            yield newline + pad * depth + ("}" if is_dict else "]")
            continue
        head = ("," if started[0] else "") + newline + pad * (depth + 1)
        started[0] = True
        if is_dict:
            key, item = item
            head += _encode_str(key) + colon
        yield head + opening(item, depth + 1)
