// @ts-check
'use strict';
// Load on the built library through the Node host, one SDK per child
// process: 1,000 concurrent token calls for one key share one exchange,
// 50 keys at once get 50 exchanges and tokens of their own, and 20,000 calls
// leave resident memory and the thread count where they were. Figures are
// printed; the bounds are generous (shared 2-core machine).

const test = require('node:test');
const assert = require('node:assert');
const fs = require('node:fs');

const { startService } = require('../service/service');
const e2e = require('./fixtures/e2e-common');
const { runScript } = require('./fixtures/faults-common');

const { before, after } = test;

// The library keeps at most one launcher thread and the runtime-guard
// thread once its calls are done; worker and network threads all end (the
// workers after waiting a while for another call).
const LIBRARY_THREADS = 2;
const MiB = 1024 * 1024;
// Under a sanitizer runtime (shadow memory, redzones, a quarantine of freed
// blocks) the whole process grows more, so scripts/sanitize.sh sets a wider
// bound.
const MAX_RSS_GROWTH = Number(process.env.RISK_LOAD_RSS_BOUND_MIB || 20) * MiB;

let svc;
before(async () => {
  svc = await startService({ port: 0 });
});
after(async () => {
  await svc.close();
});

function clean(run) {
  e2e.assertClean(assert, run);
  assert.strictEqual(run.signal, null);
}

function step(run, op) {
  const s = run.steps.find((x) => x.op === op);
  assert.ok(s, `no ${op} step`);
  return s;
}

async function load(tag, config) {
  const prefsDir = e2e.tempDir(tag);
  try {
    const from = svc.requests.length;
    const run = await runScript('load-host.js', {
      prefsDir, serviceUrl: svc.url, libraryThreads: LIBRARY_THREADS, ...config,
    }, { timeoutMs: 60000, args: ['--expose-gc'] });
    clean(run);
    return { run, recs: svc.requests.slice(from) };
  } finally {
    fs.rmSync(prefsDir, { recursive: true, force: true });
  }
}

function assertThreads(run) {
  const t = step(run, 'threads');
  console.log(`threads: ${t.baseline} before setup, ${t.now} at the end (at most ${t.expected})`);
  assert.ok(t.now <= t.expected, `no thread left behind: ${t.now} > ${t.expected}`);
}

test('1,000 concurrent calls for one key: one exchange, every promise resolved once with its token', async () => {
  const appKey = 'load-one-key';
  const { run, recs } = await load('l1', { appKey, concurrent: 1000 });
  const s = step(run, 'concurrent');
  console.log(`1000 concurrent calls: ${s.ms} ms, ${recs.length} exchange(s), ${s.distinct.length} distinct token(s)`);
  assert.strictEqual(s.n, 1000);
  assert.deepStrictEqual(s.counts, [1], 'each promise resolved exactly once');
  assert.strictEqual(recs.length, 1, 'callers still collecting when the exchange ended take its token');
  assert.strictEqual(recs[0].error, null);
  assert.deepStrictEqual(s.distinct, [recs[0].answer.ulvok]);
  assertThreads(run);
});

test('50 keys at once: 50 exchanges, each key its own token', async () => {
  const appKey = 'load-keys';
  const { run, recs } = await load('l50', { appKey, keys: 50 });
  const s = step(run, 'keys');
  console.log(`50 keys at once: ${s.ms} ms, ${recs.length} exchanges`);
  assert.strictEqual(recs.length, 50);
  const byKey = new Map(recs.map((r) => [r.query.appKey, r.answer.ulvok]));
  assert.strictEqual(byKey.size, 50, 'one exchange per key');
  for (const [i, k] of s.keys.entries()) {
    assert.match(s.tokens[i], /^[0-9a-f]{32}$/, k);
    assert.strictEqual(s.tokens[i], byKey.get(k), k);
  }
  assert.strictEqual(new Set(s.tokens).size, 50);
  assertThreads(run);
});

test('20,000 calls: resident memory stays bounded and no thread is left behind', async () => {
  const appKey = 'load-loop';
  const { run, recs } = await load('lloop', { appKey, warmup: 3000, loop: 20000, batch: 50 });
  const s = step(run, 'loop');
  const growth = s.rssEnd - s.rssStart;
  console.log(`20000 calls: warm-up 3000 in ${s.warmupMs} ms, loop in ${s.loopMs} ms (${(s.loopMs * 1000 / 20000).toFixed(0)} us/call); `
    + `RSS ${(s.rssStart / MiB).toFixed(1)} MiB -> ${(s.rssEnd / MiB).toFixed(1)} MiB (${(growth / MiB).toFixed(2)} MiB); `
    + `threads mid-run ${s.threadsMid}; ${recs.length} exchange(s)`);
  assert.strictEqual(recs.length, 1, 'the memory token answers every later call');
  assert.strictEqual(s.distinct, 1);
  assert.strictEqual(s.last, recs[0].answer.ulvok);
  assert.ok(growth < MAX_RSS_GROWTH, `RSS grew by ${growth} bytes`);
  assertThreads(run);
});
