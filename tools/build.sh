#!/usr/bin/env bash
# Configures and builds into build/ (or $BUILD_DIR) with the .venv interpreter.
# Extra arguments go to the CMake configure step.
set -euo pipefail
cd "$(dirname "$0")/.."
python=${VENV_PYTHON:-$(tools/bootstrap.sh)}
bin=$(cd "$(dirname "$python")" && pwd)
build=${BUILD_DIR:-build}
"$bin/cmake" -S . -B "$build" -G Ninja -DCMAKE_MAKE_PROGRAM="$bin/ninja" \
  -DPython_EXECUTABLE="$python" "$@" >/dev/null
"$bin/cmake" --build "$build"
