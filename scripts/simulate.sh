#!/usr/bin/env bash
# A field-sim campaign: scripts/simulate.sh [minutes] [jobs]
# Runs drawn worlds for the given minutes (default 10) in parallel, one
# process per job (default 2), each over its own seed range, then prints the
# simulated tag-days in total and every failure with the line that replays
# it. Exits non-zero when any run failed. FIELD_SIM_SEED moves the first seed
# (default 1); FIELD_SIM_BUILD names the build folder (default build/).
set -euo pipefail

minutes=${1:-10}
jobs=${2:-2}
root=$(cd "$(dirname "$0")/.." && pwd)
build=${FIELD_SIM_BUILD:-$root/build}
first=${FIELD_SIM_SEED:-1}
sim=$build/tools/field-sim/field-sim

if [ ! -x "$sim" ]; then
  cmake -S "$root" -B "$build" -DLORVANE_ROOT= -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build "$build" -j"$jobs" --target field-sim
fi

out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
pids=()
for ((job = 0; job < jobs; job++)); do
  # A billion seeds apart: no two jobs ever run the same seed.
  seed=$((first + job * 1000000000))
  "$sim" --minutes "$minutes" --seeds "$seed..$seed" >"$out/$job.log" 2>&1 &
  pids+=($!)
done
status=0
for pid in "${pids[@]}"; do
  wait "$pid" || status=1
done

grep -h -v '^runs=' "$out"/*.log || true
awk '/^runs=/ { for (i = 1; i <= NF; i++) { split($i, kv, "="); sum[kv[1]] += kv[2] } }
     END { printf "campaign: %d runs, %d failed, %.0f simulated tag-days, %.0f tag-days/s over %d jobs\n",
                  sum["runs"], sum["failed"], sum["tag-days"], sum["tag-days/s"], n }' n="$jobs" "$out"/*.log
exit $status
