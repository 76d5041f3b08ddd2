#!/usr/bin/env bash
# Installs what is missing, builds the library and its tool, and resizes a
# bundled photograph to a 640-pixel-wide JPEG.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/deps.sh build
cmake --preset release -DQARVEL_BUILD_TESTS=OFF -DQARVEL_BUILD_BENCH=OFF >/dev/null
cmake --build --preset release -j"$(nproc)" --target qarvel_tool

mkdir -p out
build/release/tools/qarvel resize samples/harvesters.jpg out/harvesters-640.jpg 640
echo "Wrote out/harvesters-640.jpg"
