// @ts-check
'use strict';
// The library in an environment the host shapes: the host's script replaces
// its timer globals, or loads the library in worker after worker. Each
// scenario runs in a process of its own (test/fixtures/environment-host.js)
// with a time limit; the test checks how the process ended and what it
// printed.
const { test } = require('node:test');
const assert = require('node:assert');
const fs = require('node:fs');
const path = require('node:path');
const { spawnSync } = require('node:child_process');
const helpers = require('./fixtures/helpers');

const FIXTURE = path.join(__dirname, 'fixtures', 'environment-host.js');
// Long enough for the slowest scenario on a loaded machine (and under the
// sanitizers); a scenario whose calls never settle waits 15 s for them.
const kScenarioLimitMs = 60000;
const kNatives = 9;

function scenario(name) {
  const dir = helpers.tempDir('environment-test');
  const r = spawnSync(process.execPath, [FIXTURE, name], {
    encoding: 'utf8',
    timeout: kScenarioLimitMs,
    env: { ...process.env, RISK_LOG: 'on', RISK_LOG_FILE: path.join(dir, 'risk.log'), RISK_PREFS_DIR: dir },
  });
  fs.rmSync(dir, { recursive: true, force: true });
  const values = {};
  for (const line of (r.stdout || '').split('\n')) {
    const i = line.indexOf('=');
    if (i > 0) values[line.slice(0, i)] = JSON.parse(line.slice(i + 1));
  }
  const why = `status ${r.status} signal ${r.signal} error ${r.error}\nstdout:\n${r.stdout}\nstderr:\n${r.stderr}`;
  assert.strictEqual(r.error, undefined, `the process did not end by itself in time\n${why}`);
  assert.deepStrictEqual([r.status, r.signal], [0, null], why);
  assert.strictEqual(values['worker-error'], undefined, why);
  return { values, stderr: r.stderr, why };
}

// The host's timer globals decide nothing: with a fake clock that is never
// ticked (in the main thread or a worker), a setImmediate that runs its
// callback at once, one that throws, or none at all, every one of a burst
// of calls whose queue overruns the dispatch budget settles, and no
// exception of the library reaches the host.
test('every call settles whatever the host made of its timer globals', () => {
  const calls = { tokens: 20, signs: 20 };
  for (const kind of ['fake', 'synchronous', 'throwing', 'absent', 'fake-in-worker']) {
    const r = scenario(`timers-${kind}`);
    assert.deepStrictEqual(r.values.settled, calls, `${kind}\n${r.why}`);
    assert.strictEqual(r.values['degrade-tokens'], true, kind);
    assert.strictEqual(r.values.signs, true, kind);
    assert.doesNotMatch(r.stderr, /Uncaught N-API callback exception/, kind);
    if (kind.startsWith('fake')) {
      // Neither the library nor its reference bridge waits on the host's clock.
      assert.strictEqual(r.values['on-fake-clock'], 0, `${kind}\n${r.why}`);
    }
    if (kind === 'fake-in-worker') assert.strictEqual(r.values.exit, 0);
  }
});

// Every new environment loads the library and runs its natives, however
// many loaded it and ended before: workers one after another, the main
// thread after them (its setup, the process's first, gets a token), and
// workers beside it. A worker's ended SDK is unknown to the environments
// after it; their setups answer 0, as every setup after the process's first.
test('the library loads in every new environment after those before it ended', () => {
  const before = scenario('reload-before-setup');
  const loaded = { natives: kNatives, call: 'no sdk' };
  for (const tag of ['worker-1', 'worker-2', 'worker-3']) {
    assert.deepStrictEqual(before.values[tag], loaded, `${tag}\n${before.why}`);
  }
  assert.deepStrictEqual(before.values.main, { natives: kNatives, handle: true, token: true }, before.why);
  for (const tag of ['worker-4', 'worker-5']) {
    assert.deepStrictEqual(before.values[tag], { ...loaded, setup: 0 }, `${tag}\n${before.why}`);
  }
  assert.deepStrictEqual(before.values.exits, [0, 0, 0, 0, 0]);

  const after = scenario('reload-after-setup');
  assert.deepStrictEqual(after.values['worker-1'], { natives: kNatives, handle: true, token: true }, after.why);
  assert.strictEqual(after.values['first-handle'], true, 'the workers after it are handed its handle');
  for (const tag of ['worker-2', 'worker-3', 'worker-4']) {
    assert.deepStrictEqual(after.values[tag], { ...loaded, setup: 0 }, `${tag}\n${after.why}`);
  }
  assert.deepStrictEqual(after.values.main, { natives: kNatives }, after.why);
  assert.deepStrictEqual(after.values.exits, [0, 0, 0, 0]);
});
