# Cross build for Linux aarch64 on an x86-64 host with Debian's
# g++-aarch64-linux-gnu (scripts/aarch64.sh installs it and sets this file up):
#   cmake -S . -B build/aarch64/tests -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake ...
# Programs built here run under qemu-user (the emulator below, which CTest and
# the test discovery use) with the cross toolchain's own libraries.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(VELQOR_AARCH64_LIBRARIES /usr/aarch64-linux-gnu)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64-static -L ${VELQOR_AARCH64_LIBRARIES})
# Libraries and headers of the target only; programs (objdump among them) of the host.
set(CMAKE_FIND_ROOT_PATH ${VELQOR_AARCH64_LIBRARIES} ${VELQOR_AARCH64_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
