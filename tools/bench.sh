#!/usr/bin/env bash
# Builds the module and runs the benchmark against lxml, xmltodict and the standard library.
# The peers live in their own environment (.venv-bench, from bench/requirements.txt), never in
# the package's dependencies. Arguments go to bench/compare.py (--quick, --json FILE, --only ...).
# Builds into build/ unless BUILD_DIR says otherwise.
set -euo pipefail
source "$(dirname "$0")/common.sh"
cd "$VELMORA_ROOT"

tools/build.sh >&2  # sets up .venv unless VENV_PYTHON names an interpreter
build=$(velmora_build_dir)
version=${VELMORA_PYTHON_VERSION:-$VELMORA_DEFAULT_VERSION}
# The benchmark's environment is its own (.venv-bench, .venv-bench-3.13), never the package's.
bench_python=$(velmora_venv "$version" bench/requirements.txt .venv-bench)
PYTHONPATH=$(velmora_pythonpath "$build") exec "$bench_python" bench/compare.py "$@"
