#!/usr/bin/env bash
# Builds an arm64 Debian 12 sysroot with the project's build and test
# dependencies: headers, libraries and CMake/pkg-config files to cross-compile
# against, and the shared libraries qemu-aarch64 loads to run the results.
# Usage: scripts/aarch64-sysroot.sh SYSROOT   (needs root, mmdebstrap)
#
# The "extract" variant unpacks packages without running their maintainer
# scripts, so nothing arm64 is ever executed here; the few things those
# scripts would have done (alternatives, absolute symlinks) are done by hand.
# SYSROOT is only replaced once complete, so an interrupted run leaves no
# half-built tree behind to be mistaken for a finished one.
set -euo pipefail

if [ $# -ne 1 ]; then
  echo "usage: $0 SYSROOT" >&2
  exit 2
fi
sysroot=$(realpath -m "$1")
staging="$sysroot.partial"
multiarch=aarch64-linux-gnu

# Resolved by apt together with their dependencies.
with_deps=(
  # The cross compiler's C and C++ runtime, same versions as g++-aarch64-linux-gnu.
  libc6-dev libstdc++-12-dev
  libeigen3-dev
  # PCL's own CMake package requires these Boost components for pcl_common.
  libboost-system-dev libboost-filesystem-dev libboost-date-time-dev
  libboost-iostreams-dev libboost-serialization-dev
  libpcl-common1.13 libpcl-kdtree1.13 libpcl-search1.13 libpcl-octree1.13
  libpcl-sample-consensus1.13 libpcl-segmentation1.13 libpcl-io1.13 libflann1.9
  libopencv-core-dev libopencv-imgproc-dev
  libopencv-highgui406 libopencv-imgcodecs406 libopencv-videoio406
  libyaml-cpp-dev libspdlog-dev libfmt-dev libsystemd-dev libtf2-dev
  libgtest-dev libgmock-dev libbenchmark-dev
)
# Unpacked on their own: their dependencies (VTK, Qt, OpenNI, MPI, FFmpeg,
# GDAL development packages, ...) add gigabytes and nothing this project
# compiles or links. Their run-time libraries are in the list above.
without_deps=(
  libpcl-dev libflann-dev
  libopencv-highgui-dev libopencv-imgcodecs-dev libopencv-videoio-dev
)

# Use the machine's own package sources when it has them (a local mirror or
# proxy then serves the sysroot too); otherwise mmdebstrap's defaults.
mirrors=()
for sources in /etc/apt/sources.list.d/debian.sources /etc/apt/sources.list; do
  if [ -s "$sources" ] && grep -qv '^\s*\(#\|$\)' "$sources"; then
    mirrors=("$sources")
    break
  fi
done

include=$(IFS=,; echo "${with_deps[*]}")
rm -rf "$staging"
mkdir -p "$(dirname "$sysroot")"
mmdebstrap --mode=root --variant=extract --architectures=arm64 \
  --include="$include" \
  --extract-hook='mkdir -p "$1/tmp/nodeps" && cd "$1/tmp/nodeps" &&
    APT_CONFIG="$MMDEBSTRAP_APT_CONFIG" apt-get download '"${without_deps[*]}"' &&
    for deb in *.deb; do dpkg-deb --extract "$deb" "$1"; done &&
    cd / && rm -rf "$1/tmp/nodeps"' \
  bookworm "$staging" "${mirrors[@]}"

# update-alternatives would have pointed these at the reference BLAS/LAPACK.
for lib in blas lapack; do
  target=$(ls "$staging/usr/lib/$multiarch/$lib/lib$lib.so.3" 2>/dev/null || true)
  if [ -n "$target" ]; then
    ln -sfn "$lib/lib$lib.so.3" "$staging/usr/lib/$multiarch/lib$lib.so.3"
  fi
done

# Absolute symlinks would resolve on the host, against x86-64 files; make
# each one relative so it stays inside the sysroot.
while IFS= read -r -d '' link; do
  target=$(readlink "$link")
  case "$target" in
    /etc/alternatives/*) rm -f "$link"; continue ;;  # handled above or unused
    /*) ln -sfn "$(realpath -m -s --relative-to="$(dirname "$link")" "$staging$target")" "$link" ;;
  esac
done < <(find "$staging" -path "$staging/dev" -prune -o -type l -print0)

rm -rf "$sysroot"
mv "$staging" "$sysroot"
echo "arm64 sysroot ready: $sysroot ($(du -sh "$sysroot" | cut -f1))"
