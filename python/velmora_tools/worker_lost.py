"""The error that stands in for a file whose worker process was lost: shared by the batch API and
the forked workers that serve it."""

from __future__ import annotations


class WorkerLostError(Exception):
    """Stands in for the result of a file whose worker process ended (was killed, say) before
    sending it back."""
