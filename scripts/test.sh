#!/usr/bin/env bash
# Runs every test: the C++ unit tests (ctest) and the Node tests of the
# built library. Installs what is missing and builds first.
#
# The full run also installs Debian's postgresql and runs the token
# service's PostgreSQL tests against a throwaway cluster (RISK_PG_TESTS=1:
# js/test/postgres.test.js starts it as an unprivileged user on a free
# loopback port and removes it afterwards); --quick tests SQLite only.
#
# Then the reliability stages: the structure and lock-rule checks
# (scripts/lint.sh: clang -Wthread-safety build, target graph, engine
# headers, JavaScript types), fuzzing (scripts/fuzz.sh,
# RISK_FUZZ_SECONDS per target, default 30), the sanitizer runs
# (scripts/sanitize.sh) and the arm64 cross-build under qemu
# (scripts/arm64.sh), after a compile check of the benchmarks
# (scripts/bench.sh runs them). --quick skips them and builds only what its
# tests run: the library, the test programs and the test addons.
set -euo pipefail
. "$(dirname "$0")/common.sh"

quick=0
for arg in "$@"; do
  case "$arg" in
    --quick) quick=1 ;;
    *) echo "usage: $0 [--quick]" >&2; exit 2 ;;
  esac
done
setup_all
pg_tests=0
if [ "$quick" -eq 0 ]; then
  ensure_debs postgresql
  pg_tests=1
fi
build build

log "C++ unit tests"
ctest --test-dir "$ROOT/build" --output-on-failure -j"$(nproc)"

log "Node tests"
cd "$ROOT/js"
RISK_PG_TESTS=$pg_tests RISK_LIBRARY="$ROOT/build/libQuonRiskComm.so" node --test --test-concurrency=2 test/*.test.js

if [ "$quick" -eq 1 ]; then
  log "--quick: lint, fuzzing, sanitizer runs and the arm64 build skipped"
  exit 0
fi

log "Benchmarks: compile check (scripts/bench.sh runs them)"
build build --target risk_benchmarks

log "Lint: clang thread-safety build, target graph, engine headers, JavaScript types"
"$ROOT/scripts/lint.sh"

log "Fuzzing, ${RISK_FUZZ_SECONDS:-30}s per target"
"$ROOT/scripts/fuzz.sh" "${RISK_FUZZ_SECONDS:-30}"

log "Sanitizer runs: ASan+UBSan (all tests), TSan (concurrency tests)"
"$ROOT/scripts/sanitize.sh" address thread

log "arm64 cross-build, tests under qemu"
"$ROOT/scripts/arm64.sh"
