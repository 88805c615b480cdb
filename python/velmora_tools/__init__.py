"""Companion to `velmora.parse`: documents as bytes and files, many files at once, a command line.

``parse_bytes`` and ``parse_file`` find the encoding the way XML processors do and return
``velmora.parse`` of the decoded text; ``parse_many`` converts files on worker processes;
``iterparse`` streams the elements at one depth of a document too large to hold;
``python -m velmora_tools`` (the ``velmora`` command) writes JSON.
"""

import os as _os
import sys as _sys

# A build folder on the module path holds the package's extension (velmora_tools/_items) apart
# from its Python files; an installed package holds both. Every folder of this name on the
# module path is part of the package, as pkgutil.extend_path has it (without its import cost).
__path__ += [
    folder for folder in (_os.path.join(entry, __name__) for entry in _sys.path
                          if isinstance(entry, str) and _os.path.isdir(entry))
    if folder not in __path__ and _os.path.isdir(folder)
]
del _os, _sys

from pyo3_runtime import PanicException

from velmora_tools.batch import parse_many
from velmora_tools.files import parse_bytes, parse_file
from velmora_tools.stream import iterparse
from velmora_tools.version import version as _version
from velmora_tools.worker_lost import WorkerLostError

__all__ = ["PanicException", "WorkerLostError", "__version__", "iterparse", "parse_bytes", "parse_file", "parse_many"]
__version__: str


def __getattr__(name: str) -> str:
    if name == "__version__":  # reading the distribution's metadata takes longer than the rest
        return _version()
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
