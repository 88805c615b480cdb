#!/usr/bin/env bash
# Runs the stress suite (tests/stress/, not part of tools/test.sh) against the ordinary build
# (build/, or $BUILD_DIR): gigabyte inputs, an error past 2^32 bytes, a million levels of nesting,
# 200,000 attributes, a DOCTYPE with a million "<", entity attacks, names that would flood a weak
# key hash. Each case prints its user CPU time per MB next to flat records of similar size and checks
# that time grows linearly.
#   tools/stress.sh [pytest arguments]        e.g. tools/stress.sh -k "not four_gib"
# Needs about 11 GiB of available memory for its largest case (which skips itself otherwise),
# and some minutes.
set -uo pipefail
source "$(dirname "$0")/common.sh"
cd "$VELMORA_ROOT"
python=${VENV_PYTHON:-$(tools/bootstrap.sh --dev)} || exit 1
build=$(velmora_build_dir)
VENV_PYTHON=$python BUILD_DIR=$build tools/build.sh || { echo "build failed" >&2; exit 1; }
PYTHONPATH="$(velmora_pythonpath "$build"):$PWD/tests/python" \
  exec "$python" -m pytest -s -p no:cacheprovider -rs tests/stress "$@"
