#!/usr/bin/env bash
# Storage commitment round trip: 200 generated 512 x 512 images stored in Orthanc, then one
# `tessaly-cli commit ... --receive PORT` of all of them, ROUNDS times; prints the median of the
# whole process's wall time and of the time to commit it reports (request sent to report
# received), and the same for one instance. No Debian package has a storage commitment
# requestor to run beside it: storescu storing the same 200 images is timed for scale.
# usage: bench/commit_bench.sh [ROUNDS=5]   (uses the optimised build in build/default)
set -euo pipefail
cd "$(dirname "$0")/.."
ROUNDS=${1:-5}
CLI=$PWD/build/default/cli/tessaly-cli
[[ -x $CLI ]] || { echo "no $CLI: cmake --preset default && cmake --build --preset default" >&2; exit 1; }
for tool in storescu /usr/sbin/Orthanc; do
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

bench/make_images.py "$work/set" --count 200 --size 512 >/dev/null
orthanc_port=$(free_port)
http_port=$(free_port)
receive_port=$(free_port)
mkdir -p "$work/orthanc"
cat >"$work/orthanc.json" <<JSON
{"Name": "COMMIT-BENCH", "DicomAet": "ORTHANC", "DicomPort": $orthanc_port, "HttpPort": $http_port,
 "StorageDirectory": "$work/orthanc", "IndexDirectory": "$work/orthanc", "RemoteAccessAllowed": false,
 "DicomAlwaysAllowStore": true,
 "DicomModalities": {"tessaly": ["TESSALY", "127.0.0.1", $receive_port]}}
JSON
/usr/sbin/Orthanc "$work/orthanc.json" >"$work/orthanc.log" 2>&1 &
pids+=($!)
wait_port "$orthanc_port"

now() { date +%s.%N; }
median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
# Seconds one run of the command takes, whole process; a failure stops the benchmark.
timed() {
  local start end
  start=$(now)
  "$@" >"$work/last.out" 2>&1 || { cat "$work/last.out" >&2; return 1; }
  end=$(now)
  awk -v s="$start" -v e="$end" 'BEGIN { printf "%.3f", e - s }'
}
# The time to commit of the last run, in seconds.
reported() { sed -nE 's/.* committed in ([0-9.]+) s.*/\1/p' "$work/last.out"; }

files=("$work/set"/*.dcm)
one=${files[0]}
store=() all=() all_commit=() single=() single_commit=()
for round in $(seq "$ROUNDS"); do
  store+=("$(TCP_NODELAY=1 timed storescu -aec ORTHANC 127.0.0.1 "$orthanc_port" --scan-directories "$work/set")")
  all+=("$(timed "$CLI" commit 127.0.0.1 "$orthanc_port" "$work/set" --aet TESSALY --aec ORTHANC --receive "$receive_port")")
  all_commit+=("$(reported)")
  single+=("$(timed "$CLI" commit 127.0.0.1 "$orthanc_port" "$one" --aet TESSALY --aec ORTHANC --receive "$receive_port")")
  single_commit+=("$(reported)")
  printf 'round %d: storescu 200 %ss; commit 200 %ss (to commit %ss); commit 1 %ss (to commit %ss)\n' \
    "$round" "${store[-1]}" "${all[-1]}" "${all_commit[-1]}" "${single[-1]}" "${single_commit[-1]}"
done
printf 'median: storescu 200 %ss; commit 200 %ss (to commit %ss); commit 1 %ss (to commit %ss)\n' \
  "$(printf '%s\n' "${store[@]}" | median)" "$(printf '%s\n' "${all[@]}" | median)" \
  "$(printf '%s\n' "${all_commit[@]}" | median)" "$(printf '%s\n' "${single[@]}" | median)" \
  "$(printf '%s\n' "${single_commit[@]}" | median)"
