#!/usr/bin/env bash
# Checks the C++ sources against .clang-format and the Python files (tests,
# bench, examples, docs) with ruff's configuration in pyproject.toml. With
# --install, first installs the pinned versions of both tools if they are
# missing; with --fix, rewrites the files instead of checking them.
set -euo pipefail
cd "$(dirname "$0")/.."
clang_format_version=18.1.8
ruff_version=0.17.6
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
  clang-format --version 2>/dev/null | grep -q "version $clang_format_version" \
    || python3 -m pip install -q "clang-format==$clang_format_version"
  ruff --version 2>/dev/null | grep -q "ruff $ruff_version" \
    || python3 -m pip install -q "ruff==$ruff_version"
fi
mapfile -t cpp < <(git ls-files '*.cpp' '*.hpp')
mapfile -t python < <(git ls-files '*.py')
if [ "$fix" = 1 ]; then
  clang-format -i "${cpp[@]}"
  ruff check --no-cache --fix "${python[@]}"
else
  clang-format --dry-run -Werror "${cpp[@]}"
  ruff check --no-cache "${python[@]}"
fi
