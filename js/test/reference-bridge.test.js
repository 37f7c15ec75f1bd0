// @ts-check
'use strict';
// The reference bridge object (lib/reference-bridge.js): making one has no
// effect beyond its preference folder, its explicit warm-up leaves nothing
// behind, its answers come from the options, its handlers' exceptions are
// reported, and onPost tells a caller what became of each post.
const { test } = require('node:test');
const assert = require('node:assert');
const dns = require('node:dns');
const fs = require('node:fs');
const path = require('node:path');
const { spawnSync } = require('node:child_process');

const { createBridge, ZERO_OAID } = require('../lib/reference-bridge');
const { tempDir: temp, listen, portOf, closeServer, closedPort } = require('./fixtures/helpers');

const tempDir = () => temp('reference-bridge');
const BRIDGE_PATH = path.join(__dirname, '..', 'lib', 'reference-bridge.js');


// Counts, in a child process, the listening servers and the exit handlers
// a bridge makes: after creation, after warmUp() and after a second bridge's
// warmUp(), a few turns of the loop each.
test('making a bridge starts no server and installs no exit handler; the first warmUp() does, once', () => {
  const dir = tempDir();
  const code = `
    const net = require('node:net');
    let listens = 0;
    const listen = net.Server.prototype.listen;
    net.Server.prototype.listen = function (...args) { listens += 1; return listen.apply(this, args); };
    const { createBridge } = require(${JSON.stringify(BRIDGE_PATH)});
    const exitBefore = process.listenerCount('exit');
    const counts = () => ({ listens, exitHandlers: process.listenerCount('exit') - exitBefore });
    const later = (f) => setTimeout(f, 300);
    const seen = {};
    const bridge = createBridge({ prefsDir: ${JSON.stringify(dir)} });
    later(() => {
      seen.created = counts();
      bridge.warmUp();
      later(() => {
        seen.warmedUp = counts();
        createBridge({ prefsDir: ${JSON.stringify(dir)} }).warmUp();
        later(() => {
          seen.again = counts();
          process.stdout.write(JSON.stringify(seen));
        });
      });
    });
  `;
  const run = spawnSync(process.execPath, ['-e', code], { encoding: 'utf8', timeout: 20000 });
  assert.strictEqual(run.status, 0, `${run.signal || ''} ${run.stderr}`);
  assert.deepStrictEqual(JSON.parse(run.stdout), {
    created: { listens: 0, exitHandlers: 0 },
    warmedUp: { listens: 1, exitHandlers: 1 },
    again: { listens: 1, exitHandlers: 1 },
  });
  fs.rmSync(dir, { recursive: true, force: true });
});

test('the warm-up leaves nothing behind and calls nothing of the app', () => {
  const dir = tempDir();
  // The process must end by itself: no socket, server or timer of the
  // warm-up outlives it. A wrapper put on after warmUp() sees no call.
  const code = `
    const fs = require('node:fs');
    const { createBridge } = require(${JSON.stringify(BRIDGE_PATH)});
    let appCalls = 0;
    const bridge = createBridge({ prefsDir: ${JSON.stringify(dir)}, timeInfo: () => { appCalls += 1; return {}; } });
    bridge.warmUp();
    let seen = 0;
    for (const name of Object.keys(bridge)) {
      const fn = bridge[name];
      if (typeof fn === 'function') bridge[name] = (...args) => { seen += 1; return fn(...args); };
    }
    process.on('exit', () => process.stdout.write(JSON.stringify({ appCalls, seen, files: fs.readdirSync(${JSON.stringify(dir)}) })));
  `;
  const run = spawnSync(process.execPath, ['-e', code], { encoding: 'utf8', timeout: 20000 });
  assert.strictEqual(run.status, 0, `${run.signal || ''} ${run.stderr}`);
  assert.deepStrictEqual(JSON.parse(run.stdout), { appCalls: 0, seen: 0, files: [] });
  fs.rmSync(dir, { recursive: true, force: true });
});


test('signature, advertising id and time information come from the options', () => {
  const plain = createBridge({ prefsDir: tempDir() });
  assert.strictEqual(plain.getAppSignature(), '');
  assert.strictEqual(plain.getOaid(), ZERO_OAID);
  const t = JSON.parse(/** @type {string} */ (plain.getTimeInfo()));
  assert.strictEqual(typeof t.timezone, 'string');
  const given = createBridge({ prefsDir: tempDir(), appSignature: 'AB:CD', oaid: 'id-1', timeInfo: () => ({ K201: '5' }) });
  assert.deepStrictEqual([given.getAppSignature(), given.getOaid(), given.getTimeInfo()], ['AB:CD', 'id-1', '{"K201":"5"}']);
});

test('situation events reach the handlers; a throwing handler is reported, not thrown', () => {
  const calls = [];
  const errors = [];
  const bridge = createBridge({
    prefsDir: tempDir(),
    onClientEvent: (...a) => calls.push(['client', ...a]),
    onServerEvent: () => { throw new Error('handler'); },
    onError: (e) => errors.push(e.message),
  });
  bridge.onSituationClientEvent('k', 3, 25, '');
  bridge.onSituationServerEvent('k', 'answer');
  assert.deepStrictEqual(calls, [['client', 'k', 3, 25, '']]);
  assert.deepStrictEqual(errors, ['handler']);
});

test('onPost reports HTTP statuses and rejections; .invalid hosts fail without a lookup', async () => {
  const prefsDir = tempDir();
  const server = await listen((req, res) => {
    req.resume();
    req.on('end', () => {
      res.writeHead(500, { 'Content-Length': 3 });
      res.end('bad');
    });
  });
  const looked = [];
  const lookup = dns.lookup;
  dns.lookup = /** @type {any} */ (function tracked(host, ...rest) {
    looked.push(host);
    return lookup.call(this, host, ...rest);
  });
  try {
    const outcomes = [];
    const bridge = createBridge({ prefsDir, postTimeoutMs: 3000, onPost: (o) => outcomes.push(o) });
    const body = new Uint8Array([1, 2, 3]).buffer;
    const answer = await bridge.post(`http://127.0.0.1:${portOf(server)}/udid/m1?sign=x`, body);
    assert.strictEqual(answer.responseCode, 500);
    const closed = await closedPort();
    const refused = await bridge.post(`http://127.0.0.1:${closed}/udid/m1`, body).catch((e) => e);
    assert.strictEqual(refused.code, 7);
    for (const url of ['https://token.quon-risk.invalid/udid/m1?sign=x', 'http://a.b.INVALID./x']) {
      const e = await bridge.post(url, body).catch((err) => err);
      assert.strictEqual(e.code, 6, url);
    }
    await new Promise((r) => setImmediate(r));
    assert.deepStrictEqual(outcomes.map(({ ms, message, ...o }) => o), [
      { url: `http://127.0.0.1:${portOf(server)}/udid/m1?sign=x`, httpStatus: 500, bytes: 3 },
      { url: `http://127.0.0.1:${closed}/udid/m1`, code: 7, reason: 'connect' },
      { url: 'https://token.quon-risk.invalid/udid/m1?sign=x', code: 6, reason: 'resolve' },
      { url: 'http://a.b.INVALID./x', code: 6, reason: 'resolve' },
    ]);
    assert.ok(outcomes.every((o) => Number.isInteger(o.ms) && o.ms >= 0));
    assert.deepStrictEqual(looked.filter((h) => /invalid\.?$/i.test(h)), [], 'no lookup of an .invalid name');
  } finally {
    dns.lookup = lookup;
    await closeServer(server);
    fs.rmSync(prefsDir, { recursive: true, force: true });
  }
});

