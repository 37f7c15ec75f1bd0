// @ts-check
'use strict';
// Business signs and situation reports of the built library, opened outside
// it: signs with Node's AES under MD5(key + text + key), reports by the
// reference service with its own scheme code. Checked: the fields and their
// JSON text, the scene, the report body and address, the answer handed to
// onSituationServerEvent, and the sealed report properties (up time, error
// count over reports that get no answer).

const test = require('node:test');
const assert = require('node:assert');
const fs = require('node:fs');

const { startService } = require('../service/service');
const catalogue = require('../lib/catalogue');
const tokens = require('../lib/tokens');
const e2e = require('./fixtures/e2e-common');

const { before, after } = test;

const OAID = '9a8b7c6d-5e4f-4a3b-8c2d-1e0f9a8b7c6d';
const SETTLE = { op: 'sleep', ms: 400 };

// The JSON text as the library's JSON layer writes an object of strings:
// members in byte-wise key order, ", " between members and ": " after names.
function jsonText(fields) {
  const keys = Object.keys(fields).sort((a, b) => Buffer.compare(Buffer.from(a), Buffer.from(b)));
  return `{${keys.map((k) => `${JSON.stringify(k)}: ${JSON.stringify(fields[k])}`).join(', ')}}`;
}

let svc;
before(async () => {
  svc = await startService({ port: 0, situationAnswer: (rec) => JSON.stringify({ code: 0, advice: 'ok', seq: rec.seq }) });
});
after(async () => {
  await svc.close();
});

for (const alg of ['legacy', 'gm']) {
  test(`${alg}: business signs and situation reports open outside the library`, async () => {
    const appKey = `e2e-sign-${alg}`;
    const prefsDir = e2e.tempDir('sign');
    try {
      const from = svc.requests.length;
      const t0 = Date.now();
      const run = await e2e.runHost({
        prefsDir,
        appKey,
        oaid: OAID,
        serviceUrl: svc.url,
        init: { KEY_URL: svc.url, KEY_SITUATION_URL: svc.url, KEY_MANAGER_ALGORITHM: alg, channel: 'web' },
        steps: [
          SETTLE,
          { op: 'token' },
          { op: 'sign', text: 'pay 1', options: { orderId: 'o-1', empty: '', KEY_X: 'setting', PRIVATE_Y: 'setting' } },
          { op: 'scene', scene: 'checkout' },
          { op: 'situation' },
          { op: 'sign', text: 'pay 2' },
          { op: 'mode', mode: { name: 'empty', endpoint: 'situation' } },
          { op: 'situation' },
          { op: 'situation' },
          { op: 'situation' },
          { op: 'mode', mode: { name: 'normal' } },
          { op: 'situation' },
        ],
      });
      const t1 = Date.now();
      e2e.assertClean(assert, run);
      const [, tok, sign1, , report1, sign2, , empty1, empty2, empty3, , report2] = run.steps;
      const token = tok.token;
      assert.match(token, /^[0-9a-f]{32}$/);

      // The first sign: the token, the time, the default scene, caller data,
      // no report time yet, the SDK's fields and the device's.
      const opened = tokens.openBusinessSign(sign1.sign, appKey, 'pay 1');
      assert.ok(opened && opened.fields, 'the sign opens');
      const f = opened.fields;
      assert.strictEqual(opened.json, jsonText(f));
      const ts = Number(f.timestamp);
      assert.ok(t0 <= ts && ts <= t1);
      const expected = {
        ulvok: token,
        timestamp: f.timestamp,
        K3000: 'default',
        user_channel: 'web',
        user_orderId: 'o-1',
        user_empty: '',
        K3002: '',
        os_type: '2',
        K8: e2e.SDK_VERSION,
        K353: OAID,
        ...e2e.deviceKeys(run.setup.deviceInfo, catalogue),
      };
      if ('K350' in f) (/** @type {Record<string, unknown>} */ (expected)).K350 = f.K350;
      assert.deepStrictEqual(f, expected);
      for (const k of Object.keys(f)) assert.ok(catalogue.describe(k).known, `${k} is not in the catalogue`);
      // The key depends on the text and the application key.
      assert.strictEqual(tokens.openBusinessSign(sign1.sign, appKey, 'pay 2'), null);
      assert.strictEqual(tokens.openBusinessSign(sign1.sign, `${appKey}x`, 'pay 1'), null);

      // The scene is stored sealed under the application's name.
      assert.strictEqual(e2e.prefs(prefsDir, appKey).app('Scene').value, 'checkout');

      // The first report, as the service opened it, and its answer.
      const recs = svc.requests.slice(from);
      const situation = recs.filter((r) => r.endpoint === 'situation');
      assert.strictEqual(situation.length, 5);
      assert.strictEqual(recs.filter((r) => r.endpoint === 'token').length, 1, 'signs and reports used the token in memory');
      for (const r of situation) {
        assert.strictEqual(r.error, null);
        assert.strictEqual(r.signOk, true);
        assert.strictEqual(r.scheme, alg);
        assert.strictEqual(r.path, '/udid/sa-m');
        assert.strictEqual(r.query.alg, alg === 'gm' ? 'gm' : undefined);
        assert.strictEqual(r.query.appKey, appKey);
      }
      const body = { os_type: '2', ulvok: token, version: e2e.SDK_VERSION };
      if ('K350' in situation[0].json) body.K350 = situation[0].json.K350;
      assert.deepStrictEqual(situation[0].json, body);
      assert.strictEqual(situation[0].body, jsonText(body));
      assert.deepStrictEqual(report1.event, { key: appKey, text: situation[0].answer.text, at: report1.event.at });
      assert.deepStrictEqual(JSON.parse(report1.event.text), { code: 0, advice: 'ok', seq: situation[0].seq });

      // The second sign carries the scene and the time of the report.
      const f2 = tokens.openBusinessSign(sign2.sign, appKey, 'pay 2').fields;
      assert.strictEqual(f2.K3000, 'checkout');
      assert.match(f2.K3002, /^\d+$/);
      assert.ok(Number(f2.K3002) >= t0 && Number(f2.K3002) <= report1.event.at);
      assert.strictEqual(f2.user_orderId, undefined, 'call data does not stay');

      // Reports without an answer hand "" to the script and count up; an
      // answered one resets the count.
      for (const s of [empty1, empty2, empty3]) assert.deepStrictEqual([s.event.key, s.event.text], [appKey, '']);
      assert.deepStrictEqual(situation.slice(1, 4).map((r) => r.answer.mode), ['empty', 'empty', 'empty']);
      assert.notStrictEqual(report2.event.text, '');
      const p = e2e.prefs(prefsDir, appKey);
      assert.strictEqual(p.app('SITUATION_ERROR_COUNT').value, '0');
      const upTime = Number(p.app('SITUATION_UP_TIME').value);
      assert.ok(upTime > Number(f2.K3002) && upTime <= t1);
    } finally {
      fs.rmSync(prefsDir, { recursive: true, force: true });
    }
  });
}

test('the error count of unanswered reports is kept across processes', async () => {
  const appKey = 'e2e-situation-count';
  const prefsDir = e2e.tempDir('count');
  try {
    await svc.setMode({ name: 'http500', endpoint: 'situation' });
    const steps = [{ op: 'situation' }, { op: 'situation' }];
    const opts = { prefsDir, appKey, init: { KEY_URL: svc.url, KEY_SITUATION_URL: svc.url } };
    e2e.assertClean(assert, await e2e.runHost({ ...opts, steps }));
    assert.strictEqual(e2e.prefs(prefsDir, appKey).app('SITUATION_ERROR_COUNT').value, '2');
    e2e.assertClean(assert, await e2e.runHost({ ...opts, steps: [{ op: 'situation' }] }));
    assert.strictEqual(e2e.prefs(prefsDir, appKey).app('SITUATION_ERROR_COUNT').value, '3');
  } finally {
    await svc.setMode('normal');
    fs.rmSync(prefsDir, { recursive: true, force: true });
  }
});
