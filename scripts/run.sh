#!/usr/bin/env bash
# The main job: builds the library (that target alone) and runs the
# demonstration. Standard output is the demonstration's report alone (with
# --json, one JSON document); progress and errors go to standard error.
set -euo pipefail
. "$(dirname "$0")/common.sh"
setup_all
build build --target QuonRiskComm
RISK_LIBRARY="$ROOT/build/libQuonRiskComm.so" exec node "$ROOT/js/demo.js" "$@"
