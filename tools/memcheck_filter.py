#!/usr/bin/env python3
"""Judges valgrind memcheck XML reports of a run of the interpreter.

  tools/memcheck_filter.py REPORT.xml [...]

The interpreter has its own noise under memcheck (blocks kept at exit, and a few reads that it
does on purpose), so an error counts only when one of its stacks (where it happened, where the
block was allocated or freed) passes through the module: a frame in the velmora or _velmora_test
extension, or in a source file under src/ or tests/ext/. Exit status 1 when any error counts.
"""
import collections
import re
import sys
import xml.etree.ElementTree as ET

MODULE_OBJECT = re.compile(r"/_?velmora(?:_test)?\.cpython-[^/]*\.so$")
# The module is built with its source paths made relative to the project root.
MODULE_DIR = re.compile(r"^(?:\./)?(?:src|tests/ext)(?:/|$)")


def is_module_frame(frame):
    obj = frame.findtext("obj") or ""
    directory = frame.findtext("dir") or ""
    return bool(MODULE_OBJECT.search(obj)) or bool(MODULE_DIR.match(directory))


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
            if any(is_module_frame(f) for stack in error.iter("stack") for f in stack.iter("frame")):
                counted.append(error)
            else:
                ignored[error.findtext("kind")] += 1
    for error in counted:
        print("== error through the module:\n" + describe(error))
    noise = ", ".join(f"{n} {kind}" for kind, n in sorted(ignored.items())) or "none"
    print(f"memcheck: {len(counted)} errors through the module; interpreter's own, ignored: {noise}")
    return 1 if counted else 0


if __name__ == "__main__":
    sys.exit(main())
