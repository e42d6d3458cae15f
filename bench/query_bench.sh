#!/usr/bin/env bash
# Query/retrieve speed beside DCMTK, against one dcmqrscp archive in one run:
#  - find: `tessaly-cli find` at STUDY level with universal matching over an archive of STUDIES
#    studies, beside DCMTK's findscu asking for the same fifteen keys; records per second.
#    dcmqrscp keeps at most 500 studies in one storage area (it drops the oldest beyond that),
#    so the archive is AREAS storage areas of 500 studies under titles ARCHIVE1, ARCHIVE2, ...,
#    and a round queries each of them once, one association each;
#  - move: a C-MOVE of one study of N 512x512 images from dcmqrscp into `tessaly-cli scp`,
#    beside the same move into storescp (both asked by `tessaly-cli move`, each server started
#    afresh in an empty folder every round); images per second and MB/s of file bytes.
# Every figure is the median of ROUNDS rounds; the DCMTK tools run with TCP_NODELAY=1.
# tessaly-cli scp flushes every file to the disk (fsync) before it answers and storescp does
# not, so the move is also timed with fsync turned into a no-op in tessaly-cli scp alone.
#
# usage: bench/query_bench.sh [STUDIES=2000] [N=200] [ROUNDS=5]
set -euo pipefail
cd "$(dirname "$0")/.."
STUDIES=${1:-2000}
N=${2:-200}
ROUNDS=${3:-5}
for tool in dcmqrscp storescu storescp findscu cc; do
  command -v "$tool" >/dev/null || { echo "$tool is not installed" >&2; exit 1; }
done
cmake --preset default >/dev/null && cmake --build --preset default -j2 >/dev/null
CLI=$PWD/build/default/cli/tessaly-cli

WORK=$(mktemp -d /tmp/tessaly-query-bench.XXXXXX)
PIDS=()
SERVER_PID=
cleanup() {
  for pid in "${PIDS[@]}" $SERVER_PID; do kill "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true; done
  rm -rf "$WORK"
}
trap cleanup EXIT
source bench/ports.sh
now() { date +%s.%N; }
median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

AREA_SIZE=500
AREAS=$(((STUDIES + AREA_SIZE - 1) / AREA_SIZE))
STUDIES=$((AREAS * AREA_SIZE))
echo "generating $STUDIES one-image studies and one study of $N images in $WORK"
for a in $(seq "$AREAS"); do
  bench/make_images.py "$WORK/studies$a" --count "$AREA_SIZE" --size 16 --studies
done
bench/make_images.py "$WORK/series" --count "$N" --size 512
BYTES=$(cat "$WORK"/series/*.dcm | wc -c)
STUDY=$(dcmdump -q +P 0020,000d "$WORK/series/ct0000.dcm" | sed -E 's/.*\[(.*)\].*/\1/')
cc -shared -fPIC -o "$WORK/nofsync.so" -x c - <<'EOF'
int fsync(int fd) { (void)fd; return 0; }
int fdatasync(int fd) { (void)fd; return 0; }
EOF

# The archive: its move destinations get a port each, fixed for the whole run.
PORT=$(free_port)
OURS_PORT=$(free_port)
STORESCP_PORT=$(free_port)
AE_TABLE="MOVES $WORK/db0 RW (10, 4096mb) ANY"
mkdir -p "$WORK/db0"
for a in $(seq "$AREAS"); do
  mkdir -p "$WORK/db$a"
  AE_TABLE+=$'\n'"ARCHIVE$a $WORK/db$a RW ($AREA_SIZE, 4096mb) ANY"
done
cat >"$WORK/dcmqrscp.cfg" <<EOF
NetworkTCPPort = $PORT
MaxPDUSize = 16384
MaxAssociations = 16
HostTable BEGIN
tessaly = (TESSALY, 127.0.0.1, $OURS_PORT)
storescp = (STORESCP, 127.0.0.1, $STORESCP_PORT)
HostTable END
VendorTable BEGIN
VendorTable END
AETable BEGIN
$AE_TABLE
AETable END
EOF
(cd "$WORK" && TCP_NODELAY=1 exec dcmqrscp -c dcmqrscp.cfg >"$WORK/dcmqrscp.log" 2>&1) &
PIDS+=($!)
wait_port "$PORT"
echo "filling dcmqrscp"
for a in $(seq "$AREAS"); do
  TCP_NODELAY=1 storescu -aec "ARCHIVE$a" +sd 127.0.0.1 "$PORT" "$WORK/studies$a" >/dev/null 2>&1
done
TCP_NODELAY=1 storescu -aec MOVES +sd 127.0.0.1 "$PORT" "$WORK/series" >/dev/null 2>&1

# Every storage area once; ours checks that it found all of each.
ours_find() {
  for a in $(seq "$AREAS"); do
    "$CLI" find 127.0.0.1 "$PORT" --aec "ARCHIVE$a" >"$WORK/find.out"
    grep -q "^$AREA_SIZE results$" "$WORK/find.out" ||
      { echo "tessaly-cli find in ARCHIVE$a:" >&2; tail -n 2 "$WORK/find.out" >&2; return 1; }
  done
}
dcmtk_find() {
  local keys=(-k QueryRetrieveLevel=STUDY)
  for k in 0008,0020 0008,0030 0008,0050 0008,0061 0008,0080 0008,0090 0008,1030 0010,0010 \
           0010,0020 0010,0030 0010,0040 0010,1010 0020,000D 0020,0010; do keys+=(-k "$k"); done
  for a in $(seq "$AREAS"); do
    TCP_NODELAY=1 findscu -S -aec "ARCHIVE$a" "${keys[@]}" 127.0.0.1 "$PORT" >"$WORK/find.out" 2>&1
  done
}
# findscu's answers are counted once, outside the timing.
for a in $(seq "$AREAS"); do
  keys=(-k QueryRetrieveLevel=STUDY -k 0010,0010)
  found=$(TCP_NODELAY=1 findscu -v -S -aec "ARCHIVE$a" "${keys[@]}" 127.0.0.1 "$PORT" 2>&1 |
            grep -c "Find Response: .* (Pending)" || true)
  [[ $found -eq $AREA_SIZE ]] || { echo "findscu found $found studies in ARCHIVE$a" >&2; exit 1; }
done

# Seconds of one run of the function.
timed() {
  local start end
  start=$(now)
  "$1"
  end=$(now)
  awk -v s="$start" -v e="$end" 'BEGIN { printf "%.4f", e - s }'
}

# One move round into one destination, started afresh in an empty folder; prints the seconds.
# usage: move_round KIND   (ours, ours-nofsync, storescp)
move_round() {
  local kind=$1 dir=$WORK/run-$1 start end stored
  rm -rf "$dir"; mkdir -p "$dir/images"
  case $kind in
    ours) (cd "$dir" && exec "$CLI" scp "$OURS_PORT" images >"$dir/server.log" 2>&1) & ;;
    ours-nofsync) (cd "$dir" && LD_PRELOAD=$WORK/nofsync.so exec "$CLI" scp "$OURS_PORT" images \
                     >"$dir/server.log" 2>&1) & ;;
    storescp) (cd "$dir" && TCP_NODELAY=1 exec storescp --aetitle STORESCP -od images \
                 "$STORESCP_PORT" >"$dir/server.log" 2>&1) & ;;
  esac
  SERVER_PID=$!
  local dest=TESSALY port=$OURS_PORT
  [[ $kind == storescp ]] && { dest=STORESCP; port=$STORESCP_PORT; }
  wait_port "$port"
  sync
  start=$(now)
  "$CLI" move 127.0.0.1 "$PORT" --aec MOVES --dest "$dest" --key "StudyInstanceUID=$STUDY" \
    >"$dir/move.log" 2>&1 || { echo "move into $kind failed:" >&2; cat "$dir/move.log" >&2; return 1; }
  end=$(now)
  kill "$SERVER_PID"; wait "$SERVER_PID" 2>/dev/null || true; SERVER_PID=
  stored=$(find "$dir/images" -type f | wc -l)
  [[ $stored -eq $N ]] || { echo "$kind stored $stored of $N images" >&2; return 1; }
  awk -v s="$start" -v e="$end" 'BEGIN { printf "%.4f", e - s }'
}

RECORDS=$STUDIES
echo
echo "find: $RECORDS studies in $AREAS storage areas, STUDY level, universal matching, $ROUNDS rounds"
ours=(); theirs=()
for r in $(seq "$ROUNDS"); do
  ours+=("$(timed ours_find)"); theirs+=("$(timed dcmtk_find)")
  awk -v n="$RECORDS" -v a="${ours[-1]}" -v b="${theirs[-1]}" -v r="$r" 'BEGIN {
    printf "round %d: tessaly-cli find %8.0f records/s   findscu %8.0f records/s\n", r, n / a, n / b }'
done
m_ours=$(printf '%s\n' "${ours[@]}" | median); m_theirs=$(printf '%s\n' "${theirs[@]}" | median)
awk -v n="$RECORDS" -v a="$m_ours" -v b="$m_theirs" 'BEGIN {
  printf "median:  tessaly-cli find %8.0f records/s   findscu %8.0f records/s   ratio %.2f\n", n / a, n / b, b / a }'

echo
echo "move: $N images, $(awk -v b="$BYTES" 'BEGIN { printf "%.1f", b / 1e6 }') MB, one study, $ROUNDS rounds"
rate() { awk -v n="$N" -v b="$BYTES" -v t="$1" 'BEGIN { printf "%7.1f img/s %7.1f MB/s", n / t, b / t / 1e6 }'; }
declare -A times
kinds=(ours ours-nofsync storescp)
for r in $(seq "$ROUNDS"); do
  line="round $r:"
  for kind in "${kinds[@]}"; do
    t=$(move_round "$kind")
    times[$kind]+="$t "
    line+="  $kind $(rate "$t")"
  done
  echo "$line"
done
declare -A med
for kind in "${kinds[@]}"; do
  med[$kind]=$(printf '%s\n' ${times[$kind]} | median)
  printf 'median %-13s %s\n' "$kind" "$(rate "${med[$kind]}")"
done
awk -v a="${med[ours]}" -v b="${med[ours-nofsync]}" -v c="${med[storescp]}" 'BEGIN {
  printf "ratio to storescp: tessaly-cli scp %.2f, without fsync %.2f (above 1: faster)\n", c / a, c / b }'
