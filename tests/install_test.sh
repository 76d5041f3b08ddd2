#!/usr/bin/env bash
# Installs the build into a scratch prefix and builds a small C consumer
# against it twice: through find_package(qarvel) and through pkg-config.
# When the build holds the Python package, checks that it lands in a folder
# Debian's interpreter searches (under /usr/local) and imports from there.
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

module=$(find "$work/prefix" -name '_qarvel*.so' | head -n1)
if [[ -n $module ]]; then
  site=$(dirname "$(dirname "$module")")
  /usr/bin/python3 -c 'import sys; sys.exit(sys.argv[1] not in sys.path)' "/usr/local/${site#"$work/prefix/"}" ||
    { echo "Debian's python3 does not search /usr/local/${site#"$work/prefix/"}"; exit 1; }
  (cd "$work" && PYTHONPATH="$site" /usr/bin/python3 -c \
    'import qarvel, sys; qarvel.read(sys.argv[1])' "$src/tests/data/jpeg/testimg-227x149-420.jpg")
fi
