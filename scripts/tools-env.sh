# Sourced by the scripts that need the packaging, typing, docs and example
# tools: creates build/tools-venv and installs scripts/tools-requirements.txt
# into it, once (again only when that file changes). Sets TOOLS_PY and TOOLS_BIN,
# and keeps the tools' caches and scratch files under build/.
# Needs scripts/system-deps.sh and scripts/python-env.sh sourced first.
TOOLS_VENV="$PWD/build/tools-venv"
TOOLS_BIN="$TOOLS_VENV/bin"
TOOLS_PY="$TOOLS_BIN/python"
mkdir -p build/tools-cache
export PIP_NO_CACHE_DIR=1
export MPLCONFIGDIR="$PWD/build/tools-cache/matplotlib"
export DASK_TEMPORARY_DIRECTORY="$PWD/build/tools-cache/dask"
venv_create "$TOOLS_VENV"
venv_install "$TOOLS_VENV" scripts/tools-requirements.txt
