// @ts-check
'use strict';
// The forwarder setup() hands the library in place of the app's bridge:
// it must be invisible (same functions, same `this`, same answers, same
// non-functions, later changes seen), and what it notes of the posts must
// keep a situation report apart from the token exchange it runs beside.

const { test } = require('node:test');
const assert = require('node:assert');

const outcomes = require('../lib/outcomes');

test('the forwarder calls the app\'s functions on the app\'s bridge and passes non-functions as they are', async () => {
  const calls = [];
  const answer = Promise.resolve({ responseCode: 200, resultType: 2, result: new ArrayBuffer(3) });
  /** @type {any} */
  const bridge = {};
  for (const name of outcomes.BRIDGE_FUNCTIONS) {
    bridge[name] = function forwarded(...args) {
      calls.push([name, this, args]);
      return name === 'post' ? answer : `${name}:${args.join(',')}`;
    };
  }
  const fwd = outcomes.forwardingBridge(bridge);
  assert.notStrictEqual(fwd, bridge);
  assert.deepStrictEqual(Object.keys(fwd).sort(), [...outcomes.BRIDGE_FUNCTIONS].sort());
  for (const name of outcomes.BRIDGE_FUNCTIONS) {
    const got = name === 'post' ? fwd.post('http://h/udid/m1?appKey=k', new ArrayBuffer(1)) : fwd[name]('a', 2);
    assert.strictEqual(got, name === 'post' ? answer : `${name}:a,2`, name);
  }
  await answer;
  assert.deepStrictEqual(calls.map(([name]) => name), outcomes.BRIDGE_FUNCTIONS);
  for (const [name, self] of calls) assert.strictEqual(self, bridge, `${name} runs with the app's bridge as this`);

  // What the library checks stays what the bridge holds, also after a change.
  bridge.getOaid = 42;
  delete bridge.prefGet;
  assert.strictEqual(fwd.getOaid, 42);
  assert.strictEqual(fwd.prefGet, undefined);
  bridge.getOaid = () => 'later';
  assert.strictEqual(fwd.getOaid(), 'later');
  bridge.getOsVersion = () => {
    throw new RangeError('thrown through');
  };
  assert.throws(() => fwd.getOsVersion(), RangeError);
  // A bridge that is not an object is handed on for the library to refuse.
  for (const notObject of [null, undefined, 7, 'bridge', () => {}]) {
    assert.strictEqual(outcomes.forwardingBridge(/** @type {any} */ (notObject)), notObject);
  }
});

test('a situation post that fails beside a token exchange is not taken for its cause', async () => {
  outcomes.setWatching(true);
  outcomes.noteInit('k-sit', ['KEY_URL', 'http://svc', 'KEY_SITUATION_URL', 'http://svc']);
  const posts = [];
  const bridge = {
    post(url) {
      posts.push(url);
      if (url.startsWith('http://svc/udid/sa-m')) return Promise.reject(Object.assign(new Error('down'), { code: 7 }));
      return Promise.resolve({ responseCode: 500, resultType: 2, result: new ArrayBuffer(0) });
    },
  };
  const fwd = outcomes.forwardingBridge(/** @type {any} */ (bridge));
  const start = outcomes.mark();
  await fwd.post('http://svc/udid/m1?sign=s&appKey=k-sit&app=a', new ArrayBuffer(1));
  await Promise.resolve(fwd.post('http://svc/udid/sa-m?sign=s&appKey=k-sit&app=a', new ArrayBuffer(1))).catch(() => {});
  // Another key's failure in the same window is not this key's either.
  await fwd.post('http://other/udid/m1?sign=s&appKey=k-other', new ArrayBuffer(1));
  const degrade = `${'A'.repeat(60)}!k-sit!00!v4_9_2r_a07c3e51!!-1002`;
  const r = outcomes.judge('k-sit', degrade, [], start);
  assert.deepStrictEqual(r.cause && [r.cause.reason, r.cause.httpStatus], ['http', 500]);
  assert.strictEqual(r.retry, 'later');
  assert.strictEqual(r.code, -1002);
  assert.strictEqual(posts.length, 3);
  // A call that began after those posts saw none of them: it did not wait
  // for an exchange, so the library's rate limit refused one.
  const later = outcomes.judge('k-sit', degrade, [], outcomes.mark());
  assert.deepStrictEqual([later.cause.reason, later.retry], ['rate-limited', 'later']);
});

test('the application key of a post is read from its address as URLSearchParams reads it', () => {
  const reference = (/** @type {string} */ url) => {
    const q = url.indexOf('?');
    return q < 0 ? '' : new URLSearchParams(url.slice(q + 1)).get('appKey') || '';
  };
  const addresses = [
    'http://h/udid/m1?sign=AB%2B&appKey=k1&app=a',
    'http://h/udid/m1?appKey=with+space%20and%2Bplus',
    'http://h/udid/m1?appKey=%E4%B8%AD%E6%96%87',
    'http://h/udid/m1?app%4Bey=encoded-name&appKey=second',
    'http://h/udid/m1?appKey=first&appKey=second',
    'http://h/udid/m1?appKey',
    'http://h/udid/m1?appKey=',
    'http://h/udid/m1?appKey=a=b',
    'http://h/udid/m1?appKey=bad%E4%B8escape%ZZ',
    'http://h/udid/m1?appKey=%FF',
    'http://h/udid/m1?x=1&&appKey=after-empty',
    'http://h/udid/m1?appkey=wrong-case',
    'http://h/udid/m1?KEY=a?appKey=inner&appKey=outer',
    'http://h/udid/m1',
    'http://h/udid/m1?',
  ];
  for (const url of addresses) assert.strictEqual(outcomes.appKeyOf(url), reference(url), url);
});
