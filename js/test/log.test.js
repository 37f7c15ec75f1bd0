// @ts-check
'use strict';
// Where the library's own log lines go: nowhere by default, stderr or a file
// when the environment or setup says so, or a function of the script, which
// gets them on its thread through a bounded queue (dropped and counted when
// full) and whose exceptions stay out of the process. Each case runs
// fixtures/log-host.js in a child process with a time limit.

const { test } = require('node:test');
const assert = require('node:assert');
const fs = require('node:fs');
const path = require('node:path');

const e2e = require('./fixtures/e2e-common');

const HOST = path.join(__dirname, 'fixtures', 'log-host.js');
// A line of the library on the script thread (setScene), and one of a
// worker thread (the failed exchange).
const SCRIPT_LINE = 'calling run_in_main_thread_blocking in main thread, this is not usuall';
const LIBRARY_LINE = /^\[Risk\] /m;

async function run(destination, env = {}, args = []) {
  const dir = e2e.tempDir('log');
  try {
    const r = await e2e.runNode([HOST, destination, ...args], { timeoutMs: 30000, env: { RISK_PREFS_DIR: dir, ...env } });
    const why = `${destination} ${JSON.stringify(env)}: exit ${r.code} ${r.signal || ''}${r.killed ? ' (killed)' : ''}\n`
      + `stdout:\n${r.stdout}\nstderr:\n${r.stderr}`;
    assert.strictEqual(r.killed, false, `did not end by itself\n${why}`);
    assert.strictEqual(r.code, 0, why);
    const m = /^LOG (.*)$/m.exec(r.stdout);
    assert.ok(m, why);
    return { ...r, ...JSON.parse(m[1]), why };
  } finally {
    fs.rmSync(dir, { recursive: true, force: true });
  }
}

test('the library\'s log goes nowhere unless the host or the environment turns it on', async () => {
  const dir = e2e.tempDir('log-files');
  try {
    const file = (name) => path.join(dir, name);
    // [destination, environment, on stderr, the file that gets the lines]
    /** @type {any[]} */
    const cases = [
      ['none', {}, false, null],
      ['none', { RISK_LOG: 'on' }, true, null],
      ['none', { RISK_LOG_FILE: file('env.log') }, false, 'env.log'],
      ['none', { RISK_LOG: 'off', RISK_LOG_FILE: file('unused.log') }, false, null],
      ['off', { RISK_LOG: 'on' }, false, null],
      ['stderr', {}, true, null],
      ['stderr', { RISK_LOG: 'off' }, true, null],
      [`file:${file('setup.log')}`, { RISK_LOG: 'on' }, false, 'setup.log'],
      [`file:${path.join(dir, 'missing', 'x.log')}`, {}, true, null],
    ];
    for (const [destination, env, onStderr, logFile] of cases) {
      const r = await run(destination, env);
      const what = `${destination} ${JSON.stringify(env)}`;
      if (onStderr) {
        assert.ok(r.stderr.includes(`[Risk] ${SCRIPT_LINE}`), `${what}: on stderr\n${r.why}`);
      } else {
        assert.doesNotMatch(r.stderr, LIBRARY_LINE, `${what}: not on stderr\n${r.why}`);
      }
      if (destination.includes('missing')) assert.match(r.stderr, /RISK_LOG_FILE_UNAVAILABLE/, r.why);
      if (logFile !== null) {
        const text = fs.readFileSync(file(logFile), 'utf8');
        assert.ok(text.includes(`[Risk] ${SCRIPT_LINE}\n`), `${what}: in ${logFile}\n${text}`);
      }
      assert.deepStrictEqual(r.received, [], what);
    }
    assert.ok(!fs.existsSync(file('unused.log')), 'RISK_LOG=off opens no file');
  } finally {
    fs.rmSync(dir, { recursive: true, force: true });
  }
});

test('a log function gets the lines of the script thread and of library threads, on the script thread', async () => {
  for (const destination of ['function', 'throwing']) {
    const r = await run(destination, { RISK_LOG: 'on' });
    assert.ok(r.received.includes(SCRIPT_LINE), `${destination}\n${r.why}`);
    // The failed exchange is logged by its worker thread.
    assert.ok(r.received.length >= 2, `${destination}: ${JSON.stringify(r.received)}`);
    assert.ok(r.received.every((l) => !l.startsWith('[Risk]')), 'the text without its tag');
    assert.strictEqual(r.dropped, 0, destination);
    assert.doesNotMatch(r.stderr, LIBRARY_LINE, `${destination}: only the function\n${r.why}`);
    assert.doesNotMatch(r.stderr, /a log function that throws/, r.why);
  }
});

test('a flood of lines fills the function\'s queue: the rest is dropped, counted, and the log goes on', async () => {
  const count = 3000;
  const r = await run('flood', {}, [String(count)]);
  const flood = r.received.filter((l) => l === SCRIPT_LINE).length;
  // All the setScene lines were queued during one turn: the queue took at
  // most 1024 of them (fewer by the lines setup queued first).
  assert.ok(flood <= 1024 && flood > 1000, `${flood} of the flood delivered`);
  assert.ok(r.dropped >= count - flood, `dropped ${r.dropped}`);
  const after = r.received.slice(r.received.lastIndexOf(SCRIPT_LINE) + 1);
  assert.ok(after.length >= 1, 'lines after the flood arrive');
});

test('the log function of an ended worker leaves the default sink in place', async () => {
  const dir = e2e.tempDir('log-worker');
  try {
    const logFile = path.join(dir, 'risk.log');
    const r = await run('worker', { RISK_LOG_FILE: logFile });
    const text = fs.readFileSync(logFile, 'utf8');
    assert.ok(text.includes(`[Risk] ${SCRIPT_LINE}\n`), `${text}\n${r.why}`);
  } finally {
    fs.rmSync(dir, { recursive: true, force: true });
  }
});
