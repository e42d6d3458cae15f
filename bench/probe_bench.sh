#!/usr/bin/env bash
# Probe speed: the whole `tessaly-cli probe` process against Orthanc (with its worklist plugin)
# and against storescp on loopback, ROUNDS times each; prints the median wall time of each and
# the number of associations the probe opened. DCMTK has no probe: one echoscu process against
# the same storescp is timed beside it for scale (one association of the 11 or more a probe
# opens).
# usage: bench/probe_bench.sh [ROUNDS=7]   (uses the optimised build in build/default)
set -euo pipefail
cd "$(dirname "$0")/.."
ROUNDS=${1:-7}
CLI=$PWD/build/default/cli/tessaly-cli
[[ -x $CLI ]] || { echo "no $CLI: cmake --preset default && cmake --build --preset default" >&2; exit 1; }
for tool in storescp echoscu /usr/sbin/Orthanc; do
  command -v "$tool" >/dev/null || { echo "$tool is not installed" >&2; exit 1; }
done

source bench/ports.sh
work=$(mktemp -d)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

scp_port=$(free_port)
TCP_NODELAY=1 storescp --aetitle STORESCP -od "$work" "$scp_port" >"$work/storescp.log" 2>&1 &
pids+=($!)
orthanc_port=$(free_port)
http_port=$(free_port)
mkdir -p "$work/orthanc" "$work/worklist"
cat >"$work/orthanc.json" <<JSON
{"Name": "PROBE-BENCH", "DicomAet": "ORTHANC", "DicomPort": $orthanc_port, "HttpPort": $http_port,
 "StorageDirectory": "$work/orthanc", "IndexDirectory": "$work/orthanc", "RemoteAccessAllowed": false,
 "DicomAlwaysAllowFind": true, "DicomAlwaysAllowMove": true, "DicomAlwaysAllowFindWorklist": true,
 "DicomAlwaysAllowStore": true,
 "Plugins": ["/usr/share/orthanc/plugins/libModalityWorklists.so"],
 "Worklists": {"Enable": true, "Database": "$work/worklist"}}
JSON
/usr/sbin/Orthanc "$work/orthanc.json" >"$work/orthanc.log" 2>&1 &
pids+=($!)
wait_port "$scp_port"
wait_port "$orthanc_port"

now() { date +%s.%N; }
# Seconds one run of the command takes, whole process.
timed() {
  local start end
  start=$(now)
  "$@" >"$work/last.out" 2>&1 || true
  end=$(now)
  awk -v s="$start" -v e="$end" 'BEGIN { printf "%.3f", e - s }'
}
median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

orthanc=() storescp=() echo=()
for round in $(seq "$ROUNDS"); do
  orthanc+=("$(timed "$CLI" probe 127.0.0.1 "$orthanc_port" --aec ORTHANC)")
  orthanc_assocs=$(tail -1 "$work/last.out")
  storescp+=("$(timed "$CLI" probe 127.0.0.1 "$scp_port" --aec STORESCP)")
  storescp_assocs=$(tail -1 "$work/last.out")
  echo+=("$(TCP_NODELAY=1 timed echoscu -aec STORESCP 127.0.0.1 "$scp_port")")
  printf 'round %d: probe Orthanc %ss, probe storescp %ss, echoscu %ss\n' "$round" \
    "${orthanc[-1]}" "${storescp[-1]}" "${echo[-1]}"
done
printf 'median: probe Orthanc %ss (%s), probe storescp %ss (%s), echoscu %ss (1 association)\n' \
  "$(printf '%s\n' "${orthanc[@]}" | median)" "$orthanc_assocs" \
  "$(printf '%s\n' "${storescp[@]}" | median)" "$storescp_assocs" \
  "$(printf '%s\n' "${echo[@]}" | median)"
