#!/usr/bin/env bash
# Side-by-side speed of two versions of the library on this machine:
#   bench/compare.sh [--rounds N] [--paths P,...] [--scale X] [--list] OLD [NEW]
# OLD and NEW are anything git names a commit by (a043917, HEAD~1, a branch);
# without NEW, the working tree as it is, uncommitted and untracked (not
# ignored) files included. Each is built once into a virtual environment of its
# own under ${FERRY_COMPARE_CACHE:-${XDG_CACHE_HOME:-~/.cache}/ferrylink-compare}/<tree id>,
# keyed by its git tree, so a rerun, or a commit whose files equal the working
# tree's, does not build again. Then bench/compare.py runs the paths of this
# tree's bench/paths.py against both builds, interleaved, and prints the table
# (see there). The ring's own benchmark is this tree's bench/ring_bench.cpp
# compiled against each version's ring (that version's own copy if it does not
# compile); its boost rows are left out when boost's headers are missing and
# cannot be installed.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
source "$ROOT/scripts/find_python.sh"

forward=() commits=()
while [ $# -gt 0 ]; do
  case "$1" in
    -h|--help) awk 'NR > 1 && /^#/ { sub(/^# ?/, ""); print; next } NR > 1 { exit }' "$0"; exit 0 ;;
    --rounds|--paths|--scale) forward+=("$1" "$2"); shift 2 ;;
    --list) forward+=("$1"); shift ;;
    -*) echo "unknown option $1" >&2; exit 2 ;;
    *) commits+=("$1"); shift ;;
  esac
done
[ ${#commits[@]} -ge 1 ] && [ ${#commits[@]} -le 2 ] || { echo "usage: bench/compare.sh [options] OLD [NEW]" >&2; exit 2; }
CACHE="${FERRY_COMPARE_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/ferrylink-compare}"
PY="$(find_python)"
cd "$ROOT"

# The git tree of a commit, or of the working tree when $1 is empty (through a
# scratch index, so the real one is left as it is).
tree_of() {
  if [ -n "$1" ]; then
    git rev-parse --verify -q "$1^{tree}" || { echo "not a commit: $1" >&2; return 1; }
  else
    local index
    index="$(mktemp)"
    cp "$(git rev-parse --git-path index)" "$index"
    GIT_INDEX_FILE="$index" git add -A
    GIT_INDEX_FILE="$index" git write-tree
    rm -f "$index"
  fi
}

have_boost() { echo '#include <boost/lockfree/spsc_queue.hpp>' | "${CXX:-g++}" -std=c++20 -x c++ -fsyntax-only - 2>/dev/null; }
if ! have_boost && [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null; then
  echo "boost's headers missing: installing libboost-dev" >&2
  { apt-get update -qq && apt-get install -y -qq libboost-dev; } >/dev/null 2>&1 || true
fi
have_boost || echo "no boost headers: the ring benchmark's boost rows are left out" >&2

# The ring benchmark of one build: this tree's source against the build's
# ring, cached per source; that build's own source when this one does not
# compile against it. Prints the binary's path, or nothing.
ring_bench() {
  local dir="$1" hash bin
  hash="$(sha1sum < "$ROOT/bench/ring_bench.cpp" | cut -c1-12)"
  bin="$dir/ring_bench.$hash"
  if [ ! -x "$bin" ]; then
    local flags=(-std=c++20 -O2 -pthread -I "$dir/src/nimbo/spsc_queue")
    if ! "${CXX:-g++}" "${flags[@]}" "$ROOT/bench/ring_bench.cpp" -o "$bin" 2>/dev/null; then
      [ -f "$dir/src/bench/ring_bench.cpp" ] && "${CXX:-g++}" "${flags[@]}" "$dir/src/bench/ring_bench.cpp" -o "$bin" \
        && echo "ring bench of $dir: its own source (this tree's does not compile against it)" >&2 \
        || { echo "ring bench of $dir does not build: its ring's rows are left out" >&2; return 0; }
    fi
  fi
  echo "$bin"
}

# Builds the tree $1 (label $2) unless its build is cached; prints its directory.
build() {
  local tree="$1" label="$2" dir="$CACHE/$1"
  if [ ! -f "$dir/built" ]; then
    echo "building $label (tree $tree) into $dir" >&2
    rm -rf "$dir"
    mkdir -p "$dir/src"
    git archive "$tree" | tar -x -C "$dir/src"
    "$PY" -m venv "$dir/venv"
    local vpy="$dir/venv/bin/python"
    {
      "$vpy" -m pip install -q "scikit-build-core>=0.10" ninja uvloop
      "$vpy" -m pip install -q --no-build-isolation -C cmake.define.FERRY_TEST_MODULE=ON "$dir/src"
    } >"$dir/build.log" 2>&1 || { echo "build of $label failed: see $dir/build.log" >&2; return 1; }
    rm -rf "$dir/src/build"  # the installed modules are in the venv
    touch "$dir/built"
  fi
  echo "$dir"
}

old_label="${commits[0]}"
new_label="${commits[1]:-working tree on $(git rev-parse --short HEAD)}"
old_dir="$(build "$(tree_of "${commits[0]}")" "$old_label")"
new_dir="$(build "$(tree_of "${commits[1]:-}")" "$new_label")"
exec "$old_dir/venv/bin/python" "$ROOT/bench/compare.py" "${forward[@]}" \
  --build "$old_label ($(git rev-parse --short "${commits[0]}"))" "$old_dir/venv/bin/python" "$(ring_bench "$old_dir")" \
  --build "$new_label${commits[1]:+ ($(git rev-parse --short "${commits[1]}"))}" "$new_dir/venv/bin/python" \
  "$(ring_bench "$new_dir")"
