#!/usr/bin/env bash
# One-time set-up on a fresh machine: Debian packages for the C++ tests, and a virtual
# environment (.venv) made from CPython 3.12 with the build and test tools. Safe to rerun.
set -euo pipefail
cd "$(dirname "$0")/.."

need_pkgs=()
for pkg in ${VELMORA_APT_PACKAGES:-libgtest-dev clang libclang-rt-dev}; do
  dpkg -s "$pkg" >/dev/null 2>&1 || need_pkgs+=("$pkg")
done
if ((${#need_pkgs[@]})); then
  if [[ $(id -u) -ne 0 ]]; then
    echo "error: missing Debian packages: ${need_pkgs[*]} (run as root or install them)" >&2
    exit 1
  fi
  echo "bootstrap: installing ${need_pkgs[*]}" >&2
  apt-get update -qq >&2
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${need_pkgs[@]}" >&2
fi

python=$(tools/find-python.sh)
venv=.venv
if [[ ! -x $venv/bin/python ]] || ! "$venv/bin/python" -c 'import sys; sys.exit(sys.version_info[:2] != (3, 12))'; then
  rm -rf "$venv"
  "$python" -m venv "$venv" >&2
fi
stamp=$venv/.requirements.stamp
if ! cmp -s requirements-dev.txt "$stamp" 2>/dev/null; then
  "$venv/bin/python" -m pip install -q --disable-pip-version-check -r requirements-dev.txt >&2
  cp requirements-dev.txt "$stamp"
fi
echo "$PWD/$venv/bin/python"
