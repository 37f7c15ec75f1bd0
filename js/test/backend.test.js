'use strict';
// The example backend (examples/backend.js) and quon-risk-comm/server, fed
// with business signs the built library made: one carrying a service token,
// one a degrade token (the token service answered 500). The backend accepts
// both and says which is which; a sign for another order text, under
// another key, tampered with, or too old is refused.

const test = require('node:test');
const assert = require('node:assert');
const fs = require('node:fs');

const { startService } = require('../service/service');
const { createBackend } = require('../examples/backend');
const server = require('../server');
const e2e = require('./fixtures/e2e-common');

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
    assert.deepStrictEqual(a.answer.token, { kind: 'service', token: tok.token });
    assert.strictEqual(a.answer.scene, 'default');

    const d = await post(url, { order: 'order-2: pay 5.00', sign: degradeSign.sign });
    assert.strictEqual(d.status, 200, JSON.stringify(d.answer));
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
      [url, { order: 'order-1: pay 10.00' }, 400, /needs "order" and "sign"/],
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
