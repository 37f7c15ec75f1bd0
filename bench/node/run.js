// @ts-check
'use strict';
// Runs every Node measurement against one reference service and prints
// their figures as one JSON object on stdout: { suites: [...] }. Each
// measurement runs in a process of its own (bench/node/floor.js,
// bench/node/token.js); the service runs here.
//
//   node bench/node/run.js          (RISK_BUILD_DIR: the build, default build-release)
//
// Environment: BENCH_COLD_SAMPLES (default 15) cold processes with the
// bridge warmed, BENCH_STARTUP_SAMPLES (default 5) app-start processes with
// nothing warmed; BENCH_QUICK=1 shrinks every count for a smoke run;
// BENCH_SUITES=startup,cold,handoffs (a comma-separated choice among floor,
// startup, cold, strace, handoffs, warm, concurrent, memory) runs only
// those.
const { spawn, spawnSync } = require('node:child_process');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const c = require('./common');
const { startService } = require(path.join(c.ROOT, 'js', 'service', 'service.js'));
const { handoffSuite } = require('./handoffs');

const QUICK = process.env.BENCH_QUICK === '1';
const COLD_SAMPLES = Number(process.env.BENCH_COLD_SAMPLES || (QUICK ? 3 : 15));
const FIRST_USE_SAMPLES = QUICK ? 1 : 3;
const STARTUP_SAMPLES = Number(process.env.BENCH_STARTUP_SAMPLES || (QUICK ? 3 : 5));
const STARTUP_TASK_SAMPLES = QUICK ? 1 : 3;
const COLD_TASK_SAMPLES = QUICK ? 1 : 3;
// Preferences on tmpfs for the budget figures: the reference bridge syncs
// every write to the disk on the script thread, which measures the disk.
const SHM = fs.existsSync('/dev/shm') ? '/dev/shm' : os.tmpdir();

const QUICK_ENV = QUICK ? {
  BENCH_ROUND_TRIPS: '500', BENCH_RESOLVES: '300', BENCH_WARM_CALLS: '200',
  BENCH_DEGRADE_CALLS: '20', BENCH_SIGN_CALLS: '200', BENCH_MEMORY_CALLS: '2000',
  BENCH_MEMORY_WARM_UP: '2000', BENCH_REFRESH_CALLS: '10',
} : {};

// Runs node with args (under the command prefix, if any); resolves to the
// JSON object of its last stdout line. Asynchronous: the service of this
// process must keep answering meanwhile.
function runNode(args, env = {}, prefix = []) {
  const command = prefix.length ? prefix[0] : process.execPath;
  const argv = prefix.length ? [...prefix.slice(1), process.execPath, ...args] : args;
  return new Promise((resolve, reject) => {
    const child = spawn(command, argv, {
      env: { ...process.env, RISK_LOG: 'off', ...QUICK_ENV, ...env },
      stdio: ['ignore', 'pipe', 'inherit'],
    });
    const chunks = [];
    child.stdout.on('data', (chunk) => chunks.push(chunk));
    child.on('error', reject);
    child.on('close', (code) => {
      if (code !== 0) {
        reject(new Error(`${args.join(' ')} failed with ${code}`));
        return;
      }
      const lines = Buffer.concat(chunks).toString('utf8').trim().split('\n');
      try {
        resolve(JSON.parse(lines[lines.length - 1]));
      } catch (e) {
        reject(new Error(`${args.join(' ')} printed no figures`));
      }
    });
  });
}

function script(name) {
  return path.join(__dirname, name);
}

// ---------------------------------------------------------------------------
// Cold samples and their breakdown.

// Splits one cold sample's timeline into phases (microseconds). Calls are
// the bridge calls in the order the library made them.
// When a recorded bridge call ended: a promise when it settled, any other
// call when it returned.
function callEnd(x) {
  return x.atUs + (x.settledUs !== undefined ? x.settledUs : x.syncUs);
}

function phases(sample) {
  const calls = sample.calls;
  const post = calls.find((x) => x.name === 'post');
  if (!post) return null;
  const postIndex = calls.indexOf(post);
  let stored = 0;
  while (stored < calls.length && calls[stored].name === 'prefGet') stored++;
  const storedEnd = stored > 0 ? callEnd(calls[stored - 1]) : 0;
  const collecting = calls.slice(stored, postIndex);
  const after = calls.slice(postIndex + 1);
  const lastEnd = after.length ? callEnd(after[after.length - 1]) : callEnd(post);
  const sync = (list) => list.reduce((a, x) => a + x.syncUs, 0);
  return {
    start: calls.length ? calls[0].atUs : NaN,
    storedReads: storedEnd - (calls.length ? calls[0].atUs : 0),
    collectSealBridge: sync(collecting),
    collectSealOwn: post.atUs - storedEnd - sync(collecting),
    exchange: post.settledUs,
    openPersistBridge: sync(after),
    openPersistOwn: lastEnd - callEnd(post) - sync(after),
    resolve: sample.totalUs - lastEnd,
    bridgeTotal: sync(calls.filter((x) => x !== post)) + post.settledUs,
    scriptCalls: calls.length + 1,  // every bridge call, and the resolution
  };
}

// The engine's collection pauses during an app-start sample that fall
// outside every bridge function (those count in the library's own share).
function gcOutsideBridge(sample) {
  const busy = sample.calls.map((x) => [x.atUs, callEnd(x)]);
  let us = 0;
  for (const g of sample.gcs) {
    let from = Math.max(g.atUs, 0);
    const to = Math.min(g.atUs + g.us, sample.totalUs);
    for (const [a, b] of busy.filter(([a, b]) => b > from && a < to).sort((x, y) => x[0] - y[0])) {
      if (a > from) us += a - from;
      from = Math.max(from, b);
    }
    if (to > from) us += to - from;
  }
  return us;
}

async function coldSuite(url) {
  const samples = [];
  for (let i = 0; i < COLD_SAMPLES; i++) {
    c.progress(`cold getTokenNative: process ${i + 1} of ${COLD_SAMPLES}`);
    samples.push(await runNode([script('token.js'), 'cold', '--url', url, '--prewarm'], { BENCH_PREFS_DIR: SHM }));
  }
  const hooked = [];
  for (let i = 0; i < COLD_TASK_SAMPLES; i++) {
    c.progress(`cold getTokenNative, every script-thread task timed: process ${i + 1} of ${COLD_TASK_SAMPLES}`);
    hooked.push(await runNode([script('token.js'), 'cold', '--url', url, '--prewarm', '--tasks'], { BENCH_PREFS_DIR: SHM }));
  }
  const firstUse = [];
  for (let i = 0; i < FIRST_USE_SAMPLES; i++) {
    c.progress(`cold getTokenNative, nothing warmed, preferences on disk: process ${i + 1} of ${FIRST_USE_SAMPLES}`);
    firstUse.push(await runNode([script('token.js'), 'cold', '--url', url], { BENCH_PREFS_DIR: c.BUILD }));
  }
  const totals = c.summary(samples.map((s) => s.totalUs));
  const split = samples.map(phases);
  if (split.includes(null)) throw new Error('a cold sample made no post');
  const med = (key) => c.quantile(split.map((p) => p[key]), 0.5);
  const own = samples.map((s, i) => s.totalUs - split[i].bridgeTotal);
  const first = c.summary(firstUse.map((s) => s.totalUs));
  const byName = {};
  for (const s of samples) {
    for (const x of s.calls) {
      const t = byName[x.name] || (byName[x.name] = []);
      t.push(x.settledUs !== undefined ? x.settledUs : x.syncUs);
    }
  }
  const perFunction = {};
  for (const [k, v] of Object.entries(byName)) {
    perFunction[k] = { perCall: v.length / samples.length, medianUs: c.quantile(v, 0.5) };
  }
  return {
    suite: 'cold',
    figures: [
      { id: 'cold.token.median', label: 'cold getTokenNative (bridge warmed, preferences on tmpfs): median', value: totals.median, unit: 'us', n: totals.n },
      { id: 'cold.token.p95', label: 'cold getTokenNative: p95', value: totals.p95, unit: 'us', n: totals.n },
      { id: 'cold.token.own.median', label: 'cold getTokenNative less the time inside bridge functions: median', value: c.quantile(own, 0.5), unit: 'us', n: own.length },
      { id: 'cold.native.median', label: 'cold getTokenNative: the native call itself (script thread)', value: c.quantile(samples.map((s) => s.nativeUs), 0.5), unit: 'us' },
      { id: 'cold.firstuse.median', label: 'cold getTokenNative, nothing warmed, preferences on disk: median', value: first.median, unit: 'us', n: first.n },
      { id: 'cold.setup.median', label: 'setupNative (script thread)', value: c.quantile(samples.map((s) => s.setupUs), 0.5), unit: 'us' },
      c.libraryTaskFigure('cold.libTask', 'cold getTokenNative', c.longestOfTasks(hooked.map((s) => s.libTask))),
    ],
    breakdown: {
      'worker start to first bridge call': med('start'),
      'stored-record reads (prefGet)': med('storedReads'),
      'collection to post: bridge functions (getOaid, getTimeInfo, uuid prefGet/prefPut, getAppSignature)': med('collectSealBridge'),
      'collection to post: library (the collector thread, file reads, serialize, network thread, sign, zip, seal)': med('collectSealOwn'),
      'exchange: post until its promise settled (loopback HTTP + service)': med('exchange'),
      'answer to last prefPut: bridge functions (prefPut)': med('openPersistBridge'),
      'answer to last prefPut: library (open, unzip, parse, seal the properties)': med('openPersistOwn'),
      'resolution of the promise': med('resolve'),
      'script-thread calls (bridge calls + resolution; calls in a row share a round trip)': med('scriptCalls'),
    },
    perFunction,
    samples: samples.map((s) => ({ totalUs: s.totalUs, calls: s.calls })),
  };
}

// The first token of an app's start (token.js startup): nothing warmed,
// preferences on disk, STARTUP_SAMPLES processes timed without hooks and
// STARTUP_TASK_SAMPLES more with every script-thread callback timed.
async function startupSuite(url) {
  // The service's first requests compile its own code: an app meets a
  // backend that has long been running. One app start, not counted, warms it.
  c.progress('app start: one process to warm the service, not counted');
  await runNode([script('token.js'), 'startup', '--url', url], { BENCH_PREFS_DIR: c.BUILD });
  const samples = [];
  for (let i = 0; i < STARTUP_SAMPLES; i++) {
    c.progress(`app start: first getTokenNative, process ${i + 1} of ${STARTUP_SAMPLES}`);
    samples.push(await runNode([script('token.js'), 'startup', '--url', url], { BENCH_PREFS_DIR: c.BUILD }));
  }
  const hooked = [];
  for (let i = 0; i < STARTUP_TASK_SAMPLES; i++) {
    c.progress(`app start, every script-thread task timed: process ${i + 1} of ${STARTUP_TASK_SAMPLES}`);
    hooked.push(await runNode([script('token.js'), 'startup', '--url', url, '--tasks'], { BENCH_PREFS_DIR: c.BUILD }));
  }
  const split = samples.map(phases);
  if (split.includes(null)) throw new Error('an app-start sample made no post');
  const totals = c.summary(samples.map((s) => s.totalUs));
  const own = samples.map((s, i) => s.totalUs - split[i].bridgeTotal);
  const gcOwn = samples.map(gcOutsideBridge);
  const longest = hooked.reduce((a, s) => (s.taskMaxUs > a.taskMaxUs ? s : a), hooked[0]);
  const byName = {};
  for (const s of samples) {
    for (const x of s.calls) {
      const entry = byName[x.name] || (byName[x.name] = { sync: [], whole: [] });
      entry.sync.push(x.syncUs);
      entry.whole.push(x.settledUs !== undefined ? x.settledUs : x.syncUs);
    }
  }
  const perFunction = {};
  for (const [k, v] of Object.entries(byName)) {
    perFunction[k] = {
      perCall: v.sync.length / samples.length,
      medianUs: c.quantile(v.whole, 0.5),
      maxSyncUs: Math.max(...v.sync),
    };
  }
  return {
    suite: 'startup',
    figures: [
      { id: 'startup.token.median', label: `app start: first getTokenNative, median of ${totals.n} processes`, value: totals.median, unit: 'us', n: totals.n },
      { id: 'startup.token.p95', label: 'app start: first getTokenNative, p95', value: totals.p95, unit: 'us', n: totals.n },
      { id: 'startup.own.median', label: 'app start: the library\'s own share (wall less bridge functions, post whole)', value: c.quantile(own, 0.5), unit: 'us', n: own.length },
      { id: 'startup.own.lessGc', label: 'app start: the library\'s own share less the engine\'s collections in it', value: c.quantile(own.map((x, i) => x - gcOwn[i]), 0.5), unit: 'us', collected: gcOwn.filter((x) => x > 0).length, n: own.length },
      { id: 'startup.taskMax', label: 'app start: longest script-thread task during the call', value: c.quantile(hooked.map((s) => s.taskMaxUs), 0.5), unit: 'us', worst: longest.taskMaxUs, type: longest.taskMaxType, n: hooked.length },
      { id: 'startup.loopDelayMax', label: 'app start: largest event-loop delay during the call', value: c.quantile(samples.map((s) => s.loopDelayMaxMs), 0.5), unit: 'ms' },
      c.libraryTaskFigure('startup.libTask', 'app start, first getTokenNative', c.longestOfTasks(hooked.map((s) => s.libTask))),
    ],
    breakdown: Object.fromEntries(Object.entries(split[0]).map(([k]) => [k, c.quantile(split.map((p) => p[k]), 0.5)])),
    perFunction,
    samples: samples.map((s, i) => ({ totalUs: s.totalUs, loopDelayMaxMs: s.loopDelayMaxMs, ownUs: own[i], gcOwnUs: gcOwn[i], calls: s.calls })),
  };
}

// One cold sample under strace: threads started and files opened between
// the marks, by who opened them.
async function straceSuite(url) {
  const which = spawnSync('sh', ['-c', 'command -v strace'], { encoding: 'utf8' });
  if (which.status !== 0) return null;
  c.progress('cold getTokenNative under strace (counts only)');
  const trace = path.join(c.BUILD, 'bench-cold.strace');
  await runNode([script('token.js'), 'cold', '--url', url, '--prewarm', '--marks'], { BENCH_PREFS_DIR: SHM },
    ['strace', '-f', '-qq', '-o', trace, '-e', 'trace=clone,clone3,openat,statx,newfstatat,stat']);
  const lines = fs.readFileSync(trace, 'utf8').split('\n');
  const from = lines.findIndex((l) => l.includes(c.MARK_START));
  const to = lines.findIndex((l) => l.includes(c.MARK_END));
  if (from < 0 || to < 0) return null;
  const win = lines.slice(from + 1, to);
  const threads = win.filter((l) => /\bclone3?\(/.test(l) && !l.includes('resumed>')).length;
  const opened = win.filter((l) => /\bopenat\(/.test(l)).map((l) => (/openat\([^"]*"([^"]*)"/.exec(l) || [])[1]).filter(Boolean);
  const library = opened.filter((f) => /^\/(proc|sys|dev|system|data)\b/.test(f));
  const others = opened.filter((f) => !library.includes(f));
  fs.rmSync(trace, { force: true });
  return {
    suite: 'strace',
    figures: [
      { id: 'cold.threads', label: 'cold getTokenNative: threads started', value: threads, unit: '' },
      { id: 'cold.files.library', label: 'cold getTokenNative: files opened by the library (/proc, /sys, /dev, fonts)', value: library.length, unit: '', detail: library },
      { id: 'cold.files.bridge', label: 'cold getTokenNative: files opened by the bridge (preferences)', value: others.length, unit: '' },
    ],
  };
}

async function main() {
  const service = await startService({ port: 0 });
  const chosen = process.env.BENCH_SUITES ? new Set(process.env.BENCH_SUITES.split(',')) : null;
  const wanted = (name) => !chosen || chosen.has(name);
  const suites = [];
  const add = (suite) => {
    if (suite) suites.push(suite);
  };
  try {
    c.progress(`reference service at ${service.url}`);
    if (wanted('floor')) {
      add(await runNode([script('floor.js')]));
      add(await runNode([script('floor.js'), '--burst']));
      add(await runNode([script('floor.js'), '--tasks']));
    }
    if (wanted('startup')) add(await startupSuite(service.url));
    if (wanted('cold')) add(await coldSuite(service.url));
    if (wanted('strace')) add(await straceSuite(service.url));
    if (wanted('handoffs')) add(await handoffSuite(service.url, QUICK ? 1 : 5));
    if (wanted('warm')) {
      c.progress('warm getTokenNative, getBusinessSignNative, getDegradeTokenNative');
      add(await runNode([script('token.js'), 'warm', '--url', service.url], { BENCH_PREFS_DIR: SHM }));
      add(await runNode([script('token.js'), 'warm', '--url', service.url, '--tasks'], { BENCH_PREFS_DIR: SHM }));
    }
    if (wanted('concurrent')) {
      c.progress('concurrent getTokenNative');
      add(await runNode([script('token.js'), 'concurrent', '--url', service.url], { BENCH_PREFS_DIR: SHM }));
    }
    if (wanted('memory')) {
      c.progress('memory over many getTokenNative');
      add(await runNode(['--expose-gc', script('token.js'), 'memory', '--url', service.url, '--floor'], { BENCH_PREFS_DIR: SHM }));
      add(await runNode(['--expose-gc', script('token.js'), 'memory', '--url', service.url], { BENCH_PREFS_DIR: SHM }));
      add(await runNode([script('token.js'), 'memory', '--url', service.url, '--tasks'], { BENCH_PREFS_DIR: SHM }));
    }
  } finally {
    await service.close();
  }
  process.stdout.write(JSON.stringify({ suites }) + '\n');
}

main().catch((err) => {
  console.error(err);
  process.exit(1);
});
