// @ts-check
'use strict';
// The token service benchmark's load generator (bench/service/loadgen.c),
// run against a server of this test whose answers it cannot predict: a
// slow answer, a refusal, a closed connection. What it counts and the
// latencies it reports are what the service's figures are made of.

const test = require('node:test');
const assert = require('node:assert');
const fs = require('node:fs');
const http = require('node:http');
const path = require('node:path');
const { execFile, spawnSync } = require('node:child_process');
const helpers = require('./fixtures/helpers');

const SOURCE = path.join(__dirname, '..', '..', 'bench', 'service', 'loadgen.c');
const dir = helpers.tempDir('loadgen');
test.after(() => fs.rmSync(dir, { recursive: true, force: true }));

const exe = path.join(dir, 'loadgen');
const built = spawnSync(process.env.CC || 'cc', ['-O2', '-Wall', '-Werror', '-o', exe, SOURCE], { encoding: 'utf8' });

/**
 * @param {number} port
 * @param {number} count requests in the file, each with its number in the path
 * @returns {string}
 */
function requestFile(port, count) {
  const file = path.join(dir, `requests-${count}`);
  fs.writeFileSync(file, Buffer.concat(Array.from({ length: count }, (_, i) => {
    const raw = Buffer.from(`POST /${i} HTTP/1.1\r\nHost: 127.0.0.1:${port}\r\nContent-Length: 2\r\n\r\n{}`);
    const length = Buffer.alloc(4);
    length.writeUInt32LE(raw.length);
    return [length, raw];
  }).flat()));
  return file;
}

/**
 * @param {string[]} argv
 * @returns {Promise<{ ok: number, failed: number, rate: number, p50: number, p99: number }>}
 */
function run(argv) {
  return new Promise((resolve, reject) => {
    execFile(exe, argv, { encoding: 'utf8', timeout: 30000 }, (e, stdout, stderr) => {
      if (e) reject(new Error(`${e.message}: ${stderr}`));
      else resolve(JSON.parse(stdout));
    });
  });
}

// Each case: how the server answers request number n (of the file's ten),
// and what the generator must then report for 400 requests at 400 a second.
const CASES = [
  {
    name: 'one answer in ten held 40 ms: the p99 holds the wait, the p50 does not',
    answer: (/** @type {number} */ n, /** @type {http.ServerResponse} */ res) => (n === 0 ? setTimeout(() => res.end('ok'), 40) : res.end('ok')),
    check: (/** @type {any} */ r) => {
      assert.deepStrictEqual([r.ok, r.failed], [400, 0]);
      assert.ok(r.p99 >= 40, `p99 ${r.p99}`);
      assert.ok(r.p50 < 20, `p50 ${r.p50}`);
    },
  },
  {
    name: 'an answer that is not 200 counts as failed, and its connection goes on',
    answer: (/** @type {number} */ n, /** @type {http.ServerResponse} */ res) => {
      res.statusCode = n % 5 === 0 ? 503 : 200;
      res.end('ok');
    },
    check: (/** @type {any} */ r) => assert.deepStrictEqual([r.ok, r.failed], [320, 80]),
  },
  {
    name: 'answers with Connection: close or chunked bodies are read whole, and the connection opened again',
    answer: (/** @type {number} */ n, /** @type {http.ServerResponse} */ res) => {
      if (n % 3 === 0) res.setHeader('Connection', 'close');
      if (n % 2 === 0) res.write('chunk ');
      res.end('ok');
    },
    check: (/** @type {any} */ r) => assert.deepStrictEqual([r.ok, r.failed], [400, 0]),
  },
];

for (const c of CASES) {
  test(`load generator: ${c.name}`, { skip: built.status !== 0 && `cannot build it: ${built.stderr}` }, async () => {
    const server = await helpers.listen((req, res) => {
      req.resume();
      req.on('end', () => c.answer(Number((req.url || '/0').slice(1)), res));
    });
    const port = helpers.portOf(server);
    try {
      c.check(await run([String(port), requestFile(port, 10), 'open', '400', '1000']));
    } finally {
      await helpers.closeServer(server);
    }
  });
}

test('load generator: a closed loop keeps its requests in flight and counts each answer once', { skip: built.status !== 0 }, async () => {
  let answered = 0;
  const server = await helpers.listen((req, res) => {
    req.resume();
    req.on('end', () => {
      answered += 1;
      res.end('ok');
    });
  });
  const port = helpers.portOf(server);
  try {
    const r = await run([String(port), requestFile(port, 3), 'closed', '4', '500']);
    assert.strictEqual(r.failed, 0);
    assert.strictEqual(r.ok, answered);
    assert.ok(r.ok > 100 && r.rate > 200, JSON.stringify(r));
  } finally {
    await helpers.closeServer(server);
  }
});
