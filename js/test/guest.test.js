// @ts-check
'use strict';
// The library as a guest: whatever an app does around it (worker threads
// that set up and end, handles passed between environments, odd bridges,
// odd keys, hostile promises, a thread limit, a script function that never
// answers), the host process neither crashes nor hangs, and no application
// reaches another's data. Each scenario runs in a process of its own
// (test/fixtures/guest-host.js) with a time limit; the test checks how the
// process ended, what it printed and what the library logged.
const { test } = require('node:test');
const assert = require('node:assert');
const fs = require('node:fs');
const path = require('node:path');
const { spawnSync } = require('node:child_process');
const helpers = require('./fixtures/helpers');

const FIXTURE = path.join(__dirname, 'fixtures', 'guest-host.js');
const NO_SDK = 'RiskSdk is null, please call setup first.';
// Long enough for the slowest scenario on a loaded machine (and under ASan);
// a scenario that keeps its process alive for nothing runs into it.
const kScenarioLimitMs = 60000;

const tempDir = () => helpers.tempDir('guest-test');

// Runs one scenario; returns its "key=value" lines parsed, the library's log
// lines, and how the process ended. asNobody: as root, run as nobody (a
// thread limit does not bind root).
function scenario(name, { asNobody = false } = {}) {
  const dir = tempDir();
  const spawn = {};
  if (asNobody && process.getuid && process.getuid() === 0) {
    fs.chownSync(dir, 65534, 65534);
    Object.assign(spawn, { uid: 65534, gid: 65534 });
  }
  const logFile = path.join(dir, 'risk.log');
  const r = spawnSync(process.execPath, [FIXTURE, name], {
    encoding: 'utf8',
    timeout: kScenarioLimitMs,
    env: { ...process.env, RISK_LOG: 'on', RISK_LOG_FILE: logFile, RISK_PREFS_DIR: dir },
    ...spawn,
  });
  const values = {};
  for (const line of (r.stdout || '').split('\n')) {
    const i = line.indexOf('=');
    if (i > 0) values[line.slice(0, i)] = JSON.parse(line.slice(i + 1));
  }
  let log = [];
  try {
    log = fs.readFileSync(logFile, 'utf8').split('\n');
  } catch (e) {
    log = [];
  }
  fs.rmSync(dir, { recursive: true, force: true });
  const why = `status ${r.status} signal ${r.signal} error ${r.error}\nstdout:\n${r.stdout}\nstderr:\n${r.stderr}`;
  return { status: r.status, signal: r.signal, error: r.error, stderr: r.stderr, values, log, why };
}

function assertEndedByItself(r) {
  assert.strictEqual(r.error, undefined, `the process did not end by itself in time\n${r.why}`);
  assert.deepStrictEqual([r.status, r.signal], [0, null], r.why);
  assert.strictEqual(r.values['worker-error'], undefined, r.why);
}

// A worker that loaded the library ends (normally, by process.exit, or
// terminated) with work in flight; the main thread never loaded it. The
// library stays mapped for its threads, whose calls into the ended
// environment fail; the process lives on and ends by itself.
test('a worker environment that ends, idle or busy, leaves the process healthy', () => {
  for (const name of ['worker-ends', 'worker-exits-busy', 'worker-terminated-busy']) {
    const r = scenario(name);
    assertEndedByItself(r);
    assert.strictEqual(r.values.exit, name === 'worker-terminated-busy' ? 1 : 0, name);
    assert.strictEqual(r.values.alive, true, name);
  }
});

// Each environment has its own bridge context: a worker's setupNative (0, as
// designed) neither takes over the main thread's bridge nor, once the
// worker has ended, leaves the main thread's promises unsettled.
test('a setupNative in a worker leaves the main thread\'s bridge and promises alone', () => {
  const r = scenario('second-env-setup');
  assertEndedByItself(r);
  assert.strictEqual(r.values['worker-handle'], 0);
  assert.strictEqual(r.values.exit, 0);
  assert.deepStrictEqual(r.values.tokens, [true, true], 'both token calls settle with a degrade token');
  assert.deepStrictEqual(r.values.posts, { main: true, worker: 0 });
});

// A handle used in an environment that did not create it is unknown there.
test('a handle passed to a worker answers "RiskSdk is null, please call setup first." there', () => {
  const r = scenario('foreign-handle');
  assertEndedByItself(r);
  const expected = {
    getTokenNative: NO_SDK, getDegradeTokenNative: NO_SDK, getBusinessSignNative: NO_SDK,
    init: NO_SDK, isDegradeTokenNative: NO_SDK, scheduleUpdateSituationNative: NO_SDK,
    setSceneNative: NO_SDK, readyToCallback: 'undefined',
  };
  assert.deepStrictEqual(r.values.worker, expected);
  assert.strictEqual(r.values.token, true, 'the main thread carries on');
  assert.ok(r.log.some((l) => l.includes('sdk handle of another script environment')), r.why);
});

test('a second setupNative in one environment answers 0 and replaces that environment\'s bridge', () => {
  const r = scenario('same-env-second-setup');
  assertEndedByItself(r);
  assert.deepStrictEqual(r.values.handles, [true, 0]);
  assert.strictEqual(r.values.token, true);
  assert.deepStrictEqual(r.values.posts, { first: 0, second: 1 });
});

// A "then" that calls back twice, or fulfils and then rejects (in either
// order): the first settlement wins, the record of the callbacks is freed
// once (the ASan run of this test catches a second use).
test('a promise answer settled twice counts once', () => {
  const r = scenario('twice-settled');
  assertEndedByItself(r);
  assert.deepStrictEqual(r.values['handler-runs'], { 'fulfil-fulfil': 1, 'fulfil-reject': 1, 'reject-fulfil': 1 });
  assert.deepStrictEqual(r.values.tokens, { 'fulfil-fulfil': true, 'fulfil-reject': true, 'reject-fulfil': true });
});

// Property names travel whole to prefPut: keys that differ after a zero
// byte stay apart, and a crafted key cannot reach another key's token.
test('application keys with zero bytes never share a property', () => {
  const r = scenario('nul-keys');
  assertEndedByItself(r);
  assert.deepStrictEqual(r.values['put-names'], ['shop\0A:Scene', 'shop\0B:Scene', 'victim:ulvok\0:Scene']);
  assert.strictEqual(r.values.distinct, true);
  assert.strictEqual(r.values['victim-token'], '');
});

// No SDK without a bridge object: setup answers 0 (logged), and a later
// setup with a real bridge is still the process's first.
test('setupNative with a bridge that is not an object answers 0', () => {
  const r = scenario('odd-bridges');
  assertEndedByItself(r);
  assert.deepStrictEqual(r.values.odd, [0, 0, 0, 0]);
  assert.strictEqual(r.values.real, true);
  assert.strictEqual(r.values.token, true);
  assert.strictEqual(r.log.filter((l) => l.includes('bridge is not an object')).length, 4, r.why);
});

test('a situation report whose thread cannot start keeps no hold: the process ends by itself', (t) => {
  const r = scenario('report-thread-fails', { asNobody: true });
  if (r.status !== 0 && /prlimit/.test(r.stderr)) {
    t.skip(`cannot lower the thread limit here: ${r.stderr.split('\n')[0]}`);
    return;
  }
  assertEndedByItself(r);
  assert.strictEqual(r.values.scheduled, true);
  assert.ok(r.log.some((l) => l.includes('fail to start report thread')), r.why);
});

// As designed the caller keeps waiting; the long wait (200 ms here, 10 s in
// the library) is named once.
test('a script function that never answers is named once in the log, its caller keeps waiting', () => {
  const r = scenario('never-settles');
  assertEndedByItself(r);
  assert.deepStrictEqual(r.values.lines,
    ['script function getOaid has not answered for 200 ms; its caller keeps waiting']);
  assert.strictEqual(r.values.settled, false);
});
