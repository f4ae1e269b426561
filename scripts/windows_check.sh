#!/usr/bin/env bash
# The Windows side of the ring and the wake-up layer, shown under Wine:
# cross-compiles tests/ring/stress.cpp and tests/platform/wakeup_layer.cpp with
# MinGW-w64 and runs both with Debian's 64-bit Wine loader in a prefix of its
# own under build/. Installs the cross-compiler and Wine (Debian packages)
# when missing. Exits non-zero on any failure, and with 77 (skipped) only
# when those packages cannot be installed.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
CROSS=x86_64-w64-mingw32-g++-posix
WINE=/usr/lib/wine/wine64
WINESERVER=/usr/lib/wine/wineserver64
PACKAGES=(g++-mingw-w64-x86-64-posix wine64)
out="$ROOT/build/windows"
mkdir -p "$out"

if ! command -v "$CROSS" >/dev/null || [ ! -x "$WINE" ]; then
  echo "windows check: installing ${PACKAGES[*]}"
  if ! { apt-get update -q && DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends \
           "${PACKAGES[@]}"; } >"$out/install.log" 2>&1; then
    tail -n 20 "$out/install.log" >&2
    echo "windows check: SKIPPED, could not install ${PACKAGES[*]}" >&2
    exit 77
  fi
fi

flags=(-std=c++20 -O2 -Wall -Wextra -Werror -static)
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
