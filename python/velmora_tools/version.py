"""The package version: that of the installed `velmora` distribution, looked up when first asked."""

from __future__ import annotations

import functools


@functools.cache
def version() -> str:
    """The version of the `velmora` distribution, or "0+unknown" when running from a checkout."""
    from importlib.metadata import PackageNotFoundError, version as distribution_version

    try:
        return distribution_version("velmora")
    except PackageNotFoundError:
        return "0+unknown"
