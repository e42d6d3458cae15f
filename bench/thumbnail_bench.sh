#!/usr/bin/env bash
# Thumbnail speed: 128-pixel-wide JPEG thumbnails of N CT-like 512x512 16-bit images
# (bench/make_images.py), by tessaly-cli one process per image and all in one process (a folder
# argument), beside DCMTK's `dcmj2pnm +oj +Sxv 128` one process per image, in alternating rounds.
# Prints images per second of each round and the medians. Thumbnails go to /dev/shm when there
# is one, so that the disk does not set the pace.
# usage: bench/thumbnail_bench.sh [N=200] [ROUNDS=5]   (uses the optimised build in build/default)
set -euo pipefail
cd "$(dirname "$0")/.."
N=${1:-200}
ROUNDS=${2:-5}
CLI=$PWD/build/default/cli/tessaly-cli
[[ -x $CLI ]] || { echo "no $CLI: cmake --preset default && cmake --build --preset default" >&2; exit 1; }
command -v dcmj2pnm >/dev/null || { echo "dcmj2pnm (DCMTK) is not installed" >&2; exit 1; }
/usr/bin/python3 -c 'import pydicom, numpy' 2>/dev/null || { echo "needs python3-pydicom and python3-numpy" >&2; exit 1; }

work=$(mktemp -d)
out=$(mktemp -d "$([[ -d /dev/shm && -w /dev/shm ]] && echo /dev/shm || echo "${TMPDIR:-/tmp}")/thumbnail_bench.XXXXXX")
trap 'rm -rf "$work" "$out"' EXIT
/usr/bin/python3 bench/make_images.py "$work/images" --count "$N" --size 512

ours_each() { for f in "$work"/images/*.dcm; do "$CLI" thumbnail "$f" "$out/$(basename "$f" .dcm).jpg" >/dev/null; done; }
ours_one() { "$CLI" thumbnail "$work/images" "$out" >/dev/null; }
dcmtk_each() { for f in "$work"/images/*.dcm; do dcmj2pnm +oj +Sxv 128 "$f" "$out/$(basename "$f" .dcm).jpg"; done; }

now() { date +%s.%N; }
rate() {  # runs the command once, prints images/s
  rm -rf "${out:?}"/*
  local start end
  start=$(now)
  "$@"
  end=$(now)
  [[ $(find "$out" -name '*.jpg' | wc -l) -eq $N ]] || { echo "$1 did not write $N thumbnails" >&2; exit 1; }
  awk -v n="$N" -v s="$start" -v e="$end" 'BEGIN { printf "%.1f\n", n / (e - s) }'
}
median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

echo "Thumbnails 128 wide of $N images 512x512, $ROUNDS rounds (images/s)"
printf '%-6s %22s %22s %22s\n' round "tessaly-cli, each" "tessaly-cli, one" "dcmj2pnm, each"
for ((r = 1; r <= ROUNDS; r++)); do
  a=$(rate ours_each); b=$(rate ours_one); c=$(rate dcmtk_each)
  echo "$a" >>"$work/a"; echo "$b" >>"$work/b"; echo "$c" >>"$work/c"
  printf '%-6s %22s %22s %22s\n' "$r" "$a" "$b" "$c"
done
a=$(median <"$work/a"); b=$(median <"$work/b"); c=$(median <"$work/c")
printf '%-6s %22s %22s %22s\n' median "$a" "$b" "$c"
awk -v a="$a" -v b="$b" -v c="$c" \
  'BEGIN { printf "ratio to dcmj2pnm: each %.2f, one process %.2f\n", a / c, b / c }'
