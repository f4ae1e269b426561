#!/usr/bin/env bash
# Builds both extension modules and the test module with AddressSanitizer and
# UndefinedBehaviorSanitizer, then runs the whole pytest suite on them.
# Exits non-zero on a failing test or on any sanitizer report: ASan reports,
# child interpreters' included, go to build/sanitize/reports/; a UBSan report
# ends the process that meets it (exit 1), which fails the test that ran it.
#   scripts/sanitize.sh [pytest arguments]
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
VPY="$ROOT/.venv/bin/python"
# The environment scripts/test.sh made (the package itself is not used here);
# made now if it is missing.
"$VPY" -c 'import pytest, uvloop' 2>/dev/null || source "$ROOT/scripts/env.sh" test
cd "$ROOT"
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
# quarantine_size_mb: freed memory is held back to catch late uses; kept
# small (256 MB by default) so that the suite's checks of resident memory
# growth measure the module, not the quarantine.
export ASAN_OPTIONS="detect_leaks=0:quarantine_size_mb=2:halt_on_error=1:log_path=$REPORTS/asan"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
export FERRY_SANITIZERS=asan,ubsan  # a test that cannot run under them skips, saying why

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
