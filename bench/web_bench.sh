#!/usr/bin/env bash
# DICOMweb beside DIMSE: N CT-like 512x512 16-bit images (bench/make_images.py, one series) into
# and out of one Orthanc with its DICOMweb plugin, in alternating rounds. Into it:
# `tessaly-cli stow` (requests of 100 instances), `tessaly-cli store` (C-STORE, one association)
# and DCMTK's storescu. Out of it: `tessaly-cli wado` of the study (every file written whole and
# flushed, as the storage provider writes) and a C-MOVE of the study into `tessaly-cli scp`
# (which flushes as well). Orthanc's and our folders are on /dev/shm when there is one, so that
# the disk does not set the pace. Prints images/s and MB/s of each round and the medians.
# usage: bench/web_bench.sh [N=200] [ROUNDS=3]   (uses the optimised build in build/default)
set -euo pipefail
cd "$(dirname "$0")/.."
N=${1:-200}
ROUNDS=${2:-3}
CLI=$PWD/build/default/cli/tessaly-cli
PLUGIN=/usr/share/orthanc/plugins/libOrthancDicomWeb.so
[[ -x $CLI ]] || { echo "no $CLI: cmake --preset default && cmake --build --preset default" >&2; exit 1; }
for tool in storescu /usr/sbin/Orthanc curl; do
  command -v "$tool" >/dev/null || { echo "$tool is not installed" >&2; exit 1; }
done
[[ -f $PLUGIN ]] || { echo "Orthanc's DICOMweb plugin (orthanc-dicomweb) is not installed" >&2; exit 1; }
/usr/bin/python3 -c 'import pydicom, numpy' 2>/dev/null || { echo "needs python3-pydicom and python3-numpy" >&2; exit 1; }

source bench/ports.sh
work=$(mktemp -d)
fast=$(mktemp -d "$([[ -d /dev/shm && -w /dev/shm ]] && echo /dev/shm || echo "${TMPDIR:-/tmp}")/web_bench.XXXXXX")
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true; done
  rm -rf "$work" "$fast"
}
trap cleanup EXIT

/usr/bin/python3 bench/make_images.py "$work/images" --count "$N" --size 512
bytes=$(du -cb "$work"/images/*.dcm | tail -1 | cut -f1)
study=$(/usr/bin/python3 -c "import pydicom, glob; print(pydicom.dcmread(sorted(glob.glob('$work/images/*.dcm'))[0]).StudyInstanceUID)")

dicom=$(free_port)
http=$(free_port)
scp=$(free_port)
mkdir -p "$fast/orthanc"
cat >"$work/orthanc.json" <<JSON
{"Name": "WEB-BENCH", "DicomAet": "ORTHANC", "DicomPort": $dicom, "HttpPort": $http,
 "StorageDirectory": "$fast/orthanc", "IndexDirectory": "$fast/orthanc", "RemoteAccessAllowed": false,
 "DicomAlwaysAllowStore": true, "DicomAlwaysAllowMove": true,
 "DicomModalities": {"tessaly": ["TESSALY", "127.0.0.1", $scp]},
 "Plugins": ["$PLUGIN"], "DicomWeb": {"Enable": true, "Root": "/dicom-web/"}}
JSON
/usr/sbin/Orthanc "$work/orthanc.json" >"$work/orthanc.log" 2>&1 &
pids+=($!)
(cd "$fast" && exec "$CLI" scp "$scp" "$fast/moved") >"$work/scp.log" 2>&1 &
pids+=($!)
wait_port "$dicom"
wait_port "$http"
wait_port "$scp"
url=http://127.0.0.1:$http/dicom-web

now() { date +%s.%N; }
# Runs the command once; prints "images/s MB/s", or fails when it fails.
rate() {
  local start end
  start=$(now)
  "$@" >"$work/last.log" 2>&1 || { echo "failed: $*" >&2; tail -5 "$work/last.log" >&2; return 1; }
  end=$(now)
  awk -v n="$N" -v b="$bytes" -v s="$start" -v e="$end" \
    'BEGIN { printf "%.1f %.1f", n / (e - s), b / 1e6 / (e - s) }'
}
median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
# Empties Orthanc through its own REST interface.
empty_orthanc() {
  for id in $(curl -s "http://127.0.0.1:$http/studies" | tr -d '[]",'); do
    curl -s -X DELETE "http://127.0.0.1:$http/studies/$id" >/dev/null
  done
}

names=(tessaly-cli-stow tessaly-cli-store storescu tessaly-cli-wado tessaly-cli-move)
for name in "${names[@]}"; do : >"$work/$name"; done
echo "$N images, $((bytes / 1000000)) MB, $ROUNDS rounds, Orthanc $(/usr/sbin/Orthanc --version | head -1 | awk '{print $2}') on ports $dicom (DICOM) and $http (HTTP)"
for round in $(seq "$ROUNDS"); do
  empty_orthanc
  rate "$CLI" stow "$url" "$work/images" >>"$work/tessaly-cli-stow"; echo >>"$work/tessaly-cli-stow"
  empty_orthanc
  rate "$CLI" store 127.0.0.1 "$dicom" "$work/images" --aec ORTHANC >>"$work/tessaly-cli-store"; echo >>"$work/tessaly-cli-store"
  empty_orthanc
  TCP_NODELAY=1 rate storescu -aec ORTHANC 127.0.0.1 "$dicom" "$work"/images/*.dcm >>"$work/storescu"; echo >>"$work/storescu"
  rm -rf "$fast/wado" "$fast/Database"
  (cd "$fast" && rate "$CLI" wado "$url" "$fast/wado" --study "$study") >>"$work/tessaly-cli-wado"; echo >>"$work/tessaly-cli-wado"
  [[ $(find "$fast/wado" -name '*.dcm' | wc -l) -eq $N ]] || { echo "wado did not write $N files" >&2; exit 1; }
  rm -rf "$fast/moved"
  rate "$CLI" move 127.0.0.1 "$dicom" --aec ORTHANC --dest TESSALY --key StudyInstanceUID="$study" >>"$work/tessaly-cli-move"; echo >>"$work/tessaly-cli-move"
  [[ $(find "$fast/moved" -name '*.dcm' | wc -l) -eq $N ]] || { echo "the move did not bring $N files" >&2; exit 1; }
  printf 'round %d:' "$round"
  for name in "${names[@]}"; do printf '  %s %s' "$name" "$(tail -1 "$work/$name")"; done
  printf '   (images/s MB/s)\n'
done
echo "medians:"
for name in "${names[@]}"; do
  printf '  %-20s %7.1f images/s %7.1f MB/s\n' "$name" \
    "$(cut -d' ' -f1 "$work/$name" | median)" "$(cut -d' ' -f2 "$work/$name" | median)"
done
