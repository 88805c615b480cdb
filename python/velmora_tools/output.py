"""Writing the command's output: standard output fed by a thread of its own; and for worker
processes, a spool folder and the kernel's copy of a spooled chunk file to the output."""

from __future__ import annotations

import contextlib
import errno
import os
import queue
import threading
from collections.abc import Buffer, Iterator, Sequence
from typing import IO, Final

_COPY_BLOCK: Final = 1 << 20
_NO_SENDFILE: Final = {errno.EINVAL, errno.ENOSYS, errno.ENOTSUP, errno.EOPNOTSUPP, errno.EBADF}


class OutputError(Exception):
    """Writing the output failed; `__cause__` holds the OSError."""


class Output:
    """Standard output as bytes, written by a thread of its own.

    A write system call runs without the interpreter lock, so the next file's conversion, or
    freeing the last tree, goes on meanwhile. Every write failure becomes OutputError, raised by
    the next `write` or by `close`. The thread starts at the first write, after any worker
    processes have been forked.
    """

    def __init__(self, stream: IO[bytes]) -> None:
        self.stream = stream
        self.queue: queue.Queue[tuple[Buffer, ...] | None] = queue.Queue(maxsize=64)  # None: close
        self.thread: threading.Thread | None = None
        self.error: OSError | None = None

    def _drain(self) -> None:
        while True:
            item = self.queue.get()
            try:
                if self.error is None:
                    if item is None:
                        self.stream.flush()
                    else:
                        self.stream.writelines(item)
            except OSError as exc:
                self.error = exc
            if item is None:
                return

    def _check(self) -> None:
        if self.error is not None:
            raise OutputError from self.error

    def _put(self, item: tuple[Buffer, ...]) -> None:
        self._check()
        if self.thread is None:
            self.thread = threading.Thread(target=self._drain, name="velmora-output", daemon=True)
            self.thread.start()
        self.queue.put(item)

    def write(self, *parts: Buffer) -> None:
        self._put(parts)

    def close(self) -> None:
        """Wait until everything is written and flushed."""
        if self.thread is not None:
            self.queue.put(None)
            self.thread.join()
            self.thread = None
        else:
            try:
                self.stream.flush()
            except OSError as exc:
                self.error = exc
        self._check()


def send_file(path: str, target: int) -> None:
    """The bytes of the file at `path` written to descriptor `target`: by sendfile(2) where the
    kernel takes it (not to a file opened for appending, say), else read and written."""
    with open(path, "rb") as source:
        size = os.fstat(source.fileno()).st_size
        offset = 0
        try:
            while offset < size:
                sent = os.sendfile(target, source.fileno(), offset, size - offset)
                if sent == 0:
                    break
                offset += sent
        except OSError as exc:
            if offset or exc.errno not in _NO_SENDFILE:
                raise
        source.seek(offset)
        while block := source.read(_COPY_BLOCK):
            view = memoryview(block)
            while view:
                view = view[os.write(target, view):]


@contextlib.contextmanager
def spool_folder() -> Iterator[str]:
    """A private folder for chunk files, in memory (/dev/shm) where there is one; removed after.

    Made and removed here rather than by tempfile and shutil, whose imports take a few
    milliseconds of a command that converts a folder in a fraction of a second. The folder holds
    files only.
    """
    base = "/dev/shm" if os.path.isdir("/dev/shm") and os.access("/dev/shm", os.W_OK) else _temporary_base()
    while True:
        folder = os.path.join(base, f"velmora-{os.urandom(6).hex()}")
        try:
            os.mkdir(folder, 0o700)
            break
        except FileExistsError:
            continue
    try:
        yield folder
    finally:
        with contextlib.suppress(OSError), os.scandir(folder) as entries:
            for entry in entries:
                with contextlib.suppress(OSError):
                    os.unlink(entry.path)
        with contextlib.suppress(OSError):
            os.rmdir(folder)


def _temporary_base() -> str:
    import tempfile  # only where there is no /dev/shm

    return tempfile.gettempdir()


# The most buffers one writev takes (the kernel's IOV_MAX on Linux).
_IOV_MAX: Final = 1024


def write_all(fd: int, parts: Sequence[Buffer]) -> None:
    """Every byte of `parts` to `fd`, in order, in as few system calls as the kernel takes."""
    views = [memoryview(part).cast("B") for part in parts]
    views = [view for view in views if view.nbytes]
    while views:
        batch = views[:_IOV_MAX]
        written = os.writev(fd, batch)
        done = 0
        while done < len(batch) and written >= batch[done].nbytes:
            written -= batch[done].nbytes
            done += 1
        views = views[done:]
        if written:
            views[0] = views[0][written:]


def write_spool_file(path: str, parts: Sequence[Buffer], *, exclusive: bool) -> bool:
    """`parts` as the file `path` (made new when `exclusive`, else replaced); False, and no file
    left behind, when it cannot be written (a full spool folder, say)."""
    flags = os.O_WRONLY | os.O_CREAT | os.O_CLOEXEC | (os.O_EXCL if exclusive else os.O_TRUNC)
    try:
        fd = os.open(path, flags, 0o600)
    except OSError:
        return False
    try:
        write_all(fd, parts)
    except OSError:
        with contextlib.suppress(OSError):
            os.unlink(path)
        return False
    finally:
        os.close(fd)
    return True
