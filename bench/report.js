// @ts-check
'use strict';
// Merges the figures of one benchmark run into one readable table (stdout)
// and one JSON file. Inputs, all in --dir (scripts/bench.sh writes them):
//   crypto-native.json   crypto_bench as it is        (Google Benchmark JSON)
//   crypto-c.json        crypto_bench, OPENSSL_ia32cap=0
//   json.json            json_bench
//   wire.json            wire_bench
//   collect.json         collect_bench
//   node.json            bench/node/run.js
//   server.json          bench/node/server.js
//   size-*.json          bench/size.js, one per architecture
// Any input may be missing; its rows are then left out.
//
//   node bench/report.js --dir build-release/bench-raw --out build-release/bench.json
//
// Budgets are checked on ratios taken within this one run where a reference
// exists (crypto beside OpenSSL's table-driven C or a plain C XXTEA, warm
// getTokenNative beside its floor), on absolute figures elsewhere. Google
// Benchmark figures are medians of repetitions, in CPU time for the
// single-threaded byte work and in wall time where threads are started.
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { TASK_BUDGET_US, quantile } = require('./node/common');

function argument(name, fallback) {
  const i = process.argv.indexOf(name);
  return i >= 0 && i + 1 < process.argv.length ? process.argv[i + 1] : fallback;
}

const dir = argument('--dir');
const outFile = argument('--out');
const combineAt = process.argv.indexOf('--combine');
if (!dir && combineAt < 0) {
  process.stderr.write('usage: report.js --dir DIR [--out FILE] | report.js --combine RUN.json... [--out FILE]\n');
  process.exit(2);
}

function readJson(name) {
  const file = path.join(dir, name);
  if (!fs.existsSync(file)) return null;
  const text = fs.readFileSync(file, 'utf8').trim();
  if (!text) return null;
  return JSON.parse(text);
}

// ---------------------------------------------------------------------------
// Google Benchmark results: run name -> { realUs, cpuUs, counters }, from the
// median aggregate when there are repetitions, else the single run.

const UNIT_TO_US = { ns: 1e-3, us: 1, ms: 1e3, s: 1e6 };

/** @returns {any} a Map by benchmark name, with the run's context */
function gbench(name) {
  const doc = readJson(name);
  if (!doc) return null;
  /** @type {Map<string, any> & { context?: unknown }} */
  const out = new Map();
  for (const b of doc.benchmarks || []) {
    if (b.error_occurred) continue;
    const isMedian = b.run_type === 'aggregate' && b.aggregate_name === 'median';
    if (b.run_type === 'aggregate' && !isMedian) continue;
    const key = b.run_name || b.name;
    if (!isMedian && out.has(key)) continue;
    const f = UNIT_TO_US[b.time_unit] || 1e-3;
    out.set(key, { realUs: b.real_time * f, cpuUs: b.cpu_time * f, b });
  }
  out.context = doc.context;
  return out;
}

// ---------------------------------------------------------------------------
// Rows.

const rows = [];
let section = '';
function heading(text) {
  section = text;
  rows.push({ heading: text });
}
// value/reference in unit; budget: { text, ok } or null.
function row(item, value, unit, extra = {}) {
  rows.push({ section, item, value, unit, ...extra });
}

function fmt(value, unit) {
  if (value === undefined || value === null || Number.isNaN(value)) return '—';
  if (unit === 'us') {
    if (value >= 10000) return `${(value / 1000).toFixed(1)} ms`;
    if (value >= 1000) return `${(value / 1000).toFixed(2)} ms`;
    if (value >= 100) return `${value.toFixed(0)} µs`;
    if (value >= 10) return `${value.toFixed(1)} µs`;
    return `${value.toFixed(2)} µs`;
  }
  if (unit === 'ms') return `${value.toFixed(2)} ms`;
  if (unit === 'KiB') return `${value.toFixed(1)} KiB`;
  if (unit === 'x') return `${value.toFixed(2)}×`;
  if (unit === '') return Number.isInteger(value) ? String(value) : value.toFixed(1);
  return `${value} ${unit}`;
}

function verdict(ok) {
  return ok === undefined ? '' : ok ? 'ok' : 'MISSED';
}

// --- Crypto ---------------------------------------------------------------

/** @type {Array<[RegExp, number, string]>} */
const CRYPTO_BUDGETS = [
  [/Aes|Sm4/i, 2.0, 'OpenSSL C'],
  [/Md5|Sha1|Sm3/i, 1.5, 'OpenSSL C'],
  [/Xxtea/i, 1.2, 'plain C'],
];

function cryptoRows() {
  const c = gbench('crypto-c.json');
  const native = gbench('crypto-native.json');
  if (!c) return;
  heading('Crypto: CPU time per call (reference in the same run: OpenSSL EVP with OPENSSL_ia32cap=0, or a plain C XXTEA)');
  for (const [name, ours] of c) {
    const m = /^(BM_\w+?)\/(\d+)$/.exec(name);
    if (!m || /_(OpenSsl|RefC)$/.test(m[1])) continue;
    const refName = [`${m[1]}_OpenSsl/${m[2]}`, `${m[1]}_RefC/${m[2]}`].find((n) => c.has(n));
    const ref = refName ? c.get(refName) : null;
    const budget = CRYPTO_BUDGETS.find(([re]) => re.test(m[1]));
    const ratio = ref ? ours.cpuUs / ref.cpuUs : NaN;
    const shipped = native && refName ? native.get(refName) : null;
    const size = Number(m[2]) >= 1024 ? `${Number(m[2]) / 1024} KiB` : `${m[2]} B`;
    row(`${m[1].replace(/^BM_/, '')} ${size}`, ours.cpuUs, 'us', {
      reference: ref ? ref.cpuUs : undefined,
      ratio,
      budget: budget && ref ? `≤ ${budget[1]}× ${budget[2]}` : '',
      ok: budget && ref ? ratio <= budget[1] : undefined,
      note: shipped && /OpenSsl/.test(refName) ? `OpenSSL as shipped: ${fmt(shipped.cpuUs, 'us')}` : '',
    });
  }
}

// --- JSON -------------------------------------------------------------------

function jsonRows() {
  const j = gbench('json.json');
  if (!j) return;
  heading('JSON layer: CPU time per call, object of 60 string members');
  const dump = j.get('BM_DumpObjectOf60Strings');
  const parse = j.get('BM_ParseObjectOf60Strings');
  if (dump) row('dump', dump.cpuUs, 'us', { budget: '< 5 µs', ok: dump.cpuUs < 5 });
  if (parse) row('parse', parse.cpuUs, 'us', { budget: '< 13 µs', ok: parse.cpuUs < 13 });
}

// --- Wire -------------------------------------------------------------------

function wireRows() {
  const w = gbench('wire.json');
  if (!w) return;
  const serialize = w.get('BM_SerializeRequest');
  const bytes = serialize ? serialize.b.bytes : undefined;
  heading(`Wire format: CPU time per call, realistic request of ${bytes || '?'} bytes`);
  const items = [
    ['BM_SerializeRequest', 'serialize_request'],
    ['BM_PackArchive', 'pack_archive (deflate level 5)'],
    ['BM_Seal/legacy:1', 'seal the archive, legacy (MD5 sign + XXTEA)'],
    ['BM_Seal/legacy:0', 'seal the archive, gm (SM3 sign + SM4)'],
    ['BM_BuildSealedRequest/legacy:1', 'serialize + pack + seal, legacy'],
    ['BM_BuildSealedRequest/legacy:0', 'serialize + pack + seal, gm'],
    ['BM_OpenAnswer/legacy:1', 'open an answer (decrypt + unpack_archive), legacy'],
    ['BM_OpenAnswer/legacy:0', 'open an answer, gm'],
    ['BM_OpenAndParseAnswer/legacy:1', 'open + parse TokenResponse/TokenPayload, legacy'],
    ['BM_PostRequest/legacy:1', 'post_request against an immediate answer, legacy'],
    ['BM_PostRequest/legacy:0', 'post_request against an immediate answer, gm'],
  ];
  for (const [name, label] of items) {
    const r = w.get(name);
    if (r) row(label, r.cpuUs, 'us', { note: r.realUs > 1.5 * r.cpuUs ? `wall ${fmt(r.realUs, 'us')}` : '' });
  }
}

// --- Collect ----------------------------------------------------------------

function collectRows() {
  const col = gbench('collect.json');
  if (!col) return;
  heading('Collection with the built-in collectors, stub platform (wall time)');
  let whole = null;
  let thread = null;
  let sum = 0;
  for (const [name, r] of col) {
    if (name.startsWith('BM_Collect/')) whole = r;
    else if (name.startsWith('BM_ThreadStartJoin')) thread = r;
    else if (name.startsWith('BM_Collector/')) sum += r.realUs;
  }
  if (whole) row(`collect: ${whole.b.keys || '?'} keys, on the run's collector thread (median)`, whole.realUs, 'us');
  if (sum) row('the eleven collectors run on the calling thread, summed', sum, 'us');
  if (thread) row('one thread start + join (median)', thread.realUs, 'us');
  for (const [name, r] of col) {
    if (name.startsWith('BM_Collector/')) row(`  ${name.slice('BM_Collector/'.length)}`, r.realUs, 'us');
  }
}

// --- Node -------------------------------------------------------------------

function nodeFigures() {
  const doc = readJson('node.json');
  if (!doc) return null;
  const figures = new Map();
  const suites = new Map();
  for (const s of doc.suites) {
    suites.set(s.suite, s);
    for (const f of s.figures) figures.set(f.id, f);
  }
  return { figures, suites };
}

function nodeRows(node) {
  if (!node) return;
  const f = (id) => node.figures.get(id) || {};
  const v = (id) => f(id).value;

  heading('Node: the floor (library blocking-call mechanism, bench addon)');
  row('blocking call into the script thread, no-op task: median', v('floor.roundtrip.median'), 'us', { note: `p95 ${fmt(v('floor.roundtrip.p95'), 'us')}` });
  row('native thread resolves a promise: median', v('floor.worker.median'), 'us', { note: `p95 ${fmt(v('floor.worker.p95'), 'us')}` });
  row('100 such promises at once: largest event-loop delay', v('floor.burst.loopDelayMax'), 'ms', {
    note: `issuing them ${fmt(v('floor.burst.issue'), 'us')}; once issued ${fmt(v('floor.burst.loopDelayAfterIssue'), 'ms')}`,
  });
  row('100 such promises at once: longest blocking-call task', v('floor.burst.taskMax'), 'us');
  row('100 at once, threads started by a launcher thread: largest event-loop delay', v('floor.launcher.loopDelayMax'), 'ms', {
    note: `issuing them ${fmt(v('floor.launcher.issue'), 'us')} (a design option, bench addon only)`,
  });

  heading('Node: the natives (reference bridge, loopback reference service)');
  const floor = v('warm.floor.median');
  const warm = v('warm.token.median');
  row('warm getTokenNative: median', warm, 'us', {
    reference: floor, ratio: warm / floor, budget: '≤ 1.5× floor', ok: warm / floor <= 1.5,
    note: `p95 ${fmt(v('warm.token.p95'), 'us')}; floor (a native thread, the same two blocking prefGet, a resolution) interleaved in the same process; bridge calls per call: ${
      Object.entries(f('warm.token.bridgeCalls').detail || {}).map(([k, n]) => `${n} ${k} (${fmt((f('warm.token.bridgeCalls').medianUs || {})[k], 'us')} each)`).join(', ') || 'none'}`,
  });
  row('getBusinessSignNative: median', v('warm.sign.median'), 'us', { note: `p95 ${fmt(v('warm.sign.p95'), 'us')}` });
  row('getDegradeTokenNative: median', v('warm.degrade.median'), 'us', { note: `p95 ${fmt(v('warm.degrade.p95'), 'us')}; ${fmt(v('warm.degrade.bridgeCalls'), '')} bridge calls per call` });
  const start = v('startup.token.median');
  row(`app start: first getTokenNative, median of ${f('startup.token.median').n || '?'} processes`, start, 'us', {
    budget: '≤ 10 ms', ok: start <= 10000,
    note: `p95 ${fmt(v('startup.token.p95'), 'us')}; nothing warmed before setup, the call ${'300 ms'} after it, preferences on disk; bridge functions: ${
      Object.entries((node.suites.get('startup') || {}).perFunction || {}).map(([k, x]) => `${k} ${x.perCall}× ${fmt(x.medianUs, 'us')}`).join(', ')}`,
  });
  const own = v('startup.own.median');
  row('  the library\'s own share (wall less bridge functions, post whole)', own, 'us', {
    budget: '≤ 2 ms', ok: own <= 2000,
    note: `less the engine's collections that fell in it ${fmt(v('startup.own.lessGc'), 'us')} (a collection in ${f('startup.own.lessGc').collected ?? '?'} of ${f('startup.own.lessGc').n || '?'} processes)`,
  });
  const startTask = v('startup.taskMax');
  row('  longest script-thread task during the call', startTask, 'us', {
    budget: '≤ 2 ms', ok: startTask <= 2000,
    note: `worst ${fmt(f('startup.taskMax').worst, 'us')} (${f('startup.taskMax').type || '?'}); largest event-loop delay ${fmt(v('startup.loopDelayMax'), 'ms')}`,
  });
  const cold = v('cold.token.median');
  row(`cold getTokenNative, bridge warmed: median of ${f('cold.token.median').n || '?'} processes`, cold, 'us', {
    note: `p95 ${fmt(v('cold.token.p95'), 'us')}; preferences on tmpfs`,
  });
  row('  of which outside bridge functions', v('cold.token.own.median'), 'us');
  row('getTokenNative with an exchange, in a warm process: median', v('warm.refresh.median'), 'us', {
    note: `p95 ${fmt(v('warm.refresh.p95'), 'us')}; PRIVATE_CLEAR_TOKEN; its post ${fmt(v('warm.refresh.post'), 'us')}`,
  });
  row('  cold, nothing warmed, preferences on disk', v('cold.firstuse.median'), 'us', { note: 'first fetch, Intl and fsync of the reference bridge included' });
  row('setupNative (script thread)', v('cold.setup.median'), 'us');
  const loop = v('conc.warm.loopDelayMax');
  row('100 warm getTokenNative at once: largest event-loop delay', loop, 'ms', {
    budget: '≤ 2 ms', ok: loop <= 2, note: `median of rounds; worst ${fmt(f('conc.warm.loopDelayMax').worst, 'ms')}; the floor's burst ${fmt(v('floor.burst.loopDelayMax'), 'ms')}`,
  });
  row('  the same once all 100 were issued (the calls running)', v('conc.warm.loopDelayAfterIssue'), 'ms', {
    note: `worst ${fmt(f('conc.warm.loopDelayAfterIssue').worst, 'ms')}`,
  });
  const task = v('conc.warm.taskMax');
  row('  longest library task on the script thread (blocking call)', task, 'us', {
    budget: '≤ 0.5 ms', ok: task <= 500, note: `worst ${fmt(f('conc.warm.taskMax').worst, 'us')}; p95 ${fmt(f('conc.warm.taskMax').p95, 'us')}`,
  });
  const native = v('conc.warm.nativeMax');
  row('  longest getTokenNative call itself (script thread)', native, 'us', {
    budget: '≤ 0.5 ms', ok: native <= 500, note: `median call ${fmt(f('conc.warm.nativeMax').median, 'us')}; issuing all 100: ${fmt(v('conc.warm.issue'), 'us')}`,
  });
  row('100 first calls at once (one exchange): largest event-loop delay', v('conc.cold.loopDelayMax'), 'ms', {
    note: `once issued ${fmt(f('conc.cold.loopDelayMax').afterIssue, 'ms')}; longest blocking-call task ${fmt(v('conc.cold.taskMax'), 'us')}`,
  });
  const growth = v('mem.rss.growth');
  const floorGrowth = v('mem.floor.rss.growth');
  row(`resident memory growth over ${f('mem.rss.growth').calls || '?'} warm getTokenNative calls`, growth, 'KiB', {
    reference: floorGrowth, budget: '≤ floor + 2 MiB', ok: growth - floorGrowth <= 2048,
    note: `reference: the floor's loop over as many calls; ${fmt(v('mem.rss.before'), 'KiB')} → ${fmt(v('mem.rss.after'), 'KiB')} after the warm-up; outside the JS heap ${fmt(v('mem.outside.growth'), 'KiB')}`,
  });

  // Every scenario's longest task of the library (its thread-safe function's
  // callbacks and its later turns) in CPU time of the script thread: the
  // library's own cost, which other work on the machine does not inflate.
  heading(`Node: the longest library task on the script thread, per scenario (budget ${fmt(TASK_BUDGET_US, 'us')})`);
  for (const [id, x] of node.figures) {
    if (!id.endsWith('.libTask')) continue;
    const bridge = Object.entries(x.bridge || {}).map(([k, us]) => `${k} ${fmt(us, 'us')}`).join(', ') || 'none';
    row(x.label, x.value, 'us', {
      budget: `≤ ${fmt(TASK_BUDGET_US, 'us')}`, ok: x.value <= TASK_BUDGET_US,
      note: `wall time ${fmt(x.wallUs, 'us')}; bridge functions in it: ${bridge}; the engine's collections in it: ${fmt(x.gcUs, 'us')}; ${x.n ?? '?'} library tasks timed`,
    });
  }
}

// --- Size -------------------------------------------------------------------

function sizeDocs() {
  return fs.readdirSync(dir).filter((n) => /^size-.*\.json$/.test(n)).map((n) => readJson(n)).filter(Boolean);
}

// The binaries the package ships (scripts/package.sh: static, with
// minizip and protobuf-c linked in, Release, stripped) are the ones sized
// against the budget. It was 350 KiB for the library alone at -O2 with every
// dependency taken from the system; the shipped build carries minizip and
// protobuf-c's runtime (about 48 KiB of their code and data) and is built
// at -O3, as benchmarked.
const SIZE_BUDGET_KIB = 480;
const SIZE_BUDGETS = { 'linux-x64': SIZE_BUDGET_KIB, 'linux-arm64': SIZE_BUDGET_KIB };
const SIZE_DESCRIBED = {
  'linux-x64': 'x86_64, as shipped (static, Release)',
  'linux-arm64': 'aarch64, as shipped (static, Release)',
  'x86_64-O3': 'x86_64, Release (-O3), the benchmark build (system minizip and protobuf-c)',
};

function sizeRows(docs) {
  if (!docs.length) return;
  heading('Size of the stripped library');
  for (const d of docs) {
    const kib = d.size.strippedBytes / 1024;
    const budget = SIZE_BUDGETS[d.size.label];
    const extra = budget ? { budget: `< ${budget} KiB`, ok: kib < budget } : {};
    row(`libQuonRiskComm.so, ${SIZE_DESCRIBED[d.size.label] || d.size.label}`, kib, 'KiB', extra);
  }
}

// ---------------------------------------------------------------------------
// Printing.

function printTable(meta) {
  const lines = [];
  lines.push(`QuonRiskComm benchmarks — ${meta.date}`);
  lines.push(`${meta.host}; ${meta.cpus} CPUs; load average at start ${meta.load}; Node ${meta.node}; ${meta.build}`);
  const header = ['item', 'figure', 'reference', 'ratio', 'budget', 'verdict', 'notes'];
  const table = [];
  for (const r of rows) {
    if (r.heading) {
      table.push({ heading: r.heading });
      continue;
    }
    table.push({
      cells: [
        r.item,
        fmt(r.value, r.unit),
        r.reference !== undefined ? fmt(r.reference, r.unit) : '',
        r.ratio !== undefined && !Number.isNaN(r.ratio) ? fmt(r.ratio, 'x') : '',
        r.budget || '',
        verdict(r.ok),
        r.note || '',
      ],
    });
  }
  const widths = header.map((h, i) => Math.max(h.length, ...table.filter((t) => t.cells).map((t) => t.cells[i].length)));
  widths[0] = Math.min(widths[0], 70);
  const pad = (cells) => cells.map((c, i) => (i === 6 ? c : i === 0 ? c.padEnd(widths[i]) : c.padStart(widths[i]))).join('  ').trimEnd();
  lines.push('');
  lines.push(pad(header));
  lines.push('-'.repeat(widths.slice(0, 6).reduce((a, b) => a + b + 2, 0) + 5));
  for (const t of table) {
    if (t.heading) {
      lines.push('');
      lines.push(t.heading);
    } else {
      lines.push(pad(t.cells));
    }
  }
  const missed = rows.filter((r) => r.ok === false).length;
  const checked = rows.filter((r) => r.ok !== undefined).length;
  lines.push('');
  lines.push(`budgets: ${checked - missed} of ${checked} met${missed ? `, ${missed} MISSED` : ''}`);
  return lines.join('\n');
}

function printBreakdown(node) {
  const cold = node && node.suites.get('cold');
  if (!cold) return '';
  const lines = ['', 'Cost of one cold getTokenNative (medians over the processes; bridge warmed)'];
  for (const [k, v] of Object.entries(cold.breakdown)) {
    lines.push(`  ${k.padEnd(100)} ${k.startsWith('script-thread calls') ? String(v).padStart(9) : fmt(v, 'us').padStart(9)}`);
  }
  const traced = node.suites.get('strace');
  for (const suite of [traced, node.suites.get('handoffs')]) {
    if (!suite) continue;
    for (const f of suite.figures) lines.push(`  ${f.label.replace(/^cold getTokenNative: /, '').padEnd(100)} ${String(f.value).padStart(9)}`);
  }
  lines.push('  bridge functions called (per cold call, median time each):');
  for (const [k, v] of Object.entries(cold.perFunction)) {
    lines.push(`    ${k.padEnd(18)} ×${v.perCall}  ${fmt(v.medianUs, 'us')}`);
  }
  const estimate = estimateFromParts(node, cold, traced);
  if (estimate) {
    lines.push('', 'The same cold getTokenNative rebuilt from its parts, each measured alone (a quiet machine)');
    for (const [k, v] of estimate.items) lines.push(`  ${k.padEnd(100)} ${fmt(v, 'us').padStart(9)}`);
    lines.push(`  ${'sum'.padEnd(100)} ${fmt(estimate.totalUs, 'us').padStart(9)}`);
  }
  return lines.join('\n');
}

// The cold token rebuilt from the figures of its parts, each taken where
// nothing else competes: what it costs on a quiet machine.
function estimateFromParts(node, cold, traced) {
  const w = gbench('wire.json');
  const col = gbench('collect.json');
  const f = (id) => (node.figures.get(id) || {}).value;
  if (!w || !col) return null;
  let threadUs = NaN;
  let collectorsUs = 0;
  for (const [name, r] of col) {
    if (name.startsWith('BM_ThreadStartJoin')) threadUs = r.realUs;
    else if (name.startsWith('BM_Collector/')) collectorsUs += r.cpuUs;
  }
  const counted = (suite, id) => (suite ? (suite.figures.find((x) => x.id === id) || {}).value : undefined);
  const threads = counted(traced, 'cold.threads') ?? counted(node.suites.get('handoffs'), 'cold.handoffs.threads') ?? NaN;
  // Round trips into the script thread: its loop's wake-ups where they were
  // counted, else one per script-thread call.
  const trips = counted(node.suites.get('handoffs'), 'cold.handoffs.loopWakes')
    ?? cold.breakdown['script-thread calls (bridge calls + resolution; calls in a row share a round trip)'];
  const part = (name) => (w.get(name) || {}).cpuUs;
  const bridgeUs = Object.entries(cold.perFunction)
    .filter(([k]) => k !== 'post')
    .reduce((a, [, v]) => a + v.perCall * v.medianUs, 0);
  const items = [
    [`${threads} thread starts × ${fmt(threadUs, 'us')} (start + join, collect_bench)`, threads * threadUs],
    [`${trips} script-thread round trips × ${fmt(f('floor.roundtrip.median'), 'us')} (bare blocking call)`, trips * f('floor.roundtrip.median')],
    ['the collectors\' own work, file reads included (collect_bench, summed)', collectorsUs],
    ['serialize + sign + zip + seal the request (wire_bench, legacy)', part('BM_BuildSealedRequest/legacy:1')],
    ['  of which pack_archive (zlib state and buffers, mostly page faults)', part('BM_PackArchive')],
    ['open and parse the answer (wire_bench)', part('BM_OpenAndParseAnswer/legacy:1')],
    ['the reference bridge\'s functions other than post (cold samples)', bridgeUs],
    ['the exchange with a warm HTTP client (post, warm-process refreshes)', f('warm.refresh.post')],
  ];
  const totalUs = items.filter(([k]) => !k.startsWith('  ')).reduce((a, [, v]) => a + (Number.isFinite(v) ? v : 0), 0);
  return { items, totalUs };
}

function printSizes(docs) {
  const lines = [];
  for (const d of docs) {
    lines.push('', `Where the bytes of libQuonRiskComm.so (${d.size.label}) come from`);
    const sec = d.size.sections;
    const keep = Object.entries(sec).filter(([, n]) => n >= 1024).sort((a, b) => b[1] - a[1]);
    lines.push(`  sections: ${keep.map(([k, n]) => `${k} ${(n / 1024).toFixed(1)}`).join(', ')} (KiB)`);
    lines.push('  code and data by object file (KiB):');
    for (const [k, n] of Object.entries(d.size.byObject)) lines.push(`    ${k.padEnd(62)} ${(n / 1024).toFixed(1).padStart(7)}`);
    lines.push('  by symbol group (KiB):');
    for (const [k, n] of Object.entries(d.size.byGroup).slice(0, 12)) lines.push(`    ${k.padEnd(62)} ${(n / 1024).toFixed(1).padStart(7)}`);
  }
  return lines.join('\n');
}

// --- The backend's half ------------------------------------------------------

function serverRows() {
  const doc = readJson('server.json');
  if (!doc) return;
  heading(`Backend's half: forged inputs up to the length limits (worst of ${doc.calls} calls; peak memory of a fresh process)`);
  for (const r of doc.results) {
    row(`${r.kind}: ${r.label} (${r.inputBytes} B)`, r.worstMs, 'ms', {
      note: `peak +${(r.peakGrowthBytes / 1048576).toFixed(2)} MiB; ${r.outcome.length > 40 ? `${r.outcome.slice(0, 40)}…` : r.outcome}`,
    });
  }
  row('worst time of one call, any input', doc.worstMs, 'ms', { budget: `≤ ${doc.budget.worstMs} ms`, ok: doc.worstMs <= doc.budget.worstMs });
  row('worst peak memory of one input, MiB', doc.worstPeakMiB, '', { budget: `≤ ${doc.budget.peakMiB} MiB`, ok: doc.worstPeakMiB <= doc.budget.peakMiB });
}

// ---------------------------------------------------------------------------

// ---------------------------------------------------------------------------
// --combine: the README's performance table from the bench.json of several
// runs: each figure's median and spread (smallest to largest) beside its
// budget, and in how many runs the budget was met; the runs' dates and the
// machine above it.

// The README's figures, read from one run's bench.json.
const README_FIGURES = [
  { label: 'app start: first `getToken`, median of 5 fresh processes', id: 'startup.token.median', unit: 'us', budget: '≤ 10 ms', ok: (v) => v <= 10000 },
  { label: 'its library share (wall less bridge functions)', id: 'startup.own.median', unit: 'us', budget: '≤ 2 ms', ok: (v) => v <= 2000 },
  { label: 'longest script-thread task during that call', id: 'startup.taskMax', unit: 'us', budget: '≤ 2 ms', ok: (v) => v <= 2000 },
  { label: 'cold `getToken`: hand-offs between threads', id: 'cold.handoffs', unit: '' },
  { label: 'warm `getToken`, median, against the floor', value: (n) => n['warm.token.median'].value / n['warm.floor.median'].value, unit: 'x', budget: '≤ 1.5×', ok: (v) => v <= 1.5 },
  { label: 'event-loop delay, 100 `getToken` at once', id: 'conc.warm.loopDelayMax', unit: 'ms', budget: '≤ 2 ms', ok: (v) => v <= 2 },
  { label: 'memory growth over 160,000 warm calls, beyond the floor\'s', value: (n) => n['mem.rss.growth'].value - n['mem.floor.rss.growth'].value, unit: 'KiB', budget: '≤ 2 MiB', ok: (v) => v <= 2048 },
];

function combine(files) {
  const runs = files.map((f) => JSON.parse(fs.readFileSync(f, 'utf8')));
  if (!runs.length) throw new Error('--combine: no runs');
  const lines = [];
  const machines = [...new Set(runs.map((r) => `${r.meta.host}, ${r.meta.cpus} CPUs, Node ${r.meta.node}`))];
  lines.push(`From ${runs.length} runs of \`scripts/bench.sh\` (${runs[0].meta.build}) on ${machines.join('; ')}:`);
  lines.push(runs.map((r) => `${r.meta.date} (load ${r.meta.load.split(' ')[0]} at the start)`).join(', ') + '.');
  lines.push('');
  lines.push(`| figure | median of ${runs.length} runs | spread | budget | met |`);
  lines.push('|---|---|---|---|---|');
  const addRow = (label, values, unit, budget, ok) => {
    const present = values.filter((v) => typeof v === 'number' && Number.isFinite(v));
    if (!present.length) return;
    const spread = present.length > 1 ? `${fmt(Math.min(...present), unit)} – ${fmt(Math.max(...present), unit)}` : '';
    const met = ok ? `${present.filter(ok).length} of ${present.length}` : '';
    lines.push(`| ${label} | ${fmt(quantile(present, 0.5), unit)} | ${spread} | ${budget || ''} | ${met} |`);
  };
  for (const f of README_FIGURES) {
    const values = runs.map((r) => {
      const n = r.node || {};
      try {
        return f.value ? f.value(n) : (n[f.id] || {}).value;
      } catch (e) {
        return undefined;
      }
    });
    addRow(f.label, values, f.unit, f.budget, f.ok);
  }
  for (const label of [...new Set(runs.flatMap((r) => (r.sizes || []).map((x) => x.label)))]) {
    const values = runs.map((r) => {
      const doc = (r.sizes || []).find((x) => x.label === label);
      return doc ? doc.strippedBytes / 1024 : undefined;
    });
    const budget = SIZE_BUDGETS[label];
    addRow(`stripped library, ${SIZE_DESCRIBED[label] || label}`, values, 'KiB',
      budget ? `< ${budget} KiB` : '', budget ? (v) => v < budget : null);
  }
  const missed = runs.map((r) => (r.rows || []).filter((x) => x.met === false).length);
  const checked = runs.map((r) => (r.rows || []).filter((x) => x.met !== undefined).length);
  lines.push('');
  lines.push(`Every budget of the full table, per run: ${runs.map((r, i) => `${checked[i] - missed[i]} of ${checked[i]} met`).join('; ')}.`);
  return lines.join('\n');
}

if (combineAt >= 0) {
  const files = process.argv.slice(combineAt + 1).filter((a, i, all) => !a.startsWith('--') && all[i - 1] !== '--out');
  const text = combine(files);
  process.stdout.write(`${text}\n`);
  if (outFile) fs.writeFileSync(outFile, `${text}\n`);
  process.exit(0);
}

const node = nodeFigures();
const sizes = sizeDocs();
cryptoRows();
jsonRows();
wireRows();
collectRows();
nodeRows(node);
serverRows();
sizeRows(sizes);

const anyContext = ['crypto-c.json', 'json.json', 'wire.json'].map(gbench).find(Boolean);
const meta = {
  date: new Date().toISOString().replace(/\.\d+Z$/, 'Z'),
  host: `${os.hostname()} ${os.arch()} ${os.cpus()[0] ? os.cpus()[0].model : ''}`.trim(),
  cpus: os.cpus().length,
  load: anyContext && anyContext.context && anyContext.context.load_avg
    ? anyContext.context.load_avg.map((x) => x.toFixed(2)).join(' ') : os.loadavg().map((x) => x.toFixed(2)).join(' '),
  node: process.version,
  build: process.env.BENCH_BUILD_NOTE || 'build-release (Release)',
};

const text = printTable(meta) + printBreakdown(node) + printSizes(sizes);
process.stdout.write(`${text}\n`);

if (outFile) {
  const json = {
    meta,
    rows: rows.filter((r) => !r.heading).map((r) => ({
      section: r.section, item: r.item, value: r.value, unit: r.unit, reference: r.reference,
      ratio: r.ratio, budget: r.budget || undefined, met: r.ok, note: r.note || undefined,
    })),
    coldBreakdown: node && node.suites.get('cold') ? node.suites.get('cold').breakdown : undefined,
    coldFromParts: (() => {
      const cold = node && node.suites.get('cold');
      const e = cold ? estimateFromParts(node, cold, node.suites.get('strace')) : null;
      return e ? { items: Object.fromEntries(e.items), totalUs: e.totalUs } : undefined;
    })(),
    sizes: sizes.map((d) => d.size),
    node: node ? Object.fromEntries(node.figures) : undefined,
  };
  fs.writeFileSync(outFile, JSON.stringify(json, null, 1) + '\n');
}
