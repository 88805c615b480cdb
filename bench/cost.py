"""Instructions per input byte of one conversion, split by where they go, counted by callgrind
(steady on a busy machine, where times are not).

    PYTHONPATH=build:python .venv/bin/python bench/cost.py [--size BYTES] [WORKLOAD ...]

For each workload it runs this same file under `valgrind --tool=callgrind` three times, each
counting only inside one function: `velmora.parse` (the conversion), the JSON decoder's scanner
(`json.loads` of the same tree) and `marshal.loads` of the same tree. The conversion's count is
split by callgrind_annotate's inclusive counts into:

- reader: the reader's own functions (events, attributes, unescaping, UTF-8 checks);
- CPython objects: making the str, dict and list objects and storing into them;
- argument: reading the `str` argument (encoding it to UTF-8, in a build that does that);
- walk: the rest, the walk's own work between the two.

Workloads: flat-records, text-scripts (text_heavy), text-ascii, text-greek, chains-100, siblings, entity-refs,
namespaced, and the real-world mixes mix-feed, mix-config, mix-soap, mix-drawing, mix-office.
"""

from __future__ import annotations

import argparse
import json
import marshal
import os
import pathlib
import re
import subprocess
import sys
import tempfile

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import workloads  # noqa: E402

MAKERS = {
    "flat-records": workloads.flat_records,
    "text-scripts": workloads.text_heavy,
    "text-ascii": workloads.paragraphs,
    "text-greek": lambda n: workloads.paragraphs(n, greek=True),
    "chains-100": workloads.chains(100),
    "siblings": workloads.repeated_siblings,
    "entity-refs": workloads.entity_heavy,
    "namespaced": workloads.namespaced,
    **{name.replace(":", "-"): make for name, make in workloads.REAL_WORLD.items()},
}
# Where each counted run starts (callgrind --toggle-collect patterns): for velmora the
# conversion and the reading of its argument (a build that encodes a non-ASCII str to UTF-8 for
# the call does it in call_text; the current one looks for surrogates in argument_units).
TOGGLES = {
    "velmora": ["velmora::convert::parse_document*", "velmora::py::call_text*", "velmora::py::argument_units*"],
    "json": ["scanner_call"],
    "marshal": ["marshal_loads"],
}
ARGUMENT = re.compile(r"^velmora::py::(call_text|argument_units)\(")
# The conversion's callees, by the part they belong to (inclusive counts of the outermost calls).
READER = re.compile(r"^velmora::reader::")
# (A str the toolkit makes itself calls PyObject_Malloc and PyObject_Init; its header's few
# stores count as the walk's.)
CPYTHON = re.compile(r"^(PyUnicode_New|PyUnicode_DecodeUTF8|PyDict_New|PyDict_SetItem|PyDict_SetDefault|"
                     r"PyDict_Contains|PyDict_GetItemWithError|PyList_New|PyList_Append|_Py_Dealloc|"
                     r"PyUnicode_FromStringAndSize|PyObject_Malloc|PyObject_Init)$")


def child(kind: str, workload: str, size: int) -> None:
    """Runs under callgrind: prepares, then calls the counted function once (with a "-" in front
    of the kind: everything but that call, since imports count for marshal_loads too)."""
    import velmora

    text = MAKERS[workload](size)
    if kind == "velmora":
        velmora.parse(text)
        return
    tree = velmora.parse(text)
    json_text, data = json.dumps(tree, ensure_ascii=False), marshal.dumps(tree)
    if kind == "json":
        json.loads(json_text)
    elif kind == "marshal":
        marshal.loads(data)


def callgrind(kind: str, workload: str, size: int, folder: str) -> str:
    out = os.path.join(folder, f"cg.{kind}.{workload}")
    subprocess.run(
        ["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}", "--collect-atstart=no",
         *(f"--toggle-collect={t}" for t in TOGGLES[kind.lstrip('-')]), sys.executable, __file__, "--child", kind, workload, str(size)],
        check=True, capture_output=True,
        # One hash seed for every run: the probes of the dictionaries, and so their counts,
        # depend on the hashes of the keys.
        env={**os.environ, "PYTHONHASHSEED": "0"},
    )
    return out


def annotate(path: str) -> tuple[int, dict[str, int]]:
    """Total instructions, and inclusive instructions per function name."""
    text = subprocess.run(["callgrind_annotate", "--inclusive=yes", "--threshold=100", path],
                          check=True, capture_output=True, text=True).stdout
    found = re.search(r"^([\d,]+)(?: \([^)]*\))?\s+PROGRAM TOTALS", text, re.M)
    total = int(found.group(1).replace(",", "")) if found else 0  # nothing counted: "." for a total
    functions: dict[str, int] = {}
    for line in text.splitlines():
        m = re.match(r"^\s*([\d,]+) \([\d. %]+\)\s+(?:\S+:)?(.+?)(?: \[.*\])?$", line)
        if m and "PROGRAM TOTALS" not in line:
            name = m.group(2)
            functions[name] = functions.get(name, 0) + int(m.group(1).replace(",", ""))
    return total, functions


def split(path: str) -> dict[str, int]:
    """The conversion's instructions by part, from the caller/callee tree of parse_document."""
    text = subprocess.run(["callgrind_annotate", "--tree=calling", "--inclusive=yes", "--threshold=100", path],
                          check=True, capture_output=True, text=True).stdout
    total = int(re.search(r"^([\d,]+)(?: \([^)]*\))?\s+PROGRAM TOTALS", text, re.M).group(1).replace(",", ""))
    # Lines "  N (x%)  >   file:callee (calls)" under each function's own line "N (x%)  *  file:f":
    # count each call of a reader or CPython function made directly by the walk or the toolkit.
    reader = cpython = argument = 0
    caller = ""
    for line in text.splitlines():
        head = re.match(r"^\s*([\d,]+) \([^)]*\)\s+\*\s+(?:\S+?:)?(.+?)(?: \[.*\])?$", line)
        if head:
            caller = head.group(2)
            if ARGUMENT.match(caller):
                argument += int(head.group(1).replace(",", ""))
            continue
        if ARGUMENT.match(caller):
            continue
        call = re.match(r"^\s*([\d,]+) \([^)]*\)\s+>\s+(?:\S+?:)?(.+?) \([\d,]+x\)(?: \[.*\])?$", line)
        if not call or not caller.startswith("velmora::") or READER.search(caller):
            continue
        n, callee = int(call.group(1).replace(",", "")), call.group(2)
        if READER.search(callee):
            reader += n
        elif CPYTHON.match(callee.split("(")[0]):
            cpython += n
    return {"total": total, "reader": reader, "cpython": cpython, "argument": argument,
            "walk": total - reader - cpython - argument}


def main() -> None:
    if len(sys.argv) > 1 and sys.argv[1] == "--child":
        child(sys.argv[2], sys.argv[3], int(sys.argv[4]))
        return
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--size", type=int, default=1_000_000)
    parser.add_argument("workloads", nargs="*", default=list(MAKERS))
    args = parser.parse_args()
    print(f"{'workload':<14} {'bytes':>9} {'parse':>7} {'argument':>8} {'reader':>7} {'walk':>7} {'objects':>7} {'json':>7} {'marshal':>7}"
          "   (instructions per input byte)")
    with tempfile.TemporaryDirectory() as folder:
        for w in args.workloads:
            nbytes = len(MAKERS[w](args.size).encode())
            parts = split(callgrind("velmora", w, args.size, folder))
            floors = {k: annotate(callgrind(k, w, args.size, folder))[0] - annotate(callgrind("-" + k, w, args.size, folder))[0]
                      for k in ("json", "marshal")}
            per = lambda n: f"{n / nbytes:7.1f}"  # noqa: E731
            print(f"{w:<14} {nbytes:9d} {per(parts['total'])} {per(parts['argument']):>8} {per(parts['reader'])} {per(parts['walk'])} "
                  f"{per(parts['cpython'])} {per(floors['json'])} {per(floors['marshal'])}", flush=True)


if __name__ == "__main__":
    main()
