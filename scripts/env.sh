# Sourced by the other scripts: finds a CPython 3.13, makes the virtual
# environment .venv with it and installs the package (and the extras in $1).
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$ROOT"

source "$ROOT/scripts/find_python.sh"
PY="$(find_python)"
VENV="$ROOT/.venv"
if [ ! -x "$VENV/bin/python" ] || ! "$VENV/bin/python" -c 'import sys; assert sys.version_info[:2] == (3, 13)' 2>/dev/null; then
  rm -rf "$VENV"
  "$PY" -m venv "$VENV"
fi
VPY="$VENV/bin/python"
"$VPY" -m pip install -q --upgrade pip >/dev/null 2>&1 || true
"$VPY" -m pip install -q "scikit-build-core>=0.10" ninja
extras="${1:-}"
# The tests, the demo and the benchmarks need the test-only module _ferrytest.
cmake_args=(-C cmake.define.FERRY_TEST_MODULE=ON)
if [ "${CI:-}" = "true" ]; then cmake_args+=(-C cmake.define.FERRY_WERROR=ON); fi
"$VPY" -m pip install -q --no-build-isolation "${cmake_args[@]}" ".${extras:+[$extras]}"
