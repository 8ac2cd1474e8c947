# Cross-building for 64-bit ARM (a Raspberry Pi, say) on a Debian host:
#   cmake -S . -B build-arm64 -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake
# with Debian's cross compiler (g++-aarch64-linux-gnu) and the arm64
# libraries installed by multiarch (libasound2-dev:arm64, libgtest-dev:arm64),
# which live in /usr/lib/aarch64-linux-gnu beside the host's own.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)

# Multiarch puts the arm64 libraries under /usr itself, so /usr stays a search
# root; the compiler's library architecture (aarch64-linux-gnu) is what keeps
# CMake away from the host's x86_64 copies. Programs are the host's own.
set(CMAKE_FIND_ROOT_PATH /usr)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Test discovery runs the test program at build time, and ctest runs it
# again. No -L or QEMU_LD_PREFIX: the arm64 loader and libraries are where
# the arm64 programs expect them (/lib/ld-linux-aarch64.so.1 and the
# multiarch folders), and threads and fork hang when qemu redirects paths.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64)
