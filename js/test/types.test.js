// @ts-check
'use strict';
// The types: TypeScript (a dev dependency, installed by npm ci) checks the
// JavaScript of the package and the demonstration against its declarations
// (tsconfig.json, strict), the tests, their fixtures and the benchmark
// scripts (tsconfig.dev.json, without the implicit-any and null checks),
// that of the token service (service/tsconfig.json), and a small program
// that uses the package as an application and a backend
// (test/fixtures/usage.ts) against index.d.ts, server.d.ts and testing.d.ts.
// scripts/lint.sh runs the same projects.
const { test } = require('node:test');
const assert = require('node:assert');
const fs = require('node:fs');
const path = require('node:path');
const { spawnSync } = require('node:child_process');

const JS_DIR = path.join(__dirname, '..');
const TSC = path.join(JS_DIR, 'node_modules', 'typescript', 'bin', 'tsc');

// Runs tsc on a project (a folder or tsconfig file under js/) and returns the
// files it checked, outside node_modules, relative to js/. A sanitizer
// runtime preloaded into the tests is not passed on.
function typeCheck(project) {
  assert.ok(fs.existsSync(TSC), `${TSC} is missing: run npm ci in js/`);
  const env = { ...process.env };
  delete env.LD_PRELOAD;
  const run = spawnSync(process.execPath, [TSC, '-p', project, '--listFiles', '--pretty', 'false'],
    { cwd: JS_DIR, env, encoding: 'utf8', timeout: 180000 });
  assert.strictEqual(run.status, 0, `tsc -p ${project}:\n${run.stdout}${run.stderr}`);
  return run.stdout.split('\n').filter((f) => f && !f.includes(`${path.sep}node_modules${path.sep}`))
    .map((f) => path.relative(JS_DIR, f)).sort();
}

// Every JavaScript file below dir (a folder under the repository), relative
// to js/; node_modules and the token service's own package (js/service/,
// which checks its files itself) aside.
function jsFilesBelow(dir) {
  return fs.readdirSync(path.join(JS_DIR, dir), { recursive: true, withFileTypes: true })
    .filter((e) => e.isFile() && e.name.endsWith('.js'))
    .map((e) => path.relative(JS_DIR, path.join(e.parentPath, e.name)))
    .filter((f) => !f.split(path.sep).includes('node_modules') && !f.startsWith(`service${path.sep}`))
    .sort();
}

// Each file checks itself in an editor too, without a project; the
// projects check only the files that say so.
function assertMarked(files) {
  for (const f of files) {
    assert.match(fs.readFileSync(path.join(JS_DIR, f), 'utf8'), /^(#!.*\n)?\/\/ @ts-check\n/, f);
  }
}

test('the package JavaScript type-checks against index.d.ts, server.d.ts and testing.d.ts', () => {
  const sources = ['index.js', 'server.js', 'testing.js', 'cli.js', 'demo.js',
    ...['lib', 'cli', 'examples'].flatMap((dir) => jsFilesBelow(dir))];
  assertMarked(sources);
  const checked = typeCheck('tsconfig.json');
  for (const f of [...sources, 'index.d.ts', 'server.d.ts']) assert.ok(checked.includes(f), `${f} is checked`);
});

test('the tests, their fixtures and the benchmark scripts type-check too', () => {
  const packageChecked = new Set(typeCheck('tsconfig.json'));
  const all = [...jsFilesBelow('.'), ...jsFilesBelow(path.join('..', 'bench'))];
  const rest = all.filter((f) => !packageChecked.has(f));
  assert.ok(rest.includes(path.join('test', 'types.test.js'))
    && rest.includes(path.join('..', 'bench', 'node', 'token.js')), rest.join(' '));
  assertMarked(rest);
  const checked = typeCheck('tsconfig.dev.json');
  for (const f of rest) assert.ok(checked.includes(f), `${f} is checked`);
});

test('an application and a backend type-check against the declarations, which refuse misuse', () => {
  const usage = fs.readFileSync(path.join(__dirname, 'fixtures', 'usage.ts'), 'utf8');
  assert.ok((usage.match(/^\s*\/\/ @ts-expect-error /gm) || []).length >= 2, 'usage.ts marks its misuses');
  assert.deepStrictEqual(typeCheck(path.join('test', 'fixtures')),
    ['index.d.ts', 'server.d.ts', path.join('test', 'fixtures', 'usage.ts'), 'testing.d.ts']);
});

test('every file of the token service is under // @ts-check and type-checks', () => {
  const serviceDir = path.join(JS_DIR, 'service');
  const sources = fs.readdirSync(serviceDir, { recursive: true, encoding: 'utf8' })
    .filter((f) => f.endsWith('.js') && !f.split(path.sep).includes('node_modules'))
    .map((f) => path.join('service', f));
  assert.ok(sources.length >= 20, `${sources.length} files`);
  for (const f of sources) {
    assert.match(fs.readFileSync(path.join(JS_DIR, f), 'utf8'), /^(#!.*\n)?\/\/ @ts-check\n/, f);
  }
  const checked = typeCheck(path.join('service', 'tsconfig.json'));
  for (const f of sources) assert.ok(checked.includes(f), `${f} is checked`);
});
