#!/usr/bin/env bash
# Builds the fuzz targets with clang in build-fuzz/ and runs each on a copy of
# its seed corpus (the tree is never written) for the given seconds (20 by
# default). Any finding fails the run; its input is left in the copy's folder
# (printed) as crash-*, leak-* or timeout-*.
#   scripts/fuzz.sh [seconds-per-target] [parallel-jobs-per-target]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-20}"
jobs="${2:-1}"
bash scripts/deps.sh
export CCACHE_BASEDIR="${CCACHE_BASEDIR:-$PWD}"
launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
# Only the targets and what they link: no tools, tests or benchmarks.
cmake -S . -B build-fuzz -DNERIVO_FUZZ=ON -DCMAKE_CXX_COMPILER=clang++-14 -DLORVANE_ROOT= \
      -DNERIVO_BUILD_TESTS=OFF -DNERIVO_BUILD_TOOLS=OFF -DNERIVO_BUILD_BENCHMARKS=OFF \
      -DCMAKE_BUILD_TYPE=RelWithDebInfo "${launcher[@]}" >/dev/null
cmake --build build-fuzz -j "$(nproc)" --target fuzzers
work=$(mktemp -d)
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
# Parallel jobs write fuzz-<n>.log files in the findings folder instead of the terminal.
parallel=()
[ "$jobs" -gt 1 ] && parallel=(-jobs="$jobs" -workers="$jobs")
status=0
for dir in fuzz/corpus/*/; do
  target=$(basename "$dir")
  mkdir -p "$work/$target/corpus" "$work/$target/findings"
  cp "$dir"* "$work/$target/corpus/"
  echo "== $target: ${seconds} s"
  if ! (cd "$work/$target/findings" && "$OLDPWD/build-fuzz/fuzz/$target" -max_total_time="$seconds" \
        "${parallel[@]}" -print_final_stats=1 -artifact_prefix="$work/$target/findings/" \
        "$work/$target/corpus" > "$work/$target/run.log" 2>&1); then
    status=1
  fi
  # The end of the run, and what a finding broke (above the stack it prints).
  tail -n 12 "$work/$target/run.log"
  grep -m 3 -E '^(property failed|==[0-9]+==ERROR|SUMMARY)' "$work/$target/run.log" || true
  if [ -n "$(ls "$work/$target/findings" | grep -E '^(crash|leak|timeout|oom)-' || true)" ]; then
    echo "finding of $target in $work/$target/findings" >&2
    status=1
  fi
done
[ "$status" -eq 0 ] && rm -rf "$work"
exit "$status"
