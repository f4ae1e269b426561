#!/usr/bin/env bash
# Sets everything up, then checks the shipped type stubs: `mypy --strict` over
# a file that uses every public name, and stubtest against the installed modules.
source "$(dirname "$0")/env.sh" typing
cd "$ROOT/tests/typing"  # not the source root: its nimbo/ would hide the installed one
"$VPY" -m mypy --strict --cache-dir "$ROOT/build/mypy" usage.py
"$VPY" -m mypy.stubtest --allowlist stubtest_allowlist.txt \
  nimbo.utils.ferrylink.ferrylink nimbo.spsc_queue.spsc_queue nimbo.tracelog
