// @ts-check
'use strict';
// The build step the README's commands share (scripts/common.sh, build):
// run on a tiny CMake project of its own, so that a failing compile, the
// streams it reports on and a changed configuration are seen in seconds.
const { test } = require('node:test');
const assert = require('node:assert');
const fs = require('node:fs');
const path = require('node:path');
const { spawnSync } = require('node:child_process');
const { toolEnv } = require('./fixtures/tool-env');
const helpers = require('./fixtures/helpers');

const COMMON = path.join(__dirname, '..', '..', 'scripts', 'common.sh');

// A project whose one source file is good or broken, and whose configure
// step records the value of -DFLAVOUR it was given.
function project(good) {
  const dir = helpers.tempDir('build');
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

// Runs ensure_debs of common.sh with fake dpkg, dpkg-query, id and apt-get
// first on PATH: the machine is amd64, the user is not root, and each
// package is installed for the architectures `installed` lists.
function ensureDebs(installed, packages) {
  const bin = helpers.tempDir('debs');
  const script = (name, body) => fs.writeFileSync(path.join(bin, name), `#!/bin/sh\n${body}\n`, { mode: 0o755 });
  script('dpkg', '[ "$1" = --print-architecture ] && echo amd64');
  const cases = Object.entries(installed).map(([pkg, archs]) => `  ${pkg}) printf '${
    archs.map((a) => `${a} install ok installed\\n`).join('')}' ;;`).join('\n');
  // dpkg-query -W -f=FORMAT PKG: one line per installed architecture, as
  // dpkg does for a Multi-Arch package; unknown packages fail.
  script('dpkg-query', `case "$3" in\n${cases}\n  *) echo "no packages found matching $3" >&2; exit 1 ;;\nesac`);
  script('id', 'echo 1000');
  script('apt-get', `echo "apt-get $*" >> '${bin}/apt.log'`);
  const r = spawnSync('bash', ['-c', `set -euo pipefail; . '${COMMON}'; ensure_debs ${packages.join(' ')}; echo ready`],
    { encoding: 'utf8', env: toolEnv({ PATH: `${bin}:${process.env.PATH}` }), timeout: 30000 });
  const apt = fs.existsSync(path.join(bin, 'apt.log'));
  fs.rmSync(bin, { recursive: true, force: true });
  return { ...r, apt };
}

test('ensure_debs looks at the machine\'s own architecture, not at every one installed', () => {
  const installed = {
    both: ['arm64', 'amd64'],      // after scripts/package.sh added the arm64 -dev packages
    amd64first: ['amd64', 'arm64'],
    indep: ['all'],
    foreign: ['arm64'],            // only the cross package: the native one is missing
    'cross:arm64': ['arm64'],      // asked for by its architecture, as scripts/arm64.sh does
  };
  const cases = [
    [['both', 'amd64first', 'indep'], []],
    [['both', 'foreign'], ['foreign']],
    [['indep', 'absent', 'both'], ['absent']],
    [['cross:arm64', 'both'], []],
    [['cross:arm64', 'absent:arm64'], ['absent:arm64']],
  ];
  for (const [packages, missing] of cases) {
    const r = ensureDebs(installed, packages);
    assert.strictEqual(r.apt, false, 'apt-get is never run for a user who is not root');
    if (missing.length === 0) {
      assert.strictEqual(r.status, 0, `${packages}: ${r.stderr}`);
      assert.strictEqual(r.stdout, 'ready\n');
    } else {
      assert.strictEqual(r.status, 1, `${packages}: ${r.stdout}${r.stderr}`);
      assert.strictEqual(r.stdout, '');
      assert.ok(r.stderr.includes(`apt-get install -y ${missing.join(' ')}\n`), r.stderr);
    }
  }
});
