// @ts-check
'use strict';
// The module's face: its exports, the handle rules, the sealed scene
// property, and (in processes of their own, test/fixtures/module-run.js)
// the promise natives, the process lifetime rules and a failing thread start.
const { test } = require('node:test');
const assert = require('node:assert');
const crypto = require('node:crypto');
const fs = require('node:fs');
const path = require('node:path');
const { spawnSync } = require('node:child_process');

process.env.RISK_LOG = process.env.RISK_LOG || 'off';
const risk = require('../index');
const helpers = require('./fixtures/helpers');

const native = risk.load();
// The natives as a careless or hostile caller sees them: any argument goes.
const untyped = /** @type {any} */ (native);
const NO_SDK = 'RiskSdk is null, please call setup first.';
const FIXTURE = path.join(__dirname, 'fixtures', 'module-run.js');
const APP_NAME = 'com.example.module-test';
const APP_KEY = 'module-test-key';
// Long enough for the slowest scenario on a loaded machine; a scenario that
// keeps its process alive for nothing runs into it.
const kScenarioLimitMs = 60000;

const tempDir = () => helpers.tempDir('module-test');

// Runs one scenario in a process of its own; returns its "key=value" lines
// parsed, and how it ended.
function scenario(name, args = [], options = {}) {
  const r = spawnSync(process.execPath, [FIXTURE, name, ...args], {
    encoding: 'utf8',
    timeout: kScenarioLimitMs,
    // The log goes to stderr when a scenario turns it on, wherever the
    // developer's shell sends it.
    env: { ...process.env, RISK_LOG: 'off', RISK_LOG_FILE: '', ...(options.env || {}) },
    ...(options.spawn || {}),
  });
  const values = {};
  for (const line of (r.stdout || '').split('\n')) {
    const i = line.indexOf('=');
    if (i <= 0) continue;
    const text = line.slice(i + 1);
    try {
      values[line.slice(0, i)] = JSON.parse(text);
    } catch (e) {
      values[line.slice(0, i)] = text;
    }
  }
  return { status: r.status, signal: r.signal, error: r.error, stderr: r.stderr, values };
}

function assertEndedByItself(r) {
  assert.strictEqual(r.error, undefined, `the process did not end by itself: ${r.error}`);
  assert.deepStrictEqual([r.status, r.signal], [0, null], r.stderr);
}

// SM4-ECB under the first 16 bytes of SM3(app name + "-" + name), by Node.
function openSealed(appName, name, stored) {
  const key = crypto.createHash('sm3').update(`${appName}-${name}`).digest().subarray(0, 16);
  const d = crypto.createDecipheriv('sm4-ecb', key, null);
  return Buffer.concat([d.update(Buffer.from(stored, 'base64')), d.final()]).toString('utf8');
}

// ---------------------------------------------------------------------------
// In this process: one setup.

const prefsDir = tempDir();
const bridge = risk.createBridge({ prefsDir });
bridge.warmUp();
const puts = [];
const plainPut = bridge.prefPut;
bridge.prefPut = (name, value) => {
  puts.push([name, value]);
  return plainPut(name, value);
};

test('the exports are exactly the nine natives, in their order', () => {
  assert.deepStrictEqual(Object.keys(native), [...risk.NATIVE_NAMES]);
  for (const name of risk.NATIVE_NAMES) assert.strictEqual(typeof native[name], 'function', name);
});

test('before setup every native but readyToCallback throws the setup error', () => {
  const calls = {
    init: () => native.init(0, APP_KEY, []),
    getTokenNative: () => native.getTokenNative(0, APP_KEY, []),
    getDegradeTokenNative: () => native.getDegradeTokenNative(0, APP_KEY, []),
    getBusinessSignNative: () => native.getBusinessSignNative(0, APP_KEY, [], 't'),
    isDegradeTokenNative: () => native.isDegradeTokenNative(0, APP_KEY, 'x'),
    scheduleUpdateSituationNative: () => native.scheduleUpdateSituationNative(0, APP_KEY, [], 10),
    setSceneNative: () => native.setSceneNative(0, APP_KEY, 's'),
  };
  for (const [name, call] of Object.entries(calls)) {
    assert.throws(call, (e) => e instanceof Error && e.message === NO_SDK, name);
  }
  assert.strictEqual(native.readyToCallback(0), undefined);
});

let handle = 0;

test('setupNative gives a handle the first time and 0 after', () => {
  handle = risk.setup(bridge, { name: APP_NAME, versionCode: 1, versionName: '1.0' }, bridge.deviceInfo());
  assert.strictEqual(typeof handle, 'number');
  assert.notStrictEqual(handle, 0);
  assert.strictEqual(risk.setup(bridge, { name: 'again' }, {}), 0);
  assert.strictEqual(risk.setup(bridge, { name: APP_NAME }, bridge.deviceInfo()), 0);
});

test('unknown and malformed handles throw the setup error; readyToCallback ignores them', () => {
  for (const bad of [handle + 8, 12345, -1, 'text', undefined, {}, 2 ** 60]) {
    assert.throws(() => untyped.init(bad, APP_KEY, []), { message: NO_SDK }, String(bad));
    assert.throws(() => untyped.setSceneNative(bad, APP_KEY, 's'), { message: NO_SDK }, String(bad));
    assert.throws(() => untyped.getTokenNative(bad, APP_KEY, []), { message: NO_SDK }, String(bad));
    assert.strictEqual(untyped.readyToCallback(bad), undefined);
  }
  assert.strictEqual(native.readyToCallback(handle), undefined);
  assert.strictEqual(native.readyToCallback(handle), undefined);
});

test('arguments of the wrong kind read as empty values and throw nothing', () => {
  assert.strictEqual(untyped.init(handle, APP_KEY, 'not an array'), undefined);
  assert.strictEqual(untyped.init(handle, 42, [1, 2, {}, null]), undefined);
  assert.strictEqual(untyped.init(handle), undefined);
});

test('setSceneNative seals the scene under the application name; Node\'s SM4 opens it', () => {
  puts.length = 0;
  assert.strictEqual(risk.setScene(handle, APP_KEY, 'checkout ✓'), undefined);
  assert.strictEqual(puts.length, 1, 'prefPut runs inline, before the native returns');
  const [name, stored] = puts[0];
  assert.strictEqual(name, `${APP_KEY}:Scene`);
  assert.strictEqual(openSealed(APP_NAME, name, stored), 'checkout ✓');
  assert.strictEqual(bridge.prefGet(name), stored, 'the file store holds the sealed text');
  assert.throws(() => openSealed('another.app', name, stored));

  risk.setScene(handle, APP_KEY, '');
  assert.deepStrictEqual(puts[1], [name, '']);
});

test('isDegradeTokenNative: empty and longer than 40 bytes are degrade tokens', () => {
  assert.strictEqual(risk.isDegradeToken(handle, APP_KEY, ''), true);
  assert.strictEqual(risk.isDegradeToken(handle, APP_KEY, 'a'.repeat(40)), false);
  assert.strictEqual(risk.isDegradeToken(handle, APP_KEY, 'a'.repeat(41)), true);
  assert.strictEqual(risk.isDegradeToken(handle, APP_KEY, 'a'), false);
  // Bytes, not characters: 20 two-byte characters are 40 bytes, 21 are 42.
  assert.strictEqual(risk.isDegradeToken(handle, APP_KEY, 'é'.repeat(20)), false);
  assert.strictEqual(risk.isDegradeToken(handle, APP_KEY, 'é'.repeat(21)), true);
  assert.strictEqual(untyped.isDegradeTokenNative(handle, APP_KEY, 42), true, 'a non-string reads as ""');
});

test('toPairs flattens objects, Maps and entry arrays into strings', () => {
  assert.deepStrictEqual(risk.toPairs({ a: 1, b: 'x', c: undefined, d: null, e: { f: true } }),
    ['a', '1', 'b', 'x', 'd', 'null', 'e', '{"f":true}']);
  assert.deepStrictEqual(risk.toPairs(new Map([['k', 2]])), ['k', '2']);
  assert.deepStrictEqual(risk.toPairs([['k', 2]]), ['k', '2']);
  assert.deepStrictEqual(risk.toPairs(['a', '1', 'b']), ['a', '1', 'b']);
  assert.deepStrictEqual(risk.toPairs(undefined), []);
});

// ---------------------------------------------------------------------------
// Processes of their own.

test('a process whose natives leave nothing pending ends by itself', () => {
  const r = scenario('idle');
  assertEndedByItself(r);
  assert.strictEqual(r.values.scene, 'stored');
});

// Runs a scenario that lowers its own thread limit. The limit does not bind
// root, so as root the scenario runs as nobody; null (after skipping t)
// when prlimit cannot lower the limit here.
function threadLimitScenario(t, name, env = {}) {
  const asRoot = process.getuid && process.getuid() === 0;
  const spawnAs = asRoot ? { uid: 65534, gid: 65534 } : {};
  const dir = tempDir();
  if (asRoot) fs.chownSync(dir, 65534, 65534);
  const r = scenario(name, [], { spawn: spawnAs, env: { RISK_PREFS_DIR: dir, ...env } });
  if (r.status !== 0 && /prlimit/.test(r.stderr)) {
    t.skip(`cannot lower the thread limit here: ${r.stderr.split('\n')[0]}`);
    return null;
  }
  return r;
}

// Setup starts the launcher thread that starts the workers. With no thread
// to be had from before setup on, neither the launcher nor the worker can
// start: the native throws.
test('a thread that cannot start throws "thread constructor failed" and the process goes on', (t) => {
  const r = threadLimitScenario(t, 'thread-fail');
  if (!r) return;
  assertEndedByItself(r);
  assert.deepStrictEqual(r.values.results, Array(3).fill('thread constructor failed'));
  assert.strictEqual(r.values.scene, 'stored');
});

// Once the launcher runs, the worker fails to start on the launcher, after
// the native has returned its promise: the promise is resolved with "".
// The workers that ran before (the one setup had waiting, and the first
// call's when that came before the other was ready: at most two) may be
// waiting for another call and serve the first of the three; the others
// need threads of their own, which fail.
test('a worker the launcher cannot start resolves its promise with "" and the process goes on', (t) => {
  const r = threadLimitScenario(t, 'worker-fail', { RISK_LOG: 'on' });
  if (!r) return;
  assertEndedByItself(r);
  assert.ok(r.values['first-length'] > 40, 'the call before the limit ends in a degrade token');
  assert.deepStrictEqual(r.values.kinds, Array(3).fill('promise'));
  const natives = ['getTokenNative', 'getDegradeTokenNative', 'getBusinessSignNative'];
  const failed = r.stderr.split('\n').filter((line) => line.includes('thread constructor failed'))
    .map((line) => /(\w+Native): thread constructor failed/.exec(line)?.[1]);
  const served = r.values.results.findIndex((x) => x === '');
  assert.ok(served >= 0 && served <= 2, `served by waiting workers: ${served}`);
  assert.deepStrictEqual(failed, natives.slice(served), r.stderr);
  assert.deepStrictEqual(r.values.results.slice(served), Array(3 - served).fill(''));
  for (const x of r.values.results.slice(0, served)) assert.ok(x.length > 40, 'a served call ends in a token');
  assert.strictEqual(r.values.scene, 'stored');
});

test('option pairs: the first occurrence of a key wins, an odd last key gets ""', () => {
  const r = scenario('pairs');
  assertEndedByItself(r);
  assert.strictEqual(r.values['user-a'], 1);
  assert.strictEqual(r.values['user-b'], '');
});

test('hostile option arrays: read up to 65,536 entries, an element getter\'s exception reaches the script', () => {
  const r = scenario('hostile-pairs');
  assertEndedByItself(r);
  assert.strictEqual(r.values.sparse.a, '1');
  console.log(`a sparse array of 2^32 - 1 entries read in ${r.values.sparse.ms} ms`);
  assert.deepStrictEqual(r.values.long, { first: '0', last: '32767', beyond: null });
  assert.strictEqual(r.values.getter, 'element getter');
});

test('concurrent getTokenNative calls get their own promises, each resolved once with its token', () => {
  const r = scenario('concurrent');
  assertEndedByItself(r);
  assert.strictEqual(r.values.distinct, true);
  assert.strictEqual(r.values.settled, 3);
  const [a, a2, b] = r.values.tokens;
  assert.match(a, /^[0-9a-f]{32}$/);
  assert.match(b, /^[0-9a-f]{32}$/);
  assert.strictEqual(a2, a, 'two calls of one key share one exchange');
  assert.notStrictEqual(a, b, 'two application keys, two exchanges');
  assert.deepStrictEqual([...r.values['service-tokens']].sort(), [a, b].sort());
});

test('getTokenNative against the reference service gives a 32-character token; the degrade token opens', () => {
  const r = scenario('tokens');
  assertEndedByItself(r);
  assert.match(r.values.token, /^[0-9a-f]{32}$/);
  assert.ok(r.values.degrade.length > 40);
  assert.match(r.values.degrade, /!fixture-app-key![0-9a-f]{64}!v4_9_2r_a07c3e51!gm!0$/);
  assert.strictEqual(r.values['degrade-problem'], 'none');
  assert.strictEqual(r.values['degrade-scheme'], 'gm');
});

// The bridge calls of a first token, in the design's order: the two stored
// token reads, the collectors' calls, the post, then the writes of the
// answer (the installation identifier when the service sends one, the
// exchange time, the token). However the library groups its waits, the
// bridge sees each call on its own, made only once the one before has
// answered, whether the preferences answer at once or with promises.
test('a first getTokenNative makes its bridge calls one at a time, in the design\'s order', () => {
  const TOKEN = 'fixture-app-key:07d93b6c2ea148f5b9c60e7d3a2f814c';
  const TIME = 'fixture-app-key:b82e4d1f09c6a73e55d8f2b1c04e9a67';
  const INSTALLATION = '5f0c2a9e7b13d4486e21c9f0a7b3e5d1';
  for (const mode of ['plain', 'promise']) {
    const r = scenario('bridge-order', [mode]);
    assertEndedByItself(r);
    assert.match(r.values.token, /^[0-9a-f]{32}$/, mode);
    const [uuidAnswered] = r.values['uuid-answered'];
    const expected = [
      ['prefGet', TOKEN], ['prefGet', TIME],
      ['getOaid', ''], ['getTimeInfo', ''], ['prefGet', INSTALLATION], ['prefPut', INSTALLATION],
      ['getAppSignature', ''],
      ['post', ''],
      ...(uuidAnswered ? [['prefPut', INSTALLATION]] : []), ['prefPut', TIME], ['prefPut', TOKEN],
    ];
    assert.deepStrictEqual(r.values.calls.map((c) => [c.name, c.arg]), expected, mode);
    assert.deepStrictEqual(r.values.calls.filter((c) => c.pending !== 0), [], `${mode}: a call made while another was pending`);
  }
});

test('a pending token promise keeps the process alive until it is resolved', () => {
  const r = scenario('pending');
  assertEndedByItself(r);
  assert.ok(r.values['token-length'] > 40, 'the failed exchange ends in a degrade token');
});

test('a scheduled situation report keeps the process alive until it has been sent', () => {
  const r = scenario('report');
  assertEndedByItself(r);
  assert.strictEqual(r.values.scheduled, true);
  assert.deepStrictEqual(r.values['server-event'], ['fixture-app-key', '']);
});

test('a scene stored under one application name reads back under it only, across processes', () => {
  const env = { RISK_PREFS_DIR: tempDir() };
  const written = scenario('scene', ['com.example.one', 'basket'], { env });
  assertEndedByItself(written);
  assert.strictEqual(written.values.scene, 'basket');
  const again = scenario('scene', ['com.example.one'], { env });
  assert.strictEqual(again.values.scene, 'basket');
  const other = scenario('scene', ['com.example.two'], { env });
  assertEndedByItself(other);
  assert.notStrictEqual(other.values.scene, 'basket');
  const fresh = scenario('scene', ['com.example.one'], { env: { RISK_PREFS_DIR: tempDir() } });
  assert.strictEqual(fresh.values.scene, 'default');
});
