#!/usr/bin/env bash
# Builds the module when needed and converts the shipped sample document, printing the result.
set -euo pipefail
cd "$(dirname "$0")/.."
python=$(tools/bootstrap.sh)
VENV_PYTHON=$python tools/build.sh >/dev/null
PYTHONPATH="$PWD/${BUILD_DIR:-build}" "$python" -c '
import pprint, sys, velmora
with open(sys.argv[1], encoding="utf-8") as f:
    pprint.pprint(velmora.parse(f.read()), sort_dicts=False)
' "${1:-samples/catalog.xml}"
