# Timing helpers for the file-by-file benchmark scripts (sourced, not run). They use WORK (a
# scratch folder) and ROUNDS from the script.

# Runs "$@" once per file of folder $1 (the command sees IN and OUT) into a fresh folder and
# prints the seconds it took; any failure of the tool stops the benchmark with its errors.
run_once() {
  local folder=$1; shift
  local out=$WORK/out start end
  rm -rf "$out"; mkdir -p "$out"
  start=$(date +%s.%N)
  for f in "$folder"/*.dcm; do
    IN=$f OUT=$out/$(basename "$f") "$@" >/dev/null 2>"$WORK/errors" ||
      { echo "failed: $* on $f:" >&2; cat "$WORK/errors" >&2; return 1; }
  done
  end=$(date +%s.%N)
  echo "$end - $start" | bc -l
}

median() { sort -g | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }

# Runs ours ($2) and the peer's ($3) on folder $1 in alternating rounds, so that both see the
# same machine; prints the two medians.
time_pair() {
  local folder=$1 a=$2 b=$3 ta=() tb=() r
  for ((r = 0; r < ROUNDS; r++)); do
    ta+=("$(run_once "$folder" "$a")") || return 1
    tb+=("$(run_once "$folder" "$b")") || return 1
  done
  echo "$(printf '%s\n' "${ta[@]}" | median) $(printf '%s\n' "${tb[@]}" | median)"
}
