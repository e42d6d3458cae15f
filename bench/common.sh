# What the benchmark scripts share (sourced, not run, from the source tree's root): the port
# helpers, the cli built, a work folder removed at the end with the peers started into PIDS,
# a clock and a median.
source bench/ports.sh

# bench_start NAME TOOL...: fails unless every TOOL is installed, builds tessaly-cli (CLI) and
# makes WORK, which the exit removes after stopping every process listed in PIDS.
bench_start() {
  local name=$1 tool
  shift
  for tool in "$@"; do
    command -v "$tool" >/dev/null || { echo "$tool is not installed" >&2; exit 1; }
  done
  cmake --preset default >/dev/null &&
    nice -n 10 cmake --build --preset default -j1 --target tessaly-cli >/dev/null
  CLI=$PWD/build/default/cli/tessaly-cli
  WORK=$(mktemp -d "/tmp/tessaly-$name.XXXXXX")
  PIDS=()
  trap bench_cleanup EXIT
}

bench_cleanup() {
  for pid in "${PIDS[@]}"; do kill "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true; done
  rm -rf "$WORK"
}

now() { date +%s.%N; }
median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
