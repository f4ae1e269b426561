#!/usr/bin/env bash
# Sets everything up (with matplotlib, for the chart) and runs the demo.
source "$(dirname "$0")/env.sh" demo
exec "$VPY" bench/demo.py "$@"
