#!/usr/bin/env bash
# Sanitizer runs of the tests.
#
#   scripts/sanitize.sh [address] [thread]     (default: both)
#
# address: builds build-asan with ASan+UBSan (-DRISK_SANITIZE=address) and
#   runs every ctest test there, then the Node tests against the ASan build
#   of the library and of the test addons: Node itself is not instrumented,
#   so the ASan runtime is preloaded into it (LD_PRELOAD) and leak checking is
#   off for the Node process (V8 keeps what it allocates until exit).
# thread: builds build-tsan with TSan (-DRISK_SANITIZE=thread) and runs the
#   tests that exercise concurrency: every ctest test whose name matches
#   TSAN_TESTS below. Name a new concurrency test so that it matches (a
#   fixture or test name containing Concurrent, Thread, Schedul, EventList,
#   Pacing or Collect).
set -euo pipefail
. "$(dirname "$0")/common.sh"

TSAN_TESTS='Concurren|Thread|Schedul|EventList|Pacing|Collect'

stages=("$@")
[ ${#stages[@]} -gt 0 ] || stages=(address thread)
for stage in "${stages[@]}"; do
  case "$stage" in
    address|thread) ;;
    *) echo "usage: $0 [address] [thread]" >&2; exit 2 ;;
  esac
done

setup_all

run_address() {
  local dir="$ROOT/build-asan"
  build build-asan -DRISK_SANITIZE=address
  log "C++ tests under ASan+UBSan"
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
    ctest --test-dir "$dir" --output-on-failure -j2

  log "Node tests against the ASan build"
  local runtime
  runtime=$(gcc -print-file-name=libasan.so)
  [ -f "$runtime" ] || { echo "ASan runtime not found ($runtime)" >&2; exit 1; }
  local -a env=(LD_PRELOAD="$runtime" UBSAN_OPTIONS=print_stacktrace=1
    RISK_LIBRARY="$dir/libQuonRiskComm.so")
  [ -f "$dir/bridge/bridge_test_addon.so" ] && env+=("RISK_TEST_ADDON=$dir/bridge/bridge_test_addon.so")
  [ -f "$dir/platform/platform_test_addon.so" ] &&
    env+=("RISK_PLATFORM_ADDON=$dir/platform/platform_test_addon.so")
  cd "$ROOT/js"
  env "${env[@]}" ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 \
    node --test --test-concurrency=2 $(ls test/*.test.js | grep -v '/load\.test\.js$')
  # The load test bounds resident memory growth; the default quarantine
  # (256 MiB of freed blocks held back) alone would exceed the bound.
  log "load test against the ASan build (16 MiB quarantine)"
  env "${env[@]}" ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:quarantine_size_mb=16 \
    node --test test/load.test.js
  cd "$ROOT"
}

run_thread() {
  local dir="$ROOT/build-tsan"
  build build-tsan -DRISK_SANITIZE=thread
  log "concurrency tests under TSan (ctest -R '$TSAN_TESTS')"
  TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" \
    ctest --test-dir "$dir" -R "$TSAN_TESTS" --output-on-failure -j2
}

for stage in "${stages[@]}"; do
  "run_$stage"
done
