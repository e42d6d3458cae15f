#!/usr/bin/env bash
# C-GET out of dcmqrscp, beside DCMTK, in one run: one study of N generated 512x512 images
# stored in dcmqrscp (filled with storescu), then retrieved at study level on the requestor's
# own association ROUNDS times each by
#   ours          tessaly-cli get, which flushes every file to the disk (fsync) before it
#                 answers the C-STORE sub-operation;
#   ours-nofsync  the same with fsync turned into a no-op (a two-line shim preloaded into that
#                 process only), to show what the flush costs;
#   getscu        DCMTK's getscu, no flush;
# each into a fresh folder, the rounds alternating. Prints images/s and MB/s (file bytes of the
# study) per round and the medians; every round must bring back all N images.
#
# usage: bench/get_bench.sh [N=200] [ROUNDS=3]
set -euo pipefail
cd "$(dirname "$0")/.."
N=${1:-200}
ROUNDS=${2:-3}
source bench/common.sh
bench_start get-bench dcmqrscp storescu getscu dcmdump cc

bench/make_images.py "$WORK/series" --count "$N" --size 512 >/dev/null
BYTES=$(cat "$WORK"/series/*.dcm | wc -c)
STUDY=$(dcmdump -q +P 0020,000d "$WORK/series/ct0000.dcm" | sed -E 's/.*\[(.*)\].*/\1/')
cc -shared -fPIC -o "$WORK/nofsync.so" -x c - <<'EOF'
int fsync(int fd) { (void)fd; return 0; }
int fdatasync(int fd) { (void)fd; return 0; }
EOF

QR_PORT=$(free_port)
mkdir -p "$WORK/db"
cat >"$WORK/dcmqrscp.cfg" <<CFG
NetworkTCPPort = $QR_PORT
MaxPDUSize = 16384
MaxAssociations = 16
HostTable BEGIN
HostTable END
VendorTable BEGIN
VendorTable END
AETable BEGIN
ARCHIVE $WORK/db RW (1000, 4096mb) ANY
AETable END
CFG
(cd "$WORK" && TCP_NODELAY=1 exec dcmqrscp -c dcmqrscp.cfg >"$WORK/dcmqrscp.log" 2>&1) &
PIDS+=($!)
wait_port "$QR_PORT"
TCP_NODELAY=1 storescu -aec ARCHIVE +sd 127.0.0.1 "$QR_PORT" "$WORK/series" >/dev/null 2>&1

# One retrieve of the study by kind $1 into a fresh folder; prints the seconds it took.
get_with() {
  local dir=$WORK/got-$1 start end got
  rm -rf "$dir"; mkdir -p "$dir"
  sync
  start=$(now)
  case $1 in
    ours) (cd "$dir" && "$CLI" get 127.0.0.1 "$QR_PORT" images --aec ARCHIVE --level study \
             --key "StudyInstanceUID=$STUDY" >"$dir.log" 2>&1) ;;
    ours-nofsync) (cd "$dir" && LD_PRELOAD=$WORK/nofsync.so "$CLI" get 127.0.0.1 "$QR_PORT" images \
             --aec ARCHIVE --level study --key "StudyInstanceUID=$STUDY" >"$dir.log" 2>&1) ;;
    getscu) TCP_NODELAY=1 getscu -S -aec ARCHIVE -od "$dir" -k QueryRetrieveLevel=STUDY \
             -k "StudyInstanceUID=$STUDY" 127.0.0.1 "$QR_PORT" >"$dir.log" 2>&1 ;;
  esac
  end=$(now)
  got=$(find "$dir" -type f -name '*.dcm' -o -type f -name 'CT*' | wc -l)
  [[ $got -eq $N ]] || { echo "$1: $got of $N images arrived" >&2; cat "$dir.log" >&2; return 1; }
  awk -v s="$start" -v e="$end" 'BEGIN { printf "%.3f", e - s }'
}


kinds=(ours ours-nofsync getscu)
declare -A times
for round in $(seq "$ROUNDS"); do
  for kind in "${kinds[@]}"; do
    t=$(get_with "$kind")
    times[$kind]+="$t "
    awk -v k="$kind" -v r="$round" -v t="$t" -v n="$N" -v b="$BYTES" \
      'BEGIN { printf "round %d %-13s %6.1f img/s %7.1f MB/s\n", r, k, n / t, b / t / 1e6 }'
  done
done
echo "C-GET of $N 512x512 images ($((BYTES / 1000000)) MB) from dcmqrscp, medians of $ROUNDS:"
for kind in "${kinds[@]}"; do
  t=$(tr ' ' '\n' <<<"${times[$kind]}" | grep . | median)
  awk -v k="$kind" -v t="$t" -v n="$N" -v b="$BYTES" \
    'BEGIN { printf "  %-13s %6.1f img/s %7.1f MB/s\n", k, n / t, b / t / 1e6 }'
done
