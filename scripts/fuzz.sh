#!/usr/bin/env bash
# Fuzzes the library's decoders and parsers: builds the targets of fuzz/
# with clang 14, libFuzzer, ASan and UBSan in build-fuzz, then runs each one
# for the given number of seconds (default 30), starting from its committed
# seeds (fuzz/corpus/<name>) and regressions (fuzz/regressions/<name>), and
# prints how many inputs each run executed.
#
#   scripts/fuzz.sh [seconds] [target...]     e.g. scripts/fuzz.sh 60 json_parse
#
# Inputs that widen coverage collect in build-fuzz/corpus/<name>. An input
# that crashes a target is saved as build-fuzz/crashes/<name>-crash-<sha1>;
# copy it into fuzz/regressions/<name>/ under a name that says what it
# breaks, fix the fault, and ctest replays it from then on (FuzzReplay.<name>).
set -euo pipefail
. "$(dirname "$0")/common.sh"

seconds=${1:-30}
[ $# -gt 0 ] && shift
[[ "$seconds" =~ ^[0-9]+$ ]] || { echo "usage: $0 [seconds] [target...]" >&2; exit 2; }

ensure_debs "${RISK_DEBS[@]}" clang-14 libclang-rt-14-dev

dir="$ROOT/build-fuzz"
sanitizers="-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer"
# -O1 -g without NDEBUG: assertions stay on while fuzzing.
build build-fuzz --target risk_fuzzers -DRISK_FUZZ=ON -DRISK_BUILD_TESTS=OFF \
  -DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14 \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_FLAGS_RELWITHDEBINFO="-O1 -g" \
  -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g" \
  -DCMAKE_C_FLAGS="$sanitizers" -DCMAKE_CXX_FLAGS="$sanitizers" \
  -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=address,undefined"

if [ $# -gt 0 ]; then
  targets=("$@")
else
  targets=()
  for source in "$ROOT"/fuzz/*_fuzz.cc; do
    name=$(basename "$source" _fuzz.cc)
    targets+=("$name")
  done
fi

# Larger inputs where the interesting boundaries lie further in (the line
# reader's 4000-byte buffers, archives with several entries).
max_len_of() {
  case "$1" in
    line_reader|unpack_archive) echo 16384 ;;
    *) echo 4096 ;;
  esac
}

mkdir -p "$dir/logs" "$dir/crashes"
failed=()
summary=()
for name in "${targets[@]}"; do
  binary="$dir/fuzz/${name}_fuzz"
  [ -x "$binary" ] || { echo "no fuzz target $name" >&2; exit 2; }
  work="$dir/corpus/$name"
  mkdir -p "$work"
  inputs=("$work" "$ROOT/fuzz/corpus/$name")
  [ -d "$ROOT/fuzz/regressions/$name" ] && inputs+=("$ROOT/fuzz/regressions/$name")
  log "fuzzing $name for ${seconds}s"
  status=0
  RISK_LOG=off ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
    "$binary" -max_total_time="$seconds" -max_len="$(max_len_of "$name")" -timeout=10 \
    -print_final_stats=1 -artifact_prefix="$dir/crashes/$name-" "${inputs[@]}" \
    >"$dir/logs/$name.log" 2>&1 || status=$?
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$dir/logs/$name.log" | tail -1)
  if [ "$status" -ne 0 ]; then
    failed+=("$name")
    summary+=("$(printf '%-20s FAILED (exit %d) after %s executions; log %s' \
      "$name" "$status" "${runs:-?}" "$dir/logs/$name.log")")
    grep -E 'ERROR|SUMMARY|fuzz property broken|Test unit written' "$dir/logs/$name.log" >&2 || [ $? -eq 1 ]
  else
    summary+=("$(printf '%-20s %12s executions in %ss, corpus %s inputs' \
      "$name" "${runs:-?}" "$seconds" "$(ls "$work" | wc -l)")")
  fi
done

log "fuzz results"
printf '%s\n' "${summary[@]}"
if [ ${#failed[@]} -gt 0 ]; then
  echo "fuzz targets that crashed: ${failed[*]} (inputs in $dir/crashes)" >&2
  exit 1
fi
