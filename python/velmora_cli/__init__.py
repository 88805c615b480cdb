"""Command-line converter from XML to JSON, built on `velmora.parse`.

Run it as `velmora FILE` (the console script) or `python -m velmora_cli FILE`.
"""
