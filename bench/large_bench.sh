#!/usr/bin/env bash
# Large objects: a 1 GB and a 3 GB CT-like multi-frame image (2000 and 6000 frames of 512 x 512
# 16-bit, bench/make_large.py) sent into DCMTK's storescp, received from DCMTK's storescu, dumped
# and converted to JPEG-LS, by tessaly-cli and by DCMTK's storescu, storescp, dcmdump (also with
# -M, large values not loaded) and dcmcjpls, one after the other in one run. Prints the wall time
# and the peak resident memory of each: GNU time for the clients, VmHWM of the provider's own
# process for the two providers (a fresh one of each per image; the receive time is storescu's).
# Needs about 3 times the larger image free under TMPDIR.
#   bench/large_bench.sh [FRAMES...]   (default: 2000 6000; uses the build in build/default)
set -euo pipefail
cd "$(dirname "$0")/.."
CLI=$PWD/build/default/cli/tessaly-cli
[[ -x $CLI ]] || { echo "no $CLI: cmake --preset default && cmake --build --preset default" >&2; exit 1; }
for tool in storescp storescu dcmdump dcmcjpls /usr/bin/time; do
  command -v "$tool" >/dev/null || { echo "$tool is not installed" >&2; exit 1; }
done
sizes=("$@")
[[ ${#sizes[@]} -gt 0 ]] || sizes=(2000 6000)
source bench/ports.sh

work=$(mktemp -d "${TMPDIR:-/tmp}/large_bench.XXXXXX")
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

# Starts a provider in the background (its pid in $provider) and waits for its port.
start_provider() {  # port, command...
  local port=$1
  shift
  TCP_NODELAY=1 "$@" >"$work/provider.$port.log" 2>&1 &
  provider=$!
  pids+=("$provider")
  wait_port "$port"
}
# The peak resident memory of a running process, in MB.
peak_mb() {
  awk '/^VmHWM:/ { printf "%.0f", $2 / 1024 }' "/proc/$1/status"
}
stop_provider() {
  kill "$1" 2>/dev/null || true
  wait "$1" 2>/dev/null || true
}

# Runs the command under GNU time; prints "seconds MB" (wall time, peak resident memory), or
# "failed -" with the tool's last lines on standard error: the other jobs still run.
measure() {
  if ! /usr/bin/time -f '%e %M' -o "$work/time" "$@" >"$work/last.log" 2>&1; then
    echo "failed: $*" >&2
    tail -3 "$work/last.log" >&2
    echo "failed -"
    return 0
  fi
  awk '{ printf "%.2f %.0f", $1, $2 / 1024 }' "$work/time"
}
row() {  # job, ours, theirs, their name
  printf '%-26s tessaly-cli %9s s %6s MB   %-12s %9s s %6s MB\n' "$1" $2 "$4" $3
}

for frames in "${sizes[@]}"; do
  image=$work/large.dcm
  /usr/bin/python3 bench/make_large.py "$image" --frames "$frames"
  mb=$(($(stat -c %s "$image") / 1000000))
  sync
  echo
  echo "$frames frames, $mb MB"
  cat "$image" >/dev/null  # in the page cache for both

  port=$(free_port)
  mkdir -p "$work/received"
  start_provider "$port" storescp --aetitle STORESCP -od "$work/received" -fe .dcm +B "$port"
  storescp_pid=$provider
  ours=$(measure "$CLI" store 127.0.0.1 "$port" "$image" --aec STORESCP)
  rm -f "$work"/received/*
  theirs=$(TCP_NODELAY=1 measure storescu -aec STORESCP 127.0.0.1 "$port" "$image")
  rm -f "$work"/received/*
  row "store into storescp" "$ours" "$theirs" storescu
  # storescp's peak is over both receptions of the same image.
  theirs="${theirs% *} $(peak_mb "$storescp_pid")"
  stop_provider "$storescp_pid"

  port=$(free_port)
  mkdir -p "$work/scp"
  # In a folder of its own: the provider indexes under ./Database.
  pushd "$work/scp" >/dev/null
  start_provider "$port" "$CLI" scp "$port" "$work/scp/images"
  popd >/dev/null
  scp_pid=$provider
  ours=$(TCP_NODELAY=1 measure storescu 127.0.0.1 "$port" "$image")
  ours="${ours% *} $(peak_mb "$scp_pid")"
  stop_provider "$scp_pid"
  rm -rf "$work/scp"
  row "receive from storescu" "$ours" "$theirs" storescp

  ours=$(measure "$CLI" dump "$image")
  row "dump" "$ours" "$(measure dcmdump "$image")" dcmdump
  row "dump" "$ours" "$(measure dcmdump -M "$image")" "dcmdump -M"

  ours=$(measure "$CLI" convert "$image" "$work/ours.dcm" --ts jpeg-ls)
  rm -f "$work/ours.dcm"
  theirs=$(measure dcmcjpls "$image" "$work/theirs.dcm")
  rm -f "$work/theirs.dcm"
  row "convert to JPEG-LS" "$ours" "$theirs" dcmcjpls
  rm -f "$image"
done
