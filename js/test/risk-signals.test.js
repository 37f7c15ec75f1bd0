// @ts-check
'use strict';
// Risk signals from real devices' data: the library, in child processes
// (fixtures/e2e-host.js), fetches tokens from the production service on a
// SQLite file, and the verify answers carry what its data showed: a tracer
// (the run under strace), this machine's hypervisor, a signature other than
// the registered one, many fresh installations of one machine. The database
// is read back with a connection of its own: the fingerprint is a keyed
// hash, no raw device fact is kept, and forget removes the installation's
// signals with it.

const { describe, it, before, after } = require('node:test');
const assert = require('node:assert');
const crypto = require('node:crypto');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');

const { startService, SITUATION_PATH } = require('../service/service');
const { createScheme } = require('../lib/scheme');
const wire = require('../lib/wire');
const e2e = require('./fixtures/e2e-common');
const { SERVICE_DIR, call, verify } = require('./fixtures/service-client');

const Database = require(require.resolve('better-sqlite3', { paths: [SERVICE_DIR] }));

const GENUINE = 'SIG-GENUINE-0123456789abcdef';
const CHURN_AT = 3;
// strace follows the children too; the sanitizer runtime, when preloaded,
// goes to the traced node only.
const STRACE = ['strace', '-f', '-o', '/dev/null',
  ...(process.env.LD_PRELOAD ? ['-E', `LD_PRELOAD=${process.env.LD_PRELOAD}`] : [])];
const HYPERVISOR = (e2e.machineFacts().exact.K32 || '').split(/\s+/).includes('hypervisor');

const names = (answer) => answer.signals.map((s) => s.name);

describe('signals in verify answers, from the library\'s own requests', () => {
  let dir;
  let svc;
  let main;    // { app, secret }: a registered signature
  let churn;   // { app, secret }: churn from CHURN_AT installations
  const prefsDirs = [];

  before(async () => {
    dir = e2e.tempDir('signals');
    svc = await startService({ development: false, db: path.join(dir, 'risk.db'), port: 0 });
    main = await svc.registerApp({ appKey: 'signals-app', signature: GENUINE });
    churn = await svc.registerApp({ appKey: 'churn-app', thresholds: { churnInstallations: CHURN_AT } });
  });
  after(async () => {
    await svc.close();
    for (const d of [dir, ...prefsDirs]) fs.rmSync(d, { recursive: true, force: true });
  });

  // One fresh installation (a new preference directory) fetching one token;
  // resolves with the token and the verify answer.
  /**
   * @param {any} app
   * @param {{ appKey?: string, signature?: string, wrap?: string[], prefsDir?: string }} [options]
   */
  async function device(app, { appKey, signature = GENUINE, wrap = [], prefsDir = e2e.tempDir('signals-prefs') } = {}) {
    prefsDirs.push(prefsDir);
    const run = await e2e.runHost({
      prefsDir, appKey, appSignature: signature, init: { KEY_URL: svc.url, KEY_SITUATION_URL: svc.url }, steps: [{ op: 'token' }],
    }, { wrap, timeoutMs: 60000, env: wrap.length > 0 ? { LD_PRELOAD: '' } : {} });
    e2e.assertClean(assert, run);
    const token = run.steps[0].token;
    const v = await verify(svc, app.secret, { token });
    assert.strictEqual(v.status, 200);
    assert.strictEqual(v.json.valid, true, `a service token: ${JSON.stringify(v.json)}`);
    return { token, prefsDir, answer: v.json };
  }

  let clean;
  it('a clean run within the thresholds raises no tracer, signature or churn; this machine\'s hypervisor gives virtual_machine', async () => {
    clean = await device(main, { appKey: 'signals-app' });
    const a = clean.answer;
    process.stdout.write(`# verify answer, clean run: ${JSON.stringify(a)}\n`);
    for (const n of ['debugger_attached', 'app_signature_mismatch', 'installation_churn']) assert.ok(!names(a).includes(n), n);
    assert.ok(['low', 'medium', 'high'].includes(a.level));
    assert.strictEqual(a.reasons.length, a.signals.length);
    const vm = a.signals.find((s) => s.name === 'virtual_machine');
    if (HYPERVISOR) {
      assert.ok(vm, 'the hypervisor flag of /proc/cpuinfo raises virtual_machine');
      assert.strictEqual(vm.severity, 'medium');
      // The library's own event, and the flag in the CPU facts.
      assert.ok(vm.evidence.facts.includes('cpu flag: hypervisor'), JSON.stringify(vm.evidence));
      assert.ok(vm.evidence.facts.includes('CPU flag "hypervisor" in K32'), JSON.stringify(vm.evidence));
      assert.notStrictEqual(a.level, 'low');
    }
  });

  it('under strace the library reports a tracer, and the answer carries debugger_attached with it', async () => {
    const { answer } = await device(main, { appKey: 'signals-app', wrap: STRACE });
    process.stdout.write(`# verify answer, run under strace: ${JSON.stringify(answer)}\n`);
    const s = answer.signals.find((x) => x.name === 'debugger_attached');
    assert.ok(s, JSON.stringify(answer));
    assert.strictEqual(s.severity, 'high');
    assert.match(s.evidence.events[0].msg, /^tracer attached: pid=\d+ comm=strace$/);
    assert.strictEqual(answer.level, 'high');
    assert.match(answer.reasons[0], /^debugger_attached \(high\): a tracer attached to the app \(tracer attached: pid=\d+ comm=strace\)$/);
    assert.ok(!names(answer).includes('app_signature_mismatch'));
  });

  it('a signature other than the registered one gives app_signature_mismatch', async () => {
    const { answer } = await device(main, { appKey: 'signals-app', signature: 'SIG-REPACKAGED' });
    const s = answer.signals.find((x) => x.name === 'app_signature_mismatch');
    assert.deepStrictEqual(s && s.evidence, { seen: 'SIG-REPACKAGED', expected: GENUINE });
    assert.strictEqual(answer.signatureOk, false);
    assert.strictEqual(answer.level, 'high');
  });

  it('a situation report with a tracer event adds debugger_attached to its token\'s installation', async () => {
    // As the library sends it: the events under "K350" as JSON text, the token under "ulvok".
    const k350 = JSON.stringify([{ code: 1, event: 701, msg: 'tracer attached: pid=4242 comm=frida-server', ts: Date.now() }]);
    const payload = Buffer.from(JSON.stringify({ K350: k350, os_type: '2', ulvok: clean.token, version: e2e.SDK_VERSION }));
    const scheme = createScheme('legacy', 'signals-app');
    const url = wire.requestAddress(svc.url + SITUATION_PATH, { sign: scheme.sign(payload), appKey: 'signals-app', app: 'x', version: '1' });
    assert.strictEqual((await call(url, { body: wire.seal(scheme, payload) })).status, 200);
    const a = (await verify(svc, main.secret, { token: clean.token })).json;
    const s = a.signals.find((x) => x.name === 'debugger_attached');
    assert.deepStrictEqual(s && [s.evidence.from, s.evidence.events[0].msg], ['situation report', 'tracer attached: pid=4242 comm=frida-server']);
    assert.strictEqual(a.level, 'high');
    // The exchange's own signals stay.
    for (const n of names(clean.answer)) assert.ok(names(a).includes(n), n);
  });

  it('fresh installations of one machine give installation_churn; the fingerprint is a keyed hash and forget removes it', async () => {
    const runs = [];
    for (let i = 0; i < CHURN_AT; i++) runs.push(await device(churn, { appKey: 'churn-app' }));
    assert.ok(!names(runs[0].answer).includes('installation_churn'));
    const s = runs[CHURN_AT - 1].answer.signals.find((x) => x.name === 'installation_churn');
    assert.deepStrictEqual(s && s.evidence, { installations: CHURN_AT, threshold: CHURN_AT, windowMs: 24 * 60 * 60 * 1000 });
    const ids = runs.map((r) => r.answer.installationId);
    assert.strictEqual(new Set(ids).size, CHURN_AT, 'each run is an installation of its own');

    const db = new Database(path.join(dir, 'risk.db'), { readonly: true });
    const rows = db.prepare('SELECT installation_id, fingerprint FROM installations WHERE app_key = ?').all('churn-app');
    assert.strictEqual(rows.length, CHURN_AT);
    assert.strictEqual(new Set(rows.map((r) => r.fingerprint)).size, 1);
    assert.match(rows[0].fingerprint, /^[0-9a-f]{64}$/);
    // No raw fact of this machine is kept anywhere in the database.
    const dump = JSON.stringify(['apps', 'tokens', 'installations', 'consumed', 'service_keys']
      .map((t) => db.prepare(`SELECT * FROM ${t}`).all()));
    const bootId = fs.readFileSync('/proc/sys/kernel/random/boot_id', 'utf8').trim();
    for (const fact of [bootId, os.version(), os.cpus()[0].model]) assert.ok(!dump.includes(fact), `${fact} is not kept`);
    db.close();

    const forgot = await call(`${svc.url}/v1/forget`, {
      body: { installationId: ids[0] }, headers: { Authorization: `Bearer ${churn.secret}` },
    });
    assert.deepStrictEqual(forgot.json, { deleted: 2 });
    const after = new Database(path.join(dir, 'risk.db'), { readonly: true });
    const left = after.prepare('SELECT installation_id FROM installations WHERE app_key = ?').pluck().all('churn-app');
    after.close();
    assert.deepStrictEqual(left.sort(), ids.slice(1).sort());
  });
});

describe('signals on a database of the first schema', () => {
  it('migrates it, keeps its tokens verifying (without signals until the next exchange), and keeps one key for all', async () => {
    const dir = e2e.tempDir('signals-migrate');
    const file = path.join(dir, 'risk.db');
    try {
      const old = new Database(file);
      for (const sql of require('../service/store/migrations').MIGRATIONS[0].sqlite) old.exec(sql);
      old.exec('CREATE TABLE schema_migrations (version INTEGER PRIMARY KEY, name TEXT NOT NULL, applied_at INTEGER NOT NULL)');
      old.prepare('INSERT INTO schema_migrations VALUES (1, ?, ?)').run('first', Date.now());
      const token = crypto.randomBytes(16).toString('hex');
      const now = Date.now();
      old.prepare('INSERT INTO tokens VALUES (?, ?, ?, ?, ?, ?, ?, ?)')
        .run(crypto.createHash('sha256').update(token).digest('hex'), 'old-app', 'install-old', now, now + 86400000, 'legacy', 0, null);
      old.prepare('INSERT INTO installations VALUES (?, ?, ?, ?, ?, ?)').run('old-app', 'install-old', now, now, 0, 1);
      old.close();

      const svc = await startService({ development: false, db: file, port: 0 });
      let key;
      try {
        const app = await svc.registerApp({ appKey: 'old-app' });
        const a = (await verify(svc, app.secret, { token })).json;
        assert.deepStrictEqual([a.valid, a.signals, a.level, a.reasons], [true, [], 'low', []]);
        const check = new Database(file, { readonly: true });
        key = check.prepare('SELECT value FROM service_keys WHERE name = ?').pluck().get('fingerprint');
        check.close();
        assert.match(key, /^[0-9a-f]{64}$/);
      } finally {
        await svc.close();
      }
      // A second start keeps the key made by the first.
      const again = await startService({ development: false, db: file, port: 0 });
      await again.close();
      const check = new Database(file, { readonly: true });
      assert.strictEqual(check.prepare('SELECT value FROM service_keys').pluck().all().join(), key);
      check.close();
    } finally {
      fs.rmSync(dir, { recursive: true, force: true });
    }
  });
});

describe('thresholds through the risk command', () => {
  it('are checked, stored with the app, listed, replaced and reset; the exchanges that follow are judged by them', async () => {
    const { runCli, exchange } = require('./fixtures/service-client');
    const dir = e2e.tempDir('signals-cli');
    const db = path.join(dir, 'risk.db');
    const cli = (...args) => runCli([...args, '--db', db, '--json']);
    try {
      /** @type {any[]} */
      const cases = [
        [['apps', 'add', '--app-key', 'shop', '--thresholds', '{"mediumAt":0}'], 1, /thresholds: "mediumAt" is a whole number/],
        [['apps', 'add', '--app-key', 'shop', '--thresholds', '{"nope":1}'], 1, /unknown member "nope"/],
        [['apps', 'add', '--app-key', 'shop', '--thresholds', '{"churnInstallations":2}'], 0, /"thresholds":\{"churnInstallations":2\}/],
        [['apps', 'set', '--app-key', 'shop', '--thresholds', '{"severities":{"virtual_machine":"off"}}'], 0, /"virtual_machine":"off"/],
        [['apps', 'list'], 0, /"thresholds":\{"severities":\{"virtual_machine":"off"\}\}/],
        [['apps', 'set', '--app-key', 'nobody', '--thresholds', '{}'], 1, /not registered/],
        [['apps', 'set', '--app-key', 'shop'], 2, /--thresholds is required/],
      ];
      for (const [args, code, pattern] of cases) {
        const r = cli(...args);
        assert.strictEqual(r.code, code, `${args.join(' ')}: ${r.stderr}`);
        assert.match(code === 0 ? r.stdout : r.stderr, pattern, args.join(' '));
      }
      const secret = cli('apps', 'rotate', '--app-key', 'shop').stdout;
      const judged = async () => {
        const svc = await startService({ development: false, db, port: 0 });
        try {
          const got = await exchange(svc.url, 'shop', { entries: { K32: 'fpu hypervisor', K21: 'arm64-v8a' } });
          return (await verify(svc, JSON.parse(secret).secret, { token: got.token })).json.signals.map((s) => s.name);
        } finally {
          await svc.close();
        }
      };
      assert.ok(!(await judged()).includes('virtual_machine'), 'silenced');
      assert.match(cli('apps', 'set', '--app-key', 'shop', '--thresholds', 'null').stdout, /"thresholds":null/);
      assert.ok((await judged()).includes('virtual_machine'), 'the defaults again');
    } finally {
      fs.rmSync(dir, { recursive: true, force: true });
    }
  });
});
