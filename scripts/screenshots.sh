#!/usr/bin/env bash
# Renders every screen of the wizard offscreen to docs/screenshots/*.png (and the main window at a
# device pixel ratio of 2), from the normal build in build/.
#   scripts/screenshots.sh
set -euo pipefail
cd "$(dirname "$0")/.."

if [ ! -f build/build.ninja ]; then
  cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQE_WERROR=ON
fi
cmake --build build --target ui_screens

out=docs/screenshots
mkdir -p "$out"
export QT_QPA_PLATFORM=offscreen
build/bench/ui_screens "$out"

# At scale 2 on a 1366x768 laptop screen (683 by 384 logical pixels), where the main window is laid
# out smaller to fit.
scaled=$(mktemp -d)
trap 'rm -rf "$scaled"' EXIT
QT_QPA_PLATFORM=offscreen:configfile=tests/ui/screen-1366x768.json QT_SCALE_FACTOR=2 \
  build/bench/ui_screens "$scaled" @2x >/dev/null
for name in main-idle main-status-check; do
  cp "$scaled/$name@2x.png" "$out/"
  echo "$out/$name@2x.png"
done
