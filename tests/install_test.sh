#!/usr/bin/env bash
# Installs the build into a scratch prefix and builds a small C consumer
# against it twice: through find_package(qarvel) and through pkg-config.
# usage: install_test.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build=$1 src=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

cmake --install "$build" --prefix "$work/prefix" >/dev/null
cmake -S "$src/tests/consumer" -B "$work/cmake-build" -DCMAKE_PREFIX_PATH="$work/prefix" >/dev/null
cmake --build "$work/cmake-build" >/dev/null
"$work/cmake-build/consumer" "$src/tests/data/jpeg/testimg-227x149-420.jpg"

libdir=$(dirname "$(find "$work/prefix" -name libqarvel.so | head -n1)")
export PKG_CONFIG_PATH="$libdir/pkgconfig"
cc -o "$work/pc-consumer" "$src/tests/consumer/main.c" $(pkg-config --cflags --libs qarvel) \
  -Wl,-rpath,"$libdir"
"$work/pc-consumer" "$src/tests/data/jpeg/testimg-227x149-420.jpg"
