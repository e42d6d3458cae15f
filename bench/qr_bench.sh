#!/usr/bin/env bash
# C-MOVE out of an archive, beside DCMTK, in one run: one study of N 512x512 images stored in
# `tessaly-cli scp --query` and in dcmqrscp (each filled with storescu), then moved by movescu
# out of each into a fresh storescp; images per second of one move each.
#
# usage: bench/qr_bench.sh [N=200]
set -euo pipefail
cd "$(dirname "$0")/.."
N=${1:-200}
for tool in dcmqrscp storescu storescp movescu dcmdump; do
  command -v "$tool" >/dev/null || { echo "$tool is not installed" >&2; exit 1; }
done
cmake --preset default >/dev/null && nice -n 10 cmake --build --preset default -j1 --target tessaly-cli >/dev/null
CLI=$PWD/build/default/cli/tessaly-cli

WORK=$(mktemp -d /tmp/tessaly-qr-bench.XXXXXX)
PIDS=()
cleanup() {
  for pid in "${PIDS[@]}"; do kill "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true; done
  rm -rf "$WORK"
}
trap cleanup EXIT
source bench/ports.sh
now() { date +%s.%N; }

bench/make_images.py "$WORK/series" --count "$N" --size 512
STUDY=$(dcmdump -q +P 0020,000d "$WORK/series/ct0000.dcm" | sed -E 's/.*\[(.*)\].*/\1/')
DEST_PORT=$(free_port)
OURS_PORT=$(free_port)
QR_PORT=$(free_port)

echo "DEST 127.0.0.1 $DEST_PORT" >"$WORK/nodes.txt"
mkdir -p "$WORK/ours"
(cd "$WORK/ours" && exec "$CLI" scp "$OURS_PORT" images --query --nodes ../nodes.txt --quiet \
   >"$WORK/ours.log" 2>&1) &
PIDS+=($!)
mkdir -p "$WORK/db"
cat >"$WORK/dcmqrscp.cfg" <<CFG
NetworkTCPPort = $QR_PORT
MaxPDUSize = 16384
MaxAssociations = 16
HostTable BEGIN
dest = (DEST, 127.0.0.1, $DEST_PORT)
HostTable END
VendorTable BEGIN
VendorTable END
AETable BEGIN
ARCHIVE $WORK/db RW (1000, 4096mb) ANY
AETable END
CFG
(cd "$WORK" && TCP_NODELAY=1 exec dcmqrscp -c dcmqrscp.cfg >"$WORK/dcmqrscp.log" 2>&1) &
PIDS+=($!)
wait_port "$OURS_PORT"
wait_port "$QR_PORT"
TCP_NODELAY=1 storescu -aec TESSALY +sd 127.0.0.1 "$OURS_PORT" "$WORK/series" >/dev/null 2>&1
TCP_NODELAY=1 storescu -aec ARCHIVE +sd 127.0.0.1 "$QR_PORT" "$WORK/series" >/dev/null 2>&1

# One move of the study out of the archive at port $2 (called title $1) into a fresh storescp.
move_from() {
  local dir=$WORK/dest-$1 start end stored
  rm -rf "$dir"; mkdir -p "$dir"
  (TCP_NODELAY=1 exec storescp -aet DEST -od "$dir" "$DEST_PORT" >"$dir.log" 2>&1) &
  local dest=$!
  wait_port "$DEST_PORT"
  sync
  start=$(now)
  TCP_NODELAY=1 movescu -S -aec "$1" -aem DEST -k QueryRetrieveLevel=STUDY \
    -k "StudyInstanceUID=$STUDY" 127.0.0.1 "$2" >"$dir.move" 2>&1
  end=$(now)
  kill "$dest"; wait "$dest" 2>/dev/null || true
  stored=$(find "$dir" -type f | wc -l)
  [[ $stored -eq $N ]] || { echo "$1: $stored of $N images arrived" >&2; cat "$dir.move" >&2; return 1; }
  awk -v s="$start" -v e="$end" -v n="$N" 'BEGIN { printf "%.1f", n / (e - s) }'
}

ours=$(move_from TESSALY "$OURS_PORT")
theirs=$(move_from ARCHIVE "$QR_PORT")
echo "C-MOVE of $N images into storescp: tessaly-cli scp $ours img/s, dcmqrscp $theirs img/s"
