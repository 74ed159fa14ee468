#!/usr/bin/env bash
# Installs what the tests need, then builds and runs the whole test suite:
#   1. the normal build with the benchmarks compiled, all tests;
#   2. the tests again under AddressSanitizer + UndefinedBehaviorSanitizer;
#   3. the worker tests under ThreadSanitizer;
#   4. every fuzz target for a fixed time under libFuzzer (clang).
# Exits non-zero on the first failure.
set -euo pipefail
cd "$(dirname "$0")/.."

if [[ "${SORVENA_SKIP_DEPS:-0}" != 1 ]]; then
  bash scripts/install-deps.sh --test
fi

jobs=$(nproc)
fuzz_seconds=${SORVENA_FUZZ_SECONDS:-10}   # per target (nine targets, about a minute and a half)

echo "== build and test"
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSORVENA_BUILD_BENCH=ON
cmake --build build/release -j "$jobs"
ctest --test-dir build/release --output-on-failure -j "$jobs"

echo "== address and undefined-behaviour sanitizers"
cmake -S . -B build/asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DSORVENA_SANITIZE=address,undefined
cmake --build build/asan -j "$jobs"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build/asan --output-on-failure -j "$jobs"

echo "== thread sanitizer: search and tracker workers"
cmake -S . -B build/tsan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DSORVENA_SANITIZE=thread -DSORVENA_BUILD_GUI=OFF
cmake --build build/tsan -j "$jobs"
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
  ctest --test-dir build/tsan --output-on-failure -j "$jobs" \
  -R '^(SearchTest|TorznabSearchTest|SearchCommand|SiteCatalogueTest|IniFileTest|GetHtml|GetHtmlTls|ConsoleMessages|WorkerThreadPriority|CheckPingThread|UdpTracker|Opentracker|CliPeers|MetadataFetch|MetadataLoad|CliMetadata|MetadataThreadTest)\.'

echo "== fuzzing (${fuzz_seconds}s per target)"
CC=clang CXX=clang++ cmake -S . -B build/fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DSORVENA_BUILD_FUZZ=ON -DSORVENA_BUILD_TESTS=OFF -DSORVENA_BUILD_GUI=OFF -DSORVENA_SANITIZE=address,undefined
cmake --build build/fuzz -j "$jobs"
for target in build/fuzz/fuzz/fuzz_*; do
  [[ -x "$target" ]] || continue
  name=$(basename "$target")
  work=$(mktemp -d)
  cp -r "fuzz/corpus/$name/." "$work/"
  echo "-- $name"
  # A finding makes libFuzzer exit non-zero and leaves the input in build/fuzz/findings.
  mkdir -p build/fuzz/findings
  log="$work.log"
  # The bencode targets need large inputs to meet many keys or values; their
  # mutator repeats slices and writes many-key dictionaries to get there.
  # A unit of a few megabytes takes seconds under the sanitizers on a busy
  # machine; quadratic work is caught by the targets' own operation counts.
  case "$name" in
    fuzz_bdecode|fuzz_metainfo) max_len=4194304 unit_timeout=60 ;;
    *) max_len=65536 unit_timeout=10 ;;
  esac
  if ! "$target" "$work" -max_total_time="$fuzz_seconds" -max_len="$max_len" -rss_limit_mb=2048 -timeout="$unit_timeout" \
      -print_final_stats=1 -artifact_prefix=build/fuzz/findings/ >"$log" 2>&1; then
    tail -n 60 "$log"
    echo "fuzz target $name found a problem; the input is in build/fuzz/findings" >&2
    exit 1
  fi
  grep -E '^(#[0-9]+.*DONE|stat::number_of_executed_units)' "$log" || tail -n 3 "$log"
  rm -rf "$work" "$log"
done

echo "== all tests passed"
