#!/usr/bin/env bash
# Prints the path of a CPython interpreter of the given minor version (default 3.12): $PYTHON if
# set, else the newest pyenv one, else pythonX.Y or python3 on PATH.
set -euo pipefail
source "$(dirname "$0")/common.sh"
velmora_find_python "${1:-}"
