# Sourced by the scripts that need the packaging, typing, docs and example
# tools: creates build/tools-venv and installs scripts/tools-requirements.txt
# into it, once (again only when that file changes). Sets TOOLS_PY and TOOLS_BIN,
# and keeps the tools' caches and scratch files under build/.
TOOLS_VENV="$PWD/build/tools-venv"
TOOLS_BIN="$TOOLS_VENV/bin"
TOOLS_PY="$TOOLS_BIN/python"
mkdir -p build/tools-cache
export PIP_NO_CACHE_DIR=1
export MPLCONFIGDIR="$PWD/build/tools-cache/matplotlib"
export DASK_TEMPORARY_DIRECTORY="$PWD/build/tools-cache/dask"
if ! cmp -s scripts/tools-requirements.txt "$TOOLS_VENV/installed-requirements.txt"; then
  echo "-- installing the tools into build/tools-venv"
  [ -x "$TOOLS_PY" ] || python3 -m venv "$TOOLS_VENV"
  "$TOOLS_PY" -m pip install -q --disable-pip-version-check -r scripts/tools-requirements.txt
  cp scripts/tools-requirements.txt "$TOOLS_VENV/installed-requirements.txt"
fi
