#!/usr/bin/env bash
# Sets everything up and runs the demo benchmark.
source "$(dirname "$0")/env.sh"
exec "$VPY" bench/demo.py "$@"
