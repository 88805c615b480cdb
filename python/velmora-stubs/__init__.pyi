from typing import Any

__all__ = ["parse"]

def parse(xml: str) -> dict[str, Any]:
    """Convert an XML document held in a ``str`` into plain dictionaries.

    Every element becomes a key named by its local name (``p:item`` gives ``item``), attributes
    become ``"@name"`` keys, text becomes ``"#text"`` (trimmed; whitespace-only text is dropped),
    an element holding only text becomes that text, ``<a/>`` becomes ``None`` and ``<a></a>``
    ``{}``, and a repeated name becomes a list in document order::

        >>> velmora.parse('<r a="1"><x>1</x><x>2</x><y/></r>')
        {'r': {'@a': '1', 'x': ['1', '2'], 'y': None}}

    Several top-level elements and text around them all go into the one returned dictionary.
    The five predefined entities and character references are resolved; comments, CDATA,
    processing instructions, the XML declaration and DOCTYPE leave no trace.

    Raises ``pyo3_runtime.PanicException`` (a direct subclass of ``BaseException``, so
    ``except Exception`` does not catch it) for malformed XML; its one argument is the exact
    message, and a short report is written to standard error first. Raises ``TypeError`` when
    ``xml`` is not a ``str``, and ``UnicodeEncodeError`` for a ``str`` holding a lone surrogate.
    """
