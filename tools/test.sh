#!/usr/bin/env bash
# The test command. Does all set-up (as root, the Debian packages for the C++ tests and the
# fuzzers; environments for CPython 3.12 and 3.13), builds, and runs every test: the C++ units
# and short runs of the two fuzzers once, the whole Python suite (packaging included) on
# each interpreter. Extra arguments go to pytest. Ends with "velmora: N passed, N failed".
#   VELMORA_TEST_VERSIONS="3.12"   test on fewer interpreters
set -uo pipefail
source "$(dirname "$0")/common.sh"
cd "$VELMORA_ROOT"
unset BUILD_DIR

reports=$VELMORA_ROOT/build/test-reports
mkdir -p build && rm -rf "$reports" && mkdir -p "$reports"
status=0 extra=() first=1
for version in ${VELMORA_TEST_VERSIONS:-${VELMORA_SUPPORTED_VERSIONS[*]}}; do
  echo "== CPython $version"
  if ! python=$(tools/bootstrap.sh --dev "$version"); then
    echo "set-up for CPython $version failed"; extra+=("setup-$version=failed"); status=1; continue
  fi
  build=$(velmora_build_dir "$version")
  if ! VENV_PYTHON=$python VELMORA_PYTHON_VERSION=$version tools/build.sh -DVELMORA_BUILD_TESTS=ON; then
    echo "build for CPython $version failed"; extra+=("build-$version=failed"); status=1; continue
  fi

  if ((first)); then
    first=0
    "$build/velmora_cpp_tests" --gtest_brief=1 --gtest_output="xml:$reports/cpp.xml" || status=1
    # The fuzzers (the reader alone; the item scanner; the whole conversion against the
    # reference): replay the committed corpus, then a few seconds of new inputs each.
    for target in reader item_scanner parse; do
      seconds=${FUZZ_SECONDS:-10}
      [[ $target == parse ]] && seconds=${FUZZ_PARSE_SECONDS:-5}
      log=$build/fuzz-$target.log
      if VENV_PYTHON=$python tools/fuzz.sh "$seconds" "$target" > "$log" 2>&1; then
        echo "$target fuzzer: $(grep -o 'stat::number_of_executed_units: *[0-9]*' "$log" | grep -o '[0-9]*$' | tail -1) executions, no failure"
        extra+=("fuzz-$target=passed")
      else
        tail -40 "$log"; echo "$target fuzzer: FAILED (log: $log)"
        extra+=("fuzz-$target=failed"); status=1
      fi
    done
  fi

  PYTHONPATH=$(velmora_pythonpath "$build") "$python" -m pytest -q -p no:cacheprovider tests/python \
    --junitxml="$reports/python-$version.xml" "$@" || status=1
done

extra_args=()
for e in "${extra[@]}"; do extra_args+=(--extra "$e"); done
python3=$(command -v python3 || echo "$python")
"$python3" tools/count_results.py "$reports"/*.xml "${extra_args[@]}" || status=1
exit $status
