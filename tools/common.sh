# Sourced by the other tools: where the project is, which CPython to use, its virtual
# environment, its build folder and the module path. Nothing here needs root.
#
#   VELMORA_PYTHON_VERSION   the interpreter's minor version, 3.12 (default) or 3.13
#   PYTHON                   an interpreter to use instead of looking for one
#   VENV_PYTHON              a prepared environment's interpreter (skips the set-up)
#   BUILD_DIR                the build folder (default build/, build-3.13/ for 3.13)

VELMORA_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
VELMORA_SUPPORTED_VERSIONS=(3.12 3.13)
VELMORA_DEFAULT_VERSION=3.12

# True when $1 is a CPython of minor version $2 with the interpreter lock.
velmora_is_cpython() {
  "$1" -c "
import sys, sysconfig
ok = sys.implementation.name == 'cpython' and '%d.%d' % sys.version_info[:2] == '$2'
sys.exit(0 if ok and not sysconfig.get_config_var('Py_GIL_DISABLED') else 1)" 2>/dev/null
}

# Prints a CPython of the given minor version: $PYTHON, else the newest pyenv one, else
# pythonX.Y on PATH.
velmora_find_python() {
  local version=${1:-${VELMORA_PYTHON_VERSION:-$VELMORA_DEFAULT_VERSION}} root c
  if [[ -n ${PYTHON:-} ]]; then
    velmora_is_cpython "$PYTHON" "$version" && { echo "$PYTHON"; return 0; }
    echo "error: PYTHON=$PYTHON is not CPython $version (with the interpreter lock)" >&2
    return 1
  fi
  if command -v pyenv >/dev/null 2>&1; then root=$(pyenv root); else root=${PYENV_ROOT:-$HOME/.pyenv}; fi
  local candidates=()
  for c in $(ls -d "$root"/versions/"$version".* 2>/dev/null | sort -V -r); do
    candidates+=("$c/bin/python$version")
  done
  command -v "python$version" >/dev/null 2>&1 && candidates+=("$(command -v "python$version")")
  command -v python3 >/dev/null 2>&1 && candidates+=("$(command -v python3)")
  for c in "${candidates[@]}"; do
    [[ -x $c ]] && velmora_is_cpython "$c" "$version" && { echo "$c"; return 0; }
  done
  echo "error: no CPython $version found (looked in $root/versions/$version.*, python$version and python3 on PATH); set PYTHON" >&2
  return 1
}

velmora_suffix() {  # folder suffix of a version: none for the default one
  [[ $1 == "$VELMORA_DEFAULT_VERSION" ]] || echo "-$1"
}

velmora_build_dir() {  # the build folder of a version
  local version=${1:-${VELMORA_PYTHON_VERSION:-$VELMORA_DEFAULT_VERSION}}
  echo "${BUILD_DIR:-$VELMORA_ROOT/build$(velmora_suffix "$version")}"
}

# Makes (or reuses) the virtual environment of a version with the packages of a requirements
# file installed, and prints its interpreter. Messages go to standard error.
#   velmora_venv VERSION REQUIREMENTS [NAME]    NAME defaults to .venv (.venv-3.13 for 3.13)
velmora_venv() {
  local version=$1 requirements=$2 python venv stamp
  venv=$VELMORA_ROOT/${3:-.venv}$(velmora_suffix "$version")
  if [[ ! -x $venv/bin/python ]] || ! velmora_is_cpython "$venv/bin/python" "$version"; then
    python=$(velmora_find_python "$version") || return 1
    rm -rf "$venv"
    "$python" -m venv "$venv" >&2 || return 1
  fi
  stamp=$venv/.installed-$(basename "$requirements")
  # The stamp holds the file and the files it includes with -r, so a change to either counts.
  local wanted
  wanted=$(cat "$requirements"; sed -n 's/^-r  *//p' "$requirements" | while read -r f; do cat "$(dirname "$requirements")/$f"; done)
  if [[ ! -f $stamp || $(cat "$stamp") != "$wanted" ]]; then
    echo "set-up: installing $(basename "$requirements") into $venv" >&2
    # (pip's notes about configured package folders that this machine lacks are dropped)
    local status=0
    "$venv/bin/python" -m pip install -q --disable-pip-version-check -r "$requirements" \
      2> >(grep -v '^WARNING: Location .* is ignored' >&2) || status=$?
    ((status == 0)) || return 1
    printf '%s' "$wanted" > "$stamp"
  fi
  echo "$venv/bin/python"
}

# The module path for running against a build: the built extension and the Python packages.
velmora_pythonpath() {
  echo "$1:$VELMORA_ROOT/python${PYTHONPATH:+:$PYTHONPATH}"
}

# Configures build folder $2 with the CMake and Ninja of environment interpreter $1; extra
# arguments go to CMake.
velmora_cmake_configure() {
  local python=$1 build=$2 bin
  shift 2
  bin=$(dirname "$python")
  "$bin/cmake" -S "$VELMORA_ROOT" -B "$build" -G Ninja -DCMAKE_MAKE_PROGRAM="$bin/ninja" \
    -DPython_EXECUTABLE="$python" "$@" >/dev/null
}

# Configures (as above) and builds everything.
velmora_cmake_build() {
  velmora_cmake_configure "$@" && "$(dirname "$1")/cmake" --build "$2"
}
