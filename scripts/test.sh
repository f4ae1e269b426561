#!/usr/bin/env bash
# Sets everything up and runs every test: the ring's native stress test (plain
# build), the native wake-up layer test and the Python test suite.
source "$(dirname "$0")/env.sh" test
bash scripts/ring_stress.sh plain
bash scripts/wakeup_layer.sh
cd "$ROOT/tests"
exec "$VENV/bin/pytest" -q -p no:cacheprovider "$@"
