#!/usr/bin/env bash
# Verification speed: N associations of `tessaly-cli echo` and N of DCMTK's echoscu against one
# storescp, in alternating rounds; prints associations per second of each round and the medians.
# Each association is a whole process, as an operator runs it.
# usage: bench/echo_bench.sh [N=200] [ROUNDS=5]   (uses the optimised build in build/default)
set -euo pipefail
cd "$(dirname "$0")/.."
N=${1:-200}
ROUNDS=${2:-5}
CLI=build/default/cli/tessaly-cli
[[ -x $CLI ]] || { echo "no $CLI: cmake --preset default && cmake --build --preset default" >&2; exit 1; }
for tool in storescp echoscu; do
  command -v "$tool" >/dev/null || { echo "$tool (DCMTK) is not installed" >&2; exit 1; }
done

source bench/ports.sh
port=$(free_port)
work=$(mktemp -d)
TCP_NODELAY=1 storescp --aetitle STORESCP -od "$work" "$port" >"$work/storescp.log" 2>&1 &
scp=$!
# storescp ends by the signal, which wait reports as a failure: the clean-up goes on regardless
# and the script keeps its own exit status.
cleanup() {
  kill "$scp" 2>/dev/null || true
  wait "$scp" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
wait_port "$port"

now() { date +%s.%N; }
# Runs the command N times; prints associations per second, or fails on the first error.
rate() {
  local start end
  start=$(now)
  for _ in $(seq "$N"); do
    "$@" >/dev/null 2>&1 || { echo "failed: $*" >&2; return 1; }
  done
  end=$(now)
  awk -v n="$N" -v s="$start" -v e="$end" 'BEGIN { printf "%.1f", n / (e - s) }'
}
median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

ours=()
theirs=()
echo "N=$N associations per round, $ROUNDS rounds, storescp on port $port"
for round in $(seq "$ROUNDS"); do
  ours+=("$(rate "$CLI" echo 127.0.0.1 "$port" --aec STORESCP)")
  theirs+=("$(TCP_NODELAY=1 rate echoscu -aec STORESCP 127.0.0.1 "$port")")
  printf 'round %d: tessaly-cli echo %8s/s   echoscu %8s/s\n' "$round" "${ours[-1]}" "${theirs[-1]}"
done
m_ours=$(printf '%s\n' "${ours[@]}" | median)
m_theirs=$(printf '%s\n' "${theirs[@]}" | median)
printf 'median:  tessaly-cli echo %8.1f/s   echoscu %8.1f/s   ratio %.2f\n' \
  "$m_ours" "$m_theirs" "$(awk -v a="$m_ours" -v b="$m_theirs" 'BEGIN { print a / b }')"
