#!/usr/bin/env bash
# Runs a representative slice of the Python tests under valgrind memcheck against the ordinary
# build (build/, or $BUILD_DIR) and fails on any error whose stack passes through the module.
#   tools/valgrind.sh [pytest arguments]      default: the slice below
# PYTHONMALLOC=malloc lets memcheck see every Python allocation; the interpreter's own noise
# (blocks kept at exit, deliberate reads) is sorted out by tools/memcheck_filter.py rather than
# by a suppression file, since it differs between interpreter builds. Child processes that tests
# start are not traced.
set -uo pipefail
source "$(dirname "$0")/common.sh"
cd "$VELMORA_ROOT"
command -v valgrind >/dev/null || { echo "error: valgrind not found (Debian: valgrind)" >&2; exit 1; }
python=${VENV_PYTHON:-$(tools/bootstrap.sh --dev)} || exit 1
build=$(velmora_build_dir)
VENV_PYTHON=$python BUILD_DIR=$build tools/build.sh -DVELMORA_BUILD_TESTS=ON || { echo "build failed" >&2; exit 1; }

# Conversions of every shape and failure, the call frame, binding, text, the failure report,
# and the leak checks, minus what spawns interpreters or loops a hundred thousand times.
slice=(tests/python/test_walk.py tests/python/test_errors.py tests/python/test_frame.py
       tests/python/test_binding.py tests/python/test_text.py tests/python/test_robust_leaks.py
       tests/python/test_differential.py -k "not hundred_thousand and not generated_documents")
(($#)) && slice=("$@")

report=$build/memcheck.xml
PYTHONMALLOC=malloc PYTHONPATH="$(velmora_pythonpath "$build"):$PWD/tests/python" \
  valgrind --tool=memcheck --xml=yes --xml-file="$report" --leak-check=full \
  --show-leak-kinds=definite,indirect,possible --errors-for-leak-kinds=definite,indirect,possible \
  --num-callers=40 --track-origins=yes \
  "$python" -m pytest -q -p no:cacheprovider "${slice[@]}"
status=$?
"$python" tools/memcheck_filter.py "$report" || status=1
[[ $status -eq 0 ]] && echo "valgrind: clean" || echo "valgrind: FAILED"
exit $status
