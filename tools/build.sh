#!/usr/bin/env bash
# Configures and builds the module into build/ (build-3.13/ for VELMORA_PYTHON_VERSION=3.13, or
# $BUILD_DIR) with the interpreter of the environment (VENV_PYTHON, else set up by bootstrap.sh).
# Extra arguments go to the CMake configure step.
set -euo pipefail
source "$(dirname "$0")/common.sh"
python=${VENV_PYTHON:-$("$VELMORA_ROOT/tools/bootstrap.sh")}
velmora_cmake_build "$python" "$(velmora_build_dir)" "$@"
