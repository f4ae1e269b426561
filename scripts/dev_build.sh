#!/usr/bin/env bash
# Quick development build without pip: compiles the three modules with g++
# into OUT (default build/dev) as an importable tree. Use as
#   scripts/dev_build.sh /tmp/mytree && cd tests && PYTHONPATH=/tmp/mytree ../.venv/bin/python -m pytest
set -euo pipefail
ROOT="$(cd "$(dirname "$0")/.." && pwd)"
OUT="${1:-$ROOT/build/dev}"
PY="${PYTHON:-$ROOT/.venv/bin/python}"
[ -x "$PY" ] || { echo "dev_build.sh: no $PY; run scripts/test.sh once, or set PYTHON" >&2; exit 1; }
INC="$("$PY" -c 'import sysconfig; print(sysconfig.get_paths()["include"])')"
EXT="$("$PY" -c 'import sysconfig; print(sysconfig.get_config_var("EXT_SUFFIX"))')"
FLAGS=(-std=c++20 -O2 -g -shared -fPIC -pthread -Wall -Wextra -Werror -Wno-missing-field-initializers
       -I "$ROOT/nimbo" -I "$ROOT/nimbo/spsc_queue" -I "$ROOT/nimbo/utils/ferrylink/include" -I "$INC" ${FERRY_EXTRA_FLAGS:-})
mkdir -p "$OUT"
# The Python files, headers and stubs beside the modules (not the sources).
"$PY" -c 'import shutil, sys; shutil.copytree(sys.argv[1], sys.argv[2], dirs_exist_ok=True,
    ignore=shutil.ignore_patterns("*.cpp", "*.hpp", "testing", "__pycache__", "*.so"))' "$ROOT/nimbo" "$OUT/nimbo"
# A module's sources, as CMakeLists.txt lists them (the one list).
sources() {
    "$PY" -c 'import re, sys
text = open(sys.argv[1]).read()
block = re.search(r"ferry_module\(" + sys.argv[2] + r"\s+\S+\s+([^)]*)\)", text).group(1)
print("\n".join(sys.argv[3] + "/" + s for s in block.split()))' "$ROOT/CMakeLists.txt" "$1" "$ROOT"
}
build() {  # module, destination directory
    local srcs
    mapfile -t srcs < <(sources "$1")
    g++ "${FLAGS[@]}" "${srcs[@]}" -o "$OUT/$2/$1$EXT"
}
# One compiler at a time: the machine is shared.
build spsc_queue nimbo/spsc_queue
build ferrylink nimbo/utils/ferrylink
build _ferrytest nimbo/utils/ferrylink
echo "built into $OUT"
