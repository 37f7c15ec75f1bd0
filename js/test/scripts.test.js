'use strict';
// The build step the README's commands share (scripts/common.sh, build):
// run on a tiny CMake project of its own, so that a failing compile, the
// streams it reports on and a changed configuration are seen in seconds.
const { test } = require('node:test');
const assert = require('node:assert');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { spawnSync } = require('node:child_process');

const COMMON = path.join(__dirname, '..', '..', 'scripts', 'common.sh');

// A project whose one source file is good or broken, and whose configure
// step records the value of -DFLAVOUR it was given.
function project(good) {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'risk-build-'));
  fs.writeFileSync(path.join(dir, 'CMakeLists.txt'), [
    'cmake_minimum_required(VERSION 3.16)',
    'project(probe CXX)',
    'set(FLAVOUR "" CACHE STRING "")',
    'file(WRITE ${CMAKE_BINARY_DIR}/flavour.txt "${FLAVOUR}")',
    'add_library(probe STATIC probe.cc)',
    '',
  ].join('\n'));
  fs.writeFileSync(path.join(dir, 'probe.cc'), good ? 'int probe() { return 1; }\n' : 'int probe( {\n');
  return dir;
}

// Runs build() of common.sh with ROOT pointed at dir. A sanitizer runtime
// preloaded into the tests is not passed on to the compiler.
function build(dir, ...args) {
  const quoted = args.map((a) => `'${a}'`).join(' ');
  const env = { ...process.env };
  delete env.LD_PRELOAD;
  return spawnSync('bash', ['-c', `set -euo pipefail; . '${COMMON}'; ROOT='${dir}'; build out ${quoted}; echo built`],
    { encoding: 'utf8', env, timeout: 120000 });
}

test('a compile error fails the build step with the error on stderr and nothing on stdout', (t) => {
  const dir = project(false);
  t.after(() => fs.rmSync(dir, { recursive: true, force: true }));
  const r = build(dir);
  assert.notStrictEqual(r.status, 0, r.stdout + r.stderr);
  assert.strictEqual(r.stdout, '');
  assert.match(r.stderr, /probe\.cc:\d+:\d+: error/);
  assert.match(r.stderr, /build failed in /);
});

test('changed cmake arguments configure the folder again; unchanged ones do not', (t) => {
  const dir = project(true);
  t.after(() => fs.rmSync(dir, { recursive: true, force: true }));
  const flavour = () => fs.readFileSync(path.join(dir, 'out', 'flavour.txt'), 'utf8');
  const runs = [['-DFLAVOUR=one', 'one', true], ['-DFLAVOUR=one', 'one', false], ['-DFLAVOUR=two', 'two', true],
    [null, '', true]];
  for (const [arg, expected, configures] of runs) {
    const r = arg ? build(dir, arg) : build(dir);
    assert.strictEqual(r.status, 0, r.stderr);
    assert.strictEqual(r.stdout, 'built\n');
    assert.strictEqual(flavour(), expected, `after ${arg}`);
    assert.strictEqual(/==> configuring/.test(r.stderr), configures, `${arg}: ${r.stderr}`);
  }
});
