#!/usr/bin/env bash
# Builds and runs two outside programs against an installed library: one
# CMake project that uses find_package(OruCore), one plain Makefile that uses
# pkg-config. Neither sets a language standard of its own; what the package
# tells them must be enough.
#
#   check.sh BUILD WORK             installs BUILD into WORK/prefix first
#   check.sh --prefix PREFIX WORK   uses an install that is already there
set -euo pipefail
if [ "$1" = --prefix ]; then
  build= prefix=$2 work=$3
else
  build=$1 work=$2 prefix=$2/prefix
fi
here=$(cd "$(dirname "$0")" && pwd)

# Runs a step quietly; on failure shows what it printed.
quiet() {
  local log
  log=$(mktemp)
  if ! "$@" >"$log" 2>&1; then
    cat "$log" >&2
    rm -f "$log"
    echo "check.sh: failed: $*" >&2
    return 1
  fi
  rm -f "$log"
}

rm -rf "$work/cmake" "$work/make_consumer"
mkdir -p "$work"
if [ -n "$build" ]; then
  rm -rf "$prefix"
  quiet cmake --install "$build" --prefix "$prefix"
fi

quiet cmake -S "$here/cmake_consumer" -B "$work/cmake" -G Ninja -DCMAKE_PREFIX_PATH="$prefix"
quiet cmake --build "$work/cmake"
"$work/cmake/consumer"

quiet env PKG_CONFIG_PATH="$prefix/lib/pkgconfig" \
  make -s -C "$here/make_consumer" OUT="$work/make_consumer"
"$work/make_consumer"
