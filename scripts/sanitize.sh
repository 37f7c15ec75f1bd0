#!/usr/bin/env bash
# Sanitizer runs of the tests.
#
#   scripts/sanitize.sh [--repeat N] [address] [thread]     (default: both)
#
# address: builds build-asan with ASan+UBSan (-DRISK_SANITIZE=address) and
#   runs every ctest test there, then the Node tests against the ASan build
#   of the library and of the test addons: Node itself is not instrumented,
#   so the ASan runtime is preloaded into it (LD_PRELOAD) and leak checking is
#   off for the Node process (V8 keeps what it allocates until exit).
# thread: builds build-tsan with TSan (-DRISK_SANITIZE=thread), runs the
#   tests that exercise concurrency (every ctest test whose name matches
#   CONCURRENCY_TESTS below: name a new concurrency test so that it matches,
#   with a fixture or test name containing Concurrent, Thread, Schedul,
#   EventList, Pacing or Collect), then every Node test against the TSan
#   build with the TSan runtime preloaded: the blocking calls into the
#   script thread, the worker launcher and the script services run there.
#   Node is not instrumented: ignore_noninstrumented_modules keeps TSan
#   from reading V8's own allocations and atomics as races, while every
#   access of the library and the addons is still checked.
# --repeat N: instead of the whole run, the concurrency tests only (the
#   ctest selection above and the Node files in CONCURRENCY_NODE_TESTS),
#   N times in a row under each chosen sanitizer; the first failure stops.
set -euo pipefail
. "$(dirname "$0")/common.sh"

CONCURRENCY_TESTS='Concurren|Thread|Schedul|EventList|Pacing|Collect'
CONCURRENCY_NODE_TESTS=(test/bridge.test.js test/pref-store.test.js test/http-post.test.js test/reference-bridge.test.js
  test/device-facts.test.js test/load.test.js test/environment.test.js test/log.test.js)

repeat=0
stages=()
while [ $# -gt 0 ]; do
  case "$1" in
    --repeat)
      [[ "${2:-}" =~ ^[1-9][0-9]*$ ]] || { echo "usage: $0 [--repeat N] [address] [thread]" >&2; exit 2; }
      repeat=$2; shift 2 ;;
    address|thread) stages+=("$1"); shift ;;
    *) echo "usage: $0 [--repeat N] [address] [thread]" >&2; exit 2 ;;
  esac
done
[ ${#stages[@]} -gt 0 ] || stages=(address thread)

setup_all

# node_tests RUNTIME BUILD_DIR SANITIZER_OPTIONS FILES...: the Node tests
# against the sanitizer build of the library and of the test addons. They
# see RISK_SANITIZER (asan or tsan, from the build folder's name).
node_tests() {
  local runtime=$1 dir=$2 options=$3
  shift 3
  [ -f "$runtime" ] || { echo "sanitizer runtime not found ($runtime)" >&2; exit 1; }
  local -a env=(LD_PRELOAD="$runtime" RISK_SANITIZER="${dir##*-}" RISK_LIBRARY="$dir/libQuonRiskComm.so"
    RISK_TEST_ADDON="$dir/bridge/bridge_test_addon.so"
    RISK_PLATFORM_ADDON="$dir/platform/platform_test_addon.so")
  (cd "$ROOT/js" && env "${env[@]}" "$options" node --test --test-concurrency=2 "$@")
}

# concurrency_repeats NAME BUILD_DIR RUNTIME SANITIZER_OPTIONS [env...]
concurrency_repeats() {
  local name=$1 dir=$2 runtime=$3 options=$4
  shift 4
  log "concurrency tests under $name, $repeat times in a row"
  env "$@" ctest --test-dir "$dir" -R "$CONCURRENCY_TESTS" --repeat until-fail:"$repeat" \
    --output-on-failure -j2
  local i
  for ((i = 1; i <= repeat; i++)); do
    log "Node concurrency tests under $name: run $i of $repeat"
    node_tests "$runtime" "$dir" "$options" "${CONCURRENCY_NODE_TESTS[@]}"
  done
}

run_address() {
  local dir="$ROOT/build-asan" runtime
  runtime=$(gcc -print-file-name=libasan.so)
  build build-asan -DRISK_SANITIZE=address
  local cxx_env=(ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1)
  # The load test bounds resident memory growth. The default quarantine
  # (256 MiB of freed blocks held back) alone would exceed any useful bound,
  # and the preloaded runtime serves every allocation of Node and V8 too,
  # with redzones and size-class caches it keeps: 20,000 calls grow the
  # process by up to about 26 MiB under it, against 6-8 MiB in the plain
  # build, whose run holds the 20 MiB bound. A leak of 2 KiB per call still
  # shows here.
  local node_options=ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:quarantine_size_mb=16
  export RISK_LOAD_RSS_BOUND_MIB=64
  export UBSAN_OPTIONS=print_stacktrace=1
  if [ "$repeat" -gt 0 ]; then
    concurrency_repeats ASan+UBSan "$dir" "$runtime" "$node_options" "${cxx_env[@]}"
    return
  fi
  log "C++ tests under ASan+UBSan"
  env "${cxx_env[@]}" ctest --test-dir "$dir" --output-on-failure -j2
  log "Node tests against the ASan build"
  node_tests "$runtime" "$dir" "$node_options" $(cd "$ROOT/js" && ls test/*.test.js)
}

run_thread() {
  local dir="$ROOT/build-tsan" runtime
  runtime=$(gcc -print-file-name=libtsan.so)
  build build-tsan -DRISK_SANITIZE=thread
  local cxx_env=("TSAN_OPTIONS=halt_on_error=1 second_deadlock_stack=1")
  local node_options="TSAN_OPTIONS=halt_on_error=1 ignore_noninstrumented_modules=1"
  # TSan's shadow memory grows with every new heap address.
  export RISK_LOAD_RSS_BOUND_MIB=256
  if [ "$repeat" -gt 0 ]; then
    concurrency_repeats TSan "$dir" "$runtime" "$node_options" "${cxx_env[@]}"
    return
  fi
  log "concurrency tests under TSan (ctest -R '$CONCURRENCY_TESTS')"
  env "${cxx_env[@]}" ctest --test-dir "$dir" -R "$CONCURRENCY_TESTS" --output-on-failure -j2
  log "Node tests against the TSan build"
  node_tests "$runtime" "$dir" "$node_options" $(cd "$ROOT/js" && ls test/*.test.js)
}

for stage in "${stages[@]}"; do
  "run_$stage"
done
