#!/usr/bin/env bash
# Installs what is missing, builds the library and its tool, and resizes a
# bundled photograph to a 640-pixel-wide JPEG.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/deps.sh build
cmake --preset release -DQARVEL_BUILD_TESTS=OFF -DQARVEL_BUILD_BENCH=OFF >/dev/null
cmake --build --preset release -j"$(nproc)" --target qarvel_tool

tool=build/release/tools/qarvel
mkdir -p out
"$tool" resize samples/harvesters.jpg out/harvesters-640.jpg 640
cat <<MSG
Wrote out/harvesters-640.jpg

The tool is $PWD/$tool (not on your PATH). Call it by that path:
  $tool resize IN.jpg OUT.jpg 640
  $tool resize -r -s 640x640 -o thumbs/ photos/
  $tool --help
or install it (README.md, "Installing") to call it as plain qarvel.
MSG
