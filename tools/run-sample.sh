#!/usr/bin/env bash
# Builds the module when needed and converts a document (by default the shipped sample) with the
# command-line converter, printing the result as JSON.
set -euo pipefail
cd "$(dirname "$0")/.."
python=$(tools/bootstrap.sh)
VENV_PYTHON=$python tools/build.sh >/dev/null
PYTHONPATH="$PWD/${BUILD_DIR:-build}:$PWD/python" exec "$python" -m velmora_cli "${1:-samples/catalog.xml}"
