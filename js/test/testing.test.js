// @ts-check
'use strict';
// The test kit of quon-risk-comm/testing: its store in memory answers as the
// SQLite store does, a service switched "down" keeps its admin listener (in
// the process and as the `risk serve` command), and the kit refuses what it
// cannot do without a database.

const { test } = require('node:test');
const assert = require('node:assert');
const http = require('node:http');
const path = require('node:path');
const { spawn } = require('node:child_process');

const { startService } = require('../testing');
const { openStore } = require('../service/store');
const { openMemory } = require('../service/store/memory');

const { HISTORY, playHistory } = require('./fixtures/store-history');

test('the store in memory answers a history as the SQLite store does', async () => {
  const sqlite = await openStore(':memory:');
  const memory = openMemory();
  try {
    assert.deepStrictEqual(await memory.migrate(), []);
    await playHistory(sqlite, memory);
  } finally {
    await sqlite.close();
    await memory.close();
  }
  await assert.rejects(memory.ping(), { name: 'StoreError' });
});

test('the kit keeps its store in memory and refuses a database', async () => {
  const svc = await startService();
  try {
    assert.strictEqual((/** @type {any} */ (svc)).store.kind, 'memory');
    assert.match(svc.url, /^http:\/\/127\.0\.0\.1:\d+$/);
    assert.match(svc.adminUrl, /^http:\/\/127\.0\.0\.1:\d+$/);
  } finally {
    await svc.close();
  }
  for (const o of [{ db: ':memory:' }, { store: openMemory() }, { development: false }]) {
    await assert.rejects(startService(/** @type {any} */ (o)), /is not an option of the test kit/);
  }
});

async function adminPost(base, body) {
  const res = await fetch(`${base}/__admin/mode`, { method: 'POST', body: JSON.stringify(body) });
  return { status: res.status, json: /** @type {any} */ (await res.json()) };
}

// The service's health status, or the error code of a failed connection
// (a new connection each time).
function health(url) {
  return new Promise((resolve) => {
    const req = http.get(`${url}/health`, { agent: false }, (res) => {
      res.resume();
      resolve(res.statusCode);
    });
    req.on('error', (/** @type {NodeJS.ErrnoException} */ e) => resolve(e.code || e.message));
  });
}

test('"down" over HTTP closes the exchange listener only; the admin listener brings it back', async () => {
  const svc = await startService();
  try {
    const admin = svc.adminUrl;
    assert.strictEqual((await adminPost(svc.url, { mode: 'down' })).json.adminUrl, admin);
    // The switch follows the answer.
    for (let i = 0; i < 50 && (await health(svc.url)) !== 'ECONNREFUSED'; i++) await new Promise((r) => setTimeout(r, 20));
    assert.strictEqual(await health(svc.url), 'ECONNREFUSED');
    const res = await fetch(`${admin}/__admin/mode`);
    assert.deepStrictEqual((/** @type {any} */ (await res.json())).mode, { name: 'down' });
    assert.strictEqual((await fetch(`${admin}/udid/m1`, { method: 'POST' })).status, 404, 'the admin port serves no exchange');
    assert.strictEqual((await adminPost(admin, { mode: 'normal' })).status, 200);
    for (let i = 0; i < 50 && (await health(svc.url)) !== 200; i++) await new Promise((r) => setTimeout(r, 20));
    assert.strictEqual(await health(svc.url), 200);
  } finally {
    await svc.close();
  }
  assert.strictEqual(await health(svc.adminUrl), 'ECONNREFUSED', 'close() ends the admin listener');
});

// `risk serve` of the app's package in a child process: its first stdout line
// is the URL, the admin address is on stderr.
function serveCommand(args) {
  const child = spawn(process.execPath, [path.join(__dirname, '..', 'cli.js'), 'serve', ...args],
    { stdio: ['ignore', 'pipe', 'pipe'] });
  let stdout = '';
  let stderr = '';
  child.stdout.on('data', (c) => { stdout += c; });
  child.stderr.on('data', (c) => { stderr += c; });
  const ended = new Promise((resolve) => child.on('close', (code, signal) => resolve({ code, signal })));
  const addresses = new Promise((resolve, reject) => {
    const look = () => {
      const url = /^(http:\/\/\S+)\n/.exec(stdout);
      const admin = /admin endpoint, up in every mode: (http:\/\/\S+)\/__admin\/mode/.exec(stderr);
      if (url && admin) resolve({ url: url[1], admin: admin[1] });
    };
    child.stdout.on('data', look);
    child.stderr.on('data', look);
    ended.then((e) => reject(new Error(`risk serve ended (${e.code ?? e.signal}): ${stderr}`)));
  });
  return { child, ended, addresses };
}

test('risk serve, started down or switched down without durationMs, keeps its admin side up', { timeout: 30000 }, async () => {
  for (const start of [['--mode', 'down'], []]) {
    const run = serveCommand(start);
    try {
      const { url, admin } = await run.addresses;
      if (start.length === 0) {
        assert.strictEqual(await health(url), 200);
        assert.strictEqual((await adminPost(url, { mode: 'down' })).status, 200);
      }
      // Some time for the process to end, were it to.
      await new Promise((r) => setTimeout(r, 500));
      assert.strictEqual(run.child.exitCode, null, `${start.join(' ')}: still running`);
      assert.strictEqual(await health(url), 'ECONNREFUSED');
      assert.strictEqual((await adminPost(admin, { mode: 'normal' })).status, 200);
      for (let i = 0; i < 50 && (await health(url)) !== 200; i++) await new Promise((r) => setTimeout(r, 20));
      assert.strictEqual(await health(url), 200, `${start.join(' ')}: serves again`);
    } finally {
      run.child.kill('SIGTERM');
    }
    assert.deepStrictEqual(await run.ended, { code: 0, signal: null });
  }
});
