#!/usr/bin/env bash
# Cross-compiles the library, its tests and tools for aarch64 and runs the whole
# test suite under qemu-aarch64. The suite's golden_digest test compares every
# output over the recorded data and the built-in scene with the committed
# baseline (test/golden/digest.txt): bit for bit, apart from the platform
# differences README.md documents, which it allows within their bounds.
# Usage: scripts/test-aarch64.sh AARCH64_DIR [JOBS]
#   AARCH64_DIR  holds the cached sysroot (sysroot/) and the cross build
#                (build/); the sysroot is rebuilt only when
#                scripts/aarch64-sysroot.sh changes
set -euo pipefail
cd "$(dirname "$0")/.."

if [ $# -lt 1 ]; then
  echo "usage: $0 AARCH64_DIR [JOBS]" >&2
  exit 2
fi
top=$(realpath -m "$1")
jobs=${2:-2}
sysroot=$top/sysroot
build=$top/build

scripts/install-deps.sh cross

# A stamp of the script that made the sysroot: a changed package list
# rebuilds it, an unchanged one reuses it.
stamp=$(sha256sum scripts/aarch64-sysroot.sh | cut -d' ' -f1)
if [ "$(cat "$sysroot/.larkspur-sysroot" 2>/dev/null)" != "$stamp" ]; then
  start=$SECONDS
  scripts/aarch64-sysroot.sh "$sysroot"
  echo "$stamp" > "$sysroot/.larkspur-sysroot"
  echo "aarch64: sysroot built in $((SECONDS - start)) s"
fi

start=$SECONDS
# Install rules are skipped: the exported package would name include
# directories inside the sysroot, which lies in the source tree.
cmake -S . -B "$build" \
  -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/toolchain-aarch64.cmake" \
  -DLARKSPUR_AARCH64_SYSROOT="$sysroot" \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_SKIP_INSTALL_RULES=ON \
  -DCMAKE_DISABLE_FIND_PACKAGE_VTK=ON \
  -DLARKSPUR_BUILD_TESTS=ON -DLARKSPUR_BUILD_BENCHMARKS=OFF -DLARKSPUR_BUILD_TOOLS=ON \
  -DLARKSPUR_BUILD_PYTHON=OFF
cmake --build "$build" -j "$jobs"
echo "aarch64: cross build in $((SECONDS - start)) s"

start=$SECONDS
(cd "$build" && ctest --output-on-failure -j "$jobs")
echo "aarch64: test suite under emulation in $((SECONDS - start)) s"
