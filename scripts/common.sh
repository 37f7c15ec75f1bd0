# Shared set-up for the README's commands: packages, npm modules, build.
# Sourced, not run. Every step is safe to repeat.

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

# Debian packages the build, the tests and the tools need.
RISK_DEBS=(build-essential cmake pkg-config zlib1g-dev libminizip-dev libprotobuf-c-dev
  protobuf-c-compiler protobuf-compiler libgtest-dev libbenchmark-dev libssl-dev
  python3 unzip)

log() { printf '==> %s\n' "$*" >&2; }

ensure_debs() {
  local missing=() pkg
  for pkg in "$@"; do
    dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed' || missing+=("$pkg")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  if [ "$(id -u)" -ne 0 ]; then
    echo "Missing Debian packages. Run as root:" >&2
    echo "  apt-get update && apt-get install -y ${missing[*]}" >&2
    exit 1
  fi
  log "installing ${missing[*]}"
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
}

ensure_node() {
  local major
  major=$(node -p 'process.versions.node.split(".")[0]' 2>/dev/null || echo 0)
  if [ "$major" -lt 20 ] || [ ! -f /usr/include/node/node_api.h ]; then
    echo "Node.js 20 or later with its headers (/usr/include/node) is required." >&2
    exit 1
  fi
}

# npm ci from the committed lock file, only when the lock file changed.
ensure_npm() {
  local stamp="$ROOT/js/node_modules/.risk-lock"
  if [ -f "$stamp" ] && cmp -s "$stamp" "$ROOT/js/package-lock.json"; then return 0; fi
  log "npm ci"
  (cd "$ROOT/js" && npm ci --no-audit --no-fund --loglevel=error >/dev/null)
  cp "$ROOT/js/package-lock.json" "$stamp"
}

# build DIR [cmake args...]: configure once, then build.
build() {
  local dir="$ROOT/$1"; shift
  if [ ! -f "$dir/CMakeCache.txt" ]; then
    log "configuring $dir"
    cmake -S "$ROOT" -B "$dir" "$@" >/dev/null
  fi
  log "building $dir"
  cmake --build "$dir" -j"$(nproc)" 2>&1 | grep -E 'warning|error|Error' || true
  [ "${PIPESTATUS[0]}" -eq 0 ] || { echo "build failed in $dir" >&2; exit 1; }
}

setup_all() {
  ensure_debs "${RISK_DEBS[@]}"
  ensure_node
  ensure_npm
}
