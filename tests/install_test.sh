#!/usr/bin/env bash
# Installs the build into a scratch prefix and checks what a user gets: a
# small C consumer built twice (find_package(qarvel) and pkg-config), search
# paths that never name the clone, the tool's manual page, and one version
# everywhere. When the build holds the Python package, checks that it lands in
# a folder Debian's interpreter searches (under /usr/local) and imports from
# there.
# usage: install_test.sh BUILD_DIR SOURCE_DIR VERSION
set -euo pipefail
build=$1 src=$2 version=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix
photo=$src/tests/data/jpeg/testimg-227x149-420.jpg

cmake --install "$build" --prefix "$prefix" >/dev/null
cmake -S "$src/tests/consumer" -B "$work/cmake-build" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/cmake-build" >/dev/null
"$work/cmake-build/consumer" "$photo"

library=$(find "$prefix" -name libqarvel.so)
libdir=$(dirname "$library")
export PKG_CONFIG_PATH="$libdir/pkgconfig"
cc -o "$work/pc-consumer" "$src/tests/consumer/main.c" $(pkg-config --cflags --libs qarvel) \
  -Wl,-rpath,"$libdir"
"$work/pc-consumer" "$photo"

# The installed library searches its own folder only; nothing else installed
# searches anywhere.
rpath=$(readelf -d "$library" | grep -E 'RPATH|RUNPATH')
[[ $rpath == *"(RPATH)"*"Library rpath: [\$ORIGIN]" ]] ||
  { echo "installed libqarvel.so: expected DT_RPATH \$ORIGIN alone, got: $rpath"; exit 1; }
while IFS= read -r file; do
  if [[ $file != "$library" ]] && readelf -d "$file" 2>/dev/null | grep -E 'RPATH|RUNPATH'; then
    echo "installed $file has a search path"; exit 1
  fi
done < <(find "$prefix" -type f \( -perm -u+x -o -name '*.so' \))

fail_version() { echo "$1 says version '$2', the project $version"; exit 1; }
[[ $(pkg-config --modversion qarvel) == "$version" ]] || fail_version qarvel.pc "$(pkg-config --modversion qarvel)"
grep -qF "set(PACKAGE_VERSION \"$version\")" "$libdir/cmake/qarvel/qarvelConfigVersion.cmake" ||
  fail_version qarvelConfigVersion.cmake "?"

tool=$prefix/bin/qarvel
if [[ -x $tool ]]; then
  [[ $("$tool" --version) == "qarvel $version" ]] || fail_version "qarvel --version" "$("$tool" --version)"
  page=$prefix/share/man/man1/qarvel.1.gz
  # The page is generated from the tool's --help: it names every option.
  text=$(zcat "$page")
  for option in $("$tool" --help | grep -oE -- '--[a-z][a-z-]+' | sort -u); do
    grep -qF -- "${option//-/\\-}" <<<"$text" || { echo "$page lacks $option"; exit 1; }
  done
  grep -qF "qarvel $version" <<<"$text" || fail_version "$page" "?"
fi

module=$(find "$prefix" -name '_qarvel*.so' | head -n1)
if [[ -n $module ]]; then
  site=$(dirname "$(dirname "$module")")
  /usr/bin/python3 -c 'import sys; sys.exit(sys.argv[1] not in sys.path)' "/usr/local/${site#"$prefix/"}" ||
    { echo "Debian's python3 does not search /usr/local/${site#"$prefix/"}"; exit 1; }
  [[ -f $site/qarvel/py.typed ]] || { echo "no py.typed in $site/qarvel"; exit 1; }
  (cd "$work" && PYTHONPATH="$site" /usr/bin/python3 -c '
import qarvel, sys
qarvel.read(sys.argv[1])
if qarvel.__version__ != sys.argv[2]:
    sys.exit(f"qarvel.__version__ says {qarvel.__version__}, the project {sys.argv[2]}")
' "$photo" "$version")
fi
echo "installed copy ok: consumers, search paths, manual page, version $version"
