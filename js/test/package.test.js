'use strict';
// The installable package: which library file the loader takes (RISK_LIBRARY,
// the package's binary for this platform, the build tree), the one-line
// errors when there is none or it does not load, the warnings about
// settings the library would misread, what `npm pack` puts in the tarball,
// and Node's built-ins required by their "node:" names everywhere.

const test = require('node:test');
const assert = require('node:assert');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { execFileSync, spawnSync } = require('node:child_process');
const { builtinModules } = require('node:module');

const risk = require('../index');
const pkg = require('../package.json');

const JS_DIR = path.join(__dirname, '..');
const LIBRARY = process.env.RISK_LIBRARY;

function tempDir() {
  return fs.mkdtempSync(path.join(os.tmpdir(), 'risk-package-'));
}

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
    assert.throws(() => risk.load(path.join(prebuilds, 'linux-x64', 'libQuonRiskComm.so')), (e) => {
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
    for (const f of ['index.js', 'package.json', 'lib/bridge.js', 'lib/outcomes.js', 'lib/codes.js']) fs.copyFileSync(path.join(JS_DIR, f), path.join(dir, f));
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

test('npm pack ships the entry points, the examples and no tests', () => {
  const [packed] = JSON.parse(execFileSync('npm', ['pack', '--dry-run', '--json', '--ignore-scripts'], {
    cwd: JS_DIR, encoding: 'utf8', timeout: 60000, stdio: ['ignore', 'pipe', 'ignore'],
  }));
  const files = packed.files.map((f) => f.path);
  const targets = [pkg.main, pkg.types, ...Object.values(pkg.bin)];
  for (const entry of Object.values(pkg.exports)) {
    targets.push(...(typeof entry === 'string' ? [entry] : Object.values(entry)));
  }
  for (const t of targets) assert.ok(files.includes(path.normalize(t)), `${t} is packed`);
  assert.ok(files.includes('examples/backend.js'));
  // The token service is a package of its own, with the database drivers.
  assert.deepStrictEqual(files.filter((f) => f.startsWith('service/')), []);
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
