"""The `velmora` command: XML files and folders to JSON, many files on worker processes."""

from __future__ import annotations

import argparse
import contextlib
import errno
import functools
import os
import re
import sys
from collections.abc import Iterator, Sequence
from fnmatch import translate
from typing import Any, Final, NamedTuple, NoReturn

from pyo3_runtime import PanicException

from velmora_tools import jsonout
from velmora_tools.batch import SizedChunks, thread_count
from velmora_tools.files import parse_file
from velmora_tools.output import Output, OutputError, spool_folder
from velmora_tools.quiet import fd2_discarded
from velmora_tools.version import version

EXIT_OK: Final = 0
EXIT_MALFORMED: Final = 1
EXIT_UNREADABLE: Final = 2
EXIT_OUTPUT: Final = 3
EXIT_WORKER_LOST: Final = 4
EXIT_PIPE_CLOSED: Final = 141  # what a shell shows for a program ended by SIGPIPE
EXIT_INTERRUPTED: Final = 130
STDIN: Final = "-"
CANNOT_READ: Final = "cannot read: "
# JSON Lines per chunk of files converted on a worker: enough that handing out a chunk and
# copying its output cost little next to converting it (a few milliseconds a chunk).
CHUNK_OUTPUT_BYTES: Final = 4 << 20

EPILOG = f"""\
output:
  One input file (or standard input) gives one JSON document. Several inputs, any folder, or
  --jsonl give JSON Lines in input order, one line per file: {{"path": ..., "result": ...}} or
  {{"path": ..., "error": ...}}; an error of an unreadable file starts with "{CANNOT_READ}".
  Folders are searched recursively, in sorted order, for files matching the --glob patterns.
  Text outside elements is kept under "#text", so an empty file or a text file that is not XML
  converts without error: {{}} or {{"#text": ...}}.
  With --item-depth N, one input gives one JSON line per element at depth N (the root is 1), in
  bounded memory: {{"path": [[name, attributes], ...], "item": ...}}, the path from the root
  down to the item itself, attributes null when there are none.

exit status:
  {EXIT_OK}    every input converted
  {EXIT_MALFORMED}    some input is malformed XML (one line per file on standard error)
  {EXIT_UNREADABLE}    some input could not be read or decoded (wins over {EXIT_MALFORMED}); also bad usage
  {EXIT_OUTPUT}    the output could not be written (for example: no space left on device)
  {EXIT_WORKER_LOST}    a worker process ended unexpectedly (killed, say): the output is cut short at its files
  {EXIT_INTERRUPTED}  interrupted (Ctrl-C)
  {EXIT_PIPE_CLOSED}  the reader of the output went away (as `| head`); nothing more is written
"""


class Unreadable(NamedTuple):
    """An input found unreadable before conversion (a folder that cannot be listed)."""

    path: str
    reason: str


class Outcome(NamedTuple):
    status: int  # EXIT_OK, EXIT_MALFORMED or EXIT_UNREADABLE
    payload: bytes  # JSON text of the result when status is EXIT_OK, else the message in UTF-8


Input = str | Unreadable


def shown(path: str) -> str:
    """`path` as text that can always be written (undecodable file-name bytes escaped)."""
    return os.fsencode(path).decode("utf-8", "backslashreplace")


def load(item: Input) -> dict[str, Any] | Outcome:
    """The tree of one input, or the failure that stands in for it. Never raises for bad input."""
    if isinstance(item, Unreadable):
        return Outcome(EXIT_UNREADABLE, item.reason.encode())
    source = sys.stdin.buffer if item == STDIN else item
    try:
        return parse_file(source)
    except OSError as exc:
        return Outcome(EXIT_UNREADABLE, (exc.strerror or str(exc)).encode())
    except (UnicodeDecodeError, LookupError) as exc:
        return Outcome(EXIT_UNREADABLE, str(exc).encode())
    except PanicException as exc:
        message = exc.args[0] if exc.args else str(exc)
        return Outcome(EXIT_MALFORMED, str(message).encode())


def convert(item: Input) -> Outcome:
    """The compact JSON text of one input's tree, or why there is none."""
    loaded = load(item)
    return loaded if isinstance(loaded, Outcome) else Outcome(EXIT_OK, jsonout.dumps(loaded))


def reports_kept_out(verbose: bool) -> contextlib.AbstractContextManager[None]:
    """Where the module's failure reports go: standard error with `verbose`, else nowhere."""
    return contextlib.nullcontext() if verbose else fd2_discarded()


def find_inputs(arguments: Sequence[str], patterns: Sequence[str]) -> list[Input]:
    """Files named on the command line as given; folders replaced by the matching files in them,
    in sorted order, and by an Unreadable entry for each folder that cannot be listed."""
    found: list[Input] = []
    errors: list[OSError] = []
    # One expression for all patterns, matching as fnmatchcase matches each.
    matches = re.compile("|".join(f"(?:{translate(pattern)})" for pattern in patterns)).match

    def unlistable() -> Iterator[Input]:
        while errors:
            error = errors.pop(0)
            yield Unreadable(str(error.filename), error.strerror or str(error))

    for argument in arguments:
        if argument == STDIN or not os.path.isdir(argument):
            found.append(argument)
            continue
        for folder, subfolders, files in os.walk(argument, onerror=errors.append):
            found.extend(unlistable())  # the folders os.walk failed to list before this one
            subfolders.sort()
            prefix = folder if folder.endswith(os.sep) else folder + os.sep  # as os.path.join does
            found.extend([prefix + name for name in sorted(files) if matches(name)])
        found.extend(unlistable())
    return found


def _count(value: str, least: int, what: str) -> int:
    try:
        number = int(value)
    except ValueError:
        number = least - 1
    if number < least:
        raise argparse.ArgumentTypeError(f"{what} must be a whole number, {least} or more, not {value!r}")
    return number


class _Version(argparse.Action):
    """--version, reading the version only when asked."""

    def __call__(self, parser: argparse.ArgumentParser, *_: object) -> None:
        print(f"velmora {version()}")
        parser.exit()


def _terminal_columns() -> int:
    """The width that shutil.get_terminal_size gives: $COLUMNS, else standard output's terminal, else 80."""
    try:
        columns = int(os.environ["COLUMNS"])
    except (KeyError, ValueError):
        columns = 0
    if columns <= 0 and sys.__stdout__ is not None:
        try:
            columns = os.get_terminal_size(sys.__stdout__.fileno()).columns
        except (AttributeError, ValueError, OSError):
            columns = 0
    return columns or 80


class _Formatter(argparse.RawDescriptionHelpFormatter):
    """The help's layout, at the terminal's width found without shutil: argparse makes a formatter
    for every option added, and importing shutil for it took 2 ms of every start."""

    def __init__(self, prog: str) -> None:
        super().__init__(prog, width=_terminal_columns() - 2)


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="velmora",
        description="Convert XML documents to JSON with velmora.parse. The encoding of each file comes\n"
        "from its byte order mark, else from its XML declaration, else is UTF-8.",
        epilog=EPILOG,
        formatter_class=_Formatter,
    )
    parser.add_argument("inputs", nargs="*", metavar="PATH",
                        help="XML file or folder; '-' or nothing reads standard input")
    parser.add_argument("--glob", action="append", metavar="PATTERN",
                        help="file names to convert in folders (repeatable; default *.xml)")
    parser.add_argument("-j", "--jobs", type=functools.partial(_count, least=1, what="jobs"), metavar="N",
                        help="worker processes for several inputs (default: the number of CPUs)")
    parser.add_argument("--jsonl", action="store_true", help="JSON Lines output even for one input")
    parser.add_argument("--indent", type=functools.partial(_count, least=0, what="indent"), metavar="N",
                        help="indent one JSON document by N spaces per level, 0 for newlines only "
                        "(default: compact, on one line)")
    parser.add_argument("--item-depth", type=functools.partial(_count, least=1, what="item depth"), metavar="N",
                        help="stream one input: a JSON line per element at depth N (the root is 1), "
                        "with its path, in bounded memory")
    parser.add_argument("-v", "--verbose", action="store_true",
                        help="also let the module's own failure report reach standard error")
    parser.add_argument("--version", action=_Version, nargs=0, help="print the version and exit")
    return parser


class _Progress:
    """A progress bar on standard error when `shown`, standard error is a terminal and tqdm is
    installed; otherwise calls that do nothing."""

    def __init__(self, shown: bool, **options: Any) -> None:
        self.bar: Any = None
        if shown and sys.stderr.isatty():
            try:
                from tqdm import tqdm  # optional: velmora[progress]
            except ImportError:
                return
            tqdm.monitor_interval = 0  # no monitor thread: worker processes are forked
            self.bar = tqdm(file=sys.stderr, dynamic_ncols=True, **options)

    def advance(self, count: int) -> None:
        if self.bar is not None:
            self.bar.update(count)

    def close(self) -> None:
        if self.bar is not None:
            self.bar.close()


class Messages(_Progress):
    """One line per failure on standard error, above the progress bar when there is one."""

    def __init__(self, total: int) -> None:
        super().__init__(total > 1, total=total, unit="file")

    def fail(self, line: str) -> None:
        if self.bar is not None:
            self.bar.write(f"velmora: {line}", file=sys.stderr)
        else:
            print(f"velmora: {line}", file=sys.stderr, flush=True)


def _report(messages: Messages, item: Input, outcome: Outcome) -> None:
    name = "standard input" if item == STDIN else shown(item.path if isinstance(item, Unreadable) else item)
    text = outcome.payload.decode("utf-8", "replace")
    if outcome.status == EXIT_MALFORMED:
        messages.fail(f"{name}: {text}")
    else:
        messages.fail(f"cannot read {name}: {text}")


def _record(item: Input, outcome: Outcome) -> Iterator[bytes]:
    path = item.path if isinstance(item, Unreadable) else item
    yield b'{"path":' + jsonout.dumps(shown(path))
    if outcome.status == EXIT_OK:
        yield b',"result":'
        yield outcome.payload
        yield b"}\n"
    else:
        prefix = CANNOT_READ if outcome.status == EXIT_UNREADABLE else ""
        yield b',"error":' + jsonout.dumps(prefix + outcome.payload.decode("utf-8", "replace")) + b"}\n"


def run(argv: Sequence[str] | None, output: Output, keep: list[object] | None = None) -> int:
    """The whole command; returns the exit status. OutputError escapes for `main` to report.

    With `keep`, a converted tree is appended to it rather than freed.
    """
    parser = build_parser()
    args = parser.parse_args(argv)
    arguments: list[str] = args.inputs or [STDIN]
    single = len(arguments) == 1 and not args.jsonl and (arguments[0] == STDIN or not os.path.isdir(arguments[0]))
    if STDIN in arguments and len(arguments) > 1:
        parser.error("standard input ('-') cannot be combined with other inputs")
    if args.item_depth is not None:
        if not single:
            parser.error("--item-depth streams one input file (or standard input)")
        if args.indent is not None:
            parser.error("--item-depth writes JSON Lines, which are always compact")
        return _items(arguments[0], args.item_depth, args.verbose, output)
    if args.indent is not None and not single:
        parser.error("--indent applies to one JSON document; JSON Lines output is always compact")
    if single:
        return _one_document(arguments[0], args.indent, args.verbose, output, keep)
    items = find_inputs(arguments, args.glob or ["*.xml"])
    workers = min(args.jobs or os.cpu_count() or 1, max(1, len(items)))
    return _json_lines(items, workers, args.verbose, output)


def _one_document(item: Input, indent: int | None, verbose: bool, output: Output, keep: list[object] | None) -> int:
    with reports_kept_out(verbose):
        loaded = load(item)
    if isinstance(loaded, Outcome):
        _report(Messages(1), item, loaded)
        return loaded.status
    if indent is None:
        for piece in jsonout.compact_pieces(loaded):
            output.write(piece)
        output.write(b"\n")
    else:
        output.write(jsonout.dumps(loaded, indent), b"\n")
    if keep is not None:
        keep.append(loaded)
    del loaded  # else the tree is freed while the output thread writes
    output.close()
    return EXIT_OK


class _ByteBar(_Progress):
    """A progress bar of the bytes read; `total` is the file's size when known."""

    def __init__(self, total: int | None) -> None:
        super().__init__(True, total=total, unit="B", unit_scale=True, unit_divisor=1024)


def _size(item: str) -> int | None:
    try:
        return os.stat(item).st_size if item != STDIN else None
    except OSError:
        return None


_ITEM_LINES_BATCH: Final = 256  # lines handed to the output thread at a time


def _items(item: str, depth: int, verbose: bool, output: Output) -> int:
    """`--item-depth`: the items of one input as JSON Lines, written as they come."""
    from velmora_tools.stream import iterate_with_progress  # imported when needed: a quick start otherwise

    source = sys.stdin.buffer if item == STDIN else item
    name = "standard input" if item == STDIN else shown(item)
    bar = _ByteBar(_size(item))
    pending: list[bytes] = []
    status = EXIT_OK
    try:
        with reports_kept_out(verbose):
            for path, value in iterate_with_progress(source, depth, bar.advance):
                pending.append(jsonout.dumps({"path": path, "item": value}) + b"\n")
                if len(pending) >= _ITEM_LINES_BATCH:
                    output.write(*pending)
                    pending = []
    except OSError as exc:
        status, message = EXIT_UNREADABLE, f"cannot read {name}: {exc.strerror or exc}"
    except (UnicodeDecodeError, LookupError) as exc:
        status, message = EXIT_UNREADABLE, f"cannot read {name}: {exc}"
    except PanicException as exc:
        notes = "".join(f" ({note})" for note in getattr(exc, "__notes__", ()))
        status, message = EXIT_MALFORMED, f"{name}: {exc.args[0] if exc.args else exc}{notes}"
    finally:
        bar.close()
    if pending:
        output.write(*pending)
    output.close()
    if status != EXIT_OK:
        print(f"velmora: {message}", file=sys.stderr, flush=True)
    return status


def chunk_lines(chunk: Sequence[Input], verbose: bool) -> tuple[list[bytes], list[tuple[int, Outcome]]]:
    """The JSON Lines of a chunk of inputs in pieces, and its failures by position in the chunk."""
    parts: list[bytes] = []
    failures = []
    with reports_kept_out(verbose):
        for position, item in enumerate(chunk):
            outcome = convert(item)
            if outcome.status != EXIT_OK:
                failures.append((position, outcome))
            parts.extend(_record(item, outcome))
    return parts, failures


def _json_lines(items: list[Input], workers: int, verbose: bool, output: Output) -> int:
    target = _shared_descriptor(output) if workers > 1 else None
    if target is not None:
        return _on_workers(items, workers, verbose, output, target)
    worst = EXIT_OK
    messages = Messages(len(items))
    chunks = SizedChunks(items, 1, CHUNK_OUTPUT_BYTES)
    try:
        for chunk in chunks:
            parts, failures = chunk_lines(chunk, verbose)
            for position, outcome in failures:
                _report(messages, chunk[position], outcome)
                worst = max(worst, outcome.status)
            lines = b"".join(parts)
            output.write(lines)
            messages.advance(len(chunk))
            chunks.done(len(chunk), len(lines))
        output.close()
    finally:
        messages.close()
    return worst


def _shared_descriptor(output: Output) -> int | None:
    """The output's descriptor, for forked workers to write to; None when it has none (or when
    this process runs other threads, which a fork would not take along)."""
    try:
        output.stream.flush()
        target = output.stream.fileno()
    except (OSError, ValueError, AttributeError):
        return None
    return target if output.thread is None and thread_count() == 1 else None


def _on_workers(items: list[Input], workers: int, verbose: bool, output: Output, target: int) -> int:
    """JSON Lines of every input, converted and written by `workers` forked processes."""
    from velmora_tools.relay import Relay, WorkerLost  # imported when needed: a quick start for one file

    worst = EXIT_OK
    messages = Messages(len(items))

    def convert_range(start: int, stop: int) -> tuple[list[bytes], list[tuple[int, int, bytes]]]:
        parts, failures = chunk_lines(items[start:stop], verbose)
        return parts, [(start + position, outcome.status, outcome.payload) for position, outcome in failures]

    def on_chunk(start: int, stop: int, report: list[tuple[int, int, bytes]]) -> None:
        nonlocal worst
        for index, status, payload in report:
            _report(messages, items[index], Outcome(status, payload))
            worst = max(worst, status)
        messages.advance(stop - start)

    try:
        with spool_folder() as folder:
            Relay(len(items), workers, target, folder, CHUNK_OUTPUT_BYTES).run(convert_range, on_chunk)
    except WorkerLost as exc:
        messages.fail(str(exc))
        return EXIT_WORKER_LOST
    finally:
        messages.close()
    output.close()
    return worst


def _discard_stdout() -> None:
    """Point descriptor 1 at /dev/null, so the interpreter's last flush at exit cannot fail."""
    devnull = os.open(os.devnull, os.O_WRONLY)
    os.dup2(devnull, sys.stdout.fileno())
    os.close(devnull)


def main(argv: Sequence[str] | None = None, keep: list[object] | None = None) -> int:
    """The command, with the arguments `argv` (default: the process's); returns the exit status."""
    try:
        return run(argv, Output(sys.stdout.buffer), keep)
    except OutputError as exc:
        _discard_stdout()
        cause = exc.__cause__
        if isinstance(cause, OSError) and cause.errno == errno.EPIPE:
            return EXIT_PIPE_CLOSED
        reason = cause.strerror if isinstance(cause, OSError) and cause.strerror else str(cause)
        print(f"velmora: cannot write output: {reason}", file=sys.stderr)
        return EXIT_OUTPUT
    except KeyboardInterrupt:
        return EXIT_INTERRUPTED


def console() -> NoReturn:
    """Entry point of the console script and of ``python -m velmora_tools``.

    Its output written and flushed, the process ends without tearing the interpreter down:
    freeing a large tree takes a noticeable share of a conversion (0.4 s for a 340 MB document),
    and the teardown alone is about 10 ms, a share of a run over many small files. After an
    interrupt it ends at once.
    """
    keep: list[object] = []
    status = main(keep=keep)
    if status != EXIT_INTERRUPTED:  # else no last flush of standard output: its thread may be stuck writing
        sys.stdout.flush()
    sys.stderr.flush()
    os._exit(status)
