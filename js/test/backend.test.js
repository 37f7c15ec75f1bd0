'use strict';
// The example backend (examples/backend.js) and quon-risk-comm/server, fed
// with business signs the built library made: one carrying a service token,
// one a degrade token (the token service answered 500). The backend makes
// its checks on both, says which checks it made and which token it saw, and
// accepts neither (nothing it can check proves the device); a sign for
// another order text, under another key, tampered with, too old or seen
// before is refused. Hostile requests to a running backend are answered and
// it keeps serving.

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
  return { status: res.status, answer: await res.json() };
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

test('the example backend opens signs made by the library and refuses forged, foreign and stale ones', async () => {
  const svc = await startService({ port: 0 });
  const prefsDir = e2e.tempDir('backend');
  const backend = createBackend({ appKey: APP_KEY });
  const later = createBackend({ appKey: APP_KEY, now: () => Date.now() + 10 * 60 * 1000 });
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
      ],
    });
    e2e.assertClean(assert, run);
    const [, degradeSign, , tok, serviceSign] = run.steps;
    const url = await listen(backend);
    const laterUrl = await listen(later);

    const a = await post(url, { order: 'order-1: pay 10.00', sign: serviceSign.sign });
    assert.strictEqual(a.status, 200, JSON.stringify(a.answer));
    assert.deepStrictEqual([a.answer.accepted, a.answer.verdict], [false, 'unverified']);
    assert.deepStrictEqual(a.answer.token, { kind: 'service', token: tok.token });
    assert.deepStrictEqual(a.answer.checks.map((c) => [c.check, c.passed]),
      [['sign-opens-for-order', true], ['timestamp-recent', true], ['not-replayed', true], ['token', null]]);
    assert.strictEqual(a.answer.scene, 'default');

    const d = await post(url, { order: 'order-2: pay 5.00', sign: degradeSign.sign });
    assert.strictEqual(d.status, 200, JSON.stringify(d.answer));
    assert.deepStrictEqual([d.answer.accepted, d.answer.verdict], [false, 'unverified']);
    assert.deepStrictEqual(d.answer.checks[3], { check: 'degrade-token-opens', passed: true,
      shows: 'device data as claimed by whoever made it; its error field is outside the signature' });
    assert.strictEqual(d.answer.token.kind, 'degrade');
    assert.strictEqual(d.answer.token.signatureOk, true);
    assert.strictEqual(d.answer.token.errorCode, -1002);
    assert.strictEqual(d.answer.token.error, server.describeCode(-1002).meaning);
    assert.ok(d.answer.token.dataKeys > 10);

    // The same degrade token through the server API: the request it carries.
    const fields = server.openBusinessSign(degradeSign.sign, APP_KEY, 'order-2: pay 5.00');
    const opened = server.openDegradeToken(fields.ulvok, APP_KEY);
    assert.strictEqual(opened.ok, true);
    assert.strictEqual(opened.scheme, 'legacy');
    assert.strictEqual(opened.request.header.app_key, APP_KEY);
    assert.match(opened.request.data.K451, /^\d+$/, 'the request of an exchange carries its start time');
    assert.strictEqual(server.openDegradeToken(fields.ulvok, `${APP_KEY}x`).ok, false);

    const refused = [
      [url, { order: 'order-1: pay 99.00', sign: serviceSign.sign }, 401, /does not open/],
      [url, { order: 'order-1: pay 10.00', sign: tamper(serviceSign.sign) }, 401, /does not open/],
      [laterUrl, { order: 'order-1: pay 10.00', sign: serviceSign.sign }, 401, /s old/],
      [url, { order: 'order-1: pay 10.00', sign: serviceSign.sign }, 409, /already used/],
      [url, { order: 'order-1: pay 10.00', sign: `${serviceSign.sign.slice(0, 8)}\n${serviceSign.sign.slice(8)}` }, 409, /already used/],
      [url, { order: 'order-1: pay 10.00' }, 400, /needs a non-empty "order" text and a "sign" text/],
    ];
    for (const [to, body, status, reason] of refused) {
      const r = await post(to, body);
      assert.strictEqual(r.status, status, JSON.stringify(body));
      assert.strictEqual(r.answer.accepted, false);
      assert.match(r.answer.reason, reason);
    }
    const foreign = createBackend({ appKey: 'another-key' });
    const foreignUrl = await listen(foreign);
    try {
      const r = await post(foreignUrl, { order: 'order-1: pay 10.00', sign: serviceSign.sign });
      assert.strictEqual(r.status, 401);
    } finally {
      foreign.close();
    }
  } finally {
    backend.close();
    later.close();
    await svc.close();
    fs.rmSync(prefsDir, { recursive: true, force: true });
  }
});

// The example backend as its own process: every hostile request is answered
// with its reason, the process stays up, and a forged sign that passes every
// check it can make is still answered "unverified".
test('the example backend answers hostile requests and keeps serving; a forged sign is never accepted', async () => {
  const appKey = 'backend-hostile-key';
  const child = spawn(process.execPath, [path.join(__dirname, '..', 'examples', 'backend.js'), '0'],
    { env: { ...process.env, APP_KEY: appKey }, stdio: ['ignore', 'pipe', 'pipe'] });
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
    const raw = (body) => fetch(`${url}/orders`, { method: 'POST', body }).then(async (r) => ({ status: r.status, answer: await r.json() }));
    const cases = [
      ['{"order": {"toString": 1}, "sign": "x"}', 400],
      ['null', 400],
      ['[1, 2]', 400],
      ['{"__proto__": {"order": "o"}, "sign": "x"}', 400],
      ['{', 400],
      [JSON.stringify({ order: 'o-1', sign: signOf('o-1', { ulvok: { toString: 1 }, timestamp: now }) }), 401],
      [JSON.stringify({ order: 'o-2', sign: signOf('o-2', { ulvok: 'tok', timestamp: 'soon' }) }), 401],
      [JSON.stringify({ order: 'o-3', sign: signOf('o-3', { ulvok: bomb, timestamp: now }) }), 401],
      [JSON.stringify({ order: 'o-4', sign: 'A'.repeat(60000) }), 401],
      ['x'.repeat(70 * 1024), 413],
    ];
    for (const [body, status] of cases) {
      const r = await raw(body);
      assert.strictEqual(r.status, status, body.slice(0, 80));
      assert.strictEqual(r.answer.accepted, false, body.slice(0, 80));
      assert.strictEqual(typeof r.answer.reason, 'string');
    }
    const forged = await raw(JSON.stringify({ order: 'o-5', sign: signOf('o-5', { ulvok: 'f'.repeat(32), timestamp: now }) }));
    assert.strictEqual(forged.status, 200);
    assert.deepStrictEqual([forged.answer.accepted, forged.answer.verdict], [false, 'unverified']);
    assert.strictEqual(child.exitCode, null, 'the backend is still running');
    assert.strictEqual(stderr, '', 'nothing went wrong inside the backend');
  } finally {
    clearTimeout(limit);
    child.kill();
  }
});
