#!/usr/bin/env bash
# Installs what Sorvena needs, builds it and runs it. Arguments go to sorvena-cli
# (default: --help).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake -S . -B build/app -G Ninja -DCMAKE_BUILD_TYPE=Release -DSORVENA_BUILD_TESTS=OFF
cmake --build build/app -j "$(nproc)"
if [[ $# -eq 0 ]]; then set -- --help; fi
exec build/app/src/cli/sorvena-cli "$@"
