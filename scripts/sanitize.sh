#!/usr/bin/env bash
# Builds both extension modules and the test module with AddressSanitizer and
# UndefinedBehaviorSanitizer, then runs the whole pytest suite on them.
# Exits non-zero on a failing test or on any sanitizer report (reports of
# child interpreters included: they go to build/sanitize/reports/).
#   scripts/sanitize.sh [pytest arguments]
source "$(dirname "$0")/env.sh" test
OUT="$ROOT/build/sanitize"
REPORTS="$OUT/reports"
rm -rf "$OUT"
mkdir -p "$REPORTS"
FERRY_EXTRA_FLAGS="-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer" \
  PYTHON="$VPY" bash scripts/dev_build.sh "$OUT/tree"

# The interpreter itself is not instrumented: the runtime comes first, with
# the C++ runtime it needs, and Python's own allocator steps aside so that
# every object goes through the checked malloc.
export LD_PRELOAD="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libstdc++.so)"
export PYTHONMALLOC=malloc
# detect_leaks: the interpreter keeps much alive at exit by design.
# quarantine_size_mb: freed memory is held back to catch late uses; the
# default 256 MB would swamp the suite's checks of resident memory growth.
export ASAN_OPTIONS="detect_leaks=0:quarantine_size_mb=2:halt_on_error=1:log_path=$REPORTS/asan"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:log_path=$REPORTS/ubsan"
export FERRY_SANITIZERS=asan,ubsan  # the few tests that cannot run under them skip, saying why

cd "$ROOT/tests"
status=0
PYTHONPATH="$OUT/tree" "$VPY" -m pytest -q -p no:cacheprovider "$@" || status=$?
unset LD_PRELOAD
if compgen -G "$REPORTS/*" >/dev/null; then
  echo "sanitizer reports:" >&2
  cat "$REPORTS"/* >&2
  exit 1
fi
exit "$status"
