// @ts-check
'use strict';
// The built library in a Node host against the reference service: the token
// request as the service opens it (both schemes), and the token's life: in
// memory, sealed in the preferences, read back by a new process, refreshed
// after 24 hours, when the event count changes, when forced, and held back
// by the rate limit. Every scenario runs in a process of its own
// (fixtures/e2e-host.js): the library sets up once per process.

const test = require('node:test');
const assert = require('node:assert');
const fs = require('node:fs');

const { startService } = require('../service/service');
const catalogue = require('../lib/catalogue');
const tokens = require('../lib/tokens');
const e2e = require('./fixtures/e2e-common');

const { describe, before, after } = test;

// The runtime guard reports its first findings right after setup; a finding
// that lands after an exchange changes the event count and so makes the next
// call refresh. Scenarios that count requests let it land first.
const SETTLE = { op: 'sleep', ms: 400 };
const OAID = '3e4f5a6b-7c8d-4e9f-a0b1-c2d3e4f5a6b7';
const SIGNATURE = 'e2e-app-signature';
const UUID_V4 = /^[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}$/;
const SERVICE_TOKEN = /^[0-9a-f]{32}$/;

function byteOrder(a, b) {
  return Buffer.compare(Buffer.from(a), Buffer.from(b));
}

let svc;
before(async () => {
  svc = await startService({ port: 0 });
});
after(async () => {
  await svc.close();
});

for (const alg of ['legacy', 'gm']) {
  test(`a ${alg} token request opens at the service with the fixed header and this machine's data`, async () => {
    const appKey = `e2e-wire-${alg}`;
    const prefsDir = e2e.tempDir('wire');
    try {
      const from = svc.requests.length;
      const facts = e2e.machineFacts();
      const t0 = Date.now();
      const run = await e2e.runHost({
        prefsDir,
        appKey,
        oaid: OAID,
        appSignature: SIGNATURE,
        init: { KEY_URL: svc.url, KEY_MANAGER_ALGORITHM: alg, shopId: 's-1', tier: 'gold' },
        steps: [{ op: 'token', options: { tier: 'platinum', PRIVATE_COLLECT_TIMEOUT: '3000', KEY_EXTRA: 'x' } }],
      });
      const t1 = Date.now();
      e2e.assertClean(assert, run);
      const recs = svc.requests.slice(from);
      assert.strictEqual(recs.length, 1, 'one request');
      const rec = recs[0];
      assert.strictEqual(rec.error, null);
      assert.strictEqual(rec.signOk, true);
      assert.strictEqual(rec.scheme, alg);
      assert.strictEqual(run.steps[0].token, rec.answer.ulvok);

      // The address: path, then sign, appKey, app, version and, for gm, alg.
      const q = rec.query;
      const expectUrl = `/udid/m1?sign=${q.sign}&appKey=${appKey}&app=${encodeURIComponent(e2e.APP_INFO.name)}`
        + `&version=${e2e.SDK_VERSION}${alg === 'gm' ? '&alg=gm' : ''}`;
      assert.strictEqual(rec.url, expectUrl);
      assert.match(q.sign, alg === 'gm' ? /^[0-9a-f]{64}$/ : /^[0-9a-f]{32}$/);

      assert.deepStrictEqual(rec.header, {
        sdk_version: e2e.SDK_VERSION,
        app_version_name: e2e.APP_INFO.versionName,
        app_version_code: e2e.APP_INFO.versionCode,
        app_key: appKey,
        os_type: 2,
        os_version: run.setup.osVersion,
        format_version: 1,
        app_name: e2e.APP_INFO.name,
        sdk_variant: 2,
      });
      assert.strictEqual(rec.command, 1002);
      assert.deepStrictEqual(rec.extraEntries, []);

      // Entries: byte-wise key order, no empty values, every key catalogued.
      const keys = rec.entries.map(([k]) => k);
      assert.deepStrictEqual(keys, keys.slice().sort(byteOrder));
      for (const [k, v] of rec.entries) {
        assert.notStrictEqual(v, '', `${k} is sent empty`);
        assert.ok(catalogue.describe(k).known, `${k} is not in the catalogue`);
      }
      const d = rec.data;

      // Bookkeeping and times.
      const n = (k) => Number.parseInt(d[k], 10);
      assert.ok(t0 <= n('K451') && n('K451') <= n('K200') && n('K200') <= n('K452') && n('K452') <= t1,
        `K451 ${d.K451} K200 ${d.K200} K452 ${d.K452} within ${t0}..${t1}`);
      assert.match(d.K300, /^\d+$/);
      assert.ok(n('K300') <= n('K452') - n('K451'));
      if ('K450' in d) assert.match(d.K450, /^([a-z_]+,)+$/);
      assert.match(d.K205, /^\d+\.\d+ \d+\.\d+$/);
      const uptime = Number.parseFloat(d.K205);
      assert.ok(Math.abs(n('K202') - (n('K200') / 1000 - uptime)) < 5, `boot time ${d.K202}`);

      // The collectors' values, read here without the library.
      for (const [k, v] of Object.entries(facts.exact)) assert.strictEqual(d[k], v, k);
      for (const k of facts.present) assert.ok(k in d, `${k} missing`);
      for (const k of facts.absent) assert.ok(!(k in d), `${k} present on a machine without its source`);
      assert.match(d.K58, UUID_V4);
      assert.match(d.K291, UUID_V4);
      assert.notStrictEqual(d.K291, fs.readFileSync('/proc/sys/kernel/random/uuid', 'utf8').trim());
      assert.strictEqual(d.K2, e2e.APP_INFO.name);
      assert.strictEqual(d.K4, e2e.APP_INFO.versionName);
      assert.strictEqual(d.K850, String(e2e.APP_INFO.versionCode));
      assert.strictEqual(d.K7, SIGNATURE);
      assert.strictEqual(d.K353, OAID);
      assert.strictEqual(d.timezone, Intl.DateTimeFormat().resolvedOptions().timeZone);
      assert.strictEqual(d.utcOffsetMinutes, String(-new Date().getTimezoneOffset()));
      for (const [k, v] of Object.entries(e2e.deviceKeys(run.setup.deviceInfo, catalogue))) assert.strictEqual(d[k], v, k);
      if ('K350' in d) {
        const events = JSON.parse(d.K350);
        assert.ok(Array.isArray(events) && events.length > 0);
        for (const e of events) assert.deepStrictEqual(Object.keys(e).sort(), ['code', 'event', 'msg', 'ts']);
      }

      // Caller data: "user_" entries, the call's value winning; settings stay out.
      assert.strictEqual(d.user_shopId, 's-1');
      assert.strictEqual(d.user_tier, 'platinum');
      assert.deepStrictEqual(keys.filter((k) => /KEY_|PRIVATE_/.test(k)), []);

      // The installation identifier is kept sealed as an SDK property.
      const stored = e2e.prefs(prefsDir, appKey).sdk(e2e.UUID_PREF);
      assert.notStrictEqual(stored.raw, d.K58);
      assert.strictEqual(stored.value, d.K58);
    } finally {
      fs.rmSync(prefsDir, { recursive: true, force: true });
    }
  });
}

describe('the token of one application over one preference directory', () => {
  const appKey = 'e2e-life-key';
  let prefsDir;
  let token;
  const host = (steps, extra = {}) => e2e.runHost({
    prefsDir, appKey, oaid: OAID, init: { KEY_URL: svc.url, KEY_DELAY_MS_TIME: '5000' }, steps, ...extra,
  });
  const pref = () => e2e.prefs(prefsDir, appKey);
  const setStoredTime = (ms) => pref().putApp(e2e.TIME_PREF, String(ms));
  const signedToken = (sign, text) => {
    const opened = tokens.openBusinessSign(sign, appKey, text);
    assert.ok(opened && opened.fields, 'the sign opens');
    return opened.fields.ulvok;
  };

  before(() => {
    prefsDir = e2e.tempDir('life');
  });
  after(() => {
    fs.rmSync(prefsDir, { recursive: true, force: true });
  });

  test('the first call fetches; the second comes from memory; both are stored sealed', async () => {
    const from = svc.requests.length;
    const t0 = Date.now();
    const run = await host([SETTLE, { op: 'token' }, { op: 'token' }]);
    const t1 = Date.now();
    e2e.assertClean(assert, run);
    const recs = svc.requests.slice(from);
    assert.strictEqual(recs.length, 1, 'one exchange for two calls');
    token = run.steps[1].token;
    assert.match(token, SERVICE_TOKEN);
    assert.strictEqual(token, recs[0].answer.ulvok);
    assert.strictEqual(run.steps[2].token, token);
    assert.match(run.log, /both memory \/ stored token are invalid/);

    const p = pref();
    const stored = p.app(e2e.TOKEN_PREF);
    assert.strictEqual(stored.value, token);
    assert.ok(!stored.raw.includes(token), 'the token is not stored in the clear');
    assert.strictEqual(Buffer.from(stored.raw, 'base64').length % 16, 0);
    const time = Number(p.app(e2e.TIME_PREF).value);
    assert.ok(t0 <= time && time <= t1, `stored time ${time}`);
    // Under another application name the same text does not open.
    assert.notStrictEqual(e2e.openPref('com.example.other', `${appKey}:${e2e.TOKEN_PREF}`, stored.raw), token);
  });

  test('a new process reads the stored token back; its first token call checks in with it', async () => {
    const from = svc.requests.length;
    const run = await host([{ op: 'sign', text: 'read back' }, { op: 'token' }]);
    e2e.assertClean(assert, run);
    // The sign takes the stored token without asking the service.
    assert.strictEqual(signedToken(run.steps[0].sign, 'read back'), token);
    const recs = svc.requests.slice(from);
    // The first token call of a process sees the event count change from
    // nothing, refreshes, and sends the stored token as the previous one.
    assert.strictEqual(recs.length, 1);
    assert.strictEqual(recs[0].header.ulvok, token);
    assert.match(run.log, /pre: after:\d+/);
    assert.strictEqual(run.steps[1].token, recs[0].answer.ulvok);
    assert.notStrictEqual(run.steps[1].token, token);
    token = run.steps[1].token;
    assert.strictEqual(pref().app(e2e.TOKEN_PREF).value, token);
  });

  test('a stored token just under 24 hours old is still used', async () => {
    setStoredTime(Date.now() - e2e.DAY_MS + 60000);
    const from = svc.requests.length;
    const run = await host([{ op: 'sign', text: 'young' }]);
    e2e.assertClean(assert, run);
    assert.strictEqual(signedToken(run.steps[0].sign, 'young'), token);
    assert.strictEqual(svc.requests.length, from, 'no exchange');
  });

  test('a stored token older than 24 hours is refreshed', async () => {
    const old = Date.now() - e2e.DAY_MS - 1000;
    setStoredTime(old);
    const from = svc.requests.length;
    const run = await host([{ op: 'sign', text: 'old' }]);
    e2e.assertClean(assert, run);
    const recs = svc.requests.slice(from);
    assert.strictEqual(recs.length, 1);
    assert.strictEqual(recs[0].header.ulvok, token, 'the expired token travels as the previous one');
    assert.match(run.log, /both memory \/ stored token are invalid/);
    const fresh = signedToken(run.steps[0].sign, 'old');
    assert.strictEqual(fresh, recs[0].answer.ulvok);
    token = fresh;
    assert.ok(Number(pref().app(e2e.TIME_PREF).value) > old + e2e.DAY_MS);
  });

  test('a stored time that is not a number makes the stored token unusable', async () => {
    pref().putApp(e2e.TIME_PREF, 'soon');
    const from = svc.requests.length;
    const run = await host([{ op: 'sign', text: 'nan' }]);
    e2e.assertClean(assert, run);
    assert.strictEqual(svc.requests.length, from + 1);
    token = signedToken(run.steps[0].sign, 'nan');
    assert.strictEqual(token, svc.requests[from].answer.ulvok);
  });

  test('PRIVATE_FORCE_REFRESH and PRIVATE_CLEAR_TOKEN force an exchange; other values do not', async () => {
    const from = svc.requests.length;
    const run = await host([
      SETTLE,
      { op: 'token' },                                                  // first call of the process: checks in
      { op: 'token' },                                                  // memory
      { op: 'token', options: { PRIVATE_FORCE_REFRESH: ' TRUE ' } },    // forced
      { op: 'token', options: { PRIVATE_FORCE_REFRESH: 'yes' } },       // memory
      { op: 'token', options: { PRIVATE_CLEAR_TOKEN: 'Clear' } },       // forced
      { op: 'token', options: { PRIVATE_CLEAR_TOKEN: 'no' } },          // memory
    ]);
    e2e.assertClean(assert, run);
    const got = run.steps.slice(1).map((s) => s.token);
    const answers = svc.requests.slice(from).map((r) => r.answer.ulvok);
    assert.strictEqual(answers.length, 3);
    assert.deepStrictEqual(got, [answers[0], answers[0], answers[1], answers[1], answers[2], answers[2]]);
    assert.match(run.log, /force_refresh set to true, force refresh token from server/);
    assert.match(run.log, /PRIVATE_CLEAR_TOKEN set to force refresh token from server/);
    token = answers[2];
  });

  test('after 16 exchanges in a minute the next is refused, unless PRIVATE_CLEAR_TOKEN lifts the block', async () => {
    const force = { op: 'token', options: { PRIVATE_FORCE_REFRESH: 'true' } };
    const from = svc.requests.length;
    const run = await host([
      SETTLE,
      ...Array.from({ length: 16 }, () => force),
      force,
      { op: 'token', options: { PRIVATE_CLEAR_TOKEN: 'clear' } },
    ]);
    e2e.assertClean(assert, run);
    const answers = svc.requests.slice(from).map((r) => r.answer.ulvok);
    assert.strictEqual(answers.length, 17, 'the 17th call started no exchange, the 18th did');
    const got = run.steps.slice(1).map((s) => s.token);
    assert.strictEqual(got[15], answers[15]);
    assert.strictEqual(got[16], answers[15], 'a refused exchange returns the token in memory');
    assert.strictEqual(got[17], answers[16]);
    assert.match(run.log, /qpm\(16\) > 15, blocking/);
    assert.match(run.log, /qpm\(16\) > 15 with PRIVATE_CLEAR_TOKEN, allow refresh token from server/);
  });
});

test('concurrent first calls of one application share one exchange', async () => {
  const prefsDir = e2e.tempDir('parallel');
  try {
    const from = svc.requests.length;
    const run = await e2e.runHost({
      prefsDir, appKey: 'e2e-parallel', init: { KEY_URL: svc.url, KEY_DELAY_MS_TIME: '3000' }, steps: [SETTLE, { op: 'parallel', count: 6 }],
    });
    e2e.assertClean(assert, run);
    const recs = svc.requests.slice(from);
    const got = run.steps[1].tokens;
    assert.strictEqual(got.length, 6);
    // Callers that arrive during the exchange wait for it; a caller whose
    // wait began after the notification may start one more exchange.
    assert.ok(recs.length >= 1 && recs.length <= 2, `${recs.length} exchanges`);
    for (const t of got) assert.ok(recs.some((r) => r.answer.ulvok === t), `token ${t} was not handed out by the service`);
  } finally {
    fs.rmSync(prefsDir, { recursive: true, force: true });
  }
});

test('a second setup in one process is refused and the first SDK keeps working', async () => {
  const prefsDir = e2e.tempDir('setup');
  try {
    const run = await e2e.runHost({
      prefsDir, appKey: 'e2e-setup', init: { KEY_URL: svc.url }, steps: [{ op: 'setup-again' }, { op: 'token' }],
    });
    e2e.assertClean(assert, run);
    assert.strictEqual(run.steps[0].handle, 0);
    assert.match(run.steps[1].token, SERVICE_TOKEN);
  } finally {
    fs.rmSync(prefsDir, { recursive: true, force: true });
  }
});

test('a scenario reads the library\'s log whatever the developer\'s shell says about it', async (t) => {
  const saved = { RISK_LOG: process.env.RISK_LOG, RISK_LOG_FILE: process.env.RISK_LOG_FILE };
  t.after(() => {
    for (const [k, v] of Object.entries(saved)) {
      if (v === undefined) delete process.env[k];
      else process.env[k] = v;
    }
  });
  process.env.RISK_LOG = 'off';
  process.env.RISK_LOG_FILE = '/dev/null';
  const prefsDir = e2e.tempDir('shell-log');
  try {
    const run = await e2e.runHost({ prefsDir, appKey: 'e2e-shell-log', init: { KEY_URL: svc.url }, steps: [{ op: 'token' }] });
    e2e.assertClean(assert, run);
    assert.match(run.log, /both memory \/ stored token are invalid/);
  } finally {
    fs.rmSync(prefsDir, { recursive: true, force: true });
  }
});
