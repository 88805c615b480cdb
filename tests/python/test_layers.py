"""The source tree's layers, read from its includes: each folder under src/ includes only itself
and the layers below it, the two Python-free layers include no CPython header, and no files
include each other in a circle."""
import pathlib
import re

import pytest

SRC = pathlib.Path(__file__).resolve().parents[2] / "src"
INCLUDE = re.compile(r'^\s*#\s*include\s*([<"])([^">]+)[">]', re.MULTILINE)

# Each layer and the layers it may include, besides itself.
ALLOWED = {
    "reader": set(),
    "failure": set(),
    "stream": {"reader"},  # the item scanner of streamed documents, at the reader's level
    "cpython": {"failure", "reader"},
    "convert": {"cpython", "failure", "reader"},
    "module": {"convert", "cpython", "failure", "reader", "stream"},
}
PYTHON_FREE = ["reader", "failure", "stream"]


def sources():
    return sorted(p for p in SRC.rglob("*") if p.suffix in (".h", ".cpp"))


def project_includes(path):
    """The files under src/ that `path` includes, as paths relative to src/."""
    text = path.read_text(encoding="utf-8")
    return [name for kind, name in INCLUDE.findall(text) if kind == '"' and (SRC / name).is_file()]


def unit(relative):
    """A header and its implementation count as one unit: "cpython/pyerr"."""
    return str(pathlib.PurePosixPath(relative).with_suffix(""))


def test_every_folder_is_a_known_layer():
    assert {p.parent.name for p in sources()} == set(ALLOWED)


@pytest.mark.parametrize("layer", sorted(ALLOWED))
def test_layer_includes_only_layers_below(layer):
    upward = []
    for path in sorted((SRC / layer).glob("*")):
        if path.suffix not in (".h", ".cpp"):
            continue
        for name in project_includes(path):
            target = name.split("/")[0]
            if target != layer and target not in ALLOWED[layer]:
                upward.append(f"{path.relative_to(SRC)} -> {name}")
    assert upward == []


@pytest.mark.parametrize("layer", PYTHON_FREE)
def test_python_free_layer_has_no_cpython_header(layer):
    found = [str(p.relative_to(SRC)) for p in (SRC / layer).glob("*")
             if p.suffix in (".h", ".cpp") and "Python.h" in [n for _, n in INCLUDE.findall(p.read_text(encoding="utf-8"))]]
    assert found == []


def test_no_units_include_each_other_in_a_circle():
    graph = {}
    for path in sources():
        me = unit(path.relative_to(SRC).as_posix())
        graph.setdefault(me, set()).update(unit(n) for n in project_includes(path) if unit(n) != me)
    circles = []
    state = {}  # 1: on the current path, 2: finished

    def visit(node, trail):
        state[node] = 1
        for nxt in sorted(graph.get(node, ())):
            if state.get(nxt) == 1:
                circles.append(trail[trail.index(nxt):] + [nxt])
            elif nxt not in state:
                visit(nxt, trail + [nxt])
        state[node] = 2

    for node in sorted(graph):
        if node not in state:
            visit(node, [node])
    assert circles == []
