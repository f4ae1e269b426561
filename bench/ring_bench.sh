#!/usr/bin/env bash
# Builds and runs the ring benchmark beside boost::lockfree::spsc_queue.
#   bench/ring_bench.sh [messages] [runs]
# Portable -O2 build (no -march=native). Prints figures; it is not a test.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
out="$ROOT/bench/out"
mkdir -p "$out"
"${CXX:-g++}" -std=c++20 -O2 -Wall -Wextra -pthread -I "$ROOT/nimbo/spsc_queue" \
  "$ROOT/bench/ring_bench.cpp" -o "$out/ring_bench"
exec "$out/ring_bench" "$@"
