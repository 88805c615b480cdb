#!/usr/bin/env bash
# Installs what the tests need, builds, and runs every test (C++ and Python).
set -uo pipefail
cd "$(dirname "$0")/.."
python=$(tools/bootstrap.sh) || exit 1
export VENV_PYTHON=$python
tools/build.sh -DVELMORA_BUILD_TESTS=ON || { echo "build failed" >&2; exit 1; }

build=${BUILD_DIR:-build}
cpp_passed=0 cpp_failed=0
"$build/velmora_cpp_tests" --gtest_brief=1 2>&1 | tee "$build/cpp-tests.log"
cpp_rc=${PIPESTATUS[0]}
cpp_passed=$(sed -n 's/.*\[  PASSED  \] \([0-9]*\) test.*/\1/p' "$build/cpp-tests.log" | tail -1)
cpp_failed=$(sed -n 's/.*\[  FAILED  \] \([0-9]*\) test.*/\1/p' "$build/cpp-tests.log" | tail -1)

# The reader's fuzzer: replay the committed corpus, then a few seconds of new inputs.
fuzz_passed=0 fuzz_failed=0
if FUZZ_BUILD_DIR=${FUZZ_BUILD_DIR:-build-fuzz} tools/fuzz.sh "${FUZZ_SECONDS:-10}" > "$build/fuzz.log" 2>&1; then
  fuzz_passed=1
  echo "reader fuzzer: $(grep -o 'stat::number_of_executed_units: *[0-9]*' "$build/fuzz.log" | grep -o '[0-9]*$' | tail -1) executions, no failure"
else
  fuzz_failed=1
  tail -40 "$build/fuzz.log"
  echo "reader fuzzer: FAILED (log: $build/fuzz.log)"
fi

PYTHONPATH="$PWD/$build${PYTHONPATH:+:$PYTHONPATH}" "$python" -m pytest -q -p no:cacheprovider tests/python \
  --junitxml="$build/pytest.xml" "$@"
py_rc=$?
read -r py_passed py_failed < <("$python" - "$build/pytest.xml" <<'PY'
import sys, xml.etree.ElementTree as ET
try:
    root = ET.parse(sys.argv[1]).getroot()
    suites = [root] if root.tag == "testsuite" else root.findall("testsuite")
    t = sum(int(s.get("tests", 0)) for s in suites); f = sum(int(s.get("failures", 0)) + int(s.get("errors", 0)) for s in suites)
    sk = sum(int(s.get("skipped", 0)) for s in suites)
    print(t - f - sk, f)
except Exception:
    print(0, 1)
PY
)
passed=$(( ${cpp_passed:-0} + py_passed + fuzz_passed ))
failed=$(( ${cpp_failed:-0} + py_failed + fuzz_failed ))
[[ $cpp_rc -ne 0 && $failed -eq 0 ]] && failed=1
[[ $py_rc -ne 0 && $failed -eq 0 ]] && failed=1
echo "velmora: $passed passed, $failed failed"
[[ $cpp_rc -eq 0 && $py_rc -eq 0 && $fuzz_failed -eq 0 ]]
