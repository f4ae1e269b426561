#!/usr/bin/env bash
# The Windows side, checked from Linux with MinGW-w64. Two parts, both by
# default, in this order:
#   wine     cross-compiles tests/ring/stress.cpp and
#            tests/platform/wakeup_layer.cpp and runs both with Debian's
#            64-bit Wine loader in a prefix of its own under build/;
#   modules  cross-compiles the three extension modules as .pyd files for a
#            64-bit CPython 3.13 (python313.dll) and links them; no Windows
#            CPython is at hand, so they are built, not run.
# Usage: scripts/windows_check.sh [wine] [modules]
# Installs the cross-compiler and Wine (Debian packages) when missing. Exits
# non-zero on any failure, and with 77 (skipped) only when those packages
# cannot be installed.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
CROSS=x86_64-w64-mingw32-g++-posix
WINE=/usr/lib/wine/wine64
WINESERVER=/usr/lib/wine/wineserver64
PACKAGES=(g++-mingw-w64-x86-64-posix wine64)
out="$ROOT/build/windows"
mkdir -p "$out"

parts=("$@")
[ ${#parts[@]} -gt 0 ] || parts=(wine modules)
for part in "${parts[@]}"; do
  case "$part" in wine|modules) ;; *) echo "usage: $0 [wine] [modules]" >&2; exit 2 ;; esac
done

if ! command -v "$CROSS" >/dev/null || [ ! -x "$WINE" ]; then
  echo "windows check: installing ${PACKAGES[*]}"
  if ! { apt-get update -q && DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends \
           "${PACKAGES[@]}"; } >"$out/install.log" 2>&1; then
    tail -n 20 "$out/install.log" >&2
    echo "windows check: SKIPPED, could not install ${PACKAGES[*]}" >&2
    exit 77
  fi
fi

check_wine() {
  local flags=(-std=c++20 -O2 -Wall -Wextra -Werror -static)
  "$CROSS" "${flags[@]}" -I "$ROOT/nimbo/spsc_queue" "$ROOT/tests/ring/stress.cpp" \
    -o "$out/ring_stress.exe" -lsynchronization
  "$CROSS" "${flags[@]}" -I "$ROOT/nimbo" "$ROOT/tests/platform/wakeup_layer.cpp" \
    -o "$out/wakeup_layer.exe" -lws2_32 -lsynchronization

  # A fresh prefix hangs at creation unless the .NET and HTML installers are
  # switched off.
  export WINEPREFIX="$out/wineprefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
  trap '"$WINESERVER" -k 2>/dev/null || true' EXIT
  if [ ! -d "$WINEPREFIX" ]; then
    # Create the prefix and let its background processes finish first: they
    # would compete for the cores with the timing-sensitive stress cases.
    echo "windows check: creating the Wine prefix"
    "$WINE" wineboot -i >/dev/null 2>&1
    "$WINESERVER" -w
  fi
  echo "windows check: wake-up layer under Wine"
  timeout 300 "$WINE" "$out/wakeup_layer.exe"
  echo "windows check: ring stress under Wine (scale ${RING_STRESS_SCALE:-1})"
  timeout 900 "$WINE" "$out/ring_stress.exe"
}

check_modules() {
  local mod="$out/modules" venv="$ROOT/.venv"
  rm -rf "$mod" && mkdir -p "$mod/include"

  # The Linux build of the same modules says which CPython symbols they use:
  # (re)install it when missing or older than the sources.
  local py="$venv/bin/python" platlib so stale=1
  if [ -x "$py" ]; then
    platlib="$("$py" -c 'import sysconfig; print(sysconfig.get_paths()["platlib"])')"
    so="$platlib/nimbo/utils/ferrylink/_ferrytest$("$py" -c 'import sysconfig; print(sysconfig.get_config_var("EXT_SUFFIX"))')"
    if [ -f "$so" ] && [ -z "$(find "$ROOT/nimbo" "$ROOT/CMakeLists.txt" -newer "$so" \
                               \( -name '*.cpp' -o -name '*.hpp' -o -name '*.h' -o -name CMakeLists.txt \) | head -n 1)" ]; then
      stale=0
    fi
  fi
  if [ "$stale" = 1 ]; then
    echo "windows check: installing the Linux build first"
    bash -c 'source "$1/scripts/env.sh" test' _ "$ROOT"
    platlib="$("$py" -c 'import sysconfig; print(sysconfig.get_paths()["platlib"])')"
  fi

  # The targets, their sources and the project's compile options, as CMake
  # configures them for this host: MinGW takes the same GCC branch of the
  # options, and only the Windows link libraries (below) differ.
  local cm="$out/cmake"
  mkdir -p "$cm/.cmake/api/v1/query"
  touch "$cm/.cmake/api/v1/query/codemodel-v2" "$cm/.cmake/api/v1/query/cache-v2"
  cmake -S "$ROOT" -B "$cm" -DCMAKE_BUILD_TYPE=Release -DPython_EXECUTABLE="$py" \
    -DFERRY_TEST_MODULE=ON -DFERRY_WERROR=ON >"$cm/configure.log" 2>&1 || { cat "$cm/configure.log" >&2; return 1; }
  local modules
  modules="$("$py" "$ROOT/scripts/windows/cmake_targets.py" "$cm" "$platlib" "$mod")"

  # CPython's headers are the same on Windows but for pyconfig.h. Python.h
  # includes it with quotes, which looks beside Python.h first: copy the
  # headers without it so that ours (scripts/windows/) is the one found.
  local inc
  inc="$("$py" -c 'import sysconfig; print(sysconfig.get_paths()["include"])')"
  cp -r "$inc" "$mod/include/python"
  rm "$mod/include/python/pyconfig.h"

  # Import library for python313.dll, from exactly the CPython symbols the
  # Linux modules import; objects (types, exceptions, singletons) are DATA, as
  # the interpreter's own symbol table says.
  local libpython linux_builds
  libpython="$("$py" -c 'import sys, sysconfig, os
print(os.path.join(sysconfig.get_config_var("LIBDIR"), sysconfig.get_config_var("INSTSONAME"))
      if sysconfig.get_config_var("Py_ENABLE_SHARED") else sys.executable)')"
  nm -D --defined-only "$libpython" | awk 'NF == 3 && $2 ~ /^[BDRV]$/ { sub(/@.*/, "", $3); print $3 }' \
    | sort -u >"$mod/data_symbols"
  mapfile -t linux_builds < <(cut -d ' ' -f 2- <<<"$modules")
  nm -D --undefined-only "${linux_builds[@]}" | awk 'NF == 2 { sub(/@.*/, "", $2); print $2 }' \
    | grep -E '^_?Py' | sort -u >"$mod/symbols"
  {
    echo "LIBRARY python313.dll"
    echo "EXPORTS"
    awk 'NR == FNR { data[$1] = 1; next } { print "    " $1 ($1 in data ? " DATA" : "") }' \
      "$mod/data_symbols" "$mod/symbols"
  } >"$mod/python313.def"
  x86_64-w64-mingw32-dlltool -d "$mod/python313.def" -D python313.dll -l "$mod/libpython313.a"
  echo "windows check: python313.dll import library, $(wc -l <"$mod/symbols") symbols"

  # -static links libstdc++, libgcc and winpthreads in, so that a .pyd needs
  # nothing beyond python313.dll and what Windows itself ships.
  local name args pyd dlls bad
  while read -r name _; do
    mapfile -t args <"$mod/$name.args"
    pyd="$mod/$name.cp313-win_amd64.pyd"
    "$CROSS" -I "$ROOT/scripts/windows" -isystem "$mod/include/python" "${args[@]}" \
      -shared -static -o "$pyd" "$mod/libpython313.a" -lws2_32 -lsynchronization
    x86_64-w64-mingw32-objdump -p "$pyd" >"$mod/$name.objdump"
    if ! grep -qE "^[[:space:]]*\[ *[0-9]+\] PyInit_$name\$" "$mod/$name.objdump"; then
      echo "windows check: $name.pyd does not export PyInit_$name" >&2
      return 1
    fi
    dlls="$(awk '/DLL Name:/ {print $3}' "$mod/$name.objdump")"
    echo "windows check: $(basename "$pyd") exports PyInit_$name, imports:" $dlls
    # python313.dll, the system's Winsock, WaitOnAddress (synchronization's
    # api set) and kernel32, and the C runtime.
    bad="$(grep -viE '^(python313|ws2_32|kernel32|msvcrt|ucrtbase|api-ms-win-(crt|core-synch)-.*)\.dll$' <<<"$dlls" || true)"
    if [ -n "$bad" ] || ! grep -qx python313.dll <<<"$dlls"; then
      echo "windows check: $name.pyd imports an unexpected set of DLLs" >&2
      return 1
    fi
  done <<<"$modules"
}

for part in "${parts[@]}"; do
  "check_$part"
done
