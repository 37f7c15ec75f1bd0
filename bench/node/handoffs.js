// @ts-check
'use strict';
// The hand-offs between threads of one cold getTokenNative, counted from a
// system-call trace (strace) of a process of its own (token.js cold
// --prewarm --marks): between the two marks, every thread started, every
// futex wake that woke a thread (condition variables, semaphores, the
// worker launcher) and every wake-up of the script thread's event loop (an
// 8-byte eventfd write: libuv's async send behind the thread-safe
// function). Each is a thread that had to be scheduled on another CPU;
// engine threads count too (the engine's own helpers), the same in every
// run.
//
//   node bench/node/handoffs.js --url U [--runs N]   (RISK_BUILD_DIR: the build)
//
// Prints one JSON object (bench/node/common.js format) with the medians
// over the runs. Returns null figures when strace is missing.
const { spawn, spawnSync } = require('node:child_process');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const c = require('./common');

const SHM = fs.existsSync('/dev/shm') ? '/dev/shm' : os.tmpdir();

// Counts the hand-offs in the trace lines between the marks.
function countHandoffs(lines) {
  const from = lines.findIndex((l) => l.includes(c.MARK_START));
  const to = lines.findIndex((l) => l.includes(c.MARK_END));
  if (from < 0 || to < 0) return null;
  const counts = { threads: 0, wakes: 0, loopWakes: 0 };
  const wakePending = new Set();  // pids with an unfinished FUTEX_WAKE
  for (const line of lines.slice(from + 1, to)) {
    const pid = line.split(' ', 1)[0];
    if (/\bclone3?\(/.test(line) && !line.includes('resumed>')) {
      counts.threads++;
    } else if (/futex\([^,]*, FUTEX_WAKE/.test(line)) {
      if (line.includes('<unfinished ...>')) {
        wakePending.add(pid);
      } else {
        const m = /\) +=\s*(\d+)/.exec(line);
        if (m) counts.wakes += Number(m[1]) > 0 ? 1 : 0;
      }
    } else if (line.includes('<... futex resumed>') && wakePending.has(pid)) {
      wakePending.delete(pid);
      const m = /\) +=\s*(\d+)/.exec(line);
      if (m) counts.wakes += Number(m[1]) > 0 ? 1 : 0;
    } else if (/\bwrite\(\d+, "\\1\\0\\0\\0\\0\\0\\0\\0", 8\) +=\s*8/.test(line)) {
      counts.loopWakes++;
    }
  }
  counts.total = counts.threads + counts.wakes + counts.loopWakes;
  return counts;
}

// One traced cold call; resolves to its counts (null when the marks are
// missing).
function tracedCold(url) {
  const trace = path.join(os.tmpdir(), `bench-handoffs-${process.pid}-${Date.now()}.strace`);
  const args = ['-f', '-qq', '-s', '16', '-o', trace,
    '-e', 'trace=clone,clone3,futex,write,stat,newfstatat,statx',
    process.execPath, path.join(__dirname, 'token.js'), 'cold', '--url', url, '--prewarm', '--marks'];
  return new Promise((resolve, reject) => {
    const child = spawn('strace', args, {
      env: { ...process.env, RISK_LOG: 'off', BENCH_PREFS_DIR: SHM },
      stdio: ['ignore', 'ignore', 'inherit'],
    });
    child.on('error', reject);
    child.on('close', (code) => {
      try {
        if (code !== 0) throw new Error(`traced cold call failed with ${code}`);
        resolve(countHandoffs(fs.readFileSync(trace, 'utf8').split('\n')));
      } catch (e) {
        reject(e);
      } finally {
        fs.rmSync(trace, { force: true });
      }
    });
  });
}

function haveStrace() {
  return spawnSync('sh', ['-c', 'command -v strace'], { encoding: 'utf8' }).status === 0;
}

// Runs n traced cold calls; the median of each count, and every run's.
async function handoffSuite(url, n) {
  if (!haveStrace()) return null;
  const runs = [];
  for (let i = 0; i < n; i++) {
    c.progress(`cold getTokenNative under strace, hand-offs counted: process ${i + 1} of ${n}`);
    const counts = await tracedCold(url);
    if (counts) runs.push(counts);
  }
  if (!runs.length) return null;
  const med = (key) => c.quantile(runs.map((r) => r[key]), 0.5);
  return {
    suite: 'handoffs',
    figures: [
      { id: 'cold.handoffs', label: 'cold getTokenNative: hand-offs between threads (threads started + futex wakes + event-loop wake-ups)', value: med('total'), unit: '', runs: runs.map((r) => r.total) },
      { id: 'cold.handoffs.threads', label: 'of which threads started', value: med('threads'), unit: '' },
      { id: 'cold.handoffs.wakes', label: 'of which futex wakes that woke a thread', value: med('wakes'), unit: '' },
      { id: 'cold.handoffs.loopWakes', label: 'of which wake-ups of the script thread\'s loop', value: med('loopWakes'), unit: '' },
    ],
  };
}

module.exports = { handoffSuite, countHandoffs };

if (require.main === module) {
  const i = process.argv.indexOf('--url');
  const r = process.argv.indexOf('--runs');
  const runs = r >= 0 ? Number(process.argv[r + 1]) : 5;
  const main = async () => {
    let service = null;
    let url = i >= 0 ? process.argv[i + 1] : undefined;
    if (!url) {
      const { startService } = require(path.join(c.ROOT, 'js', 'service', 'service.js'));
      service = await startService({ port: 0 });
      url = service.url;
      // The service's first requests compile its own code: one call warms it.
      await tracedCold(url).catch(() => null);
    }
    try {
      process.stdout.write(`${JSON.stringify(await handoffSuite(url, runs))}\n`);
    } finally {
      if (service) await service.close();
    }
  };
  main().catch((err) => {
    console.error(err);
    process.exit(1);
  });
}
