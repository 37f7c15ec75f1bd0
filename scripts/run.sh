#!/usr/bin/env bash
# The main job: builds the library and runs the demonstration.
set -euo pipefail
. "$(dirname "$0")/common.sh"
setup_all
build build
RISK_LIBRARY="$ROOT/build/libQuonRiskComm.so" exec node "$ROOT/js/demo.js" "$@"
