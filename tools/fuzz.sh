#!/usr/bin/env bash
# Builds a fuzzer (clang, libFuzzer, AddressSanitizer + UndefinedBehaviorSanitizer) into
# build-fuzz/ (or $FUZZ_BUILD_DIR), replays the committed corpus, then fuzzes.
#   tools/fuzz.sh [seconds] [target]     default 10 seconds of the reader's fuzzer
#   targets: reader (the reader alone), item_scanner (the streaming item scanner, against the
#            reader), parse (the whole conversion in an embedded interpreter, against the
#            level-by-level reference)
# Extra libFuzzer flags in $FUZZ_FLAGS (e.g. FUZZ_FLAGS=-runs=10000000 to stop at a count).
# New inputs go to $FUZZ_BUILD_DIR/corpus-TARGET, crashes to $FUZZ_BUILD_DIR/artifacts; fuzz/corpus
# itself is only read.
set -euo pipefail
source "$(dirname "$0")/common.sh"
cd "$VELMORA_ROOT"
seconds=${1:-10}
target=${2:-reader}
case $target in reader|item_scanner|parse) ;; *) echo "error: unknown fuzz target '$target' (reader, item_scanner, parse)" >&2; exit 2 ;; esac
command -v clang++ >/dev/null || { echo "error: clang++ not found (Debian: clang, libclang-rt-dev)" >&2; exit 1; }
python=${VENV_PYTHON:-$(tools/bootstrap.sh)}
build=${FUZZ_BUILD_DIR:-build-fuzz}
velmora_cmake_configure "$python" "$build" -DCMAKE_CXX_COMPILER=clang++ -DVELMORA_BUILD_FUZZ=ON
"$(dirname "$python")/cmake" --build "$build" --target "${target}_fuzz"

mkdir -p "$build/corpus-$target" "$build/artifacts"
fuzzer=$build/${target}_fuzz
# The parse target keeps the embedded interpreter for the whole run and never finalises it, so
# only its own checks look for leaked objects; C++ memory errors are the sanitizers' to find.
[[ $target == parse ]] && export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=0}
# Every committed input, regression cases included, must pass before new ones are searched for.
"$fuzzer" -runs=0 fuzz/corpus
# shellcheck disable=SC2086
"$fuzzer" -max_total_time="$seconds" -dict=fuzz/reader_fuzz.dict -max_len=4096 \
  -artifact_prefix="$build/artifacts/" -print_final_stats=1 ${FUZZ_FLAGS:-} "$build/corpus-$target" fuzz/corpus
