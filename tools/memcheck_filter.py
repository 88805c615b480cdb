#!/usr/bin/env python3
"""Judges valgrind memcheck XML reports of a run of the interpreter.

  tools/memcheck_filter.py REPORT.xml [...]

Only errors whose stacks (where it happened, where the block was allocated or freed) pass through
the module count: a frame in the velmora or _velmora_test extension, or in a source file under
src/ or tests/ext/. Among those, every memory error counts (invalid reads and writes, use of
uninitialised values, bad frees, ...). Leak records are the interpreter's to a large extent:
- "possibly lost" blocks are live Python objects that are only pointed to past their collector
  header at exit; they are counted, not judged (a leaked container stays linked in the collector's
  lists and shows as reachable anyway: the Python-level leak tests judge objects);
- interned strings and tracemalloc's own records are kept by the interpreter until exit;
every other definitely or indirectly lost block allocated through the module counts.
Exit status 1 when anything counts.
"""
import collections
import re
import sys
import xml.etree.ElementTree as ET

MODULE_OBJECT = re.compile(r"/_?velmora(?:_test)?\.cpython-[^/]*\.so$")
# The module is built with its source paths made relative to the project root.
MODULE_DIR = re.compile(r"^(?!/)(?:.*/)?(?:src|tests/ext)(?:/|$)")
LEAK_KINDS_JUDGED = {"Leak_DefinitelyLost", "Leak_IndirectlyLost"}
KEPT_BY_INTERPRETER = re.compile(r"^PyUnicode_Intern|^_PyUnicode_Intern|^tracemalloc_|^_PyTraceMalloc_|^traceback_new$")


def is_module_frame(frame):
    obj = frame.findtext("obj") or ""
    directory = frame.findtext("dir") or ""
    return bool(MODULE_OBJECT.search(obj)) or bool(MODULE_DIR.match(directory))


def counts(error):
    """Whether an error through the module is the module's fault (see the module docstring)."""
    kind = error.findtext("kind") or ""
    frames = [f for stack in error.iter("stack") for f in stack.iter("frame")]
    first = next((i for i, f in enumerate(frames) if is_module_frame(f)), None)
    if first is None:
        return False
    if not kind.startswith("Leak_"):
        return True
    if kind not in LEAK_KINDS_JUDGED:
        return False
    # Frames between the allocator and the module's call: who asked for the block.
    return not any(KEPT_BY_INTERPRETER.match(f.findtext("fn") or "") for f in frames[:first])


def describe(error):
    what = error.findtext("what") or error.findtext("xwhat/text") or ""
    lines = [f"{error.findtext('kind')}: {what}"]
    for stack in error.iter("stack"):
        for frame in stack.iter("frame"):
            where = frame.findtext("file")
            where = f"{frame.findtext('dir') or ''}/{where}:{frame.findtext('line')}" if where else frame.findtext("obj")
            lines.append(f"    {frame.findtext('fn') or frame.findtext('ip')}  {where}")
        lines.append("  --")
    return "\n".join(lines)


def main():
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    counted, ignored = [], collections.Counter()
    for path in sys.argv[1:]:
        root = ET.parse(path).getroot()
        for error in root.iter("error"):
            if counts(error):
                counted.append(error)
            else:
                ignored[error.findtext("kind")] += 1
    for error in counted:
        print("== error through the module:\n" + describe(error))
    noise = ", ".join(f"{n} {kind}" for kind, n in sorted(ignored.items())) or "none"
    print(f"memcheck: {len(counted)} errors of the module; not judged (interpreter's own, or see above): {noise}")
    return 1 if counted else 0


if __name__ == "__main__":
    sys.exit(main())
