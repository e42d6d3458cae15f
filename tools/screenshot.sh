#!/usr/bin/env bash
# Takes the README's pictures of the window under Xvfb, each captured with ImageMagick's import
# once the job's lines are in the memo: a study query of dcmqrscp (DCMTK) filled with pydicom's
# two sample studies (tessaly-window.png), an echo to a port where nothing listens, with the
# reason under its failure line (tessaly-echo-failed.png), and the probe report of that
# dcmqrscp (tessaly-probe.png), the Setup dialog's Connection page filled in for TLS
# (tessaly-connection.png), and the Receive panel's provider after storescu has sent it three
# of pydicom's files (tessaly-receive.png). The window is the one of the window's tests
# (app_tests --screenshot), which presses the buttons as an operator would.
# Usage: tools/screenshot.sh [FOLDER]   (default: app/, where the README finds them)
# Fails when the README does not show one of them; exit code 77 when a tool it needs is missing.
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
out=$(realpath -m "${1:-$repo/app}")
app=${APP_TESTS:-$repo/build/default/tests/app/app_tests}
[[ -x "$app" ]] || { echo "build the window's tests first: cmake --build --preset default" >&2; exit 1; }
samples=/usr/lib/python3/dist-packages/pydicom/data/test_files
for tool in xvfb-run import identify dcmqrscp storescu echoscu; do
  command -v "$tool" >/dev/null || { echo "screenshot.sh: $tool is missing" >&2; exit 77; }
done
[[ -f "$samples/CT_small.dcm" ]] || { echo "screenshot.sh: pydicom's files are missing" >&2; exit 77; }

work=$(mktemp -d)
archive=
cleanup() {
  if [[ -n "$archive" ]]; then kill "$archive" 2>/dev/null; wait "$archive" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT
free_port() {
  /usr/bin/python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}
port=$(free_port)
mkdir -p "$work/db" "$work/window" "$out"
cat > "$work/dcmqrscp.cfg" <<CONFIG
NetworkTCPPort = $port
MaxPDUSize = 16384
MaxAssociations = 16
HostTable BEGIN
HostTable END
VendorTable BEGIN
VendorTable END
AETable BEGIN
ARCHIVE $work/db RW (100, 1024mb) ANY
AETable END
CONFIG
TCP_NODELAY=1 dcmqrscp -c "$work/dcmqrscp.cfg" >"$work/dcmqrscp.log" 2>&1 &
archive=$!
for _ in $(seq 100); do
  TCP_NODELAY=1 echoscu -aec ARCHIVE 127.0.0.1 "$port" 2>/dev/null && break
  sleep 0.1
done
TCP_NODELAY=1 storescu -aec ARCHIVE 127.0.0.1 "$port" "$samples/CT_small.dcm" "$samples/MR_small.dcm"

# shot NAME PORT ACTION [PATIENT]: one run of the window, one picture.
shot() {
  local picture="$out/$1"
  rm -f "$picture"
  (cd "$work/window" && QT_QPA_PLATFORM=xcb timeout 120 xvfb-run -a -s "-screen 0 1280x800x24" \
    "$app" --screenshot "$picture" "$2" ARCHIVE "${@:3}" >"$work/window.log" 2>&1) ||
    { cat "$work/window.log" >&2; exit 1; }
  identify "$picture" >/dev/null 2>&1 || { echo "no picture was taken: $picture" >&2; exit 1; }
  grep -q "(app/$1)" "$repo/README.md" || { echo "README.md does not show app/$1" >&2; exit 1; }
  echo "$picture"
}
shot tessaly-window.png "$port" query 'CompressedSamples*'
shot tessaly-echo-failed.png "$(free_port)" echo
shot tessaly-probe.png "$port" probe
shot tessaly-connection.png "$port" connection
shot tessaly-receive.png "$(free_port)" receive "$samples/CT_small.dcm" "$samples/MR_small.dcm" \
  "$samples/SC_rgb_small_odd.dcm"
