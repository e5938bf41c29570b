#!/usr/bin/env bash
# Installs the library from a build folder into an empty prefix, then builds
# and runs two outside programs against the install: one CMake project that
# uses find_package(OruCore), one plain Makefile that uses pkg-config.
set -euo pipefail
build=$1
work=$2
here=$(cd "$(dirname "$0")" && pwd)

rm -rf "$work"
mkdir -p "$work"
prefix=$work/prefix
cmake --install "$build" --prefix "$prefix" >/dev/null

cmake -S "$here/cmake_consumer" -B "$work/cmake" -G Ninja \
      -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/cmake" >/dev/null
"$work/cmake/consumer"

PKG_CONFIG_PATH="$prefix/lib/pkgconfig" \
  make -s -C "$here/make_consumer" OUT="$work/make_consumer"
"$work/make_consumer"
