#!/usr/bin/env node
// @ts-check
'use strict';
// The demonstration: the built library in a Node host against the reference
// service on a free loopback port, with preferences in a temporary directory.
// It shows, in order:
//   1. the first token: fetched from the service;
//   2. the second call: the same token, from memory, no request;
//   3. a fresh process over the same preferences: its business sign carries
//      the stored token without a request, and its first token call checks in
//      with the service, sending the stored token as the previous one;
//   4. the service down: a degrade token, opened here (its fields, the error
//      code of the failed exchange, the request data it carries);
//   5. a business sign and the JSON it seals;
//   6. a situation report as the service received it, and its answer.
//
//   node js/demo.js [--json]      (--json: the same report for machines)
//
// The library is RISK_LIBRARY, else build/libQuonRiskComm.so. Everything it
// creates (service, child process, temporary directory) is gone when it
// ends; it ends by itself in a few seconds, or fails with one line.

const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { spawn } = require('node:child_process');

const APP_KEY = 'demo-3c9e71f0a2d54b86';
const APP_INFO = Object.freeze({ name: 'com.example.risk.demo', versionCode: 40902, versionName: '4.9.2' });
const OAID = '6f1d2c3b-4a59-4e87-9d10-2b3c4d5e6f70';
const DELAY_MS = 3000;          // how long a token call may wait for the service
const CHILD_TIMEOUT_MS = 20000;
const OVERALL_TIMEOUT_MS = 60000;
const GUARD_SETTLE_MS = 300;
const SIGN_TEXT = 'order A-1001: pay 10.00';

class DemoError extends Error {}

const codes = require('./lib/codes');

// Every post's outcome, as the bridge reports it.
/** @type {import('./index').PostOutcome[]} */
const posts = [];

// The library's log file, when the demonstration keeps it (see main).
/** @type {string | null} */
let logFile = null;
let logSeen = 0;

// The log lines written since the last call.
function newLogLines() {
  if (logFile === null) return [];
  let text = '';
  try {
    text = fs.readFileSync(logFile, 'utf8');
  } catch (e) {
    return [];
  }
  const fresh = text.slice(logSeen);
  logSeen = text.length;
  return fresh.split('\n').map((l) => l.replace(/^\[Risk\] /, '')).filter((l) => l.trim() !== '');
}

function loadRisk() {
  const risk = require('./index');
  try {
    risk.load();
  } catch (e) {
    const file = process.env.RISK_LIBRARY || risk.DEFAULT_LIBRARY;
    throw new DemoError(`cannot load the library ${file}: ${e.message.split('\n')[0]} (build it with scripts/run.sh)`);
  }
  return risk;
}

// One SDK for this process over prefsDir. Server events go to onServerEvent.
/**
 * @param {typeof import('./index')} risk
 * @param {string} prefsDir
 * @param {Record<string, string>} options
 * @param {(key: string, text: string) => void} [onServerEvent]
 * @returns {number} the SDK handle
 */
function openSdk(risk, prefsDir, options, onServerEvent) {
  const bridge = risk.createBridge({
    prefsDir,
    oaid: OAID,
    appSignature: 'demo-app-signature',
    postTimeoutMs: DELAY_MS,
    onServerEvent,
    onPost: (outcome) => posts.push(outcome),
    onError: () => {},
  });
  bridge.warmUp();
  const handle = risk.setup(bridge, APP_INFO, bridge.deviceInfo());
  if (!handle) throw new DemoError('the library refused setup (it was set up before in this process)');
  risk.init(handle, APP_KEY, options);
  return handle;
}

// --- the fresh process --------------------------------------------------

// Runs in the child: a business sign and a token over the parent's
// preferences, printed as one JSON line.
/** @typedef {{ prefsDir: string, options: Record<string, string> }} ChildConfig */
/** @param {ChildConfig} config */
async function child(config) {
  const risk = loadRisk();
  const tokens = require('./lib/tokens');
  const handle = openSdk(risk, config.prefsDir, config.options);
  const t0 = Date.now();
  const sign = await risk.getBusinessSign(handle, APP_KEY, {}, 'fresh process');
  const signMs = Date.now() - t0;
  const opened = tokens.openBusinessSign(sign, APP_KEY, 'fresh process');
  const t1 = Date.now();
  const token = await risk.getToken(handle, APP_KEY, {});
  process.stdout.write(`${JSON.stringify({
    signToken: opened && opened.fields ? opened.fields.ulvok || '' : null,
    signMs,
    token,
    tokenMs: Date.now() - t1,
  })}\n`);
}

/**
 * @param {ChildConfig} config
 * @returns {Promise<any>} what the child printed
 */
function runChild(config) {
  return new Promise((resolve, reject) => {
    const p = spawn(process.execPath, [__filename, '--child', JSON.stringify(config)], {
      stdio: ['ignore', 'pipe', 'pipe'],
      env: { ...process.env, RISK_LOG: 'off' },
    });
    let out = '';
    let err = '';
    p.stdout.on('data', (c) => { out += c; });
    p.stderr.on('data', (c) => { err += c; });
    const timer = setTimeout(() => p.kill('SIGKILL'), CHILD_TIMEOUT_MS);
    p.on('close', (code, signal) => {
      clearTimeout(timer);
      if (code !== 0) {
        reject(new DemoError(`the fresh process failed (${signal || `status ${code}`}): ${err.trim().split('\n').pop() || 'no output'}`));
        return;
      }
      try {
        resolve(JSON.parse(/** @type {string} */ (out.trim().split('\n').pop())));
      } catch (e) {
        reject(new DemoError('the fresh process printed no result'));
      }
    });
  });
}

// --- the demonstration ---------------------------------------------------

/**
 * @param {any} rec a record of the service
 * @returns {any}
 */
function requestSummary(rec) {
  if (!rec) return null;
  return {
    seq: rec.seq,
    endpoint: rec.endpoint,
    scheme: rec.scheme,
    signOk: rec.signOk,
    error: rec.error,
    dataKeys: rec.entries ? rec.entries.length : 0,
    previousToken: rec.header ? rec.header.ulvok || '' : '',
  };
}

// What the service's verify call says of a token, as the app's backend asks.
/**
 * @param {string} url
 * @param {string} secret
 * @param {string} token
 * @returns {Promise<any>}
 */
async function verifyToken(url, secret, token) {
  const res = await fetch(`${url}/v1/verify`, {
    method: 'POST',
    headers: { Authorization: `Bearer ${secret}`, 'Content-Type': 'application/json' },
    body: JSON.stringify({ token }),
  });
  return { status: res.status, .../** @type {object} */ (await res.json()) };
}

async function demonstrate() {
  const risk = loadRisk();
  const catalogue = require('./lib/catalogue');
  const tokens = require('./lib/tokens');
  const { startService } = require('./service/service');

  const started = Date.now();
  /**
   * @type {{ library: string, appKey: string, appName: string, service: string | null,
   *   steps: Record<string, any>, ms?: number, ok?: boolean }}
   */
  const report = {
    library: path.resolve(process.env.RISK_LIBRARY || risk.DEFAULT_LIBRARY),
    appKey: APP_KEY,
    appName: APP_INFO.name,
    service: null,
    steps: {},
  };
  const prefsDir = fs.mkdtempSync(path.join(os.tmpdir(), 'risk-demo-'));
  // The token service in its development mode (fault modes for step 4) on
  // its embedded database, a file in a temporary directory of its own.
  const dbDir = fs.mkdtempSync(path.join(os.tmpdir(), 'risk-demo-service-'));
  const svc = await startService({ port: 0, db: path.join(dbDir, 'risk-service.db') });
  const { secret } = await svc.registerApp({ appKey: APP_KEY });
  report.service = svc.url;
  /** @type {Array<{ key: string, text: string }>} */
  const serverEvents = [];
  /** @type {(() => void) | null} */
  let onEvent = null;
  try {
    const options = {
      KEY_URL: svc.url,
      KEY_SITUATION_URL: svc.url,
      KEY_DELAY_MS_TIME: String(DELAY_MS),
      userId: 'demo-user-42',
    };
    const handle = openSdk(risk, prefsDir, options, (key, text) => {
      serverEvents.push({ key, text });
      if (onEvent) onEvent();
    });
    const newRequests = (/** @type {number} */ from) => svc.requests.slice(from);
    // The runtime guard makes its first scan as setup returns; a finding
    // that lands after the first exchange changes the event count, and a
    // changed count makes the next call refresh. Let the scan land first.
    await new Promise((r) => setTimeout(r, GUARD_SETTLE_MS));

    // 1. The first token comes from the service.
    let mark = svc.requests.length;
    let t0 = Date.now();
    const first = await risk.getToken(handle, APP_KEY, {});
    report.steps.firstToken = {
      token: first,
      ms: Date.now() - t0,
      degrade: risk.isDegradeToken(handle, APP_KEY, first),
      requests: newRequests(mark).map(requestSummary),
      verified: await verifyToken(svc.url, secret, first),
    };

    // 2. The second call is answered from memory.
    mark = svc.requests.length;
    t0 = Date.now();
    const second = await risk.getToken(handle, APP_KEY, {});
    report.steps.secondToken = {
      token: second,
      ms: Date.now() - t0,
      sameAsFirst: second === first,
      requests: newRequests(mark).map(requestSummary),
    };

    // 3. A fresh process over the same preferences.
    mark = svc.requests.length;
    const fresh = await runChild({ prefsDir, options });
    const freshRequests = newRequests(mark).map(requestSummary);
    report.steps.freshProcess = {
      ...fresh,
      signCarriesStoredToken: fresh.signToken === second,
      requests: freshRequests,
      previousTokenSent: freshRequests.length > 0 && freshRequests[0].previousToken === second,
    };

    // 4. The service down: a refresh fails and a degrade token comes back.
    await svc.setMode('down');
    const postsBefore = posts.length;
    newLogLines();
    t0 = Date.now();
    const degrade = await risk.getToken(handle, APP_KEY, { PRIVATE_FORCE_REFRESH: 'true' });
    const degradeMs = Date.now() - t0;
    const degradePosts = posts.slice(postsBefore);
    const degradeLog = newLogLines();
    await svc.setMode('normal');
    const opened = tokens.openDegradeToken(degrade, APP_KEY);
    const data = opened.request ? opened.request.entries.map(([key, value]) => {
      const d = catalogue.describe(key);
      return { key, value, meaning: d.meaning, identifying: d.identifying };
    }) : [];
    report.steps.degradeToken = {
      token: degrade,
      ms: degradeMs,
      degrade: risk.isDegradeToken(handle, APP_KEY, degrade),
      fields: opened.fields ? {
        appKey: opened.fields.appKey,
        sign: opened.fields.sign,
        sdkVersion: opened.fields.sdkVersion,
        alg: opened.fields.alg,
        error: opened.fields.error,
      } : null,
      scheme: opened.scheme || null,
      errorCode: opened.fields ? opened.fields.errorCode : null,
      errorMeaning: opened.fields ? codes.describeCode(opened.fields.errorCode).meaning : null,
      post: degradePosts.length ? degradePosts.map(codes.describePost).join('; ') : 'none made',
      log: degradeLog,
      signOk: Boolean(opened.signOk),
      problem: opened.problem || null,
      header: opened.request ? opened.request.header : null,
      data,
    };

    // 5. A business sign, opened with the application key and the text.
    risk.setScene(handle, APP_KEY, 'checkout');
    t0 = Date.now();
    const sign = await risk.getBusinessSign(handle, APP_KEY, { orderId: 'A-1001' }, SIGN_TEXT);
    const openedSign = tokens.openBusinessSign(sign, APP_KEY, SIGN_TEXT);
    report.steps.businessSign = {
      text: SIGN_TEXT,
      sign,
      ms: Date.now() - t0,
      json: openedSign ? openedSign.json : null,
      fields: openedSign ? openedSign.fields : null,
    };

    // 6. A situation report; the service's answer comes back through the bridge.
    mark = svc.requests.length;
    const seen = serverEvents.length;
    const answered = new Promise((/** @type {(value?: unknown) => void} */ resolve) => {
      const timer = setTimeout(resolve, DELAY_MS * 3);
      onEvent = () => {
        if (serverEvents.length > seen) {
          clearTimeout(timer);
          resolve();
        }
      };
    });
    t0 = Date.now();
    risk.scheduleSituationUpdate(handle, APP_KEY, {}, 0);
    await answered;
    const situationRecord = newRequests(mark).find((r) => r.endpoint === 'situation');
    report.steps.situation = {
      ms: Date.now() - t0,
      report: situationRecord ? situationRecord.json : null,
      scheme: situationRecord ? situationRecord.scheme : null,
      signOk: situationRecord ? situationRecord.signOk : null,
      answer: serverEvents.length > seen ? serverEvents[seen].text : null,
    };
  } finally {
    onEvent = null;
    await svc.close();
    fs.rmSync(prefsDir, { recursive: true, force: true });
    fs.rmSync(dbDir, { recursive: true, force: true });
  }
  report.ms = Date.now() - started;
  report.ok = check(report);
  return report;
}

// Whether each step showed what it should.
/** @param {any} r the report */
function check(r) {
  const s = r.steps;
  return Boolean(
    s.firstToken && !s.firstToken.degrade && s.firstToken.requests.length === 1
    && s.secondToken.sameAsFirst && s.secondToken.requests.length === 0
    && s.freshProcess.signCarriesStoredToken && s.freshProcess.previousTokenSent
    && s.degradeToken.degrade && s.degradeToken.signOk && s.degradeToken.errorCode < 0
    && s.businessSign.fields && s.businessSign.fields.K3000 === 'checkout'
    && s.situation.report && s.situation.answer,
  );
}

// --- the readable report ------------------------------------------------

/**
 * @param {unknown} text
 * @param {number} [n]
 */
function short(text, n = 24) {
  if (text === null || text === undefined) return '(none)';
  const t = String(text);
  return t.length > n ? `${t.slice(0, n)}… (${t.length} characters)` : t;
}

/**
 * @param {number} n
 * @param {string} word
 */
function plural(n, word) {
  return `${n} ${word}${n === 1 ? '' : 's'}`;
}

/**
 * @param {any} r the report
 * @returns {string}
 */
function format(r) {
  const catalogue = require('./lib/catalogue');
  const s = r.steps;
  /** @type {string[]} */
  const out = [];
  const line = (/** @type {string} */ label, /** @type {string} */ text) => out.push(`${label.padEnd(18)}${text}`);
  const more = (/** @type {string} */ text) => out.push(`${''.padEnd(18)}${text}`);
  out.push(`QuonRiskComm demonstration — library ${r.library}`);
  out.push(`token service ${r.service} (SQLite), application key "${r.appKey}", preferences in a temporary directory`);
  out.push('');

  const f = s.firstToken;
  line('1. first token', `${f.token}`);
  more(`fetched from the service in ${f.ms} ms (${plural(f.requests.length, 'request')}`
    + `${f.requests[0] ? `, ${f.requests[0].scheme} scheme, ${f.requests[0].dataKeys} data keys, signature ${f.requests[0].signOk ? 'checked' : 'WRONG'}` : ''})`);
  const v = f.verified;
  more(v.valid ? `verified by the service's /v1/verify: valid until ${new Date(v.expiresAt).toISOString()}, `
    + `installation ${v.installationId}, device clock ${v.clockOffsetMs} ms off`
    : `the service's /v1/verify: not valid (${v.reason || `HTTP ${v.status}`})`);
  const t2 = s.secondToken;
  line('2. second call', `${t2.sameAsFirst ? 'the same token' : `a different token ${t2.token}`}, from memory in ${t2.ms} ms`
    + ` (${plural(t2.requests.length, 'request')})`);

  const p = s.freshProcess;
  line('3. new process', `its business sign carries ${p.signCarriesStoredToken ? 'the stored token' : `token ${short(p.signToken)}`}`
    + ` (read back from the sealed preferences in ${p.signMs} ms)`);
  more(`its first token call checked in with the service (${plural(p.requests.length, 'request')}`
    + `${p.previousTokenSent ? ', sending the stored token as the previous one' : ''}): ${p.token}`);

  /** @type {Record<string, any> & { log: string[], data: Array<{ key: string, value: string, meaning: string, identifying: string }> }} */
  const d = s.degradeToken;
  line('4. service down', `degrade token, ${short(d.token, 40)}, in ${d.ms} ms`);
  if (d.fields) {
    more(`fields: key "${d.fields.appKey}", SDK ${d.fields.sdkVersion}, scheme ${d.scheme}, `
      + `error ${d.errorCode} (${d.errorMeaning})`);
  }
  more(`cause: the post ${d.post}`);
  const exchange = d.log.filter((l) => /http post error|http cost|Risk Server Response|fai to get/.test(l));
  if (exchange.length) more(`the library logged: ${exchange.join(' | ')}`);
  const ident = d.data.filter((e) => e.identifying === 'yes');
  more(`carries the sealed request (signature ${d.signOk ? 'matches' : 'WRONG'}): ${plural(d.data.length, 'data key')},`
    + ` ${ident.length} identifying the device on their own:`);
  for (const e of ident) more(`  ${e.key.padEnd(12)} ${short(e.value, 40)} — ${e.meaning}`);
  more('and among the others:');
  const sample = d.data.filter((e) => ['K2', 'K30', 'K292', 'K451', 'user_userId'].includes(e.key));
  for (const e of sample) more(`  ${e.key.padEnd(12)} ${short(e.value, 40)} — ${e.meaning}`);
  more('("node js/cli.js decode --app-key KEY TOKEN" lists every key)');

  const b = s.businessSign;
  line('5. business sign', `${short(b.sign, 40)} for "${b.text}"`);
  if (b.fields) {
    const n = Object.keys(b.fields).length;
    more(`opens to a JSON object of ${n} fields, among them:`);
    for (const k of ['ulvok', 'timestamp', 'K3000', 'K3002', 'user_orderId', 'os_type', 'K8', 'K353']) {
      if (k in b.fields) more(`  ${k.padEnd(12)} ${JSON.stringify(b.fields[k])} — ${catalogue.describe(k).meaning}`);
    }
  } else {
    more('it did not open');
  }

  const st = s.situation;
  line('6. situation', `report as the service received it (${st.scheme || '-'} scheme, signature ${st.signOk ? 'checked' : 'WRONG'}):`);
  if (st.report) {
    for (const [k, v] of Object.entries(st.report)) more(`  ${k.padEnd(12)} ${short(v, 60)}`);
  } else {
    more('  (none arrived)');
  }
  more(`the service's answer, through onSituationServerEvent: ${st.answer === null ? '(none)' : st.answer}`);
  out.push('');
  out.push(`${r.ok ? 'all steps showed what they should' : 'SOME STEPS DID NOT SHOW WHAT THEY SHOULD'}; `
    + `done in ${(r.ms / 1000).toFixed(1)} s, temporary files removed`);
  return out.join('\n');
}

// --- main ----------------------------------------------------------------

/** @param {string[]} argv */
async function main(argv) {
  if (argv[0] === '--child') {
    await child(JSON.parse(argv[1]));
    return 0;
  }
  const json = argv.includes('--json');
  const unknown = argv.filter((a) => a !== '--json');
  if (unknown.length) throw new DemoError(`unknown argument ${unknown[0]} (usage: demo.js [--json])`);
  // The library's log goes to RISK_LOG_FILE when set, else to a temporary
  // file (RISK_LOG notwithstanding); it is read back for the cause of the
  // failed exchange.
  if (process.env.RISK_LOG_FILE) {
    logFile = process.env.RISK_LOG_FILE;
    try {
      logSeen = fs.statSync(logFile).size;
    } catch (e) {
      logSeen = 0;
    }
  } else {
    const logDir = fs.mkdtempSync(path.join(os.tmpdir(), 'risk-demo-log-'));
    logFile = path.join(logDir, 'risk.log');
    delete process.env.RISK_LOG;
    process.env.RISK_LOG_FILE = logFile;
    process.once('exit', () => fs.rmSync(logDir, { recursive: true, force: true }));
  }
  const guard = setTimeout(() => {
    process.stderr.write(`demo: did not finish within ${OVERALL_TIMEOUT_MS / 1000} s\n`);
    process.exit(1);
  }, OVERALL_TIMEOUT_MS);
  guard.unref();
  const report = await demonstrate();
  process.stdout.write(json ? `${JSON.stringify(report, null, 2)}\n` : `${format(report)}\n`);
  return report.ok ? 0 : 1;
}

if (require.main === module) {
  main(process.argv.slice(2)).then((code) => {
    process.exitCode = code;
  }, (e) => {
    process.stderr.write(`demo: ${e instanceof DemoError ? e.message : `internal error: ${e && e.message}`}\n`);
    process.exitCode = 1;
  });
}

module.exports = { format, check };
