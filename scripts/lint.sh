#!/usr/bin/env bash
# Checks the C++ sources against .clang-format and the Python files (tests,
# bench, examples, docs) with ruff's configuration in pyproject.toml. The two
# tools are the versions pinned in scripts/test-requirements.txt, from build/venv;
# with --install, that environment is made first when it is missing or out of
# date. With --fix, rewrites the files instead of checking them.
set -euo pipefail
cd "$(dirname "$0")/.."
install=0
fix=0
for arg in "$@"; do
  case "$arg" in
    --install) install=1 ;;
    --fix) fix=1 ;;
    *) echo "lint.sh: unknown argument $arg" >&2; exit 2 ;;
  esac
done
if [ "$install" = 1 ]; then
  source scripts/system-deps.sh
  source scripts/python-env.sh
  venv_create build/venv
  venv_install build/venv scripts/test-requirements.txt
fi
bin=build/venv/bin
for tool in clang-format ruff; do
  [ -x "$bin/$tool" ] || { echo "lint.sh: $bin/$tool missing; run bash scripts/lint.sh --install" >&2; exit 1; }
done
mapfile -t cpp < <(git ls-files '*.cpp' '*.hpp')
mapfile -t python < <(git ls-files '*.py')
if [ "$fix" = 1 ]; then
  "$bin/clang-format" -i "${cpp[@]}"
  "$bin/ruff" check --no-cache --fix "${python[@]}"
else
  "$bin/clang-format" --dry-run -Werror "${cpp[@]}"
  "$bin/ruff" check --no-cache "${python[@]}"
fi
