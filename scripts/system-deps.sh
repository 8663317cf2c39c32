# Sourced by the set-up scripts: installs the Debian packages a build needs
# when they are missing. Usage: system_deps [gtest] [ninja]
# (g++ and cmake always; GoogleTest and ninja on request).
system_deps() {
  local missing=()
  command -v g++ >/dev/null || missing+=(g++)
  command -v cmake >/dev/null || missing+=(cmake)
  local extra
  for extra in "$@"; do
    case "$extra" in
      gtest) [ -f /usr/include/gtest/gtest.h ] || missing+=(libgtest-dev) ;;
      ninja) command -v ninja >/dev/null || missing+=(ninja-build) ;;
    esac
  done
  if [ ${#missing[@]} -gt 0 ]; then
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq && apt-get install -y -qq "${missing[@]}"
  fi
}
