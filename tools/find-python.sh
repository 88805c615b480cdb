#!/usr/bin/env bash
# Prints the path of a CPython 3.12 interpreter: $PYTHON if set, else the newest pyenv 3.12,
# else python3.12 on PATH. Fails with a clear message when none is found.
set -euo pipefail

is_312() { "$1" -c 'import sys; sys.exit(0 if sys.version_info[:2] == (3, 12) else 1)' 2>/dev/null; }

if [[ -n "${PYTHON:-}" ]]; then
  if is_312 "$PYTHON"; then echo "$PYTHON"; exit 0; fi
  echo "error: PYTHON=$PYTHON is not a CPython 3.12 interpreter" >&2
  exit 1
fi

candidates=()
if command -v pyenv >/dev/null 2>&1; then
  root=$(pyenv root)
else
  root=${PYENV_ROOT:-$HOME/.pyenv}
fi
for p in $(ls -d "$root"/versions/3.12.* 2>/dev/null | sort -V -r); do
  candidates+=("$p/bin/python3.12")
done
command -v python3.12 >/dev/null 2>&1 && candidates+=("$(command -v python3.12)")

for c in "${candidates[@]}"; do
  if [[ -x "$c" ]] && is_312 "$c"; then echo "$c"; exit 0; fi
done
echo "error: no CPython 3.12 found (looked in $root/versions/3.12.* and on PATH); set PYTHON=/path/to/python3.12" >&2
exit 1
