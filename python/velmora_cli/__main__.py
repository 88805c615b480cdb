"""`velmora [FILE] [--indent N]`: prints the dictionaries of an XML document as JSON.

Exit status: 0 on success, 1 when the document is malformed, 2 when the input cannot be read.
Messages go to standard error, one line, no traceback.
"""

from __future__ import annotations

import argparse
import os
import sys
from typing import BinaryIO, NoReturn

import velmora

from velmora_cli.json_output import chunks

EXIT_MALFORMED = 1
EXIT_UNREADABLE = 2


def _fail(code: int, message: str) -> NoReturn:
    print(f"velmora: {message}", file=sys.stderr)
    sys.exit(code)


def _read_text(path: str) -> str:
    """The document as text. Files are taken as UTF-8, like XML without an encoding declaration."""
    name = "standard input" if path == "-" else path
    try:
        if path == "-":
            data = sys.stdin.buffer.read()
        else:
            with open(path, "rb") as f:
                data = f.read()
    except OSError as exc:
        _fail(EXIT_UNREADABLE, f"cannot read {name}: {exc.strerror or exc}")
    try:
        return data.decode("utf-8")
    except UnicodeDecodeError as exc:
        _fail(EXIT_UNREADABLE, f"cannot read {name}: not UTF-8 text (invalid byte at offset {exc.start})")


def _convert(text: str) -> object:
    try:
        return velmora.parse(text)
    except BaseException as exc:
        # PanicException derives from BaseException and is not importable by name; anything
        # else (KeyboardInterrupt, SystemExit, ...) is not ours to swallow.
        if type(exc).__name__ != "PanicException":
            raise
        message = exc.args[0] if exc.args else str(exc)
        _fail(EXIT_MALFORMED, str(message))


def _write(out: BinaryIO, tree: object, indent: int) -> None:
    pending: list[str] = []
    size = 0
    for piece in chunks(tree, indent):
        pending.append(piece)
        size += len(piece)
        if size >= 1 << 16:  # write in batches: one system call per piece would be slow
            out.write("".join(pending).encode("utf-8"))
            pending.clear()
            size = 0
    pending.append("\n")
    out.write("".join(pending).encode("utf-8"))
    out.flush()


def _indent(value: str) -> int:
    n = int(value)
    if n < 0:
        raise argparse.ArgumentTypeError("must be 0 or more")
    return n


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(
        prog="velmora", description="Convert an XML document to JSON with velmora.parse."
    )
    parser.add_argument("file", nargs="?", default="-", help="XML file to read; '-' or nothing reads standard input")
    parser.add_argument("--indent", type=_indent, default=2, metavar="N", help="spaces per indentation level (default 2)")
    args = parser.parse_args(argv)

    tree = _convert(_read_text(args.file))
    try:
        _write(sys.stdout.buffer, tree, args.indent)
    except BrokenPipeError:
        # The reader went away (e.g. `| head`); keep the interpreter from complaining at exit.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
