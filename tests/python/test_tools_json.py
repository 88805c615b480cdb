"""JSON text of trees: orjson, the standard library and the loop writer for deep trees agree byte for byte."""
import json
import sys

import pytest

import velmora
from velmora_tools import jsonout

TREES = [
    {}, {"a": None}, {"a": []}, {"a": {}}, {"a": ["1", None, {}, [], {"b": "2"}]},
    {"k": "\u00e9 \u6771 \U0001f600 \"q\" \\ \t\n\r\x01\x1f \u2028 </script>"},
    velmora.parse('<r a="1"><x>1</x><x>2</x><y/><z k="v">t</z>' + "<w>v</w>" * 300 + "</r>"),
    velmora.parse("<r>" + "".join(f"<k{i}>{i}</k{i}>" for i in range(100)) + "</r>"),  # wide dict
    velmora.parse("<n>" * 300 + "deep" + "</n>" * 300),  # deeper than orjson goes
    velmora.parse("<n>" * 3000 + "<a/><a/>" + "</n>" * 3000),  # deeper than json goes
]
IDS = ["empty", "none", "empty-list", "empty-dict", "mixed", "escapes", "records", "wide", "deep300", "deep3000"]


def reference(tree, indent):
    """json.dumps's text, by its pure-Python encoder given room for the deepest tree here."""
    separators = (",", ":") if indent is None else (",", ": ")
    encoder = json.JSONEncoder(ensure_ascii=False, indent=indent, separators=separators)
    limit = sys.getrecursionlimit()
    sys.setrecursionlimit(20_000)
    try:
        return "".join(encoder.iterencode(tree))  # not one-shot: the C encoder is not used
    finally:
        sys.setrecursionlimit(limit)


@pytest.mark.parametrize("tree", TREES, ids=IDS)
@pytest.mark.parametrize("indent", [None, 0, 2, 3])
@pytest.mark.parametrize("use_orjson", [True, False], ids=["orjson", "json"])
def test_every_writer_gives_the_text_of_json_dumps(tree, indent, use_orjson):
    if use_orjson:
        pytest.importorskip("orjson")
    assert jsonout.dumps(tree, indent, use_orjson=use_orjson).decode("utf-8") == reference(tree, indent)


@pytest.mark.parametrize("tree", TREES, ids=IDS)
@pytest.mark.parametrize("run, fan_out, depth", [(2048, 64, 6), (1, 1, 6), (3, 2, 2), (7, 0, 10), (5, 64, 0)])
def test_compact_pieces_join_to_the_compact_text(tree, run, fan_out, depth):
    pieces = list(jsonout.compact_pieces(tree, run=run, fan_out=fan_out, depth=depth))
    assert b"".join(pieces) == jsonout.dumps(tree)
