#!/usr/bin/env bash
# Structure, type and lock-rule checks:
#   1. the JavaScript type-checks (tsc): the app package and the
#      demonstration, strictly (js/tsconfig.json), the tests, their fixtures
#      and the benchmark scripts (js/tsconfig.dev.json), an application and a
#      backend in TypeScript against the declarations (js/test/fixtures) and
#      the token service (js/service/tsconfig.json); every JavaScript file
#      of those carries // @ts-check (js/test/types.test.js checks that too);
#   2. a clang build (build-lint) of every target with -Wthread-safety
#      -Werror=thread-safety: a field marked GUARDED_BY touched without its
#      lock, or a REQUIRES not met, fails the build;
#   3. the target graph (cmake --graphviz of build-lint) has no circle among
#      our targets (scripts/target_cycles.py), and no CMakeLists asks CMake
#      to repeat libraries (LINK_INTERFACE_MULTIPLICITY);
#   4. the includes follow the floors (scripts/include_links.py, from the
#      target graph and build-lint's compile_commands.json): every
#      #include "dir/file.h" names a header of a target the including one
#      links, each folder's libraries link only their own and lower folders,
#      and a library compiles only sources of its own folder;
#   5. nothing below the platform includes the script engine's headers
#      (node_api.h or anything of bridge/); tests and test helpers aside;
#   6. every C and C++ file is laid out as .clang-format says (clang-format
#      14; the JSON layer keeps its own layout, crypto/json/.clang-format).
set -euo pipefail
. "$(dirname "$0")/common.sh"

setup_all
ensure_debs clang-14 clang-format-14

log "JavaScript types (tsc)"
for project in tsconfig.json tsconfig.dev.json test/fixtures/tsconfig.json service/tsconfig.json; do
  (cd "$ROOT/js" && node node_modules/typescript/bin/tsc -p "$project" --pretty false) >&2
done

log "clang thread-safety build (build-lint)"
build build-lint -DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14 \
  "-DCMAKE_CXX_FLAGS=-Wthread-safety -Werror=thread-safety" -DCMAKE_EXPORT_COMPILE_COMMANDS=ON

log "target graph"
graph_dir="$ROOT/build-lint/graph"
rm -rf "$graph_dir" && mkdir -p "$graph_dir"
cmake --graphviz="$graph_dir/targets.dot" "$ROOT/build-lint" >"$graph_dir/cmake.log" 2>&1 ||
  { cat "$graph_dir/cmake.log" >&2; echo "cmake --graphviz failed" >&2; exit 1; }
python3 "$ROOT/scripts/target_cycles.py" "$graph_dir/targets.dot" >&2
if grep -rn --include=CMakeLists.txt --include='*.cmake' LINK_INTERFACE_MULTIPLICITY "$ROOT" \
     --exclude-dir='build*' --exclude-dir=node_modules >&2; then
  echo "LINK_INTERFACE_MULTIPLICITY is set: some targets link each other in a circle" >&2
  exit 1
fi

log "includes against the target links and the folder floors"
python3 "$ROOT/scripts/include_links.py" "$ROOT" "$ROOT/build-lint" "$graph_dir/targets.dot" >&2

log "script engine headers below the platform"
cd "$ROOT"
if grep -rnE '#include [<"](node_api\.h|bridge/)' base crypto collect situation core \
     --include='*.h' --include='*.cc' --exclude='*_test.cc' --exclude-dir=testing >&2; then
  echo "these files below the platform include the script engine's headers" >&2
  exit 1
fi
log "layout (clang-format)"
mapfile -t sources < <(git -C "$ROOT" ls-files '*.c' '*.cc' '*.h')
(cd "$ROOT" && clang-format-14 --dry-run --Werror "${sources[@]}") ||
  { echo "run clang-format-14 -i on the files above" >&2; exit 1; }
log "lint: clean"
