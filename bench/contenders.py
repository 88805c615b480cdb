"""The functions the benchmark times, each prepared for one document.

`prepare(name, workload)` returns a zero-argument callable that converts the document once, or
raises `Unavailable` when the contender cannot take part (a missing package, no result tree to
build JSON text from). Failures of the call itself are the caller's business.
"""

from __future__ import annotations

import json
import marshal
import xml.etree.ElementTree as ElementTree
import xml.parsers.expat
from typing import Any, Callable

from workloads import Workload

try:
    import lxml.etree as lxml_etree
except ImportError:  # reported per contender, not fatal
    lxml_etree = None
try:
    import xmltodict
except ImportError:
    xmltodict = None
try:
    import orjson
except ImportError:
    orjson = None

import velmora

try:  # the level-by-level conversion, kept as the reference in test builds only
    import _velmora_test
except ImportError:
    _velmora_test = None

NAMES = ("velmora", "etree", "expat", "json", "orjson", "orjson-bytes", "marshal", "rebuild", "lxml", "xmltodict", "levelwise")
DESCRIPTIONS = {
    "velmora": "velmora.parse",
    "etree": "xml.etree.ElementTree.fromstring",
    "expat": "xml.parsers.expat, no handlers (tokenizing only)",
    "json": "json.loads of the same result tree as JSON text",
    "orjson": "orjson.loads of the same JSON text",
    "orjson-bytes": "orjson.loads of the same JSON text as UTF-8 bytes (as read from a file)",
    "marshal": "marshal.loads of the same result tree (object creation alone, a floor)",
    "rebuild": "the same result tree made through the C API from a compact program of it (the floor; test builds only)",
    "lxml": "lxml.etree.fromstring",
    "xmltodict": "xmltodict.parse",
    "levelwise": "velmora's level-by-level reference conversion (test builds only)",
}


class Unavailable(Exception):
    pass


def is_fatal(exc: BaseException) -> bool:
    """Exceptions that must stop the harness rather than count as a contender's failure."""
    return isinstance(exc, (KeyboardInterrupt, SystemExit, MemoryError))


def describe_failure(exc: BaseException) -> str:
    text = str(exc).splitlines()[0] if str(exc) else ""
    if len(text) > 80:
        text = text[:77] + "..."
    return f"{type(exc).__name__}: {text}" if text else type(exc).__name__


def velmora_tree_for(workload: Workload) -> Any:
    """velmora's result for the document; `Unavailable` if velmora cannot convert it."""
    try:
        return velmora.parse(workload.text)
    except BaseException as exc:
        if is_fatal(exc):
            raise
        raise Unavailable(f"no velmora result ({describe_failure(exc)})") from None


def json_text_for(workload: Workload) -> str:
    """JSON text of velmora's result for the document; `Unavailable` if velmora cannot convert it."""
    if workload.json_text is not None:
        return workload.json_text
    tree = velmora_tree_for(workload)
    try:
        return json.dumps(tree, ensure_ascii=False, separators=(",", ":"))
    except RecursionError:
        return _dumps_iteratively(tree)


def marshal_data_for(workload: Workload) -> bytes:
    """marshal form of velmora's result for the document (keys shared as in velmora's tree)."""
    tree = velmora_tree_for(workload)
    try:
        return marshal.dumps(tree)
    except ValueError as exc:  # nested deeper than marshal writes
        raise Unavailable(f"marshal cannot write the tree ({describe_failure(exc)})") from None


def _dumps_iteratively(tree: Any) -> str:
    """`json.dumps` without recursion, for result trees nested deeper than the C encoder allows."""
    out: list[str] = []
    # (is_raw_text, item): raw texts are written as they are, other items are encoded.
    stack: list[tuple[bool, Any]] = [(False, tree)]
    while stack:
        raw, item = stack.pop()
        if raw:
            out.append(item)
        elif isinstance(item, (dict, list)):
            is_dict = isinstance(item, dict)
            todo: list[tuple[bool, Any]] = [(True, "{" if is_dict else "[")]
            pairs: Any = item.items() if isinstance(item, dict) else ((None, v) for v in item)
            for i, (key, value) in enumerate(pairs):
                sep = "," if i else ""
                todo.append((True, sep + json.dumps(key, ensure_ascii=False) + ":" if is_dict else sep))
                todo.append((False, value))
            todo.append((True, "}" if is_dict else "]"))
            stack.extend(reversed(todo))
        else:
            out.append(json.dumps(item, ensure_ascii=False))
    return "".join(out)


def prepare(name: str, workload: Workload) -> Callable[[], object]:
    given, run = prepare_input(name, workload)
    return lambda: run(given)


def prepare_input(name: str, workload: Workload) -> tuple[Any, Callable[[Any], object]]:
    """The input the contender reads for the document (its text, the JSON text or marshal data of
    the tree) and the function that converts it, so that a caller can time the conversion of a
    copy of the input (see `fresh_copy`)."""
    text = workload.text
    if name == "velmora":
        return text, velmora.parse
    if name == "etree":
        return text, ElementTree.fromstring
    if name == "expat":
        create = xml.parsers.expat.ParserCreate

        def tokenize(given: str) -> None:
            create().Parse(given, True)

        return text, tokenize
    if name == "json":
        return json_text_for(workload), json.loads
    if name in ("orjson", "orjson-bytes"):
        if orjson is None:
            raise Unavailable("orjson not installed")
        json_text = json_text_for(workload)
        return (json_text if name == "orjson" else json_text.encode("utf-8")), orjson.loads
    if name == "marshal":
        return marshal_data_for(workload), marshal.loads
    if name == "rebuild":
        if _velmora_test is None:
            raise Unavailable("needs a test build (-DVELMORA_BUILD_TESTS=ON)")
        return _velmora_test.plan(velmora_tree_for(workload)), _velmora_test.rebuild
    if name == "lxml":
        if lxml_etree is None:
            raise Unavailable("lxml not installed")
        return text, lxml_etree.fromstring
    if name == "xmltodict":
        if xmltodict is None:
            raise Unavailable("xmltodict not installed")
        return text, xmltodict.parse
    if name == "levelwise":
        if _velmora_test is None:
            raise Unavailable("needs a test build (-DVELMORA_BUILD_TESTS=ON)")
        return text, _velmora_test.reference_parse
    raise ValueError(f"unknown contender {name!r}")


def fresh_copy(given: Any) -> Any:
    """A new object equal to `given`, holding nothing an earlier call left in it: a `str` is
    copied (ElementTree, expat and orjson ask it for its UTF-8 form, which CPython then keeps
    inside it, so a second call on the same object finds the encoding done); bytes keep nothing
    and are given as they are."""
    if isinstance(given, str):
        return (given + " ")[:-1]
    return given
