// @ts-check
'use strict';
// The token service's figures, printed beside their budgets: exchanges per
// second with SQLite and with PostgreSQL, in one process and in two
// (--workers 2); beside them the floor, the same HTTP, open and seal with no
// storage at all (a store that keeps nothing), as a ratio in the same run;
// p50 and p99 latency of an exchange at half the measured capacity; verifies
// per second and their p99 at half capacity.
//
//   node bench/service/run.js [--quick] [--pg URL]
//
// Without --pg, PostgreSQL is measured on a throwaway cluster when Debian's
// server is installed (js/test/fixtures/pg-cluster.js), and left out
// otherwise. The load generator (this process) replays valid sealed token
// requests of BENCH_DEVICES distinct devices made up front, over kept-alive
// connections; the service runs in a child process (`risk serve`), so on a
// two-CPU machine the generator and a one-process service each have a CPU,
// and two workers share theirs with the generator.
//
// A measurement, not a test: it exits 0 whatever the figures are.

const crypto = require('node:crypto');
const fs = require('node:fs');
const http = require('node:http');
const os = require('node:os');
const path = require('node:path');
const { spawn } = require('node:child_process');

const ROOT = path.join(__dirname, '..', '..');
const JS = path.join(ROOT, 'js');
const CLI = path.join(JS, 'service', 'cli.js');
const { createScheme } = require(path.join(JS, 'lib', 'scheme'));
const wire = require(path.join(JS, 'lib', 'wire'));

const args = process.argv.slice(2);
const QUICK = args.includes('--quick') || process.env.BENCH_QUICK === '1';
const PG_URL = args.includes('--pg') ? args[args.indexOf('--pg') + 1] : null;
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

// Closed loop: CONCURRENCY requests in flight for `ms`; requests per second.
async function capacity(next, ms) {
  let done = 0;
  let failed = 0;
  const end = Date.now() + ms;
  const t0 = process.hrtime.bigint();
  await Promise.all(Array.from({ length: CONCURRENCY }, async () => {
    while (Date.now() < end) {
      const r = await next();
      if (r.status === 200) done += 1;
      else failed += 1;
    }
  }));
  const s = Number(process.hrtime.bigint() - t0) / 1e9;
  return { rate: done / s, failed };
}

// Open loop at `rate` per second for `ms`: latency from the planned send.
// The generator checks the clock every millisecond (the finest timer), so
// that requests leave in small groups close to when they are due: the wait
// of a coarser timer would count as the service's. It does not spin, which
// would take the CPU the service and its database share on a small machine.
async function latency(next, rate, ms) {
  const lat = [];
  const pending = [];
  const start = performance.now();
  let sent = 0;
  let failed = 0;
  await new Promise((/** @type {(value?: unknown) => void} */ resolve) => {
    const tick = () => {
      const now = performance.now();
      const due = Math.floor(((now - start) / 1000) * rate);
      for (; sent < due; sent++) {
        const planned = start + (sent / rate) * 1000;
        pending.push(next().then((r) => {
          if (r.status === 200) lat.push(performance.now() - planned);
          else failed += 1;
        }));
      }
      if (now - start >= ms) resolve();
      else setTimeout(tick, 1);
    };
    tick();
  });
  await Promise.all(pending);
  lat.sort((x, y) => x - y);
  const q = (p) => lat[Math.min(lat.length - 1, Math.floor(p * lat.length))];
  return { p50: q(0.5), p99: q(0.99), n: lat.length, failed };
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
  const r = require('node:child_process').spawnSync(process.execPath, [CLI, 'apps', 'add', '--db', db, '--app-key', APP_KEY, '--json'],
    { encoding: 'utf8' });
  if (r.status !== 0) throw new Error(r.stderr);
  return JSON.parse(r.stdout).secret;
}

async function measure(name, argv, requests, secret) {
  progress(`${name}: starting`);
  const svc = await serve(argv);
  try {
    let i = 0;
    const nextExchange = () => {
      const r = requests[i++ % requests.length];
      return post(svc.url, r.path, r.body);
    };
    // Warm-up: every device once, which also gives verify its tokens.
    const tokens = [];
    const scheme = createScheme('legacy', APP_KEY);
    for (let k = 0; k < Math.min(requests.length, 200); k++) {
      const res = await nextExchange();
      if (secret && res.status === 200) tokens.push(wire.decodeTokenResponse(wire.open(scheme, res.body)).payload.ulvok);
    }
    const cap = await capacity(nextExchange, CAPACITY_MS);
    const lat = await latency(nextExchange, cap.rate / 2, LATENCY_MS);
    const result = { name, rate: cap.rate, p50: lat.p50, p99: lat.p99, failed: cap.failed + lat.failed };
    if (secret) {
      let j = 0;
      const nextVerify = () => post(svc.url, '/v1/verify', Buffer.from(JSON.stringify({ token: tokens[j++ % tokens.length] })),
        { Authorization: `Bearer ${secret}`, 'Content-Type': 'application/json' });
      const vcap = await capacity(nextVerify, CAPACITY_MS);
      const vlat = await latency(nextVerify, vcap.rate / 2, LATENCY_MS);
      Object.assign(result, { verifyRate: vcap.rate, verifyP50: vlat.p50, verifyP99: vlat.p99 });
    }
    progress(`${name}: ${result.rate.toFixed(0)}/s`);
    return result;
  } finally {
    await svc.stop();
  }
}

async function main() {
  const requests = makeRequests();
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'risk-bench-service-'));
  let cluster = null;
  const results = [];
  try {
    results.push(await measure('floor: HTTP, open, seal, no storage', [__filename, '--floor'], requests, null));
    const sqlite = path.join(dir, 'bench.db');
    const sqliteSecret = register(sqlite);
    results.push(await measure('SQLite, 1 process', [CLI, 'serve', '--db', sqlite, '--port', '0'], requests, sqliteSecret));
    results.push(await measure('SQLite, 2 workers', [CLI, 'serve', '--db', sqlite, '--port', '0', '--workers', '2'], requests, sqliteSecret));
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
    if (pgUrl) {
      const pgSecret = register(pgUrl);
      results.push(await measure('PostgreSQL, 1 process', [CLI, 'serve', '--db', pgUrl, '--port', '0'], requests, pgSecret));
      results.push(await measure('PostgreSQL, 2 workers', [CLI, 'serve', '--db', pgUrl, '--port', '0', '--workers', '2'], requests, pgSecret));
    }
  } finally {
    if (cluster) cluster.remove();
    fs.rmSync(dir, { recursive: true, force: true });
    agent.destroy();
  }
  print(results);
}

function print(results) {
  const floor = results[0].rate;
  const f = (x, d = 1) => (x === undefined ? '-' : x.toFixed(d));
  const lines = [];
  lines.push(`token service, ${new Date().toISOString().slice(0, 16).replace('T', ' ')} UTC, ${os.cpus().length} CPUs `
    + `(${os.cpus()[0].model.trim()}), load ${os.loadavg()[0].toFixed(2)}, Node ${process.versions.node}, `
    + `${DEVICES} devices, ${CONCURRENCY} in flight${QUICK ? ', quick' : ''}`);
  lines.push('| configuration | exchanges/s | × floor | p50 / p99 at half capacity, ms | verifies/s | verify p50 / p99, ms | failed |');
  lines.push('|---|---|---|---|---|---|---|');
  for (const r of results) {
    lines.push(`| ${r.name} | ${f(r.rate, 0)} | ${f(r.rate / floor, 2)} | ${f(r.p50, 2)} / ${f(r.p99, 2)} | `
      + `${f(r.verifyRate, 0)} | ${r.verifyP50 === undefined ? '-' : `${f(r.verifyP50, 2)} / ${f(r.verifyP99, 2)}`} | ${r.failed} |`);
  }
  const sqlite = results.find((r) => r.name === 'SQLite, 1 process');
  const verdict = (ok) => (ok ? 'within' : 'OVER');
  lines.push('');
  lines.push(`budget: SQLite exchanges ≥ ${BUDGETS.sqliteRatio} × floor: ${f(sqlite.rate / floor, 2)} × (${verdict(sqlite.rate / floor >= BUDGETS.sqliteRatio)})`);
  const worstP99 = Math.max(...results.slice(1).map((r) => r.p99));
  lines.push(`budget: exchange p99 at half capacity ≤ ${BUDGETS.exchangeP99Ms} ms: worst ${f(worstP99, 2)} ms (${verdict(worstP99 <= BUDGETS.exchangeP99Ms)})`);
  const worstVerify = Math.max(...results.slice(1).map((r) => r.verifyP99));
  lines.push(`budget: verify p99 ≤ ${BUDGETS.verifyP99Ms} ms: worst ${f(worstVerify, 2)} ms (${verdict(worstVerify <= BUDGETS.verifyP99Ms)})`);
  process.stdout.write(`${lines.join('\n')}\n`);
}

// The floor: the service's HTTP, opening and sealing, over a store that
// keeps nothing and knows one app.
async function floor() {
  const { startService } = require(path.join(JS, 'service', 'service'));
  const app = { appKey: APP_KEY, schemes: ['legacy', 'gm'], signature: null };
  const none = async () => null;
  const store = {
    kind: 'none', migrate: async () => [], ping: async () => {}, getApp: async () => app, getAppBySecretId: none,
    recordExchange: async () => {}, findToken: none, consume: async () => false, close: async () => {},
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
