#!/usr/bin/env bash
# Packs the two packages of pure JavaScript into dist/, beside the app's
# (scripts/package.sh runs this last; it also runs alone):
#   quon-risk-comm-server-<version>.tgz  the backend's half: server.js, its
#       types and the lib/ files it requires; no native code, no database
#       driver (the app's package also offers it as quon-risk-comm/server)
#   quon-risk-service-<version>.tgz      the token service: js/service/ with
#       the lib/ files it requires, its database drivers as dependencies and
#       its `risk` command
# Each is staged in build-package/<name>/ and checked: nothing native, no
# tests, and only the service depends on a database driver.
set -euo pipefail
. "$(dirname "$0")/common.sh"
ensure_node
ensure_npm

work="$ROOT/build-package"
dist="$ROOT/dist"
mkdir -p "$dist"

# copy_closure STAGE ENTRY...: copies into STAGE/lib/ the files of js/lib/
# that the entries require, directly or through each other.
copy_closure() {
  local stage=$1
  shift
  node - "$ROOT/js" "$stage" "$@" <<'JS'
const fs = require('node:fs');
const path = require('node:path');
const [jsDir, stage, ...entries] = process.argv.slice(2);
const seen = new Set();
const walk = (file) => {
  const text = fs.readFileSync(file, 'utf8');
  for (const m of text.matchAll(/require\(\s*['"`]((?:\.\.?\/|\$\{LIB\}\/)[^'"`]+)['"`]\s*\)/g)) {
    const name = m[1].replace('${LIB}', '../lib');
    const target = path.resolve(path.dirname(file), name.endsWith('.js') ? name : `${name}.js`);
    if (!target.startsWith(path.join(jsDir, 'lib') + path.sep) || seen.has(target)) continue;
    seen.add(target);
    walk(target);
  }
};
for (const e of entries) walk(path.resolve(e));
fs.mkdirSync(path.join(stage, 'lib'), { recursive: true });
for (const f of seen) fs.copyFileSync(f, path.join(stage, 'lib', path.basename(f)));
process.stdout.write(`${[...seen].map((f) => path.basename(f)).sort().join(' ')}\n`);
JS
}

# check_tarball FILE DRIVERS_ALLOWED: no native code, no tests; a database
# driver only where allowed.
check_tarball() {
  local tarball=$1 drivers=$2
  if tar -tzf "$tarball" | grep -E '^package/(test/|node_modules/)|\.node$|\.so$'; then
    echo "$tarball carries tests, modules or native code" >&2
    exit 1
  fi
  local deps
  deps=$(tar -xzOf "$tarball" package/package.json | node -e 'process.stdout.write(Object.keys(JSON.parse(require("fs").readFileSync(0)).dependencies || {}).join(" "))')
  if [ "$drivers" = no ] && [[ " $deps " =~ \ (better-sqlite3|pg)\  ]]; then
    echo "$tarball depends on a database driver: $deps" >&2
    exit 1
  fi
  log "$(basename "$tarball"): $(stat -c %s "$tarball") bytes, depends on: $deps"
}

version=$(node -p 'require(process.argv[1]).version' "$ROOT/js/package.json")

# The backend's half.
stage="$work/server"
rm -rf "$stage"
mkdir -p "$stage"
cp "$ROOT/js/server.js" "$ROOT/js/server.d.ts" "$stage/"
libs=$(copy_closure "$stage" "$ROOT/js/server.js")
log "server: lib/ $libs"
cp "$ROOT/core/risk.proto" "$stage/lib/risk.proto"
cp "$ROOT/LICENSE" "$stage/LICENSE"
# Its README: the backend's section of the app package's manual.
{
  echo "# quon-risk-comm-server"
  echo
  echo "The backend's half of QuonRiskComm, without the native library:"
  echo "\`require('quon-risk-comm-server')\` is what \`require('quon-risk-comm/server')\` is in the app's package."
  echo
  sed -n '/^## The backend.s half/,/^## /p' "$ROOT/js/README.md" | sed '$d' | sed 's/^## /### /'
} >"$stage/README.md"
node - "$ROOT/js/package.json" "$stage" <<'JS'
const fs = require('node:fs');
const path = require('node:path');
const [appPackage, stage] = process.argv.slice(2);
const app = JSON.parse(fs.readFileSync(appPackage, 'utf8'));
const libs = fs.readdirSync(path.join(stage, 'lib')).map((f) => fs.readFileSync(path.join(stage, 'lib', f), 'utf8')).join('\n')
  + fs.readFileSync(path.join(stage, 'server.js'), 'utf8');
const dependencies = Object.fromEntries(Object.entries(app.dependencies)
  .filter(([name]) => libs.includes(`require('${name}')`)));
const pkg = {
  name: 'quon-risk-comm-server',
  version: app.version,
  description: 'The backend\'s half of QuonRiskComm: opens degrade tokens and business signs, no native code',
  main: 'server.js',
  types: 'server.d.ts',
  files: ['server.js', 'server.d.ts', 'lib/', 'README.md', 'LICENSE'],
  license: app.license,
  engines: app.engines,
  dependencies,
};
fs.writeFileSync(path.join(stage, 'package.json'), `${JSON.stringify(pkg, null, 2)}\n`);
JS
tarball=$(cd "$stage" && npm pack --silent --pack-destination "$dist")
check_tarball "$dist/$tarball" no

# The token service.
stage="$work/service"
rm -rf "$stage"
mkdir -p "$stage"
tar -C "$ROOT/js/service" --exclude=./node_modules -cf - . | tar -C "$stage" -xf -
libs=$(copy_closure "$stage" "$ROOT/js/service/"*.js)
log "service: lib/ $libs"
cp "$ROOT/core/risk.proto" "$stage/lib/risk.proto"
cp "$ROOT/LICENSE" "$stage/LICENSE"
tarball=$(cd "$stage" && npm pack --silent --pack-destination "$dist")
check_tarball "$dist/$tarball" yes
tar -tzf "$dist/$tarball" | sort

# The app's package, when built: its native library and the test kit (the
# service's development mode with its store in memory), no database store,
# no driver.
app="$dist/quon-risk-comm-$version.tgz"
if [ -f "$app" ]; then
  if tar -tzf "$app" | grep '^package/service/' | grep -vE '^package/service/(apps|backend-api|codecs|store-calls|development|exchange|fault-modes|http-io|listeners|metrics|paths|records|service|signals|status-endpoints|store/index|store/memory|timers|tokens)\.js$'; then
    echo "$app carries more of the token service than its test kit" >&2
    exit 1
  fi
  deps=$(tar -xzOf "$app" package/package.json | node -e 'process.stdout.write(Object.keys(JSON.parse(require("fs").readFileSync(0)).dependencies || {}).join(" "))')
  if [[ " $deps " =~ \ (better-sqlite3|pg)\  ]]; then
    echo "$app depends on a database driver" >&2
    exit 1
  fi
fi

# Smoke runs of the two tarballs as unpacked, on the modules installed here:
# the backend's half loads; the service registers an app, serves on a free
# port and stops on SIGTERM.
smoke="$work/smoke"
rm -rf "$smoke"
mkdir -p "$smoke/server" "$smoke/service"
tar -C "$smoke/server" --strip-components=1 -xzf "$dist/quon-risk-comm-server-$version.tgz"
tar -C "$smoke/service" --strip-components=1 -xzf "$dist/quon-risk-service-$version.tgz"
ln -s "$ROOT/js/node_modules" "$smoke/server/node_modules"
ln -s "$ROOT/js/service/node_modules" "$smoke/service/node_modules"
node -e 'const s = require(process.argv[1]); if (typeof s.openBusinessSign !== "function") process.exit(1)' "$smoke/server"
node "$smoke/service/cli.js" apps add --db "$smoke/risk.db" --app-key smoke --json >/dev/null
node "$smoke/service/cli.js" serve --db "$smoke/risk.db" --port 0 >"$smoke/serve.out" 2>"$smoke/serve.err" &
serve_pid=$!
for _ in $(seq 50); do
  grep -q '^http://127\.0\.0\.1:[0-9]*$' "$smoke/serve.out" && break
  sleep 0.1
done
url=$(head -1 "$smoke/serve.out")
health=$(node -e 'fetch(process.argv[1] + "/health").then((r) => r.text()).then((t) => process.stdout.write(t))' "$url")
kill -TERM "$serve_pid"
wait "$serve_pid"
[ "$health" = '{"status":"ok","database":"up"}' ] || { echo "the packed service answered $health" >&2; exit 1; }
rm -rf "$smoke"
log "dist/quon-risk-comm-server-$version.tgz and dist/quon-risk-service-$version.tgz: packed and run"
