'use strict';
// Faults around the library, each in a child process of its own that must
// stay alive and end by itself: bridge functions that throw, reject, answer
// the wrong type or answer 20 MiB; stored preferences that hold garbage,
// truncated or foreign sealed texts; a service that answers an archive whose
// entry claims 4 GiB, a ZIP bomb, 10 MiB of noise, or cuts the connection.
// Tokens are opened with lib/tokens.js and preferences with Node's SM4,
// independently of the library.

const test = require('node:test');
const assert = require('node:assert');
const crypto = require('crypto');
const fs = require('fs');
const zlib = require('zlib');

const { startService } = require('../service/service');
const { createScheme } = require('../lib/scheme');
const wire = require('../lib/wire');
const tokens = require('../lib/tokens');
const e2e = require('./fixtures/e2e-common');
const { runScript, crc32, rawZip, startRawService } = require('./fixtures/faults-common');

const { before, after } = test;

const DELAY_MS = 3000;
const SERVICE_TOKEN = /^[0-9a-f]{32}$/;

let svc;
let raw;
before(async () => {
  svc = await startService({ port: 0 });
  raw = await startRawService();
});
after(async () => {
  await svc.close();
  await raw.close();
});

function clean(run) {
  e2e.assertClean(assert, run);
  assert.strictEqual(run.signal, null);
}

function assertDegrade(step, appKey, code, what) {
  assert.ok(step.token !== null, `${what}: a token of ${step.length} bytes`);
  assert.ok(tokens.isDegradeToken(step.token) && step.token !== '', `${what}: a degrade token, got "${step.token.slice(0, 80)}"`);
  const opened = tokens.openDegradeToken(step.token, appKey);
  assert.strictEqual(opened.problem, null, `${what}: ${opened.problem}`);
  assert.strictEqual(opened.fields.errorCode, code, `${what}: error field`);
  assert.strictEqual(opened.request.header.app_key, appKey);
  return opened;
}

function withPrefs(tag, fn) {
  const prefsDir = e2e.tempDir(tag);
  return Promise.resolve(fn(prefsDir)).finally(() => fs.rmSync(prefsDir, { recursive: true, force: true }));
}

// --- bridge functions -----------------------------------------------------

const WRONG_ANSWERS = ['throw', 'reject', 'number', 'object', 'undefined', 'hugePromise'];

for (const kind of WRONG_ANSWERS) {
  test(`collector bridge functions that ${kind}: the token still comes from the service`, () => withPrefs('fc', async (prefsDir) => {
    const appKey = `faults-collect-${kind}`;
    const from = svc.requests.length;
    const faults = { getAppSignature: kind, getTimeInfo: kind, getDeviceInfo: kind };
    const run = await runScript('faults-host.js', {
      prefsDir, appKey, oaid: 'a1b2c3d4-0000-4000-8000-00000000abcd', faults,
      init: { KEY_URL: svc.url, KEY_DELAY_MS_TIME: String(DELAY_MS) },
      steps: [{ op: 'token' }, { op: 'sign', text: 'order-1' }],
    });
    clean(run);
    const [tok, sign] = run.steps;
    assert.match(tok.token, SERVICE_TOKEN);
    const recs = svc.requests.slice(from);
    assert.strictEqual(recs.length, 1);
    assert.strictEqual(recs[0].error, null);
    assert.strictEqual(recs[0].answer.ulvok, tok.token);
    assert.ok(run.done.calls.getAppSignature >= 1 && run.done.calls.getTimeInfo >= 1, JSON.stringify(run.done.calls));
    const opened = tokens.openBusinessSign(sign.sign, appKey, 'order-1');
    assert.strictEqual(opened.fields.ulvok, tok.token);
    if (kind === 'reject') assert.match(run.log, /get fail 5/);
    if (kind === 'throw') assert.match(run.log, /fail to call api getAppSignature/);
  }));
}

for (const kind of ['throw', 'reject', 'number', 'object', 'undefined', 'hugePromise']) {
  test(`"getOaid" that answers ${kind}: no advertising id is sent, the token comes`, () => withPrefs('fo', async (prefsDir) => {
    const appKey = `faults-oaid-${kind}`;
    const from = svc.requests.length;
    const run = await runScript('faults-host.js', {
      prefsDir, appKey, faults: { getOaid: kind },
      init: { KEY_URL: svc.url, KEY_DELAY_MS_TIME: String(DELAY_MS) },
      steps: [{ op: 'token' }],
    });
    clean(run);
    const recs = svc.requests.slice(from);
    assert.strictEqual(recs.length, 1);
    assert.strictEqual(recs[0].error, null);
    assert.match(run.steps[0].token, SERVICE_TOKEN);
    if (kind === 'hugePromise') {
      // A 20 MiB advertising id is a fact like any other: it travels (well
      // compressed) and reaches the service whole.
      assert.strictEqual(recs[0].data.K353.length, 20 * 1024 * 1024);
      console.log(`huge oaid: request payload ${recs[0].payloadLength} bytes, answered in ${run.steps[0].ms} ms`);
    } else {
      assert.strictEqual(recs[0].data.K353, undefined);
    }
    if (kind === 'reject') assert.match(run.log, /getOaid fail 5/);
  }));
}

for (const kind of WRONG_ANSWERS.concat(['huge'])) {
  test(`"prefGet" and "prefPut" that ${kind}: the token comes from the service and lives in memory only`, () => withPrefs('fp', async (prefsDir) => {
    const appKey = `faults-pref-${kind}`;
    const from = svc.requests.length;
    const run = await runScript('faults-host.js', {
      prefsDir, appKey, faults: { prefGet: kind, prefPut: kind },
      init: { KEY_URL: svc.url, KEY_DELAY_MS_TIME: String(DELAY_MS) },
      steps: [{ op: 'token' }, { op: 'token' }, { op: 'scene', scene: 'checkout' }],
    });
    clean(run);
    const [a, b] = run.steps;
    assert.match(a.token, SERVICE_TOKEN);
    assert.strictEqual(b.token, a.token, 'the second call is answered from memory');
    assert.strictEqual(svc.requests.slice(from).length, 1);
    assert.ok(run.done.calls.prefGet >= 2 && run.done.calls.prefPut >= 2, JSON.stringify(run.done.calls));
    assert.deepStrictEqual(fs.readdirSync(prefsDir), [], 'nothing reached the preference files');
    if (kind === 'reject') assert.match(run.log, /set fail 5/);
  }));
}

const POST_FAULTS = [
  ['throw', /fail to call api post/],
  ['reject', /http post error, err code -5/],
  ['number', /get js responseCode object fail/],
  ['undefined', /get js responseCode object fail/],
  ['text', /get js responseCode object fail/],
  ['huge', /get js responseCode object fail/],
  ['resultObject', /js response return an object, do nothing/],
  ['badType', /unknown response type/],
  ['hugeBody', /Risk Server Response: fail -1002/],
  ['hugeText', /Risk Server Response: fail -1002/],
];

for (const [kind, line] of POST_FAULTS) {
  test(`"post" that answers ${kind}: a degrade token with -1002 and nothing stored`, () => withPrefs('fpost', async (prefsDir) => {
    const appKey = `faults-post-${kind}`;
    const run = await runScript('faults-host.js', {
      prefsDir, appKey, faults: { post: kind },
      init: { KEY_URL: svc.url, KEY_DELAY_MS_TIME: String(DELAY_MS), KEY_MANAGER_ALGORITHM: 'gm' },
      steps: [{ op: 'token' }],
    });
    clean(run);
    assertDegrade(run.steps[0], appKey, -1002, kind);
    assert.ok(run.steps[0].ms < DELAY_MS, `answered at once, took ${run.steps[0].ms} ms`);
    assert.match(run.log, line);
    assert.match(run.log, /fai to get token from server/);
    const p = e2e.prefs(prefsDir, appKey);
    assert.strictEqual(p.app(e2e.TOKEN_PREF).raw, '');
    assert.strictEqual(p.app(e2e.TIME_PREF).raw, '');
  }));
}
