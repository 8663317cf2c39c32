#!/usr/bin/env bash
# The Linux aarch64 leg: cross-builds velqor on this x86-64 host and tests it
# in an arm64 Debian chroot under qemu-user.
#
#   bash scripts/aarch64.sh           set-up, C++ tests, the release wheel for
#                                     aarch64 (manylinux_2_28 or older) and
#                                     the Python suite against it, all in the chroot
#   bash scripts/aarch64.sh --wheel   set-up and the wheel alone (release.sh)
#
# Set-up, done once and kept under build/: Debian's cross compiler
# (g++-aarch64-linux-gnu), qemu-user-static with its binfmt_misc entry, and
# build/chroots/arm64, a minimal bookworm made by debootstrap with python3.11,
# its venv module and headers, GoogleTest, and a venv holding pytest.
# /proc, /sys, /dev and /tmp are bound into the chroot for each run and always
# unbound afterwards.
#
# When the emulator, the binfmt_misc entry or the chroot cannot be had (no
# root, no network, a host that is not x86-64 Linux), it says so in one line
# starting "aarch64 leg skipped:" and exits 0: the rest of the test command
# does not depend on it.
#
# Under emulation the C++ tests leave out one thread count and the Python
# suite the three tests that need an address-space limit (see below why), and
# everything runs a few times to tens of times slower than natively: timings
# from here say nothing about Arm hardware.
set -euo pipefail
cd "$(dirname "$0")/.."
mode=${1:-all}
case "$mode" in all | --wheel) ;; *) echo "usage: $0 [--wheel]" >&2; exit 2 ;; esac
root="$PWD"
out="$root/build/aarch64"
chroot_dir="$root/build/chroots/arm64"
reports="$root/build/test-reports"
mkdir -p "$out" "$reports"
rm -f "$out/wheel-path"

skip() {
  echo "aarch64 leg skipped: $*"
  exit 0
}

# --- host tools -------------------------------------------------------------
[ "$(uname -s)-$(uname -m)" = Linux-x86_64 ] || skip "the cross build runs on x86-64 Linux hosts only"
missing=()
command -v aarch64-linux-gnu-g++ >/dev/null || missing+=(g++-aarch64-linux-gnu)
command -v qemu-aarch64-static >/dev/null || missing+=(qemu-user-static)
command -v update-binfmts >/dev/null || missing+=(binfmt-support)
command -v debootstrap >/dev/null || missing+=(debootstrap)
if [ ${#missing[@]} -gt 0 ]; then
  [ "$(id -u)" -eq 0 ] || skip "missing ${missing[*]}, and installing them needs root"
  echo "-- installing Debian packages: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  { apt-get update -qq && apt-get install -y -qq "${missing[@]}" >/dev/null; } \
    || skip "could not install ${missing[*]}"
fi

# The kernel runs arm64 programs through qemu when binfmt_misc has its entry
# (with the F flag, so it works inside the chroot too).
binfmt=/proc/sys/fs/binfmt_misc
if [ ! -e "$binfmt/register" ]; then
  mount -t binfmt_misc binfmt_misc "$binfmt" 2>/dev/null || skip "binfmt_misc cannot be mounted here"
fi
if [ ! -e "$binfmt/qemu-aarch64" ]; then
  update-binfmts --enable qemu-aarch64 >/dev/null 2>&1 || skip "no binfmt_misc entry for qemu-aarch64"
fi
grep -q '^flags:.*F' "$binfmt/qemu-aarch64" || skip "the qemu-aarch64 binfmt entry lacks the F flag"

# The project's own build tools: ninja, and build/tools-venv (build, auditwheel).
source scripts/system-deps.sh
system_deps ninja
source scripts/python-env.sh
source scripts/tools-env.sh

# --- the chroot ---------------------------------------------------------------
# Its contents are described by this line; a chroot made for another is made anew.
# (debootstrap's resolver misses python3.11-venv's python3-distutils: named here.)
chroot_packages=python3.11,python3.11-venv,python3-distutils,python3.11-dev,libgtest-dev
pytest_pin=$(grep -E '^pytest==' scripts/test-requirements.txt)
chroot_stamp="$chroot_dir/.velqor-chroot"
chroot_wanted="bookworm $chroot_packages $pytest_pin"

mounted=()
unmount_all() {
  local i
  for ((i = ${#mounted[@]} - 1; i >= 0; i--)); do umount -l "${mounted[$i]}" 2>/dev/null || true; done
  mounted=()
}
trap unmount_all EXIT

# Binds what programs in the chroot need: the kernel's views and a scratch /tmp.
mount_chroot() {
  local dir
  for dir in proc sys dev tmp; do
    mkdir -p "$chroot_dir/$dir"
    mountpoint -q "$chroot_dir/$dir" && continue
    case "$dir" in
      proc) mount -t proc proc "$chroot_dir/proc" ;;
      sys) mount --rbind /sys "$chroot_dir/sys" && mount --make-rslave "$chroot_dir/sys" ;;
      dev) mount --rbind /dev "$chroot_dir/dev" && mount --make-rslave "$chroot_dir/dev" ;;
      tmp) mount -t tmpfs tmpfs "$chroot_dir/tmp" ;;
    esac
    mounted+=("$chroot_dir/$dir")
  done
}

# Runs a command in the chroot, where this work tree is bound read-only at its
# own path (so that the paths built into the tests hold there too).
in_chroot() {
  chroot "$chroot_dir" /usr/bin/env -i HOME=/root PATH=/opt/venv/bin:/usr/bin:/bin LANG=C.UTF-8 "$@"
}

bind_tree() {
  mkdir -p "$chroot_dir$root"
  if ! mountpoint -q "$chroot_dir$root"; then
    mount --bind "$root" "$chroot_dir$root"
    mount -o remount,bind,ro "$chroot_dir$root"
    mounted+=("$chroot_dir$root")
  fi
}

if [ "$(cat "$chroot_stamp" 2>/dev/null)" != "$chroot_wanted" ]; then
  [ "$(id -u)" -eq 0 ] || skip "making the arm64 chroot needs root"
  echo "-- making the arm64 chroot $chroot_dir (debootstrap under qemu: 10 to 15 minutes, once)"
  made="$chroot_dir.new"
  rm -rf "$made"
  mkdir -p "$(dirname "$chroot_dir")"
  debootstrap --arch=arm64 --variant=minbase --include="$chroot_packages" bookworm "$made" \
    "$(debian_mirror)" >"$out/debootstrap.log" 2>&1 \
    || { tail -20 "$out/debootstrap.log"; skip "debootstrap of the arm64 chroot failed (log: $out/debootstrap.log)"; }
  # pytest and its dependencies (pure Python) are fetched here, by this host's
  # pip and its configuration, and installed there from files.
  rm -rf "$out/wheels"
  "$TOOLS_PY" -m pip download -q -d "$out/wheels" --only-binary=:all: --platform manylinux2014_aarch64 \
    --python-version 3.11 --implementation cp "$pytest_pin" || skip "could not download $pytest_pin"
  mkdir -p "$made/opt/wheels"
  cp "$out"/wheels/*.whl "$made/opt/wheels/"
  mkdir -p "$made/proc"
  mount -t proc proc "$made/proc"
  mounted+=("$made/proc")
  chroot "$made" /usr/bin/env -i HOME=/root PATH=/usr/bin:/bin sh -c "python3.11 -m venv /opt/venv && \
    /opt/venv/bin/python -m pip install -qq --no-index --find-links /opt/wheels --disable-pip-version-check '$pytest_pin'" \
    || skip "could not install $pytest_pin into the arm64 chroot"
  unmount_all
  rm -rf "$chroot_dir"
  mv "$made" "$chroot_dir"
  echo "$chroot_wanted" >"$chroot_stamp"
fi

# --- the cross build's prefix ---------------------------------------------------
# GoogleTest and the interpreter's headers, copied out of the chroot: what the
# cross compiler needs of the target beyond its own C and C++ libraries.
prefix="$out/prefix"
if [ ! -f "$prefix/.from-chroot" ] || [ "$prefix/.from-chroot" -ot "$chroot_stamp" ]; then
  rm -rf "$prefix"
  mkdir -p "$prefix/include" "$prefix/lib"
  cp -r "$chroot_dir/usr/include/gtest" "$prefix/include/"
  cp "$chroot_dir"/usr/lib/aarch64-linux-gnu/libgtest{,_main}.a "$prefix/lib/"
  cp -r "$chroot_dir/usr/include/python3.11" "$prefix/include/"
  # Debian's pyconfig.h picks the architecture's copy by include path; this
  # prefix holds aarch64's alone.
  cp "$chroot_dir/usr/include/aarch64-linux-gnu/python3.11/pyconfig.h" "$prefix/include/python3.11/pyconfig.h"
  touch "$prefix/.from-chroot"
fi
# One build folder for the wheel's module and the C++ tests: the core is
# compiled once, with the release flags (VELQOR_PORTABLE only adds the glibc
# stand-ins, which nothing but the module's link uses).
build="$out/build"

# --- the release wheel -------------------------------------------------------------
# Built by scikit-build-core on this host as a cross build against the
# chroot's headers (VELQOR_PYTHON_HEADERS, the file named by the target's SOABI
# so that no other interpreter imports it), then repaired by
# auditwheel, which reads the wheel's architecture from the wheel (its --plat
# choices are this host's alone) and tags it with the oldest manylinux it fits;
# the checks below are those release.sh makes of the x86-64 wheel.
wheel_out="$out/wheel"
rm -rf "$wheel_out"
echo "-- aarch64 wheel (cross build; log: $out/wheel.log)"
_PYTHON_HOST_PLATFORM=linux-aarch64 SETUPTOOLS_EXT_SUFFIX=.cpython-311-aarch64-linux-gnu.so \
  "$TOOLS_PY" -m build --wheel --no-isolation -o "$wheel_out/dist" -C build-dir="$build" \
  -C cmake.toolchain-file="$root/cmake/aarch64-linux-gnu.cmake" -C cmake.python-hints=false \
  -C cmake.define.VELQOR_AARCH64_PREFIX="$prefix" -C cmake.define.VELQOR_PYTHON_HEADERS="$prefix/include/python3.11" \
  -C cmake.define.VELQOR_PYTHON_SOABI=cpython-311-aarch64-linux-gnu -C cmake.define.VELQOR_PORTABLE=ON \
  >"$out/wheel.log" 2>&1 || { cat "$out/wheel.log"; exit 1; }
PATH="$TOOLS_BIN:$PATH" "$TOOLS_BIN/auditwheel" repair -w "$wheel_out/wheelhouse" \
  "$wheel_out"/dist/velqor-*.whl >"$out/auditwheel.log" 2>&1 || { cat "$out/auditwheel.log"; exit 1; }
wheel=$(ls "$wheel_out"/wheelhouse/velqor-*manylinux*_aarch64.whl)
# The same checks as the x86-64 wheel's (release.sh): the platform auditwheel
# finds, no shared libstdc++, PyInit_velqor the only export.
report=$(PATH="$TOOLS_BIN:$PATH" "$TOOLS_BIN/auditwheel" show "$wheel" 2>&1 | grep -v '^INFO:auditwheel')
tag=$(grep -oE 'platform tag: "manylinux_2_[0-9]+_aarch64"' <<<"$report" | grep -oE 'manylinux_2_[0-9]+' || true)
if [ -z "$tag" ] || [ "${tag#manylinux_2_}" -gt 28 ]; then
  echo "$report"
  echo "aarch64: $(basename "$wheel") needs ${tag:-a platform newer than manylinux}, not manylinux_2_28 or older" >&2
  exit 1
fi
rm -rf "$wheel_out/unpacked"
"$TOOLS_PY" -m zipfile -e "$wheel" "$wheel_out/unpacked"
so=("$wheel_out"/unpacked/velqor*.so)
if readelf -d "${so[0]}" | grep -q 'NEEDED.*libstdc++'; then
  echo "aarch64: the module needs the shared libstdc++" >&2
  exit 1
fi
exported=$(readelf -W --dyn-syms "${so[0]}" | awk '$1 ~ /^[0-9]+:$/ && $7 != "UND" && $5 != "LOCAL" && NF >= 8 {print $8}' | grep -v '^$')
if [ "$exported" != PyInit_velqor ]; then
  echo "aarch64: the module exports more than PyInit_velqor:" $exported >&2
  exit 1
fi
echo "$wheel" >"$out/wheel-path"
echo "-- $(basename "$wheel"): $tag, libstdc++ inside the module, PyInit_velqor its only export"
[ "$mode" = --wheel ] && exit 0

# --- C++ tests in the chroot ---------------------------------------------------------
echo "-- C++ tests: cross build (build/aarch64/build), run in the chroot"
cmake -S . -B "$build" -DVELQOR_BUILD_TESTS=ON >/dev/null
cmake --build "$build" --target velqor_tests >"$out/tests-build.log" 2>&1 || { cat "$out/tests-build.log"; exit 1; }
grep -h 'fused multiply-add' "$out/wheel.log" "$out/tests-build.log" | sort -u || true
mount_chroot
bind_tree
cpp_log="$out/cpp-tests.log"
# Left out: a forked child's thread count, which qemu's own thread in the child
# makes one more than the pool's.
in_chroot sh -c "cd '$root/build/aarch64/build' && ./velqor_tests --gtest_brief=1 --gtest_output=xml:/tmp/cpp.xml \
  --gtest_filter=-PoolFork.ChildStartsAFreshPool" \
  >"$cpp_log" 2>&1 || { cat "$cpp_log"; exit 1; }
cp "$chroot_dir/tmp/cpp.xml" "$reports/cpp-aarch64.xml"
grep -E '^\[  (PASSED|SKIPPED) ' "$cpp_log"

# --- the Python suite against the wheel, in the chroot ---------------------------------
echo "-- Python suite against $(basename "$wheel") in the chroot's venv (about 5 minutes emulated)"
in_chroot python -m pip install -qq --no-index --no-deps --force-reinstall --disable-pip-version-check \
  "$wheel"
# VELQOR_EMULATED skips the tests that provoke MemoryError with an
# address-space limit, which qemu-user does not apply (RLIMIT_AS would bind
# the emulator itself).
in_chroot sh -c "cd '$root/tests/python' && PYTHONDONTWRITEBYTECODE=1 VELQOR_EMULATED=1 \
  python -X dev -m pytest -q -p no:cacheprovider --junitxml=/tmp/python.xml ." \
  || { echo "aarch64: the Python suite failed" >&2; exit 1; }
cp "$chroot_dir/tmp/python.xml" "$reports/python-aarch64.xml"
