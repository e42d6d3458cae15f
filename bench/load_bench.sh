#!/usr/bin/env bash
# Load: N CT-like 512x512 16-bit images (bench/make_images.py) sent into one DCMTK
# `storescp --fork` by `tessaly-cli load --op store` with 1, 4 and 16 associations beside the
# same work done by as many DCMTK `storescu` processes at once (one association each, the
# files split between them); then associations per second of `tessaly-cli load --op echo
# --per-association 1` beside a loop of `echoscu` processes against the same storescp. Times are
# wall-clock of the whole run, process start and file reading included; the report's own rate
# is printed beside. storescp writes every file into /dev/shm when there is one.
# usage: bench/load_bench.sh [N=400] [ECHOES=300]   (uses the optimised build in build/default)
set -euo pipefail
cd "$(dirname "$0")/.."
N=${1:-400}
ECHOES=${2:-300}
CLI=$PWD/build/default/cli/tessaly-cli
[[ -x $CLI ]] || { echo "no $CLI: cmake --preset default && cmake --build --preset default" >&2; exit 1; }
for tool in storescp storescu echoscu; do
  command -v "$tool" >/dev/null || { echo "$tool (DCMTK) is not installed" >&2; exit 1; }
done
/usr/bin/python3 -c 'import pydicom, numpy' 2>/dev/null || { echo "needs python3-pydicom and python3-numpy" >&2; exit 1; }

source bench/ports.sh

work=$(mktemp -d)
received=$(mktemp -d "$([[ -d /dev/shm && -w /dev/shm ]] && echo /dev/shm || echo "${TMPDIR:-/tmp}")/load_bench.XXXXXX")
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true; done
  rm -rf "$work" "$received"
}
trap cleanup EXIT

/usr/bin/python3 bench/make_images.py "$work/images" --count "$N" --size 512 >/dev/null
bytes=$(du -cb "$work"/images/*.dcm | tail -1 | cut -f1)

port=$(free_port)
TCP_NODELAY=1 storescp --fork --aetitle STORESCP -od "$received" -fe .dcm "$port" \
  >"$work/storescp.log" 2>&1 &
pids+=($!)
wait_port "$port"

now() { date +%s.%N; }
per_second() { awk -v n="$1" -v s="$2" -v e="$3" 'BEGIN { printf "%.1f", n / (e - s) }'; }
arrived() { find "$received" -name '*.dcm' | wc -l; }

echo "Sending: $N images, $((bytes / 1000000)) MB, into storescp --fork on port $port"
printf '%-14s %18s %18s %18s %8s\n' associations "load images/s" "(its report)" "storescu images/s" ratio
for a in 1 4 16; do
  rm -rf "${received:?}"/*
  start=$(now)
  "$CLI" load 127.0.0.1 "$port" --aec STORESCP --op store "$work/images" --associations "$a" \
    --count "$N" --json >"$work/load.json" 2>/dev/null || { echo "load failed" >&2; cat "$work/load.json" >&2; exit 1; }
  end=$(now)
  ours=$(per_second "$N" "$start" "$end")
  reported=$(/usr/bin/python3 -c 'import json,sys; print("%.1f" % json.load(open(sys.argv[1]))["operations"]["perSecond"])' "$work/load.json")
  [[ $(arrived) -eq $N ]] || { echo "storescp holds $(arrived) files, not $N, after load" >&2; exit 1; }

  rm -rf "${received:?}"/*
  # The files dealt out to a storescu processes, one association each.
  mapfile -t files < <(ls "$work"/images/*.dcm)
  start=$(now)
  senders=()
  for ((i = 0; i < a; i++)); do
    part=()
    for ((j = i; j < N; j += a)); do part+=("${files[j]}"); done
    TCP_NODELAY=1 storescu -aec STORESCP 127.0.0.1 "$port" "${part[@]}" >"$work/storescu.$i.log" 2>&1 &
    senders+=($!)
  done
  for pid in "${senders[@]}"; do wait "$pid" || { echo "storescu failed" >&2; exit 1; }; done
  end=$(now)
  theirs=$(per_second "$N" "$start" "$end")
  [[ $(arrived) -eq $N ]] || { echo "storescp holds $(arrived) files, not $N, after storescu" >&2; exit 1; }
  printf '%-14s %18s %18s %18s %8.2f\n' "$a" "$ours" "$reported" "$theirs" \
    "$(awk -v a="$ours" -v b="$theirs" 'BEGIN { print a / b }')"
done

echo
echo "Associations: $ECHOES, each with one C-ECHO, one after the other"
start=$(now)
"$CLI" load 127.0.0.1 "$port" --aec STORESCP --op echo --associations 1 --per-association 1 \
  --count "$ECHOES" --json >"$work/echo.json" 2>/dev/null || { echo "load failed" >&2; cat "$work/echo.json" >&2; exit 1; }
end=$(now)
ours=$(per_second "$ECHOES" "$start" "$end")
reported=$(/usr/bin/python3 -c 'import json,sys; r=json.load(open(sys.argv[1])); print("%.1f, open p50 %.2f ms" % (r["associations"]["perSecond"], r["latencyMs"]["association"]["p50"]))' "$work/echo.json")
start=$(now)
for ((i = 0; i < ECHOES; i++)); do
  TCP_NODELAY=1 echoscu -aec STORESCP 127.0.0.1 "$port" || { echo "echoscu failed" >&2; exit 1; }
done
end=$(now)
theirs=$(per_second "$ECHOES" "$start" "$end")
printf 'load --op echo --per-association 1: %s associations/s (its report: %s)\n' "$ours" "$reported"
printf 'echoscu loop:                       %s associations/s   ratio %.2f\n' "$theirs" \
  "$(awk -v a="$ours" -v b="$theirs" 'BEGIN { print a / b }')"
