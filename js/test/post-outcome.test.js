'use strict';
// The reference bridge's post as a caller diagnoses it: onPost is told the
// HTTP status or the rejection and its reason, and a host under ".invalid"
// (the library's built-in addresses) is rejected with code 6 without any
// name lookup.

const test = require('node:test');
const assert = require('node:assert');
const dns = require('node:dns');
const fs = require('node:fs');
const http = require('node:http');
const os = require('node:os');
const path = require('node:path');

const { createBridge } = require('../lib/bridge');
const e2e = require('./fixtures/e2e-common');

test('onPost reports HTTP statuses and rejections; .invalid hosts fail without a lookup', async () => {
  const prefsDir = fs.mkdtempSync(path.join(os.tmpdir(), 'risk-post-'));
  const server = http.createServer((req, res) => {
    req.resume();
    req.on('end', () => {
      res.writeHead(500, { 'Content-Length': 3 });
      res.end('bad');
    });
  });
  await new Promise((r) => server.listen(0, '127.0.0.1', r));
  const looked = [];
  const lookup = dns.lookup;
  dns.lookup = function tracked(host, ...rest) {
    looked.push(host);
    return lookup.call(this, host, ...rest);
  };
  try {
    const outcomes = [];
    const bridge = createBridge({ prefsDir, postTimeoutMs: 3000, onPost: (o) => outcomes.push(o) });
    const body = new Uint8Array([1, 2, 3]).buffer;
    const answer = await bridge.post(`http://127.0.0.1:${server.address().port}/udid/m1?sign=x`, body);
    assert.strictEqual(answer.responseCode, 500);
    const closed = await e2e.closedPort();
    const refused = await bridge.post(`http://127.0.0.1:${closed}/udid/m1`, body).catch((e) => e);
    assert.strictEqual(refused.code, 7);
    for (const url of ['https://token.quon-risk.invalid/udid/m1?sign=x', 'http://a.b.INVALID./x']) {
      const e = await bridge.post(url, body).catch((err) => err);
      assert.strictEqual(e.code, 6, url);
    }
    await new Promise((r) => setImmediate(r));
    assert.deepStrictEqual(outcomes.map(({ ms, message, ...o }) => o), [
      { url: `http://127.0.0.1:${server.address().port}/udid/m1?sign=x`, httpStatus: 500, bytes: 3 },
      { url: `http://127.0.0.1:${closed}/udid/m1`, code: 7, reason: 'connect' },
      { url: 'https://token.quon-risk.invalid/udid/m1?sign=x', code: 6, reason: 'resolve' },
      { url: 'http://a.b.INVALID./x', code: 6, reason: 'resolve' },
    ]);
    assert.ok(outcomes.every((o) => Number.isInteger(o.ms) && o.ms >= 0));
    assert.deepStrictEqual(looked.filter((h) => /invalid\.?$/i.test(h)), [], 'no lookup of an .invalid name');
  } finally {
    dns.lookup = lookup;
    server.close();
    fs.rmSync(prefsDir, { recursive: true, force: true });
  }
});

test('every rejection the bridge reports reads back with its own reason and meaning', () => {
  const bridgeLib = require('../lib/bridge');
  const { POST_FAILURES, describePost } = require('../lib/codes');
  for (const [code, reason] of Object.entries(bridgeLib.POST_ERROR_NAMES)) {
    assert.strictEqual(POST_FAILURES[code] && POST_FAILURES[code].reason, reason, `code ${code}`);
    const line = describePost({ url: 'http://x', ms: 3, code: Number(code), reason, message: 'm' });
    assert.ok(line.startsWith(`rejected: ${reason} (${POST_FAILURES[code].meaning}`), line);
    assert.ok(line.includes(`status -${code}`), line);
  }
});
