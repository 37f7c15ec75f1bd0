// @ts-check
'use strict';
// Blocking calls from native threads into the script thread, and the script
// services built on them, driven through the test-only bridge addon
// (bridge/bridge_test_addon.cc). One bridge object serves the whole file;
// each test installs the functions it needs. Scenarios that need a process
// of their own run test/fixtures/bridge-exit.js.
const { test, beforeEach } = require('node:test');
const assert = require('node:assert');
const path = require('node:path');
const crypto = require('node:crypto');
const { spawnSync } = require('node:child_process');

process.env.RISK_LOG = process.env.RISK_LOG || 'off';
const { loadBridgeAddon } = require('./fixtures/bridge-addon');

const addon = loadBridgeAddon();
const S = addon.status;
const bridge = {};
addon.captureLog();
assert.strictEqual(addon.init(bridge), S.ok);

beforeEach(() => {
  for (const key of Object.keys(bridge)) delete bridge[key];
  addon.takeLog();
});

function settleLater() {
  let resolve;
  let reject;
  const promise = new Promise((a, b) => {
    resolve = a;
    reject = b;
  });
  return { promise, resolve, reject };
}

async function turns(n) {
  for (let i = 0; i < n; i++) await new Promise((r) => setImmediate(r));
}

// Turns of the loop until done() holds; the native thread behind it starts
// when the machine lets it, so no fixed number of turns is enough.
async function until(done, limitMs = 10000) {
  const deadline = Date.now() + limitMs;
  while (!done()) {
    if (Date.now() > deadline) throw new Error(`not reached within ${limitMs} ms`);
    await new Promise((r) => setTimeout(r, 1));
  }
}

const INLINE_LINE = 'calling run_in_main_thread_blocking in main thread, this is not usuall';

// ---------------------------------------------------------------------------
// js_call_api_promise_blocking and run_in_main_thread_blocking

test('a plain answer reaches the result handler once, with the bridge as receiver', async () => {
  const seen = [];
  bridge.getDeviceInfo = function (name) {
    seen.push([this === bridge, name, arguments.length]);
    return 'value-of-' + name;
  };
  const out = await addon.onThread('call', 'getDeviceInfo', 'model');
  assert.deepStrictEqual(out, { status: S.ok, result: 'value-of-model', results: 1, errors: 0 });
  assert.deepStrictEqual(seen, [[true, 'model', 1]]);
  assert.deepStrictEqual(addon.takeLog(), []);
});

test('a native thread stays blocked until a later promise has settled', async () => {
  const called = settleLater();
  const answer = settleLater();
  bridge.getOaid = () => {
    called.resolve();
    return answer.promise;
  };
  let delivered = false;
  const pending = addon.onThread('call', 'getOaid').then((out) => {
    delivered = true;
    return out;
  });
  await called.promise;
  await turns(10);
  assert.strictEqual(delivered, false, 'the call returned before its promise settled');
  answer.resolve('late');
  const out = await pending;
  assert.deepStrictEqual(out, { status: S.ok, result: 'late', results: 1, errors: 0 });
});

test('a rejection hands the numeric "code" of its value to the error handler', async () => {
  /** @type {any[]} */
  const cases = [
    [{ code: 7 }, 7, []],
    [{ code: -3 }, -3, []],
    [{ code: 2 ** 40 }, 2 ** 40, []],
    [undefined, 0, []],
    [{ message: 'no code' }, 0, ['get js int64 number fail']],
    [{ code: 'seven' }, 0, ['get js int64 number fail']],
    [null, 0, ['get function object fail code']],
  ];
  for (const [reason, code, lines] of cases) {
    bridge.getOaid = () => Promise.reject(reason);
    const out = await addon.onThread('call', 'getOaid');
    assert.deepStrictEqual(out, { status: S.ok, code, results: 0, errors: 1 }, `reason ${JSON.stringify(reason)}`);
    assert.deepStrictEqual(addon.takeLog(), lines, `reason ${JSON.stringify(reason)}`);
  }
});

test('a missing function fails at once with one log line and no handler', async () => {
  const out = await addon.onThread('call', 'getTimeInfo');
  assert.notStrictEqual(out.status, S.ok);
  assert.deepStrictEqual([out.results, out.errors, out.result], [0, 0, undefined]);
  assert.deepStrictEqual(addon.takeLog(), [`fail to call api getTimeInfo => ${out.status}`]);

  bridge.getTimeInfo = 'not a function';
  const notCallable = await addon.onThread('call', 'getTimeInfo');
  assert.notStrictEqual(notCallable.status, S.ok);
  assert.deepStrictEqual(addon.takeLog(), [`fail to call api getTimeInfo => ${notCallable.status}`]);
});

// js_call_api_sequence_blocking: one wait for calls that follow each other,
// each still its own call, made only once the one before has answered.
test('a sequence makes each call in its order, each after the one before has answered', async () => {
  const events = [];
  const later = settleLater();
  let pending = 0;
  const record = (name, answer) => function (index) {
    events.push(`call ${name} ${index} pending=${pending}`);
    return answer(index);
  };
  bridge.prefGet = record('prefGet', (i) => `plain-${i}`);
  bridge.getOaid = record('getOaid', () => {
    pending++;
    return later.promise.finally(() => {
      pending--;
      events.push('settled getOaid');
    });
  });
  bridge.getTimeInfo = record('getTimeInfo', () => Promise.reject({ code: 7 }));
  bridge.post = record('post', () => {
    throw new Error('boom');
  });
  const out = addon.onThread('sequence', 'prefGet', 'getOaid', 'prefGet', 'missing', 'post', 'getTimeInfo', 'prefGet');
  await until(() => events.length >= 2);
  await turns(10);
  // The first plain answer went by; the promise holds the rest back.
  assert.deepStrictEqual(events, ['call prefGet 0 pending=0', 'call getOaid 1 pending=0']);
  later.resolve('late');
  const result = await out;
  assert.deepStrictEqual(events, [
    'call prefGet 0 pending=0', 'call getOaid 1 pending=0', 'settled getOaid',
    'call prefGet 2 pending=0', 'call post 4 pending=0', 'call getTimeInfo 5 pending=0',
    'call prefGet 6 pending=0',
  ]);
  // Each call's own status and handler: plain answers, the settled promise,
  // the missing function and the throw (no handler), the rejection's code.
  const parts = result.result.split('|');
  assert.deepStrictEqual(parts.filter((_, i) => i !== 3), [
    `${S.ok}:plain-0`, `${S.ok}:late`, `${S.ok}:plain-2`, `${S.pending_exception}:`, `${S.ok}:!7`, `${S.ok}:plain-6`,
  ]);
  assert.match(parts[3], /^\d+:$/);
  assert.notStrictEqual(parts[3], `${S.ok}:`);
  assert.deepStrictEqual([result.results, result.errors], [4, 1]);
});

test('a sequence on the script thread makes its plain calls inline, in order', () => {
  const seen = [];
  bridge.prefGet = (i) => {
    seen.push(i);
    return `v${i}`;
  };
  const out = addon.inline('sequence', 'prefGet', 'prefGet');
  assert.strictEqual(out.result, `${S.ok}:v0|${S.ok}:v1`);
  assert.deepStrictEqual(seen, ['0', '1']);
});

test('a failed property lookup logs "fail to get function" and leaves no exception', () => {
  const out = addon.callJsMethod(undefined, 'getOaid');
  assert.notStrictEqual(out.status, S.ok);
  assert.deepStrictEqual(addon.takeLog(), ['fail to get function getOaid']);
  assert.deepStrictEqual(addon.callJsMethod({ twice: (x) => x + x }, 'twice', 'ab'), { status: S.ok, value: 'abab' });
});

test('a function that throws fails the call and its exception is cleared', async () => {
  bridge.getOaid = () => {
    throw new Error('boom');
  };
  const out = await addon.onThread('call', 'getOaid');
  assert.deepStrictEqual(out, { status: S.pending_exception, results: 0, errors: 0 });
  assert.deepStrictEqual(addon.takeLog(), [`fail to call api getOaid => ${S.pending_exception}`]);
  // The script thread goes on: the next call is served normally.
  bridge.getOaid = () => 'after';
  assert.strictEqual((await addon.onThread('getOaid')).result, 'after');
});

test('a throwing "code" getter on a rejection does not disturb the script thread', async () => {
  const escaped = [];
  const listener = (reason) => escaped.push(reason);
  process.on('unhandledRejection', listener);
  try {
    bridge.getOaid = () => Promise.reject({ get code() { throw new Error('getter'); } });
    const out = await addon.onThread('call', 'getOaid');
    assert.deepStrictEqual(out, { status: S.ok, code: 0, results: 0, errors: 1 });
    assert.deepStrictEqual(addon.takeLog(), ['get function object fail code']);
    await turns(5);
    assert.deepStrictEqual(escaped, []);
  } finally {
    process.off('unhandledRejection', listener);
  }
});

test('a caller that never calls logs "api_call is not called" and returns its own status', async () => {
  for (const status of [S.ok, S.generic_failure]) {
    const out = await addon.onThread('notCalled', status);
    assert.deepStrictEqual(out, { status, results: 0, errors: 0 });
    assert.deepStrictEqual(addon.takeLog(), ['api_call is not called']);
    const inline = addon.inline('notCalled', status);
    assert.deepStrictEqual(inline, { status, results: 0, errors: 0 });
    assert.deepStrictEqual(addon.takeLog(), [INLINE_LINE, 'api_call is not called']);
  }
});

test('a task queued from a native thread runs on the script thread with the bridge object', async () => {
  for (const status of [S.ok, S.generic_failure]) {
    const out = await addon.onThread('task', status);
    assert.deepStrictEqual(out, { status, result: 'object', results: 0, errors: 0, onScriptThread: true });
  }
  assert.deepStrictEqual(addon.takeLog(), []);
});

test('calls made on the script thread run inline and say so', () => {
  const task = addon.inline('task', S.ok);
  assert.deepStrictEqual(task, { status: S.ok, result: 'object', results: 0, errors: 0, onScriptThread: true });
  assert.deepStrictEqual(addon.takeLog(), [INLINE_LINE]);

  bridge.getDeviceInfo = (name) => 'inline-' + name;
  const out = addon.inline('call', 'getDeviceInfo', 'k');
  assert.deepStrictEqual(out, { status: S.ok, result: 'inline-k', results: 1, errors: 0 });
  assert.deepStrictEqual(addon.takeLog(), [INLINE_LINE]);
});

test('a promise answer on the script thread is not awaited and its late settlement is dropped', async () => {
  for (const settle of ['resolve', 'reject']) {
    const answer = settleLater();
    bridge.prefPut = () => answer.promise;
    const before = addon.handlerRuns();
    const out = addon.inline('call', 'prefPut', 'Scene', 'x');
    assert.deepStrictEqual(out, { status: S.would_deadlock, results: 0, errors: 0 });
    assert.deepStrictEqual(addon.takeLog(), [INLINE_LINE, 'promise answer of prefPut is not awaited on the script thread']);
    if (settle === 'resolve') answer.resolve('done');
    else answer.reject({ code: 9 });
    await turns(5);
    assert.strictEqual(addon.handlerRuns(), before, 'a handler ran after its caller had returned');
    assert.deepStrictEqual(addon.takeLog(), []);
  }
});

test('concurrent native threads each get their own answer, in any order', async () => {
  const seed = crypto.randomInt(2 ** 31);
  console.log(`seed ${seed}`);
  let state = seed;
  const random = () => {
    state = (state * 1103515245 + 12345) % 2 ** 31;
    return state / 2 ** 31;
  };
  let calls = 0;
  bridge.getDeviceInfo = (name) => {
    calls += 1;
    const delay = Math.floor(random() * 20);
    if (random() < 0.3) return 'sync-' + name;
    return new Promise((resolve) => setTimeout(() => resolve('async-' + name), delay));
  };
  const names = Array.from({ length: 24 }, (_, i) => `n${i}`);
  const outs = await Promise.all(names.map((n) => addon.onThread('getDeviceInfo', n)));
  assert.strictEqual(calls, names.length);
  outs.forEach((out, i) => assert.match(out.result, new RegExp(`^(sync|async)-${names[i]}$`)));
});

test('a new bridge takes over while calls in flight finish on the one they started with', async () => {
  const answer = settleLater();
  const called = settleLater();
  bridge.getOaid = () => {
    called.resolve();
    return answer.promise;
  };
  const inFlight = addon.onThread('call', 'getOaid');
  await called.promise;
  const other = { getOaid: () => 'from-other' };
  try {
    assert.strictEqual(addon.init(other), S.ok);
    assert.strictEqual((await addon.onThread('getOaid')).result, 'from-other');
    answer.resolve('from-first');
    assert.strictEqual((await inFlight).result, 'from-first');
  } finally {
    assert.strictEqual(addon.init(bridge), S.ok);
  }
  bridge.getOaid = () => 'first-again';
  assert.strictEqual((await addon.onThread('getOaid')).result, 'first-again');
});

// ---------------------------------------------------------------------------
// Text services and notifications

test('getOaid gives the text of its answer or of its promise, "" for anything else', async () => {
  bridge.getOaid = () => Promise.resolve('abc');
  assert.strictEqual((await addon.onThread('getOaid')).result, 'abc');
  bridge.getOaid = () => 42;
  assert.strictEqual((await addon.onThread('getOaid')).result, '');
  bridge.getOaid = () => Promise.resolve({ id: 'abc' });
  assert.strictEqual((await addon.onThread('getOaid')).result, '');
  assert.deepStrictEqual(addon.takeLog(), []);
  bridge.getOaid = () => Promise.reject({ code: 3 });
  assert.strictEqual((await addon.onThread('getOaid')).result, '');
  assert.deepStrictEqual(addon.takeLog(), ['getOaid fail 3']);
});

test('getDeviceInfo passes the name and getAppSignature logs the signature', async () => {
  const names = [];
  bridge.getDeviceInfo = (name) => {
    names.push(name);
    return Promise.resolve('v:' + name);
  };
  assert.strictEqual((await addon.onThread('getDeviceInfo', 'ro.product.é€')).result, 'v:ro.product.é€');
  assert.deepStrictEqual(names, ['ro.product.é€']);
  bridge.getDeviceInfo = () => Promise.reject({ code: 11 });
  assert.strictEqual((await addon.onThread('getDeviceInfo', 'x')).result, '');
  assert.deepStrictEqual(addon.takeLog(), ['get fail 11']);

  bridge.getAppSignature = (...args) => (args.length === 0 ? 'a1b2c3' : 'unexpected arguments');
  assert.strictEqual((await addon.onThread('getAppSignature')).result, 'a1b2c3');
  assert.deepStrictEqual(addon.takeLog(), ['a1b2c3 ']);
});

test('getTimeInfo without its function gives "" after the one call failure line', async () => {
  const out = await addon.onThread('getTimeInfo');
  assert.strictEqual(out.result, '');
  const lines = addon.takeLog();
  assert.strictEqual(lines.length, 1);
  assert.match(lines[0], /^fail to call api getTimeInfo => [1-9]\d*$/);
  bridge.getTimeInfo = () => Promise.reject({ code: 5 });
  assert.strictEqual((await addon.onThread('getTimeInfo')).result, '');
  assert.deepStrictEqual(addon.takeLog(), ['get fail 5']);
  bridge.getTimeInfo = () => '{"zone":"UTC"}';
  assert.strictEqual((await addon.onThread('getTimeInfo')).result, '{"zone":"UTC"}');
});

test('situation events carry their exact arguments and block until answered', async () => {
  const seen = [];
  const answer = settleLater();
  bridge.onSituationClientEvent = (...args) => {
    seen.push(args);
    return answer.promise;
  };
  let delivered = false;
  const client = addon.onThread('clientEvent', 'key\u0000A', 4294967295, 7, '').then((o) => {
    delivered = true;
    return o;
  });
  await turns(10);
  while (seen.length === 0) await turns(1);
  assert.strictEqual(delivered, false);
  answer.resolve(undefined);
  assert.strictEqual((await client).status, S.ok);
  assert.deepStrictEqual(seen, [['key\u0000A', 4294967295, 7, '']]);

  bridge.onSituationServerEvent = (...args) => {
    seen.push(args);
    return Promise.reject({ code: 4 });
  };
  await addon.onThread('serverEvent', 'k', 'ü€😀 {"a":1}');
  assert.deepStrictEqual(seen[1], ['k', 'ü€😀 {"a":1}']);
  assert.deepStrictEqual(addon.takeLog(), ['get fail 4']);
});

test('js_resolve_deferred resolves with exactly the bytes given', async () => {
  const text = 'a\u0000b é € 😀';
  const resolved = await addon.resolveOnThread('', Buffer.from(text, 'utf8'));
  assert.strictEqual(resolved, text);
  assert.strictEqual(await addon.resolveOnThread('', Buffer.alloc(0)), '');
});

// ---------------------------------------------------------------------------
// post

function bytesOf(arrayBuffer) {
  return Buffer.from(new Uint8Array(arrayBuffer));
}

test('post sends the URL and an ArrayBuffer copy of the exact body bytes', async () => {
  const body = crypto.randomBytes(300);
  body[0] = 0;
  body[1] = 0xff;
  const seen = [];
  bridge.post = function (url, data) {
    seen.push([this === bridge, url, data instanceof ArrayBuffer, Buffer.from(new Uint8Array(data))]);
    return { responseCode: 200, resultType: 0, result: 'ok' };
  };
  const out = await addon.onThread('post', 'https://h.example/udid/m1?sign=x&appKey=k', body);
  assert.strictEqual(seen.length, 1);
  assert.deepStrictEqual(seen[0].slice(0, 3), [true, 'https://h.example/udid/m1?sign=x&appKey=k', true]);
  assert.ok(seen[0][3].equals(body));
  assert.strictEqual(out.code, 200);
  assert.ok(bytesOf(out.bytes).equals(Buffer.from('ok')));
});

test('post reads "result" by "resultType"', async () => {
  const payload = Buffer.from([0, 1, 2, 0xfe, 0xff]);
  /** @type {any[]} */
  const cases = [
    // [response, status, body, log lines]
    [{ responseCode: 200, resultType: 0, result: 'text é' }, 200, Buffer.from('text é'), []],
    [{ responseCode: 200, resultType: 0, result: 12 }, 200, Buffer.alloc(0), []],
    [{ responseCode: 200, resultType: 1, result: { a: 1 } }, 200, Buffer.alloc(0), ['js response return an object, do nothing']],
    [{ responseCode: 201, resultType: 2, result: new Uint8Array(payload).buffer }, 201, payload, []],
    [{ responseCode: 200, resultType: 2, result: new Uint8Array(payload) }, 200, Buffer.alloc(0), []],
    [{ responseCode: 200, resultType: 5, result: 'x' }, 200, Buffer.alloc(0), ['unknown response type']],
    [{ responseCode: 500, result: 'plain' }, 500, Buffer.from('plain'),
      ['get js int64 number fail', 'get js resultType object fail']],
    [{ resultType: 0, result: 'no code' }, 0, Buffer.from('no code'),
      ['get js int64 number fail', 'get js responseCode object fail']],
    [{ responseCode: 2 ** 32 + 404, resultType: 0, result: '' }, 404, Buffer.alloc(0), []],
  ];
  for (const [response, status, body, lines] of cases) {
    bridge.post = () => Promise.resolve(response);
    const out = await addon.onThread('post', 'u', Buffer.alloc(0));
    const label = JSON.stringify(response);
    assert.strictEqual(out.code, status, label);
    assert.ok(bytesOf(out.bytes).equals(body), label);
    assert.deepStrictEqual(addon.takeLog(), lines, label);
  }
});

test('a rejected post gives minus the absolute rejection code and an empty body', async () => {
  for (const [reason, status] of [[{ code: 404 }, -404], [{ code: -3 }, -3], [{ code: 5 }, -5], [undefined, 0]]) {
    bridge.post = () => Promise.reject(reason);
    const out = await addon.onThread('post', 'u', Buffer.from('x'));
    assert.strictEqual(out.code, status, JSON.stringify(reason));
    assert.strictEqual(out.bytes.byteLength, 0);
    assert.deepStrictEqual(addon.takeLog(), [`http post error, err code ${status}`]);
  }
});

test('a post that cannot be called gives -9999', async () => {
  const missing = await addon.onThread('post', 'u', Buffer.from('x'));
  assert.strictEqual(missing.code, -9999);
  assert.strictEqual(missing.bytes.byteLength, 0);
  bridge.post = () => {
    throw new TypeError('no network');
  };
  assert.strictEqual((await addon.onThread('post', 'u', Buffer.from('x'))).code, -9999);
  const lines = addon.takeLog();
  assert.strictEqual(lines.length, 2);
  lines.forEach((line) => assert.match(line, /^fail to call api post => \d+$/));
});

// ---------------------------------------------------------------------------
// Preferences

test('prefPut and prefGet reach the script store with exact texts', async () => {
  const store = new Map();
  bridge.prefPut = (name, value) => {
    store.set(name, value);
    return Promise.resolve();
  };
  bridge.prefGet = (name) => (store.has(name) ? store.get(name) : '');
  const value = 'c2VhbGVk+/= é\u0000end';
  await addon.onThread('prefPut', 'app:token', value);
  assert.strictEqual(store.get('app:token'), value);
  assert.strictEqual((await addon.onThread('prefGet', 'app:token')).result, value);
  await addon.onThread('prefPut', 'app:token', '');
  assert.strictEqual(store.get('app:token'), '');
  assert.strictEqual((await addon.onThread('prefGet', 'app:token')).result, '');
  assert.strictEqual((await addon.onThread('prefGet', 'never-set')).result, '');
  assert.deepStrictEqual(addon.takeLog(), []);

  // From the script thread itself a plain answer is required, and works.
  bridge.prefPut = (name, value) => void store.set(name, value);
  assert.strictEqual(addon.inline('prefPut', 'app:Scene', 'home').status, S.ok);
  assert.strictEqual(store.get('app:Scene'), 'home');
});

test('rejected preference calls are logged and read as empty', async () => {
  bridge.prefPut = () => Promise.reject({ code: 2 });
  bridge.prefGet = () => Promise.reject({ code: 6 });
  await addon.onThread('prefPut', 'k', 'v');
  assert.strictEqual((await addon.onThread('prefGet', 'k')).result, '');
  assert.deepStrictEqual(addon.takeLog(), ['set fail 2', 'get fail 6']);
});

// ---------------------------------------------------------------------------
// Property helpers, text conversion, getOsVersion

test('get_int64_property reads numbers and logs what it cannot read', () => {
  assert.deepStrictEqual(addon.getInt64Property({ n: 12 }, 'n'), { status: S.ok, value: 12 });
  assert.deepStrictEqual(addon.getInt64Property({ n: -7.9 }, 'n'), { status: S.ok, value: -7 });
  assert.deepStrictEqual(addon.getInt64Property({ n: -(2 ** 53) }, 'n'), { status: S.ok, value: -(2 ** 53) });
  assert.deepStrictEqual(addon.takeLog(), []);
  const text = addon.getInt64Property({ n: '12' }, 'n');
  assert.notStrictEqual(text.status, S.ok);
  assert.strictEqual(text.value, -1, 'out was written on failure');
  assert.deepStrictEqual(addon.takeLog(), ['get js int64 number fail']);
  assert.deepStrictEqual(addon.getInt64Property(null, 'n'), { status: S.object_expected, value: -1 });
  assert.deepStrictEqual(addon.takeLog(), []);
  const notObject = addon.getInt64Property(undefined, 'n');
  assert.notStrictEqual(notObject.status, S.ok);
  assert.deepStrictEqual(addon.takeLog(), ['get function object fail n']);
});

test('get_string_property reads texts, "" for other values', () => {
  assert.deepStrictEqual(addon.getStringProperty({ s: 'héllo' }, 's'), { status: S.ok, value: 'héllo' });
  assert.deepStrictEqual(addon.getStringProperty({ s: 5 }, 's'), { status: S.ok, value: '' });
  assert.deepStrictEqual(addon.getStringProperty({}, 's'), { status: S.ok, value: '' });
  assert.deepStrictEqual(addon.getStringProperty(null, 's'), { status: S.object_expected, value: 'unchanged' });
  assert.deepStrictEqual(addon.takeLog(), []);
  const notObject = addon.getStringProperty(undefined, 's');
  assert.notStrictEqual(notObject.status, S.ok);
  assert.strictEqual(notObject.value, 'unchanged');
  assert.deepStrictEqual(addon.takeLog(), ['get function object fail s']);
});

test('js_to_string gives the UTF-8 bytes of strings and nothing for other values', () => {
  for (const text of ['', 'a\u0000b', 'é€😀', 'x'.repeat(70000), '\ud800 lone']) {
    assert.ok(addon.jsToString(text).equals(Buffer.from(text, 'utf8')), JSON.stringify(text.slice(0, 20)));
  }
  for (const value of [5, null, undefined, {}, Symbol('s'), 10n]) {
    assert.strictEqual(addon.jsToString(value).length, 0);
  }
});

test('get_os_version calls getOsVersion directly and gives "" when it cannot', () => {
  assert.strictEqual(addon.osVersion({ getOsVersion: () => 'OpenHarmony-5.0.1' }), 'OpenHarmony-5.0.1');
  assert.strictEqual(addon.osVersion({ getOsVersion: () => 5 }), '');
  assert.strictEqual(addon.osVersion({}), '');
  assert.strictEqual(addon.osVersion({ getOsVersion: () => { throw new Error('x'); } }), '');
  // Nothing ran inline through the blocking layer.
  assert.ok(!addon.takeLog().includes(INLINE_LINE));
});

// ---------------------------------------------------------------------------
// Process lifetime, one process per scenario

function runScenario(name) {
  const child = spawnSync(process.execPath, [path.join(__dirname, 'fixtures', 'bridge-exit.js'), name], {
    env: { ...process.env, RISK_LOG: 'off' },
    encoding: 'utf8',
    timeout: 60000,
  });
  assert.strictEqual(child.signal, null, `${name} did not exit by itself: ${child.stderr}`);
  assert.strictEqual(child.status, 0, `${name}: ${child.stderr}`);
  return Object.fromEntries(child.stdout.trim().split('\n').filter(Boolean).map((l) => l.split('=')));
}

test('a process with nothing pending exits by itself', () => {
  assert.deepStrictEqual(runScenario('idle'), { result: 'abc,d-x' });
});

test('a blocking call in flight keeps the process alive until its answer arrives', () => {
  assert.deepStrictEqual(runScenario('pending'), { result: 'late-abc' });
});

test('a native thread that needs the script thread late is still served', () => {
  assert.deepStrictEqual(runScenario('late'), { result: 'slow-abc' });
});

test('an environment that shuts down wakes the native threads waiting on it', () => {
  // While the environment stops, a queued task either still runs and finds
  // the engine refusing calls, or is dropped: both fail the call.
  const queued = runScenario('worker-queued');
  assert.notStrictEqual(Number(queued.status), S.ok);
  assert.notStrictEqual(Number(queued.delivery), S.ok);
  // A call awaiting a promise is woken by the shutdown itself.
  const awaiting = runScenario('worker-awaiting');
  assert.strictEqual(Number(awaiting.status), S.closing);
  assert.notStrictEqual(Number(awaiting.delivery), S.ok);
});

// A burst of blocking calls queued while the script thread was busy runs for
// a small budget per turn of the event loop: other work of the loop (here an
// immediate queued before the calls ran) gets its turn long before the
// burst is through, and every call is still served.
test('a burst of queued calls yields to the event loop between budgets', async () => {
  const BURST = 20;
  const TASK_MS = 2;  // each call holds the script thread for this long
  let served = 0;
  bridge.getDeviceInfo = () => {
    const until = performance.now() + TASK_MS;
    while (performance.now() < until) { /* the task's own work */ }
    served += 1;
    return 'x';
  };
  const pending = [];
  for (let i = 0; i < BURST; i++) pending.push(addon.onThread('call', 'getDeviceInfo', 'n'));
  // Hold the script thread until every thread has queued its call.
  const until = performance.now() + 300;
  while (performance.now() < until) { /* let the native threads queue */ }
  let servedWhenTheLoopTurned = -1;
  setImmediate(() => { servedWhenTheLoopTurned = served; });
  const outcomes = await Promise.all(pending);
  assert.ok(outcomes.every((o) => o.status === S.ok && o.result === 'x'), JSON.stringify(outcomes[0]));
  assert.strictEqual(served, BURST);
  assert.ok(servedWhenTheLoopTurned >= 0 && servedWhenTheLoopTurned < BURST / 2,
    `${servedWhenTheLoopTurned} of ${BURST} calls ran before the loop turned`);
});
