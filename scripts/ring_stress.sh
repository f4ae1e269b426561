#!/usr/bin/env bash
# Builds and runs the ring's native stress test (tests/ring/stress.cpp).
#   scripts/ring_stress.sh [plain|tsan|asan]
# plain: g++ -O2, the full run. tsan / asan: the same test under
# ThreadSanitizer or AddressSanitizer+UBSan with the message counts scaled
# down (RING_STRESS_SCALE, default 0.2 for tsan and 0.5 for asan) because the
# instrumented build is 5-20x slower. Then the model of the coalesced wake-up
# (tests/ring/wake_model.cpp, 10 million messages times WAKE_MODEL_SCALE):
# in the mode's build, and in plain mode under ThreadSanitizer as well (scale
# 0.1, to fit the test run). Exits non-zero on any failure.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
mode="${1:-plain}"
case "$mode" in
  plain) flags=(-O2); scale=1 ;;
  tsan)  flags=(-O1 -g -fsanitize=thread); scale=0.2 ;;
  asan)  flags=(-O1 -g -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer); scale=0.5 ;;
  *) echo "usage: $0 [plain|tsan|asan]" >&2; exit 2 ;;
esac
out="$ROOT/build/ring_stress"
mkdir -p "$out"
bin="$out/stress-$mode"
"${CXX:-g++}" -std=c++20 -Wall -Wextra -Werror -pthread "${flags[@]}" \
  -I "$ROOT/nimbo/spsc_queue" "$ROOT/tests/ring/stress.cpp" -o "$bin"
echo "ring stress ($mode build, scale ${RING_STRESS_SCALE:-$scale})"
export TSAN_OPTIONS="${TSAN_OPTIONS:-halt_on_error=1 second_deadlock_stack=1}"
export ASAN_OPTIONS="${ASAN_OPTIONS:-halt_on_error=1 detect_leaks=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-halt_on_error=1 print_stacktrace=1}"
RING_STRESS_SCALE="${RING_STRESS_SCALE:-$scale}" "$bin"

# run_model MODEL NAME SCALE FLAGS...: builds tests/ring/MODEL.cpp as
# $out/MODEL-NAME and runs it at SCALE.
run_model() {
  local model="$1" name="$2" at="$3"; shift 3
  "${CXX:-g++}" -std=c++20 -Wall -Wextra -Werror -pthread "$@" -I "$ROOT/nimbo/spsc_queue" \
    -I "$ROOT/nimbo/utils/ferrylink" "$ROOT/tests/ring/$model.cpp" -o "$out/$model-$name"
  echo "$model ($name build, scale $at)"
  WAKE_MODEL_SCALE="$at" "$out/$model-$name"
}
for model in wake_model wait_model; do
  run_model "$model" "$mode" "${WAKE_MODEL_SCALE:-$scale}" "${flags[@]}"
  if [ "$mode" = plain ]; then run_model "$model" tsan 0.1 -O1 -g -fsanitize=thread; fi
done
