#!/usr/bin/env bash
# Screenshots of the window as a user meets it, under Xvfb (1280 x 800) with
# the openbox window manager, against fixture sites on 127.0.0.1:
#   scripts/screenshots.sh [OUT_DIR]      (default build/screenshots)
# Needs the test packages (scripts/install-deps.sh --test) and a build with
# the tests (SORVENA_BUILD_DIR, default build/dev).
set -euo pipefail
cd "$(dirname "$0")/.."
out=${1:-build/screenshots}
build=${SORVENA_BUILD_DIR:-build/dev}
if [[ ! -x "$build/tests/app/window_screenshots" ]]; then
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug
  cmake --build "$build" --target window_screenshots
fi
mkdir -p "$out"
export QT_QPA_PLATFORM=xcb
xvfb-run -a -s "-screen 0 1280x800x24" bash -c '
  openbox >/dev/null 2>&1 &
  wm=$!
  sleep 1
  "$1/tests/app/window_screenshots" "$2"
  status=$?
  kill $wm 2>/dev/null || true
  exit $status
' _ "$build" "$out"
