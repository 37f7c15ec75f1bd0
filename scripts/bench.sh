#!/usr/bin/env bash
# The benchmark command: builds the library, the benchmarks and the bench
# addon in release mode (build-release), runs the C++ benchmarks (Google
# Benchmark), the Node measurements against the reference service and the
# size analysis, then prints one table with figures, ratios and budgets side
# by side and writes the same figures to build-release/bench.json.
#
#   scripts/bench.sh            full run (about ten minutes on two cores)
#   scripts/bench.sh --quick    smaller counts, for a smoke run
#
# Raw results stay in build-release/bench-raw/. The machine should be
# otherwise idle: every figure is a median, but thread starts and the
# script thread's wake-ups suffer from other load. BENCH_JOBS sets the
# build's parallelism (default 2).
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
dir="$ROOT/build-release"
raw="$dir/bench-raw"
if [ ! -f "$dir/CMakeCache.txt" ]; then
  log "configuring $dir"
  cmake -S "$ROOT" -B "$dir" -DCMAKE_BUILD_TYPE=Release >/dev/null
fi
rm -rf "$raw"
mkdir -p "$raw"
log "building the benchmarks in $dir"
if ! cmake --build "$dir" -j"${BENCH_JOBS:-2}" --target risk_benchmarks >"$raw/build.log" 2>&1; then
  tail -40 "$raw/build.log" >&2
  echo "build failed in $dir" >&2
  exit 1
fi
grep -E 'warning' "$raw/build.log" >&2 || true

# Google Benchmark: medians of repetitions.
if [ "$quick" -eq 1 ]; then
  gb=(--benchmark_repetitions=3 --benchmark_min_time=0.02)
  export BENCH_QUICK=1
else
  gb=(--benchmark_repetitions=5 --benchmark_min_time=0.1)
fi
gb+=(--benchmark_report_aggregates_only=true --benchmark_format=json)
export RISK_LOG=off

run_gbench() {  # name binary [env...]
  local name=$1 binary=$2
  shift 2
  [ -x "$binary" ] || { log "no $binary: skipping $name"; return 0; }
  log "running $(basename "$binary") ($name)"
  env "$@" "$binary" "${gb[@]}" >"$raw/$name.json" 2>"$raw/$name.log"
}
run_gbench crypto-native "$dir/crypto/crypto_bench"
run_gbench crypto-c "$dir/crypto/crypto_bench" OPENSSL_ia32cap=0
run_gbench json "$dir/crypto/json/json_bench"
run_gbench wire "$dir/bench/wire_bench"
run_gbench collect "$dir/bench/collect_bench"

log "Node measurements"
RISK_BUILD_DIR="$dir" node "$ROOT/bench/node/run.js" >"$raw/node.json"

log "size of the library"
node "$ROOT/bench/size.js" --lib "$dir/libQuonRiskComm.so" --archives "$dir" --label x86_64 \
  >"$raw/size-x86_64.json"

log "report"
node "$ROOT/bench/report.js" --dir "$raw" --out "$dir/bench.json" | tee "$dir/bench.txt"
log "figures written to $dir/bench.json (table: $dir/bench.txt)"
