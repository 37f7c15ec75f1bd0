// @ts-check
'use strict';
// Every fault of the reference service, and an unreachable one, against the
// built library in both schemes: the call ends in a degrade token whose last
// field names the failure, the token carries the request the service saw,
// the service's log shows what arrived and how it was answered, and the host
// neither crashes nor waits longer than "KEY_DELAY_MS_TIME".

const test = require('node:test');
const assert = require('node:assert');
const fs = require('node:fs');
const path = require('node:path');

const { startService } = require('../service/service');
const tokens = require('../lib/tokens');
const e2e = require('./fixtures/e2e-common');

const { before, after } = test;

const DELAY_MS = 1500;

// Fault mode → the error code of the failed exchange.
/** @type {any[]} */
const FAULTS = [
  [{ name: 'http500' }, -1002],
  [{ name: 'empty' }, -1002],
  [{ name: 'random' }, -1002],
  [{ name: 'wrongkey' }, -1002],
  [{ name: 'nonzip' }, -1003],
  [{ name: 'wrongentry' }, -1003],
  [{ name: 'emptyentry' }, -1003],
  [{ name: 'badproto' }, -1005],
  [{ name: 'status' }, -1008],
  [{ name: 'status', status: -10001 }, -1006],
  [{ name: 'wrongcommand' }, -1006],
  [{ name: 'nobody' }, -1006],
];

let svc;
let logFile;
let dir;
before(async () => {
  dir = e2e.tempDir('faults');
  logFile = path.join(dir, 'service.jsonl');
  svc = await startService({ port: 0, logFile });
});
after(async () => {
  await svc.close();
  fs.rmSync(dir, { recursive: true, force: true });
});

function logRecords() {
  if (!fs.existsSync(logFile)) return [];
  return fs.readFileSync(logFile, 'utf8').split('\n').filter(Boolean).map((l) => JSON.parse(l));
}

function assertDegrade(token, appKey, alg, code, what) {
  assert.ok(tokens.isDegradeToken(token) && token !== '', `${what}: a degrade token`);
  const opened = tokens.openDegradeToken(token, appKey);
  assert.strictEqual(opened.problem, null, `${what}: ${opened.problem}`);
  assert.strictEqual(opened.fields.errorCode, code, `${what}: error field`);
  assert.strictEqual(opened.fields.alg, alg === 'gm' ? 'gm' : '', `${what}: algorithm field`);
  assert.strictEqual(opened.fields.sdkVersion, e2e.SDK_VERSION);
  assert.strictEqual(opened.request.header.app_key, appKey);
  return opened;
}

for (const alg of ['legacy', 'gm']) {
  test(`${alg}: each fault of the service gives a degrade token with its code`, async () => {
    const appKey = `e2e-faults-${alg}`;
    const prefsDir = e2e.tempDir('faults');
    const closed = await e2e.closedPort();
    try {
      const from = logRecords().length;
      const steps = [];
      // Unreachable service: the post is rejected, the body stays empty.
      steps.push({ op: 'token', options: { KEY_URL: `http://127.0.0.1:${closed}` } });
      for (const [mode] of FAULTS) {
        steps.push({ op: 'mode', mode: { ...mode, endpoint: 'token', times: 1 } });
        steps.push({ op: 'token' });
      }
      steps.push({ op: 'token' });  // normal again: a service token
      const run = await e2e.runHost({
        prefsDir,
        appKey,
        serviceUrl: svc.url,
        init: { KEY_URL: svc.url, KEY_MANAGER_ALGORITHM: alg, KEY_DELAY_MS_TIME: String(DELAY_MS), PRIVATE_CLEAR_TOKEN: 'clear' },
        steps,
      });
      e2e.assertClean(assert, run);
      const got = run.steps.filter((s) => s.op === 'token');
      assert.strictEqual(got.length, FAULTS.length + 2);
      assertDegrade(got[0].token, appKey, alg, -1002, 'unreachable');
      for (const [i, [mode, code]] of FAULTS.entries()) {
        const step = got[i + 1];
        const opened = assertDegrade(step.token, appKey, alg, code, JSON.stringify(mode));
        assert.ok(step.ms < DELAY_MS, `${mode.name} answered at once, took ${step.ms} ms`);
        assert.ok(opened.request.data.K451, 'the degrade token carries the token request');
      }
      const last = got[got.length - 1].token;
      assert.match(last, /^[0-9a-f]{32}$/);

      // The service's log: one opened request per exchange, answered by mode.
      const recs = logRecords().slice(from);
      assert.deepStrictEqual(recs.map((r) => [r.error, r.signOk, r.scheme, r.query.appKey]),
        recs.map(() => [null, true, alg, appKey]));
      assert.deepStrictEqual(recs.map((r) => r.answer.mode), [...FAULTS.map(([m]) => m.name), 'normal']);
      assert.strictEqual(recs[recs.length - 1].answer.ulvok, last);
      // No token was stored by a failed exchange; the last one stored its own.
      assert.strictEqual(e2e.prefs(prefsDir, appKey).app(e2e.TOKEN_PREF).value, last);
      assert.match(run.log, /fai to get token from server/);
      assert.match(run.log, /Risk Server Response: fail -1002 for http:\/\/127\.0\.0\.1/);
    } finally {
      fs.rmSync(prefsDir, { recursive: true, force: true });
    }
  });
}

// slow: answered after 3 s, within the bridge's post limit of 6 s; hang: never
// answered, the bridge gives up after 3 s.
for (const [name, mode, postTimeoutMs] of /** @type {Array<[string, object, number]>} */ ([['slow', { name: 'slow', delayMs: 3000 }, 6000], ['hang', { name: 'hang' }, 3000]])) {
  test(`a ${name} service: the call returns after KEY_DELAY_MS_TIME and the process still ends by itself`, async () => {
    const appKey = `e2e-${name}`;
    const prefsDir = e2e.tempDir(name);
    try {
      const from = svc.requests.length;
      const steps = [
        // The guard's first finding lands before the exchange, so that the
        // event count stays as the exchange saw it.
        { op: 'sleep', ms: 400 },
        { op: 'mode', mode: { ...mode, times: 1 } },
        { op: 'token' },
      ];
      // A slow answer still lands in memory for the calls that follow.
      if (name === 'slow') steps.push({ op: 'sleep', ms: 2500 }, { op: 'token' });
      const run = await e2e.runHost({
        prefsDir,
        appKey,
        serviceUrl: svc.url,
        postTimeoutMs,
        init: { KEY_URL: svc.url, KEY_DELAY_MS_TIME: String(DELAY_MS) },
        steps,
      }, { timeoutMs: 20000 });
      e2e.assertClean(assert, run);
      const first = run.steps[2];
      assert.ok(first.ms >= DELAY_MS - 100 && first.ms < DELAY_MS + 1500, `the call took ${first.ms} ms`);
      // The exchange was still under way: the error field reads 0.
      assertDegrade(first.token, appKey, 'legacy', 0, name);
      assert.match(run.log, /timeout\(2\) !/);
      const recs = svc.requests.slice(from);
      assert.strictEqual(recs.length, 1);
      assert.strictEqual(recs[0].answer.mode, name);
      if (name === 'slow') {
        assert.strictEqual(run.steps[4].token, recs[0].answer.ulvok);
      } else {
        // The bridge gives up on the hanging post; nothing else holds the process.
        assert.ok(run.ms < DELAY_MS + postTimeoutMs + 4000, `the process took ${run.ms} ms`);
      }
    } finally {
      fs.rmSync(prefsDir, { recursive: true, force: true });
    }
  });
}

test('a business sign without any token carries a degrade token', async () => {
  const appKey = 'e2e-sign-down';
  const prefsDir = e2e.tempDir('signdown');
  const closed = await e2e.closedPort();
  try {
    const run = await e2e.runHost({
      prefsDir,
      appKey,
      init: { KEY_URL: `http://127.0.0.1:${closed}`, KEY_MANAGER_ALGORITHM: 'gm', KEY_DELAY_MS_TIME: String(DELAY_MS) },
      steps: [{ op: 'sign', text: 'offline' }],
    });
    e2e.assertClean(assert, run);
    const opened = tokens.openBusinessSign(run.steps[0].sign, appKey, 'offline');
    assert.ok(opened && opened.fields);
    assertDegrade(opened.fields.ulvok, appKey, 'gm', -1002, 'sign');
  } finally {
    fs.rmSync(prefsDir, { recursive: true, force: true });
  }
});
