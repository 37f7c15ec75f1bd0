// @ts-check
'use strict';
// The reference bridge's post (lib/http-post.js) against real HTTP servers
// on loopback: the bytes it sends and the answer it gives, a kept-open
// connection the server dropped, and its rejection codes (connect, time
// limit, size limit, anything else).
const { test } = require('node:test');
const assert = require('node:assert');

const { createBridge } = require('../lib/reference-bridge');
const httpPost = require('../lib/http-post');
const { POST_FAILURES, describePost } = require('../lib/codes');
const { tempDir: temp, listen, portOf, closeServer, closedPort } = require('./fixtures/helpers');

const tempDir = () => temp('http-post');

test('post sends the bytes and answers { responseCode, resultType 2, result: ArrayBuffer }', async () => {
  const got = [];
  const server = await listen((req, res) => {
    const chunks = [];
    req.on('data', (c) => chunks.push(c));
    req.on('end', () => {
      got.push([req.method, req.url, Buffer.concat(chunks)]);
      res.statusCode = req.url.startsWith('/fail') ? 500 : 200;
      res.end(Buffer.from([0, 255, 10, 0]));
    });
  });
  try {
    const bridge = createBridge({ prefsDir: tempDir() });
    const base = `http://127.0.0.1:${portOf(server)}`;
    const body = new Uint8Array([1, 2, 0, 200]).buffer;
    const ok = await bridge.post(`${base}/udid/m1?sign=x&appKey=k`, body);
    assert.strictEqual(ok.responseCode, 200);
    assert.strictEqual(ok.resultType, 2);
    assert.ok(ok.result instanceof ArrayBuffer);
    assert.deepStrictEqual([...new Uint8Array(ok.result)], [0, 255, 10, 0]);
    const failed = await bridge.post(`${base}/fail`, new ArrayBuffer(0));
    assert.strictEqual(failed.responseCode, 500);
    assert.deepStrictEqual(got.map((g) => [g[0], g[1], [...g[2]]]), [
      ['POST', '/udid/m1?sign=x&appKey=k', [1, 2, 0, 200]],
      ['POST', '/fail', []],
    ]);
  } finally {
    await closeServer(server);
  }
});

test('a post on a kept-open connection that the server drops goes once more on a new one', async () => {
  // Each connection answers its first request and drops at its second, as a
  // server does that closed an idle connection while the request was on its way.
  let connections = 0;
  const server = await listen((req, res) => {
    const socket = /** @type {import('node:net').Socket & { served?: number }} */ (req.socket);
    socket.served = (socket.served || 0) + 1;
    if (socket.served === 1) connections += 1;
    req.resume();
    req.on('end', () => {
      if (socket.served > 1) socket.destroy();
      else res.end('ok');
    });
  });
  try {
    const bridge = createBridge({ prefsDir: tempDir() });
    const url = `http://127.0.0.1:${portOf(server)}/udid/m1`;
    for (let i = 0; i < 3; i++) {
      const answer = await bridge.post(url, new ArrayBuffer(2));
      assert.strictEqual(answer.responseCode, 200, `post ${i}`);
      assert.strictEqual(Buffer.from(/** @type {ArrayBuffer} */ (answer.result)).toString(), 'ok');
    }
    assert.strictEqual(connections, 3);
  } finally {
    await closeServer(server);
  }
});

test('post rejects with code 7 when the connection is refused and 28 when the time limit passes', async () => {
  const port = await closedPort();
  const bridge = createBridge({ prefsDir: tempDir(), postTimeoutMs: 300 });
  await assert.rejects(bridge.post(`http://127.0.0.1:${port}/`, new ArrayBuffer(1)),
    (/** @type {any} */ e) => e.code === httpPost.POST_ERROR_CONNECT);

  // Answers the head, then never the rest of the body: the limit covers it.
  const server = await listen((req, res) => {
    res.writeHead(200, { 'content-length': '10' });
    res.write('12');
  });
  try {
    await assert.rejects(bridge.post(`http://127.0.0.1:${portOf(server)}/`, new ArrayBuffer(1)),
      (/** @type {any} */ e) => e.code === httpPost.POST_ERROR_TIMEOUT);
  } finally {
    await closeServer(server);
  }
  await assert.rejects(bridge.post('not a url', new ArrayBuffer(1)), (/** @type {any} */ e) => e.code === httpPost.POST_ERROR_OTHER);
});

test('post stops reading an answer at its size limit and rejects with code 63', async () => {
  const kLimit = 1 << 20;
  const kEndless = 256 << 20;  // what the server would send if nobody stopped it
  const sent = [];
  const server = await listen((req, res) => {
    req.resume();
    req.on('end', () => {
      const size = Number(new URL(req.url, 'http://x').searchParams.get('size'));
      const declare = req.url.includes('declare');
      res.writeHead(200, declare ? { 'content-length': String(size) } : {});
      const chunk = Buffer.alloc(64 * 1024, 7);
      let written = 0;
      const record = () => sent.push({ url: req.url, written });
      const pump = () => {
        while (written < size) {
          const n = Math.min(chunk.length, size - written);
          written += n;
          if (!res.write(n === chunk.length ? chunk : chunk.subarray(0, n))) {
            res.once('drain', pump);
            return;
          }
        }
        res.end();
        record();
      };
      res.on('close', () => { if (written < size) record(); });
      pump();
    });
  });
  try {
    const bridge = createBridge({ prefsDir: tempDir(), maxResponseBytes: kLimit, postTimeoutMs: 20000 });
    const base = `http://127.0.0.1:${portOf(server)}`;
    const atLimit = await bridge.post(`${base}/?size=${kLimit}`, new ArrayBuffer(1));
    assert.strictEqual(/** @type {ArrayBuffer} */ (atLimit.result).byteLength, kLimit);
    for (const url of [`/?size=${kEndless}`, `/?declare&size=${kEndless}`]) {
      await assert.rejects(bridge.post(base + url, new ArrayBuffer(1)),
        (/** @type {any} */ e) => e.code === httpPost.POST_ERROR_TOO_LARGE, url);
    }
    // The connection was closed long before the server got rid of everything.
    for (let i = 0; i < 200 && sent.length < 3; i += 1) await new Promise((r) => setTimeout(r, 10));
    assert.strictEqual(sent.length, 3);
    for (const s of sent.slice(1)) assert.ok(s.written < kEndless / 2, `${s.url}: ${s.written} bytes sent`);
  } finally {
    await closeServer(server);
  }
});

test('every rejection the bridge reports reads back with its own reason and meaning', () => {
  for (const [code, reason] of Object.entries(httpPost.POST_ERROR_NAMES)) {
    assert.strictEqual(POST_FAILURES[code] && POST_FAILURES[code].reason, reason, `code ${code}`);
    const line = describePost(/** @type {any} */ ({ url: 'http://x', ms: 3, code: Number(code), reason, message: 'm' }));
    assert.ok(line.startsWith(`rejected: ${reason} (${POST_FAILURES[code].meaning}`), line);
    assert.ok(line.includes(`status -${code}`), line);
  }
});
