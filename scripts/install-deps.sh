#!/usr/bin/env bash
# Installs the Debian 12 packages this project needs, only those that are missing.
# Usage: scripts/install-deps.sh [build|test|fuzz|cross|all]...
set -euo pipefail

build_pkgs=(
  cmake g++ make pkg-config
  libeigen3-dev libpcl-dev
  libopencv-core-dev libopencv-imgproc-dev libopencv-highgui-dev libopencv-imgcodecs-dev
  libyaml-cpp-dev libspdlog-dev libfmt-dev libsystemd-dev libtf2-dev
  rosidl-core python3-ament-index librosidl-runtime-c-cpp-dev
  pybind11-dev python3-dev python3-numpy
)
# libclang-rt-14-dev: FuzzedDataProvider.h, with which the fuzz regression tests decode their inputs.
# python3-pytest runs the Python module's tests; python3-matplotlib draws the Python example.
test_pkgs=(libgtest-dev libgmock-dev libbenchmark-dev xvfb x11-utils clang-format libclang-rt-14-dev
  python3-pytest python3-matplotlib)
fuzz_pkgs=(clang)
cross_pkgs=(g++-aarch64-linux-gnu qemu-user mmdebstrap)

wanted=()
[ $# -eq 0 ] && set -- build
for group in "$@"; do
  case "$group" in
    build) wanted+=("${build_pkgs[@]}") ;;
    test) wanted+=("${build_pkgs[@]}" "${test_pkgs[@]}") ;;
    fuzz) wanted+=("${build_pkgs[@]}" "${test_pkgs[@]}" "${fuzz_pkgs[@]}") ;;
    cross) wanted+=("${build_pkgs[@]}" "${test_pkgs[@]}" "${cross_pkgs[@]}") ;;
    all) wanted+=("${build_pkgs[@]}" "${test_pkgs[@]}" "${fuzz_pkgs[@]}" "${cross_pkgs[@]}") ;;
    *) echo "unknown package group: $group" >&2; exit 2 ;;
  esac
done

missing=()
for pkg in "${wanted[@]}"; do
  if [ "$(dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null)" != 'install ok installed' ]; then
    missing+=("$pkg")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

# Remove duplicates while keeping the order.
mapfile -t missing < <(printf '%s\n' "${missing[@]}" | awk '!seen[$0]++')
echo "installing: ${missing[*]}"
sudo_cmd=()
[ "$(id -u)" -ne 0 ] && sudo_cmd=(sudo)
export DEBIAN_FRONTEND=noninteractive
"${sudo_cmd[@]}" apt-get update -qq
"${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
