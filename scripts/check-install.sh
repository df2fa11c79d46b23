#!/usr/bin/env bash
# Installs a built tree into a temporary prefix, then configures, builds and
# runs test/consumer against that prefix alone: find_package, the exported
# target, the installed headers (generated messages included) and the shared
# library's SONAME link must all work for a project outside this one.
# Usage: scripts/check-install.sh [BUILD_DIR]   (default: build, as `make build`)
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build_dir=$(cd "${1:-$root/build}" && pwd)
jobs=${JOBS:-2}
# The loader reports resolved paths, so the prefix is compared resolved too.
work=$(realpath "$(mktemp -d "${TMPDIR:-/tmp}/larkspur-install.XXXXXX")")
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix

fail() {
  echo "check-install: $*" >&2
  exit 1
}

cmake --install "$build_dir" --prefix "$prefix" > "$work/install.log"

config=$(find "$prefix" -name larkspur_perception_libsConfig.cmake -print -quit)
[ -n "$config" ] || fail "no larkspur_perception_libsConfig.cmake installed below $prefix"
library=$(find "$prefix" -name 'liblarkspur_perception_libs.so.*' -type f -print -quit)
[ -n "$library" ] || fail "no liblarkspur_perception_libs.so installed below $prefix"

cmake -S "$root/test/consumer" -B "$work/consumer" \
  -Dlarkspur_perception_libs_DIR="$(dirname "$config")" \
  -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF > "$work/configure.log" \
  || { cat "$work/configure.log" >&2; fail "consumer does not configure"; }
cmake --build "$work/consumer" -j "$jobs" > "$work/build.log" \
  || { cat "$work/build.log" >&2; fail "consumer does not build"; }

consumer=$work/consumer/larkspur_consumer
# ldd's listing is kept whole: a `grep -q` reading from the pipe would stop
# early and fail the pipeline with SIGPIPE under pipefail.
links=$(ldd "$consumer")
grep -q "liblarkspur_perception_libs\.so.* => $prefix/" <<< "$links" \
  || { echo "$links" >&2; fail "consumer is not linked with the installed library"; }

actual=$(SPDLOG_STDOUT=true SPDLOG_SYSTEMD=false SPDLOG_LEVEL=info "$consumer")
expected=$'  1 [INFO] consumer has 2 ranges\n1, -2, '
if [ "$actual" != "$expected" ]; then
  printf 'expected:\n%s\nactual:\n%s\n' "$expected" "$actual" >&2
  fail "consumer output differs"
fi
# The Python module, when the build has it: Debian's python3 imports it from
# the prefix's dist-packages and it loads the installed library.
module=$(find "$prefix" -name 'larkspur_perception.cpython-*.so' -print -quit)
if [ -n "$module" ]; then
  [ -f "$(dirname "$module")/larkspur_perception.pyi" ] || fail "no larkspur_perception.pyi beside $module"
  links=$(ldd "$module")
  grep -q "liblarkspur_perception_libs\.so.* => $prefix/" <<< "$links" \
    || { echo "$links" >&2; fail "Python module is not linked with the installed library"; }
  PYTHONPATH=$(dirname "$module") /usr/bin/python3 -c \
    'import numpy, larkspur_perception as lp; lp.CloudCluster().cluster(numpy.zeros((3, 3), "float32"))' \
    || fail "Python module does not import from $(dirname "$module")"
  echo "check-install: Python module imports from $(dirname "$module")"
fi
echo "check-install: installed package builds and runs a consumer (prefix $prefix)"
