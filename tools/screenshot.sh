#!/usr/bin/env bash
# Takes the README's picture of the window: tessaly under Xvfb, in an empty working directory,
# captured with ImageMagick's import once the window is on the screen.
# Usage: tools/screenshot.sh [OUT.png]   (default: app/tessaly-window.png)
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
out=$(realpath -m "${1:-$repo/app/tessaly-window.png}")
app="$repo/build/default/app/tessaly"
[[ -x "$app" ]] || { echo "build the window first: cmake --build --preset default" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cat > "$work/capture.sh" <<SCRIPT
set -u
cd "$work"
"$app" >"$work/tessaly.log" 2>&1 &
pid=\$!
status=1
for _ in \$(seq 200); do
  if xwininfo -name "- TESSALY V1.9" 2>/dev/null | grep -q "Map State: IsViewable"; then
    sleep 1  # the first paint
    timeout 30 import -window "- TESSALY V1.9" "$out" && status=0
    break
  fi
  sleep 0.1
done
kill \$pid
wait \$pid 2>/dev/null
exit \$status
SCRIPT
QT_QPA_PLATFORM=xcb xvfb-run -a -s "-screen 0 1024x768x24" bash "$work/capture.sh"
echo "$out"
