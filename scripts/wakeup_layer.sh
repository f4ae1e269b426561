#!/usr/bin/env bash
# Builds and runs the native test of the wake-up layer (loopback datagrams and
# address wait/wake, tests/platform/wakeup_layer.cpp). Exits non-zero on any
# failure.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
out="$ROOT/build/platform"
mkdir -p "$out"
"${CXX:-g++}" -std=c++20 -O2 -Wall -Wextra -Werror -pthread -I "$ROOT/nimbo" \
  "$ROOT/tests/platform/wakeup_layer.cpp" -o "$out/wakeup_layer"
"$out/wakeup_layer"
