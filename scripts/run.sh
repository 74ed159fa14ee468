#!/usr/bin/env bash
# Installs what Sorvena needs, builds it and starts the window. Arguments go to
# the window (a results file to open); with --cli first, the rest go to
# sorvena-cli instead (default: --help).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake -S . -B build/app -G Ninja -DCMAKE_BUILD_TYPE=Release -DSORVENA_BUILD_TESTS=OFF
cmake --build build/app -j "$(nproc)"
if [[ "${1:-}" == "--cli" ]]; then
  shift
  if [[ $# -eq 0 ]]; then set -- --help; fi
  exec build/app/src/cli/sorvena-cli "$@"
fi
if [[ -z "${DISPLAY:-}${WAYLAND_DISPLAY:-}${QT_QPA_PLATFORM:-}" ]]; then
  echo "run.sh: no display; start it from a desktop session, or under Xvfb: xvfb-run -a bash scripts/run.sh" >&2
  exit 1
fi
exec build/app/src/app/sorvena "$@"
