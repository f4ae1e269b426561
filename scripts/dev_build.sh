#!/usr/bin/env bash
# Quick development build without pip: compiles the three modules with g++
# into OUT (default build/dev) as an importable tree. Use as
#   scripts/dev_build.sh /tmp/mytree && cd tests && PYTHONPATH=/tmp/mytree ../.venv/bin/python -m pytest
set -euo pipefail
ROOT="$(cd "$(dirname "$0")/.." && pwd)"
OUT="${1:-$ROOT/build/dev}"
PY="${PYTHON:-$ROOT/.venv/bin/python}"
[ -x "$PY" ] || PY=/tmp/venv/bin/python
INC="$("$PY" -c 'import sysconfig; print(sysconfig.get_paths()["include"])')"
EXT="$("$PY" -c 'import sysconfig; print(sysconfig.get_config_var("EXT_SUFFIX"))')"
FLAGS=(-std=c++20 -O2 -g -shared -fPIC -pthread -Wall -Wextra -Werror -Wno-missing-field-initializers
       -I "$ROOT/nimbo" -I "$ROOT/nimbo/spsc_queue" -I "$ROOT/nimbo/utils/ferrylink/include" -I "$INC" ${FERRY_EXTRA_FLAGS:-})
mkdir -p "$OUT"
# The Python files, headers and stubs beside the modules (not the sources).
"$PY" -c 'import shutil, sys; shutil.copytree(sys.argv[1], sys.argv[2], dirs_exist_ok=True,
    ignore=shutil.ignore_patterns("*.cpp", "*.hpp", "testing", "__pycache__", "*.so"))' "$ROOT/nimbo" "$OUT/nimbo"
F="$ROOT/nimbo/utils/ferrylink"
# One compiler at a time: the machine is shared.
g++ "${FLAGS[@]}" "$ROOT/nimbo/spsc_queue/spsc_queue.cpp" -o "$OUT/nimbo/spsc_queue/spsc_queue$EXT"
g++ "${FLAGS[@]}" "$F"/{ferrylink,module_state,type_helpers,args,errors,functions,coro,wakeup,async_dispatcher,sync_dispatcher,pipe,ring_field,buffers,buffer_view,asyncqueue,asyncqueue_pickle,lockfree/wake_datagram}.cpp \
    -o "$OUT/nimbo/utils/ferrylink/ferrylink$EXT"
g++ "${FLAGS[@]}" "$F"/testing/*.cpp -o "$OUT/nimbo/utils/ferrylink/_ferrytest$EXT"
echo "built into $OUT"
