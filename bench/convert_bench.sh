#!/usr/bin/env bash
# Lossless JPEG conversion and dump speed of tessaly-cli beside DCMTK's dcmcjpeg, dcmdjpeg and
# dcmdump, on the same generated CT-like files in one run. Throughput is raw pixel data per
# second; every figure is the median of ROUNDS rounds, ours and DCMTK's taking turns. A tool that
# fails stops the benchmark with its errors.
#   bench/convert_bench.sh [ROUNDS]
set -euo pipefail
cd "$(dirname "$0")/.."
ROUNDS=${1:-5}
cmake --preset default >/dev/null && cmake --build --preset default >/dev/null
CLI=$PWD/build/default/cli/tessaly-cli
WORK=$(mktemp -d /tmp/tessaly-convert-bench.XXXXXX)
trap 'rm -rf "$WORK"' EXIT
source bench/timing.sh

echo "generating images in $WORK"
bench/make_images.py "$WORK/set" --count 100 --size 512
bench/make_images.py "$WORK/one1024" --count 1 --size 1024
bench/make_images.py "$WORK/one2048" --count 1 --size 2048
bench/make_images.py "$WORK/multi" --frames 200 --size 512
for d in set one1024 one2048; do
  mkdir -p "$WORK/$d.ll"
  for f in "$WORK/$d"/*.dcm; do dcmcjpeg +e1 "$f" "$WORK/$d.ll/$(basename "$f")"; done
done

pixel_bytes() {  # raw pixel bytes of the files in a folder
  local total=0
  for f in "$1"/*.dcm; do
    total=$((total + $(dcmdump -q +P 7fe0,0010 "$f" | sed -E 's/.*# *([0-9]+),.*/\1/')))
  done
  echo "$total"
}

ours_encode() { "$CLI" convert "$IN" "$OUT" --ts jpeg-lossless; }
dcmtk_encode() { dcmcjpeg +e1 "$IN" "$OUT"; }
ours_decode() { "$CLI" convert "$IN" "$OUT" --ts explicit; }
dcmtk_decode() { dcmdjpeg "$IN" "$OUT"; }
ours_dump() { "$CLI" dump "$IN"; }
dcmtk_dump() { dcmdump "$IN"; }

row() {  # label, bytes, our seconds, DCMTK seconds
  awk -v l="$1" -v b="$2" -v o="$3" -v d="$4" 'BEGIN {
    printf "%-34s %9.1f MB/s %9.1f MB/s %7.2fx\n", l, b / o / 1e6, b / d / 1e6, d / o }'
}

echo
printf '%-34s %14s %14s %8s\n' "median of $ROUNDS rounds" "tessaly-cli" "DCMTK" "ratio"
for d in set one1024 one2048; do
  bytes=$(pixel_bytes "$WORK/$d")
  times=$(time_pair "$WORK/$d" ours_encode dcmtk_encode)
  row "encode $d (dcmcjpeg +e1)" "$bytes" ${times}
  times=$(time_pair "$WORK/$d.ll" ours_decode dcmtk_decode)
  row "decode $d (dcmdjpeg)" "$bytes" ${times}
done
bytes=$(pixel_bytes "$WORK/set")
times=$(time_pair "$WORK/set" ours_dump dcmtk_dump)
row "dump set of 100 (dcmdump)" "$bytes" ${times}
bytes=$(pixel_bytes "$WORK/multi")
times=$(time_pair "$WORK/multi" ours_dump dcmtk_dump)
row "dump 100 MB multi-frame (dcmdump)" "$bytes" ${times}
