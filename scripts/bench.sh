#!/usr/bin/env bash
# The benchmark command: builds the library, the benchmarks and the bench
# addon in release mode (build-release), runs the C++ benchmarks (Google
# Benchmark), the Node measurements against the reference service and the
# size analysis, then prints one table with figures, ratios and budgets side
# by side and writes the same figures to build-release/bench.json. Last, the
# token service's figures (bench/service/run.js: SQLite and, when Debian's
# server is installed, PostgreSQL), in a table of their own,
# build-release/bench-service.txt.
#
#   scripts/bench.sh            full run (about ten minutes on two cores)
#   scripts/bench.sh --quick    smaller counts, for a smoke run
#
# Raw results stay in build-release/bench-raw/. The machine should be
# otherwise idle: every figure is a median, but thread starts and the
# script thread's wake-ups suffer from other load.
# On a machine shared with other work,
# BENCH_NICE=-10 (as root) runs the measurements ahead of it.
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
rm -rf "$raw"
mkdir -p "$raw"
build build-release --target risk_benchmarks -DCMAKE_BUILD_TYPE=Release

# Google Benchmark: medians of repetitions.
if [ "$quick" -eq 1 ]; then
  gb=(--benchmark_repetitions=3 --benchmark_min_time=0.02)
  export BENCH_QUICK=1
else
  gb=(--benchmark_repetitions=5 --benchmark_min_time=0.1)
fi
gb+=(--benchmark_report_aggregates_only=true --benchmark_format=json)
export RISK_LOG=off

measure=(nice -n "${BENCH_NICE:-0}")

run_gbench() {  # name binary [env...]
  local name=$1 binary=$2
  shift 2
  [ -x "$binary" ] || { log "no $binary: skipping $name"; return 0; }
  log "running $(basename "$binary") ($name)"
  "${measure[@]}" env "$@" "$binary" "${gb[@]}" >"$raw/$name.json" 2>"$raw/$name.log"
}
run_gbench crypto-native "$dir/crypto/crypto_bench"
run_gbench crypto-c "$dir/crypto/crypto_bench" OPENSSL_ia32cap=0
run_gbench json "$dir/crypto/json/json_bench"
run_gbench wire "$dir/bench/wire_bench"
run_gbench collect "$dir/bench/collect_bench"

log "Node measurements"
RISK_BUILD_DIR="$dir" "${measure[@]}" node "$ROOT/bench/node/run.js" >"$raw/node.json"

log "the backend's half against forged inputs"
"${measure[@]}" node "$ROOT/bench/node/server.js" >"$raw/server.json"

log "size of the library"
node "$ROOT/bench/size.js" --lib "$dir/libQuonRiskComm.so" --archives "$dir" --label x86_64-O3 \
  >"$raw/size-x86_64-O3.json"

# aarch64: cross-builds of the library alone, when the cross toolchain and
# the arm64 -dev packages are installed (scripts/arm64.sh installs them): in
# the project's default build type (RelWithDebInfo, -O2: what scripts/run.sh
# ships, stripped) and in Release (-O3, as benchmarked here).
toolchain="$ROOT/cmake/aarch64-toolchain.cmake"
arm_size() {  # build type, directory, label
  local type=$1 arm=$2 label=$3
  build "${arm#"$ROOT/"}" --target QuonRiskComm -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
    -DCMAKE_BUILD_TYPE="$type" -DRISK_BUILD_TESTS=OFF -DNODE_API_INCLUDE_DIR=/usr/include/node
  node "$ROOT/bench/size.js" --lib "$arm/libQuonRiskComm.so" --archives "$arm" \
    --tools aarch64-linux-gnu- --label "$label" >"$raw/size-$label.json"
}
if [ -f "$toolchain" ] && command -v aarch64-linux-gnu-g++ >/dev/null &&
   [ -f /usr/lib/aarch64-linux-gnu/pkgconfig/minizip.pc ]; then
  arm_size RelWithDebInfo "$ROOT/build-relwithdebinfo-arm64" aarch64
  arm_size Release "$ROOT/build-release-arm64" aarch64-O3
else
  log "no aarch64 cross toolchain (scripts/arm64.sh installs it): no aarch64 size"
fi

log "report"
BENCH_BUILD_NOTE="build-release (Release); measured at nice ${BENCH_NICE:-0}" node "$ROOT/bench/report.js" --dir "$raw" --out "$dir/bench.json" | tee "$dir/bench.txt"
log "figures written to $dir/bench.json (table: $dir/bench.txt)"

log "token service: exchanges and verifies per second, latency at half capacity"
"${measure[@]}" node "$ROOT/bench/service/run.js" ${BENCH_QUICK:+--quick} | tee "$dir/bench-service.txt"
