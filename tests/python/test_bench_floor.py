"""The benchmark's floor: a result rebuilt from its program is equal to it and made anew, all
but its keys, so that timing it times the making of every object of the result."""

import sys

import pytest

import velmora

t = pytest.importorskip("_velmora_test")


def containers_and_values(tree, out):
    """Every dict, list and value str of `tree`, and its keys, in document order."""
    if isinstance(tree, dict):
        out["made"].append(tree)
        for key, value in tree.items():
            out["keys"].append(key)
            containers_and_values(value, out)
    elif isinstance(tree, list):
        out["made"].append(tree)
        for value in tree:
            containers_and_values(value, out)
    elif isinstance(tree, str):
        out["made"].append(tree)
    return out


DOCUMENTS = [
    "<a/>",
    "<a>text</a>",
    '<r a="1"><x>1</x><x>2</x><y/><z k="v">t</z></r>',
    "<r><x>1</x><x><y>2</y><y/></x>tail</r>",
    "<r><p>caf\u00e9</p><p>\u20ac</p><p>\U0001f600</p><p>plain</p></r>",
    "<n>" * 300 + "leaf" + "</n>" * 300,
]


@pytest.mark.parametrize("xml", DOCUMENTS)
def test_rebuilt_tree_is_equal_and_new(xml):
    tree = velmora.parse(xml)
    rebuilt = t.rebuild(t.plan(tree))
    assert rebuilt == tree
    old, new = containers_and_values(tree, {"made": [], "keys": []}), containers_and_values(rebuilt, {"made": [], "keys": []})
    # Each object made anew (strs of the same kind, so made as the conversion makes them) ...
    assert all(a is not b for a, b in zip(old["made"], new["made"]))
    assert [type(a) for a in old["made"]] == [type(b) for b in new["made"]]
    assert [sys.getsizeof(a) for a in old["made"] if isinstance(a, str)] == [
        sys.getsizeof(b) for b in new["made"] if isinstance(b, str)
    ]
    # ... and the keys shared, as a conversion shares them.
    assert all(a is b for a, b in zip(old["keys"], new["keys"]))


BROKEN = [
    (b"", ()),  # no value
    (b"\x09", ()),  # no such step
    (b"\x01\x03\x00\x00\x00\x00", ("k",)),  # a dict never ended
    (b"\x01\x03\x01\x00\x00\x00\x05\x06", ("k",)),  # no such key
    (b"\x01\x05\x06", ()),  # a dict's value without a key
    (b"\x06", ()),  # an end with nothing open
    (b"\x04\x00\x09\x00\x00\x00ab", ()),  # a str longer than the program
    (b"\x05\x05", ()),  # two values
]


@pytest.mark.parametrize("program", BROKEN)
def test_rebuild_refuses_a_broken_program(program):
    with pytest.raises(ValueError):
        t.rebuild(program)


@pytest.mark.parametrize("given", [None, b"\x05", (b"\x05",), ("\x05", ())])
def test_rebuild_refuses_what_plan_does_not_give(given):
    with pytest.raises(TypeError):
        t.rebuild(given)
