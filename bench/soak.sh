#!/usr/bin/env bash
# Soak: our provider (`tessaly-cli scp --max-associations 12`) for MINUTES under three
# `tessaly-cli load --op store --new-uids` senders (two associations each) and one `load --op
# echo`, all paced, while bench/soak_hostile.py opens silent connections, sends truncated and
# oversized PDUs, aborts stores in the middle of their data set and floods association requests
# far beyond the 12 (honest senders then wait in the listen backlog, and a connection the
# kernel drops while it is full is counted by their report, not held against the soak). At the
# end: every instance a sender had acknowledged is on disk whole (pydicom reads it to its end)
# and indexed once, nothing else was stored, the provider's memory (RSS) and open descriptors
# did not grow after the first minute (samples every 10 s), and it still answers an echo within
# 2 s. Prints the figures; exits 1 when a check fails.
# usage: bench/soak.sh [MINUTES=30]   (uses the optimised build in build/default, or the
# tessaly-cli named by TESSALY_CLI)
set -euo pipefail
cd "$(dirname "$0")/.."
MINUTES=${1:-30}
SECONDS_TOTAL=$(awk -v m="$MINUTES" 'BEGIN { printf "%d", m * 60 }')
CLI=${TESSALY_CLI:-$PWD/build/default/cli/tessaly-cli}
[[ -x $CLI ]] || { echo "no $CLI: cmake --preset default && cmake --build --preset default" >&2; exit 1; }
/usr/bin/python3 -c 'import pydicom, numpy' 2>/dev/null || { echo "needs python3-pydicom and python3-numpy" >&2; exit 1; }

source bench/ports.sh

work=$(mktemp -d)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

/usr/bin/python3 bench/make_images.py "$work/images" --count 20 --size 64 >/dev/null
port=$(free_port)
mkdir -p "$work/scp"
(cd "$work/scp" && exec "$CLI" scp "$port" in --max-associations 12 --acse-timeout 5 \
  --idle-timeout 20 >"$work/scp.log" 2>&1) &
scp=$!
pids+=($scp)
wait_port "$port"

# RSS (kB) and open descriptors of the provider, every 10 s: "seconds rss fds".
(
  start=$(date +%s)
  while kill -0 "$scp" 2>/dev/null; do
    rss=$(awk '/^VmRSS/ { print $2 }' "/proc/$scp/status" 2>/dev/null || echo 0)
    fds=$(ls "/proc/$scp/fd" 2>/dev/null | wc -l)
    echo "$(($(date +%s) - start)) $rss $fds"
    sleep 10
  done
) >"$work/samples" &
pids+=($!)

echo "Soak: $MINUTES min against tessaly-cli scp on port $port (the machine may be shared)"
senders=()
for i in 1 2 3; do
  "$CLI" load 127.0.0.1 "$port" --op store "$work/images" --associations 2 --per-association 50 \
    --rate 15 --duration "$SECONDS_TOTAL" --new-uids --json >"$work/store$i.json" 2>/dev/null &
  senders+=($!)
done
"$CLI" load 127.0.0.1 "$port" --op echo --associations 1 --per-association 20 --rate 10 \
  --duration "$SECONDS_TOTAL" --json >"$work/echo.json" 2>/dev/null &
senders+=($!)
/usr/bin/python3 bench/soak_hostile.py 127.0.0.1 "$port" "$SECONDS_TOTAL" >"$work/hostile.out" \
  2>"$work/hostile.err" &
hostile=$!
failed=0
for pid in "${senders[@]}"; do wait "$pid" || failed=1; done
wait "$hostile" || true
sleep 1

ok=1
check() { if [[ $1 -eq 0 ]]; then echo "  fail: $2"; ok=0; else echo "  ok:   $2"; fi; }

acknowledged=0
for i in 1 2 3; do
  acknowledged=$((acknowledged + $(/usr/bin/python3 -c 'import json,sys; print(json.load(open(sys.argv[1]))["operations"]["done"])' "$work/store$i.json")))
done
summary() { /usr/bin/python3 -c 'import json,sys
r = json.load(open(sys.argv[1]))
print("%d done, %d failed, %.1f/s, p50 %.2f ms, p99 %.2f ms%s" % (r["operations"]["done"], r["operations"]["failed"], r["operations"]["perSecond"], r["latencyMs"]["operation"].get("p50", 0), r["latencyMs"]["operation"].get("p99", 0), "".join("; %d x %s" % (f["count"], f["kind"]) for f in r["failures"])))' "$1"; }
for i in 1 2 3; do echo "sender $i: $(summary "$work/store$i.json")"; done
echo "echo:     $(summary "$work/echo.json")"
echo "hostile:  $(cat "$work/hostile.out")"
[[ -s $work/hostile.err ]] && sed 's/^/  /' "$work/hostile.err" | head -5

stored=$(find "$work/scp/in" -type f -name '*.dcm' | wc -l)
others=$(find "$work/scp/in" -type f ! -name '*.dcm' | wc -l)
whole=$(/usr/bin/python3 - "$work/scp/in" <<'EOF'
import pathlib, sys, pydicom
n = 0
for path in pathlib.Path(sys.argv[1]).rglob("*.dcm"):
    try:
        ds = pydicom.dcmread(path)
        if len(ds.PixelData) == ds.Rows * ds.Columns * 2:
            n += 1
    except Exception as e:
        print("unreadable %s: %s" % (path, e), file=sys.stderr)
print(n)
EOF
)
indexed=$(find "$work/scp/Database" -name Image.dir -exec cat {} + | cut -d, -f3 | sort | uniq | wc -l)
lines=$(find "$work/scp/Database" -name Image.dir -exec cat {} + | wc -l)
echo "instances: $acknowledged acknowledged, $stored on disk, $whole whole, $indexed indexed in $lines lines"
[[ $failed -eq 0 ]] || echo "  note: a sender saw failures (above): the flood fills the provider's backlog"
check "$((acknowledged == stored && others == 0))" "on disk exactly what was acknowledged, no stray files"
check "$((whole == stored))" "every file whole"
check "$((indexed == stored && lines == stored))" "every instance indexed once"

first=$(awk '$1 >= 60 { print; exit }' "$work/samples")
[[ -n $first ]] || first=$(awk 'NR == int((NR + 1) / 2) { print }' "$work/samples" | head -1)
[[ -n $first ]] || first=$(head -1 "$work/samples")
last=$(tail -1 "$work/samples")
read -r t0 rss0 fds0 <<<"$first"
read -r t1 rss1 fds1 <<<"$last"
echo "provider: RSS ${rss0} kB at ${t0} s, ${rss1} kB at ${t1} s; descriptors ${fds0} then ${fds1}"
# Allocator noise aside (5 MB or 10 %), nothing may keep growing.
check "$((rss1 <= rss0 + (rss0 / 10 > 5120 ? rss0 / 10 : 5120)))" "memory did not grow after the first minute"
check "$((fds1 <= fds0))" "descriptors did not grow after the first minute"
if "$CLI" echo 127.0.0.1 "$port" --connect-timeout 2 --acse-timeout 2 --dimse-timeout 2 >/dev/null 2>&1; then
  check 1 "an echo is still answered within 2 s"
else
  check 0 "an echo is still answered within 2 s"
fi
[[ $ok -eq 1 ]] && echo "soak: clean" || { echo "soak: FAILED"; exit 1; }
