from typing import Any

__all__ = ["parse"]

def parse(xml: str) -> dict[str, Any]: ...
