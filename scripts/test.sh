#!/usr/bin/env bash
# Installs what the tests need and runs every check and test: the format and
# lint check of the sources, the C++ unit tests
# (GoogleTest through CTest), the Python suite against the installed module
# (under `python -X dev`), the benchmark harness's own tests, and the Python
# suite again against an AddressSanitizer + UndefinedBehaviorSanitizer build
# of the module. Between them: the packaging, typing, example and docs checks,
# with their tools in build/tools-venv. Last, the C++ unit tests again under
# ThreadSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)

source scripts/system-deps.sh
system_deps gtest ninja
python3 -c 'import pytest' 2>/dev/null || python3 -m pip install -q pytest

echo "== Format and lint (clang-format, ruff)"
bash scripts/lint.sh --install

echo "== C++ unit tests"
cmake -S . -B build/tests -G Ninja -DVELQOR_BUILD_TESTS=ON -DVELQOR_BUILD_MODULE=OFF >/dev/null
cmake --build build/tests -j "$jobs"
ctest --test-dir build/tests --output-on-failure -j "$jobs"

echo "== Python tests (installed module, python -X dev)"
python3 -m pip install -q .
(cd tests/python && python3 -X dev -m pytest -q -p no:cacheprovider .)

echo "== Benchmark harness tests (no peer simulator needed; NumPy is the harness's own reference)"
python3 -c 'import numpy' 2>/dev/null || python3 -m pip install -q numpy
python3 -m pytest -q -p no:cacheprovider bench/test_compare.py

# --- Packaging, typing, examples and docs: tools in build/tools-venv ---------
echo "== Packaging: wheel built, installed, imported; stubs against the module (release.sh --quick)"
bash scripts/release.sh --quick
source scripts/tools-env.sh
echo "== Typing: mypy --strict and pyright on user scripts; examples (text and figures, Dask sweep)"
"$TOOLS_PY" -m pytest -q -p no:cacheprovider --basetemp build/tools-cache/pytest tests/typing tests/examples
echo "== Docs (mkdocs build --strict: any warning fails)"
"$TOOLS_BIN/mkdocs" build --strict --quiet --site-dir build/site
# ------------------------------------------------------------------------------

echo "== Python tests (AddressSanitizer + UndefinedBehaviorSanitizer build)"
cmake -S . -B build/asan -G Ninja -DVELQOR_SANITIZE=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/asan -j "$jobs" --target velqor
log=$(mktemp)
set +e
(cd tests/python && \
  VELQOR_BUILD_DIR="$PWD/../../build/asan" VELQOR_SANITIZED=1 PYTHONMALLOC=malloc \
  ASAN_OPTIONS=detect_leaks=0:allocator_may_return_null=1:halt_on_error=1 \
  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  LD_PRELOAD="$(gcc -print-file-name=libasan.so) $(g++ -print-file-name=libstdc++.so)" \
  python3 -m pytest -q -s -p no:cacheprovider . 2>&1) | tee "$log"
status=${PIPESTATUS[0]}
set -e
if grep -qE 'ERROR: AddressSanitizer|runtime error:' "$log"; then
  echo "sanitizer report found" >&2
  status=1
fi
rm -f "$log"
[ "$status" -eq 0 ] || exit "$status"

echo "== C++ unit tests (ThreadSanitizer build; tests that fork or count threads cannot run under it)"
cmake -S . -B build/tsan -G Ninja -DVELQOR_BUILD_TESTS=ON -DVELQOR_BUILD_MODULE=OFF -DVELQOR_SANITIZE_THREAD=ON \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/tsan -j "$jobs" --target velqor_tests
TSAN_OPTIONS=halt_on_error=1 build/tsan/velqor_tests --gtest_brief=1 --gtest_filter=\
'-PoolCreation.*:PoolFork.*:*DeathTest*:Random.ForkedChildRekeysBeforeItsNextDraw:RegisterGates.SameBitsWithOneWorkerAndWithMany:Measure.CollapseIsIdenticalForEveryWorkerCount'
