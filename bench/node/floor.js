'use strict';
// The floor under the promise natives, on the library's own blocking-call
// mechanism (bench/bench_addon.cc over bridge/bridge_js_native.cc):
//   - one blocking call with a no-op task from a native thread into the
//     script thread, timed on the native thread;
//   - a promise resolved by a new native thread (js_resolve_deferred), timed
//     from the script: what getTokenNative costs before its core work;
//   - with --burst (a process of its own, since it hooks every async
//     callback): the script thread while 100 such promises are pending.
const path = require('path');
const c = require('./common');

const ROUND_TRIPS = Number(process.env.BENCH_ROUND_TRIPS || 5000);
const RESOLVES = Number(process.env.BENCH_RESOLVES || 3000);
const WARM_UP = 200;

function start() {
  const addon = c.loadAddon(path.join(c.BUILD, 'bench', 'bench_addon.so'));
  const status = addon.init({});
  if (status !== 0) throw new Error(`init_bridge failed: ${status}`);
  return addon;
}

async function burst() {
  c.trackAsyncTypes();
  const addon = start();
  for (let i = 0; i < WARM_UP; i++) await addon.resolveOnThread();
  c.progress('floor: 100 promises at once');
  const watched = await c.watchScriptThread(async () => {
    const pending = [];
    for (let i = 0; i < 100; i++) pending.push(addon.resolveOnThread());
    await Promise.all(pending);
  });
  const n2j = watched.tasks.n2j || { count: 0, maxUs: NaN };
  c.emit('floor-burst', [
    { id: 'floor.burst.loopDelayMax', label: '100 such promises at once: largest event-loop delay', value: watched.loopDelayMaxMs, unit: 'ms' },
    { id: 'floor.burst.taskMax', label: '100 such promises at once: longest blocking-call task', value: n2j.maxUs, unit: 'us', n: n2j.count },
  ]);
}

async function latency() {
  const addon = start();

  c.progress(`floor: ${ROUND_TRIPS} blocking calls`);
  await addon.roundTrips(WARM_UP);
  const trips = Array.from(await addon.roundTrips(ROUND_TRIPS));

  c.progress(`floor: ${RESOLVES} promises resolved by native threads`);
  for (let i = 0; i < WARM_UP; i++) await addon.resolveOnThread();
  const resolves = [];
  for (let i = 0; i < RESOLVES; i++) {
    const t0 = c.nowUs();
    await addon.resolveOnThread();
    resolves.push(c.nowUs() - t0);
  }

  const t = c.summary(trips);
  const r = c.summary(resolves);
  c.emit('floor', [
    { id: 'floor.roundtrip.median', label: 'blocking call, no-op task: median', value: t.median, unit: 'us', n: t.n },
    { id: 'floor.roundtrip.p95', label: 'blocking call, no-op task: p95', value: t.p95, unit: 'us', n: t.n },
    { id: 'floor.worker.median', label: 'native thread resolves a promise: median', value: r.median, unit: 'us', n: r.n },
    { id: 'floor.worker.p95', label: 'native thread resolves a promise: p95', value: r.p95, unit: 'us', n: r.n },
  ]);
}

(process.argv.includes('--burst') ? burst() : latency()).catch((err) => {
  console.error(err);
  process.exit(1);
});
