#!/usr/bin/env bash
# Installs every Debian 12 package that Sorvena needs.
#   scripts/install-deps.sh          what building and running needs
#   scripts/install-deps.sh --test   also what the tests, benchmarks and fuzzers need
set -euo pipefail
export DEBIAN_FRONTEND=noninteractive

run_pkgs=(
  build-essential cmake ninja-build pkg-config
  nlohmann-json3-dev libcli11-dev
  libssl-dev ca-certificates
  qt6-base-dev libqt6svg6 libzip-dev libdeflate-dev libexpat1-dev
)
test_pkgs=(
  clang libclang-rt-14-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  libtorrent-rasterbar-dev libcurl4-openssl-dev
  mktorrent transmission-cli python3 python3-libtorrent opentracker nginx unzip
  xvfb xauth imagemagick openbox
  xdg-utils shared-mime-info
)

pkgs=("${run_pkgs[@]}")
if [[ "${1:-}" == "--test" ]]; then
  pkgs+=("${test_pkgs[@]}")
fi

sudo_cmd=()
if [[ $(id -u) -ne 0 ]]; then sudo_cmd=(sudo); fi
"${sudo_cmd[@]}" apt-get update
"${sudo_cmd[@]}" apt-get install -y --no-install-recommends "${pkgs[@]}"
