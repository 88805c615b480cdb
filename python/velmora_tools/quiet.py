"""Keeping the module's failure report, which it writes straight to descriptor 2, off stderr."""

from __future__ import annotations

import contextlib
import os
import sys
from collections.abc import Iterator


@contextlib.contextmanager
def fd2_discarded() -> Iterator[None]:
    """For the block, descriptor 2 is /dev/null; what Python wrote to stderr before is flushed."""
    sys.stderr.flush()
    saved = os.dup(2)
    devnull = os.open(os.devnull, os.O_WRONLY)
    try:
        os.dup2(devnull, 2)
        yield
    finally:
        os.dup2(saved, 2)
        os.close(saved)
        os.close(devnull)
