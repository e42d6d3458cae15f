#!/usr/bin/env bash
# The provider as an archive beside DCMTK's dcmqrscp, in one run, each holding the same images
# (each filled with storescu):
#  - find: STUDIES one-image studies and the study of the move, asked by findscu at study level
#    for fourteen keys, once with universal matching and once with a Patient's Name wildcard
#    that matches one study in five; records per second, median of ROUNDS. dcmqrscp keeps at
#    most 500 studies in one storage area, so its archive is areas of 500 under titles
#    ARCHIVE1, ARCHIVE2, ... (the study of the move under ARCHIVE) and one round asks each of
#    them once; ours holds them all and is asked once;
#  - move: one study of N 512x512 images moved by movescu out of each into a fresh storescp
#    (images per second, median of ROUNDS moves each, taken in turn).
#
# usage: bench/qr_bench.sh [N=200] [STUDIES=2000] [ROUNDS=3]
set -euo pipefail
cd "$(dirname "$0")/.."
N=${1:-200}
STUDIES=${2:-2000}
ROUNDS=${3:-3}
source bench/common.sh
bench_start qr-bench dcmqrscp storescu storescp movescu findscu dcmdump

AREA_SIZE=500
AREAS=$(((STUDIES + AREA_SIZE - 1) / AREA_SIZE))
STUDIES=$((AREAS * AREA_SIZE))
bench/make_images.py "$WORK/series" --count "$N" --size 512
for a in $(seq "$AREAS"); do
  bench/make_images.py "$WORK/studies$a" --count "$AREA_SIZE" --size 16 --studies
done
STUDY=$(dcmdump -q +P 0020,000d "$WORK/series/ct0000.dcm" | sed -E 's/.*\[(.*)\].*/\1/')
DEST_PORT=$(free_port)
OURS_PORT=$(free_port)
QR_PORT=$(free_port)

echo "DEST 127.0.0.1 $DEST_PORT" >"$WORK/nodes.txt"
mkdir -p "$WORK/ours"
(cd "$WORK/ours" && exec "$CLI" scp "$OURS_PORT" images --query --nodes ../nodes.txt --quiet \
   >"$WORK/ours.log" 2>&1) &
PIDS+=($!)
AE_TABLE="ARCHIVE $WORK/db RW (10, 4096mb) ANY"
mkdir -p "$WORK/db"
for a in $(seq "$AREAS"); do
  mkdir -p "$WORK/db$a"
  AE_TABLE+=$'\n'"ARCHIVE$a $WORK/db$a RW ($AREA_SIZE, 4096mb) ANY"
done
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
$AE_TABLE
AETable END
CFG
(cd "$WORK" && TCP_NODELAY=1 exec dcmqrscp -c dcmqrscp.cfg >"$WORK/dcmqrscp.log" 2>&1) &
PIDS+=($!)
wait_port "$OURS_PORT"
wait_port "$QR_PORT"
TCP_NODELAY=1 storescu -aec TESSALY +sd 127.0.0.1 "$OURS_PORT" "$WORK/series" >/dev/null 2>&1
TCP_NODELAY=1 storescu -aec ARCHIVE +sd 127.0.0.1 "$QR_PORT" "$WORK/series" >/dev/null 2>&1
for a in $(seq "$AREAS"); do
  TCP_NODELAY=1 storescu -aec TESSALY +sd 127.0.0.1 "$OURS_PORT" "$WORK/studies$a" >/dev/null 2>&1
  TCP_NODELAY=1 storescu -aec "ARCHIVE$a" +sd 127.0.0.1 "$QR_PORT" "$WORK/studies$a" >/dev/null 2>&1
done

# The keys of a study query; $1 is the Patient's Name asked for (empty: universal).
study_keys() {
  local keys=(-k QueryRetrieveLevel=STUDY -k "PatientName=$1")
  for k in 0008,0020 0008,0030 0008,0050 0008,0061 0008,0080 0008,0090 0008,1030 \
           0010,0020 0010,0030 0010,0040 0010,1010 0020,000D 0020,0010; do keys+=(-k "$k"); done
  printf '%s\n' "${keys[@]}"
}
# One query of ours (where=ours) or of every dcmqrscp area (where=dcmqrscp); with count set,
# prints the number of studies found instead of running quietly.
find_in() {
  local where=$1 name=$2 count=${3:-} keys found=0 n
  mapfile -t keys < <(study_keys "$name")
  local titles=(TESSALY) port=$OURS_PORT
  if [[ $where == dcmqrscp ]]; then
    titles=(ARCHIVE); port=$QR_PORT
    for a in $(seq "$AREAS"); do titles+=("ARCHIVE$a"); done
  fi
  for title in "${titles[@]}"; do
    if [[ -n $count ]]; then
      n=$(TCP_NODELAY=1 findscu -v -S -aec "$title" "${keys[@]}" 127.0.0.1 "$port" 2>&1 |
            grep -c "Find Response: .* (Pending)" || true)
      found=$((found + n))
    else
      TCP_NODELAY=1 findscu -S -aec "$title" "${keys[@]}" 127.0.0.1 "$port" >/dev/null 2>&1
    fi
  done
  [[ -z $count ]] || echo "$found"
}
# Median records per second of ROUNDS queries of $2 (Patient's Name) in $1; both archives
# must find the same number, counted once outside the timing.
find_rate() {
  local found start end times=()
  found=$(find_in "$1" "$2" count)
  [[ $found -eq $3 ]] || { echo "$1 found $found studies for \"$2\", not $3" >&2; return 1; }
  for _ in $(seq "$ROUNDS"); do
    start=$(now); find_in "$1" "$2"; end=$(now)
    times+=("$(awk -v s="$start" -v e="$end" 'BEGIN { printf "%.4f", e - s }')")
  done
  awk -v n="$found" -v t="$(printf '%s\n' "${times[@]}" | median)" 'BEGIN { printf "%.0f", n / t }'
}

# The study of the move is in both archives too. The wildcard: BENCH^P00100 to BENCH^P00199 in
# every area of 500.
for query in "|$((STUDIES + 1))" "*^P0?1*|$((AREAS * 100))"; do
  name=${query%|*}; expect=${query#*|}
  ours=$(find_rate ours "$name" "$expect")
  theirs=$(find_rate dcmqrscp "$name" "$expect")
  echo "C-FIND of $expect studies (${name:-universal}) by findscu: tessaly-cli scp $ours records/s, dcmqrscp $theirs records/s"
done

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

ours=(); theirs=()
for _ in $(seq "$ROUNDS"); do
  ours+=("$(move_from TESSALY "$OURS_PORT")"); theirs+=("$(move_from ARCHIVE "$QR_PORT")")
done
echo "C-MOVE of $N images into storescp: tessaly-cli scp $(printf '%s\n' "${ours[@]}" | median) img/s," \
  "dcmqrscp $(printf '%s\n' "${theirs[@]}" | median) img/s (rounds: ${ours[*]} / ${theirs[*]})"
