#!/usr/bin/env bash
# Installs the Debian 12 packages a task needs, skipping those already there.
# usage: scripts/deps.sh build|test|bench|package...
#   package: what pip install . in a venv and the Debian packages need
set -euo pipefail

packages=(cmake g++ make pkg-config libturbojpeg0-dev libjpeg62-turbo-dev liblcms2-dev
          python3-dev pybind11-dev python3-numpy help2man)
for want in "$@"; do
  case "$want" in
    build) ;;
    test) packages+=(libgtest-dev clang libclang-rt-14-dev python3-pytest python3-distributed) ;;
    bench) packages+=(libopencv-dev libvips-dev libvips-tools python3-pil python3-opencv) ;;
    package) packages+=(python3-venv python3-setuptools python3-wheel dpkg-dev file man-db) ;;
    *) echo "deps.sh: unknown group '$want'" >&2; exit 2 ;;
  esac
done

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[[ ${#missing[@]} -eq 0 ]] && exit 0

echo "Installing: ${missing[*]}"
sudo=()
[[ $(id -u) -eq 0 ]] || sudo=(sudo)
"${sudo[@]}" apt-get update -qq
DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
