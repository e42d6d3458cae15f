#!/usr/bin/env bash
# What TLS costs: echo rate and store speed over TLS beside the same over plain TCP, ours beside
# DCMTK's in one run. Requestors: `tessaly-cli echo` and echoscu (N_ECHO associations, each a
# process) and `tessaly-cli store` and storescu (N generated 512x512 CT images on one
# association) into storescp and storescp +tls. Provider: storescu and storescu +tls into
# `tessaly-cli scp` and `scp --tls`. Both ends show certificates made here with openssl (an RSA
# 2048 CA, server and client) and check each other's. Received files go to /dev/shm when there is
# one, so that the disk does not set the pace. Prints every round, the medians, each TLS cost
# (1 - TLS / plain) and our ratios to DCMTK.
# usage: bench/tls_bench.sh [N=200] [ROUNDS=3] [N_ECHO=100]   (the optimised build in build/default)
set -euo pipefail
cd "$(dirname "$0")/.."
N=${1:-200}
ROUNDS=${2:-3}
N_ECHO=${3:-100}
CLI=$PWD/build/default/cli/tessaly-cli
[[ -x $CLI ]] || { echo "no $CLI: cmake --preset default && cmake --build --preset default" >&2; exit 1; }
for tool in storescp storescu echoscu openssl; do
  command -v "$tool" >/dev/null || { echo "$tool is not installed" >&2; exit 1; }
done
/usr/bin/python3 -c 'import pydicom, numpy' 2>/dev/null || { echo "needs python3-pydicom and python3-numpy" >&2; exit 1; }

source bench/ports.sh

work=$(mktemp -d)
received=$(mktemp -d "$([[ -d /dev/shm && -w /dev/shm ]] && echo /dev/shm || echo "${TMPDIR:-/tmp}")/tls_bench.XXXXXX")
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true; done
  rm -rf "$work" "$received"
}
trap cleanup EXIT

c=$work/certs
mkdir -p "$c"
openssl req -x509 -newkey rsa:2048 -nodes -keyout "$c/ca.key" -out "$c/ca.pem" -days 2 \
  -subj /CN=bench-ca 2>/dev/null
for n in server client; do
  openssl req -newkey rsa:2048 -nodes -keyout "$c/$n.key" -out "$c/$n.csr" -subj "/CN=$n" 2>/dev/null
  openssl x509 -req -in "$c/$n.csr" -CA "$c/ca.pem" -CAkey "$c/ca.key" -CAcreateserial -days 2 \
    -out "$c/$n.pem" 2>/dev/null
done
ours_tls=(--tls --tls-cert "$c/client.pem" --tls-key "$c/client.key" --tls-ca "$c/ca.pem")
dcmtk_tls=(+tls "$c/client.key" "$c/client.pem" +cf "$c/ca.pem")

/usr/bin/python3 bench/make_images.py "$work/images" --count "$N" --size 512
bytes=$(du -cb "$work"/images/*.dcm | tail -1 | cut -f1)

# Providers, each in a folder of its own: storescp plain and TLS, ours plain and TLS.
start_provider() {  # NAME, then the command; prints the port
  local name=$1 port; shift
  port=$(free_port)
  mkdir -p "$received/$name"
  (cd "$received/$name" && TCP_NODELAY=1 exec "$@" "$port" >"$work/$name.log" 2>&1) &
  pids+=($!)
  wait_port "$port" >/dev/null
  echo "$port"
}
p_storescp=$(start_provider storescp storescp --aetitle STORESCP -od . -fe .dcm)
p_storescp_tls=$(start_provider storescp-tls storescp --aetitle STORESCP -od . -fe .dcm \
  +tls "$c/server.key" "$c/server.pem" +cf "$c/ca.pem" -rc)
scp_at() {  # NAME [TLS options]: ours, with the port last as the command wants it first
  local name=$1 port; shift
  port=$(free_port)
  mkdir -p "$received/$name"
  (cd "$received/$name" && exec "$CLI" scp "$port" images "$@" >"$work/$name.log" 2>&1) &
  pids+=($!)
  wait_port "$port" >/dev/null
  echo "$port"
}
p_ours=$(scp_at ours)
p_ours_tls=$(scp_at ours-tls --tls --tls-cert "$c/server.pem" --tls-key "$c/server.key" \
  --tls-ca "$c/ca.pem")

now() { date +%s.%N; }
# Runs the command N_ECHO times; prints associations per second.
echo_rate() {
  local start end
  start=$(now)
  for _ in $(seq "$N_ECHO"); do
    "$@" >"$work/last.log" 2>&1 || { echo "failed: $*" >&2; cat "$work/last.log" >&2; return 1; }
  done
  end=$(now)
  awk -v n="$N_ECHO" -v s="$start" -v e="$end" 'BEGIN { printf "%.1f", n / (e - s) }'
}
# Sends the images once with the command; prints MB/s.
store_rate() {
  local start end
  start=$(now)
  "$@" >"$work/last.log" 2>&1 || { echo "failed: $*" >&2; cat "$work/last.log" >&2; return 1; }
  end=$(now)
  awk -v b="$bytes" -v s="$start" -v e="$end" 'BEGIN { printf "%.1f", b / 1e6 / (e - s) }'
}
# Empties a provider's folder before a store, and checks afterwards that it holds N files.
fresh() { rm -rf "${received:?}/$1"/*; }
holds() {
  local count
  count=$(find "$received/$1" -name '*.dcm' -type f | wc -l)
  [[ $count -eq $N ]] || { echo "$1 holds $count of $N images" >&2; return 1; }
}
median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

declare -A runs
measure() {  # KEY, then echo|store PROVIDER, then the command
  local key=$1 kind=$2 provider=$3 value; shift 3
  if [[ $kind == echo ]]; then
    value=$(echo_rate "$@")
  else
    fresh "$provider"
    value=$(store_rate "$@")
    holds "$provider"
  fi
  runs[$key]+="$value "
  printf ' %s %s' "$key" "$value"
}

echo "$N_ECHO echoes and $N images ($((bytes / 1000000)) MB) per round, $ROUNDS rounds"
for r in $(seq "$ROUNDS"); do
  printf 'round %d (echo/s, MB/s):' "$r"
  measure echo-ours echo - "$CLI" echo 127.0.0.1 "$p_storescp" --aec STORESCP
  measure echo-echoscu echo - echoscu -aec STORESCP 127.0.0.1 "$p_storescp"
  measure echo-ours-tls echo - "$CLI" echo 127.0.0.1 "$p_storescp_tls" --aec STORESCP "${ours_tls[@]}"
  measure echo-echoscu-tls echo - echoscu -aec STORESCP "${dcmtk_tls[@]}" 127.0.0.1 "$p_storescp_tls"
  measure store-ours store storescp "$CLI" store 127.0.0.1 "$p_storescp" "$work/images" --aec STORESCP
  measure store-storescu store storescp storescu -aec STORESCP 127.0.0.1 "$p_storescp" "$work"/images/*.dcm
  measure store-ours-tls store storescp-tls "$CLI" store 127.0.0.1 "$p_storescp_tls" "$work/images" \
    --aec STORESCP "${ours_tls[@]}"
  measure store-storescu-tls store storescp-tls storescu -aec STORESCP "${dcmtk_tls[@]}" 127.0.0.1 \
    "$p_storescp_tls" "$work"/images/*.dcm
  measure scp-ours store ours storescu -aec TESSALY 127.0.0.1 "$p_ours" "$work"/images/*.dcm
  measure scp-ours-tls store ours-tls storescu -aec TESSALY "${dcmtk_tls[@]}" 127.0.0.1 "$p_ours_tls" \
    "$work"/images/*.dcm
  echo
done

declare -A med
for key in "${!runs[@]}"; do med[$key]=$(printf '%s\n' ${runs[$key]} | median); done
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }
cost() { awk -v t="$1" -v p="$2" 'BEGIN { printf "%.0f%%", 100 * (1 - t / p) }'; }
echo
printf '%-34s %10s %10s %9s\n' "median" plain TLS "TLS cost"
row() {  # LABEL PLAIN-KEY TLS-KEY UNIT
  printf '%-34s %10s %10s %9s   %s\n' "$1" "${med[$2]}" "${med[$3]}" "$(cost "${med[$3]}" "${med[$2]}")" "$4"
}
row "tessaly-cli echo -> storescp" echo-ours echo-ours-tls "echo/s"
row "echoscu -> storescp" echo-echoscu echo-echoscu-tls "echo/s"
row "tessaly-cli store -> storescp" store-ours store-ours-tls "MB/s"
row "storescu -> storescp" store-storescu store-storescu-tls "MB/s"
row "storescu -> tessaly-cli scp" scp-ours scp-ours-tls "MB/s"
echo
echo "ours / DCMTK over TLS: echo $(ratio "${med[echo-ours-tls]}" "${med[echo-echoscu-tls]}")," \
  "store $(ratio "${med[store-ours-tls]}" "${med[store-storescu-tls]}")," \
  "receiving $(ratio "${med[scp-ours-tls]}" "${med[store-storescu-tls]}") (above 1: faster)"
echo "ours / DCMTK over plain TCP: echo $(ratio "${med[echo-ours]}" "${med[echo-echoscu]}")," \
  "store $(ratio "${med[store-ours]}" "${med[store-storescu]}")," \
  "receiving $(ratio "${med[scp-ours]}" "${med[store-storescu]}")"
