# Sourced by the set-up scripts: the virtual environments under build/ that
# every Python package of the build and the tests goes into. Nothing is ever
# installed into the interpreter itself, so an externally managed one (Debian's
# /usr/bin/python3) serves as well as any other.
#
# PYTHON names the interpreter the environments are made from (default: the
# python3 first on the PATH); it must be a CPython velqor supports (3.11 to
# 3.15, PYTHON_VERSIONS of scripts/pythons.sh). An environment made from
# another interpreter than the one PYTHON names now is made anew.
# Needs scripts/system-deps.sh sourced first.
PYTHON=${PYTHON:-python3}
export PIP_DISABLE_PIP_VERSION_CHECK=1
# At most two compile jobs for the module builds that pip runs.
export CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-2}
source scripts/pythons.sh

if ! command -v "$PYTHON" >/dev/null; then
  echo "no Python interpreter '$PYTHON' (set PYTHON to a CPython ${PYTHON_VERSIONS[0]} to ${PYTHON_VERSIONS[-1]})" >&2
  exit 1
fi
PYTHON_VERSION=$(python_version_of "$PYTHON")
if ! python_supported "$PYTHON_VERSION"; then
  echo "velqor needs CPython ${PYTHON_VERSIONS[0]} to ${PYTHON_VERSIONS[-1]}; $PYTHON is" \
    "$("$PYTHON" -c 'import sys; print(sys.implementation.name, sys.version.split()[0])')" \
    "(set PYTHON to another interpreter)" >&2
  exit 1
fi
system_deps venv headers

# The interpreter PYTHON runs (not a wrapper such as pyenv's shim).
PYTHON_EXE=$("$PYTHON" -c 'import os, sys; print(os.path.realpath(sys.executable))')

# Creates the environment DIR from PYTHON unless it is already there.
venv_create() {
  local dir=$1
  if [ -x "$dir/bin/python" ] && cmp -s <(echo "$PYTHON_EXE") "$dir/made-from"; then
    return
  fi
  echo "-- creating $dir from $PYTHON_EXE"
  rm -rf "$dir"
  "$PYTHON" -m venv "$dir"
  echo "$PYTHON_EXE" >"$dir/made-from"
}

# Installs the requirements file REQUIREMENTS into the environment DIR, unless
# the same file was installed there last time.
venv_install() {
  local dir=$1 requirements=$2
  local stamp="$dir/installed-$(basename "$requirements")"
  cmp -s "$requirements" "$stamp" && return
  echo "-- installing $(grep -cvE '^\s*(#|$)' "$requirements") packages of $requirements into $dir"
  PIP_NO_CACHE_DIR=1 "$dir/bin/python" -m pip install -qq -r "$requirements"
  cp "$requirements" "$stamp"
}
