#!/usr/bin/env bash
# Installs what the tests need and runs every check and test, each phase
# announced and timed:
#   set-up          Debian packages when missing, build/venv (test runner,
#                   NumPy, the pinned formatter and linter)
#   lint            clang-format and ruff (scripts/lint.sh)
#   C++ tests       GoogleTest through CTest
#   wheels          the release build of the module as a wheel for every
#                   supported CPython (3.11 to 3.15) the machine has or can
#                   make (scripts/pythons.sh), each one's manylinux platform,
#                   the stubs against PYTHON's (release.sh --quick, tools in
#                   build/tools-venv)
#   Python tests    the suite against each wheel on its own interpreter
#                   (python -X dev; PYTHON's in build/venv, the others in
#                   build/pythons/), one line of counts per version, then the
#                   benchmark harness's own tests
#   typing, docs    mypy --strict and pyright on user scripts for the oldest
#                   and the newest supported version, the examples,
#                   mkdocs build --strict, and that it fails on planted dangling references
#   ASan + UBSan    the Python suite against a sanitizer build of the module
#                   (PYTHON's version)
#   TSan            the C++ tests under ThreadSanitizer
#   aarch64         cross build, C++ tests and the aarch64 release wheel's Python
#                   suite in an arm64 chroot under qemu (scripts/aarch64.sh;
#                   a one-line notice instead where the emulator cannot be had)
# Every runner writes a JUnit report into build/test-reports/; the run ends with
# each phase's time and one line with the totals of all of them.
# PYTHON picks the interpreter the environments are made from (python-env.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
reports="$PWD/build/test-reports"
phase_count=10
phase_titles=()
phase_seconds=()
phase_title=""
phase_start=0
run_start=$(date +%s.%N)
rm -rf "$reports"
mkdir -p "$reports"

# Seconds since START, with two decimals.
seconds_since() { echo "$(date +%s.%N) $1" | awk '{printf "%.2f", $1 - $2}'; }

# Closes the running phase and prints its duration.
phase_end() {
  [ -n "$phase_title" ] || return 0
  local took
  took=$(seconds_since "$phase_start")
  phase_titles+=("$phase_title")
  phase_seconds+=("$took")
  echo "-- $phase_title: ${took}s"
  phase_title=""
}

# Announces the phase TITLE (what it runs: WHAT) and starts its clock.
phase() {
  phase_end
  phase_title=$1
  phase_start=$(date +%s.%N)
  echo
  echo "== [$((${#phase_titles[@]} + 1))/$phase_count] $1: $2"
}

# On the way out, failed or not: every phase's time, then the totals.
summary() {
  local status=$? failed=$phase_title
  [ -z "$failed" ] || phase_end >/dev/null
  echo
  echo "== Summary"
  local i
  for i in "${!phase_titles[@]}"; do
    printf '   %-26s %8ss%s\n' "${phase_titles[$i]}" "${phase_seconds[$i]}" \
      "$([ "${phase_titles[$i]}" = "$failed" ] && echo '  FAILED')"
  done
  if [ -s "$reports/versions.txt" ]; then
    echo "   The Python suite by version:"
    cat "$reports/versions.txt"
  fi
  local python=build/venv/bin/python
  [ -x "$python" ] || python=${PYTHON:-python3}
  "$python" scripts/test_totals.py "$reports" "$(seconds_since "$run_start")" "$failed" || [ "$status" -ne 0 ] || status=1
  exit "$status"
}
trap summary EXIT

phase "Set-up" "Debian packages when missing, build/venv"
source scripts/system-deps.sh
system_deps gtest ninja
source scripts/python-env.sh
jobs=$CMAKE_BUILD_PARALLEL_LEVEL
venv_create build/venv
venv_install build/venv scripts/test-requirements.txt
py="$PWD/build/venv/bin/python"

phase "Lint" "clang-format, ruff"
bash scripts/lint.sh

phase "C++ tests" "GoogleTest through CTest"
cmake -S . -B build/tests -G Ninja -DVELQOR_BUILD_TESTS=ON -DVELQOR_BUILD_MODULE=OFF >/dev/null
cmake --build build/tests -j "$jobs"
# The tests' expected panic reports go to the log, shown whole when a test fails.
ctest_log=build/tests/ctest.log
ctest --test-dir build/tests --output-on-failure -j "$jobs" --output-junit "$reports/cpp.xml" >"$ctest_log" 2>&1 \
  || { cat "$ctest_log"; exit 1; }
grep -E 'tests passed|Total Test time' "$ctest_log"

phase "Release wheels" "one per supported CPython obtained: built, its manylinux platform checked; stubs against PYTHON's"
bash scripts/release.sh --quick
source scripts/tools-env.sh

phase "Python tests" "the suite against each release wheel on its interpreter under python -X dev; the benchmark harness"
# One line per supported version: its counts, or why it was not obtained.
versions_report="$reports/versions.txt"
: >"$versions_report"
suite_failed=0
for version in "${PYTHON_VERSIONS[@]}"; do
  arch=$(uname -m)
  if ! leg_obtain "$version" "$arch"; then
    echo "   Python $version $arch: not obtained, not tested ($LEG_MISSING)" | tee -a "$versions_report"
    continue
  fi
  wheel=$(ls build/release/quick/velqor-*-"$LEG_WHEEL_TAG".whl)
  if [ -z "$LEG_ROOT" ] && [ "$version" = "$PYTHON_VERSION" ]; then
    python=$py
  else
    leg_venv
    python=$LEG_VENV/bin/python
  fi
  leg_exec "$python" -m pip install -qq --force-reinstall --no-deps "$(leg_path "$wheel")"
  log=build/test-reports/python-$version-$arch.log
  counts=$(leg_suite "$python" "$reports/python-$version-$arch.xml" "$log") || { cat "$log"; suite_failed=1; }
  echo "   Python $version $arch ($LEG_FROM): $counts" | tee -a "$versions_report"
done
[ "$suite_failed" = 0 ] || exit 1
# No peer simulator needed: NumPy is the harness's own reference.
"$py" -m pytest -q -p no:cacheprovider --junitxml="$reports/bench.xml" bench/test_compare.py

phase "Typing and examples" "mypy --strict and pyright on user scripts for ${PYTHON_VERSIONS[0]} and ${PYTHON_VERSIONS[-1]}; examples (text, figures, Dask sweep)"
"$TOOLS_PY" -m pytest -q -p no:cacheprovider --basetemp build/tools-cache/pytest --junitxml="$reports/typing.xml" \
  tests/typing tests/examples

phase "Docs" "mkdocs build --strict (any warning fails); dangling references planted in copies fail it"
"$TOOLS_BIN/mkdocs" build --strict --quiet --site-dir build/site
"$TOOLS_PY" -m pytest -q -p no:cacheprovider --basetemp build/tools-cache/pytest --junitxml="$reports/docs.xml" tests/docs

phase "Python tests, ASan+UBSan" "the suite against an AddressSanitizer + UndefinedBehaviorSanitizer build"
cmake -S . -B build/asan -G Ninja -DVELQOR_SANITIZE=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/asan -j "$jobs" --target velqor
# The sanitizers write their reports into files, one per process (child
# interpreters included), so pytest captures the tests' output as usual (the
# expected panic reports among it) and a report still survives a process that
# the sanitizer ends.
sanitizer_logs="$PWD/build/asan/reports"
rm -rf "$sanitizer_logs"
mkdir -p "$sanitizer_logs"
status=0
(cd tests/python \
  && VELQOR_BUILD_DIR="$PWD/../../build/asan" VELQOR_SANITIZED=1 PYTHONMALLOC=malloc \
    ASAN_OPTIONS="detect_leaks=0:allocator_may_return_null=1:halt_on_error=1:log_path=$sanitizer_logs/asan" \
    UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:log_path=$sanitizer_logs/ubsan" \
    LD_PRELOAD="$(gcc -print-file-name=libasan.so) $(g++ -print-file-name=libstdc++.so)" \
    "$py" -m pytest -q -p no:cacheprovider --junitxml="$reports/python-asan.xml" .) || status=$?
if compgen -G "$sanitizer_logs/*" >/dev/null; then
  for log in "$sanitizer_logs"/*; do
    echo "-- sanitizer report $log:"
    cat "$log"
  done
  status=1
fi
[ "$status" -eq 0 ] || exit "$status"

phase "C++ tests, TSan" "a ThreadSanitizer build, less the tests that fork or count threads"
cmake -S . -B build/tsan -G Ninja -DVELQOR_BUILD_TESTS=ON -DVELQOR_BUILD_MODULE=OFF -DVELQOR_SANITIZE_THREAD=ON \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/tsan -j "$jobs" --target velqor_tests
# The tests' expected panic reports go to the log, shown whole when a test fails.
tsan_log=build/tsan/tests.log
TSAN_OPTIONS=halt_on_error=1 build/tsan/velqor_tests --gtest_brief=1 --gtest_output="xml:$reports/cpp-tsan.xml" \
  --gtest_filter='-PoolCreation.*:PoolFork.*:ForkRegistry.*:*DeathTest*:Random.ForkedChildRekeysBeforeItsNextDraw:RegisterGates.SameBitsWithOneWorkerAndWithMany:Measure.CollapseIsIdenticalForEveryWorkerCount' \
  >"$tsan_log" 2>&1 || { cat "$tsan_log"; exit 1; }
grep -E '^\[  (PASSED|SKIPPED) ' "$tsan_log"

# --- aarch64 leg ---
phase "aarch64 (emulated)" "cross build, C++ tests and the aarch64 wheel's Python suite in an arm64 chroot under qemu"
bash scripts/aarch64.sh
phase_end
