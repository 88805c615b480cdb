#!/usr/bin/env python3
"""Judges the sanitizer logs of a run against an uninstrumented interpreter.

  tools/lsan_filter.py LOG_DIR

Every file in LOG_DIR is an AddressSanitizer / LeakSanitizer / UndefinedBehaviorSanitizer log
(log_path=LOG_DIR/asan). The interpreter keeps many blocks alive at exit on purpose, so a leak
counts only when its allocation stack passes through the module's own code: a frame in src/ or
tests/ext/, or in the velmora / _velmora_test extension. Any other sanitizer report (overflow,
use after free, undefined behaviour, ...) always counts. Exit status 1 when anything counts.
"""
import pathlib
import re
import sys

# "    #3 0x7f.. in velmora::convert::Walk::run() src/convert/walk.cpp:80" or, unsymbolised,
# "    #3 0x7f.. (/work/main/build-asan/velmora.cpython-312-x86_64-linux-gnu.so+0x1234)".
FRAME = re.compile(r"^\s+#\d+ 0x[0-9a-f]+")
MODULE_FRAME = re.compile(r"(?:\s|\()(?:src|tests/ext)/[\w./-]+\.(?:cpp|h)\b"
                          r"|/_?velmora(?:_test)?\.cpython-[^/\s)]*\.so"
                          r"| in _?velmora(?:_test)?::")
LEAK_HEAD = re.compile(r"^(Direct|Indirect) leak of (\d+) byte\(s\) in (\d+) object\(s\)")
OTHER_ERROR = re.compile(r"ERROR: AddressSanitizer|runtime error:|ERROR: UndefinedBehaviorSanitizer"
                         r"|ERROR: LeakSanitizer: (?!detected memory leaks)")


def leak_blocks(lines):
    """Yields (head line, frame lines) for each leak report."""
    head, frames = None, []
    for line in lines:
        if LEAK_HEAD.match(line):
            if head:
                yield head, frames
            head, frames = line, []
        elif head and FRAME.match(line):
            frames.append(line)
        elif head and not line.strip() and frames:
            yield head, frames
            head, frames = None, []
    if head:
        yield head, frames


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    logs = sorted(p for p in pathlib.Path(sys.argv[1]).iterdir() if p.is_file())
    leaks = ignored_bytes = 0
    module_leaks, errors = [], []
    for log in logs:
        text = log.read_text(errors="replace")
        if OTHER_ERROR.search(text):
            errors.append((log, text))
        for head, frames in leak_blocks(text.splitlines()):
            leaks += 1
            if any(MODULE_FRAME.search(f) for f in frames):
                module_leaks.append((log, head, frames))
            else:
                ignored_bytes += int(LEAK_HEAD.match(head).group(2))
    for log, text in errors:
        print(f"== sanitizer error in {log}:\n{text}")
    for log, head, frames in module_leaks:
        print(f"== leak through the module ({log.name}): {head}")
        print("\n".join(frames))
    print(f"sanitizer logs: {len(logs)} files, {leaks} leak reports, {len(module_leaks)} through the "
          f"module, {ignored_bytes} bytes left by the interpreter ignored, {len(errors)} other errors")
    return 1 if module_leaks or errors else 0


if __name__ == "__main__":
    sys.exit(main())
