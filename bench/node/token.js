// @ts-check
'use strict';
// The promise natives measured from the script, through the library's Node
// package (js/index.js) and its reference bridge (js/lib/reference-bridge.js), against
// the reference service at --url (bench/node/run.js starts it). One mode per
// process:
//
//   node token.js cold --url U [--prewarm] [--marks] [--tasks]
//                                     one cold getTokenNative: the first call
//                                     of a process with an empty preference
//                                     store (collection, sealing, loopback
//                                     exchange); every bridge call timed.
//                                     --prewarm first uses what the reference
//                                     bridge loads lazily (fetch, Intl), as an
//                                     app that already ran would have;
//                                     --marks stats two missing files around
//                                     the call so that a system-call trace
//                                     can cut out its window; --tasks times
//                                     every script-thread callback meanwhile
//                                     (a process of its own: the hook slows
//                                     promises)
//   node token.js startup --url U [--tasks]
//                                     the first getTokenNative of an app's
//                                     start: nothing warmed before setup,
//                                     preferences on disk, the call made
//                                     STARTUP_SETTLE_MS after setup; the
//                                     script thread watched meanwhile
//                                     (event-loop delay; with --tasks also
//                                     every callback timed by async_hooks,
//                                     which slows promises: a process of
//                                     its own)
//   node token.js warm --url U        warm getTokenNative (usable token in
//                                     memory), getDegradeTokenNative and
//                                     getBusinessSignNative, interleaved with
//                                     the floor (bench_addon prefsOnThread:
//                                     a thread, the same two blocking
//                                     prefGet calls through a reference
//                                     bridge of its own, a resolution),
//                                     and getTokenNative forced to exchange
//                                     (collection, sealing and the loopback
//                                     exchange in a process already warm)
//   node token.js warm --url U --tasks the same calls, fewer of them, with
//                                     every script-thread callback timed
//   node token.js concurrent --url U  100 getTokenNative at once: the largest
//                                     event-loop delay and the longest task
//                                     of the library on the script thread
//   node --expose-gc token.js memory --url U [--floor]
//                                     resident memory over BENCH_MEMORY_CALLS
//                                     getTokenNative calls, after
//                                     BENCH_MEMORY_WARM_UP calls of warm-up
//                                     (the allocator's arenas and V8's heap
//                                     take several thousand calls to settle);
//                                     --floor: the same loop over the floor
//                                     (bench_addon prefsOnThread); --tasks:
//                                     the warm-up's calls alone, with every
//                                     script-thread callback timed
//
// Every mode reports the longest task of the library on the script thread
// (common.js longestLibraryTask), from its --tasks process where the mode
// has one, beside the budget of 2 ms.
//
// Each prints one JSON line (bench/node/common.js); progress on stderr.
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { performance, PerformanceObserver } = require('node:perf_hooks');
const c = require('./common');

const APP_KEY = '3f9a1c2e7b4d4e8f9a0b1c2d3e4f5a6b';
// The stored token and its exchange time, read by every getTokenNative.
const STORED_TOKEN_PROPERTIES = ['07d93b6c2ea148f5b9c60e7d3a2f814c', 'b82e4d1f09c6a73e55d8f2b1c04e9a67'];
const APP_INFO = { name: 'com.example.shop', versionCode: 5012000, versionName: '5.12.0' };
const WARM_CALLS = Number(process.env.BENCH_WARM_CALLS || 2000);
const DEGRADE_CALLS = Number(process.env.BENCH_DEGRADE_CALLS || 200);
const SIGN_CALLS = Number(process.env.BENCH_SIGN_CALLS || 2000);
const REFRESH_CALLS = Number(process.env.BENCH_REFRESH_CALLS || 40);
const MEMORY_CALLS = Number(process.env.BENCH_MEMORY_CALLS || 160000);
const MEMORY_WARM_UP = Number(process.env.BENCH_MEMORY_WARM_UP || 10000);
// An app asks for its token shortly after setting the library up.
const STARTUP_SETTLE_MS = 300;
const CONCURRENT = 100;
const PREWARM_SETTLE_MS = 300;
const CONCURRENT_ROUNDS = 5;

function argument(name) {
  const i = process.argv.indexOf(name);
  return i >= 0 && i + 1 < process.argv.length ? process.argv[i + 1] : undefined;
}

// The package, bound to the measured library (common.js LIBRARY).
function risk() {
  const r = require(path.join(c.ROOT, 'js', 'index.js'));
  r.load(c.LIBRARY);
  return r;
}

// Wraps every function of the bridge so that each call the library makes is
// recorded: { name, atMs (performance.now at the call), syncUs (time until
// the function returned), settledUs (for a promise: until it settled) }.
function instrument(bridge, calls) {
  for (const name of Object.keys(bridge)) {
    const fn = bridge[name];
    if (typeof fn !== 'function' || name === 'deviceInfo') continue;
    bridge[name] = function (...args) {
      const t0 = performance.now();
      const result = fn.apply(this, args);
      const record = { name, atMs: t0, syncUs: (performance.now() - t0) * 1000 };
      calls.push(record);
      if (result && typeof result.then === 'function') {
        const settled = () => {
          record.settledUs = (performance.now() - t0) * 1000;
        };
        result.then(settled, settled);
      }
      return result;
    };
  }
  return bridge;
}

// A process's SDK: a fresh preference store, the reference bridge with every
// call recorded, setup and init with the service address.
function startSdk(url, calls) {
  const r = risk();
  const prefsDir = fs.mkdtempSync(path.join(process.env.BENCH_PREFS_DIR || os.tmpdir(), 'prefs-'));
  // The first bridge of the process warms its paths up, as an app does.
  const bridgeOf = () => {
    const b = r.createBridge({
      prefsDir,
      appSignature: '2f4e6a8c0b1d3f5e7a9c1b3d5f7e9a0c',
      oaid: '6f1e2d3c-4b5a-4968-8776-a5b4c3d2e1f0',
    });
    b.warmUp();
    return b;
  };
  const bridge = instrument(bridgeOf(), calls);
  const t0 = performance.now();
  const handle = r.setup(bridge, APP_INFO, bridge.deviceInfo());
  const setupUs = (performance.now() - t0) * 1000;
  if (!handle) throw new Error('setupNative returned 0');
  r.init(handle, APP_KEY, { KEY_URL: url });
  process.on('exit', () => fs.rmSync(prefsDir, { recursive: true, force: true }));
  return { r, handle, bridge, bridgeOf, setupUs };
}

// The floor under a warm getTokenNative: bench_addon's prefsOnThread over a
// reference bridge of its own on the same preference store (recorded into
// calls, as the library's is), reading the two preferences the warm call
// reads. Returns the call to time.
function floorCall(bridgeOf, calls) {
  const addon = c.loadAddon(path.join(c.BUILD, 'bench', 'bench_addon.so'));
  const bridge = instrument(bridgeOf(), calls);
  if (addon.init(bridge) !== 0) throw new Error('bench addon: init_bridge failed');
  const [text, time] = STORED_TOKEN_PROPERTIES.map((name) => `${APP_KEY}:${name}`);
  return () => addon.prefsOnThread(text, time);
}

function checkToken(r, handle, token, what) {
  if (typeof token !== 'string' || r.isDegradeToken(handle, APP_KEY, token)) {
    throw new Error(`${what}: no token from the service (got ${JSON.stringify(String(token).slice(0, 60))})`);
  }
}

// One getTokenNative timed from the script: when it was made (performance
// clock, ms), the native call itself and the whole call until the token
// (µs).
async function timedToken(r, handle, what) {
  const t0 = performance.now();
  const promise = r.getToken(handle, APP_KEY, {});
  const nativeUs = (performance.now() - t0) * 1000;
  const token = await promise;
  const totalUs = (performance.now() - t0) * 1000;
  checkToken(r, handle, token, what);
  return { t0, nativeUs, totalUs };
}

// ---------------------------------------------------------------------------

async function cold(url) {
  const tasks = process.argv.includes('--tasks');
  if (tasks) c.trackAsyncTypes();
  const calls = [];
  const { r, handle, bridge, setupUs } = startSdk(url, calls);
  if (process.argv.includes('--prewarm')) {
    bridge.getTimeInfo();
    await (await fetch(`${url}/__admin/mode`)).arrayBuffer();
    // Let the engine's background compilation of what just ran settle, as
    // it has in an app that has been running for a while.
    await new Promise((resolve) => setTimeout(resolve, PREWARM_SETTLE_MS));
  }
  const marks = process.argv.includes('--marks');
  calls.length = 0;
  if (marks) c.mark(c.MARK_START);
  let timing;
  const call = async () => { timing = await timedToken(r, handle, 'cold getTokenNative'); };
  // The latency samples run the call unwatched.
  const watched = tasks ? await c.watchScriptThread(call) : await call();
  if (marks) c.mark(c.MARK_END);
  const { t0, nativeUs, totalUs } = timing;
  c.emit('cold-sample', [], {
    totalUs,
    nativeUs,
    setupUs,
    libTask: tasks ? c.longestLibraryTask(watched, calls) : undefined,
    calls: calls.map((x) => ({ ...x, atUs: (x.atMs - t0) * 1000, atMs: undefined })),
  });
}

// The first token of an app's start. Only the library and the reference
// bridge are loaded before setup; the time between setup and the call is
// the app's own, and the bridge may use it.
async function startup(url) {
  const tasks = process.argv.includes('--tasks');
  if (tasks) c.trackAsyncTypes();
  const calls = [];
  const { r, handle, setupUs } = startSdk(url, calls);
  await new Promise((resolve) => setTimeout(resolve, STARTUP_SETTLE_MS));
  calls.length = 0;
  // The engine's collections during the call are the host's, not the
  // library's: recorded so that they can be told apart from its own share.
  const gcs = [];
  const gcObserver = new PerformanceObserver((list) => gcs.push(...list.getEntries()));
  gcObserver.observe({ entryTypes: ['gc'] });
  let timing;
  const watched = await c.watchScriptThread(async () => {
    timing = await timedToken(r, handle, 'startup getTokenNative');
  }, { timeTasks: tasks });
  const { t0, nativeUs, totalUs } = timing;
  gcs.push(...gcObserver.takeRecords());
  gcObserver.disconnect();
  let taskMax = { type: '', us: 0 };
  for (const [type, t] of Object.entries(watched.tasks)) {
    if (t.maxUs > taskMax.us) taskMax = { type, us: t.maxUs };
  }
  c.emit('startup-sample', [], {
    totalUs,
    nativeUs,
    setupUs,
    libTask: tasks ? c.longestLibraryTask(watched, calls) : undefined,
    loopDelayMaxMs: watched.loopDelayMaxMs,
    taskMaxUs: tasks ? taskMax.us : undefined,
    taskMaxType: tasks ? taskMax.type : undefined,
    calls: calls.map((x) => ({ ...x, atUs: (x.atMs - t0) * 1000, atMs: undefined })),
    gcs: gcs.map((g) => ({ atUs: (g.startTime - t0) * 1000, us: g.duration * 1000 }))
      .filter((g) => g.atUs + g.us > 0 && g.atUs < totalUs),
  });
}

async function timed(n, fn) {
  const out = [];
  for (let i = 0; i < n; i++) {
    const t0 = c.nowUs();
    await fn();
    out.push(c.nowUs() - t0);
  }
  return out;
}

async function warm(url) {
  const calls = [];
  const { r, handle, bridgeOf } = startSdk(url, calls);
  const floorCalls = [];
  const floorOnce = floorCall(bridgeOf, floorCalls);
  checkToken(r, handle, await r.getToken(handle, APP_KEY, {}), 'first getTokenNative');

  c.progress(`warm getTokenNative beside the floor, ${WARM_CALLS} each`);
  await timed(200, () => r.getToken(handle, APP_KEY, {}));
  await timed(200, floorOnce);
  calls.length = 0;
  floorCalls.length = 0;
  const floor = [];
  const tokens = [];
  for (let i = 0; i < WARM_CALLS; i++) {
    floor.push(...await timed(1, floorOnce));
    tokens.push(...await timed(1, () => r.getToken(handle, APP_KEY, {})));
  }
  const warmCalls = summarizeCalls(calls, WARM_CALLS);
  const floorBridgeCalls = summarizeCalls(floorCalls, WARM_CALLS);

  c.progress(`getBusinessSignNative, ${SIGN_CALLS}`);
  await timed(100, () => r.getBusinessSign(handle, APP_KEY, {}, 'order=1'));
  const signs = await timed(SIGN_CALLS, () => r.getBusinessSign(handle, APP_KEY, { orderId: '42' }, 'amount=12.50'));

  c.progress(`getDegradeTokenNative, ${DEGRADE_CALLS}`);
  await timed(20, () => r.getDegradeToken(handle, APP_KEY, {}));
  calls.length = 0;
  const degrades = await timed(DEGRADE_CALLS, () => r.getDegradeToken(handle, APP_KEY, {}));
  const degradeCalls = summarizeCalls(calls, DEGRADE_CALLS);

  c.progress(`getTokenNative with an exchange (PRIVATE_CLEAR_TOKEN), ${REFRESH_CALLS}`);
  const clear = { PRIVATE_CLEAR_TOKEN: 'clear' };
  for (let i = 0; i < 3; i++) checkToken(r, handle, await r.getToken(handle, APP_KEY, clear), 'refresh');
  calls.length = 0;
  const refreshes = [];
  for (let i = 0; i < REFRESH_CALLS; i++) {
    const t0 = c.nowUs();
    const token = await r.getToken(handle, APP_KEY, clear);
    refreshes.push(c.nowUs() - t0);
    checkToken(r, handle, token, 'refresh');
  }
  const refreshCalls = summarizeCalls(calls, REFRESH_CALLS);
  const posts = calls.filter((x) => x.name === 'post').map((x) => x.settledUs);

  const f = c.summary(floor);
  const w = c.summary(tokens);
  const s = c.summary(signs);
  const d = c.summary(degrades);
  c.emit('warm', [
    { id: 'warm.floor.median', label: 'floor beside it: a native thread, two blocking prefGet, a resolution; median', value: f.median, unit: 'us', n: f.n, detail: floorBridgeCalls.byName, medianUs: floorBridgeCalls.medianUs },
    { id: 'warm.floor.p95', label: 'floor beside it: p95', value: f.p95, unit: 'us', n: f.n },
    { id: 'warm.token.median', label: 'warm getTokenNative: median', value: w.median, unit: 'us', n: w.n },
    { id: 'warm.token.p95', label: 'warm getTokenNative: p95', value: w.p95, unit: 'us', n: w.n },
    { id: 'warm.token.bridgeCalls', label: 'warm getTokenNative: bridge calls per call', value: warmCalls.perCall, unit: '', detail: warmCalls.byName, medianUs: warmCalls.medianUs },
    { id: 'warm.sign.median', label: 'getBusinessSignNative: median', value: s.median, unit: 'us', n: s.n },
    { id: 'warm.sign.p95', label: 'getBusinessSignNative: p95', value: s.p95, unit: 'us', n: s.n },
    { id: 'warm.degrade.median', label: 'getDegradeTokenNative: median', value: d.median, unit: 'us', n: d.n },
    { id: 'warm.degrade.p95', label: 'getDegradeTokenNative: p95', value: d.p95, unit: 'us', n: d.n },
    { id: 'warm.refresh.median', label: 'getTokenNative with an exchange in a warm process: median', value: c.quantile(refreshes, 0.5), unit: 'us', n: refreshes.length },
    { id: 'warm.refresh.p95', label: 'getTokenNative with an exchange in a warm process: p95', value: c.quantile(refreshes, 0.95), unit: 'us' },
    { id: 'warm.refresh.post', label: 'its exchange: post until its promise settled, median', value: c.quantile(posts, 0.5), unit: 'us' },
    { id: 'warm.refresh.bridgeCalls', label: 'getTokenNative with an exchange: bridge calls per call', value: refreshCalls.perCall, unit: '', detail: refreshCalls.byName, medianUs: refreshCalls.medianUs },
    { id: 'warm.degrade.bridgeCalls', label: 'getDegradeTokenNative: bridge calls per call', value: degradeCalls.perCall, unit: '', detail: degradeCalls.byName },
  ]);
}

// The calls of warm(), fewer of each, with every script-thread callback
// timed (the hook slows promises: a process of its own).
async function warmTasks(url) {
  c.trackAsyncTypes();
  const calls = [];
  const { r, handle } = startSdk(url, calls);
  checkToken(r, handle, await r.getToken(handle, APP_KEY, {}), 'first getTokenNative');
  const n = (count) => Math.max(10, Math.round(count / 10));
  const clear = { PRIVATE_CLEAR_TOKEN: 'clear' };
  calls.length = 0;
  c.progress('warm getTokenNative, getBusinessSignNative, getDegradeTokenNative and refreshes, every script-thread task timed');
  const watched = await c.watchScriptThread(async () => {
    await timed(n(WARM_CALLS), () => r.getToken(handle, APP_KEY, {}));
    await timed(n(SIGN_CALLS), () => r.getBusinessSign(handle, APP_KEY, { orderId: '42' }, 'amount=12.50'));
    await timed(n(DEGRADE_CALLS), () => r.getDegradeToken(handle, APP_KEY, {}));
    await timed(n(REFRESH_CALLS), () => r.getToken(handle, APP_KEY, clear));
  });
  c.emit('warm-tasks', [
    c.libraryTaskFigure('warm.libTask', 'warm calls one at a time (token, sign, degrade, refresh)', c.longestLibraryTask(watched, calls)),
  ]);
}

// Bridge calls per native call, in all and by function, and the median time
// each function held the script thread.
function summarizeCalls(calls, n) {
  const byName = {};
  const times = {};
  for (const x of calls) {
    byName[x.name] = (byName[x.name] || 0) + 1;
    (times[x.name] || (times[x.name] = [])).push(x.syncUs);
  }
  const medianUs = {};
  for (const k of Object.keys(byName)) {
    byName[k] /= n;
    medianUs[k] = c.quantile(times[k], 0.5);
  }
  return { perCall: calls.length / n, byName, medianUs };
}

// ---------------------------------------------------------------------------

async function concurrentRound(r, handle, calls, timeTasks) {
  calls.length = 0;
  const nativeUs = [];
  const watched = await c.watchScriptThread(async (splitHere) => {
    const pending = [];
    for (let i = 0; i < CONCURRENT; i++) {
      const t0 = c.nowUs();
      pending.push(r.getToken(handle, APP_KEY, {}));
      nativeUs.push(c.nowUs() - t0);
    }
    splitHere();
    const tokens = await Promise.all(pending);
    for (const t of tokens) checkToken(r, handle, t, 'concurrent getTokenNative');
  }, { timeTasks });
  const n2j = watched.tasks.n2j || { count: 0, maxUs: NaN, durations: [] };
  const bridgeMax = {};
  for (const x of calls) bridgeMax[x.name] = Math.max(bridgeMax[x.name] || 0, x.syncUs);
  return {
    loopDelayMaxMs: watched.loopDelayMaxMs,
    loopDelayAfterIssueMs: watched.loopDelayAfterMs,
    taskMaxUs: n2j.maxUs,
    tasks: n2j.count,
    taskP95Us: c.quantile(n2j.durations, 0.95),
    nativeMaxUs: Math.max(...nativeUs),
    nativeMedianUs: c.quantile(nativeUs, 0.5),
    issueUs: nativeUs.reduce((a, b) => a + b, 0),
    bridgeMax,
    libTask: timeTasks ? c.longestLibraryTask(watched, calls) : undefined,
  };
}

async function concurrent(url) {
  c.trackAsyncTypes();
  const calls = [];
  const { r, handle } = startSdk(url, calls);
  c.progress(`${CONCURRENT} getTokenNative at once: first calls of the process`);
  const first = await concurrentRound(r, handle, calls, true);
  for (let i = 0; i < 50; i++) await r.getToken(handle, APP_KEY, {});
  // Delays come from rounds without the async hook (it slows every
  // promise), task times from rounds of their own with it.
  const rounds = [];
  const hooked = [];
  for (let i = 0; i < CONCURRENT_ROUNDS; i++) {
    c.progress(`${CONCURRENT} warm getTokenNative at once: round ${i + 1} of ${CONCURRENT_ROUNDS}`);
    await new Promise((resolve) => setTimeout(resolve, 20));
    rounds.push(await concurrentRound(r, handle, calls, false));
    await new Promise((resolve) => setTimeout(resolve, 20));
    hooked.push(await concurrentRound(r, handle, calls, true));
  }
  const pick = (key) => (/^task/.test(key) ? hooked : rounds).map((x) => x[key]);
  const warmTask = c.longestOfTasks(hooked.map((x) => x.libTask));
  const med = (key) => c.quantile(pick(key), 0.5);
  const max = (key) => Math.max(...pick(key));
  c.emit('concurrent', [
    { id: 'conc.warm.loopDelayMax', label: `${CONCURRENT} warm calls at once: largest event-loop delay (median of ${CONCURRENT_ROUNDS} rounds)`, value: med('loopDelayMaxMs'), unit: 'ms', worst: max('loopDelayMaxMs') },
    { id: 'conc.warm.loopDelayAfterIssue', label: `${CONCURRENT} warm calls at once: largest event-loop delay once all were issued`, value: med('loopDelayAfterIssueMs'), unit: 'ms', worst: max('loopDelayAfterIssueMs') },
    { id: 'conc.warm.issue', label: `${CONCURRENT} warm calls at once: time to issue them (script thread)`, value: med('issueUs'), unit: 'us', worst: max('issueUs') },
    { id: 'conc.warm.nativeMax', label: `${CONCURRENT} warm calls at once: longest getTokenNative call itself`, value: med('nativeMaxUs'), unit: 'us', worst: max('nativeMaxUs'), median: med('nativeMedianUs') },
    { id: 'conc.warm.taskMax', label: `${CONCURRENT} warm calls at once: longest blocking-call task`, value: med('taskMaxUs'), unit: 'us', worst: max('taskMaxUs'), p95: med('taskP95Us'), n: hooked[0].tasks },
    { id: 'conc.cold.loopDelayMax', label: `${CONCURRENT} first calls at once (one exchange): largest event-loop delay`, value: first.loopDelayMaxMs, unit: 'ms', afterIssue: first.loopDelayAfterIssueMs },
    { id: 'conc.cold.taskMax', label: `${CONCURRENT} first calls at once: longest blocking-call task`, value: first.taskMaxUs, unit: 'us', n: first.tasks, bridgeMax: first.bridgeMax },
    c.libraryTaskFigure('conc.warm.libTask', `${CONCURRENT} warm calls at once, ${CONCURRENT_ROUNDS} rounds`, warmTask),
    c.libraryTaskFigure('conc.cold.libTask', `${CONCURRENT} first calls at once`, first.libTask),
  ], { rounds, hooked, first });
}

// ---------------------------------------------------------------------------

// Resident memory and the part of it outside the JS heap (the library, the
// C++ heap, thread stacks), in KiB.
function memoryKiB() {
  const m = process.memoryUsage();
  return { rss: m.rss / 1024, outsideHeap: (m.rss - m.heapTotal) / 1024 };
}

// Runs n calls of call(), ten at a time, as the memory loop does.
function batchesOfTen(call) {
  return async (n) => {
    for (let i = 0; i < n; i += 10) {
      const pending = [];
      for (let j = 0; j < 10; j++) pending.push(call());
      await Promise.all(pending);
    }
  };
}

async function memory(url) {
  if (typeof global.gc !== 'function') throw new Error('run with --expose-gc');
  const calls = [];
  const { r, handle, bridgeOf } = startSdk(url, calls);
  const floor = process.argv.includes('--floor');
  const what = floor ? 'floor' : 'getTokenNative';
  const prefix = floor ? 'mem.floor' : 'mem';
  let call = () => r.getToken(handle, APP_KEY, {});
  if (floor) call = floorCall(bridgeOf, calls);
  const batch = batchesOfTen(call);
  checkToken(r, handle, await r.getToken(handle, APP_KEY, {}), 'first getTokenNative');
  const samples = [];
  const sample = async () => {
    calls.length = 0;  // the recorder itself must not grow
    global.gc();
    await c.settle();
    global.gc();
    const m = memoryKiB();
    samples.push(m);
    return m;
  };
  for (let done = 0; done < MEMORY_WARM_UP; done += 1000) {
    if (done % 10000 === 0) c.progress(`memory (${what}): warm-up, ${done} of ${MEMORY_WARM_UP} calls`);
    await batch(1000);
    await sample();
  }
  const before = samples[samples.length - 1];
  for (let done = 0; done < MEMORY_CALLS; done += 1000) {
    if (done % 10000 === 0) c.progress(`memory (${what}): ${done} of ${MEMORY_CALLS} calls`);
    await batch(1000);
    await sample();
  }
  const after = samples[samples.length - 1];
  c.emit(floor ? 'memory-floor' : 'memory', [
    { id: `${prefix}.rss.before`, label: `resident memory after ${MEMORY_WARM_UP} warm-up calls (${what})`, value: before.rss, unit: 'KiB' },
    { id: `${prefix}.rss.after`, label: `resident memory after ${MEMORY_CALLS} more ${what} calls`, value: after.rss, unit: 'KiB' },
    { id: `${prefix}.rss.growth`, label: `growth over ${MEMORY_CALLS} calls (${what})`, value: after.rss - before.rss, unit: 'KiB', calls: MEMORY_CALLS, samples: samples.map((x) => Math.round(x.rss)) },
    { id: `${prefix}.outside.growth`, label: `growth outside the JS heap over ${MEMORY_CALLS} calls (${what})`, value: after.outsideHeap - before.outsideHeap, unit: 'KiB', samples: samples.map((x) => Math.round(x.outsideHeap)) },
  ]);
}

// The memory loop's first calls, with every script-thread callback timed
// (the hook keeps records of its own: a process of its own).
async function memoryTasks(url) {
  c.trackAsyncTypes();
  const calls = [];
  const { r, handle } = startSdk(url, calls);
  const batch = batchesOfTen(() => r.getToken(handle, APP_KEY, {}));
  checkToken(r, handle, await r.getToken(handle, APP_KEY, {}), 'first getTokenNative');
  const count = Math.min(MEMORY_WARM_UP, 2000);
  calls.length = 0;
  c.progress(`memory loop: ${count} getTokenNative, ten at a time, every script-thread task timed`);
  const watched = await c.watchScriptThread(() => batch(count));
  c.emit('memory-tasks', [
    c.libraryTaskFigure('mem.libTask', `the memory loop (${count} calls, ten at a time)`, c.longestLibraryTask(watched, calls)),
  ]);
}

const MODES = {
  cold,
  startup,
  warm: (u) => (process.argv.includes('--tasks') ? warmTasks(u) : warm(u)),
  concurrent,
  memory: (u) => (process.argv.includes('--tasks') ? memoryTasks(u) : memory(u)),
};
const mode = process.argv[2];
const url = argument('--url');
if (!MODES[mode] || !url) {
  process.stderr.write('usage: token.js cold|startup|warm|concurrent|memory --url URL\n');
  process.exit(2);
}
MODES[mode](url).then(
  () => process.exit(0),
  (err) => {
    console.error(err);
    process.exit(1);
  });
