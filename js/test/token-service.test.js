// @ts-check
'use strict';
// The token service as a product: registered apps only, tokens committed to
// SQLite before they are answered, the verify and forget calls of the app's
// backend, one-time digests, retention, health and metrics, TLS, a failing
// database, and the service's own command. Requests are sealed here with
// lib/scheme and lib/wire (checked against Node crypto, xxtea-node, adm-zip
// and protobufjs in service.test.js); the database is read back through a
// connection of its own, not through the service's store.

const { describe, it, before, after } = require('node:test');
const assert = require('node:assert');
const crypto = require('node:crypto');
const fs = require('node:fs');
const http = require('node:http');
const path = require('node:path');
const { spawn, execFileSync } = require('node:child_process');

const { startService, TOKEN_PATH, SITUATION_PATH } = require('../service/service');
const { openStore } = require('../service/store');
const { createScheme } = require('../lib/scheme');
const wire = require('../lib/wire');
const { toolEnv } = require('./fixtures/tool-env');

const {
  SERVICE_DIR, CLI, tmpDir, sha256, call, verify, exchange, runCli, startServe, stopAll,
} = require('./fixtures/service-client');

after(stopAll);
const Database = require(require.resolve('better-sqlite3', { paths: [SERVICE_DIR] }));
const DAY_MS = 24 * 60 * 60 * 1000;
const SECRET_SHAPE = /^rks\.[0-9a-f]{24}\.[A-Za-z0-9_-]{43}$/;

// The environment for tools that are not Node: without a sanitizer runtime
// the sanitizer runs preload into the tests.

// The service's memory may grow by this much under the flood: a sanitizer
// runtime's shadow memory grows with every new heap address, so more there.
const FLOOD_RSS_BOUND_KIB = (process.env.RISK_SANITIZER ? 256 : 64) * 1024;

// A store whose every call fails while `down` is set: the database stopped.
function failingStore(store) {
  const state = { down: false };
  const proxy = new Proxy(store, {
    get(target, prop) {
      const v = target[prop];
      if (typeof v !== 'function' || prop === 'close') return v;
      return (...args) => (state.down ? Promise.reject(new Error('connection refused')) : v.apply(target, args));
    },
  });
  return { proxy, state };
}

describe('the production service on SQLite', () => {
  let dir;
  let svc;
  let a;   // { app, secret }: both schemes, an expected signature
  let b;   // gm only
  before(async () => {
    dir = tmpDir();
    svc = await startService({ development: false, db: path.join(dir, 'risk.db'), port: 0 });
    a = await svc.registerApp({ appKey: 'app-a', signature: 'SIG-GOOD' });
    b = await svc.registerApp({ appKey: 'app-b', schemes: 'gm' });
  });
  after(async () => {
    await svc.close();
    fs.rmSync(dir, { recursive: true, force: true });
  });

  it('binds a token to its app and installation, on the disk before the answer, and verifies it', async () => {
    const sent = Date.now() - 60000;   // the device's clock a minute behind
    const got = await exchange(svc.url, 'app-a', { entries: { K58: 'install-7', K200: String(sent), K7: 'SIG-GOOD' } });
    assert.strictEqual(got.status, 200);
    assert.match(got.token, /^[0-9a-f]{32}$/);
    const db = new Database(path.join(dir, 'risk.db'), { readonly: true });
    const row = db.prepare('SELECT * FROM tokens WHERE token_hash = ?').get(sha256(got.token));
    db.close();
    assert.strictEqual(row.app_key, 'app-a');
    assert.strictEqual(row.installation_id, 'install-7');
    assert.strictEqual(row.expires_at - row.issued_at, DAY_MS);
    assert.ok(!JSON.stringify(row).includes(got.token), 'the token text itself is not stored');

    const v = await verify(svc, a.secret, { token: got.token });
    assert.strictEqual(v.status, 200);
    assert.strictEqual(v.json.valid, true);
    assert.strictEqual(v.json.reason, undefined);
    assert.strictEqual(v.json.installationId, 'install-7');
    assert.strictEqual(v.json.issuedAt, row.issued_at);
    assert.strictEqual(v.json.expiresAt, row.expires_at);
    assert.strictEqual(v.json.signatureOk, true);
    assert.ok(v.json.clockOffsetMs <= -60000 && v.json.clockOffsetMs > -65000, `offset ${v.json.clockOffsetMs}`);
    assert.strictEqual(v.json.consumed, undefined);
    // Every field of the answer is the one the shipped OpenAPI document describes.
    const doc = JSON.parse(fs.readFileSync(path.join(SERVICE_DIR, 'openapi.json'), 'utf8'));
    const described = doc.components.schemas.VerifyAnswer.properties;
    for (const k of Object.keys(v.json)) assert.ok(k in described, `${k} is described`);

    const forged = await exchange(svc.url, 'app-a', { entries: { K58: 'install-8', K7: 'SIG-REPACKAGED' } });
    assert.strictEqual((await verify(svc, a.secret, { token: forged.token })).json.signatureOk, false);
  });

  it('refuses, without reading the body, what it will not serve', async () => {
    /** @type {any[]} */
    const cases = [
      ['an unregistered key', `${TOKEN_PATH}?appKey=nobody&sign=00`, {}, 403],
      ['a scheme the app does not allow', `${TOKEN_PATH}?appKey=app-b&sign=00`, {}, 403],
      ['a body larger than the limit', `${TOKEN_PATH}?appKey=app-a&sign=00`, { 'Content-Length': 2 * 1024 * 1024 }, 413],
      ['an unknown path', '/udid/other?appKey=app-a', {}, 404],
      ['no key at all', `${TOKEN_PATH}?sign=00`, {}, 400],
      ['a verify call without a secret', '/v1/verify', { 'Content-Length': 100 }, 401],
      ['a verify call with what is not a secret', '/v1/verify',
        { 'Content-Length': 100, Authorization: `Bearer rks.${'0'.repeat(24)}.${'A'.repeat(42)}!` }, 401],
      ['an admin call', '/__admin/requests', {}, 404],
    ];
    for (const [what, urlPath, headers, status] of cases) {
      // Headers announcing a body that never comes: an answer proves it was not awaited.
      const res = await new Promise((resolve, reject) => {
        const req = http.request(`${svc.url}${urlPath}`, {
          method: 'POST', agent: false, headers: { 'Content-Length': 100000, ...headers },
        }, (r) => {
          r.resume();
          resolve(r);
          req.destroy();
        });
        req.on('error', (/** @type {NodeJS.ErrnoException} */ e) => { if (e.code !== 'ECONNRESET') reject(e); });
        req.setTimeout(5000, () => req.destroy(new Error(`${what}: no answer while the body was awaited`)));
        req.flushHeaders();
      });
      assert.strictEqual(res.statusCode, status, what);
    }
    const m = (await call(`${svc.url}/metrics`, { method: 'GET' })).body.toString();
    for (const reason of ['unregistered', 'scheme', 'too-large', 'path', 'unauthorized']) {
      assert.match(m, new RegExp(`^risk_refusals_total\\{reason="${reason}"\\} [1-9]`, 'm'), reason);
    }
  });

  it('answers a request that does not open 400, and a situation report of a registered app', async () => {
    const scheme = createScheme('legacy', 'app-a');
    const url = wire.requestAddress(svc.url + TOKEN_PATH, { sign: 'f'.repeat(32), appKey: 'app-a', app: 'x', version: '1' });
    assert.strictEqual((await call(url, { body: wire.seal(scheme, Buffer.from('x')) })).status, 400);
    const report = await exchange(svc.url, 'app-a', { urlPath: SITUATION_PATH });
    assert.strictEqual(report.status, 200);
    assert.ok(wire.open(scheme, report.body), 'a sealed answer');
  });

  it('refuses an archive whose entry inflates past the payload limit, before inflating it', async () => {
    // A well-signed token request padded past the limit (256 KiB) with
    // entries of 30 KiB, archived by Python's zipfile: a few kilobytes on
    // the wire. The same request under the limit is served.
    const scheme = createScheme('legacy', 'app-a');
    const send = async (padBytes) => {
      const payload = wire.encodeTokenRequest({
        header: { sdk_version: '4.9.2', app_key: 'app-a', os_type: 2, format_version: 1 },
        entries: { K58: 'install-big', ...Object.fromEntries(Array.from({ length: Math.ceil(padBytes / 30720) }, (_, i) => [`K${1000 + i}`, 'a'.repeat(30720)])) },
      });
      const archive = execFileSync('python3', ['-c', [
        'import io, sys, zipfile',
        'b = io.BytesIO()',
        'z = zipfile.ZipFile(b, "w", zipfile.ZIP_DEFLATED)',
        'z.writestr("data", sys.stdin.buffer.read())',
        'z.close()',
        'sys.stdout.buffer.write(b.getvalue())',
      ].join('\n')], { input: payload, maxBuffer: 1024 * 1024, env: toolEnv() });
      assert.ok(archive.length < 64 * 1024);
      const url = wire.requestAddress(svc.url + TOKEN_PATH, { sign: scheme.sign(payload), appKey: 'app-a', app: 'x', version: '1' });
      return (await call(url, { body: scheme.encrypt(archive) })).status;
    };
    assert.strictEqual(await send(200 * 1024), 200);
    assert.strictEqual(await send(300 * 1024), 400);
  });

  it('answers verify by the token\'s state, the caller\'s app and the shape of the call', async () => {
    const mine = (await exchange(svc.url, 'app-a')).token;
    const old = crypto.randomBytes(16).toString('hex');
    await svc.store.recordExchange({
      tokenHash: sha256(old), appKey: 'app-a', installationId: 'install-old', issuedAt: Date.now() - 2 * DAY_MS,
      expiresAt: Date.now() - DAY_MS, scheme: 'gm', clockOffsetMs: null, signatureOk: null,
    });
    const digest = sha256('a sign');
    const cases = [
      ['valid', a.secret, { token: mine }, 200, { valid: true }],
      ['another app\'s token', b.secret, { token: mine }, 200, { valid: false, reason: 'other-app', installationId: undefined }],
      ['an unknown token', a.secret, { token: 'f'.repeat(32) }, 200, { valid: false, reason: 'unknown' }],
      ['an expired token', a.secret, { token: old }, 200, { valid: false, reason: 'expired', installationId: 'install-old' }],
      ['a token longer than 40 bytes', a.secret, { token: 'x'.repeat(41) }, 200, { valid: false, reason: 'malformed' }],
      ['an empty token', a.secret, { token: '' }, 200, { valid: false, reason: 'malformed' }],
      ['a number', a.secret, { token: 42 }, 200, { valid: false, reason: 'malformed' }],
      ['no token', a.secret, {}, 200, { valid: false, reason: 'malformed' }],
      ['a digest in capitals', a.secret, { token: mine, consume: digest.toUpperCase() }, 400, {}],
      ['a digest one character short', a.secret, { token: mine, consume: digest.slice(1) }, 400, {}],
      ['a body that is not JSON', a.secret, '{"token":', 400, {}],
      ['a JSON array', a.secret, [mine], 400, {}],
      ['a body over 4 KiB', a.secret, { token: mine, pad: 'x'.repeat(5000) }, 413, {}],
      ['a wrong secret', `${a.secret.slice(0, -1)}${a.secret.endsWith('A') ? 'B' : 'A'}`, { token: mine }, 401, {}],
    ];
    for (const [what, secret, body, status, fields] of cases) {
      const res = await verify(svc, secret, body);
      assert.strictEqual(res.status, status, what);
      for (const [k, v] of Object.entries(fields)) assert.strictEqual(res.json[k], v, `${what}: ${k}`);
    }
    assert.strictEqual((await call(`${svc.url}/v1/verify`, { method: 'GET' })).status, 405);
  });

  it('records a consumed digest once, for every instance sharing the database', async () => {
    const token = (await exchange(svc.url, 'app-a')).token;
    const digest = sha256(`sign ${Math.random()}`);
    const other = await startService({ development: false, db: path.join(dir, 'risk.db'), port: 0 });
    try {
      const first = await verify(svc, a.secret, { token, consume: digest });
      assert.strictEqual(first.json.consumed, false);
      assert.strictEqual((await verify(other, a.secret, { token, consume: digest })).json.consumed, true);
      assert.strictEqual((await verify(svc, a.secret, { token, consume: digest })).json.consumed, true);
      // Another app's use of the same digest is its own.
      assert.strictEqual((await verify(other, b.secret, { token, consume: digest })).json.consumed, false);
      // Kept as long as the token it came with.
      const db = new Database(path.join(dir, 'risk.db'), { readonly: true });
      const kept = db.prepare('SELECT expires_at FROM consumed WHERE app_key = ? AND digest = ?').get('app-a', digest);
      db.close();
      assert.strictEqual(kept.expires_at, first.json.expiresAt);
    } finally {
      await other.close();
    }
    // A record past its life is taken as new.
    const stale = sha256('stale');
    assert.strictEqual(await svc.store.consume('app-a', stale, Date.now() - 1, Date.now() - 10), false);
    assert.strictEqual((await verify(svc, a.secret, { token, consume: stale })).json.consumed, false);
  });

  it('forgets one installation, sweeps what is past retention, and refuses rotated and removed secrets', async () => {
    const t1 = (await exchange(svc.url, 'app-a', { entries: { K58: 'install-forget' } })).token;
    const t2 = (await exchange(svc.url, 'app-a', { entries: { K58: 'install-forget' } })).token;
    const keep = (await exchange(svc.url, 'app-a', { entries: { K58: 'install-keep' } })).token;
    const forgot = await call(`${svc.url}/v1/forget`, {
      body: { installationId: 'install-forget' }, headers: { Authorization: `Bearer ${a.secret}` },
    });
    assert.deepStrictEqual(forgot.json, { deleted: 3 });   // two tokens, one installation
    for (const t of [t1, t2]) assert.strictEqual((await verify(svc, a.secret, { token: t })).json.reason, 'unknown');
    assert.strictEqual((await verify(svc, a.secret, { token: keep })).json.valid, true);

    const ancient = crypto.randomBytes(16).toString('hex');
    const at = Date.now() - 40 * DAY_MS;
    await svc.store.recordExchange({
      tokenHash: sha256(ancient), appKey: 'app-a', installationId: 'install-ancient', issuedAt: at,
      expiresAt: at + DAY_MS, scheme: 'gm', clockOffsetMs: null, signatureOk: null,
    });
    assert.strictEqual(await svc.sweep(), 2);   // its token and its installation
    assert.strictEqual((await verify(svc, a.secret, { token: ancient })).json.reason, 'unknown');
    assert.strictEqual((await verify(svc, a.secret, { token: keep })).json.valid, true);

    const c = await svc.registerApp({ appKey: 'app-c' });
    const token = (await exchange(svc.url, 'app-c')).token;
    const apps = require('../service/apps');
    const rotated = await apps.rotateSecret(svc.store, 'app-c');
    assert.strictEqual((await verify(svc, c.secret, { token })).status, 401);
    assert.strictEqual((await verify(svc, rotated, { token })).json.valid, true);
    assert.strictEqual(await svc.store.removeApp('app-c'), true);
    assert.strictEqual((await verify(svc, rotated, { token })).status, 401);
    assert.strictEqual((await exchange(svc.url, 'app-c')).status, 403);
  });
});

describe('a database that stops answering', () => {
  it('makes exchanges, verify and health answer 503, and the service serves again by itself', async () => {
    const dir = tmpDir();
    const inner = await openStore(path.join(dir, 'risk.db'));
    const { proxy, state } = failingStore(inner);
    const svc = await startService({ development: false, store: proxy, port: 0 });
    try {
      const { secret } = await svc.registerApp({ appKey: 'app-f' });
      const before = (await exchange(svc.url, 'app-f')).token;
      state.down = true;
      assert.strictEqual((await exchange(svc.url, 'app-f')).status, 503);
      assert.strictEqual((await verify(svc, secret, { token: before })).status, 503);
      const health = await call(`${svc.url}/health`, { method: 'GET' });
      assert.strictEqual(health.status, 503);
      assert.strictEqual(health.json.database, 'down');
      state.down = false;
      assert.strictEqual((await call(`${svc.url}/health`, { method: 'GET' })).status, 200);
      const after = await exchange(svc.url, 'app-f');
      assert.strictEqual(after.status, 200);
      for (const t of [before, after.token]) assert.strictEqual((await verify(svc, secret, { token: t })).json.valid, true);
      assert.match((await call(`${svc.url}/metrics`, { method: 'GET' })).body.toString(), /^risk_refusals_total\{reason="database"\} 2$/m);
    } finally {
      await svc.close();
      await inner.close();
      fs.rmSync(dir, { recursive: true, force: true });
    }
  });
});

describe('the development mode', () => {
  it('registers an unknown key on its first request and keeps its tokens verifiable', async () => {
    const svc = await startService({ port: 0 });
    try {
      const got = await exchange(svc.url, 'dev-key');
      assert.strictEqual(got.status, 200);
      const app = await svc.store.getApp('dev-key');
      assert.deepStrictEqual(app.schemes, ['legacy', 'gm']);
      assert.strictEqual(svc.requests.length, 1);
      const rotated = await require('../service/apps').rotateSecret(svc.store, 'dev-key');
      assert.strictEqual((await verify(svc, rotated, { token: got.token })).json.valid, true);
    } finally {
      await svc.close();
    }
  });
});

describe('TLS', () => {
  it('serves over HTTPS with the given certificate and key', async () => {
    const dir = tmpDir();
    try {
      execFileSync('openssl', ['req', '-x509', '-newkey', 'ec', '-pkeyopt', 'ec_paramgen_curve:prime256v1', '-nodes',
        '-keyout', path.join(dir, 'key.pem'), '-out', path.join(dir, 'cert.pem'), '-days', '1', '-subj', '/CN=127.0.0.1',
        '-addext', 'subjectAltName=IP:127.0.0.1'], { stdio: 'ignore', env: toolEnv() });
      const cert = fs.readFileSync(path.join(dir, 'cert.pem'));
      const svc = await startService({
        development: false, db: path.join(dir, 'risk.db'), port: 0, tls: { cert, key: fs.readFileSync(path.join(dir, 'key.pem')) },
      });
      try {
        assert.match(svc.url, /^https:\/\/127\.0\.0\.1:\d+$/);
        const res = await call(`${svc.url}/health`, { method: 'GET', ca: cert });
        assert.deepStrictEqual([res.status, res.json], [200, { status: 'ok', database: 'up' }]);
        await assert.rejects(call(`${svc.url.replace('https', 'http')}/health`, { method: 'GET' }));
      } finally {
        await svc.close();
      }
    } finally {
      fs.rmSync(dir, { recursive: true, force: true });
    }
  });
});

describe('the service\'s risk command', () => {
  it('registers, lists, rotates and removes apps; migrates once from processes started together', async () => {
    const dir = tmpDir();
    let db = '';
    try {
      // Processes opening a new database together meet in a narrow window:
      // a few rounds of three.
      for (let round = 0; round < 4; round++) {
        db = path.join(dir, `risk-${round}.db`);
        const all = await Promise.all([0, 1, 2].map(() => new Promise((resolve) => {
          const c = spawn(process.execPath, [CLI, 'migrate', '--db', db, '--json'], { stdio: ['ignore', 'pipe', 'pipe'] });
          let text = '';
          c.stdout.on('data', (d) => { text += d; });
          c.stderr.on('data', (d) => { text += d; });
          c.on('exit', (code) => resolve({ code, text }));
        })));
        for (const r of all) assert.strictEqual(r.code, 0, r.text);
        const check = new Database(db, { readonly: true });
        assert.deepStrictEqual(check.prepare('SELECT version FROM schema_migrations').pluck().all(), [1, 2]);
        check.close();
      }

      const add = runCli(['apps', 'add', '--db', db, '--app-key', 'shop', '--signature', 'SIG', '--schemes', 'gm', '--json']);
      assert.strictEqual(add.code, 0, add.stderr);
      const added = JSON.parse(add.stdout);
      assert.strictEqual(added.appKey, 'shop');
      assert.match(added.secret, SECRET_SHAPE);
      assert.deepStrictEqual(added.schemes, ['gm']);
      assert.strictEqual(runCli(['apps', 'add', '--db', db, '--app-key', 'shop', '--json']).code, 1);
      assert.strictEqual(runCli(['apps', 'add', '--db', db, '--app-key', 'x', '--schemes', 'rot13']).code, 1);
      assert.strictEqual(runCli(['apps', 'add', '--db', db]).code, 2);
      const listed = runCli(['apps', 'list', '--db', db, '--json']);
      assert.deepStrictEqual(JSON.parse(listed.stdout).map((x) => x.appKey), ['shop']);
      assert.ok(!listed.stdout.includes(added.secret.split('.')[2]) && !/secret|salt|hash/i.test(listed.stdout), listed.stdout);
      // Only a salted hash is kept.
      const raw = new Database(db, { readonly: true });
      const row = raw.prepare('SELECT * FROM apps').get();
      raw.close();
      assert.ok(!JSON.stringify(row).includes(added.secret.split('.')[2]));
      assert.strictEqual(row.secret_hash, crypto.createHash('sha256').update(Buffer.from(row.secret_salt, 'hex')).update(added.secret).digest('hex'));
      const rotated = JSON.parse(runCli(['apps', 'rotate', '--db', db, '--app-key', 'shop', '--json']).stdout);
      assert.match(rotated.secret, SECRET_SHAPE);
      assert.notStrictEqual(rotated.secret, added.secret);
      assert.strictEqual(runCli(['apps', 'remove', '--db', db, '--app-key', 'shop']).code, 0);
      assert.deepStrictEqual(JSON.parse(runCli(['apps', 'list', '--db', db, '--json']).stdout), []);
    } finally {
      fs.rmSync(dir, { recursive: true, force: true });
    }
  });

  it('reads its command line as it always has: usage mistakes exit 2 and name the option, values may begin with a dash', () => {
    const dir = tmpDir();
    const db = path.join(dir, 'risk.db');
    try {
      /** @type {any[]} */
      const cases = [
        [['migrate', '--json', `--db=${db}`], 0, 'stdout', /^\{"kind":"sqlite","applied":\[\]\}\n$/],
        [['frob'], 2, 'stderr', /^risk: unknown command "frob"\nusage:/],
        [['migrate', '--frob'], 2, 'stderr', /^risk: unknown option --frob\n/],
        [['migrate', '-x'], 2, 'stderr', /^risk: unknown option -x\n/],
        [['migrate', '--db'], 2, 'stderr', /^risk: --db needs a value\n/],
        [['serve', '--db', db, '--port', '80a'], 2, 'stderr', /^risk: --port takes a whole number, not "80a"\n/],
        [['sweep', '--db', db, '--retention-days', '1e3'], 2, 'stderr', /^risk: --retention-days takes a number, not "1e3"\n/],
        [['apps', 'frob', '--db', db], 2, 'stderr', /^risk: risk apps: add, set, list, rotate or remove, not "frob"\n/],
        [['forget', '--db', db, '--app-key', 'k'], 2, 'stderr', /^risk: --installation-id is required\n/],
        [['help'], 0, 'stdout', /^usage:\n {2}risk serve /],
        [['--help', 'migrate'], 0, 'stdout', /^usage:\n/],
        [['forget', '--db', db, '--app-key', '-k', '--installation-id', '--json', '--json'], 0, 'stdout', /^\{"deleted":0\}\n$/],
        [['sweep', '--json', '--db', db, '--retention-days', '0'], 0, 'stdout', /^\{"deleted":0\}\n$/],
      ];
      for (const [args, code, stream, pattern] of cases) {
        const r = runCli(args);
        assert.strictEqual(r.code, code, `${args.join(' ')}: ${r.stderr}`);
        assert.match(r[stream], pattern, args.join(' '));
      }
    } finally {
      fs.rmSync(dir, { recursive: true, force: true });
    }
  });

  it('serves on the port given, logs no identifier, and stops on SIGTERM; a kill -9 loses no answered token', async () => {
    const dir = tmpDir();
    const db = path.join(dir, 'risk.db');
    try {
      const { secret } = JSON.parse(runCli(['apps', 'add', '--db', db, '--app-key', 'shop-key-77', '--json']).stdout);
      const s = startServe(['--db', db, '--port', '0']);
      const url = await s.url;
      const got = await exchange(url, 'shop-key-77', { entries: { K58: 'install-secret-99' } });
      const v = await verify(url, secret, { token: got.token, consume: sha256('x') });
      assert.strictEqual(v.json.valid, true);
      assert.strictEqual((await exchange(url, 'unknown-key-55')).status, 403);
      s.child.kill('SIGTERM');
      assert.deepStrictEqual(await s.exited, { code: 0, signal: null });
      for (const id of ['shop-key-77', 'install-secret-99', got.token, 'unknown-key-55', secret]) {
        assert.ok(!s.out.stderr.includes(id), `the log names ${id}: ${s.out.stderr}`);
      }

      // Tokens answered just before a kill -9 are in the database.
      const k = startServe(['--db', db, '--port', '0']);
      const kurl = await k.url;
      const answered = [];
      for (let i = 0; i < 20; i++) answered.push((await exchange(kurl, 'shop-key-77', { entries: { K58: `i-${i}` } })).token);
      k.child.kill('SIGKILL');
      assert.strictEqual((await k.exited).signal, 'SIGKILL');
      const check = new Database(db, { readonly: true });
      const stmt = check.prepare('SELECT installation_id FROM tokens WHERE token_hash = ?').pluck();
      assert.deepStrictEqual(answered.map((t) => stmt.get(sha256(t))), answered.map((_, i) => `i-${i}`));
      check.close();
    } finally {
      fs.rmSync(dir, { recursive: true, force: true });
    }
  });

  it('on SIGTERM refuses new connections but finishes the exchange under way', async () => {
    const dir = tmpDir();
    const db = path.join(dir, 'risk.db');
    try {
      runCli(['apps', 'add', '--db', db, '--app-key', 'drain-app', '--json']);
      const s = startServe(['--db', db, '--port', '0']);
      const url = await s.url;
      // A request whose body is half sent when the service is told to stop.
      const scheme = createScheme('gm', 'drain-app');
      const payload = wire.encodeTokenRequest({
        header: { sdk_version: '4.9.2', app_key: 'drain-app', os_type: 2, format_version: 1 },
        entries: { K58: 'install-drain' },
      });
      const body = wire.seal(scheme, payload);
      const address = wire.requestAddress(`${url}${TOKEN_PATH}`, { sign: scheme.sign(payload), appKey: 'drain-app', app: 'x', version: '1', alg: 'gm' });
      const answered = new Promise((resolve, reject) => {
        const req = http.request(address, { method: 'POST', agent: false, headers: { 'Content-Length': body.length } }, (res) => {
          const chunks = [];
          res.on('data', (c) => chunks.push(c));
          res.on('end', () => resolve({ status: res.statusCode, body: Buffer.concat(chunks) }));
        });
        req.on('error', reject);
        req.write(body.subarray(0, 10));
        s.child.stderr.on('data', () => {
          if (s.out.stderr.includes('stopping')) req.end(body.subarray(10));
        });
      });
      await new Promise((r) => setTimeout(r, 200));
      s.child.kill('SIGTERM');
      const res = await answered;
      assert.strictEqual(res.status, 200);
      assert.match(wire.decodeTokenResponse(wire.open(scheme, res.body)).payload.ulvok, /^[0-9a-f]{32}$/);
      assert.deepStrictEqual(await s.exited, { code: 0, signal: null });
      await assert.rejects(call(`${url}/health`, { method: 'GET' }), /ECONNREFUSED/);
    } finally {
      fs.rmSync(dir, { recursive: true, force: true });
    }
  });

  it('runs --workers 2 on one port, replaces a worker that dies, and stops them all on SIGTERM', async () => {
    const dir = tmpDir();
    const db = path.join(dir, 'risk.db');
    try {
      const { secret } = JSON.parse(runCli(['apps', 'add', '--db', db, '--app-key', 'workers-app', '--json']).stdout);
      const s = startServe(['--db', db, '--port', '0', '--workers', '2']);
      const url = await s.url;
      const workers = () => fs.readdirSync('/proc').filter((p) => /^\d+$/.test(p)).filter((p) => {
        try {
          return fs.readFileSync(`/proc/${p}/status`, 'utf8').includes(`PPid:\t${s.child.pid}\n`);
        } catch (e) {
          return false;
        }
      });
      // The worker list once `ok` holds of it (or the last one seen).
      const until = async (ok) => {
        let seen = workers();
        for (let i = 0; i < 100 && !ok(seen); i++) {
          await new Promise((r) => setTimeout(r, 100));
          seen = workers();
        }
        return seen;
      };
      const first = await until((w) => w.length === 2);
      assert.strictEqual(first.length, 2);
      process.kill(Number(first[0]), 'SIGKILL');
      const replaced = await until((w) => w.length === 2 && !w.includes(first[0]));
      assert.strictEqual(replaced.length, 2, 'a new worker took the place of the dead one');
      assert.ok(!replaced.includes(first[0]));
      const tokens = [];
      for (let i = 0; i < 10; i++) tokens.push((await exchange(url, 'workers-app')).token);
      for (const t of tokens) assert.strictEqual((await verify(url, secret, { token: t })).json.valid, true);
      const last = workers();
      s.child.kill('SIGTERM');
      assert.deepStrictEqual(await s.exited, { code: 0, signal: null });
      for (let i = 0; i < 100 && last.some((p) => fs.existsSync(`/proc/${p}`)); i++) await new Promise((r) => setTimeout(r, 100));
      assert.deepStrictEqual(last.filter((p) => fs.existsSync(`/proc/${p}`)), [], 'no worker is left');
    } finally {
      fs.rmSync(dir, { recursive: true, force: true });
    }
  });

  it('keeps its memory bounded under a flood of unregistered, forged and oversized requests, and serves meanwhile', async () => {
    const dir = tmpDir();
    const db = path.join(dir, 'risk.db');
    try {
      runCli(['apps', 'add', '--db', db, '--app-key', 'flood-app', '--json']);
      const s = startServe(['--db', db, '--port', '0']);
      const url = await s.url;
      const rssKiB = () => Number(/VmRSS:\s+(\d+)/.exec(fs.readFileSync(`/proc/${s.child.pid}/status`, 'utf8'))[1]);
      for (let i = 0; i < 20; i++) assert.strictEqual((await exchange(url, 'flood-app')).status, 200);
      const before = rssKiB();
      // 13 KB of noise like a real request's size, sealed under nothing.
      const noise = crypto.randomBytes(13 * 1024);
      const big = crypto.randomBytes(3 * 1024 * 1024);
      const forged = (i) => {
        switch (i % 4) {
          case 0: return [`${TOKEN_PATH}?appKey=unregistered-${i}&sign=${'0'.repeat(32)}`, noise];
          case 1: return [`${TOKEN_PATH}?appKey=flood-app&sign=${'0'.repeat(32)}`, noise];
          case 2: return [`${TOKEN_PATH}?appKey=flood-app&alg=gm&sign=${'0'.repeat(64)}`, big];
          default: return ['/v1/verify', noise];
        }
      };
      const outcomes = new Map();
      let next = 0;
      const total = 600;
      const attackers = Array.from({ length: 16 }, async () => {
        while (next < total) {
          const [p, body] = forged(next++);
          let outcome;
          try {
            outcome = (await call(`${url}${p}`, { body, headers: p === '/v1/verify' ? { Authorization: 'Bearer forged' } : {} })).status;
          } catch (e) {
            outcome = e.code || e.message;   // the connection closed while the body was sent
          }
          outcomes.set(outcome, (outcomes.get(outcome) || 0) + 1);
        }
      });
      // A registered device is served while the flood runs.
      const served = [];
      const flooding = Promise.all(attackers);
      while (next < total) served.push((await exchange(url, 'flood-app')).status);
      await flooding;
      const after = rssKiB();
      console.log(`flood of ${total}: ${JSON.stringify([...outcomes])}; served meanwhile ${served.length}; `
        + `RSS ${before} KiB before, ${after} KiB after`);
      assert.ok(served.length > 0 && served.every((x) => x === 200), `served: ${served}`);
      assert.strictEqual(outcomes.get(200), undefined, 'no forged request is answered 200');
      assert.ok(after - before < FLOOD_RSS_BOUND_KIB, `RSS grew by ${after - before} KiB`);
      s.child.kill('SIGTERM');
      assert.deepStrictEqual(await s.exited, { code: 0, signal: null });
    } finally {
      fs.rmSync(dir, { recursive: true, force: true });
    }
  });
});
