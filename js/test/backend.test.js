// @ts-check
'use strict';
// The whole loop: the built library gets a token from the token service and
// signs orders; the example backend (examples/backend.js) has the same
// service confirm the token inside each sign. A confirmed sign is accepted
// once, on any backend sharing the service; a degrade token is never
// accepted; a sign for another order, tampered with, or too old in the
// service's time is refused; with the service gone nothing is accepted.
// Hostile requests to a running backend are answered and it keeps serving.

const test = require('node:test');
const assert = require('node:assert');
const fs = require('node:fs');
const path = require('node:path');
const { spawn } = require('node:child_process');

const { startService } = require('../service/service');
const { createBackend } = require('../examples/backend');
const server = require('../server');
const e2e = require('./fixtures/e2e-common');
const forge = require('./fixtures/forge');

const APP_KEY = 'backend-example-key';

async function post(url, body) {
  const res = await fetch(`${url}/orders`, { method: 'POST', body: JSON.stringify(body) });
  return { status: res.status, answer: /** @type {any} */ (await res.json()) };
}

// The sign with its first character changed: its first cipher block differs.
function tamper(sign) {
  return `${sign[0] === 'A' ? 'B' : 'A'}${sign.slice(1)}`;
}

function listen(backend) {
  return new Promise((resolve) => {
    backend.listen(0, '127.0.0.1', () => resolve(`http://127.0.0.1:${backend.address().port}`));
  });
}

test('app, token service, backend: a confirmed sign is accepted once; degrade, foreign, stale and replayed ones are not', async () => {
  const svc = await startService({ port: 0 });
  const { secret } = await svc.registerApp({ appKey: APP_KEY });
  const prefsDir = e2e.tempDir('backend');
  const opts = { appKey: APP_KEY, service: svc.url, secret };
  const backend = createBackend(opts);
  const second = createBackend(opts);
  const later = createBackend({ ...opts, now: () => Date.now() + 10 * 60 * 1000 });
  const backends = [backend, second, later];
  try {
    const run = await e2e.runHost({
      prefsDir,
      appKey: APP_KEY,
      serviceUrl: svc.url,
      init: { KEY_URL: svc.url, KEY_DELAY_MS_TIME: '3000' },
      steps: [
        { op: 'mode', mode: { name: 'http500', endpoint: 'token' } },
        { op: 'sign', text: 'order-2: pay 5.00' },
        { op: 'mode', mode: { name: 'normal' } },
        { op: 'token' },
        { op: 'sign', text: 'order-1: pay 10.00' },
        { op: 'sign', text: 'order-3: pay 1.00' },
        { op: 'sign', text: 'order-4: pay 2.00' },
      ],
    });
    e2e.assertClean(assert, run);
    const [, degradeSign, , tok, sign1, sign3, sign4] = run.steps;
    const [url, secondUrl, laterUrl] = await Promise.all(backends.map(listen));

    const a = await post(url, { order: 'order-1: pay 10.00', sign: sign1.sign });
    assert.strictEqual(a.status, 200, JSON.stringify(a.answer));
    assert.deepStrictEqual([a.answer.accepted, a.answer.verdict], [true, 'verified']);
    assert.strictEqual(a.answer.token.kind, 'service');
    assert.match(a.answer.token.installationId, /^[0-9a-f-]{36}$/);
    assert.deepStrictEqual(a.answer.checks.map((c) => [c.check, c.passed]),
      [['sign-opens-for-order', true], ['token-confirmed', true], ['not-replayed', true], ['recent', true]]);
    assert.strictEqual(a.answer.scene, 'default');
    const confirmed = await server.verifyToken(tok.token, { service: svc.url, secret });
    assert.deepStrictEqual([confirmed.ok, confirmed.installationId], [true, a.answer.token.installationId]);

    const d = await post(url, { order: 'order-2: pay 5.00', sign: degradeSign.sign });
    assert.strictEqual(d.status, 200, JSON.stringify(d.answer));
    assert.deepStrictEqual([d.answer.accepted, d.answer.verdict, d.answer.token.kind], [false, 'unverified', 'degrade']);
    assert.strictEqual(d.answer.token.errorCode, -1002);
    assert.ok(d.answer.token.dataKeys > 10);

    const refused = [
      // [backend, body, status, reason]
      [url, { order: 'order-1: pay 10.00', sign: sign1.sign }, 409, /replayed/],
      [secondUrl, { order: 'order-1: pay 10.00', sign: `${sign1.sign.slice(0, 8)}\n${sign1.sign.slice(8)}` }, 409, /replayed/],
      [url, { order: 'order-3: pay 99.00', sign: sign3.sign }, 401, /sign-does-not-open/],
      [url, { order: 'order-3: pay 1.00', sign: tamper(sign3.sign) }, 401, /sign-does-not-open/],
      [laterUrl, { order: 'order-3: pay 1.00', sign: sign3.sign }, 401, /stale/],
      [url, { order: 'order-1: pay 10.00' }, 400, /needs a non-empty "order" text and a "sign" text/],
    ];
    for (const [to, body, status, reason] of refused) {
      const r = await post(to, body);
      assert.strictEqual(r.status, status, JSON.stringify([body, r.answer]));
      assert.strictEqual(r.answer.accepted, false);
      assert.match(r.answer.reason, reason);
    }

    const foreign = createBackend({ ...opts, appKey: 'another-key' });
    const wrongSecret = createBackend({ ...opts, secret: `${secret}x` });
    const [foreignUrl, wrongUrl] = await Promise.all([foreign, wrongSecret].map(listen));
    backends.push(foreign, wrongSecret);
    assert.strictEqual((await post(foreignUrl, { order: 'order-4: pay 2.00', sign: sign4.sign })).status, 401);
    const wrong = await post(wrongUrl, { order: 'order-4: pay 2.00', sign: sign4.sign });
    assert.deepStrictEqual([wrong.status, wrong.answer.accepted, wrong.answer.reason], [502, false, 'unauthorized']);

    await svc.close();
    const down = await post(url, { order: 'order-4: pay 2.00', sign: sign4.sign });
    assert.deepStrictEqual([down.status, down.answer.accepted], [503, false], 'fail closed without the service');
  } finally {
    for (const b of backends) b.close();
    await svc.close();
    fs.rmSync(prefsDir, { recursive: true, force: true });
  }
});

// The example backend as its own process: every hostile request is answered
// with its reason, the process stays up, and a forged sign (a token-shaped
// text the service never issued) is never accepted.
test('the example backend answers hostile requests and keeps serving; a forged sign is never accepted', async () => {
  const appKey = 'backend-hostile-key';
  const svc = await startService({ port: 0 });
  const { secret } = await svc.registerApp({ appKey });
  const child = spawn(process.execPath, [path.join(__dirname, '..', 'examples', 'backend.js'), '0'],
    { env: { ...process.env, APP_KEY: appKey, SERVICE_URL: svc.url, SERVER_SECRET: secret }, stdio: ['ignore', 'pipe', 'pipe'] });
  let stderr = '';
  child.stderr.on('data', (c) => { stderr += c; });
  const limit = setTimeout(() => child.kill('SIGKILL'), 30000);
  try {
    const url = await new Promise((resolve, reject) => {
      child.stdout.once('data', (c) => resolve(String(c).trim()));
      child.once('exit', (code, signal) => reject(new Error(`the backend ended (${code}, ${signal}): ${stderr}`)));
    });
    const signOf = (order, json) => forge.businessSign(appKey, order, JSON.stringify(json));
    const now = String(Date.now());
    const bomb = forge.degradeToken(appKey, forge.request(appKey, forge.emptyEntries(1000000)));
    const raw = (body) => fetch(`${url}/orders`, { method: 'POST', body }).then(async (r) => ({ status: r.status, answer: /** @type {any} */ (await r.json()) }));
    /** @type {any[]} */
    const cases = [
      ['{"order": {"toString": 1}, "sign": "x"}', 400],
      ['null', 400],
      ['[1, 2]', 400],
      ['{"__proto__": {"order": "o"}, "sign": "x"}', 400],
      ['{', 400],
      [JSON.stringify({ order: 'o-1', sign: signOf('o-1', { ulvok: { toString: 1 }, timestamp: now }) }), 401],
      [JSON.stringify({ order: 'o-3', sign: signOf('o-3', { ulvok: bomb, timestamp: now }) }), 401],
      [JSON.stringify({ order: 'o-4', sign: 'A'.repeat(60000) }), 401],
      [JSON.stringify({ order: 'o-5', sign: signOf('o-5', { ulvok: 'f'.repeat(32), timestamp: now }) }), 401],
      ['x'.repeat(70 * 1024), 413],
    ];
    for (const [body, status] of cases) {
      const r = await raw(body);
      assert.strictEqual(r.status, status, body.slice(0, 80));
      assert.strictEqual(r.answer.accepted, false, body.slice(0, 80));
      assert.strictEqual(typeof r.answer.reason, 'string');
    }
    assert.strictEqual(child.exitCode, null, 'the backend is still running');
    assert.strictEqual(stderr, '', 'nothing went wrong inside the backend');
  } finally {
    clearTimeout(limit);
    child.kill();
    await svc.close();
  }
});
