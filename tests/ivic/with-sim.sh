#!/usr/bin/env bash
# Runs a program against a simulator of its own: with-sim.sh <simulator> <model> <program> [args]
# starts the simulator on a free loopback port, replaces @RESOURCE@ in the arguments with its
# resource string, runs the program and stops the simulator. The program's status is the result.
set -u
sim=$1 model=$2
shift 2
out=$(mktemp)
"$sim" --port 0 --model "$model" --signal 1:sine:1e3:0.5 >"$out" 2>/dev/null &
pid=$!
trap 'kill "$pid" 2>/dev/null; wait "$pid" 2>/dev/null; rm -f "$out"' EXIT
port=
for _ in $(seq 100); do
  port=$(sed -n 's/^listening on 127\.0\.0\.1:\([0-9]*\).*/\1/p' "$out")
  [ -n "$port" ] && break
  sleep 0.05
done
if [ -z "$port" ]; then
  echo "the simulator did not start" >&2
  exit 1
fi
args=()
for a in "$@"; do args+=("${a//@RESOURCE@/TCPIP0::127.0.0.1::$port::SOCKET}"); done
"${args[@]}"
