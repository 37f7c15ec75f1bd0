#!/usr/bin/env bash
# Runs every test: the C++ unit tests (ctest) and the Node tests of the
# built library. Installs what is missing and builds first.
set -euo pipefail
. "$(dirname "$0")/common.sh"
setup_all
build build

log "C++ unit tests"
ctest --test-dir "$ROOT/build" --output-on-failure -j"$(nproc)"

log "Node tests"
cd "$ROOT/js"
RISK_LIBRARY="$ROOT/build/libQuonRiskComm.so" node --test --test-concurrency=2 test/*.test.js
