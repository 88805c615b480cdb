#!/usr/bin/env bash
# Builds the module and runs the benchmark against lxml, xmltodict and the standard library.
# The peers live in their own environment (.venv-bench, from bench/requirements.txt), never in
# the package's dependencies. Arguments go to bench/compare.py (--quick, --json FILE, --only ...).
# Builds into build/ unless BUILD_DIR says otherwise.
set -euo pipefail
cd "$(dirname "$0")/.."

tools/build.sh >&2  # bootstraps .venv unless VENV_PYTHON names an interpreter
build=${BUILD_DIR:-build}

venv=.venv-bench
if [[ ! -x $venv/bin/python ]] || ! "$venv/bin/python" -c 'import sys; sys.exit(sys.version_info[:2] != (3, 12))'; then
  rm -rf "$venv"
  "$(tools/find-python.sh)" -m venv "$venv" >&2
fi
stamp=$venv/.requirements.stamp
if ! cmp -s bench/requirements.txt "$stamp" 2>/dev/null; then
  "$venv/bin/python" -m pip install -q --disable-pip-version-check -r bench/requirements.txt >&2
  cp bench/requirements.txt "$stamp"
fi

PYTHONPATH="$PWD/$build" exec "$venv/bin/python" bench/compare.py "$@"
