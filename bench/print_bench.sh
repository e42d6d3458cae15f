#!/usr/bin/env bash
# Print speed: one 2048 x 2048 16-bit CT-like image (bench/make_images.py) printed on DCMTK's
# dcmprscp, whole process, by `tessaly-cli print` and by DCMTK's own print client (dcmpsprt
# renders the print job, dcmprscu sends it), in alternating rounds; then image preparation alone,
# whole process: `tessaly-cli print --preview` (read, render to 8-bit gray, write a bitmap)
# beside dcm2pnm (read, render with a min-max window, write an 8-bit bitmap), in MB/s of pixel
# data. Both printers are told 8-bit images only. Prints each round and the medians.
# usage: bench/print_bench.sh [ROUNDS=5]   (uses the optimised build in build/default)
set -euo pipefail
cd "$(dirname "$0")/.."
ROUNDS=${1:-5}
CLI=$PWD/build/default/cli/tessaly-cli
[[ -x $CLI ]] || { echo "no $CLI: cmake --preset default && cmake --build --preset default" >&2; exit 1; }
for tool in dcmprscp dcmpsprt dcmprscu dcm2pnm; do
  command -v "$tool" >/dev/null || { echo "$tool (DCMTK) is not installed" >&2; exit 1; }
done
/usr/bin/python3 -c 'import pydicom, numpy' 2>/dev/null || { echo "needs python3-pydicom and python3-numpy" >&2; exit 1; }

source bench/ports.sh

work=$(mktemp -d)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill -9 "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

/usr/bin/python3 bench/make_images.py "$work/images" --count 1 --size 2048
image=$work/images/ct0000.dcm
pixel_mb=$(awk 'BEGIN { print 2048 * 2048 * 2 / 1e6 }')

port=$(free_port)
# One configuration for the server (its own folders) and one for DCMTK's client.
write_config() {  # FOLDER
  mkdir -p "$1/database" "$1/spool"
  cat >"$1/printer.cfg" <<EOF
[[GENERAL]]
[PRINT]
Directory = spool
[DATABASE]
Directory = database
[[COMMUNICATION]]
[PRINTER]
Aetitle = PRINTER
Hostname = localhost
Port = $port
Type = LOCALPRINTER
DisplayFormat = 1,1
FilmDestination = MAGAZINE\\PROCESSOR\\BIN_1\\BIN_2\\BIN_3
FilmSizeID = 14INX17IN\\14INX14IN\\10INX12IN\\8INX10IN
MagnificationType = REPLICATE\\BILINEAR\\CUBIC\\NONE
MediumType = PAPER\\CLEAR FILM\\BLUE FILM
MinDensity = 20
MaxDensity = 320
MaxPDU = 16384
Supports12Bit = false
EOF
}
write_config "$work/server"
write_config "$work/client"
(cd "$work/server" && exec dcmprscp -c printer.cfg >"$work/dcmprscp.log" 2>&1) &
pids+=($!)
wait_port "$port"

now() { date +%s.%N; }
seconds() {  # runs the command once; prints its wall time in seconds
  local start end
  start=$(now)
  "$@" >"$work/last.log" 2>&1 || { echo "failed: $*" >&2; cat "$work/last.log" >&2; return 1; }
  end=$(now)
  awk -v s="$start" -v e="$end" 'BEGIN { printf "%.3f", e - s }'
}
dcmtk_print() {
  rm -f "$work"/client/database/*
  (cd "$work/client" && dcmpsprt -c printer.cfg -p PRINTER "$image" &&
    dcmprscu -c printer.cfg -p PRINTER database/SP_*.dcm)
}
median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

echo "Printing one 2048 x 2048 16-bit image on dcmprscp (port $port), $ROUNDS rounds"
: >"$work/ours"; : >"$work/theirs"; : >"$work/ours-prep"; : >"$work/theirs-prep"
for round in $(seq "$ROUNDS"); do
  ours=$(seconds "$CLI" print 127.0.0.1 "$port" "$image" --aec PRINTER)
  theirs=$(seconds dcmtk_print)
  ours_prep=$(seconds "$CLI" print 127.0.0.1 "$port" "$image" --preview "$work/preview.bmp")
  theirs_prep=$(seconds dcm2pnm +Wm +obp "$image" "$work/dcm2pnm.bmp")
  echo "$ours" >>"$work/ours"; echo "$theirs" >>"$work/theirs"
  echo "$ours_prep" >>"$work/ours-prep"; echo "$theirs_prep" >>"$work/theirs-prep"
  printf 'round %d: print: tessaly-cli %ss, dcmpsprt+dcmprscu %ss; preparation: tessaly-cli --preview %ss, dcm2pnm %ss\n' \
    "$round" "$ours" "$theirs" "$ours_prep" "$theirs_prep"
done
a=$(median <"$work/ours"); b=$(median <"$work/theirs")
c=$(median <"$work/ours-prep"); d=$(median <"$work/theirs-prep")
printf 'median print (prepare + print, whole process): tessaly-cli print %.3f s   dcmpsprt + dcmprscu %.3f s\n' "$a" "$b"
printf 'median preparation (whole process): tessaly-cli --preview %.3f s = %.0f MB/s   dcm2pnm %.3f s = %.0f MB/s\n' \
  "$c" "$(awk -v m="$pixel_mb" -v s="$c" 'BEGIN { print m / s }')" \
  "$d" "$(awk -v m="$pixel_mb" -v s="$d" 'BEGIN { print m / s }')"
[[ -x build/default/bench/PrintImageBench ]] && build/default/bench/PrintImageBench --benchmark_min_time=1 2>/dev/null | tail -1
