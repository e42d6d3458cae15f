#!/usr/bin/env bash
# Receiving speed of the storage provider beside DCMTK's storescp and Orthanc: DCMTK's storescu
# sends N generated 512x512 16-bit CT-like images (four series of N/4) to each provider, once
# from one sender on one association, and once from four storescu senders at the same time,
# one series each. Every provider starts afresh in an empty folder for every round, the rounds
# alternate between the providers in one run, and the time runs from the first connect to the
# last sender's release. Prints images per second and MB/s (file bytes sent) per round, the
# medians and the ratios.
#
# The providers:
#   ours          tessaly-cli scp (8 associations at once), which flushes every file to the
#                 disk (fsync) before it answers;
#   ours-nofsync  the same with fsync turned into a no-op (a two-line shim preloaded into that
#                 process only), to show what the flush costs;
#   storescp      DCMTK's storescp, one association after the other, no flush;
#   storescp-fork the same with --fork, one process per association;
#   orthanc       Orthanc from Debian with a configuration of its own (own ports, own storage
#                 and index folders, no plugins); it flushes its storage area (SyncStorageArea)
#                 and keeps a SQLite index, and serves 4 associations at once (its default).
#
# usage: bench/scp_bench.sh [N=200] [ROUNDS=5]
set -euo pipefail
cd "$(dirname "$0")/.."
N=${1:-200}
ROUNDS=${2:-5}
N=$(((N + 3) / 4 * 4))
for tool in storescu storescp cc curl /usr/sbin/Orthanc; do
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
for s in 0 1 2 3; do
  bench/make_images.py "$WORK/images/s$s" --count $((N / 4)) --size 512 >/dev/null
done
BYTES=$(cat "$WORK"/images/s*/*.dcm | wc -c)
cc -shared -fPIC -o "$WORK/nofsync.so" -x c - <<'EOF'
int fsync(int fd) { (void)fd; return 0; }
int fdatasync(int fd) { (void)fd; return 0; }
EOF

source bench/ports.sh
now() { date +%s.%N; }

# Orthanc's configuration for one round: everything under the round's folder.
orthanc_config() {
  local dir=$1 port=$2 http=$3
  cat >"$dir/orthanc.json" <<EOF
{
  "Name": "TESSALY-BENCH",
  "StorageDirectory": "$dir/storage",
  "IndexDirectory": "$dir/index",
  "StorageCompression": false,
  "SyncStorageArea": true,
  "Plugins": [],
  "DicomServerEnabled": true,
  "DicomAet": "ORTHANC",
  "DicomPort": $port,
  "DicomCheckCalledAet": false,
  "DicomAlwaysAllowStore": true,
  "HttpServerEnabled": true,
  "HttpPort": $http,
  "RemoteAccessAllowed": false,
  "AuthenticationEnabled": false
}
EOF
}

# How many images the provider of the round holds.
stored_count() {
  local kind=$1 dir=$2 http=$3
  case $kind in
    orthanc) curl -s "http://127.0.0.1:$http/statistics" |
               python3 -c 'import json, sys; print(json.load(sys.stdin)["CountInstances"])' ;;
    *) find "$dir/images" -type f | wc -l ;;
  esac
}

# One round against one provider: starts it in an empty folder, sends every image from SENDERS
# storescu processes (1: all on one association; 4: one series each, at once), checks that
# every image was stored, stops the provider; prints the seconds.
# usage: round KIND SENDERS
round() {
  local kind=$1 senders=$2 dir=$WORK/run-$1 port http start end stored s
  local pids=()
  rm -rf "$dir"; mkdir -p "$dir/images"
  port=$(free_port)
  http=$(free_port)
  case $kind in
    ours) (cd "$dir" && exec "$CLI" scp "$port" images >"$dir/server.log" 2>&1) & ;;
    ours-nofsync) (cd "$dir" && LD_PRELOAD=$WORK/nofsync.so exec "$CLI" scp "$port" images \
                     >"$dir/server.log" 2>&1) & ;;
    storescp) (cd "$dir" && TCP_NODELAY=1 exec storescp --aetitle STORESCP -od images "$port" \
                 >"$dir/server.log" 2>&1) & ;;
    storescp-fork) (cd "$dir" && TCP_NODELAY=1 exec storescp --fork --aetitle STORESCP \
                      -od images "$port" >"$dir/server.log" 2>&1) & ;;
    orthanc) orthanc_config "$dir" "$port" "$http"
             (cd "$dir" && exec /usr/sbin/Orthanc "$dir/orthanc.json" >"$dir/server.log" 2>&1) & ;;
  esac
  SERVER_PID=$!
  wait_port "$port"
  # What the previous round left for the disk is written out before this one is timed.
  sync
  start=$(now)
  if [[ $senders -eq 1 ]]; then
    TCP_NODELAY=1 storescu -aec STORESCP 127.0.0.1 "$port" "$WORK"/images/s*/*.dcm \
      >"$dir/storescu.log" 2>&1 &
    pids+=($!)
  else
    for s in 0 1 2 3; do
      TCP_NODELAY=1 storescu -aec STORESCP 127.0.0.1 "$port" "$WORK"/images/s$s/*.dcm \
        >"$dir/storescu-$s.log" 2>&1 &
      pids+=($!)
    done
  fi
  for pid in "${pids[@]}"; do
    wait "$pid" || { echo "storescu failed against $kind:" >&2; cat "$dir"/storescu*.log >&2; return 1; }
  done
  end=$(now)
  stored=$(stored_count "$kind" "$dir" "$http")
  kill "$SERVER_PID"; wait "$SERVER_PID" 2>/dev/null || true; SERVER_PID=
  [[ $stored -eq $N ]] || { echo "$kind stored $stored of $N images" >&2; return 1; }
  awk -v s="$start" -v e="$end" 'BEGIN { printf "%.4f", e - s }'
}

median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
rate() { awk -v n="$N" -v b="$BYTES" -v t="$1" 'BEGIN { printf "%7.1f img/s %7.1f MB/s", n / t, b / t / 1e6 }'; }

declare -A times
kinds=(ours ours-nofsync storescp storescp-fork orthanc)
echo "$N images, $(awk -v b="$BYTES" 'BEGIN { printf "%.1f", b / 1e6 }') MB, 1 sender and 4 senders, $ROUNDS rounds"
for r in $(seq "$ROUNDS"); do
  for senders in 1 4; do
    line="round $r, $senders sender(s):"
    for kind in "${kinds[@]}"; do
      t=$(round "$kind" "$senders")
      times[$kind/$senders]+="$t "
      line+="  $kind $(rate "$t" | awk '{ print $1 }')"
    done
    echo "$line img/s"
  done
done
echo
declare -A med
printf '%-14s %-32s %s\n' median "1 sender" "4 senders"
for kind in "${kinds[@]}"; do
  for senders in 1 4; do
    med[$kind/$senders]=$(printf '%s\n' ${times[$kind/$senders]} | median)
  done
  printf '%-14s %-32s %s\n' "$kind" "$(rate "${med[$kind/1]}")" "$(rate "${med[$kind/4]}")"
done
for senders in 1 4; do
  awk -v a="${med[ours/$senders]}" -v c="${med[storescp/$senders]}" -v f="${med[storescp-fork/$senders]}" \
      -v o="${med[orthanc/$senders]}" -v s="$senders" 'BEGIN {
    printf "%d sender(s): tessaly-cli scp is %.2fx storescp, %.2fx storescp --fork, %.2fx Orthanc (above 1: faster)\n",
      s, c / a, f / a, o / a }'
done
