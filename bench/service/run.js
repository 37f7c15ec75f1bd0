// @ts-check
'use strict';
// The token service's figures, printed beside their budgets: exchanges per
// second with SQLite and with PostgreSQL, in one process and in two
// (--workers 2); beside them the floor, the same HTTP, open and seal with no
// storage at all (a store that keeps nothing), as a ratio in the same run;
// p50 and p99 latency of an exchange at half the measured capacity; verifies
// per second and their p99 at half capacity, the floor's taking the same
// path without a database.
//
//   node bench/service/run.js [--quick] [--pg URL] [--runs N]
//
// Without --pg, PostgreSQL is measured on a throwaway cluster when Debian's
// server is installed (js/test/fixtures/pg-cluster.js), and left out
// otherwise. The load generator (loadgen.c, built here with `cc`) replays
// valid sealed token requests of BENCH_DEVICES distinct devices made up
// front, and verifies of the tokens of the warm-up, over kept-alive
// connections: a closed loop of CONCURRENCY requests in flight gives the
// capacity, an open loop at half of it the latency, counted from when each
// request was due. It is written in C so that what it measures is the
// service: a generator in Node spent as much CPU as the service it loaded,
// on the CPUs they share, and sent its requests up to a timer tick late.
// The service runs in a child process (`risk serve`).
//
// A measurement, not a test: it exits 0 whatever the figures are.

const crypto = require('node:crypto');
const fs = require('node:fs');
const http = require('node:http');
const os = require('node:os');
const path = require('node:path');
const { execFile, spawn, spawnSync } = require('node:child_process');

const ROOT = path.join(__dirname, '..', '..');
const JS = path.join(ROOT, 'js');
const CLI = path.join(JS, 'service', 'cli.js');
const { createScheme } = require(path.join(JS, 'lib', 'scheme'));
const wire = require(path.join(JS, 'lib', 'wire'));
const apps = require(path.join(JS, 'service', 'apps'));
const { kTokenLifeMs } = require(path.join(JS, 'service', 'tokens'));

const args = process.argv.slice(2);
const QUICK = args.includes('--quick') || process.env.BENCH_QUICK === '1';
const PG_URL = args.includes('--pg') ? args[args.indexOf('--pg') + 1] : null;
const RUNS = args.includes('--runs') ? Number(args[args.indexOf('--runs') + 1]) : 1;
const DEVICES = Number(process.env.BENCH_DEVICES || (QUICK ? 500 : 5000));
const CAPACITY_MS = QUICK ? 1500 : 5000;
const LATENCY_MS = QUICK ? 1500 : 5000;
const CONCURRENCY = 32;
const APP_KEY = 'bench-app-7f3c';

const BUDGETS = {
  sqliteRatio: 0.5,        // exchanges with SQLite, at least half the floor's rate
  exchangeP99Ms: 20,       // at half capacity
  verifyP99Ms: 5,
};

const progress = (text) => process.stderr.write(`bench: ${text}\n`);

// The sealed requests, made up front: one per device.
function makeRequests() {
  const scheme = createScheme('legacy', APP_KEY);
  const now = Date.now();
  return Array.from({ length: DEVICES }, (_, i) => {
    const payload = wire.encodeTokenRequest({
      header: {
        sdk_version: '4.9.2', app_version_name: '1.0.0', app_version_code: 1, app_key: APP_KEY, os_type: 2,
        os_version: 'Debian 12', format_version: 1, app_name: 'com.example.bench', sdk_variant: 2,
      },
      // The facts the signals read, as a phone sends them: a boot id, a
      // kernel, an ABI, a patch level and a few runtime events.
      entries: {
        K2: `device-${i}`, K58: crypto.randomUUID(), K200: String(now), K7: 'sig', K451: String(now),
        K290: crypto.randomUUID(), K292: '5.10.97', K21: 'arm64-v8a', K1061: '2026-11-01', K450: '',
        K350: JSON.stringify([{ code: 1, event: 702, msg: 'cpu flag: hypervisor', ts: now }, { code: 2, event: 701, msg: 'tracer detached: pid=1', ts: now }]),
      },
    });
    const url = wire.requestAddress('/udid/m1', {
      sign: scheme.sign(payload), appKey: APP_KEY, app: 'com.example.bench', version: '4.9.2', alg: 'legacy',
    });
    return { path: url, body: wire.seal(scheme, payload) };
  });
}

const agent = new http.Agent({ keepAlive: true, maxSockets: 256 });

function post(base, p, body, headers = {}) {
  return new Promise((resolve) => {
    const req = http.request(`${base}${p}`, {
      method: 'POST', agent, headers: { 'Content-Length': body.length, ...headers },
    }, (res) => {
      const chunks = [];
      res.on('data', (c) => chunks.push(c));
      res.on('end', () => resolve({ status: res.statusCode, body: Buffer.concat(chunks) }));
      res.on('error', () => resolve({ status: 0 }));
    });
    req.on('error', () => resolve({ status: 0 }));
    req.end(body);
  });
}

// The load generator (loadgen.c), compiled into `dir`; its path.
function buildLoadgen(dir) {
  const exe = path.join(dir, 'loadgen');
  const cc = process.env.CC || 'cc';
  const r = spawnSync(cc, ['-O2', '-o', exe, path.join(__dirname, 'loadgen.c')], { encoding: 'utf8' });
  if (r.status !== 0) throw new Error(`${cc} could not build the load generator: ${r.error ? r.error.message : r.stderr}`);
  return exe;
}

// The requests as the load generator reads them: each a 4-byte
// little-endian length and the whole HTTP/1.1 request.
function requestFile(file, port, list) {
  fs.writeFileSync(file, Buffer.concat(list.flatMap(({ path: p, body, headers = {} }) => {
    const head = Object.entries({ Host: `127.0.0.1:${port}`, ...headers, 'Content-Length': body.length })
      .map(([k, v]) => `${k}: ${v}\r\n`).join('');
    const raw = Buffer.concat([Buffer.from(`POST ${p} HTTP/1.1\r\n${head}\r\n`), body]);
    const length = Buffer.alloc(4);
    length.writeUInt32LE(raw.length);
    return [length, raw];
  })));
  return file;
}

// Runs the load generator; resolves what it printed.
function loadgen(exe, port, file, ...argv) {
  return new Promise((resolve, reject) => {
    execFile(exe, [String(port), file, ...argv.map(String)], { encoding: 'utf8' }, (e, stdout, stderr) => {
      if (e) reject(new Error(`load generator: ${stderr || e.message}`));
      else resolve(JSON.parse(stdout));
    });
  });
}

// The machine's own noise at the time, printed beside the latencies: the
// p99 of a bare HTTP server (this process, answering a few bytes) at
// kNoiseRate requests per second for kNoiseMs, through the same generator.
// On a VM whose host takes its CPUs away now and then, this alone can be
// over the budgets.
const kNoiseRate = 9000;
const kNoiseMs = 3000;
async function machineNoise(exe, dir) {
  const server = http.createServer((req, res) => {
    req.resume();
    req.on('end', () => {
      res.writeHead(200, { 'Content-Type': 'application/json', 'Content-Length': 12 });
      res.end('{"ok":true}\n');
    });
  });
  await new Promise((resolve) => server.listen(0, '127.0.0.1', () => resolve(undefined)));
  try {
    const { port } = /** @type {import('node:net').AddressInfo} */ (server.address());
    const file = requestFile(path.join(dir, 'noise'), port, [{ path: '/', body: Buffer.from('{}') }]);
    // Warmed up first, as each service is by its capacity run.
    await loadgen(exe, port, file, 'closed', CONCURRENCY, 1000);
    return await loadgen(exe, port, file, 'open', kNoiseRate, kNoiseMs);
  } finally {
    server.closeAllConnections();
    await new Promise((resolve) => server.close(() => resolve(undefined)));
  }
}

// Closed loop, CONCURRENCY requests in flight for `ms`: requests per
// second. Then an open loop at half that rate for LATENCY_MS: latency from
// when each request was due.
async function capacityAndLatency(exe, port, file) {
  const cap = await loadgen(exe, port, file, 'closed', CONCURRENCY, CAPACITY_MS);
  const lat = await loadgen(exe, port, file, 'open', cap.rate / 2, LATENCY_MS);
  return { rate: cap.rate, p50: lat.p50, p99: lat.p99, failed: cap.failed + lat.failed };
}

// Starts `risk serve` (or the floor) in a child; resolves { url, stop }.
function serve(argv, env = {}) {
  const child = spawn(process.execPath, argv, { stdio: ['ignore', 'pipe', 'pipe'], env: { ...process.env, ...env } });
  let err = '';
  child.stderr.on('data', (c) => { err += c; });
  return new Promise((resolve, reject) => {
    let out = '';
    child.stdout.on('data', (c) => {
      out += c;
      const m = /^(http:\/\/[^\s]+)\n/.exec(out);
      if (m) {
        resolve({
          url: m[1],
          stop: () => new Promise((r) => {
            child.on('exit', r);
            child.kill('SIGTERM');
          }),
        });
      }
    });
    child.on('exit', (code) => reject(new Error(`service ended (${code}): ${err}`)));
  });
}

function register(db) {
  const r = spawnSync(process.execPath, [CLI, 'apps', 'add', '--db', db, '--app-key', APP_KEY, '--json'],
    { encoding: 'utf8' });
  if (r.status !== 0) throw new Error(r.stderr);
  return JSON.parse(r.stdout).secret;
}

async function measureOne(name, argv, requests, secret, exe, dir, env) {
  progress(`${name}: starting`);
  const svc = await serve(argv, env);
  try {
    const port = new URL(svc.url).port;
    // Warm-up: every device once, which also gives verify its tokens.
    const tokens = [];
    const scheme = createScheme('legacy', APP_KEY);
    for (const r of requests.slice(0, 200)) {
      const res = await post(svc.url, r.path, r.body);
      if (secret && res.status === 200) tokens.push(wire.decodeTokenResponse(wire.open(scheme, res.body)).payload.ulvok);
    }
    const exchanges = await capacityAndLatency(exe, port, requestFile(path.join(dir, 'exchanges'), port, requests));
    const result = { name, ...exchanges };
    if (secret) {
      const verifies = await capacityAndLatency(exe, port, requestFile(path.join(dir, 'verifies'), port, tokens.map((token) => ({
        path: '/v1/verify',
        body: Buffer.from(JSON.stringify({ token })),
        headers: { Authorization: `Bearer ${secret}`, 'Content-Type': 'application/json' },
      }))));
      Object.assign(result, { verifyRate: verifies.rate, verifyP50: verifies.p50, verifyP99: verifies.p99, failed: result.failed + verifies.failed });
    }
    progress(`${name}: ${result.rate.toFixed(0)}/s`);
    return result;
  } finally {
    await svc.stop();
  }
}

// One run: every configuration in turn, between two readings of the
// machine's noise.
async function runOnce(dbs, requests, exe, dir) {
  const results = [];
  const noise = [await machineNoise(exe, dir)];
  const measure = (name, argv, secret, env) => measureOne(name, argv, requests, secret, exe, dir, env);
  const floorSecret = apps.newSecret().secret;
  results.push(await measure('floor: HTTP, open, seal, no storage', [__filename, '--floor'], floorSecret, { BENCH_FLOOR_SECRET: floorSecret }));
  for (const { kind, db, secret } of dbs) {
    results.push(await measure(`${kind}, 1 process`, [CLI, 'serve', '--db', db, '--port', '0'], secret));
    results.push(await measure(`${kind}, 2 workers`, [CLI, 'serve', '--db', db, '--port', '0', '--workers', '2'], secret));
  }
  noise.push(await machineNoise(exe, dir));
  return { at: new Date(), load: os.loadavg()[0], results, noise };
}

async function main() {
  const requests = makeRequests();
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'risk-bench-service-'));
  let cluster = null;
  const runs = [];
  try {
    const exe = buildLoadgen(dir);
    const sqlite = path.join(dir, 'bench.db');
    const dbs = [{ kind: 'SQLite', db: sqlite, secret: register(sqlite) }];
    let pgUrl = PG_URL;
    if (!pgUrl) {
      const { serverBin, startCluster } = require(path.join(JS, 'test', 'fixtures', 'pg-cluster'));
      if (serverBin() !== null) {
        cluster = await startCluster();
        pgUrl = cluster.url;
      } else {
        progress('no PostgreSQL server installed: PostgreSQL left out');
      }
    }
    if (pgUrl) dbs.push({ kind: 'PostgreSQL', db: pgUrl, secret: register(pgUrl) });
    for (let i = 1; i <= RUNS; i++) {
      if (RUNS > 1) progress(`run ${i} of ${RUNS}`);
      const run = await runOnce(dbs, requests, exe, dir);
      runs.push(run);
      process.stdout.write(`${table(run).join('\n')}\n\n`);
    }
  } finally {
    if (cluster) cluster.remove();
    fs.rmSync(dir, { recursive: true, force: true });
    agent.destroy();
  }
  if (RUNS > 1) process.stdout.write(`${combined(runs).join('\n')}\n`);
}

const fixed = (x, d = 1) => (x === undefined ? '-' : x.toFixed(d));
const verdict = (ok) => (ok ? 'within' : 'OVER');

// The figures of a run that have budgets, each with its verdict.
function budgets(results) {
  const floor = results[0].rate;
  const sqlite = results.find((r) => r.name === 'SQLite, 1 process');
  const worstP99 = Math.max(...results.slice(1).map((r) => r.p99));
  const worstVerify = Math.max(...results.slice(1).map((r) => r.verifyP99));
  return [
    { text: `SQLite exchanges ≥ ${BUDGETS.sqliteRatio} × floor`, value: sqlite.rate / floor, unit: ' ×', ok: sqlite.rate / floor >= BUDGETS.sqliteRatio },
    { text: `exchange p99 at half capacity ≤ ${BUDGETS.exchangeP99Ms} ms, worst`, value: worstP99, unit: ' ms', ok: worstP99 <= BUDGETS.exchangeP99Ms },
    { text: `verify p99 ≤ ${BUDGETS.verifyP99Ms} ms, worst`, value: worstVerify, unit: ' ms', ok: worstVerify <= BUDGETS.verifyP99Ms },
  ];
}

function table({ at, load, results, noise }) {
  const floor = results[0].rate;
  const lines = [];
  lines.push(`token service, ${at.toISOString().slice(0, 16).replace('T', ' ')} UTC, ${os.cpus().length} CPUs `
    + `(${os.cpus()[0].model.trim()}), load ${load.toFixed(2)}, Node ${process.versions.node}, `
    + `${DEVICES} devices, ${CONCURRENCY} in flight${QUICK ? ', quick' : ''}`);
  lines.push(`machine: a bare HTTP server's p99 at ${kNoiseRate}/s, ${fixed(noise[0].p99, 2)} ms before the run, ${fixed(noise[1].p99, 2)} ms after`);
  lines.push('| configuration | exchanges/s | × floor | p50 / p99 at half capacity, ms | verifies/s | verify p50 / p99, ms | failed |');
  lines.push('|---|---|---|---|---|---|---|');
  for (const r of results) {
    lines.push(`| ${r.name} | ${fixed(r.rate, 0)} | ${fixed(r.rate / floor, 2)} | ${fixed(r.p50, 2)} / ${fixed(r.p99, 2)} | `
      + `${fixed(r.verifyRate, 0)} | ${r.verifyP50 === undefined ? '-' : `${fixed(r.verifyP50, 2)} / ${fixed(r.verifyP99, 2)}`} | ${r.failed} |`);
  }
  lines.push('');
  for (const b of budgets(results)) lines.push(`budget: ${b.text}: ${fixed(b.value, 2)}${b.unit} (${verdict(b.ok)})`);
  return lines;
}

// Several runs: the median of each figure with its spread, and each budget
// with the runs that met it.
function combined(runs) {
  const median = (xs) => {
    const s = xs.filter((x) => x !== undefined).sort((x, y) => x - y);
    return s.length === 0 ? undefined : s[(s.length - 1) >> 1];
  };
  const spread = (xs, d) => (xs[0] === undefined ? '-'
    : `${fixed(median(xs), d)} (${fixed(Math.min(...xs), d)}–${fixed(Math.max(...xs), d)})`);
  const lines = [`median of ${runs.length} runs (lowest–highest):`];
  lines.push(`machine: a bare HTTP server's p99 at ${kNoiseRate}/s, ${spread(runs.flatMap((r) => r.noise.map((n) => n.p99)), 2)} ms`);
  lines.push('| configuration | exchanges/s | p99 at half capacity, ms | verifies/s | verify p99, ms |');
  lines.push('|---|---|---|---|---|');
  runs[0].results.forEach((r, k) => {
    const of = (key) => runs.map((run) => run.results[k][key]);
    lines.push(`| ${r.name} | ${spread(of('rate'), 0)} | ${spread(of('p99'), 2)} | ${spread(of('verifyRate'), 0)} | ${spread(of('verifyP99'), 2)} |`);
  });
  lines.push('');
  const perRun = runs.map((run) => budgets(run.results));
  perRun[0].forEach((b, k) => {
    const each = perRun.map((run) => run[k]);
    lines.push(`budget: ${b.text}: ${spread(each.map((e) => e.value), 2)}${b.unit}, met in ${each.filter((e) => e.ok).length} of ${runs.length} runs`);
  });
  return lines;
}

// The floor: the service's HTTP, opening and sealing, over a store that
// keeps nothing and knows one app. Its verifies take the whole verify path
// but the database: the app of the secret in BENCH_FLOOR_SECRET, and for
// any token a valid row holding the last exchange's assessment. It runs
// under the V8 flags `risk serve` sets for itself.
async function floor() {
  require(path.join(JS, 'service', 'commands', 'serve')).keepYoungObjectsYoung();
  const { startService } = require(path.join(JS, 'service', 'service'));
  const secret = process.env.BENCH_FLOOR_SECRET || '';
  const secretSalt = crypto.randomBytes(16).toString('hex');
  const app = {
    appKey: APP_KEY, schemes: ['legacy', 'gm'], signature: null, thresholds: null, createdAt: 0, rotatedAt: 0,
    secretId: apps.secretIdOf(secret), secretSalt, secretHash: apps.hashSecret(secretSalt, secret),
  };
  let assessment = null;
  const none = async () => null;
  const store = {
    kind: 'none', migrate: async () => [], ping: async () => {}, getApp: async () => app, getAppBySecretId: none,
    recordExchange: async (e) => { assessment = e.assessment ?? null; },
    findToken: none, consume: async () => false, close: async () => {},
    findAppAndToken: async () => {
      const now = Date.now();
      return {
        app,
        token: {
          appKey: APP_KEY, installationId: 'floor', issuedAt: now, expiresAt: now + kTokenLifeMs, scheme: 'legacy',
          signatureOk: null, clockOffsetMs: 0, lastExchangeAt: now, assessment,
        },
      };
    },
    serviceKey: async (name, candidate) => candidate,
    exchangeHistory: async () => ({ installationsForFingerprint: 1, exchangesLastHour: 1 }),
  };
  const svc = await startService({ development: false, store, port: 0, retentionMs: 0 });
  process.stdout.write(`${svc.url}\n`);
  process.once('SIGTERM', () => svc.close().then(() => process.exit(0)));
}

if (args.includes('--floor')) floor();
else main().catch((e) => {
  process.stderr.write(`${e.stack || e}\n`);
  process.exitCode = 1;
});
