// @ts-check
'use strict';
// The host's resources in the library's hands, each scenario in a child
// process with a time limit: a service answering far more than any valid
// answer, a disk that fills up while a token is stored, a host whose
// standard input is closed, and six application keys starting at once on
// an empty store.

const test = require('node:test');
const assert = require('node:assert');
const fs = require('node:fs');
const http = require('node:http');

const { startService } = require('../service/service');
const tokens = require('../lib/tokens');
const helpers = require('./fixtures/helpers');
const e2e = require('./fixtures/e2e-common');

const { before, after } = test;

const GIB = 1 << 30;
// Growth of the peak resident size a token may cause: room for the largest
// answer the library accepts and its copies, far below the gibibyte a
// whole copy takes (and independent of what a sanitizer adds to Node).
const kMaxRssGrowthKiB = 256 * 1024;

let svc;
before(async () => {
  svc = await startService({ port: 0 });
});
after(async () => {
  await svc.close();
});

function runResources(config, options) {
  return e2e.runScript('resources-host.js', config, { timeoutMs: 60000, ...options });
}

function degradeCode(token, appKey) {
  assert.ok(tokens.isDegradeToken(token) && token !== '', `a degrade token: ${token}`);
  const opened = tokens.openDegradeToken(token, appKey);
  assert.strictEqual(opened.problem, null);
  return opened.fields.errorCode;
}

// Streams up to `total` bytes to every request, as fast as the reader takes
// them; records how much it got rid of before the connection closed.
async function floodServer(total) {
  const sent = [];
  const server = http.createServer((req, res) => {
    req.resume();
    req.on('end', () => {
      res.writeHead(200, { 'content-type': 'application/octet-stream' });
      const chunk = Buffer.alloc(1 << 20, 0x5a);
      let written = 0;
      let done = false;
      const finish = () => {
        if (!done) sent.push(written);
        done = true;
      };
      const pump = () => {
        while (written < total && !res.destroyed) {
          written += chunk.length;
          if (!res.write(chunk)) {
            res.once('drain', pump);
            return;
          }
        }
        res.end();
        finish();
      };
      res.on('close', finish);
      pump();
    });
  });
  await new Promise((r) => server.listen(0, '127.0.0.1', () => r(undefined)));
  return {
    url: `http://127.0.0.1:${helpers.portOf(server)}/udid/m1`,
    sent,
    close: () => {
      server.closeAllConnections();
      return new Promise((r) => server.close(r));
    },
  };
}

test('answers of a gibibyte are refused unread: a degrade token, bounded memory', async () => {
  const flood = await floodServer(GIB);
  const cases = [
    // The reference bridge stops reading at its own limit.
    { what: 'reference bridge, streamed', post: 'reference', url: flood.url, refusedLog: false },
    // A bridge that hands over a gibibyte ArrayBuffer (not yet touched, so
    // only a copy would make it resident) or a long string.
    // ThreadSanitizer's allocator touches what it hands out, so there the
    // untouched buffer is resident from the start and says nothing.
    { what: 'ArrayBuffer answer', post: 'arraybuffer', answerBytes: GIB, refusedLog: true,
      rss: process.env.RISK_SANITIZER !== 'tsan' },
    { what: 'string answer', post: 'string', answerBytes: 8 << 20, refusedLog: true },
  ];
  try {
    for (const c of cases) {
      const appKey = 'resources-flood';
      const run = await runResources({
        prefsDir: e2e.tempDir('flood'),
        post: c.post,
        answerBytes: c.answerBytes,
        steps: [
          { op: 'rss' },
          { op: 'tokens', appKeys: [appKey], options: { KEY_URL: c.url || svc.url, KEY_DELAY_MS_TIME: '20000' } },
          { op: 'rss' },
        ],
      });
      e2e.assertClean(assert, run);
      const [before, token, after] = run.steps;
      assert.strictEqual(degradeCode(token.tokens[0], appKey), -1002, c.what);
      const growth = after.maxRssKiB - before.maxRssKiB;
      if (c.rss !== false) assert.ok(growth < kMaxRssGrowthKiB, `${c.what}: peak resident size grew by ${growth} KiB`);
      assert.strictEqual(/http response body of \d+ bytes exceeds \d+, refused/.test(run.log), c.refusedLog, c.what);
      if (c.post === 'reference') assert.match(run.log, /http post error, err code -63/);
    }
    assert.strictEqual(flood.sent.length, 1);
    assert.ok(flood.sent[0] < GIB / 8, `the flood was cut after ${flood.sent[0]} bytes`);
  } finally {
    await flood.close();
  }
});

test('a full disk while a token is stored keeps the stored token whole, and the library is told', async () => {
  const appKey = 'resources-full-disk';
  const prefsDir = e2e.tempDir('full');
  const run = await runResources({
    prefsDir,
    steps: [
      { op: 'tokens', appKeys: [appKey], options: { KEY_URL: svc.url } },
      { op: 'disk-full' },
      { op: 'tokens', appKeys: [appKey], options: { KEY_URL: svc.url, PRIVATE_FORCE_REFRESH: 'true' } },
    ],
  });
  const why = `code ${run.code} killed ${run.killed}\n${run.stderr}\n${run.log.slice(-3000)}`;
  assert.strictEqual(run.killed, false, why);
  assert.strictEqual(run.code, 0, why);
  assert.ok(run.done, why);
  const [first, , second] = run.steps;
  assert.ok(!tokens.isDegradeToken(first.tokens[0]), 'a service token first');
  assert.ok(!tokens.isDegradeToken(second.tokens[0]), 'the refreshed token is still handed out');
  assert.notStrictEqual(second.tokens[0], first.tokens[0]);
  // Both writes of the refresh (time and token) failed and were reported.
  assert.deepStrictEqual(run.errors.map((e) => e.code), ['ENOSPC', 'ENOSPC'], why);
  assert.strictEqual((run.log.match(/set fail: prefPut kept the old value of /g) || []).length, 2, why);

  const stored = e2e.prefs(prefsDir, appKey);
  assert.strictEqual(stored.app(e2e.TOKEN_PREF).value, first.tokens[0]);
  assert.match(stored.app(e2e.TIME_PREF).value, /^\d+$/);
  assert.deepStrictEqual(fs.readdirSync(prefsDir).filter((f) => f.endsWith('.tmp')), []);
  fs.rmSync(prefsDir, { recursive: true, force: true });
});

test('a host without standard input gets descriptor 0 back free after a token', async () => {
  const appKey = 'resources-stdin';
  // A post of the host's own that answers at once without a socket: every
  // descriptor opened in between is the library's.
  const run = await runResources({
    prefsDir: e2e.tempDir('stdin'),
    closeStdin: true,
    post: 'string',
    answerBytes: 3,
    steps: [
      { op: 'fd0' },
      { op: 'tokens', appKeys: [appKey], options: { KEY_DELAY_MS_TIME: '3000' } },
      { op: 'fd0' },
    ],
  });
  e2e.assertClean(assert, run);
  const [before0, token, after0] = run.steps;
  assert.strictEqual(before0.link, 'closed');
  assert.strictEqual(degradeCode(token.tokens[0], appKey), -1002);
  assert.deepStrictEqual(after0, { op: 'fd0', link: 'closed', opened: 0, stdin: 'host input\n' });
});

test('six application keys starting at once on an empty store send one installation id', async () => {
  const appKeys = Array.from({ length: 6 }, (_, i) => `resources-first-${i}`);
  const prefsDir = e2e.tempDir('first');
  const from = svc.requests.length;
  const run = await runResources({
    prefsDir,
    steps: [{ op: 'tokens', appKeys, options: { KEY_URL: svc.url } }],
  });
  e2e.assertClean(assert, run);
  const seen = svc.requests.slice(from).filter((r) => appKeys.includes(r.query.appKey));
  assert.strictEqual(seen.length, appKeys.length);
  const ids = new Set(seen.map((r) => r.data.K58));
  const stored = e2e.prefs(prefsDir, appKeys[0]).sdk(e2e.UUID_PREF).value;
  assert.match(stored, /^[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}$/);
  assert.deepStrictEqual([...ids], [stored]);
  fs.rmSync(prefsDir, { recursive: true, force: true });
});
