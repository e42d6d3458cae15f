#!/usr/bin/env bash
# Receiving speed of the storage provider beside DCMTK's storescp: DCMTK's storescu sends N
# generated 512x512 16-bit CT-like images on one association to `tessaly-cli scp`, and the same
# files to storescp writing into a folder, in alternating rounds of one run; each server starts
# afresh in an empty folder for every round, and the time is storescu's, from connect to
# release. Prints images per second and MB/s (file bytes sent) per round, the medians and the
# ratio.
#
# tessaly-cli scp flushes every file to the disk (fsync) before it answers; storescp does not.
# The same run therefore also times tessaly-cli scp with fsync turned into a no-op (a two-line
# shim preloaded into that process only), to show what the flush costs.
#
# usage: bench/scp_bench.sh [N=200] [ROUNDS=5]
set -euo pipefail
cd "$(dirname "$0")/.."
N=${1:-200}
ROUNDS=${2:-5}
for tool in storescu storescp cc; do
  command -v "$tool" >/dev/null || { echo "$tool is not installed" >&2; exit 1; }
done
cmake --preset default >/dev/null && cmake --build --preset default -j2 >/dev/null
CLI=$PWD/build/default/cli/tessaly-cli

WORK=$(mktemp -d /tmp/tessaly-scp-bench.XXXXXX)
SERVER_PID=
cleanup() {
  if [[ -n $SERVER_PID ]]; then kill "$SERVER_PID" 2>/dev/null || true; wait "$SERVER_PID" 2>/dev/null || true; fi
  rm -rf "$WORK"
}
trap cleanup EXIT

echo "generating $N images in $WORK"
bench/make_images.py "$WORK/images" --count "$N" --size 512
BYTES=$(cat "$WORK"/images/*.dcm | wc -c)
cc -shared -fPIC -o "$WORK/nofsync.so" -x c - <<'EOF'
int fsync(int fd) { (void)fd; return 0; }
int fdatasync(int fd) { (void)fd; return 0; }
EOF

source bench/ports.sh
now() { date +%s.%N; }

# One round against one server: starts it in an empty folder, sends every image on one
# association, checks that every image was stored, stops the server; prints the seconds.
# usage: round KIND   (ours, ours-nofsync, storescp)
round() {
  local kind=$1 dir=$WORK/run-$1 port start end stored
  rm -rf "$dir"; mkdir -p "$dir/images"
  port=$(free_port)
  case $kind in
    ours) (cd "$dir" && exec "$CLI" scp "$port" images >"$dir/server.log" 2>&1) & ;;
    ours-nofsync) (cd "$dir" && LD_PRELOAD=$WORK/nofsync.so exec "$CLI" scp "$port" images \
                     >"$dir/server.log" 2>&1) & ;;
    storescp) (cd "$dir" && TCP_NODELAY=1 exec storescp --aetitle STORESCP -od images "$port" \
                 >"$dir/server.log" 2>&1) & ;;
  esac
  SERVER_PID=$!
  wait_port "$port"
  # What the previous round left for the disk is written out before this one is timed.
  sync
  start=$(now)
  TCP_NODELAY=1 storescu -aec STORESCP 127.0.0.1 "$port" "$WORK"/images/*.dcm >"$dir/storescu.log" 2>&1 ||
    { echo "storescu failed against $kind:" >&2; cat "$dir/storescu.log" >&2; return 1; }
  end=$(now)
  kill "$SERVER_PID"; wait "$SERVER_PID" 2>/dev/null || true; SERVER_PID=
  stored=$(find "$dir/images" -type f | wc -l)
  [[ $stored -eq $N ]] || { echo "$kind stored $stored of $N images" >&2; return 1; }
  awk -v s="$start" -v e="$end" 'BEGIN { printf "%.4f", e - s }'
}

median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
rate() { awk -v n="$N" -v b="$BYTES" -v t="$1" 'BEGIN { printf "%7.1f img/s %7.1f MB/s", n / t, b / t / 1e6 }'; }

declare -A times
kinds=(ours ours-nofsync storescp)
echo "$N images, $(awk -v b="$BYTES" 'BEGIN { printf "%.1f", b / 1e6 }') MB, one association per round, $ROUNDS rounds"
for r in $(seq "$ROUNDS"); do
  line="round $r:"
  for kind in "${kinds[@]}"; do
    t=$(round "$kind")
    times[$kind]+="$t "
    line+="  $kind $(rate "$t")"
  done
  echo "$line"
done
echo
declare -A med
for kind in "${kinds[@]}"; do
  med[$kind]=$(printf '%s\n' ${times[$kind]} | median)
  printf 'median %-13s %s\n' "$kind" "$(rate "${med[$kind]}")"
done
awk -v a="${med[ours]}" -v b="${med[ours-nofsync]}" -v c="${med[storescp]}" 'BEGIN {
  printf "ratio to storescp: tessaly-cli scp %.2f, without fsync %.2f (above 1: faster)\n", c / a, c / b }'
