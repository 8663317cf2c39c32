# Sourced by the scripts that need the packaging, typing, docs and example
# tools: creates build/tools-venv and installs scripts/tools-requirements.txt
# into it, once (again only when that file changes). Sets TOOLS_PY and TOOLS_BIN.
TOOLS_VENV="$PWD/build/tools-venv"
TOOLS_BIN="$TOOLS_VENV/bin"
TOOLS_PY="$TOOLS_BIN/python"
if ! cmp -s scripts/tools-requirements.txt "$TOOLS_VENV/installed-requirements.txt"; then
  echo "-- installing the tools into build/tools-venv"
  [ -x "$TOOLS_PY" ] || python3 -m venv "$TOOLS_VENV"
  "$TOOLS_PY" -m pip install -q --disable-pip-version-check -r scripts/tools-requirements.txt
  cp scripts/tools-requirements.txt "$TOOLS_VENV/installed-requirements.txt"
fi
