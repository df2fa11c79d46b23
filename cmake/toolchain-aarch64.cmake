# Cross-compilation for 64-bit Arm Linux with Debian's g++-aarch64-linux-gnu
# against an arm64 Debian 12 sysroot (scripts/aarch64-sysroot.sh builds one).
# Test programs, and gtest_discover_tests' listing of them, run under
# qemu-aarch64, which loads the arm64 shared libraries from the same sysroot.
#
#   cmake -S . -B build-aarch64/build \
#     -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-aarch64.cmake \
#     -DLARKSPUR_AARCH64_SYSROOT=$PWD/build-aarch64/sysroot
#
# Message generation (rosidl) and the other build-time programs are the host's.

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)

set(LARKSPUR_AARCH64_SYSROOT "${CMAKE_CURRENT_LIST_DIR}/../build-aarch64/sysroot"
  CACHE PATH "arm64 Debian 12 root file system to compile, link and run against")
get_filename_component(LARKSPUR_AARCH64_SYSROOT "${LARKSPUR_AARCH64_SYSROOT}" ABSOLUTE)
if(NOT EXISTS "${LARKSPUR_AARCH64_SYSROOT}/usr/lib/aarch64-linux-gnu")
  message(FATAL_ERROR "no arm64 sysroot at ${LARKSPUR_AARCH64_SYSROOT}; "
    "build one with scripts/aarch64-sysroot.sh")
endif()
# try_compile projects re-read this file without the cache.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES LARKSPUR_AARCH64_SYSROOT)

set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_SYSROOT "${LARKSPUR_AARCH64_SYSROOT}")

# Programs from the host; headers, libraries and packages only from the sysroot.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# pkg-config (libsystemd) reads the sysroot's .pc files and prefixes their paths.
set(ENV{PKG_CONFIG_SYSROOT_DIR} "${CMAKE_SYSROOT}")
set(ENV{PKG_CONFIG_LIBDIR}
  "${CMAKE_SYSROOT}/usr/lib/aarch64-linux-gnu/pkgconfig:${CMAKE_SYSROOT}/usr/share/pkgconfig")
set(ENV{PKG_CONFIG_PATH} "")

# Qt (behind OpenCV's highgui windows) does not find its plugins through
# qemu's -L path mapping, so they are named explicitly.
find_program(LARKSPUR_QEMU_AARCH64 qemu-aarch64 REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR "${LARKSPUR_QEMU_AARCH64};-L;${CMAKE_SYSROOT};-E;\
QT_PLUGIN_PATH=${CMAKE_SYSROOT}/usr/lib/${CMAKE_LIBRARY_ARCHITECTURE}/qt5/plugins")
