#!/usr/bin/env bash
# Builds the module, the test extension and the C++ tests with AddressSanitizer and
# UndefinedBehaviorSanitizer (gcc) into build-asan/ (or $ASAN_BUILD_DIR) and runs the C++ tests
# and the whole Python test suite against that build.
#   tools/sanitize.sh [pytest arguments]     default: tests/python (e.g. tests/python/test_walk.py -x)
# The interpreter is not instrumented: the ASan runtime is preloaded, PYTHONMALLOC=malloc sends
# every Python allocation through it, and reports go to $build/sanitizer-logs/. The interpreter
# leaves blocks behind at exit by design, so tools/lsan_filter.py fails the run only on leaks whose
# allocation stack passes through the module, and on every other sanitizer report.
set -uo pipefail
source "$(dirname "$0")/common.sh"
cd "$VELMORA_ROOT"
python=${VENV_PYTHON:-$(tools/bootstrap.sh --dev)} || exit 1
build=${ASAN_BUILD_DIR:-build-asan}
VENV_PYTHON=$python BUILD_DIR=$build tools/build.sh -DCMAKE_CXX_COMPILER=g++ \
  -DVELMORA_BUILD_TESTS=ON -DVELMORA_SANITIZE=ON || { echo "sanitizer build failed" >&2; exit 1; }

status=0
# The C++ tests are all ours: any report, leaks included, fails them.
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:strict_string_checks=1:detect_stack_use_after_return=1 \
UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  "$build/velmora_cpp_tests" --gtest_brief=1 || status=1

logs=$(cd "$build" && pwd)/sanitizer-logs  # the build folder may be given relative or absolute
rm -rf "$logs" && mkdir -p "$logs"
# The C++ runtime is preloaded with ASan, or ASan finds no __cxa_throw to wrap in an interpreter
# that is not C++ and fails on the module's first exception.
preload="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libstdc++.so.6)"
export ASAN_OPTIONS="log_path=$logs/asan:abort_on_error=1:detect_leaks=1:strict_string_checks=1"
export LSAN_OPTIONS="exitcode=0"  # leaks are judged by lsan_filter.py, not by the exit status
export UBSAN_OPTIONS="log_path=$logs/asan:print_stacktrace=1:halt_on_error=1"
export PYTHONMALLOC=malloc
export LD_PRELOAD=$preload
# ASan's own operator new reports a failed allocation and aborts before the module's handler can
# run, so the test of that handler cannot pass here; it runs in the ordinary suite.
selection=(tests/python)
(($#)) && selection=("$@")
PYTHONPATH="$(velmora_pythonpath "$build"):$PWD/tests/python" \
  "$python" -m pytest -q -p no:cacheprovider "${selection[@]}" \
  --deselect tests/python/test_failure_report.py::test_exhausted_memory_outside_every_call_writes_one_line_and_aborts \
  --deselect tests/python/test_failure_report.py::test_exhausted_memory_inside_a_call_fails_the_call_after_the_same_line \
  --ignore tests/python/test_robust_memory.py || status=1
unset LD_PRELOAD
"$python" tools/lsan_filter.py "$logs" || status=1
[[ $status -eq 0 ]] && echo "sanitize: clean" || echo "sanitize: FAILED"
exit $status
