# Sourced by the other scripts: finds a CPython 3.13, makes the virtual
# environment .venv with it and installs the package (and the extras in $1).
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$ROOT"

find_python() {
  local cand
  for cand in "${PYTHON:-}" python3.13 /usr/bin/python3.13 /usr/local/bin/python3.13; do
    [ -n "$cand" ] || continue
    if "$cand" -c 'import sys; assert sys.version_info[:2] == (3, 13)' 2>/dev/null; then
      echo "$cand"; return 0
    fi
  done
  # pyenv's shim refuses a bare python3.13 unless the version is selected.
  if command -v pyenv >/dev/null 2>&1; then
    local v
    v=$(pyenv versions --bare 2>/dev/null | grep -E '^3\.13(\.[0-9]+)?$' | sort -V | tail -n 1)
    if [ -n "$v" ]; then echo "$(pyenv root)/versions/$v/bin/python3.13"; return 0; fi
  fi
  echo "no CPython 3.13 found: set PYTHON=/path/to/python3.13" >&2
  return 1
}

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
