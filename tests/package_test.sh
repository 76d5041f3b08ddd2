#!/usr/bin/env bash
# Builds the wheel and the Debian packages from this tree, checks each as a
# user meets it, and removes it again:
#   the wheel, installed with pip into a scratch venv: its version, the
#   Python tests against it, and pip uninstall leaving nothing behind;
#   the four .deb files, installed with apt-get on this machine: the tool and
#   its manual page, a C consumer built through CMake and through pkg-config
#   and run with no ldconfig by hand, the Python tests under /usr/bin/python3,
#   and a purge leaving none of their files.
# It installs and removes system packages: run it on a machine that may be
# changed (CI's, a scratch one), as root or with sudo.
# usage: tests/package_test.sh
set -euo pipefail
cd "$(dirname "$0")/.."
src=$PWD
version=$(sed -nE 's/^project\(qarvel VERSION ([0-9.]+).*/\1/p' CMakeLists.txt)
photo=$src/tests/data/jpeg/testimg-227x149-420.jpg
packages=(libqarvel libqarvel-dev qarvel python3-qarvel)
sudo=()
[[ $(id -u) -eq 0 ]] || sudo=(sudo)
work=$(mktemp -d)
installed=0
cleanup() {
  ((installed)) && "${sudo[@]}" apt-get purge -y -qq "${packages[@]}" >/dev/null 2>&1
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "package_test: $*" >&2; exit 1; }

scripts/deps.sh build test package
export CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc)}

# Checks that PYTHON imports the copy under DIR, at the project's version,
# then runs the package's tests against it from outside the clone.
# usage: python_tests PYTHON DIR LIBRARY TOOL
python_tests() {
  # Writes byte code, as a first import by root does, so removal must clean it up.
  (cd "$work" && env -u PYTHONDONTWRITEBYTECODE "$1" - "$2" "$version" <<'EOF'
import sys, qarvel
where, version = sys.argv[1], sys.argv[2]
if not qarvel.__file__.startswith(where + "/"):
    sys.exit(f"imported {qarvel.__file__}, not the copy in {where}")
if qarvel.__version__ != version:
    sys.exit(f"qarvel.__version__ is {qarvel.__version__}, the project {version}")
EOF
  )
  (cd "$work" && PYTHONDONTWRITEBYTECODE=1 QARVEL_LIBRARY=$3 QARVEL_TOOL=$4 \
    QARVEL_TESTDATA_DIR=$src/tests/data/jpeg "$1" -m pytest -q -p no:cacheprovider "$src/python/tests")
}

echo "== build: Debian packages and the wheel"
rm -f build/package/*.deb build/wheel/*.whl
cmake --workflow --preset package >"$work/package.log" 2>&1 || { tail -n 40 "$work/package.log"; fail "cpack failed"; }
/usr/bin/python3 -m venv --system-site-packages "$work/venv"
"$work/venv/bin/pip" wheel -q --no-build-isolation --no-deps -w build/wheel . >"$work/wheel.log" 2>&1 ||
  { tail -n 40 "$work/wheel.log"; fail "the wheel did not build"; }
ls build/package/*.deb build/wheel/*.whl

echo "== the wheel in a venv"
"$work/venv/bin/pip" install -q --no-index build/wheel/qarvel-"$version"-*.whl
shown=$("$work/venv/bin/pip" show qarvel | sed -n 's/^Version: //p')
[[ $shown == "$version" ]] || fail "pip show qarvel says $shown, the project $version"
site=$("$work/venv/bin/python" -c 'import sysconfig; print(sysconfig.get_path("platlib"))')
python_tests "$work/venv/bin/python" "$site/qarvel" "$src/build/package/core/libqarvel.so" \
  "$src/build/package/tools/qarvel"
"$work/venv/bin/pip" uninstall -q -y qarvel
left=$(find "$site" -maxdepth 1 -iname 'qarvel*')
[[ -z $left ]] || fail "pip uninstall left $left"

echo "== the Debian packages on this machine"
for p in "${packages[@]}"; do
  ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q installed || fail "$p is installed already"
done
installed=1
"${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
  ./build/package/*.deb >"$work/apt.log" 2>&1 || { cat "$work/apt.log"; fail "apt-get install failed"; }
files=$(dpkg -L "${packages[@]}")
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
library=/usr/lib/$multiarch/libqarvel.so

[[ $(command -v qarvel) == /usr/bin/qarvel ]] || fail "qarvel on the PATH is $(command -v qarvel)"
[[ $(qarvel --version) == "qarvel $version" ]] || fail "qarvel --version says $(qarvel --version)"
qarvel resize -q "$photo" "$work/thumb.jpg" 64
[[ $(man -w qarvel) == /usr/share/man/man1/qarvel.1.gz ]] || fail "man -w qarvel: $(man -w qarvel)"
page=$(MANPAGER=cat MANWIDTH=80 man qarvel 2>/dev/null)
grep -q -- '--version' <<<"$page" || fail "man qarvel lacks --version"
[[ $(readelf -d "$library" | grep -E 'RPATH|RUNPATH') == *"Library rpath: [\$ORIGIN]" ]] ||
  fail "$library: search path is not \$ORIGIN alone"

cmake -S tests/consumer -B "$work/consumer" >/dev/null && cmake --build "$work/consumer" >/dev/null
"$work/consumer/consumer" "$photo"
[[ $(pkg-config --variable=pcfiledir qarvel) == /usr/lib/$multiarch/pkgconfig ]] ||
  fail "pkg-config finds $(pkg-config --path qarvel)"
cc -o "$work/pc-consumer" tests/consumer/main.c $(pkg-config --cflags --libs qarvel)
"$work/pc-consumer" "$photo"
loaded=$(ldd "$work/pc-consumer")
grep -qE "libqarvel.so => (/usr)?/lib/$multiarch/libqarvel.so" <<<"$loaded" ||
  fail "the consumer loads $(grep libqarvel <<<"$loaded")"

python_tests /usr/bin/python3 /usr/lib/python3/dist-packages/qarvel "$library" /usr/bin/qarvel

"${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get purge -y -qq "${packages[@]}" >"$work/apt.log" 2>&1 ||
  { cat "$work/apt.log"; fail "apt-get purge failed"; }
installed=0
grep -i 'warning' "$work/apt.log" && fail "removal warned"
while IFS= read -r f; do
  [[ -e $f && ! -d $f ]] && fail "left after removal: $f"
done <<<"$files"
for d in /usr/include/qarvel "/usr/lib/$multiarch/cmake/qarvel" /usr/lib/python3/dist-packages/qarvel; do
  [[ -e $d ]] && fail "left after removal: $d"
done
cache=$(ldconfig -p)
! grep -q libqarvel.so <<<"$cache" || fail "libqarvel.so is still in the loader's cache"
echo "wheel and Debian packages ok (version $version, ${SECONDS}s)"
