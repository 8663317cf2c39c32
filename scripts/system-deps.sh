# Sourced by the set-up scripts: installs the Debian packages a build needs
# when they are missing. Usage: system_deps [gtest] [ninja] [ccache] [venv] [headers]
# (g++ and cmake always; GoogleTest, ninja, ccache, and the venv module and C
# headers of the interpreter $PYTHON on request).
system_deps() {
  local missing=()
  local python=${PYTHON:-python3}
  command -v g++ >/dev/null || missing+=(g++)
  command -v cmake >/dev/null || missing+=(cmake)
  local extra
  for extra in "$@"; do
    case "$extra" in
      gtest) [ -f /usr/include/gtest/gtest.h ] || missing+=(libgtest-dev) ;;
      ninja) command -v ninja >/dev/null || missing+=(ninja-build) ;;
      ccache) command -v ccache >/dev/null || missing+=(ccache) ;;
      # Debian splits ensurepip (which `python3 -m venv` needs) and Python.h
      # out of the interpreter's own package.
      venv) "$python" -c 'import ensurepip' 2>/dev/null || missing+=("$(python_package "$python")-venv") ;;
      headers)
        "$python" -c 'import os, sys, sysconfig
sys.exit(not os.path.isfile(os.path.join(sysconfig.get_paths()["include"], "Python.h")))' \
          || missing+=("$(python_package "$python")-dev")
        ;;
    esac
  done
  if [ ${#missing[@]} -gt 0 ]; then
    echo "-- installing Debian packages: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq && apt-get install -y -qq "${missing[@]}" >/dev/null
  fi
}

# The Debian package name of an interpreter: python3.11 for CPython 3.11.
python_package() {
  "$1" -c 'import sys; print(f"python{sys.version_info[0]}.{sys.version_info[1]}")'
}

# The Debian archive this machine's apt uses (the first main-archive URI of
# its sources), for debootstrap to make chroots from the same mirror.
debian_mirror() {
  local uri
  uri=$(cat /etc/apt/sources.list.d/*.sources 2>/dev/null | awk '$1 == "URIs:" {print $2}' | grep -v -- '-security' | head -1)
  [ -n "$uri" ] || uri=$(awk '$1 == "deb" && $2 !~ /^\[/ {print $2}' /etc/apt/sources.list 2>/dev/null | grep -v -- '-security' | head -1)
  [ -n "$uri" ] || { echo "no Debian archive in this machine's apt sources" >&2; return 1; }
  echo "$uri"
}
