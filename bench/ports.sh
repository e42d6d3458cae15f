# Loopback port helpers for the benchmark scripts (sourced, not run).

# A TCP port on 127.0.0.1 that nothing listens on right now.
free_port() {
  python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

# Waits up to 10 s until something accepts connections on 127.0.0.1:$1.
wait_port() {
  for _ in $(seq 200); do
    (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null && return 0
    sleep 0.05
  done
  echo "nothing listens on port $1" >&2
  return 1
}
