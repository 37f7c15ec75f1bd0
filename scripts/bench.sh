#!/usr/bin/env bash
# The benchmark command: builds the library, the benchmarks and the bench
# addon in release mode (build-release), runs the C++ benchmarks (Google
# Benchmark), the Node measurements against the reference service and the
# size analysis, then prints one table with figures, ratios and budgets side
# by side and writes the same figures to build-release/bench.json. Last, the
# token service's figures (bench/service/run.js: SQLite and, when Debian's
# server is installed, PostgreSQL), in a table of their own (with --runs N,
# one per run and then their medians and spreads),
# build-release/bench-service.txt.
#
#   scripts/bench.sh            full run (about ten minutes on two cores)
#   scripts/bench.sh --quick    smaller counts, for a smoke run
#   scripts/bench.sh --runs N   the measurements N times over, one table each
#                               (build-release/bench-N.txt), then the README's
#                               table from all of them: each figure's median
#                               and spread, the runs' dates and the machine
#                               (build-release/bench-readme.md)
#
# The natives are measured on, and the size is that of, the binaries the
# package ships (scripts/package.sh --binaries: static, Release, stripped,
# x86_64 and aarch64); the C++ benchmarks and the floor's addon come from
# build-release. Raw results stay in build-release/bench-raw/ (of the last
# run). The machine should be
# otherwise idle: every figure is a median, but thread starts and the
# script thread's wake-ups suffer from other load.
# On a machine shared with other work,
# BENCH_NICE=-10 (as root) runs the measurements ahead of it.
set -euo pipefail
. "$(dirname "$0")/common.sh"

quick=0
runs=1
while [ $# -gt 0 ]; do
  case "$1" in
    --quick) quick=1 ;;
    --runs)
      [[ "${2:-}" =~ ^[1-9][0-9]*$ ]] || { echo "usage: $0 [--quick] [--runs N]" >&2; exit 2; }
      runs=$2
      shift ;;
    *) echo "usage: $0 [--quick] [--runs N]" >&2; exit 2 ;;
  esac
  shift
done

setup_all
dir="$ROOT/build-release"
raw="$dir/bench-raw"
build build-release --target risk_benchmarks -DCMAKE_BUILD_TYPE=Release

log "the binaries the package ships"
"$ROOT/scripts/package.sh" --binaries
shipped="$ROOT/build-package/stage/prebuilds"
export BENCH_LIBRARY="$shipped/linux-x64/libQuonRiskComm.so"

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

# The size of each shipped binary, with the objects and symbols it is made
# of (the unstripped build beside it, its folder archives, minizip and the
# protobuf-c runtime).
ship_size() {  # arch triplet tools-prefix
  local arch=$1 triplet=$2 tools=$3 build="$ROOT/build-package/$1"
  node "$ROOT/bench/size.js" --lib "$build/libQuonRiskComm.so" --archives "$build" \
    --shipped "$shipped/linux-$arch/libQuonRiskComm.so" --tools "$tools" --label "linux-$arch" \
    --extra-archive "/usr/lib/$triplet/libminizip.a" \
    --extra-archive "$ROOT/build-package/$arch-deps/libprotobuf-c-pic.a" >"$raw/size-linux-$arch.json"
}

measure_once() {  # run number
  rm -rf "$raw"
  mkdir -p "$raw"
  run_gbench crypto-native "$dir/crypto/crypto_bench"
  run_gbench crypto-c "$dir/crypto/crypto_bench" OPENSSL_ia32cap=0
  run_gbench json "$dir/crypto/json/json_bench"
  run_gbench wire "$dir/bench/wire_bench"
  run_gbench collect "$dir/bench/collect_bench"

  log "Node measurements (run $1 of $runs)"
  RISK_BUILD_DIR="$dir" "${measure[@]}" node "$ROOT/bench/node/run.js" >"$raw/node.json"

  log "the backend's half against forged inputs"
  "${measure[@]}" node "$ROOT/bench/node/server.js" >"$raw/server.json"

  log "size of the shipped binaries"
  ship_size x64 x86_64-linux-gnu ""
  ship_size arm64 aarch64-linux-gnu aarch64-linux-gnu-

  log "report"
  BENCH_BUILD_NOTE="the shipped binaries (Release, static); measured at nice ${BENCH_NICE:-0}" \
    node "$ROOT/bench/report.js" --dir "$raw" --out "$dir/bench.json" | tee "$dir/bench.txt"
  log "figures written to $dir/bench.json (table: $dir/bench.txt)"
}

if [ "$runs" -eq 1 ]; then
  measure_once 1
else
  combined=()
  for ((i = 1; i <= runs; i++)); do
    measure_once "$i"
    cp "$dir/bench.json" "$dir/bench-$i.json"
    cp "$dir/bench.txt" "$dir/bench-$i.txt"
    combined+=("$dir/bench-$i.json")
  done
  log "the README's table: median and spread of $runs runs"
  node "$ROOT/bench/report.js" --combine "${combined[@]}" --out "$dir/bench-readme.md"
fi

log "token service: exchanges and verifies per second, latency at half capacity"
"${measure[@]}" node "$ROOT/bench/service/run.js" ${BENCH_QUICK:+--quick} --runs "$runs" | tee "$dir/bench-service.txt"
