// @ts-check
'use strict';
// getTokenDetailed against the built library: every cause it names,
// produced by real misconfigurations (a missing or misspelt KEY_URL, a
// trailing slash, a wrong path, an unregistered key, nothing listening, a
// host that does not resolve, servers that cut, flood or ignore the post,
// a bridge whose post answers nothing, the rate limit) and by the
// reference service's fault modes, each checked field by field. The
// scenarios run in processes of their own (fixtures/e2e-host.js); the
// degrade tokens are opened here with the backend's independent opener.

const test = require('node:test');
const assert = require('node:assert');
const fs = require('node:fs');
const net = require('node:net');

const { startService } = require('../service/service');
const tokens = require('../lib/tokens');
const helpers = require('./fixtures/helpers');
const e2e = require('./fixtures/e2e-common');

const { before, after } = test;

const SERVICE_TOKEN = /^[0-9a-f]{32}$/;
const REGISTERED_KEY = 'e2e-outcome-registered';

let svc;
let registry;
const servers = [];
let prefsDirs = [];

// A loopback server that does `onData` with each connection's first bytes.
async function rawServer(onData) {
  const server = net.createServer((socket) => {
    socket.on('error', () => {});
    socket.once('data', () => onData(socket));
  });
  await new Promise((r) => server.listen(0, '127.0.0.1', () => r(undefined)));
  servers.push(server);
  return `http://127.0.0.1:${helpers.portOf(server)}`;
}

before(async () => {
  svc = await startService({ port: 0 });
  registry = await startService({ port: 0, appKeys: [REGISTERED_KEY] });
});
after(async () => {
  await svc.close();
  await registry.close();
  for (const s of servers) {
    s.close();
    for (const c of s.connections || []) c.destroy();
  }
  for (const d of prefsDirs) fs.rmSync(d, { recursive: true, force: true });
});

function host(config) {
  const prefsDir = e2e.tempDir('outcome');
  prefsDirs.push(prefsDir);
  return e2e.runHost({ prefsDir, appKey: 'e2e-outcome', serviceUrl: svc.url, ...config }, { timeoutMs: 90000 });
}

// Checks one outcome against its expected fields; a degrade token's last
// field, read by the backend's opener, is the outcome's code.
function assertOutcome(outcome, expected, appKey, what) {
  const { token, ...fields } = outcome;
  const seen = {
    kind: fields.kind,
    code: fields.code,
    retry: fields.retry,
    reason: fields.cause && fields.cause.reason,
    httpStatus: fields.cause ? fields.cause.httpStatus : undefined,
  };
  const want = { kind: 'degrade', httpStatus: undefined, ...expected };
  delete want.fix;
  assert.deepStrictEqual(seen, want, `${what}: ${JSON.stringify(fields)}`);
  if (fields.kind !== 'degrade') {
    assert.match(token, SERVICE_TOKEN, what);
    return;
  }
  assert.strictEqual(typeof fields.cause.message, 'string', what);
  assert.ok(fields.cause.message.length > 0, what);
  if (expected.retry === 'never') assert.match(fields.cause.fix, expected.fix, `${what}: fix`);
  else assert.strictEqual(fields.cause.fix, undefined, `${what}: fix only for never`);
  const opened = tokens.openDegradeToken(token, appKey);
  assert.strictEqual(opened.problem, null, `${what}: ${opened.problem}`);
  assert.strictEqual(opened.fields.errorCode, fields.code, `${what}: the token's error field`);
}

test('misconfigurations: each names its cause, whether to retry and what to fix', async () => {
  const closed = await e2e.closedPort();
  const cut = await rawServer((socket) => socket.destroy());
  const flood = await rawServer((socket) => socket.write('HTTP/1.1 200 OK\r\nContent-Length: 9437184\r\n\r\n'));
  const silent = await rawServer(() => {});
  /** @type {any[]} */
  const cases = [
    ['KEY_URL not set', {}, { code: -1002, reason: 'invalid-host', retry: 'never', fix: /set KEY_URL/ }],
    ['a host under .invalid', { KEY_URL: 'https://risk.example.invalid' },
      { code: -1002, reason: 'invalid-host', retry: 'never', fix: /set KEY_URL/ }],
    ['no scheme', { KEY_URL: 'risk.example.com' },
      { code: -1002, reason: 'invalid-url', retry: 'never', fix: /http:\/\/ or https:\/\// }],
    ['a scheme other than http', { KEY_URL: `ftp${svc.url.slice(4)}` },
      { code: -1002, reason: 'invalid-url', retry: 'never', fix: /http:\/\/ or https:\/\// }],
    ['a host that does not resolve', { KEY_URL: 'http://no-such-host.risk-e2e.test' },
      { code: -1002, reason: 'resolve', retry: 'later' }],
    ['nothing listens', { KEY_URL: `http://127.0.0.1:${closed}` }, { code: -1002, reason: 'connect', retry: 'later' }],
    ['a trailing slash', { KEY_URL: `${svc.url}/` },
      { code: -1002, reason: 'http', httpStatus: 404, retry: 'never', fix: /without a trailing slash/ }],
    ['a wrong path', { KEY_URL: `${svc.url}/api/token` },
      { code: -1002, reason: 'http', httpStatus: 404, retry: 'never', fix: /scheme:\/\/host\[:port\] only/ }],
    ['an application key the service does not know', { KEY_URL: registry.url },
      { code: -1002, reason: 'http', httpStatus: 400, retry: 'never', fix: /does not know this application key/ }],
    ['https to a plain http service', { KEY_URL: `https${svc.url.slice(4)}` },
      { code: -1002, reason: 'post-failed', retry: 'later' }],
    ['the connection is cut', { KEY_URL: cut }, { code: -1002, reason: 'receive', retry: 'later' }],
    ['an answer larger than any token answer', { KEY_URL: flood },
      { code: -1002, reason: 'too-large', retry: 'never', fix: /not the token service/ }],
    ['no answer within the post\'s time limit', { KEY_URL: silent }, { code: -1002, reason: 'timeout', retry: 'later' }],
    ['a registered key', { KEY_URL: registry.url }, { kind: 'service', code: 0, reason: null, retry: null }],
  ];
  const run = await host({
    postTimeoutMs: 1000,
    steps: cases.map(([, options], i) => ({
      op: 'detailed',
      appKey: i === cases.length - 1 ? REGISTERED_KEY : `e2e-outcome-misconfig-${i}`,
      options: { ...options, KEY_DELAY_MS_TIME: '5000' },
    })),
  });
  e2e.assertClean(assert, run);
  cases.forEach(([what, , expected], i) => {
    const appKey = i === cases.length - 1 ? REGISTERED_KEY : `e2e-outcome-misconfig-${i}`;
    assertOutcome(run.steps[i].outcome, expected, appKey, what);
  });
});

test('the reference service\'s fault modes: each names its cause', async () => {
  const never = /./;
  /** @type {any[]} */
  const faults = [
    [{ name: 'http500' }, { code: -1002, reason: 'http', httpStatus: 500, retry: 'later' }],
    [{ name: 'empty' }, { code: -1002, reason: 'bad-answer', httpStatus: 200, retry: 'later' }],
    [{ name: 'random' }, { code: -1002, reason: 'undecryptable', httpStatus: 200, retry: 'never', fix: /KEY_MANAGER_ALGORITHM/ }],
    [{ name: 'wrongkey' }, { code: -1002, reason: 'undecryptable', httpStatus: 200, retry: 'never', fix: /application key/ }],
    [{ name: 'nonzip' }, { code: -1003, reason: 'bad-answer', httpStatus: 200, retry: 'never', fix: /not this token service/ }],
    [{ name: 'wrongentry' }, { code: -1003, reason: 'bad-answer', httpStatus: 200, retry: 'never', fix: never }],
    [{ name: 'emptyentry' }, { code: -1003, reason: 'bad-answer', httpStatus: 200, retry: 'never', fix: never }],
    [{ name: 'badproto' }, { code: -1005, reason: 'bad-answer', httpStatus: 200, retry: 'never', fix: /another version/ }],
    [{ name: 'status' }, { code: -1008, reason: 'refused', httpStatus: 200, retry: 'never', fix: /backend/ }],
    [{ name: 'status', status: -10001 }, { code: -1006, reason: 'refused', httpStatus: 200, retry: 'later' }],
    [{ name: 'wrongcommand' }, { code: -1006, reason: 'refused', httpStatus: 200, retry: 'later' }],
    [{ name: 'nobody' }, { code: -1006, reason: 'refused', httpStatus: 200, retry: 'later' }],
    // The post's time limit (1000 ms) ends before the call's wait.
    [{ name: 'hang' }, { code: -1002, reason: 'timeout', retry: 'later' }, '3000'],
    // The call's wait ends first: the exchange goes on.
    [{ name: 'hang' }, { code: 0, reason: 'waited', retry: 'now' }, '300'],
    [{ name: 'slow', delayMs: 1500 }, { code: 0, reason: 'waited', retry: 'now' }, '300'],
  ];
  /** @type {any[]} */
  const steps = [{ op: 'detailed', appKey: 'e2e-outcome-normal' }, { op: 'detailed', appKey: 'e2e-outcome-normal' }];
  faults.forEach(([mode, , delay], i) => {
    steps.push({ op: 'mode', mode: { ...mode, endpoint: 'token', times: 1 } });
    steps.push({ op: 'detailed', appKey: `e2e-outcome-fault-${i}`, options: { KEY_DELAY_MS_TIME: delay || '5000' } });
  });
  // The slow answer lands in memory: the next call has a service token.
  steps.push({ op: 'sleep', ms: 1600 });
  steps.push({ op: 'detailed', appKey: `e2e-outcome-fault-${faults.length - 1}`, options: { KEY_DELAY_MS_TIME: '3000' } });
  // Last: the listener closes for a while.
  steps.push({ op: 'mode', mode: { name: 'down', durationMs: 3000 } });
  steps.push({ op: 'detailed', appKey: 'e2e-outcome-down' });
  const run = await host({ postTimeoutMs: 1000, init: { KEY_URL: svc.url } , steps: steps.map((s) => (
    s.op === 'detailed' ? { ...s, options: { KEY_URL: svc.url, ...(s.options || {}) } } : s)) });
  e2e.assertClean(assert, run);
  const outcomes = run.steps.filter((s) => s.op === 'detailed').map((s) => s.outcome);
  assertOutcome(outcomes[0], { kind: 'service', code: 0, reason: null, retry: null }, '', 'normal, first call');
  assertOutcome(outcomes[1], { kind: 'stored', code: 0, reason: null, retry: null }, '', 'normal, from memory');
  faults.forEach(([mode, expected], i) => {
    assertOutcome(outcomes[2 + i], expected, `e2e-outcome-fault-${i}`, JSON.stringify(mode));
  });
  const landed = outcomes[2 + faults.length];
  assert.ok(landed.kind === 'stored' || landed.kind === 'service', JSON.stringify(landed));
  assert.match(landed.token, SERVICE_TOKEN);
  assert.strictEqual(landed.cause, null);
  assertOutcome(outcomes[3 + faults.length], { code: -1002, reason: 'connect', retry: 'later' }, 'e2e-outcome-down', 'down');
  // The waits: a waited call ends after its KEY_DELAY_MS_TIME, not before.
  const detailedSteps = run.steps.filter((s) => s.op === 'detailed');
  for (const i of [faults.length - 1, faults.length]) {
    assert.ok(detailedSteps[1 + i].ms >= 290, `step ${i}: ${detailedSteps[1 + i].ms} ms`);
  }
});

test('a post that answers nothing, and the rate limit that follows 16 exchanges', async () => {
  const appKey = 'e2e-outcome-limit';
  const call = (options = {}) => ({ op: 'detailed', appKey, options: { KEY_URL: 'http://127.0.0.1:9', ...options } });
  const run = await host({
    postAnswer: 'none',
    steps: [...Array.from({ length: 16 }, () => call()), call(), call({ PRIVATE_CLEAR_TOKEN: 'clear' })],
  });
  e2e.assertClean(assert, run);
  const outcomes = run.steps.map((s) => s.outcome);
  const noAnswer = { code: -1002, reason: 'no-answer', retry: 'never', fix: /post must answer/ };
  for (let i = 0; i < 16; i++) assertOutcome(outcomes[i], noAnswer, appKey, `exchange ${i + 1}`);
  assertOutcome(outcomes[16], { code: -1002, reason: 'rate-limited', retry: 'later' }, appKey, 'the 17th');
  const wait = outcomes[16].cause.retryAfterMs;
  assert.ok(wait > 60000 - run.ms - 1000 && wait <= 60000, `retryAfterMs ${wait}`);
  assertOutcome(outcomes[17], noAnswer, appKey, 'PRIVATE_CLEAR_TOKEN lifts the limit');
});
