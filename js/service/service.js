'use strict';
// The token and situation service.
//
// Serves the two paths the library posts to:
//   "/udid/m1"   token exchange: body = seal(zip{"data": TokenRequest}),
//                answer = seal(zip{"data": TokenResponse})
//   "/udid/sa-m" situation report: body = seal(zip{"data": JSON text}),
//                answer = seal(zip{"data": answer text})
// and, for the app's backends and the operator:
//   POST /v1/verify  is this token ours, still valid, and whose; the signals,
//                    level and reasons its device's data raised (openapi.json)
//   POST /v1/forget  deletes everything kept about one installation
//   GET  /health     200 while the database answers, 503 otherwise
//   GET  /metrics    Prometheus text
// The scheme follows the query: alg=gm selects the gm scheme, no alg the
// legacy one; both are keyed by the appKey parameter, which must name a
// registered app allowing that scheme. The app is looked up before the body
// is read: a request for an unknown key costs one indexed lookup and is
// answered 403 without its body. A body is read up to maxBodyBytes, opened,
// its signature checked and parsed; one that does not open, or fails a
// check, is answered 400 with an empty body, whatever the mode. A token is
// committed to the store (./store: SQLite or PostgreSQL) before it is
// answered; when the store fails, the exchange is answered 503 (the library
// then makes a degrade token) and the service serves again as soon as the
// store answers.
//
// Two modes:
//   production   (development: false) refuses unregistered keys, keeps no
//                request, has no admin endpoint.
//   development  (the default of startService) is the integration test kit:
//                an unknown key is registered on its first request (with
//                both schemes and a secret nobody knows; registerApp gives
//                one that is known), every request is recorded in memory
//                (and as JSON lines in a file when asked), answers can be
//                set (token, uuid, situationAnswer) and faults played, by
//                setMode or POST /__admin/mode. Without a db it keeps its
//                store in memory.
//
// Fault modes (development only), applied to requests that opened:
//   normal        sealed answer with a fresh token
//   down          the exchange's listener is closed: connections are
//                 refused; the admin listener (below) stays up
//   http500       status 500, empty body
//   slow          the normal answer after delayMs
//   hang          never answers (the connection stays open until close())
//   empty         status 200, empty body
//   random        status 200, `length` random bytes that do not open
//   wrongkey      the normal answer sealed under another application key
//   nonzip        the answer message sealed without its archive
//   wrongentry    the archive's only entry is "Data" instead of "data"
//   emptyentry    the archive's entry "data" is empty
//   badproto      sealed archive of bytes that are not a TokenResponse
//   status        TokenResponse with `status` (default -10006), empty body
//   wrongcommand  TokenResponse with `command` (default 1001), status 0, a token
//   nobody        TokenResponse with status 0, command 1002 and an empty body
// The last four concern the token message only; situation reports are then
// answered normally. A mode may be limited to one `endpoint` ("token" or
// "situation") and to the next `times` requests, after which it reverts to
// normal; "down" may be given `durationMs`, after which the service listens
// again on the same port.
//
// The development mode also listens on an admin port of its own (adminPort,
// a free one by default; adminUrl) that serves only /__admin/: it stays up
// in every mode, so that a service switched to "down" over HTTP can be
// switched back. While the exchange's listener is up it serves /__admin/ too.
//
// Everything runs on the Node event loop of the caller; close() ends every
// connection and timer so that the process can exit by itself (in
// production it first lets the requests under way finish, up to graceMs).

const crypto = require('node:crypto');
const fs = require('node:fs');
const http = require('node:http');
const https = require('node:https');
const path = require('node:path');
// The exchange's codecs: lib/ beside this file in the service's package, the
// app package's lib/ in the repository.
const LIB = fs.existsSync(path.join(__dirname, 'lib', 'wire.js')) ? './lib' : '../lib';
const { createScheme } = require(`${LIB}/scheme`);
const wire = require(`${LIB}/wire`);
const { LIMITS } = require(`${LIB}/limits`);
const { openStore, StoreError, parseStored, kHourMs } = require('./store');
const { openMemory } = require('./store/memory');
const apps = require('./apps');
const signals = require('./signals');
const { createMetrics } = require('./metrics');

const TOKEN_PATH = '/udid/m1';
const SITUATION_PATH = '/udid/sa-m';
const VERIFY_PATH = '/v1/verify';
const FORGET_PATH = '/v1/forget';
const HEALTH_PATH = '/health';
const METRICS_PATH = '/metrics';
const ADMIN_PREFIX = '/__admin/';
const kMaxApiBodyBytes = 4096;
const kMaxInstallationIdLength = 128;
const kMaxTokenBytes = 40;                    // the library's bound for a service token
const kFingerprintKeyName = 'fingerprint';
const kMinFingerprintKeyBytes = 16;
const kTokenLifeMs = 24 * 60 * 60 * 1000;     // the library's own cache period
const kDefaultRetentionMs = 30 * 24 * 60 * 60 * 1000;
const kSweepIntervalMs = 60 * 60 * 1000;
const kDbTimeoutMs = 5000;
const kHealthTimeoutMs = 2000;
const kDefaultGraceMs = 10000;
const kDefaultRandomLength = 61;  // not a multiple of 16: never an SM4 ciphertext
const kMaxOtherKeyTries = 1000;
const COMMAND_OTHER = 1001;
const DIGEST_PATTERN = /^[0-9a-f]{64}$/;
const BEARER_PATTERN = /^Bearer ([!-~]+)$/;

const MODES = new Set([
  'normal', 'down', 'http500', 'slow', 'hang', 'empty', 'random', 'wrongkey', 'nonzip',
  'wrongentry', 'emptyentry', 'badproto', 'status', 'wrongcommand', 'nobody',
]);
const TOKEN_ONLY_MODES = new Set(['badproto', 'status', 'wrongcommand', 'nobody']);
// Modes whose token answer carries no token: nothing is issued for them.
const TOKENLESS_MODES = new Set(['http500', 'hang', 'empty', 'random', 'emptyentry', 'badproto', 'status', 'nobody']);

function normalizeMode(mode, opts) {
  const m = typeof mode === 'string' ? { name: mode, ...(opts || {}) } : { ...(mode || {}), ...(opts || {}) };
  if (m.name === undefined && m.mode !== undefined) m.name = m.mode;
  delete m.mode;
  if (!MODES.has(m.name)) throw new Error(`unknown mode "${m.name}"`);
  if (m.endpoint !== undefined && m.endpoint !== 'token' && m.endpoint !== 'situation') {
    throw new Error(`unknown endpoint "${m.endpoint}"`);
  }
  if (m.name === 'slow' && !(m.delayMs >= 0)) m.delayMs = 1000;
  if (m.name === 'random' && !(m.length >= 0)) m.length = kDefaultRandomLength;
  if (m.name === 'status' && m.status === undefined) m.status = wire.STATUS_REFUSED;
  if (m.name === 'wrongcommand' && m.command === undefined) m.command = COMMAND_OTHER;
  return m;
}

// Reads a body of at most `limit` bytes: { body } when whole, { tooLarge }
// as soon as it exceeds the limit (reading stops there), { broken } when
// the connection ends first.
function readBody(req, limit) {
  return new Promise((resolve) => {
    const chunks = [];
    let size = 0;
    let done = false;
    const finish = (result) => {
      if (done) return;
      done = true;
      req.removeListener('data', onData);
      resolve(result);
    };
    const onData = (c) => {
      size += c.length;
      if (size > limit) {
        req.pause();
        finish({ tooLarge: true });
      } else {
        chunks.push(c);
      }
    };
    req.on('data', onData);
    req.on('end', () => finish({ body: Buffer.concat(chunks) }));
    req.on('error', () => finish({ broken: true }));
    // A connection cut before the end (close() during an upload) ends here.
    req.on('close', () => finish(req.complete ? { body: Buffer.concat(chunks) } : { broken: true }));
  });
}

// The declared length of a body, or -1 when none is declared.
function declaredLength(req) {
  const n = Number(req.headers['content-length']);
  return Number.isSafeInteger(n) && n >= 0 ? n : -1;
}

function freshToken() {
  // 128 random bits as 32 hexadecimal characters, within the library's 40 bytes.
  return crypto.randomBytes(16).toString('hex');
}

function tokenHash(token) {
  return crypto.createHash('sha256').update(token, 'utf8').digest('hex');
}

function valueOf(setting, record) {
  return typeof setting === 'function' ? setting(record) : setting;
}

// Opens one service request into `record`; returns the payload or null with
// record.error set.
function openRequest(record, body, limits) {
  const q = record.query;
  if (typeof q.appKey !== 'string') {
    record.error = 'missing appKey';
    return null;
  }
  if (typeof q.sign !== 'string') {
    record.error = 'missing sign';
    return null;
  }
  if (q.alg !== undefined && q.alg !== 'gm') {
    record.error = `unknown alg "${q.alg}"`;
    return null;
  }
  const scheme = createScheme(q.alg === 'gm' ? 'gm' : 'legacy', q.appKey);
  record.scheme = scheme.name;
  const zip = scheme.decrypt(body);
  if (zip === null) {
    record.error = 'body does not decrypt';
    return null;
  }
  const payload = wire.unpackArchive(zip, limits.maxPayloadBytes);
  if (payload === null) {
    record.error = `no entry "data" of at most ${limits.maxPayloadBytes} bytes in the archive`;
    return null;
  }
  record.payloadLength = payload.length;
  const expected = scheme.sign(payload);
  record.signOk = expected === q.sign;
  if (!record.signOk) {
    record.error = 'signature does not match';
    record.expectedSign = expected;
    return null;
  }
  return { scheme, payload };
}

function parseTokenRequest(record, payload, limits) {
  const req = wire.decodeTokenRequest(payload, limits);
  if (req === null) {
    record.error = 'payload is not a TokenRequest within the limits';
    return false;
  }
  record.header = req.header;
  record.command = req.command;
  record.entries = req.entries;
  record.extraEntries = req.extraEntries;
  record.data = req.data;
  if (req.bodyError !== null) {
    record.error = req.bodyError;
    return false;
  }
  if (req.command !== wire.COMMAND_TOKEN) {
    record.error = `command ${req.command} is not ${wire.COMMAND_TOKEN}`;
    return false;
  }
  return true;
}

function parseSituation(record, payload) {
  record.body = payload.toString('utf8');
  record.json = null;
  if (payload.length === 0) return;  // the library sends an empty report as is
  try {
    record.json = JSON.parse(record.body);
  } catch (e) {
    record.jsonError = e.message;
  }
}

// A key whose seal the real key cannot open (the library's lax SM4 padding
// rule and the XXTEA length word both let a few foreign ciphertexts through,
// so candidates are tried until one fails).
function sealUnderOtherKey(scheme, archive) {
  for (let i = 0; i < kMaxOtherKeyTries; i++) {
    const other = createScheme(scheme.name, `${scheme.keyText}#other${i}`);
    const sealed = other.encrypt(archive);
    const opened = scheme.decrypt(sealed, { lax: true });
    if (opened === null) return { sealed, key: other.keyText };
  }
  throw new Error('no other key found');
}

function randomUnopenable(scheme, length) {
  for (let i = 0; i < kMaxOtherKeyTries; i++) {
    const bytes = crypto.randomBytes(length);
    if (scheme.decrypt(bytes, { lax: true }) === null) return bytes;
  }
  throw new Error('random bytes kept opening');
}

async function startService(options = {}) {
  const development = options.development !== false;
  const tls = options.tls || null;                 // { cert, key }: served over HTTPS
  const host = options.host || '127.0.0.1';
  // What a request may hold (lib/limits.js, the limits of the backend's half
  // and the decode tool); tests that make the library send more than any real
  // app does raise them. The body's bound follows from the payload's.
  const limits = { ...LIMITS, ...(options.limits || {}) };
  const maxBodyBytes = options.maxBodyBytes || wire.maxSealedBytes(limits.maxPayloadBytes);
  const retentionMs = options.retentionMs === undefined ? kDefaultRetentionMs : options.retentionMs;
  const graceMs = options.graceMs === undefined ? kDefaultGraceMs : options.graceMs;
  const log = options.log || (() => {});           // the service's own lines: no identifiers
  const settings = {
    token: options.token,                  // string or function(record); fresh by default
    uuid: options.uuid,                    // string or function(record); none by default
    situationAnswer: options.situationAnswer,
    appKeys: options.appKeys ? new Set(options.appKeys) : null,
  };
  if (!development && (settings.token !== undefined || settings.uuid !== undefined || options.mode !== undefined)) {
    throw new Error('token, uuid and mode are settings of the development mode');
  }
  const logFile = options.logFile || null;
  const onRecord = options.onRecord || null;  // called with each record, on the event loop
  const ownsStore = !options.store;
  // Without a database the development mode keeps its store in the
  // process's memory, with no database driver.
  const store = options.store || (options.db === undefined && development ? openMemory()
    : await openStore(options.db, { synchronous: options.synchronous }));
  // The key of the device fingerprints: given, or made once and kept in the
  // database, so that every instance sharing it hashes alike.
  let fingerprintKey;
  try {
    fingerprintKey = await fingerprintKeyOf(store, options.fingerprintKey);
  } catch (e) {
    if (ownsStore) await store.close().catch(() => {});
    throw e;
  }
  const metrics = createMetrics();
  const requests = [];
  const waiters = new Set();  // pending waitForRequests calls
  const hanging = new Set();
  const timers = new Set();
  let mode = normalizeMode(options.mode || 'normal');
  let seq = 0;
  let closed = false;
  let listening = false;
  let inflight = 0;
  let onIdle = null;
  let port = options.port || 0;

  const onRequest = (req, res) => {
    inflight += 1;
    res.on('finish', () => metrics.request(endpointLabel(req.url), res.statusCode));
    handle(req, res).catch((e) => {
      // A fault in this service itself: answer 500 so that it is seen.
      log(`internal error: ${e.stack || e}`);
      if (!res.headersSent) res.writeHead(500);
      res.end();
    }).finally(() => {
      inflight -= 1;
      if (inflight === 0 && onIdle) onIdle();
    });
  };
  const createServer = (fn) => (tls ? https.createServer({ cert: tls.cert, key: tls.key }, fn) : http.createServer(fn));
  const server = createServer(onRequest);
  // The admin listener: /__admin/ only, up in every mode.
  const adminServer = development ? createServer((req, res) => {
    const pathname = (req.url || '/').split('?')[0];
    if (!pathname.startsWith(ADMIN_PREFIX)) {
      replyJson(res, 404, { ok: false, error: `this port serves ${ADMIN_PREFIX} only; the service is at ${api.url}` });
      return;
    }
    admin(req, res, pathname).catch((e) => {
      log(`internal error: ${e.stack || e}`);
      if (!res.headersSent) res.writeHead(500);
      res.end();
    });
  }) : null;
  let adminPort = options.adminPort || 0;
  // A slow client may hold a connection only so long.
  server.headersTimeout = 20000;
  server.requestTimeout = 60000;

  function later(ms, fn) {
    const t = setTimeout(() => {
      timers.delete(t);
      fn();
    }, ms);
    timers.add(t);
    return t;
  }

  // One store operation: timed into the metrics, bounded by kDbTimeoutMs.
  async function db(op, fn) {
    const t0 = process.hrtime.bigint();
    let timer = null;
    try {
      return await Promise.race([
        fn(),
        new Promise((resolve, reject) => {
          timer = setTimeout(() => reject(new StoreError(`${op} took longer than ${kDbTimeoutMs} ms`)), kDbTimeoutMs);
        }),
      ]);
    } catch (e) {
      // The driver's message may quote values: only the operation and code are logged.
      log(`database unavailable (${op}): ${(e.cause && e.cause.code) || e.name}`);
      throw e instanceof StoreError ? e : new StoreError(e.message, e);
    } finally {
      clearTimeout(timer);
      metrics.dbTime(op, Number(process.hrtime.bigint() - t0) / 1e9);
    }
  }

  function record(rec) {
    if (!development) return;
    requests.push(rec);
    if (logFile) fs.appendFileSync(logFile, recordJson(rec) + '\n');
    if (onRecord) onRecord(rec);
    settleWaiters(false);
  }

  function settleWaiters(all) {
    for (const w of waiters) {
      if (all || requests.length >= w.n) {
        clearTimeout(w.timer);
        timers.delete(w.timer);
        waiters.delete(w);
        w.resolve(requests.slice());
      }
    }
  }

  function takeMode(endpoint) {
    if (!development) return { name: 'normal' };
    const m = mode;
    if (m.endpoint !== undefined && m.endpoint !== endpoint) return { name: 'normal' };
    if (m.times !== undefined) {
      m.times -= 1;
      if (m.times <= 0) mode = { name: 'normal' };
    }
    return m;
  }

  // The message (before archive and seal) of a normal answer.
  function normalMessage(rec, endpoint, issued) {
    if (endpoint === 'token') {
      rec.answer.command = wire.COMMAND_TOKEN;
      rec.answer.status = wire.STATUS_OK;
      return wire.encodeTokenResponse(issued);
    }
    const text = valueOf(settings.situationAnswer, rec);
    const answer = text === undefined || text === null ? JSON.stringify({ code: 0, seq: rec.seq }) : text;
    rec.answer.text = Buffer.isBuffer(answer) ? answer.toString('utf8') : String(answer);
    return Buffer.isBuffer(answer) ? answer : Buffer.from(String(answer), 'utf8');
  }

  // Decides the answer of an opened request: {status, body, delayMs, hang}.
  // `issued` is the token committed for it ({ ulvok, uuid? }), when any.
  function answerFor(rec, endpoint, scheme, m, issued) {
    const name = endpoint === 'situation' && TOKEN_ONLY_MODES.has(m.name) ? 'normal' : m.name;
    rec.answer = { mode: name };
    if (issued) {
      rec.answer.ulvok = issued.ulvok;
      if (issued.uuid !== undefined) rec.answer.uuid = issued.uuid;
    }
    const sealed = (message) => wire.seal(scheme, message);
    switch (name) {
      case 'http500':
        return { status: 500, body: Buffer.alloc(0) };
      case 'hang':
        return { hang: true };
      case 'empty':
        return { status: 200, body: Buffer.alloc(0) };
      case 'random':
        return { status: 200, body: randomUnopenable(scheme, m.length) };
      case 'wrongkey': {
        const other = sealUnderOtherKey(scheme, wire.packArchive(normalMessage(rec, endpoint, issued)));
        rec.answer.key = other.key;
        return { status: 200, body: other.sealed };
      }
      case 'nonzip':
        return { status: 200, body: scheme.encrypt(normalMessage(rec, endpoint, issued)) };
      case 'wrongentry':
        return { status: 200, body: scheme.encrypt(wire.packArchive(normalMessage(rec, endpoint, issued), 'Data')) };
      case 'emptyentry':
        return { status: 200, body: scheme.encrypt(wire.packArchive(Buffer.alloc(0))) };
      case 'badproto':
        // Field 2 (bytes) announcing 5 bytes of which one follows.
        return { status: 200, body: sealed(Buffer.from([0x12, 0x05, 0x01])) };
      case 'status':
        rec.answer.status = m.status;
        rec.answer.command = wire.COMMAND_TOKEN;
        return { status: 200, body: sealed(wire.encodeTokenResponse({ status: m.status })) };
      case 'wrongcommand': {
        rec.answer.status = wire.STATUS_OK;
        rec.answer.command = m.command;
        return { status: 200, body: sealed(wire.encodeTokenResponse({ command: m.command, ...issued })) };
      }
      case 'nobody':
        rec.answer.status = wire.STATUS_OK;
        rec.answer.command = wire.COMMAND_TOKEN;
        return { status: 200, body: sealed(wire.encodeTokenResponse({})) };
      case 'slow':
        return { status: 200, body: sealed(normalMessage(rec, endpoint, issued)), delayMs: m.delayMs };
      default:
        return { status: 200, body: sealed(normalMessage(rec, endpoint, issued)) };
    }
  }

  // The registered app of a request's key. In development an unknown key is
  // registered on its first request.
  async function appFor(appKey) {
    const app = await db('app', () => store.getApp(appKey));
    if (app !== null || !development) return app;
    try {
      return (await apps.addApp(store, { appKey })).app;
    } catch (e) {
      // Registered meanwhile by a request running beside this one.
      return db('app', () => store.getApp(appKey));
    }
  }

  // Commits the token of one exchange, with the signals its data raises:
  // { ulvok, uuid? } once it is stored.
  async function issue(rec, app, scheme, arrival) {
    const ulvok = String(valueOf(settings.token, rec) || freshToken());
    const uuidSetting = valueOf(settings.uuid, rec);
    const uuid = uuidSetting === undefined || uuidSetting === null ? undefined : String(uuidSetting);
    // The installation is the one the device sent ("K58"), or the one this
    // answer gives it.
    const installationId = uuid || rec.data.K58 || '';
    const k200 = Number(rec.data.K200);
    const k7 = rec.data.K7;
    const thresholds = signals.withDefaults(app.thresholds);
    const fingerprint = signals.deviceFingerprint(rec.data, fingerprintKey, app.appKey);
    const history = await db('history', () => store.exchangeHistory({
      appKey: app.appKey, installationId, fingerprint, churnSince: arrival - thresholds.churnWindowMs, hourSince: arrival - kHourMs,
    }));
    const raised = signals.exchangeSignals(rec.data, { receivedAt: arrival, signature: app.signature, thresholds, history });
    const assessment = signals.assess(raised, thresholds);
    if (development) rec.assessment = assessment;
    await db('exchange', () => store.recordExchange({
      tokenHash: tokenHash(ulvok),
      appKey: app.appKey,
      installationId,
      issuedAt: arrival,
      expiresAt: arrival + kTokenLifeMs,
      scheme,
      clockOffsetMs: Number.isSafeInteger(k200) && rec.data.K200 !== '' ? k200 - arrival : null,
      signatureOk: app.signature === null ? null : k7 === app.signature,
      fingerprint,
      assessment: JSON.stringify(assessment),
    }));
    return uuid === undefined ? { ulvok } : { ulvok, uuid };
  }

  // A situation report's tracer events join the signals of the installation
  // its token ("ulvok") was issued to; the level is judged again. A report
  // without such events, or whose token is not a valid one of this app,
  // changes nothing. An exchange recorded meanwhile wins.
  async function noteReport(rec, app, arrival) {
    const json = rec.json;
    if (json === null || typeof json !== 'object' || typeof json.ulvok !== 'string') return;
    if (json.ulvok === '' || Buffer.byteLength(json.ulvok, 'utf8') > kMaxTokenBytes) return;
    const raised = signals.reportSignals(json.K350, app.thresholds);
    if (raised.length === 0) return;
    const row = await db('report', () => store.findToken(tokenHash(json.ulvok)));
    if (row === null || row.appKey !== app.appKey || row.expiresAt <= arrival || row.lastExchangeAt === null) return;
    const before = parseStored(row.assessment);
    const kept = before && Array.isArray(before.signals) ? before.signals : [];
    const assessment = signals.assess([...kept, ...raised], app.thresholds);
    if (development) rec.assessment = assessment;
    await db('report', () => store.setAssessment(app.appKey, row.installationId, JSON.stringify(assessment), row.lastExchangeAt));
  }

  // Answers with an empty body. When the body was not read, the connection
  // is closed after the answer: what the client still sends is not read.
  function refuseEmpty(res, status, reason, bodyRead) {
    if (reason) metrics.refusal(reason);
    const headers = { 'Content-Length': 0 };
    if (!bodyRead) headers.Connection = 'close';
    res.writeHead(status, headers);
    res.end();
  }

  async function handle(req, res) {
    const rawUrl = req.url || '/';
    const pathname = rawUrl.split('?')[0];
    if (pathname === VERIFY_PATH) return verify(req, res);
    if (pathname === FORGET_PATH) return forget(req, res);
    if (pathname === HEALTH_PATH) return health(req, res);
    if (pathname === METRICS_PATH) return metricsText(req, res);
    if (development && pathname.startsWith(ADMIN_PREFIX)) return admin(req, res, pathname);
    return exchange(req, res, rawUrl, pathname);
  }

  async function exchange(req, res, rawUrl, pathname) {
    const arrival = Date.now();
    const endpoint = pathname === TOKEN_PATH ? 'token' : pathname === SITUATION_PATH ? 'situation' : null;
    const rec = {
      seq: ++seq,
      time: new Date(arrival).toISOString(),
      endpoint,
      method: req.method,
      path: pathname,
      url: rawUrl,
      query: wire.parseQuery(rawUrl),
      bodyLength: null,
      scheme: null,
      signOk: null,
      error: null,
      answer: null,
    };
    const q = rec.query;
    const refuse = (status, reason, error, bodyRead) => {
      rec.error = error;
      rec.answer = { httpStatus: status };
      record(rec);
      refuseEmpty(res, status, reason, bodyRead);
    };

    // What can be refused before the body is read.
    if (endpoint === null) return refuse(404, 'path', `unknown path ${pathname}`, false);
    if (req.method !== 'POST') return refuse(400, 'method', `method ${req.method} is not POST`, false);
    if (typeof q.appKey !== 'string' || q.appKey === '') return refuse(400, 'unopened', 'missing appKey', false);
    if (settings.appKeys && !settings.appKeys.has(q.appKey)) {
      return refuse(400, 'unregistered', `unknown appKey "${q.appKey}"`, false);
    }
    if (declaredLength(req) > maxBodyBytes) return refuse(413, 'too-large', 'body too large', false);
    let app;
    try {
      app = await appFor(q.appKey);
    } catch (e) {
      return refuse(503, 'database', 'database unavailable', false);
    }
    if (app === null) return refuse(403, 'unregistered', `unknown appKey "${q.appKey}"`, false);
    const schemeName = q.alg === 'gm' ? 'gm' : 'legacy';
    if (!app.schemes.includes(schemeName)) return refuse(403, 'scheme', `scheme ${schemeName} is not allowed`, false);

    const read = await readBody(req, maxBodyBytes);
    if (read.tooLarge) return refuse(413, 'too-large', 'body too large', false);
    if (read.broken) return refuse(400, 'unopened', 'body too large or broken', true);
    const body = read.body;
    rec.bodyLength = body.length;

    let opened = openRequest(rec, body, limits);
    if (opened !== null) {
      if (endpoint === 'token') {
        if (!parseTokenRequest(rec, opened.payload, limits)) opened = null;
        else if (typeof rec.data.K58 === 'string' && rec.data.K58.length > kMaxInstallationIdLength) {
          rec.error = `installation id longer than ${kMaxInstallationIdLength} characters`;
          opened = null;
        }
      } else {
        parseSituation(rec, opened.payload);
      }
    }
    if (opened === null) return refuse(400, 'unopened', rec.error, true);
    if (endpoint === 'situation') {
      try {
        await noteReport(rec, app, arrival);
      } catch (e) {
        return refuse(503, 'database', 'database unavailable', true);
      }
    }

    const m = takeMode(endpoint);
    let issued = null;
    if (endpoint === 'token' && !TOKENLESS_MODES.has(m.name)) {
      try {
        issued = await issue(rec, app, opened.scheme.name, arrival);
      } catch (e) {
        return refuse(503, 'database', 'database unavailable', true);
      }
    }
    const plan = answerFor(rec, endpoint, opened.scheme, m, issued);
    if (plan.status !== undefined) rec.answer.httpStatus = plan.status;
    if (plan.body !== undefined) rec.answer.bodyLength = plan.body.length;
    record(rec);

    if (plan.hang) {
      hanging.add(res);
      res.on('close', () => hanging.delete(res));
      return;
    }
    const send = () => {
      if (res.destroyed) return;
      res.writeHead(plan.status, { 'Content-Type': 'application/octet-stream', 'Content-Length': plan.body.length });
      res.end(plan.body);
      if (issued) metrics.issued();
    };
    if (plan.delayMs) later(plan.delayMs, send);
    else send();
  }

  function replyJson(res, status, obj, extraHeaders) {
    const text = JSON.stringify(obj, jsonBytes);
    res.writeHead(status, {
      'Content-Type': 'application/json',
      'Content-Length': Buffer.byteLength(text),
      'Cache-Control': 'no-store',
      ...extraHeaders,
    });
    res.end(text);
  }

  // An API call's app (the one its bearer secret belongs to), its JSON body,
  // and what `find` read in the same lookup; or null once refused. A secret
  // of the wrong shape is refused before the body is read; the body (at most
  // kMaxApiBodyBytes) is read before the lookup, so that a verify finds the
  // app and the token in one.
  /**
   * @template {{ app: import('./store').App | null }} T
   * @param {http.IncomingMessage} req
   * @param {http.ServerResponse} res
   * @param {string} op the lookup's name in the metrics
   * @param {(secretId: string, args: Record<string, unknown>) => Promise<T>} find
   */
  async function apiCall(req, res, op, find) {
    /**
     * @param {number} status
     * @param {string} reason
     * @param {string} error
     * @param {boolean} bodyRead
     * @returns {null}
     */
    const refuse = (status, reason, error, bodyRead) => {
      metrics.refusal(reason);
      /** @type {Record<string, string>} */
      const headers = bodyRead ? {} : { Connection: 'close' };
      if (status === 401) headers['WWW-Authenticate'] = 'Bearer';
      replyJson(res, status, { error }, headers);
      return null;
    };
    if (req.method !== 'POST') return refuse(405, 'method', 'POST only', false);
    const m = BEARER_PATTERN.exec(req.headers.authorization || '');
    const secretId = m === null ? null : apps.secretIdOf(m[1]);
    if (m === null || secretId === null) return refuse(401, 'unauthorized', 'Authorization: Bearer <the app\'s server secret> is required', false);
    if (declaredLength(req) > kMaxApiBodyBytes) return refuse(413, 'too-large', `the body exceeds ${kMaxApiBodyBytes} bytes`, false);
    const read = await readBody(req, kMaxApiBodyBytes);
    if (read.tooLarge) return refuse(413, 'too-large', `the body exceeds ${kMaxApiBodyBytes} bytes`, false);
    if (read.broken) return refuse(400, 'malformed', 'the body was cut', true);
    let args;
    try {
      args = JSON.parse(read.body.toString('utf8'));
    } catch (e) {
      return refuse(400, 'malformed', 'the body is not JSON', true);
    }
    if (args === null || typeof args !== 'object' || Array.isArray(args)) {
      return refuse(400, 'malformed', 'the body is not a JSON object', true);
    }
    let found;
    try {
      found = await db(op, () => find(secretId, args));
    } catch (e) {
      return refuse(503, 'database', 'database unavailable', true);
    }
    if (found.app === null || !apps.secretMatches(found.app, m[1])) return refuse(401, 'unauthorized', 'unknown or revoked secret', true);
    return { found, app: found.app, args, refuse };
  }

  /** @param {unknown} token */
  const wellFormedToken = (token) => typeof token === 'string' && token !== '' && Buffer.byteLength(token, 'utf8') <= kMaxTokenBytes;

  async function verify(req, res) {
    const call = await apiCall(req, res, 'verify',
      (secretId, args) => store.findAppAndToken(secretId, wellFormedToken(args.token) ? tokenHash(args.token) : null));
    if (call === null) return;
    const { app, args, refuse } = call;
    const digest = args.consume;
    if (digest !== undefined && (typeof digest !== 'string' || !DIGEST_PATTERN.test(digest))) {
      return refuse(400, 'malformed', '"consume" is a SHA-256 digest: 64 lowercase hexadecimal characters', true);
    }
    const now = Date.now();
    const answer = { valid: false };
    const row = call.found.token;
    if (!wellFormedToken(args.token)) answer.reason = 'malformed';
    else if (row === null) answer.reason = 'unknown';
    else if (row.appKey !== app.appKey) answer.reason = 'other-app';
    else if (row.expiresAt <= now) answer.reason = 'expired';
    else answer.valid = true;
    if (answer.valid || answer.reason === 'expired') {
      Object.assign(answer, {
        installationId: row.installationId,
        issuedAt: row.issuedAt,
        expiresAt: row.expiresAt,
        scheme: row.scheme,
        signatureOk: row.signatureOk,
        clockOffsetMs: row.clockOffsetMs,
        lastExchangeAt: row.lastExchangeAt,
      });
    }
    if (answer.valid) {
      delete answer.reason;
      // Judged when the exchange (or a report) arrived: read, not computed.
      const a = parseStored(row.assessment);
      const ok = a !== null && Array.isArray(a.signals) && Array.isArray(a.reasons) && typeof a.level === 'string';
      answer.signals = ok ? a.signals : [];
      answer.level = ok ? a.level : 'low';
      answer.reasons = ok ? a.reasons : [];
    }
    answer.serverTime = now;
    if (digest !== undefined) {
      // Kept while the sign can be of use: as long as the token it carries.
      const until = answer.valid ? row.expiresAt : now + kTokenLifeMs;
      try {
        answer.consumed = await db('consume', () => store.consume(app.appKey, digest, until, now));
      } catch (e) {
        return refuse(503, 'database', 'database unavailable', true);
      }
    }
    metrics.verify(answer.valid ? 'valid' : answer.reason);
    replyJson(res, 200, answer);
  }

  async function forget(req, res) {
    const call = await apiCall(req, res, 'app', async (secretId) => ({ app: await store.getAppBySecretId(secretId) }));
    if (call === null) return;
    const { app, args, refuse } = call;
    const id = args.installationId;
    if (typeof id !== 'string' || id.length > kMaxInstallationIdLength) {
      return refuse(400, 'malformed', `"installationId" is a text of at most ${kMaxInstallationIdLength} characters`, true);
    }
    let deleted;
    try {
      deleted = await db('forget', () => store.forgetInstallation(app.appKey, id));
    } catch (e) {
      return refuse(503, 'database', 'database unavailable', true);
    }
    replyJson(res, 200, { deleted });
  }

  async function health(req, res) {
    if (req.method !== 'GET' && req.method !== 'HEAD') return replyJson(res, 405, { error: 'GET only' });
    let up = true;
    try {
      await Promise.race([store.ping(), new Promise((resolve, reject) => {
        later(kHealthTimeoutMs, () => reject(new Error('timeout')));
      })]);
    } catch (e) {
      up = false;
    }
    return replyJson(res, up ? 200 : 503, { status: up ? 'ok' : 'unavailable', database: up ? 'up' : 'down' });
  }

  function metricsText(req, res) {
    if (req.method !== 'GET') return replyJson(res, 405, { error: 'GET only' });
    const text = metrics.text();
    res.writeHead(200, { 'Content-Type': 'text/plain; version=0.0.4', 'Content-Length': Buffer.byteLength(text) });
    res.end(text);
  }

  async function admin(req, res, pathname) {
    const reply = (status, obj) => replyJson(res, status, obj);
    const read = await readBody(req, maxBodyBytes);
    if (!read.body) return reply(413, { ok: false, error: 'body too large or broken' });
    let args = {};
    if (read.body.length > 0) {
      try {
        args = JSON.parse(read.body.toString('utf8'));
      } catch (e) {
        return reply(400, { ok: false, error: `bad JSON: ${e.message}` });
      }
    }
    const what = pathname.slice(ADMIN_PREFIX.length);
    if (what === 'mode' && req.method === 'GET') return reply(200, { ok: true, mode, adminUrl: api.adminUrl });
    if (what === 'mode' && req.method === 'POST') {
      let m;
      try {
        m = normalizeMode(args);
      } catch (e) {
        return reply(400, { ok: false, error: e.message });
      }
      // Switch once the answer is out: "down" closes this very connection.
      res.on('finish', () => {
        api.setMode(m).catch((e) => log(`${e}`));
      });
      return reply(200, { ok: true, mode: m, adminUrl: api.adminUrl });
    }
    if (what === 'requests' && req.method === 'GET') return reply(200, requests);
    if (what === 'clear' && req.method === 'POST') {
      requests.length = 0;
      return reply(200, { ok: true });
    }
    if (what === 'config' && req.method === 'POST') {
      for (const k of ['token', 'uuid', 'situationAnswer']) if (k in args) settings[k] = args[k];
      return reply(200, { ok: true });
    }
    return reply(404, { ok: false, error: `unknown admin call ${req.method} ${pathname}` });
  }

  function listen() {
    return new Promise((resolve, reject) => {
      const onError = (e) => {
        server.off('listening', onListening);
        reject(e);
      };
      const onListening = () => {
        server.off('error', onError);
        port = server.address().port;
        listening = true;
        resolve();
      };
      server.once('error', onError);
      server.once('listening', onListening);
      server.listen(port, host);
    });
  }

  function listenAdmin() {
    return new Promise((resolve, reject) => {
      adminServer.once('error', reject);
      adminServer.listen(adminPort, host, () => {
        adminServer.off('error', reject);
        adminPort = adminServer.address().port;
        resolve();
      });
    });
  }

  function stopListening() {
    if (!listening) return Promise.resolve();
    listening = false;
    return new Promise((resolve) => {
      server.close(() => resolve());
      for (const res of hanging) res.destroy();
      hanging.clear();
      server.closeAllConnections();
    });
  }

  // Stops taking connections, lets the requests under way finish (up to
  // graceMs), then ends every connection.
  async function drain() {
    if (!listening) return;
    listening = false;
    const closedServer = new Promise((resolve) => server.close(() => resolve()));
    server.closeIdleConnections();
    for (const res of hanging) res.destroy();
    hanging.clear();
    if (inflight > 0) {
      await new Promise((resolve) => {
        const t = setTimeout(resolve, graceMs);
        onIdle = () => {
          clearTimeout(t);
          resolve();
        };
      });
    }
    server.closeAllConnections();
    await closedServer;
  }

  async function sweep() {
    if (!(retentionMs > 0)) return 0;
    return db('sweep', () => store.sweep(Date.now(), retentionMs));
  }

  function scheduleSweep() {
    const t = later(kSweepIntervalMs, () => {
      sweep().catch(() => {}).finally(() => {
        if (!closed) scheduleSweep();
      });
    });
    // The sweep alone keeps no process alive.
    t.unref();
  }

  const api = {
    get url() { return `${tls ? 'https' : 'http'}://${host}:${port}`; },
    get port() { return port; },
    // The admin listener's address (development): up in every mode.
    get adminUrl() { return adminServer ? `${tls ? 'https' : 'http'}://${host}:${adminPort}` : null; },
    host,
    development,
    store,
    requests,
    metrics,
    mode() { return { ...mode }; },
    // Switches the fault mode (development); resolves once "down" has closed
    // the listener or any other mode has it listening again.
    async setMode(m, opts) {
      if (!development) throw new Error('fault modes are part of the development mode');
      const next = normalizeMode(m, opts);
      if (closed) throw new Error('service closed');
      mode = next;
      if (next.name === 'down') {
        await stopListening();
        if (next.durationMs > 0) {
          later(next.durationMs, () => {
            if (!closed && mode === next) api.setMode('normal').catch((e) => log(`${e}`));
          });
        }
      } else if (!listening) {
        await listen();
      }
      return api.mode();
    },
    // Changes answer settings at run time: token, uuid, situationAnswer.
    configure(changes) {
      if (!development) throw new Error('answer settings are part of the development mode');
      for (const k of ['token', 'uuid', 'situationAnswer']) if (k in changes) settings[k] = changes[k];
    },
    // Registers an app: { app, secret }.
    registerApp(registration) { return apps.addApp(store, registration); },
    // Deletes what is older than the retention period: the rows deleted.
    sweep,
    clear() { requests.length = 0; },
    // Resolves once at least n requests are recorded (or after timeoutMs with
    // what there is).
    waitForRequests(n, timeoutMs = 10000) {
      if (requests.length >= n || closed) return Promise.resolve(requests.slice());
      return new Promise((resolve) => {
        const waiter = { n, resolve, timer: null };
        waiter.timer = setTimeout(() => {
          timers.delete(waiter.timer);
          waiters.delete(waiter);
          resolve(requests.slice());
        }, timeoutMs);
        timers.add(waiter.timer);
        waiters.add(waiter);
      });
    },
    async close() {
      if (closed) return;
      closed = true;
      for (const t of timers) clearTimeout(t);
      timers.clear();
      settleWaiters(true);
      if (development) {
        await stopListening();
        await new Promise((resolve) => {
          adminServer.close(() => resolve());
          adminServer.closeAllConnections();
        });
      } else {
        await drain();
      }
      if (ownsStore) await store.close().catch((e) => log(`closing the store: ${e.message}`));
    },
  };

  try {
    if (adminServer) await listenAdmin();
    if (mode.name !== 'down') await listen();
    else {
      // Reserve a port so that url is known, then close it.
      await listen();
      await stopListening();
    }
  } catch (e) {
    if (adminServer && adminServer.listening) adminServer.close();
    if (ownsStore) await store.close().catch(() => {});
    throw e;
  }
  if (retentionMs > 0) {
    sweep().catch(() => {});
    scheduleSweep();
  }
  return api;
}

// The fingerprint key: the option's (a text or bytes of at least
// kMinFingerprintKeyBytes), else the database's, made on first use.
async function fingerprintKeyOf(store, given) {
  if (given !== undefined && given !== null) {
    const key = Buffer.isBuffer(given) ? given : Buffer.from(String(given), 'utf8');
    if (key.length < kMinFingerprintKeyBytes) throw new Error(`the fingerprint key has fewer than ${kMinFingerprintKeyBytes} bytes`);
    return key;
  }
  const hex = await store.serviceKey(kFingerprintKeyName, crypto.randomBytes(32).toString('hex'));
  return Buffer.from(hex, 'hex');
}

// The endpoint label of a request for the metrics: one of a fixed set.
function endpointLabel(url) {
  const pathname = String(url || '/').split('?')[0];
  switch (pathname) {
    case TOKEN_PATH: return 'token';
    case SITUATION_PATH: return 'situation';
    case VERIFY_PATH: return 'verify';
    case FORGET_PATH: return 'forget';
    case HEALTH_PATH: return 'health';
    case METRICS_PATH: return 'metrics';
    default: return pathname.startsWith(ADMIN_PREFIX) ? 'admin' : 'other';
  }
}

// JSON.stringify replacer: Buffers as hexadecimal text.
function jsonBytes(key, value) {
  if (value && value.type === 'Buffer' && Array.isArray(value.data)) return Buffer.from(value.data).toString('hex');
  return value;
}

// One record as a JSON line (without the line feed).
function recordJson(rec) {
  return JSON.stringify(rec, jsonBytes);
}

module.exports = {
  startService, recordJson, TOKEN_PATH, SITUATION_PATH, VERIFY_PATH, FORGET_PATH, HEALTH_PATH, METRICS_PATH, MODES,
};
