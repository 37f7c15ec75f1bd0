// @ts-check
'use strict';
// The backend's half against forged inputs up to its length limits: per
// input, the worst time of one call and the peak memory it took, beside the
// limits and the budget ("any input up to 64 KiB is answered well under a
// second, with a few MiB"). Each input is opened in a fresh child process,
// so that its peak resident memory is its own.
//
//   node bench/node/server.js            JSON on stdout (scripts/bench.sh)
//   node bench/node/server.js --table    a readable table
//
// BENCH_QUICK=1 takes fewer calls per input.

const path = require('node:path');
const crypto = require('node:crypto');
const { spawnSync } = require('node:child_process');

const JS = path.join(__dirname, '..', '..', 'js');
const server = require(path.join(JS, 'server'));
const forge = require(path.join(JS, 'test', 'fixtures', 'forge'));

const KEY = 'bench-backend-key';
const CALLS = process.env.BENCH_QUICK ? 5 : 20;
const BUDGET_MS = 100;
const BUDGET_PEAK_MIB = 8;
const { maxDegradeTokenBytes, maxSignBytes } = server.LIMITS;

// The largest count of `unit`-sized items whose token stays within `limit`:
// forged inputs go right up to the length limit.
function largestWithin(limit, make) {
  let lo = 1;
  let hi = 1;
  while (make(hi).length <= limit) hi *= 2;
  while (hi - lo > 1) {
    const mid = Math.floor((lo + hi) / 2);
    if (make(mid).length <= limit) lo = mid;
    else hi = mid;
  }
  return make(lo);
}

function inputs() {
  const emptyBomb = (n) => forge.degradeToken(KEY, forge.request(KEY, forge.emptyEntries(n * 4000)));
  const noise = (n) => forge.degradeToken(KEY, forge.request(KEY, forge.entryList(
    Array.from({ length: n }, (_, i) => [`K${i}`, crypto.createHash('sha256').update(String(i)).digest('base64')]))));
  const real = forge.request(KEY, forge.entryList(Array.from({ length: 45 }, (_, i) => [`K${i}`, 'v'.repeat(i * 8)])));
  const deep = (n) => forge.businessSign(KEY, 'order', `{"ulvok": ${'['.repeat(n * 100)}${']'.repeat(n * 100)}}`);
  const wide = (n) => forge.businessSign(KEY, 'order', JSON.stringify(Object.fromEntries(
    Array.from({ length: n * 100 }, (_, i) => [`k${i}`, String(i)]))));
  return [
    ['degrade', 'a real-sized token of 45 entries', forge.degradeToken(KEY, real)],
    ['degrade', 'empty entries, deflated about 500 times', largestWithin(maxDegradeTokenBytes, emptyBomb)],
    ['degrade', '40,000 empty entries (inflates within its limit)', forge.degradeToken(KEY, forge.request(KEY, forge.emptyEntries(40000)))],
    ['degrade', 'headers that declare 1 KiB for 6 MB', forge.degradeToken(KEY, forge.request(KEY, forge.emptyEntries(1000000)),
      { archive: forge.lyingZip(forge.request(KEY, forge.emptyEntries(1000000)), 1024) })],
    ['degrade', 'incompressible entries up to the length limit', largestWithin(maxDegradeTokenBytes, noise)],
    ['degrade', '64 KiB of "!"', '!'.repeat(maxDegradeTokenBytes)],
    ['degrade', '64 KiB of Base64 noise in six fields', `${crypto.randomBytes(48000).toString('base64url')}!${KEY}!0!1!gm!0`],
    ['sign', 'JSON nested up to the sign limit', largestWithin(maxSignBytes, deep)],
    ['sign', 'an object of many members up to the sign limit', largestWithin(maxSignBytes, wide)],
    ['sign', 'an object of 1,024 members (the most that opens)', forge.businessSign(KEY, 'order', JSON.stringify(
      Object.fromEntries(Array.from({ length: server.LIMITS.maxEntries }, (_, i) => [`user_${i}`, 'v'.repeat(30)]))))],
  ];
}

// One input in a child: `calls` calls, the worst time, the peak RSS growth.
// The peak is read from VmHWM: unlike getrusage's maxrss, it starts afresh
// at exec instead of carrying the size of the forking parent. A first call
// on a real token loads the schema and warms the code before the start.
const CHILD = `
const fs = require('node:fs');
const server = require(process.argv[1]);
const [kind, text, key, calls, warm] = JSON.parse(fs.readFileSync(0, 'utf8'));
server.openDegradeToken(warm, key);
server.openBusinessSign('', key, 'order');
const hwm = () => Number(/VmHWM:\\s+(\\d+) kB/.exec(fs.readFileSync('/proc/self/status', 'utf8'))[1]) * 1024;
const before = hwm();
let worst = 0;
let outcome = '';
for (let i = 0; i < calls; i++) {
  const t0 = process.hrtime.bigint();
  const r = kind === 'sign' ? server.openBusinessSign(text, key, 'order') : server.openDegradeToken(text, key);
  const ms = Number(process.hrtime.bigint() - t0) / 1e6;
  if (ms > worst) worst = ms;
  outcome = kind === 'sign' ? (r === null ? 'refused' : 'opened') : (r.ok ? 'opened' : r.problem);
}
process.stdout.write(JSON.stringify({ worstMs: worst, peakGrowthBytes: Math.max(0, hwm() - before), outcome }));
`;

/**
 * @param {any[]} input [kind, label, text]
 * @param {string} warm
 */
function measure([kind, label, text], warm) {
  const r = spawnSync(process.execPath, ['--max-semi-space-size=1', '-e', CHILD, path.join(JS, 'server')],
    { input: JSON.stringify([kind, text, KEY, CALLS, warm]), encoding: 'utf8', timeout: 60000, maxBuffer: 1 << 20 });
  if (r.status !== 0) throw new Error(`${label}: the child ended with ${r.status} ${r.signal}: ${r.stderr}`);
  const m = JSON.parse(r.stdout);
  return { kind, label, inputBytes: Buffer.byteLength(text), ...m };
}

const all = inputs();
const results = all.map((input) => measure(input, all[0][2]));
const worstMs = Math.max(...results.map((r) => r.worstMs));
const worstPeakMiB = Math.max(...results.map((r) => r.peakGrowthBytes)) / (1 << 20);
const doc = {
  calls: CALLS,
  limits: server.LIMITS,
  budget: { worstMs: BUDGET_MS, peakMiB: BUDGET_PEAK_MIB },
  worstMs,
  worstPeakMiB,
  results,
};
if (process.argv.includes('--table')) {
  for (const r of results) {
    process.stdout.write(`${r.kind.padEnd(8)}${r.label.padEnd(52)}${String(r.inputBytes).padStart(7)} B `
      + `${r.worstMs.toFixed(2).padStart(8)} ms ${(r.peakGrowthBytes / (1 << 20)).toFixed(2).padStart(6)} MiB  ${r.outcome}\n`);
  }
  process.stdout.write(`worst ${worstMs.toFixed(2)} ms (budget ${BUDGET_MS} ms), peak ${worstPeakMiB.toFixed(2)} MiB (budget ${BUDGET_PEAK_MIB} MiB)\n`);
} else {
  process.stdout.write(`${JSON.stringify(doc)}\n`);
}
