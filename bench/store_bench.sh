#!/usr/bin/env bash
# Storage speed: N CT-like 512x512 16-bit images (bench/make_images.py) sent into one DCMTK
# storescp by `tessaly-cli store HOST PORT DIR` (a directory: one association) and by DCMTK's
# storescu (all files on one association), in alternating rounds. Prints images per second and
# MB/s of each round, the medians and the ratio. storescp writes every file; its folder is on
# /dev/shm when there is one, so that the disk does not set the pace.
# usage: bench/store_bench.sh [N=200] [ROUNDS=5]   (uses the optimised build in build/default)
set -euo pipefail
cd "$(dirname "$0")/.."
N=${1:-200}
ROUNDS=${2:-5}
CLI=$PWD/build/default/cli/tessaly-cli
[[ -x $CLI ]] || { echo "no $CLI: cmake --preset default && cmake --build --preset default" >&2; exit 1; }
for tool in storescp storescu; do
  command -v "$tool" >/dev/null || { echo "$tool (DCMTK) is not installed" >&2; exit 1; }
done
/usr/bin/python3 -c 'import pydicom, numpy' 2>/dev/null || { echo "needs python3-pydicom and python3-numpy" >&2; exit 1; }

source bench/ports.sh

work=$(mktemp -d)
received=$(mktemp -d "$([[ -d /dev/shm && -w /dev/shm ]] && echo /dev/shm || echo "${TMPDIR:-/tmp}")/store_bench.XXXXXX")
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true; done
  rm -rf "$work" "$received"
}
trap cleanup EXIT

/usr/bin/python3 bench/make_images.py "$work/images" --count "$N" --size 512
bytes=$(du -cb "$work"/images/*.dcm | tail -1 | cut -f1)

port=$(free_port)
mkdir -p "$received/storescp"
TCP_NODELAY=1 storescp --aetitle STORESCP -od "$received/storescp" -fe .dcm "$port" \
  >"$work/storescp.log" 2>&1 &
pids+=($!)
wait_port "$port"

now() { date +%s.%N; }
# Runs the command once; prints "images/s MB/s", or fails when it fails.
rate() {
  local start end
  start=$(now)
  "$@" >"$work/last.log" 2>&1 || { echo "failed: $*" >&2; cat "$work/last.log" >&2; return 1; }
  end=$(now)
  awk -v n="$N" -v b="$bytes" -v s="$start" -v e="$end" \
    'BEGIN { printf "%.1f %.1f", n / (e - s), b / 1e6 / (e - s) }'
}
median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
report() {  # NAME-A NAME-B, then the rounds of A and of B as "images/s MB/s" lines in files
  local a b
  a=$(cut -d' ' -f2 "$work/$1" | median)
  b=$(cut -d' ' -f2 "$work/$2" | median)
  printf 'median:  %-24s %7.1f images/s %7.1f MB/s\n' "$1" "$(cut -d' ' -f1 "$work/$1" | median)" "$a"
  printf '         %-24s %7.1f images/s %7.1f MB/s   ratio %.2f\n' "$2" \
    "$(cut -d' ' -f1 "$work/$2" | median)" "$b" "$(awk -v a="$a" -v b="$b" 'BEGIN { print a / b }')"
}

echo "Sending: $N images, $((bytes / 1000000)) MB, $ROUNDS rounds, into storescp on port $port"
: >"$work/tessaly-cli-store"
: >"$work/storescu"
for round in $(seq "$ROUNDS"); do
  rm -f "$received"/storescp/*
  ours=$(rate "$CLI" store 127.0.0.1 "$port" "$work/images" --aec STORESCP)
  rm -f "$received"/storescp/*
  theirs=$(TCP_NODELAY=1 rate storescu -aec STORESCP 127.0.0.1 "$port" "$work"/images/*.dcm)
  echo "$ours" >>"$work/tessaly-cli-store"
  echo "$theirs" >>"$work/storescu"
  printf 'round %d: tessaly-cli store %s   storescu %s   (images/s MB/s)\n' "$round" "$ours" "$theirs"
done
[[ $(ls "$received/storescp" | wc -l) -eq $N ]] || { echo "storescp did not write $N files" >&2; exit 1; }
report tessaly-cli-store storescu

# Receiving: storescu into `tessaly-cli scp` beside storescu into storescp, with the same
# images, the same rounds and the same report. Left to the storage provider's own benchmark.
receiving_half() { :; }
receiving_half
