#!/usr/bin/env bash
# The plugin's main job, start to finish, without the platform and without the
# cloud service: install what is missing, build, start the simulated utility,
# host the plugin for a few polls against it, show what it read, stop.
#   scripts/demo.sh                  3 polls, one second apart
#   POLLS=5 INTERVAL=2 scripts/demo.sh
set -euo pipefail
cd "$(dirname "$0")/.."

polls="${POLLS:-3}"
interval="${INTERVAL:-1}"
jobs="${JOBS:-$(nproc)}"
key="demo-key"

bash scripts/deps.sh

# Its own build folder and the bundled platform, so nothing another command
# cached can break the demo.
build=build-demo
echo "== Building the plugin, south-host and nerivo-sim in $build/"
cmake -S . -B "$build" -DLORVANE_ROOT= -DNERIVO_BUILD_TOOLS=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j "$jobs" --target NerivoWater south-host nerivo-sim

work="$(mktemp -d "${TMPDIR:-/tmp}/nerivo-demo.XXXXXX")"
sim_pid=""
cleanup() {
  if [ -n "$sim_pid" ] && kill -0 "$sim_pid" 2>/dev/null; then
    kill "$sim_pid" 2>/dev/null || true
    wait "$sim_pid" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

echo "== Starting the simulated utility"
"$build"/tools/nerivo-sim --port 0 --key "$key" --ca-file "$work/ca.pem" >"$work/sim.out" 2>"$work/sim.err" &
sim_pid=$!
# Its first line names the port and the CA file; wait for it, at most 30 s.
for _ in $(seq 300); do
  [ "$(wc -l <"$work/sim.out")" -ge 1 ] && break
  kill -0 "$sim_pid" 2>/dev/null || { echo "nerivo-sim did not start:" >&2; cat "$work/sim.err" >&2; exit 1; }
  sleep 0.1
done
first_line="$(head -n 1 "$work/sim.out")"
echo "$first_line"
port="$(sed -n 's/.*listening on 127\.0\.0\.1:\([0-9]*\) .*/\1/p' <<<"$first_line")"
ca_file="$(sed -n 's/.* ca-file=\([^ ]*\).*/\1/p' <<<"$first_line")"
if [ -z "$port" ] || [ -z "$ca_file" ]; then
  echo "cannot read the port and CA file from: $first_line" >&2
  exit 1
fi

cat >"$work/config.json" <<EOF
{"key": "$key", "proxy": "127.0.0.1:$port", "includeSite": "true"}
EOF

# A state as the platform would have stored it an hour ago, so the first poll
# shows the last hour; without one the plugin would start a year back.
echo "{ \"lastPull\" : $(( $(date +%s) - 3600 )) }" >"$work/state.json"

echo "== Hosting the plugin: $polls polls, $interval s apart"
echo "   stored state: $(cat "$work/state.json") (one hour ago)"
echo "   config: $(cat "$work/config.json")"
SSL_CERT_FILE="$ca_file" "$build"/tools/south-host --plugin "$build"/src/libNerivoWater.so.1 \
  --config "$work/config.json" --state "$work/state.json" --polls "$polls" --interval "$interval" \
  --log-level warning >"$work/readings.jsonl" 2>"$work/host.log"

echo "== Readings (first 3 of $(wc -l <"$work/readings.jsonl"))"
head -n 3 "$work/readings.jsonl"
if [ -s "$work/host.log" ]; then
  echo "== Log (warnings and errors)"
  head -n 20 "$work/host.log"
fi
echo "== State stored at shutdown: $(cat "$work/state.json")"

echo "== Per asset"
python3 - "$work/readings.jsonl" <<'EOF'
import json
import sys

# Datapoints every reading may carry besides the measured value.
OTHERS = {"quality", "units", "siteID", "site", "alarmLow", "alarmVeryLow", "alarmHigh", "alarmVeryHigh"}
assets = {}
with open(sys.argv[1]) as lines:
    for line in lines:
        reading = json.loads(line)
        entry = assets.setdefault(reading["asset_code"], {"count": 0, "first": None, "last": None, "value": ""})
        entry["count"] += 1
        ts = reading["user_ts"]
        if entry["first"] is None or ts < entry["first"]:
            entry["first"] = ts
        if entry["last"] is None or ts >= entry["last"]:
            entry["last"] = ts
            data = reading["readings"]
            values = [f"{v}" for k, v in data.items() if k not in OTHERS]
            entry["value"] = " ".join(values + [data.get("units", "")]).strip()
width = max([len(name) for name in assets] + [5])
print(f"{'asset':<{width}}  {'readings':>8}  {'first (UTC)':<19}  {'last (UTC)':<19}  last value")
for name in sorted(assets):
    e = assets[name]
    print(f"{name:<{width}}  {e['count']:>8}  {e['first'][:19]:<19}  {e['last'][:19]:<19}  {e['value']}")
print(f"{len(assets)} assets, {sum(e['count'] for e in assets.values())} readings")
EOF

echo "== Stopping the simulator"
kill "$sim_pid"
wait "$sim_pid" || true
sim_pid=""
