#!/usr/bin/env bash
# Takes the README's picture of the window: a study query of dcmqrscp (DCMTK), filled with
# pydicom's two sample studies, shown in the window under Xvfb and captured with ImageMagick's
# import once the result is in the memo. The window is the one of the window's tests
# (app_tests --screenshot), which presses Query PACS as an operator would.
# Usage: tools/screenshot.sh [OUT.png]   (default: app/tessaly-window.png)
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
out=$(realpath -m "${1:-$repo/app/tessaly-window.png}")
app="$repo/build/default/tests/app/app_tests"
[[ -x "$app" ]] || { echo "build the window's tests first: cmake --build --preset default" >&2; exit 1; }
samples=/usr/lib/python3/dist-packages/pydicom/data/test_files

work=$(mktemp -d)
archive=
cleanup() {
  [[ -n "$archive" ]] && kill "$archive" 2>/dev/null && wait "$archive" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
port=$(/usr/bin/python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
mkdir -p "$work/db" "$work/window"
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
(cd "$work/window" && QT_QPA_PLATFORM=xcb timeout 120 xvfb-run -a -s "-screen 0 1024x768x24" \
  "$app" --screenshot "$out" "$port" ARCHIVE 'CompressedSamples*' >"$work/window.log" 2>&1) ||
  { cat "$work/window.log" >&2; exit 1; }
[[ -s "$out" ]] || { echo "no picture was taken" >&2; exit 1; }
echo "$out"
