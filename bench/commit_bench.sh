#!/usr/bin/env bash
# Storage commitment round trip against Orthanc, two requestors in one run: 200 generated
# 512 x 512 images stored in Orthanc, then the commitment of all of them and of one asked, ROUNDS
# times each, by
#   tessaly-cli   `tessaly-cli commit ... --receive PORT`;
#   dcmjs-dimse   bench/dcmjs_commit.js, one N-ACTION-RQ from dcmjs-dimse (npm, installed once
#                 into a cache folder) with a dcmjs-dimse listener for the report;
# Orthanc answers each on an association of its own to the requestor's listener, which it knows
# by the calling AE title (TESSALY, DCMJS). Prints per round and as medians the whole process's
# wall time (for dcmjs-dimse that includes starting node) and the time to commit each reports
# (request sent to report received); the two requestors take turns at going first, after an
# untimed commitment of the 200 (see below). storescu storing the same 200 images is timed for
# scale, once a round. Every run must have all it asked for committed and none failed, or the
# benchmark stops.
# usage: bench/commit_bench.sh [ROUNDS=5]   (builds and uses the optimised build in build/default)
set -euo pipefail
cd "$(dirname "$0")/.."
ROUNDS=${1:-5}
source bench/common.sh
bench_start commit-bench storescu /usr/sbin/Orthanc node npm

# dcmjs-dimse, shared with the interop tests' cache folder.
DCMJS=${TMPDIR:-/tmp}/tessaly-dcmjs-dimse
if [[ ! -f $DCMJS/node_modules/dcmjs-dimse/package.json ]]; then
  npm install --no-audit --no-fund --prefix "$DCMJS" dcmjs-dimse >"$WORK/npm.log" 2>&1 ||
    { cat "$WORK/npm.log" >&2; echo "npm cannot install dcmjs-dimse" >&2; exit 1; }
fi

bench/make_images.py "$WORK/set" --count 200 --size 512 >/dev/null
files=("$WORK/set"/*.dcm)
one=${files[0]}
# The SOP Class and Instance UIDs dcmjs_commit.js asks for, one instance a line.
/usr/bin/python3 - "${files[@]}" >"$WORK/all.txt" <<'PY'
import sys
import pydicom
for path in sys.argv[1:]:
    ds = pydicom.dcmread(path, stop_before_pixels=True)
    print(ds.SOPClassUID, ds.SOPInstanceUID)
PY
head -n 1 "$WORK/all.txt" >"$WORK/one.txt"
[[ $(wc -l <"$WORK/all.txt") -eq 200 ]] || { echo "the UIDs of the 200 images were not read" >&2; exit 1; }

orthanc_port=$(free_port)
http_port=$(free_port)
receive_port=$(free_port)
dcmjs_port=$(free_port)
mkdir -p "$WORK/orthanc"
cat >"$WORK/orthanc.json" <<JSON
{"Name": "COMMIT-BENCH", "DicomAet": "ORTHANC", "DicomPort": $orthanc_port, "HttpPort": $http_port,
 "StorageDirectory": "$WORK/orthanc", "IndexDirectory": "$WORK/orthanc", "RemoteAccessAllowed": false,
 "DicomAlwaysAllowStore": true,
 "DicomModalities": {"tessaly": ["TESSALY", "127.0.0.1", $receive_port],
                     "dcmjs": ["DCMJS", "127.0.0.1", $dcmjs_port]}}
JSON
/usr/sbin/Orthanc "$WORK/orthanc.json" >"$WORK/orthanc.log" 2>&1 &
PIDS+=($!)
wait_port "$orthanc_port"

# What the last run printed, but the instances committed, on the error output.
show_last() {
  grep -v '^committed: ' "$WORK/last.out" >&2 || true
  cat "$WORK/last.err" >&2
}
# Seconds one run of the command takes, whole process; a failure stops the benchmark.
timed() {
  local start end
  start=$(now)
  "$@" >"$WORK/last.out" 2>"$WORK/last.err" || { show_last; return 1; }
  end=$(now)
  awk -v s="$start" -v e="$end" 'BEGIN { printf "%.3f", e - s }'
}
declare -A names=([ours]=tessaly-cli [dcmjs]=dcmjs-dimse)
# The time to commit of the last run by kind $1, in seconds, once it is sure that all $2 asked
# for were committed and none failed.
reported() {
  local committed= failed= total= seconds= ms= ours dcmjs
  ours='^COMMIT OK: ([0-9]+) of ([0-9]+) committed in ([0-9.]+) s.*'
  dcmjs='^dcmjs-dimse: committed ([0-9]+) failed ([0-9]+) of ([0-9]+) in ([0-9.]+) ms$'
  case $1 in
    ours) read -r committed total seconds < <(sed -nE "s/$ours/\1 \2 \3/p" "$WORK/last.out") || true ;;
    dcmjs) read -r committed failed total ms < <(sed -nE "s/$dcmjs/\1 \2 \3 \4/p" "$WORK/last.out") || true
           [[ $failed == 0 ]] || committed=
           seconds=$(awk -v ms="${ms:-0}" 'BEGIN { printf "%.3f", ms / 1000 }') ;;
  esac
  [[ $committed == "$2" && $total == "$2" ]] || {
    echo "${names[$1]}: not all $2 instances were committed:" >&2
    show_last
    return 1
  }
  echo "$seconds"
}
# One commitment of the instances of $2 (the folder or file; all.txt or one.txt its UIDs) by
# kind $1; adds the whole time to times[$1_$3] and the time to commit to times[$1_$3_commit].
declare -A times
commit_with() {
  local kind=$1 what=$2 list=$3 count t c
  count=$(wc -l <"$WORK/$list.txt")
  case $kind in
    ours) t=$(timed "$CLI" commit 127.0.0.1 "$orthanc_port" "$what" --aet TESSALY --aec ORTHANC \
                --receive "$receive_port") ;;
    dcmjs) t=$(NODE_PATH=$DCMJS/node_modules timed node bench/dcmjs_commit.js 127.0.0.1 \
                 "$orthanc_port" ORTHANC "$WORK/$list.txt" "$dcmjs_port") ;;
  esac
  c=$(reported "$kind" "$count")
  times[${kind}_$list]+="$t "
  times[${kind}_${list}_commit]+="$c "
}
# The last of the times under key $2 ($1 = last) or their median ($1 = median).
pick() {
  if [[ $1 == last ]]; then
    awk '{ print $NF }' <<<"${times[$2]}"
  else
    tr ' ' '\n' <<<"${times[$2]}" | grep . | median
  fi
}
row() {  # the figures of kind $1, picked by $2
  printf '%s commit 200 %ss (to commit %ss), commit 1 %ss (to commit %ss)' "${names[$1]}" \
    "$(pick "$2" "$1_all")" "$(pick "$2" "$1_all_commit")" "$(pick "$2" "$1_one")" \
    "$(pick "$2" "$1_one_commit")"
}

for round in $(seq "$ROUNDS"); do
  t=$(TCP_NODELAY=1 timed storescu -aec ORTHANC 127.0.0.1 "$orthanc_port" --scan-directories "$WORK/set")
  times[store]+="$t "
  if ((round == 1)); then
    # Orthanc holds the 200 images, no more, no fewer.
    held=$(/usr/bin/python3 -c 'import json, sys, urllib.request
print(json.load(urllib.request.urlopen(sys.argv[1]))["CountInstances"])' \
      "http://127.0.0.1:$http_port/statistics")
    [[ $held -eq 200 ]] || { echo "Orthanc holds $held instances, not 200" >&2; exit 1; }
  fi
  # The first commitment after a store is slower on Orthanc's side, whoever asks for it (about
  # half a second more for 200): an untimed one takes that cost.
  timed "$CLI" commit 127.0.0.1 "$orthanc_port" "$WORK/set" --aet TESSALY --aec ORTHANC \
    --receive "$receive_port" >/dev/null
  reported ours 200 >/dev/null
  kinds=(ours dcmjs)
  ((round % 2 == 1)) || kinds=(dcmjs ours)
  for kind in "${kinds[@]}"; do commit_with "$kind" "$WORK/set" all; done
  for kind in "${kinds[@]}"; do commit_with "$kind" "$one" one; done
  printf 'round %d: storescu 200 %ss; %s; %s\n' "$round" "$(pick last store)" "$(row ours last)" \
    "$(row dcmjs last)"
done
printf 'median of %d: storescu 200 %ss; %s; %s\n' "$ROUNDS" "$(pick median store)" \
  "$(row ours median)" "$(row dcmjs median)"
