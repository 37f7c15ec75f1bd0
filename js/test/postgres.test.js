// @ts-check
'use strict';
// The token service on PostgreSQL, against a throwaway cluster of Debian's
// server (fixtures/pg-cluster.js): instances started together migrate the
// schema once; a token issued through one instance verifies through
// another, and a digest consumed through one is refused through the other;
// the database stopped under load makes exchanges and verify answer 503, the
// service stays up and serves again by itself, and no answered token is
// lost; neither is one answered before a kill -9. Its store answers a
// history of calls as the SQLite store does. The database is read back
// with a pg client of its own. These run in the full test run
// (RISK_PG_TESTS=1, set by scripts/test.sh after installing postgresql).

const { describe, it, before, after } = require('node:test');
const assert = require('node:assert');
const path = require('node:path');

const {
  SERVICE_DIR, sha256, call, verify, exchange, runCli, startServe, stopAll,
} = require('./fixtures/service-client');
const { SITUATION_PATH } = require('../service/service');
const { openStore } = require('../service/store');
const { playHistory } = require('./fixtures/store-history');
const { createScheme } = require('../lib/scheme');
const wire = require('../lib/wire');

const skip = process.env.RISK_PG_TESTS === '1' ? false : 'PostgreSQL runs in the full test run (RISK_PG_TESTS=1)';

// Runs `workers` loops of token exchanges until stop() resolves; every
// answer is kept: { status, token }.
function load(url, appKey, workers) {
  const answers = [];
  let stopping = false;
  const loops = Array.from({ length: workers }, async (_, w) => {
    for (let i = 0; !stopping; i++) {
      try {
        answers.push(await exchange(url, appKey, { entries: { K58: `load-${w}-${i}` } }));
      } catch (e) {
        answers.push({ status: e.code || 'error' });
        await new Promise((r) => setTimeout(r, 20));
      }
    }
  });
  return {
    answers,
    async stop() {
      stopping = true;
      await Promise.all(loops);
      return answers;
    },
  };
}

async function until(what, fn, timeoutMs = 20000) {
  const end = Date.now() + timeoutMs;
  for (;;) {
    if (await fn()) return;
    if (Date.now() > end) throw new Error(`${what}: not within ${timeoutMs} ms`);
    await new Promise((r) => setTimeout(r, 100));
  }
}

describe('the token service on PostgreSQL', { skip }, () => {
  let cluster;
  let pg;
  let client;
  before(async () => {
    cluster = await require('./fixtures/pg-cluster').startCluster();
    pg = require(require.resolve('pg', { paths: [SERVICE_DIR] }));
  });
  after(async () => {
    stopAll();
    if (client) await client.end().catch(() => {});
    if (cluster) cluster.remove();
  });

  async function storedInstallations(tokens) {
    client = new pg.Client({ connectionString: cluster.url });
    await client.connect();
    const r = await client.query('SELECT token_hash, installation_id FROM tokens WHERE token_hash = ANY($1)',
      [tokens.map(sha256)]);
    await client.end();
    client = null;
    return new Map(r.rows.map((row) => [row.token_hash, row.installation_id]));
  }

  it('answers a history of store calls as the SQLite store does', async () => {
    client = new pg.Client({ connectionString: cluster.url });
    await client.connect();
    await client.query('CREATE DATABASE store_history');
    await client.end();
    client = null;
    const sqlite = await openStore(':memory:');
    const postgres = await openStore(cluster.url.replace(/\/postgres$/, '/store_history'));
    try {
      await playHistory(sqlite, postgres);
    } finally {
      await sqlite.close();
      await postgres.close();
    }
  });

  it('two instances started together: one schema, tokens and consumed digests shared', async () => {
    const one = startServe(['--db', cluster.url, '--port', '0']);
    const two = startServe(['--db', cluster.url, '--port', '0']);
    try {
      const [url1, url2] = await Promise.all([one.url, two.url]);
      assert.notStrictEqual(url1, url2);
      client = new pg.Client({ connectionString: cluster.url });
      await client.connect();
      assert.deepStrictEqual((await client.query('SELECT version FROM schema_migrations ORDER BY version')).rows, [{ version: 1 }, { version: 2 }]);
      await client.end();
      client = null;

      const add = runCli(['apps', 'add', '--db', cluster.url, '--app-key', 'pg-shop', '--json']);
      assert.strictEqual(add.code, 0, add.stderr);
      const { secret } = JSON.parse(add.stdout);
      const got = await exchange(url1, 'pg-shop', { alg: 'gm', entries: { K58: 'install-pg' } });
      assert.strictEqual(got.status, 200);
      const v = await verify(url2, secret, { token: got.token });
      assert.strictEqual(v.json.valid, true);
      assert.strictEqual(v.json.installationId, 'install-pg');
      assert.strictEqual(v.json.expiresAt - v.json.issuedAt, 24 * 60 * 60 * 1000);
      const digest = sha256('order 1234');
      assert.strictEqual((await verify(url1, secret, { token: got.token, consume: digest })).json.consumed, false);
      assert.strictEqual((await verify(url2, secret, { token: got.token, consume: digest })).json.consumed, true);
      assert.strictEqual((await verify(url2, secret, { token: 'f'.repeat(32) })).json.reason, 'unknown');
      const forgot = await call(`${url2}/v1/forget`, { body: { installationId: 'install-pg' }, headers: { Authorization: `Bearer ${secret}` } });
      assert.deepStrictEqual(forgot.json, { deleted: 2 });
      assert.strictEqual((await verify(url1, secret, { token: got.token })).json.reason, 'unknown');
    } finally {
      one.child.kill('SIGTERM');
      two.child.kill('SIGTERM');
      assert.deepStrictEqual([await one.exited, await two.exited], [{ code: 0, signal: null }, { code: 0, signal: null }]);
    }
  });

  it('two instances share one fingerprint key and one churn count; a situation report and forget reach the signals', async () => {
    const add = runCli(['apps', 'add', '--db', cluster.url, '--app-key', 'pg-signals', '--signature', 'SIG',
      '--thresholds', '{"churnInstallations":2,"exchangesPerHour":1}', '--json']);
    assert.strictEqual(add.code, 0, add.stderr);
    const { secret } = JSON.parse(add.stdout);
    const one = startServe(['--db', cluster.url, '--port', '0']);
    const two = startServe(['--db', cluster.url, '--port', '0']);
    try {
      const [url1, url2] = await Promise.all([one.url, two.url]);
      const device = { K290: 'boot-pg', K292: '6.1.0', K7: 'SIG', K200: String(Date.now()) };
      const first = await exchange(url1, 'pg-signals', { entries: { ...device, K58: 'pg-a' } });
      const names = async (token) => (await verify(url1, secret, { token })).json.signals.map((x) => x.name);
      assert.ok(!(await names(first.token)).includes('installation_churn'));
      const second = await exchange(url2, 'pg-signals', { entries: { ...device, K58: 'pg-b' } });
      assert.ok((await names(second.token)).includes('installation_churn'), 'counted across instances');
      const again = await exchange(url1, 'pg-signals', { entries: { ...device, K58: 'pg-b' } });
      assert.ok((await names(again.token)).includes('exchange_rate'), 'the second exchange of the hour');

      const scheme = createScheme('legacy', 'pg-signals');
      const k350 = JSON.stringify([{ code: 1, event: 701, msg: 'tracer attached: pid=1 comm=gdb', ts: Date.now() }]);
      const payload = Buffer.from(JSON.stringify({ K350: k350, ulvok: first.token }));
      const url = wire.requestAddress(`${url2}${SITUATION_PATH}`, { sign: scheme.sign(payload), appKey: 'pg-signals', app: 'x', version: '1' });
      assert.strictEqual((await call(url, { body: wire.seal(scheme, payload) })).status, 200);
      const v = (await verify(url1, secret, { token: first.token })).json;
      assert.deepStrictEqual([v.signals[0].name, v.level], ['debugger_attached', 'high']);

      client = new pg.Client({ connectionString: cluster.url });
      await client.connect();
      const fps = (await client.query('SELECT DISTINCT fingerprint FROM installations WHERE app_key = $1', ['pg-signals'])).rows;
      assert.strictEqual(fps.length, 1);
      assert.match(fps[0].fingerprint, /^[0-9a-f]{64}$/);
      assert.strictEqual((await client.query('SELECT count(*)::int AS n FROM service_keys')).rows[0].n, 1);
      await client.end();
      client = null;
      const forgot = await call(`${url2}/v1/forget`, { body: { installationId: 'pg-a' }, headers: { Authorization: `Bearer ${secret}` } });
      assert.deepStrictEqual(forgot.json, { deleted: 2 });
    } finally {
      one.child.kill('SIGTERM');
      two.child.kill('SIGTERM');
      assert.deepStrictEqual([await one.exited, await two.exited], [{ code: 0, signal: null }, { code: 0, signal: null }]);
    }
  });

  it('the database stopped under load: 503s, the service stays up and serves again, no answered token lost', async () => {
    const { secret } = JSON.parse(runCli(['apps', 'add', '--db', cluster.url, '--app-key', 'pg-fault', '--json']).stdout);
    const s = startServe(['--db', cluster.url, '--port', '0']);
    const url = await s.url;
    try {
      const before = await exchange(url, 'pg-fault');
      const traffic = load(url, 'pg-fault', 4);
      await until('answers under load', () => traffic.answers.length >= 20);
      cluster.stop();
      await until('exchanges answer 503', async () => (await exchange(url, 'pg-fault')).status === 503);
      assert.strictEqual((await verify(url, secret, { token: before.token })).status, 503);
      assert.strictEqual((await call(`${url}/health`, { method: 'GET' })).status, 503);
      cluster.start();
      await until('exchanges answer 200 again', async () => (await exchange(url, 'pg-fault')).status === 200);
      const answers = await traffic.stop();
      assert.strictEqual((await call(`${url}/health`, { method: 'GET' })).status, 200);
      assert.strictEqual(s.child.exitCode, null, 'the service is still running');
      const statuses = new Set(answers.map((a) => a.status));
      assert.ok(statuses.has(503), 'some exchanges met the stopped database');
      assert.deepStrictEqual([...statuses].filter((x) => x !== 200 && x !== 503), []);
      const tokens = [before.token, ...answers.filter((a) => a.status === 200).map((a) => a.token)];
      console.log(`stopped under load: ${answers.length} exchanges, ${tokens.length - 1} answered 200, `
        + `${answers.filter((a) => a.status === 503).length} answered 503`);
      const stored = await storedInstallations(tokens);
      assert.deepStrictEqual(tokens.filter((t) => !stored.has(sha256(t))), [], 'every answered token is stored');
      for (const t of [before.token, tokens[tokens.length - 1]]) {
        assert.strictEqual((await verify(url, secret, { token: t })).json.valid, true);
      }
    } finally {
      s.child.kill('SIGTERM');
      await s.exited;
    }
  });

  it('a kill -9 under load loses no answered token', async () => {
    runCli(['apps', 'add', '--db', cluster.url, '--app-key', 'pg-kill', '--json']);
    const s = startServe(['--db', cluster.url, '--port', '0']);
    const url = await s.url;
    const traffic = load(url, 'pg-kill', 4);
    await until('answers under load', () => traffic.answers.length >= 50);
    s.child.kill('SIGKILL');
    assert.strictEqual((await s.exited).signal, 'SIGKILL');
    const answers = await traffic.stop();
    const tokens = answers.filter((a) => a.status === 200).map((a) => a.token);
    assert.ok(tokens.length >= 50);
    const stored = await storedInstallations(tokens);
    assert.deepStrictEqual(tokens.filter((t) => !stored.has(sha256(t))), [], 'every answered token is stored');
  });
});
