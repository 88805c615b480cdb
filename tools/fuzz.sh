#!/usr/bin/env bash
# Builds a fuzzer (clang, libFuzzer, AddressSanitizer + UndefinedBehaviorSanitizer) into
# build-fuzz/ (or $FUZZ_BUILD_DIR), replays the committed corpus, then fuzzes.
#   tools/fuzz.sh [seconds]     default 10; extra libFuzzer flags in $FUZZ_FLAGS
#   FUZZ_TARGET=item_scanner_fuzz tools/fuzz.sh    the item scanner (default: reader_fuzz)
# New inputs go to $FUZZ_BUILD_DIR/corpus (corpus-TARGET for other targets), crashes to $FUZZ_BUILD_DIR/artifacts; fuzz/corpus
# itself is only read.
set -euo pipefail
source "$(dirname "$0")/common.sh"
cd "$VELMORA_ROOT"
seconds=${1:-10}
command -v clang++ >/dev/null || { echo "error: clang++ not found (Debian: clang, libclang-rt-dev)" >&2; exit 1; }
python=${VENV_PYTHON:-$(tools/bootstrap.sh)}
build=${FUZZ_BUILD_DIR:-build-fuzz}
velmora_cmake_configure "$python" "$build" -DCMAKE_CXX_COMPILER=clang++ -DVELMORA_BUILD_FUZZ=ON
target=${FUZZ_TARGET:-reader_fuzz}
"$(dirname "$python")/cmake" --build "$build" --target "$target"

corpus=$build/corpus
[[ $target == reader_fuzz ]] || corpus=$build/corpus-$target
mkdir -p "$corpus" "$build/artifacts"
fuzzer=$build/$target
# Every committed input, regression cases included, must pass before new ones are searched for.
"$fuzzer" -runs=0 fuzz/corpus
# shellcheck disable=SC2086
"$fuzzer" -max_total_time="$seconds" -dict=fuzz/reader_fuzz.dict -max_len=4096 \
  -artifact_prefix="$build/artifacts/" -print_final_stats=1 ${FUZZ_FLAGS:-} "$corpus" fuzz/corpus
