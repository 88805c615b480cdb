class PanicException(BaseException):
    """Raised by ``velmora.parse`` for malformed XML; ``args`` is a 1-tuple holding the message."""
