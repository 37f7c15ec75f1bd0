// @ts-check
'use strict';
// Shared helpers of the Node measurements: where the build is, percentiles,
// a microsecond clock, and the one JSON line each measurement prints.
//
// Every script of bench/node/ prints exactly one JSON object on stdout:
//   { "suite": name, "figures": [ { "id", "label", "value", "unit", ... } ] }
// bench/report.js merges them. Progress goes to stderr.
const path = require('node:path');
const { performance } = require('node:perf_hooks');

const ROOT = path.join(__dirname, '..', '..');
const BUILD = process.env.RISK_BUILD_DIR || path.join(ROOT, 'build-release');
// The library the natives are measured on: BENCH_LIBRARY (scripts/bench.sh
// names the x86_64 binary the package ships), else the build's own.
const LIBRARY = process.env.BENCH_LIBRARY || path.join(BUILD, 'libQuonRiskComm.so');

function nowUs() {
  return performance.now() * 1000;
}

// The q-quantile (0..1) of numbers, by the nearest-rank method.
function quantile(values, q) {
  if (values.length === 0) return NaN;
  const sorted = Float64Array.from(values).sort();
  const rank = Math.min(sorted.length - 1, Math.max(0, Math.ceil(q * sorted.length) - 1));
  return sorted[rank];
}

function summary(values) {
  return {
    n: values.length,
    median: quantile(values, 0.5),
    p95: quantile(values, 0.95),
    max: quantile(values, 1),
  };
}

function loadAddon(file) {
  const mod = { exports: {} };
  process.dlopen(mod, file);
  return mod.exports;
}

function progress(text) {
  process.stderr.write(`   ${text}\n`);
}

function emit(suite, figures, extra) {
  process.stdout.write(JSON.stringify({ suite, figures, ...(extra || {}) }) + '\n');
}

// Yields to the event loop until every queued callback has run.
function settle() {
  return new Promise((resolve) => setImmediate(resolve));
}


// Resource types of async callbacks, recorded from the moment
// trackAsyncTypes() is called. Call it before the library creates its
// thread-safe function (setup), so that its callbacks are known by type;
// the hook slows promises a little, so latency figures are taken in
// processes that do not call it.
const asyncTypes = new Map();
let typeHook = null;
function trackAsyncTypes() {
  if (typeHook) return;
  typeHook = require('node:async_hooks').createHook({
    init(id, type) {
      asyncTypes.set(id, type);
    },
    destroy(id) {
      asyncTypes.delete(id);
    },
  });
  typeHook.enable();
}

const LOOP_RESOLUTION_MS = 1;

// The script thread's CPU clock in µs (bench_addon's threadCpuUs): a task's
// own cost, which other processes on a shared machine do not inflate as
// they inflate its wall time. NaN without the addon.
let cpuClock = null;
function threadCpuClock() {
  if (!cpuClock) {
    try {
      cpuClock = loadAddon(path.join(BUILD, 'bench', 'bench_addon.so')).threadCpuUs;
    } catch (e) {
      cpuClock = () => NaN;
    }
  }
  return cpuClock;
}

// Runs fn() (async) while watching the script thread: the event-loop delay
// histogram of perf_hooks (resolution 1 ms) and, through async_hooks, the
// duration of every callback the loop ran, by resource type (the library's
// blocking calls arrive as callbacks of its thread-safe function, type
// "n2j", and of its later turns of the loop, type "n2j-later", when
// trackAsyncTypes() ran before setup). fn gets splitHere(), which it may
// call once to have what follows watched on its own as well. Returns
// { result, loopDelayMaxMs, loopDelayAfterMs, tasks, gcs } where tasks
// maps a type to { count, maxUs, totalUs, durations, longest }: longest is
// the callback with the most CPU time on the script thread (wall time
// without bench_addon), as { cpuUs, wallUs, atMs }; gcs are the engine's
// collections while tasks were timed, as { atMs, ms }. A delay is the
// longest turn of the histogram's 1 ms timer less that 1 ms. The hook slows
// every promise, so with { timeTasks: false } only the delays are taken
// (tasks stays empty).
async function watchScriptThread(fn, { timeTasks = true } = {}) {
  const { monitorEventLoopDelay, PerformanceObserver } = require('node:perf_hooks');
  const started = new Map();
  const tasks = {};
  const cpu = threadCpuClock();
  const hook = require('node:async_hooks').createHook({
    before(id) {
      started.set(id, [performance.now(), cpu()]);
    },
    after(id) {
      const t0 = started.get(id);
      if (t0 === undefined) return;
      started.delete(id);
      const us = (performance.now() - t0[0]) * 1000;
      const cpuUs = cpu() - t0[1];
      const type = asyncTypes.get(id) || 'unknown';
      const t = tasks[type] || (tasks[type] = { count: 0, maxUs: 0, totalUs: 0, durations: [], longest: null });
      t.count += 1;
      t.totalUs += us;
      if (us > t.maxUs) t.maxUs = us;
      t.durations.push(us);
      // The longest by CPU time where the clock is there, else by wall time.
      const key = Number.isNaN(cpuUs) ? us : cpuUs;
      if (!t.longest || key > t.longest.key) t.longest = { key, cpuUs, wallUs: us, atMs: t0[0] };
    },
  });
  const histogram = monitorEventLoopDelay({ resolution: LOOP_RESOLUTION_MS });
  histogram.enable();
  // The histogram records the time between two of its timer's turns; the
  // first turn only starts the clock, so it must come before the work.
  await new Promise((resolve) => setTimeout(resolve, 5 * LOOP_RESOLUTION_MS));
  // The engine's collections meanwhile, to tell them apart from a task's
  // own work.
  const gcs = [];
  const gcObserver = new PerformanceObserver((list) => gcs.push(...list.getEntries()));
  if (timeTasks) {
    hook.enable();
    gcObserver.observe({ entryTypes: ['gc'] });
  }
  // fn may call splitHere() once: a second histogram then watches only what
  // follows (loopDelayAfterMs).
  let later = null;
  const splitHere = () => {
    later = monitorEventLoopDelay({ resolution: LOOP_RESOLUTION_MS });
    later.enable();
  };
  let result;
  try {
    result = await fn(splitHere);
    // Let the histogram's timer fire at least once after the work.
    await new Promise((resolve) => setTimeout(resolve, 5));
  } finally {
    hook.disable();
    gcs.push(...gcObserver.takeRecords());
    gcObserver.disconnect();
    histogram.disable();
    if (later) later.disable();
  }
  // The longest turn less the interval the timer asked for: how long the
  // loop was held beyond it.
  const delay = (ns) => Math.max(0, ns / 1e6 - LOOP_RESOLUTION_MS);
  return {
    result,
    loopDelayMaxMs: delay(histogram.max),
    loopDelayAfterMs: later ? delay(later.max) : undefined,
    tasks,
    gcs: gcs.map((g) => ({ atMs: g.startTime, ms: g.duration })),
  };
}

// The library's own tasks on the script thread: the callbacks of its
// thread-safe function and of its later turns of the loop. None of them
// may hold the thread for longer than TASK_BUDGET_US.
const LIBRARY_TASK_TYPES = ['n2j', 'n2j-later'];
const TASK_BUDGET_US = 2000;

// The longest library task of one or more watchScriptThread results, by
// its CPU time on the script thread: { cpuUs, wallUs, count, bridge, gcUs },
// where bridge maps each bridge function that ran inside it to its time
// there (from calls: { name, atMs, syncUs } records of the bridge's
// functions, as the scenarios' instrumented bridges keep them), gcUs is the
// time of the engine's collections inside it, and count is the number of
// library tasks watched. A task's CPU time is its own cost; its wall time
// also holds whatever other processes of a shared machine took meanwhile.
function longestLibraryTask(watches, calls = []) {
  let best = null;
  let gcs = [];
  let count = 0;
  for (const w of Array.isArray(watches) ? watches : [watches]) {
    for (const type of LIBRARY_TASK_TYPES) {
      const t = w.tasks[type];
      if (!t) continue;
      count += t.count;
      if (t.longest && (!best || t.longest.key > best.key)) {
        best = t.longest;
        gcs = w.gcs || [];
      }
    }
  }
  if (!best) return { cpuUs: NaN, wallUs: NaN, count, bridge: {}, gcUs: 0 };
  const to = best.atMs + best.wallUs / 1000;
  const bridge = {};
  for (const x of calls) {
    if (x.atMs >= best.atMs && x.atMs <= to) bridge[x.name] = (bridge[x.name] || 0) + x.syncUs;
  }
  let gcUs = 0;
  for (const g of gcs) gcUs += Math.max(0, Math.min(to, g.atMs + g.ms) - Math.max(best.atMs, g.atMs)) * 1000;
  return { cpuUs: best.cpuUs, wallUs: best.wallUs, count, bridge, gcUs };
}

// The longest of several longestLibraryTask results, with the count of
// them all.
function longestOfTasks(list) {
  const best = list.reduce((a, x) => (a.cpuUs >= x.cpuUs ? a : x));
  return { ...best, count: list.reduce((n, x) => n + x.count, 0) };
}

// The figure of a scenario's longest library task: its CPU time, or its
// wall time where the CPU clock is missing.
function libraryTaskFigure(id, scenario, longest) {
  const cpu = !Number.isNaN(longest.cpuUs);
  return {
    id, label: `${scenario}: longest library task on the script thread (${cpu ? 'CPU' : 'wall'} time)`,
    value: cpu ? longest.cpuUs : longest.wallUs, unit: 'us', wallUs: longest.wallUs, bridge: longest.bridge, gcUs: longest.gcUs, n: longest.count,
  };
}


// Files that do not exist, statted around a measured call so that a
// system-call trace of the process can cut out the call's window.
const MARK_START = '/nonexistent-bench-mark-start';
const MARK_END = '/nonexistent-bench-mark-end';

function mark(file) {
  try {
    require('node:fs').statSync(file);
  } catch (e) {
    // Missing on purpose: only the system call matters.
  }
}

module.exports = {
  ROOT, BUILD, LIBRARY, nowUs, quantile, summary, loadAddon, progress, emit, settle, trackAsyncTypes, watchScriptThread,
  TASK_BUDGET_US, longestLibraryTask, longestOfTasks, libraryTaskFigure, MARK_START, MARK_END, mark,
};
