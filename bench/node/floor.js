// @ts-check
'use strict';
// The floor under the promise natives, on the library's own blocking-call
// mechanism (bench/bench_addon.cc over bridge/bridge_js_native.cc):
//   - one blocking call with a no-op task from a native thread into the
//     script thread, timed on the native thread;
//   - a promise resolved by a new native thread (js_resolve_deferred), timed
//     from the script: what getTokenNative costs before its core work;
//   - with --burst (a process of its own, since it hooks every async
//     callback): the script thread while 100 such promises are pending,
//     their threads started on the script thread or by a launcher thread;
//   - with --tasks (a process of its own, for the same reason): blocking
//     calls and resolutions as above with every script-thread callback
//     timed: the longest task of the mechanism.
const path = require('node:path');
const c = require('./common');

const ROUND_TRIPS = Number(process.env.BENCH_ROUND_TRIPS || 5000);
const RESOLVES = Number(process.env.BENCH_RESOLVES || 3000);
const WARM_UP = 200;
const BURST_ROUNDS = 5;

function start() {
  const addon = c.loadAddon(path.join(c.BUILD, 'bench', 'bench_addon.so'));
  const status = addon.init({});
  if (status !== 0) throw new Error(`init_bridge failed: ${status}`);
  return addon;
}

// 100 promises at once, each resolved by a new native thread started by
// start(): the script thread's load while they are issued and while they run.
async function burstOf(addon, start, timeTasks) {
  let issueUs = 0;
  const watched = await c.watchScriptThread(async (splitHere) => {
    const pending = [];
    const t0 = c.nowUs();
    for (let i = 0; i < 100; i++) pending.push(start());
    issueUs = c.nowUs() - t0;
    splitHere();
    await Promise.all(pending);
  }, { timeTasks });
  const n2j = watched.tasks.n2j || { count: 0, maxUs: NaN };
  return { loopDelayMaxMs: watched.loopDelayMaxMs, afterMs: watched.loopDelayAfterMs, issueUs, taskMaxUs: n2j.maxUs, tasks: n2j.count, watched };
}

async function burst() {
  c.trackAsyncTypes();
  const addon = start();
  for (let i = 0; i < WARM_UP; i++) await addon.resolveOnThread();
  for (let i = 0; i < WARM_UP; i++) await addon.resolveViaLauncher();
  // Delays are taken in rounds without the async hook, task times in rounds
  // of their own with it.
  const rounds = { direct: [], launcher: [], timed: [] };
  for (let i = 0; i < BURST_ROUNDS; i++) {
    c.progress(`floor: 100 promises at once, round ${i + 1} of ${BURST_ROUNDS}`);
    await new Promise((resolve) => setTimeout(resolve, 20));
    rounds.direct.push(await burstOf(addon, () => addon.resolveOnThread(), false));
    await new Promise((resolve) => setTimeout(resolve, 20));
    rounds.launcher.push(await burstOf(addon, () => addon.resolveViaLauncher(), false));
    await new Promise((resolve) => setTimeout(resolve, 20));
    rounds.timed.push(await burstOf(addon, () => addon.resolveOnThread(), true));
  }
  const med = (list, key) => c.quantile(list.map((x) => x[key]), 0.5);
  const d = rounds.direct;
  const l = rounds.launcher;
  const longest = c.longestLibraryTask(rounds.timed.map((x) => x.watched));
  for (const list of Object.values(rounds)) for (const x of list) delete x.watched;
  c.emit('floor-burst', [
    { id: 'floor.burst.loopDelayMax', label: '100 such promises at once: largest event-loop delay', value: med(d, 'loopDelayMaxMs'), unit: 'ms' },
    { id: 'floor.burst.loopDelayAfterIssue', label: '100 such promises at once: largest event-loop delay once all were issued', value: med(d, 'afterMs'), unit: 'ms' },
    { id: 'floor.burst.issue', label: '100 such promises at once: time to issue them (script thread)', value: med(d, 'issueUs'), unit: 'us' },
    { id: 'floor.burst.taskMax', label: '100 such promises at once: longest blocking-call task', value: med(rounds.timed, 'taskMaxUs'), unit: 'us', n: rounds.timed[0].tasks },
    { id: 'floor.launcher.loopDelayMax', label: '100 at once, threads started by a launcher thread: largest event-loop delay', value: med(l, 'loopDelayMaxMs'), unit: 'ms' },
    { id: 'floor.launcher.issue', label: '100 at once, threads started by a launcher thread: time to issue them', value: med(l, 'issueUs'), unit: 'us' },
    c.libraryTaskFigure('floor.burst.libTask', 'floor, 100 promises at once', longest),
  ], { rounds });
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

async function tasks() {
  c.trackAsyncTypes();
  const addon = start();
  c.progress('floor: blocking calls and resolutions, every script-thread task timed');
  const watched = await c.watchScriptThread(async () => {
    await addon.roundTrips(ROUND_TRIPS);
    for (let i = 0; i < RESOLVES; i++) await addon.resolveOnThread();
  });
  c.emit('floor-tasks', [
    c.libraryTaskFigure('floor.libTask', 'floor, blocking calls and resolutions', c.longestLibraryTask(watched)),
  ]);
}

const mode = process.argv.includes('--burst') ? burst : process.argv.includes('--tasks') ? tasks : latency;
mode().catch((err) => {
  console.error(err);
  process.exit(1);
});
