#!/usr/bin/env bash
# The main job: builds the module when needed (no root, build tools only) and converts XML files
# to JSON with the velmora command. Arguments are the command's own, paths relative to the
# folder it is run from; with none it converts the shipped sample with indentation.
#   tools/run-sample.sh [FILE|FOLDER ...] [--indent N] [--jsonl] ...
set -euo pipefail
source "$(dirname "$0")/common.sh"
python=${VENV_PYTHON:-$("$VELMORA_ROOT/tools/bootstrap.sh")}
build=$(velmora_build_dir)
velmora_cmake_build "$python" "$build" >/dev/null
(($#)) || set -- "$VELMORA_ROOT/samples/catalog.xml" --indent 2
PYTHONPATH=$(velmora_pythonpath "$build") exec "$python" -m velmora_tools "$@"
