# Sourced by the set-up, test and release scripts: the CPython versions velqor
# supports and where each one's interpreter comes from, one leg per
# (version, architecture).
#
#   PYTHON_VERSIONS      the supported versions, oldest first, from the
#                        classifiers of pyproject.toml (checked against its
#                        requires-python and CMakeLists.txt: python_versions_check)
#   python_supported V   whether V (3.12) is one of them
#   leg_obtain V ARCH    finds or makes the interpreter of the leg and sets the
#                        LEG_* variables below; returns 1 with LEG_MISSING
#                        (why) when this machine cannot have it
#   leg_exec CMD...      runs CMD for the leg last obtained: on the host, or
#                        inside its chroot with the work tree at $LEG_REPO
#
# Where an interpreter comes from, first found wins: the one PYTHON names, a
# pyenv version (newest patch release), pythonV on the PATH, and last a
# minimal chroot of Debian sid (build/chroots/sid-DEBARCH, made once with
# debootstrap and kept) with Debian's pythonV, its venv module and headers.
# The module is always built on the host, with the host's compiler, against
# the leg's headers (an extension links no libpython); only the tests run with
# the leg's interpreter.
#
# A leg for another architecture plugs in as leg_obtain_ARCH (and, if its
# interpreter cannot run through chroot alone, its own branch in leg_exec).
#
# LEG_VERSION, LEG_ARCH  the leg
# LEG_FROM               where its interpreter comes from, in words
# LEG_ROOT               its chroot, or empty for the host
# LEG_REPO               the work tree as the interpreter sees it
# LEG_PYTHON             the interpreter, as the leg sees it
# LEG_HEADERS            a folder with its Python.h and real pyconfig.h, on the host
# LEG_SOABI              its SOABI (cpython-314-x86_64-linux-gnu)
# LEG_WHEEL_TAG          the tag of a wheel for it (cp314-cp314-linux_x86_64)
# LEG_VENV               the environment the test suite runs in, as the leg sees it
#
# leg_venv [VENV] makes that environment (or VENV) with the suite's runner;
# leg_suite PYTHON JUNIT LOG runs the suite with PYTHON and prints its counts.

mapfile -t PYTHON_VERSIONS < <(grep -oE '"Programming Language :: Python :: 3\.[0-9]+"' pyproject.toml \
  | grep -oE '3\.[0-9]+' | sort -V)
PYTHONS_DIR="$PWD/build/pythons"
CHROOTS_DIR="$PWD/build/chroots"
# The suite's runner, from the wheels kept in build/pythons/wheels (made once
# by pip on the host), so a chroot needs no index of its own.
SUITE_REQUIREMENTS=scripts/suite-requirements.txt

python_supported() {
  local v
  for v in "${PYTHON_VERSIONS[@]}"; do [ "$v" = "$1" ] && return 0; done
  return 1
}

# Fails unless requires-python and the version range of CMakeLists.txt say
# what the classifiers say.
python_versions_check() {
  local oldest=${PYTHON_VERSIONS[0]} newest=${PYTHON_VERSIONS[-1]}
  local bound="3.$((${newest#3.} + 1))"
  grep -qF "requires-python = \">=$oldest,<$bound\"" pyproject.toml || {
    echo "pyproject.toml: requires-python must be \">=$oldest,<$bound\", as its classifiers say" >&2
    return 1
  }
  grep -qF "set(velqor_python_versions $oldest...<$bound)" CMakeLists.txt || {
    echo "CMakeLists.txt: velqor_python_versions must be $oldest...<$bound, as pyproject.toml's classifiers say" >&2
    return 1
  }
}

# The version (3.12) of the interpreter $1, or nothing when it is not CPython.
python_version_of() {
  "$1" -c 'import sys; sys.implementation.name == "cpython" and print("%d.%d" % sys.version_info[:2])' 2>/dev/null
}

# Debian's name of the architecture ARCH (as uname -m says it).
debian_arch() {
  case "$1" in
    x86_64) echo amd64 ;;
    aarch64) echo arm64 ;;
    *) echo "$1" ;;
  esac
}

# Sets LEG_* for the leg (V, ARCH); see the top of this file.
leg_obtain() {
  LEG_VERSION=$1 LEG_ARCH=$2 LEG_FROM="" LEG_ROOT="" LEG_REPO=$PWD LEG_PYTHON="" LEG_MISSING=""
  LEG_HEADERS="" LEG_SOABI="" LEG_WHEEL_TAG="" LEG_VENV=""
  if ! declare -F "leg_obtain_$LEG_ARCH" >/dev/null; then
    LEG_MISSING="no way to run $LEG_ARCH interpreters here"
    return 1
  fi
  "leg_obtain_$LEG_ARCH" || return 1
  leg_describe
}

# The host's own architecture: a host interpreter, else Debian's in a chroot.
leg_obtain_x86_64() {
  if [ "$(uname -m)" != x86_64 ]; then
    LEG_MISSING="the host is $(uname -m)"
    return 1
  fi
  leg_find_host || leg_make_chroot sid
}

# The interpreter of LEG_VERSION on the host, if there is one.
leg_find_host() {
  local v=$LEG_VERSION candidate
  local candidates=("${PYTHON:-python3}")
  candidates+=($(ls -d "${PYENV_ROOT:-$HOME/.pyenv}/versions/$v".*/bin/"python$v" 2>/dev/null | sort -rV))
  candidates+=("python$v" "/usr/bin/python$v")
  for candidate in "${candidates[@]}"; do
    command -v "$candidate" >/dev/null || continue
    [ "$(python_version_of "$candidate")" = "$v" ] || continue
    # Debian's interpreter without its venv module cannot make the suite's
    # environment; PYTHON's gets it from set-up (system-deps.sh), others not.
    "$candidate" -c 'import ensurepip, venv' 2>/dev/null || continue
    LEG_PYTHON=$("$candidate" -c 'import os, sys; print(os.path.realpath(sys.executable))')
    LEG_FROM="$("$LEG_PYTHON" -c 'import sys; print(sys.version.split()[0])') at $LEG_PYTHON"
    LEG_VENV="$PYTHONS_DIR/venv-$v-$LEG_ARCH"
    return 0
  done
  return 1
}

# Debian SUITE's interpreter of LEG_VERSION in the chroot build/chroots/SUITE-DEBARCH,
# made (debootstrap, minimal variant) and given that interpreter when missing.
leg_make_chroot() {
  local suite=$1 v=$LEG_VERSION debarch
  debarch=$(debian_arch "$LEG_ARCH")
  LEG_ROOT="$CHROOTS_DIR/$suite-$debarch"
  LEG_REPO=/velqor
  LEG_PYTHON=/usr/bin/python$v
  LEG_VENV="$LEG_REPO/build/pythons/venv-$v-$LEG_ARCH"
  if [ ! -f "$LEG_ROOT/.made" ]; then
    if ! command -v debootstrap >/dev/null; then
      echo "-- installing Debian packages: debootstrap"
      DEBIAN_FRONTEND=noninteractive apt-get install -y -qq debootstrap >/dev/null 2>&1 \
        || { LEG_MISSING="no debootstrap to make a Debian $suite chroot with"; return 1; }
    fi
    echo "-- making a minimal Debian $suite chroot in $LEG_ROOT (once; a minute or two; log: $LEG_ROOT.log)"
    rm -rf "$LEG_ROOT.tmp"
    mkdir -p "$CHROOTS_DIR"
    if ! debootstrap --variant=minbase --arch="$debarch" "$suite" "$LEG_ROOT.tmp" "$(debian_mirror)" \
      >"$LEG_ROOT.log" 2>&1; then
      rm -rf "$LEG_ROOT.tmp"
      LEG_MISSING="could not make a Debian $suite chroot (debootstrap failed: $LEG_ROOT.log)"
      return 1
    fi
    rm -rf "$LEG_ROOT"
    mv "$LEG_ROOT.tmp" "$LEG_ROOT"
    touch "$LEG_ROOT/.made"
  fi
  if [ ! -x "$LEG_ROOT$LEG_PYTHON" ] || [ ! -f "$LEG_ROOT/usr/include/python$v/Python.h" ]; then
    echo "-- installing python$v, its venv module and headers into $LEG_ROOT (log: $LEG_ROOT.log)"
    cp /etc/resolv.conf "$LEG_ROOT/etc/resolv.conf"
    # (The mirror's index may carry a Valid-Until already past by this
    # machine's clock; debootstrap does not check it, and apt need not either.)
    if ! leg_exec sh -c "apt-get -o Acquire::Check-Valid-Until=false update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq \
        --no-install-recommends python$v python$v-venv libpython$v-dev && apt-get clean" >>"$LEG_ROOT.log" 2>&1; then
      LEG_MISSING="Debian $suite has no python$v (or it could not be installed: $LEG_ROOT.log)"
      return 1
    fi
  fi
  LEG_FROM="$(leg_exec "$LEG_PYTHON" -c 'import sys; print(sys.version.split()[0])') from Debian $suite in $LEG_ROOT"
}

# Fills LEG_HEADERS, LEG_SOABI and LEG_WHEEL_TAG from the leg's interpreter.
# Debian's include folder holds a pyconfig.h that picks the architecture's own
# from the system include tree; the copy in build/pythons holds that one
# itself, so the host's compiler needs no other folder of the leg's system.
leg_describe() {
  local facts include gil
  facts=$(leg_exec "$LEG_PYTHON" -c 'import sys, sysconfig
print(sysconfig.get_paths()["include"], sysconfig.get_config_var("SOABI"), sysconfig.get_config_var("MULTIARCH") or "-",
      sys.version_info[0], sys.version_info[1], int(bool(sysconfig.get_config_var("Py_GIL_DISABLED"))))')
  local multiarch major minor
  read -r include LEG_SOABI multiarch major minor gil <<<"$facts"
  if [ "$gil" = 1 ]; then
    LEG_MISSING="$LEG_PYTHON is a free-threaded build, which velqor does not support"
    return 1
  fi
  LEG_WHEEL_TAG="cp$major$minor-cp$major$minor-linux_$LEG_ARCH"
  LEG_HEADERS="$PYTHONS_DIR/headers-$LEG_VERSION-$LEG_ARCH"
  local from="$LEG_ROOT$include"
  if ! cmp -s <(echo "$from") "$LEG_HEADERS/.copied-from" 2>/dev/null \
    || [ "$from/Python.h" -nt "$LEG_HEADERS/Python.h" ]; then
    rm -rf "$LEG_HEADERS"
    mkdir -p "$PYTHONS_DIR"
    cp -r "$from" "$LEG_HEADERS"
    local own="$LEG_ROOT${include%/python*}/$multiarch/python$major.$minor/pyconfig.h"
    [ "$multiarch" = - ] || [ ! -f "$own" ] || cp "$own" "$LEG_HEADERS/pyconfig.h"
    echo "$from" >"$LEG_HEADERS/.copied-from"
  fi
}

# Runs CMD for the leg last obtained. In a chroot it runs in a private mount
# namespace with /proc, /dev and the work tree (at /velqor) mounted: the mounts
# end with the command, however it ends, and never show on the host.
leg_exec() {
  if [ -z "$LEG_ROOT" ]; then
    "$@"
    return
  fi
  unshare --mount --propagation private -- sh -c '
    root=$1 repo=$2 dir=$3
    shift 3
    mount -t proc proc "$root/proc" && mount --rbind /dev "$root/dev" && mkdir -p "$root/velqor" \
      && mount --bind "$repo" "$root/velqor" || exit 125
    exec chroot "$root" /usr/bin/env -C "$dir" PATH=/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin "$@"
  ' leg_exec "$LEG_ROOT" "$VELQOR_ROOT" "$(leg_path "$PWD")" "$@"
}

# PATH (on the host, inside the work tree) as the leg sees it.
leg_path() {
  local path
  path=$(realpath -m -s "$1")
  if [ -n "$LEG_ROOT" ] && [ "${path#"$VELQOR_ROOT"}" != "$path" ]; then
    echo "$LEG_REPO${path#"$VELQOR_ROOT"}"
  else
    echo "$path"
  fi
}
VELQOR_ROOT=$(realpath -s "$PWD")

# Makes the test environment VENV (default LEG_VENV, as the leg sees it) of
# the leg with the suite's runner, from the wheels in build/pythons/wheels
# (downloaded once, on the host); kept while the requirements and the
# interpreter stay the same.
leg_venv() {
  local venv=${1:-$LEG_VENV} wheels="$PYTHONS_DIR/wheels" host_venv
  if ! cmp -s "$SUITE_REQUIREMENTS" "$wheels/requirements.txt"; then
    rm -rf "$wheels"
    mkdir -p "$wheels"
    PIP_NO_CACHE_DIR=1 "${PYTHON_EXE:-python3}" -m pip download -qq --only-binary=:all: -d "$wheels" \
      -r "$SUITE_REQUIREMENTS"
    cp "$SUITE_REQUIREMENTS" "$wheels/requirements.txt"
  fi
  host_venv=$([ -n "$LEG_ROOT" ] && echo "$VELQOR_ROOT${venv#"$LEG_REPO"}" || echo "$venv")
  if [ -x "$host_venv/bin/python" ] && cmp -s "$SUITE_REQUIREMENTS" "$host_venv/installed-requirements.txt" \
    && cmp -s <(echo "$LEG_FROM") "$host_venv/made-from"; then
    return
  fi
  rm -rf "$host_venv"
  leg_exec "$LEG_PYTHON" -m venv "$venv"
  leg_exec "$venv/bin/python" -m pip install -qq --no-index --find-links "$(leg_path "$wheels")" \
    -r "$(leg_path "$SUITE_REQUIREMENTS")"
  cp "$SUITE_REQUIREMENTS" "$host_venv/installed-requirements.txt"
  echo "$LEG_FROM" >"$host_venv/made-from"
}

# Runs the Python suite (tests/python) with PYTHON (as the leg sees it; velqor
# installed in its environment) under python -X dev, its output into the file
# LOG and, unless JUNIT is empty, its JUnit report into that file. Prints
# pytest's counts ("246 passed in 23.81s"); fails as pytest does.
leg_suite() {
  local python=$1 junit=$2 log=$3 status=0
  local report=()
  [ -z "$junit" ] || report=(--junitxml="$(leg_path "$junit")")
  (cd tests/python && leg_exec "$python" -X dev -m pytest -q -p no:cacheprovider -rfE "${report[@]}" .) \
    >"$log" 2>&1 || status=$?
  tail -n 1 "$log" | sed -E 's/^=+ //; s/ =+$//'
  return "$status"
}
