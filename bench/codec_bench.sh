#!/usr/bin/env bash
# Encode and decode speed of tessaly-cli convert for RLE, JPEG-LS and JPEG 2000 beside DCMTK
# (dcmcrle/dcmdrle, dcmcjpls/dcmdjpls) and gdcm (gdcmconv --j2k / --raw), and of our HTJ2K and
# JPEG XL lossless beside gdcm's JPEG 2000, on the same generated 16-bit CT-like files in one
# run: 100 images of 512 x 512 and one of 2048 x 2048. Throughput is raw pixel data per second,
# process start and file I/O included for every tool; every figure is the median of ROUNDS
# rounds, ours and theirs taking turns. Ours also reports the compression ratio it reached, and
# the last lines set HTJ2K and JPEG XL beside our own JPEG 2000. A tool that fails stops the
# benchmark with its errors.
#   bench/codec_bench.sh [ROUNDS]
set -euo pipefail
cd "$(dirname "$0")/.."
ROUNDS=${1:-3}
cmake --preset default >/dev/null && cmake --build --preset default >/dev/null
CLI=$PWD/build/default/cli/tessaly-cli
WORK=$(mktemp -d /tmp/tessaly-codec-bench.XXXXXX)
trap 'rm -rf "$WORK"' EXIT
source bench/timing.sh

echo "generating images in $WORK"
bench/make_images.py "$WORK/set" --count 100 --size 512
bench/make_images.py "$WORK/one2048" --count 1 --size 2048

pixel_bytes() {  # raw pixel bytes of the files in a folder
  local total=0
  for f in "$1"/*.dcm; do
    total=$((total + $(dcmdump -q +P 7fe0,0010 "$f" | sed -E 's/.*# *([0-9]+),.*/\1/')))
  done
  echo "$total"
}

# Times ours (command $2 over folder $1) and theirs ($4 over $3) in turns, ROUNDS times each;
# prints both medians.
time_turns() {
  local ours=() theirs=() r
  for ((r = 0; r < ROUNDS; r++)); do
    ours+=("$(run_once "$1" "$2")") || return 1
    theirs+=("$(run_once "$3" "$4")") || return 1
  done
  echo "$(printf '%s\n' "${ours[@]}" | median) $(printf '%s\n' "${theirs[@]}" | median)"
}

# The encoded files of each codec, made once by each side: ours for the ratio, theirs as the
# input of both decoders.
encode_into() {  # folder, target folder, command...
  local folder=$1 target=$2; shift 2
  mkdir -p "$target"
  for f in "$folder"/*.dcm; do
    IN=$f OUT=$target/$(basename "$f") "$@" >/dev/null 2>"$WORK/errors" ||
      { echo "failed: $* on $f:" >&2; cat "$WORK/errors" >&2; return 1; }
  done
}

size_of() { du -sb "$1" | cut -f1; }

ours_rle() { "$CLI" convert "$IN" "$OUT" --ts rle; }
ours_jls() { "$CLI" convert "$IN" "$OUT" --ts jpeg-ls; }
ours_j2k() { "$CLI" convert "$IN" "$OUT" --ts j2k; }
ours_htj2k() { "$CLI" convert "$IN" "$OUT" --ts htj2k; }
ours_jxl() { "$CLI" convert "$IN" "$OUT" --ts jpeg-xl; }
ours_raw() { "$CLI" convert "$IN" "$OUT" --ts explicit; }
dcmtk_rle() { dcmcrle "$IN" "$OUT"; }
dcmtk_unrle() { dcmdrle "$IN" "$OUT"; }
dcmtk_jls() { dcmcjpls "$IN" "$OUT"; }
dcmtk_unjls() { dcmdjpls "$IN" "$OUT"; }
gdcm_j2k() { gdcmconv --j2k "$IN" "$OUT"; }
gdcm_raw() { gdcmconv --raw "$IN" "$OUT"; }

row() {  # label, bytes, our seconds, their seconds, our ratio
  awk -v l="$1" -v b="$2" -v o="$3" -v d="$4" -v r="$5" 'BEGIN {
    printf "%-30s %9.1f MB/s %9.1f MB/s %7.2fx %8s\n", l, b / o / 1e6, b / d / 1e6, d / o, r }'
}


echo
printf '%-30s %14s %14s %8s %8s\n' "median of $ROUNDS rounds" "tessaly-cli" "DCMTK/gdcm" "ratio" "ours x:1"
summary=()
for d in set one2048; do
  bytes=$(pixel_bytes "$WORK/$d")
  raw=$(size_of "$WORK/$d")
  declare -A enc dec ratios
  for codec in rle jls j2k htj2k jxl; do
    case $codec in
      rle) theirs=dcmtk_rle; untheirs=dcmtk_unrle; label="RLE (dcmcrle/dcmdrle)" ;;
      jls) theirs=dcmtk_jls; untheirs=dcmtk_unjls; label="JPEG-LS (dcmcjpls/dcmdjpls)" ;;
      j2k) theirs=gdcm_j2k; untheirs=gdcm_raw; label="JPEG 2000 (gdcmconv)" ;;
      htj2k) theirs=gdcm_j2k; untheirs=gdcm_raw; label="HTJ2K vs gdcm's JPEG 2000" ;;
      jxl) theirs=gdcm_j2k; untheirs=gdcm_raw; label="JPEG XL vs gdcm's JPEG 2000" ;;
    esac
    encode_into "$WORK/$d" "$WORK/$d.ours.$codec" "ours_$codec"
    [[ -d "$WORK/$d.theirs.$theirs" ]] || encode_into "$WORK/$d" "$WORK/$d.theirs.$theirs" "$theirs"
    ratio=$(echo "$raw / $(size_of "$WORK/$d.ours.$codec")" | bc -l | xargs printf '%.2f')
    read -r o t <<<"$(time_turns "$WORK/$d" "ours_$codec" "$WORK/$d" "$theirs")"
    row "encode $d $label" "$bytes" "$o" "$t" "$ratio"
    enc[$codec]=$o
    # The classic codecs' decoders read the same files, the other tool's; HTJ2K and JPEG XL
    # are ours to read, beside gdcm reading its own JPEG 2000.
    from=$WORK/$d.theirs.$theirs
    [[ $codec == htj2k || $codec == jxl ]] && from=$WORK/$d.ours.$codec
    read -r o t <<<"$(time_turns "$from" ours_raw "$WORK/$d.theirs.$theirs" "$untheirs")"
    row "decode $d $label" "$bytes" "$o" "$t" ""
    dec[$codec]=$o
    ratios[$codec]=$ratio
  done
  for codec in htj2k jxl; do
    summary+=("$(awk -v l="$codec over our j2k, $d" -v e="${enc[j2k]}" -v E="${enc[$codec]}" \
      -v d="${dec[j2k]}" -v D="${dec[$codec]}" -v r="${ratios[j2k]}" -v R="${ratios[$codec]}" \
      'BEGIN { printf "%-30s encode %5.2fx  decode %5.2fx  ratio %s:1 vs %s:1", l, e / E, d / D, R, r }')")
  done
  unset enc dec ratios
done
echo
printf '%s\n' "${summary[@]}"
