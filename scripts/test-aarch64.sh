#!/usr/bin/env bash
# Cross-compiles the library, its tests and tools for aarch64, runs the whole
# test suite under qemu-aarch64, and compares the digest of every output over
# the recorded data (larkspur_digest) with the one of the native build.
# Usage: scripts/test-aarch64.sh AARCH64_DIR NATIVE_BUILD_DIR [JOBS]
#   AARCH64_DIR       holds the cached sysroot (sysroot/) and the cross build
#                     (build/); the sysroot is rebuilt only when
#                     scripts/aarch64-sysroot.sh changes
#   NATIVE_BUILD_DIR  a configured native build tree with the tools
set -euo pipefail
cd "$(dirname "$0")/.."

if [ $# -lt 2 ]; then
  echo "usage: $0 AARCH64_DIR NATIVE_BUILD_DIR [JOBS]" >&2
  exit 2
fi
top=$(realpath -m "$1")
native=$2
jobs=${3:-2}
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
  -DLARKSPUR_BUILD_TESTS=ON -DLARKSPUR_BUILD_BENCHMARKS=OFF -DLARKSPUR_BUILD_TOOLS=ON
cmake --build "$build" -j "$jobs"
echo "aarch64: cross build in $((SECONDS - start)) s"

start=$SECONDS
(cd "$build" && ctest --output-on-failure -j "$jobs")
echo "aarch64: test suite under emulation in $((SECONDS - start)) s"

start=$SECONDS
cmake --build "$native" -j "$jobs" --target larkspur_digest
"$native/tools/digest/larkspur_digest" "$top/digest-native.txt" > /dev/null
qemu-aarch64 -L "$sysroot" "$build/tools/digest/larkspur_digest" "$top/digest-aarch64.txt" \
  > /dev/null
echo "aarch64: digests in $((SECONDS - start)) s"

# What the library hands back must match bit for bit. The detectors' grids
# and the fitted segments' end points may differ by the amounts README.md's
# "Platform notes" give (OpenCV's warpAffine, glibc's atan2f); they are
# counted, not failed.
awk -v documented='^(segments|cloud_grid_log_odds|cloud_grid_height|laser_grid_log_odds)$' '
  FNR == NR { native[FNR] = $0; lines = FNR; next }
  {
    if (native[FNR] == $0) { same++; next }
    split(native[FNR], n, " ")
    if (n[1] == $1 && n[2] == $2 && $2 ~ documented) { known[$2]++; next }
    if (++bad <= 20) print "differs: " native[FNR] "  vs  " $0
  }
  END {
    if (FNR != lines) { print "digest files differ in length"; bad++ }
    for (k in known) print "aarch64: documented difference in " known[k] " " k " digests"
    print "aarch64: " same " of " FNR " output digests identical to the native build'"'"'s"
    if (bad) {
      print "aarch64: " bad " outputs differ; larkspur_digest FILE --dump \"<frame> <output>\"" \
        " lists the values"
      exit 1
    }
  }' "$top/digest-native.txt" "$top/digest-aarch64.txt"
