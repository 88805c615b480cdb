"""Home of ``PanicException``, the exception that ``velmora.parse`` raises for malformed input.

Importing velmora fills this module in: its ``PanicException`` attribute is the very type that
failed calls raise, made when it is first needed. This file exists so that the type can be found
by its qualified name ``pyo3_runtime.PanicException`` in a process that has not imported
velmora yet, which is what unpickling a failure sent from another process needs.
"""

import velmora  # noqa: F401  (its import gives this module its attribute lookup)
