"""JSON text of a converted tree, written piece by piece without recursion.

`json.dumps` with an indent recurses once per nesting level and gives up near the interpreter's
recursion limit, while `velmora.parse` converts far deeper documents. This writer keeps its own
stack and yields the same text as `json.dumps(tree, indent=indent, ensure_ascii=False)`.
"""

from __future__ import annotations

import json
from typing import Any, Iterator

_encode_str = json.encoder.encode_basestring  # the ensure_ascii=False string encoder
_END = object()


def _scalar(value: Any) -> str:
    if isinstance(value, str):
        return _encode_str(value)
    return json.dumps(value)  # None, and any number or boolean a caller may pass


def chunks(tree: Any, indent: int) -> Iterator[str]:
    pad = " " * indent
    # One entry per open container: its item iterator, whether it is a dict, its depth and
    # whether an item has been written yet.
    stack: list[tuple[Iterator[Any], bool, int, list[bool]]] = []

    def opening(value: Any, depth: int) -> str:
        if isinstance(value, (dict, list)):
            if not value:
                return "{}" if isinstance(value, dict) else "[]"
            is_dict = isinstance(value, dict)
            stack.append((iter(value.items() if is_dict else value), is_dict, depth, [False]))
            return "{" if is_dict else "["
        return _scalar(value)

    yield opening(tree, 0)
    while stack:
        items, is_dict, depth, started = stack[-1]
        item = next(items, _END)
        if item is _END:
            stack.pop()
            yield "\n" + pad * depth + ("}" if is_dict else "]")
            continue
        head = ("," if started[0] else "") + "\n" + pad * (depth + 1)
        started[0] = True
        if is_dict:
            key, item = item
            head += _encode_str(key) + ": "
        yield head + opening(item, depth + 1)
