// @ts-check
'use strict';
// verifyToken and verifyBusinessSign against a service that misbehaves: a
// real HTTP server on loopback plays each fault, and the backend's half
// must fail closed (never ok without a valid answer), retry only what may
// pass on a second try, stay within its time limits, and read the answer as
// untrusted.

const test = require('node:test');
const assert = require('node:assert');
const http = require('node:http');

const server = require('../server');
const forge = require('./fixtures/forge');
const helpers = require('./fixtures/helpers');

const SECRET = 'secret-of-the-app';
const APP_KEY = 'verify-client-key';
const TOKEN = 'a'.repeat(32);
const NOW = 1_800_000_000_000;

// A server whose answers follow `plan` (one function per request, the last
// one repeated); it records what it received.
async function fakeService(plan) {
  const received = [];
  const srv = http.createServer((req, res) => {
    const chunks = [];
    req.on('data', (c) => chunks.push(c));
    req.on('end', () => {
      received.push({ url: req.url, auth: req.headers.authorization, body: JSON.parse(Buffer.concat(chunks).toString() || 'null') });
      plan[Math.min(received.length, plan.length) - 1](res);
    });
  });
  await new Promise((resolve) => { srv.listen(0, '127.0.0.1', () => resolve(undefined)); });
  return {
    url: `http://127.0.0.1:${helpers.portOf(srv)}`,
    received,
    close: () => { srv.closeAllConnections(); return new Promise((resolve) => { srv.close(resolve); }); },
  };
}

const json = (status, obj) => (res) => {
  const text = typeof obj === 'string' ? obj : JSON.stringify(obj);
  res.writeHead(status, { 'Content-Type': 'application/json' });
  res.end(text);
};
const valid = { valid: true, installationId: 'inst-1', issuedAt: NOW - 1000, expiresAt: NOW + 86400000, clockOffsetMs: 0 };

test('verifyToken fails closed and retries only what may pass on a second try', async () => {
  /** @type {any[]} */
  const cases = [
    // [what, plan, expected ok, reason, requests made]
    ['a valid answer', [json(200, valid)], true, null, 1],
    ['503 twice, then valid', [json(503, {}), json(503, {}), json(200, valid)], true, null, 3],
    ['503 every time', [json(503, {})], false, 'service-unavailable', 3],
    ['a wrong secret', [json(401, { error: 'unauthorized' })], false, 'unauthorized', 1],
    ['an unknown token', [json(200, { valid: false, reason: 'unknown' })], false, 'token-unknown', 1],
    ['an answer that is not JSON', [json(200, 'valid: true')], false, 'bad-answer', 1],
    ['an answer without "valid"', [json(200, { ok: true })], false, 'bad-answer', 1],
    ['"valid" as a string', [json(200, { valid: 'true' })], false, 'bad-answer', 1],
    ['an array', [json(200, [true])], false, 'bad-answer', 1],
    ['an answer of 1 MiB', [json(200, { valid: true, pad: 'x'.repeat(1 << 20) })], false, 'bad-answer', 1],
    ['a redirect', [(res) => { res.writeHead(302, { Location: 'http://127.0.0.1:9/' }); res.end(); }], false, 'bad-answer', 1],
  ];
  for (const [what, plan, ok, reason, requests] of cases) {
    const svc = await fakeService(plan);
    try {
      const v = await server.verifyToken(TOKEN, { service: svc.url, secret: SECRET, retries: 2 });
      assert.deepStrictEqual([v.ok, v.reason], [ok, reason], what);
      assert.strictEqual(svc.received.length, requests, what);
      assert.deepStrictEqual(svc.received[0], { url: '/v1/verify', auth: `Bearer ${SECRET}`, body: { token: TOKEN } }, what);
      if (ok) assert.deepStrictEqual([v.installationId, v.expiresAt], ['inst-1', NOW + 86400000]);
    } finally {
      await svc.close();
    }
  }
});

test('verifyToken gives up within its time limit on a service that never answers, and on a closed port', async () => {
  const hang = await fakeService([() => {}]);
  try {
    const t0 = Date.now();
    const v = await server.verifyToken(TOKEN, { service: hang.url, secret: SECRET, timeoutMs: 200, retries: 1 });
    assert.deepStrictEqual([v.ok, v.reason, v.reached], [false, 'service-unreachable', false]);
    assert.ok(Date.now() - t0 < 5000, `took ${Date.now() - t0} ms`);
    assert.strictEqual(hang.received.length, 2);
  } finally {
    await hang.close();
  }
  const closed = await server.verifyToken(TOKEN, { service: 'http://127.0.0.1:9', secret: SECRET, retries: 0 });
  assert.deepStrictEqual([closed.ok, closed.reason], [false, 'service-unreachable']);
});

test('what is not a service token is never sent; missing options are a TypeError', async () => {
  for (const [token, reason] of [['', 'degrade-token'], ['x'.repeat(41), 'degrade-token'], [{ toString: 1 }, 'malformed'], [7, 'malformed']]) {
    const v = await server.verifyToken(token, { service: 'http://127.0.0.1:9', secret: SECRET });
    assert.deepStrictEqual([v.ok, v.reason, v.reached], [false, reason, false], typeof token);
  }
  for (const options of [undefined, {}, { service: 'ftp://x', secret: SECRET }, { service: 'http://x' }, { service: 'http://x', secret: '' }]) {
    assert.throws(() => server.verifyToken(TOKEN, /** @type {any} */ (options)), TypeError, JSON.stringify(options));
  }
});

test('verifyBusinessSign: the digest is consumed, a replay and a stale sign are refused, age is in the service time', async () => {
  const text = 'order-1: pay 10.00';
  const signAt = (timestamp, token = TOKEN) => forge.businessSign(APP_KEY, text, JSON.stringify({ timestamp: String(timestamp), ulvok: token }));
  const options = (url, extra = {}) => ({ appKey: APP_KEY, service: url, secret: SECRET, now: () => NOW, ...extra });
  const svc = await fakeService([
    json(200, { ...valid, consumed: false }),
    json(200, { ...valid, consumed: true }),
    json(200, { ...valid, consumed: false, clockOffsetMs: 3_600_000 }),  // the device runs an hour ahead
    json(200, { ...valid, consumed: false, clockOffsetMs: 0 }),
  ]);
  try {
    const first = await server.verifyBusinessSign(signAt(NOW - 1000), text, options(svc.url));
    assert.deepStrictEqual([first.ok, first.reasons, first.ageMs, first.timeBasis], [true, [], 1000, 'service']);
    assert.strictEqual(svc.received[0].body.consume, first.digest);
    assert.match(first.digest, /^[0-9a-f]{64}$/);

    const again = await server.verifyBusinessSign(signAt(NOW - 1000), text, options(svc.url));
    assert.deepStrictEqual([again.ok, again.reasons], [false, ['replayed']]);

    const ahead = await server.verifyBusinessSign(signAt(NOW + 3_600_000 - 2000), text, options(svc.url));
    assert.deepStrictEqual([ahead.ok, ahead.ageMs], [true, 2000], 'an hour-fast device clock is corrected by its offset');

    const stale = await server.verifyBusinessSign(signAt(NOW - 10 * 60 * 1000), text, options(svc.url));
    assert.deepStrictEqual([stale.ok, stale.reasons], [false, ['stale']]);
  } finally {
    await svc.close();
  }

  const degradeSign = signAt(NOW, forge.degradeToken(APP_KEY, forge.request(APP_KEY, forge.entryList([['K1', 'v']]))));
  const refused = await server.verifyBusinessSign(degradeSign, text, options('http://127.0.0.1:9'));
  assert.deepStrictEqual([refused.ok, refused.reasons, refused.degrade], [false, ['degrade-token'], null]);
  const opened = await server.verifyBusinessSign(degradeSign, text, options('http://127.0.0.1:9', { degrade: 'open' }));
  assert.deepStrictEqual([opened.ok, opened.degrade && opened.degrade.ok], [false, true]);

  const down = await server.verifyBusinessSign(signAt(NOW), text, options('http://127.0.0.1:9', { retries: 0 }));
  assert.deepStrictEqual([down.ok, down.reasons], [false, ['service-unreachable']], 'fail closed');
  for (const t of ['', undefined, 'order-2']) {
    const r = await server.verifyBusinessSign(signAt(NOW), t, options('http://127.0.0.1:9'));
    assert.deepStrictEqual([r.ok, r.reasons], [false, [t === 'order-2' ? 'sign-does-not-open' : 'no-text']], String(t));
  }
});
