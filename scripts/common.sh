# Shared set-up for the README's commands: packages, npm modules, build.
# Sourced, not run. Every step is safe to repeat.

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

# Debian packages the build, the tests and the tools need.
RISK_DEBS=(build-essential cmake pkg-config zlib1g-dev libminizip-dev libprotobuf-c-dev
  protobuf-c-compiler protobuf-compiler libgtest-dev libbenchmark-dev libssl-dev
  python3 unzip strace)

log() { printf '==> %s\n' "$*" >&2; }

# A package counts as installed when its build for this machine's own
# architecture (or its architecture-independent build) is: dpkg-query prints
# one line per installed architecture, and the arm64 -dev packages that
# scripts/package.sh adds say nothing about the native ones.
ensure_debs() {
  local missing=() pkg native want status
  native=$(dpkg --print-architecture)
  for pkg in "$@"; do
    # A package named with its architecture (zlib1g-dev:arm64) is wanted for
    # that one; any other for the machine's own.
    want=$native
    [[ $pkg == *:* ]] && want=${pkg##*:}
    if status=$(dpkg-query -W -f='${Architecture} ${Status}\n' "$pkg" 2>/dev/null) &&
       grep -qx -e "$want install ok installed" -e "all install ok installed" <<<"$status"; then
      continue
    fi
    missing+=("$pkg")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  if [ "$(id -u)" -ne 0 ]; then
    echo "Missing Debian packages. Run as root:" >&2
    echo "  apt-get update && apt-get install -y ${missing[*]}" >&2
    exit 1
  fi
  log "installing ${missing[*]}"
  apt-get update -qq >&2
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >&2
}

ensure_node() {
  local major
  major=$(node -p 'process.versions.node.split(".")[0]' 2>/dev/null || echo 0)
  if [ "$major" -lt 20 ] || [ ! -f /usr/include/node/node_api.h ]; then
    echo "Node.js 20 or later with its headers (/usr/include/node) is required." >&2
    exit 1
  fi
}

# npm ci from the committed lock file, only when the lock file changed: the
# app's package (js/) and the token service's (js/service/, with the
# database drivers). better-sqlite3 is compiled here against the installed
# Node's headers: no prebuilt binary is fetched.
ensure_npm() {
  local dir stamp
  for dir in "$ROOT/js" "$ROOT/js/service"; do
    stamp="$dir/node_modules/.risk-lock"
    if [ -f "$stamp" ] && cmp -s "$stamp" "$dir/package-lock.json"; then continue; fi
    log "npm ci in ${dir#"$ROOT"/}"
    (cd "$dir" && npm_config_build_from_source=true npm ci --no-audit --no-fund --loglevel=error >&2)
    cp "$dir/package-lock.json" "$stamp"
  done
}

# build DIR [--target T]... [cmake args...]: configures DIR when it has never
# been configured or was configured with other cmake arguments, then builds
# the named targets (every target when none is named). All output goes to
# standard error; a failing step ends the script with the build's own error
# lines and a non-zero exit.
build() {
  local dir="$ROOT/$1"; shift
  local -a targets=() args=()
  while [ $# -gt 0 ]; do
    if [ "$1" = "--target" ]; then targets+=(--target "$2"); shift 2
    else args+=("$1"); shift
    fi
  done
  local stamp="$dir/.risk-cmake-args" wanted
  wanted=$(printf '%s\n' "${args[@]+"${args[@]}"}")
  if [ ! -f "$dir/CMakeCache.txt" ] || [ ! -f "$stamp" ] || [ "$(cat "$stamp")" != "$wanted" ]; then
    log "configuring $dir"
    # A cache keeps every earlier -D setting: start from a clean one.
    rm -f "$stamp" "$dir/CMakeCache.txt"
    mkdir -p "$dir"
    cmake -S "$ROOT" -B "$dir" "${args[@]+"${args[@]}"}" >"$dir/configure.log" 2>&1 ||
      { cat "$dir/configure.log" >&2; echo "configuring $dir failed" >&2; exit 1; }
    printf '%s' "$wanted" >"$stamp"
  fi
  log "building $dir${targets[*]:+ (${targets[*]})}"
  cmake --build "$dir" -j"$(nproc)" "${targets[@]+"${targets[@]}"}" >"$dir/build.log" 2>&1 ||
    { grep -E -A3 'error|Error' "$dir/build.log" >&2 || tail -40 "$dir/build.log" >&2
      echo "build failed in $dir (whole log: $dir/build.log)" >&2; exit 1; }
  grep -E 'warning:' "$dir/build.log" >&2 || [ $? -eq 1 ]
}

setup_all() {
  ensure_debs "${RISK_DEBS[@]}"
  ensure_node
  ensure_npm
}
