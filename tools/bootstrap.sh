#!/usr/bin/env bash
# Prepares a virtual environment and prints its interpreter. Safe to rerun.
#   tools/bootstrap.sh [--dev] [VERSION]
# Plain: the build tools only (cmake, ninja), no root needed. --dev: also the test tools and,
# run as root, the Debian packages the C++ tests and the fuzzer need.
set -euo pipefail
source "$(dirname "$0")/common.sh"

dev=0
[[ ${1:-} == --dev ]] && { dev=1; shift; }
version=${1:-${VELMORA_PYTHON_VERSION:-$VELMORA_DEFAULT_VERSION}}

if ((dev)); then
  need_pkgs=()
  for pkg in ${VELMORA_APT_PACKAGES:-libgtest-dev clang libclang-rt-dev}; do
    dpkg -s "$pkg" >/dev/null 2>&1 || need_pkgs+=("$pkg")
  done
  if ((${#need_pkgs[@]})); then
    if [[ $(id -u) -ne 0 ]]; then
      echo "error: missing Debian packages: ${need_pkgs[*]} (run as root or install them)" >&2
      exit 1
    fi
    echo "set-up: installing ${need_pkgs[*]}" >&2
    apt-get update -qq >&2
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${need_pkgs[@]}" >&2
  fi
  velmora_venv "$version" "$VELMORA_ROOT/requirements-dev.txt"
else
  velmora_venv "$version" "$VELMORA_ROOT/requirements-build.txt"
fi
