// @ts-check
'use strict';
// The installable package: which library file the loader takes (RISK_LIBRARY,
// the package's binary for this platform, the build tree), the one-line
// errors when there is none or it does not load, the warnings about
// settings the library would misread, what `npm pack` puts in the tarball,
// and Node's built-ins required by their "node:" names everywhere.

const test = require('node:test');
const assert = require('node:assert');
const fs = require('node:fs');
const path = require('node:path');
const { execFileSync, spawnSync } = require('node:child_process');
const { builtinModules } = require('node:module');

const risk = require('../index');
const pkg = require('../package.json');
const helpers = require('./fixtures/helpers');

const JS_DIR = path.join(__dirname, '..');
const LIBRARY = process.env.RISK_LIBRARY;

const tempDir = () => helpers.tempDir('package');

// A fake package folder with binaries for the given "<platform>-<arch>" names.
function fakePrebuilds(root, targets, content = 'not a library') {
  const dir = path.join(root, 'prebuilds');
  for (const t of targets) {
    fs.mkdirSync(path.join(dir, t), { recursive: true });
    fs.writeFileSync(path.join(dir, t, 'libQuonRiskComm.so'), content);
  }
  return dir;
}

test('the loader takes RISK_LIBRARY, else the binary of this platform, else the build tree', () => {
  const root = tempDir();
  try {
    const prebuilds = fakePrebuilds(root, ['linux-x64', 'linux-arm64']);
    const buildTree = path.join(root, 'build', 'libQuonRiskComm.so');
    /** @type {any[]} */
    const cases = [
      [{ env: { RISK_LIBRARY: 'x/lib.so' }, arch: 'x64' }, path.resolve('x/lib.so'), 'RISK_LIBRARY'],
      [{ env: {}, arch: 'x64' }, path.join(prebuilds, 'linux-x64', 'libQuonRiskComm.so'), 'package'],
      [{ env: {}, arch: 'arm64' }, path.join(prebuilds, 'linux-arm64', 'libQuonRiskComm.so'), 'package'],
    ];
    for (const [opts, file, from] of cases) {
      assert.deepStrictEqual(risk.libraryPath({ platform: 'linux', prebuilds, buildTree, ...opts }), { file, from });
    }
    fs.mkdirSync(path.dirname(buildTree));
    fs.writeFileSync(buildTree, '');
    assert.deepStrictEqual(risk.libraryPath({ env: {}, platform: 'linux', arch: 'ia32', prebuilds, buildTree }),
      { file: buildTree, from: 'build tree' });
  } finally {
    fs.rmSync(root, { recursive: true, force: true });
  }
});

test('no binary for the platform, or one that does not load: one line that says what to do', () => {
  const root = tempDir();
  try {
    const prebuilds = fakePrebuilds(root, ['linux-x64', 'linux-arm64']);
    const buildTree = path.join(root, 'nothing.so');
    assert.throws(() => risk.libraryPath({ env: {}, platform: 'darwin', arch: 'arm64', prebuilds, buildTree }), (e) => {
      assert.ok(e instanceof risk.LibraryError);
      assert.strictEqual(e.code, 'RISK_LIBRARY_UNAVAILABLE');
      assert.doesNotMatch(e.message, /\n/);
      assert.match(e.message, /no native library for darwin-arm64 \(this package carries linux-arm64, linux-x64\)/);
      assert.match(e.message, /set RISK_LIBRARY/);
      return true;
    });
    assert.throws(() => risk.load(path.join(prebuilds, 'linux-x64', 'libQuonRiskComm.so')), (/** @type {any} */ e) => {
      assert.strictEqual(e.code, 'RISK_LIBRARY_UNAVAILABLE');
      assert.doesNotMatch(e.message, /\n/);
      assert.match(e.message, /cannot load .*linux-x64\/libQuonRiskComm\.so: .*; set RISK_LIBRARY to a libQuonRiskComm\.so built for this machine/);
      return true;
    });
  } finally {
    fs.rmSync(root, { recursive: true, force: true });
  }
});

test('an installed copy loads its own binary without RISK_LIBRARY', { skip: !LIBRARY && 'RISK_LIBRARY not set' }, () => {
  const root = tempDir();
  try {
    // The loader and the bridge as npm installs them, the built library as
    // the package's binary of this platform, and no build tree beside them.
    const dir = path.join(root, 'node_modules', 'quon-risk-comm');
    fs.mkdirSync(path.join(dir, 'lib'), { recursive: true });
    const lib = fs.readdirSync(path.join(JS_DIR, 'lib')).map((f) => path.join('lib', f));
    for (const f of ['index.js', 'package.json', ...lib]) fs.copyFileSync(path.join(JS_DIR, f), path.join(dir, f));
    const target = path.join(dir, 'prebuilds', `${process.platform}-${process.arch}`);
    fs.mkdirSync(target, { recursive: true });
    fs.copyFileSync(LIBRARY, path.join(target, 'libQuonRiskComm.so'));
    const env = { ...process.env };
    delete env.RISK_LIBRARY;
    const out = execFileSync(process.execPath, ['-e', `
      const risk = require('quon-risk-comm');
      const native = risk.load();
      console.log(JSON.stringify({ where: risk.libraryPath(), names: Object.keys(native).sort() }));
    `], { cwd: root, env, encoding: 'utf8', timeout: 20000 });
    const { where, names } = JSON.parse(out);
    assert.deepStrictEqual(where, { file: path.join(target, 'libQuonRiskComm.so'), from: 'package' });
    assert.deepStrictEqual(names, [...risk.NATIVE_NAMES].sort());
  } finally {
    fs.rmSync(root, { recursive: true, force: true });
  }
});

test('settings the library would misread warn once each and pass unchanged', () => {
  // In a child: warnings are once per process.
  const run = spawnSync(process.execPath, ['-e', `
    const risk = require(${JSON.stringify(JS_DIR)});
    const options = [
      'KEY_URLL', 'http://a', 'KEY_MANAGER_ALGORITHM', 'sm4', 'KEY_URL', 'risk.example.com',
      'PRIVATE_NOTHING', '1', 'KEY_SITUATION_URL', 'https://ok.example', 'userId', '7',
    ];
    const passed = risk.checkSettings(options.slice());
    risk.checkSettings(options.slice());
    risk.checkSettings(['KEY_MANAGER_ALGORITHM', 'gm', 'KEY_URL', 'https://x.example', 'KEY_DELAY_MS_TIME', '100']);
    console.log(JSON.stringify(passed));
  `], { encoding: 'utf8', timeout: 20000 });
  assert.strictEqual(run.status, 0, run.stderr);
  assert.deepStrictEqual(JSON.parse(run.stdout), [
    'KEY_URLL', 'http://a', 'KEY_MANAGER_ALGORITHM', 'sm4', 'KEY_URL', 'risk.example.com',
    'PRIVATE_NOTHING', '1', 'KEY_SITUATION_URL', 'https://ok.example', 'userId', '7',
  ]);
  const warnings = run.stderr.split('\n').filter((l) => /Warning:/.test(l));
  assert.deepStrictEqual(warnings.map((l) => /\[(RISK_[A-Z_]+)\]/.exec(l)[1]), [
    'RISK_UNKNOWN_SETTING', 'RISK_UNKNOWN_ALGORITHM', 'RISK_URL_WITHOUT_SCHEME', 'RISK_UNKNOWN_SETTING',
  ]);
  assert.match(warnings[0], /unknown setting KEY_URLL \(did you mean KEY_URL\?\)/);
  assert.match(warnings[1], /KEY_MANAGER_ALGORITHM "sm4" is neither "legacy" nor "gm"/);
  assert.match(warnings[2], /KEY_URL "risk\.example\.com" has no scheme/);
  assert.match(warnings[3], /unknown setting PRIVATE_NOTHING;/);
});

test('service addresses and waits the library would misread warn once each', () => {
  // [options, the warning's code or null, what it says]
  /** @type {any[]} */
  const cases = [
    [['KEY_URL', 'http://risk.example.com/'], 'RISK_URL_TRAILING_SLASH', /posts to "\/" as given, not to "\/udid\/m1"/],
    [['KEY_URL', 'https://risk.example.com:8443/api/token'], 'RISK_URL_PATH', /the path "\/api\/token", not the service's "\/udid\/m1"/],
    [['KEY_URL', 'https://risk.example.com/udid/m1/'], 'RISK_URL_PATH', /the path "\/udid\/m1\/"/],
    [['KEY_SITUATION_URL', 'http://risk.example.com/udid/m1'], 'RISK_URL_PATH', /not the service's "\/udid\/sa-m"/],
    [['KEY_URL', 'ftp://risk.example.com'], 'RISK_URL_SCHEME', /the scheme ftp:, neither http nor https/],
    [['KEY_DELAY_MS_TIME', 'soon'], 'RISK_DELAY_NOT_A_NUMBER', /"soon" is not a number of milliseconds above 0; the library waits 5000 ms/],
    [['KEY_DELAY_MS_TIME', '250ms'], 'RISK_DELAY_NOT_A_NUMBER', /"250ms" .* the library waits 250 ms/],
    [['KEY_DELAY_MS_TIME', '0'], 'RISK_DELAY_NOT_A_NUMBER', /waits 5000 ms/],
    [['KEY_DELAY_MS_TIME', '45000'], 'RISK_DELAY_BEYOND_CAP', /45000 is beyond its cap; the library waits at most 30000 ms/],
    [['KEY_URL', 'https://risk.example.com'], null],
    [['KEY_URL', 'http://127.0.0.1:8080'], null],
    [['KEY_URL', 'https://risk.example.com/udid/m1'], null],
    [['KEY_SITUATION_URL', 'https://risk.example.com/udid/sa-m'], null],
    [['KEY_DELAY_MS_TIME', '30000'], null],
    [['KEY_DELAY_MS_TIME', ' 100 '], null],
  ];
  for (const [options, code, text] of cases) {
    const run = spawnSync(process.execPath, ['-e', `
      const risk = require(${JSON.stringify(JS_DIR)});
      const options = ${JSON.stringify(options)};
      risk.checkSettings(options.slice());
      console.log(JSON.stringify(risk.checkSettings(options.slice())));
    `], { encoding: 'utf8', timeout: 20000 });
    assert.strictEqual(run.status, 0, run.stderr);
    assert.deepStrictEqual(JSON.parse(run.stdout), options, 'passed on unchanged');
    const warnings = run.stderr.split('\n').filter((l) => /Warning:/.test(l));
    if (code === null) {
      assert.deepStrictEqual(warnings, [], options.join(' '));
    } else {
      assert.strictEqual(warnings.length, 1, `${options.join(' ')}: once\n${run.stderr}`);
      assert.ok(warnings[0].includes(`[${code}]`), warnings[0]);
      assert.match(warnings[0], text);
    }
  }
});

// The package's folder as scripts/package.sh stages it: js/ without its tests
// and modules, with the message schema and the licence.
const NOT_STAGED = new Set(['node_modules', 'test', 'prebuilds', path.join('service', 'node_modules')]);
function stagePackage(stage) {
  fs.cpSync(JS_DIR, stage, { recursive: true, filter: (src) => !NOT_STAGED.has(path.relative(JS_DIR, src)) });
  fs.copyFileSync(path.join(JS_DIR, '..', 'core', 'risk.proto'), path.join(stage, 'lib', 'risk.proto'));
  fs.copyFileSync(path.join(JS_DIR, '..', 'LICENSE'), path.join(stage, 'LICENSE'));
  return stage;
}

// npm pack in a staged copy; args: more arguments of npm pack.
function npmPack(stage, args) {
  return execFileSync('npm', ['pack', '--ignore-scripts', ...args], {
    cwd: stage, encoding: 'utf8', timeout: 60000, stdio: ['ignore', 'pipe', 'ignore'],
  });
}

test('npm pack ships the entry points, the examples and no tests', () => {
  const root = tempDir();
  let packed;
  try {
    [packed] = JSON.parse(npmPack(stagePackage(path.join(root, 'stage')), ['--dry-run', '--json']));
  } finally {
    fs.rmSync(root, { recursive: true, force: true });
  }
  const files = packed.files.map((f) => f.path);
  const targets = [pkg.main, pkg.types, ...Object.values(pkg.bin)];
  for (const entry of Object.values(pkg.exports)) {
    targets.push(...(typeof entry === 'string' ? [entry] : Object.values(entry)));
  }
  for (const t of targets) assert.ok(files.includes(path.normalize(t)), `${t} is packed`);
  assert.ok(files.includes('examples/backend.js'));
  // The token service is a package of its own, with the database drivers;
  // the app's carries its development mode, the test kit, with the store in
  // memory, and every file those require.
  assert.deepStrictEqual(files.filter((f) => f.startsWith('service/')).sort(), [
    'service/apps.js', 'service/backend-api.js', 'service/codecs.js', 'service/development.js',
    'service/exchange.js', 'service/fault-modes.js', 'service/http-io.js', 'service/listeners.js',
    'service/metrics.js', 'service/paths.js', 'service/records.js', 'service/service.js', 'service/signals.js',
    'service/status-endpoints.js', 'service/store-calls.js', 'service/store/index.js', 'service/store/memory.js',
    'service/timers.js', 'service/tokens.js',
  ]);
  for (const f of files.filter((name) => name.endsWith('.js'))) {
    const text = fs.readFileSync(path.join(JS_DIR, f), 'utf8');
    for (const m of text.matchAll(/require\(\s*['"`](\.\.?\/[^'"`$]+)['"`]\s*\)/g)) {
      const target = path.relative(JS_DIR, path.resolve(JS_DIR, path.dirname(f), m[1]));
      assert.ok([`${target}.js`, target, path.join(target, 'index.js')].some((t) => files.includes(t)),
        `${f} requires ${m[1]}, which is packed`);
    }
    assert.doesNotMatch(text, /require\(\s*['"](better-sqlite3|pg)['"]/, f);
  }
  for (const driver of ['better-sqlite3', 'pg']) assert.ok(!(driver in pkg.dependencies), driver);
  assert.deepStrictEqual(files.filter((f) => f.startsWith('test/') || f.startsWith('node_modules/')
    || f.startsWith('types/') || f === 'tsconfig.json' || (f.endsWith('.ts') && !f.endsWith('.d.ts'))), []);
  assert.strictEqual(pkg.license, 'Apache-2.0');
});

test('the error code table reads the same in the README, the types and the code', () => {
  const { ERROR_CODES } = require('../lib/codes');
  const readme = fs.readFileSync(path.join(JS_DIR, 'README.md'), 'utf8');
  const table = readme.slice(readme.indexOf('<!-- error-codes -->'), readme.indexOf('<!-- /error-codes -->'));
  const rows = table.split('\n').filter((l) => /^\| -?\d+ \|/.test(l)).map((l) => l.slice(2, -2).split(' | '));
  assert.deepStrictEqual(rows, ERROR_CODES.map((e) => [String(e.code), e.meaning, e.action, e.retry]));
  // The types carry code, meaning and retry, in a doc comment, twice.
  const expected = ERROR_CODES.map((e) => ` * | ${String(e.code).padEnd(5)} | ${e.meaning} | ${e.retry} |`);
  for (const file of ['index.d.ts', 'server.d.ts']) {
    const lines = fs.readFileSync(path.join(JS_DIR, file), 'utf8').split('\n').filter((l) => /^ \* \| -?\d/.test(l));
    assert.deepStrictEqual(lines, expected, file);
  }
});

// The built-ins a source text requires or imports without the "node:" prefix.
const BUILTINS = new Set(builtinModules.filter((m) => !m.startsWith('node:')));
function unprefixedBuiltins(text) {
  const names = [];
  for (const m of text.matchAll(/\b(?:require|import)\(\s*(['"`])([^'"`]+)\1\s*\)|\bfrom\s+(['"])([^'"]+)\3/g)) {
    const name = m[2] || m[4];
    if (BUILTINS.has(name)) names.push(name);
  }
  return names;
}

test('every script of the repository requires Node\'s built-ins by their node: names', () => {
  // The sample's "@" keeps this file itself clean under the scan below.
  const sample = `const fs = require('@fs'); require("node:os"); type F = typeof import('@fs/promises');
    import { x } from "@child_process"; require('./fs'); require('adm-zip');`.replaceAll('@', '');
  assert.deepStrictEqual(unprefixedBuiltins(sample), ['fs', 'fs/promises', 'child_process']);
  // The package, the tests and, in a checkout, the benchmarks and generators.
  const root = path.join(JS_DIR, '..');
  const skip = /^(\.git|node_modules|build.*|dist|prebuilds)$/;
  const files = [];
  const walk = (dir) => {
    for (const e of fs.readdirSync(dir, { withFileTypes: true })) {
      if (e.isDirectory() && !skip.test(e.name)) walk(path.join(dir, e.name));
      else if (e.isFile() && /\.(c|m)?(js|ts)$/.test(e.name)) files.push(path.join(dir, e.name));
    }
  };
  walk(fs.existsSync(path.join(root, 'CMakeLists.txt')) ? root : JS_DIR);
  assert.ok(files.includes(path.join(JS_DIR, 'index.js')) && files.includes(__filename));
  const found = files.flatMap((f) => unprefixedBuiltins(fs.readFileSync(f, 'utf8'))
    .map((name) => `${path.relative(root, f)}: ${name}`));
  assert.deepStrictEqual(found, []);
});

// An app developer's integration test, as it would sit in the app's own
// repository, run with node --test against the installed tarball.
const APP_TEST = `'use strict';
const test = require('node:test');
const assert = require('node:assert');
const risk = require('quon-risk-comm');
const { startService } = require('quon-risk-comm/testing');

const appKey = 'app-under-test';
let svc;
let sdk;
test.before(async () => {
  svc = await startService();
  const bridge = risk.createBridge({ prefsDir: process.env.APP_PREFS });
  bridge.warmUp();
  sdk = risk.setup(bridge, { name: 'com.example.app', versionCode: 1, versionName: '1.0' }, bridge.deviceInfo());
  risk.init(sdk, appKey, { KEY_URL: svc.url, KEY_SITUATION_URL: svc.url });
});
test.after(() => svc.close());

test('a token of the service', async () => {
  const outcome = await risk.getTokenDetailed(sdk, appKey, { KEY_URL: svc.url });
  assert.strictEqual(outcome.kind, 'service');
  const [request] = await svc.waitForRequests(1);
  assert.strictEqual(request.endpoint, 'token');
  assert.strictEqual(request.signOk, true);
  assert.strictEqual(request.answer.ulvok, outcome.token);
});

test('faults: a degrade token, and what to do', async () => {
  for (const [mode, reason, httpStatus] of [['http500', 'http', 500], ['down', 'connect', undefined]]) {
    svc.clear();
    await svc.setMode(mode, mode === 'down' ? {} : { times: 1 });
    const outcome = await risk.getTokenDetailed(sdk, appKey, { KEY_URL: svc.url, PRIVATE_CLEAR_TOKEN: 'clear' });
    assert.deepStrictEqual([outcome.kind, outcome.code, outcome.cause.reason, outcome.cause.httpStatus, outcome.retry],
      ['degrade', -1002, reason, httpStatus, 'later'], mode);
    // down: nothing reached the service.
    assert.deepStrictEqual(svc.requests.map((r) => r.answer.httpStatus), mode === 'down' ? [] : [500], mode);
    await svc.setMode('normal');
  }
});
`;

test('an app\'s test file imports the test kit from the installed tarball', { skip: !LIBRARY && 'RISK_LIBRARY not set', timeout: 180000 }, () => {
  const root = tempDir();
  try {
    const packed = npmPack(stagePackage(path.join(root, 'stage')), ['--silent', '--pack-destination', root])
      .trim().split('\n').pop();
    // Installed as npm lays it out: the package under node_modules, its
    // dependencies beside it (those of this checkout; no registry here).
    const app = path.join(root, 'app');
    const dir = path.join(app, 'node_modules', 'quon-risk-comm');
    fs.mkdirSync(dir, { recursive: true });
    execFileSync('tar', ['-xzf', path.join(root, packed), '--strip-components=1', '-C', dir], { timeout: 30000 });
    for (const name of fs.readdirSync(path.join(JS_DIR, 'node_modules'))) {
      if (name.startsWith('.') || name === 'quon-risk-comm') continue;
      fs.symlinkSync(path.join(JS_DIR, 'node_modules', name), path.join(app, 'node_modules', name));
    }
    fs.writeFileSync(path.join(app, 'package.json'), '{ "name": "app", "private": true }\n');
    fs.writeFileSync(path.join(app, 'app.test.js'), APP_TEST);
    fs.mkdirSync(path.join(root, 'prefs'));
    /** @type {NodeJS.ProcessEnv} */
    const env = { ...process.env, RISK_LIBRARY: LIBRARY, RISK_LOG: 'off', APP_PREFS: path.join(root, 'prefs') };
    delete env.NODE_TEST_CONTEXT;
    const run = spawnSync(process.execPath, ['--test', 'app.test.js'], { cwd: app, env, encoding: 'utf8', timeout: 120000 });
    assert.strictEqual(run.status, 0, `${run.stdout}\n${run.stderr}`);
    assert.match(run.stdout, /^# pass 2$/m);
    assert.match(run.stdout, /^# fail 0$/m);
    // The kit came from the tarball, and no database driver with it.
    assert.ok(fs.existsSync(path.join(dir, 'testing.js')) && fs.existsSync(path.join(dir, 'service', 'store', 'memory.js')));
    assert.ok(!fs.existsSync(path.join(dir, 'service', 'store', 'sqlite.js')));
  } finally {
    fs.rmSync(root, { recursive: true, force: true });
  }
});
