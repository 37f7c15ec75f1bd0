'use strict';
// Reference token and situation service for development and tests.
//
// Listens on loopback and serves the two paths the library posts to:
//   "/udid/m1"   token exchange: body = seal(zip{"data": TokenRequest}),
//                answer = seal(zip{"data": TokenResponse})
//   "/udid/sa-m" situation report: body = seal(zip{"data": JSON text}),
//                answer = seal(zip{"data": answer text})
// The scheme follows the query: alg=gm selects the gm scheme, no alg the
// legacy one; both are keyed by the appKey parameter. Every request is opened,
// its signature checked, parsed and recorded (in memory, and as JSON lines in
// a file when asked). A request that does not open, or fails a check, is
// recorded with its `error` and answered 400 with an empty body, whatever the
// mode.
//
// Fault modes (setMode / POST /__admin/mode), applied to requests that opened:
//   normal        sealed answer with a fresh token
//   down          the listener is closed: connections are refused
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
// Everything runs on the Node event loop of the caller; close() ends every
// connection and timer so that the process can exit by itself.

const crypto = require('node:crypto');
const fs = require('node:fs');
const http = require('node:http');
const { createScheme } = require('../lib/scheme');
const wire = require('../lib/wire');
const { LIMITS } = require('../lib/limits');

const TOKEN_PATH = '/udid/m1';
const SITUATION_PATH = '/udid/sa-m';
const ADMIN_PREFIX = '/__admin/';
const kMaxAdminBodyBytes = 64 * 1024;
const kDefaultRandomLength = 61;  // not a multiple of 16: never an SM4 ciphertext
const kMaxOtherKeyTries = 1000;
const COMMAND_OTHER = 1001;

const MODES = new Set([
  'normal', 'down', 'http500', 'slow', 'hang', 'empty', 'random', 'wrongkey', 'nonzip',
  'wrongentry', 'emptyentry', 'badproto', 'status', 'wrongcommand', 'nobody',
]);
const TOKEN_ONLY_MODES = new Set(['badproto', 'status', 'wrongcommand', 'nobody']);

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

function readBody(req, maxBytes) {
  return new Promise((resolve) => {
    const chunks = [];
    let size = 0;
    let tooLarge = false;
    req.on('data', (c) => {
      size += c.length;
      if (size > maxBytes) tooLarge = true;
      else chunks.push(c);
    });
    req.on('end', () => resolve(tooLarge ? null : Buffer.concat(chunks)));
    req.on('error', () => resolve(null));
    // A connection cut before the end (close() during an upload) ends here.
    req.on('close', () => resolve(req.complete && !tooLarge ? Buffer.concat(chunks) : null));
  });
}

function freshToken() {
  return crypto.randomBytes(16).toString('hex');  // 32 characters: a service token
}

function valueOf(setting, record) {
  return typeof setting === 'function' ? setting(record) : setting;
}

// Opens one service request into `record`; returns the payload or null with
// record.error set. A payload past `limits` is refused as one that does not
// open.
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
  const host = options.host || '127.0.0.1';
  const settings = {
    token: options.token,                  // string or function(record); fresh by default
    uuid: options.uuid,                    // string or function(record); none by default
    situationAnswer: options.situationAnswer,
    appKeys: options.appKeys ? new Set(options.appKeys) : null,
  };
  // The limits of what a request may hold (lib/limits.js); tests that make
  // the library send more than any real app does raise them.
  const limits = { ...LIMITS, ...(options.limits || {}) };
  const maxBodyBytes = wire.maxSealedBytes(limits.maxPayloadBytes);
  const logFile = options.logFile || null;
  const onRecord = options.onRecord || null;  // called with each record, on the event loop
  const requests = [];
  const waiters = new Set();  // pending waitForRequests calls
  const hanging = new Set();
  const timers = new Set();
  let mode = normalizeMode(options.mode || 'normal');
  let seq = 0;
  let closed = false;
  let listening = false;
  let port = options.port || 0;

  const server = http.createServer((req, res) => {
    handle(req, res).catch((e) => {
      // A fault in this service itself: answer 500 so the test sees it.
      process.stderr.write(`service: ${e.stack || e}\n`);
      if (!res.headersSent) res.writeHead(500);
      res.end();
    });
  });

  function later(ms, fn) {
    const t = setTimeout(() => {
      timers.delete(t);
      fn();
    }, ms);
    timers.add(t);
  }

  function record(rec) {
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
    const m = mode;
    if (m.endpoint !== undefined && m.endpoint !== endpoint) return { name: 'normal' };
    if (m.times !== undefined) {
      m.times -= 1;
      if (m.times <= 0) mode = { name: 'normal' };
    }
    return m;
  }

  function tokenAnswer(rec) {
    const ulvok = String(valueOf(settings.token, rec) || freshToken());
    const uuid = valueOf(settings.uuid, rec);
    rec.answer.ulvok = ulvok;
    if (uuid !== undefined && uuid !== null) rec.answer.uuid = String(uuid);
    return { ulvok, uuid: rec.answer.uuid };
  }

  // The message (before archive and seal) of a normal answer.
  function normalMessage(rec, endpoint) {
    if (endpoint === 'token') {
      rec.answer.command = wire.COMMAND_TOKEN;
      rec.answer.status = wire.STATUS_OK;
      return wire.encodeTokenResponse({ ...tokenAnswer(rec) });
    }
    const text = valueOf(settings.situationAnswer, rec);
    const answer = text === undefined || text === null ? JSON.stringify({ code: 0, seq: rec.seq }) : text;
    rec.answer.text = Buffer.isBuffer(answer) ? answer.toString('utf8') : String(answer);
    return Buffer.isBuffer(answer) ? answer : Buffer.from(String(answer), 'utf8');
  }

  // Decides the answer of an opened request: {status, body, delayMs, hang}.
  function answerFor(rec, endpoint, scheme, m) {
    const name = endpoint === 'situation' && TOKEN_ONLY_MODES.has(m.name) ? 'normal' : m.name;
    rec.answer = { mode: name };
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
        const other = sealUnderOtherKey(scheme, wire.packArchive(normalMessage(rec, endpoint)));
        rec.answer.key = other.key;
        return { status: 200, body: other.sealed };
      }
      case 'nonzip':
        return { status: 200, body: scheme.encrypt(normalMessage(rec, endpoint)) };
      case 'wrongentry':
        return { status: 200, body: scheme.encrypt(wire.packArchive(normalMessage(rec, endpoint), 'Data')) };
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
        return { status: 200, body: sealed(wire.encodeTokenResponse({ command: m.command, ...tokenAnswer(rec) })) };
      }
      case 'nobody':
        rec.answer.status = wire.STATUS_OK;
        rec.answer.command = wire.COMMAND_TOKEN;
        return { status: 200, body: sealed(wire.encodeTokenResponse({})) };
      case 'slow':
        return { status: 200, body: sealed(normalMessage(rec, endpoint)), delayMs: m.delayMs };
      default:
        return { status: 200, body: sealed(normalMessage(rec, endpoint)) };
    }
  }

  async function handle(req, res) {
    const rawUrl = req.url || '/';
    const pathname = rawUrl.split('?')[0];
    if (pathname.startsWith(ADMIN_PREFIX)) return admin(req, res, pathname);

    const body = await readBody(req, maxBodyBytes);
    const endpoint = pathname === TOKEN_PATH ? 'token' : pathname === SITUATION_PATH ? 'situation' : null;
    const rec = {
      seq: ++seq,
      time: new Date().toISOString(),
      endpoint,
      method: req.method,
      path: pathname,
      url: rawUrl,
      query: wire.parseQuery(rawUrl),
      bodyLength: body === null ? null : body.length,
      scheme: null,
      signOk: null,
      error: null,
      answer: null,
    };

    let opened = null;
    if (endpoint === null) rec.error = `unknown path ${pathname}`;
    else if (req.method !== 'POST') rec.error = `method ${req.method} is not POST`;
    else if (body === null) rec.error = 'body too large or broken';
    else if (settings.appKeys && !settings.appKeys.has(rec.query.appKey)) rec.error = `unknown appKey "${rec.query.appKey}"`;
    else opened = openRequest(rec, body, limits);

    if (opened !== null) {
      if (endpoint === 'token') {
        if (!parseTokenRequest(rec, opened.payload, limits)) opened = null;
      } else {
        parseSituation(rec, opened.payload);
      }
    }

    if (opened === null) {
      rec.answer = { httpStatus: endpoint === null ? 404 : 400 };
      record(rec);
      res.writeHead(rec.answer.httpStatus, { 'Content-Length': 0 });
      res.end();
      return;
    }

    const plan = answerFor(rec, endpoint, opened.scheme, takeMode(endpoint));
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
    };
    if (plan.delayMs) later(plan.delayMs, send);
    else send();
  }

  async function admin(req, res, pathname) {
    const reply = (status, obj) => {
      const text = JSON.stringify(obj, jsonBytes);
      res.writeHead(status, { 'Content-Type': 'application/json', 'Content-Length': Buffer.byteLength(text) });
      res.end(text);
    };
    const body = await readBody(req, kMaxAdminBodyBytes);
    let args = {};
    if (body && body.length > 0) {
      try {
        args = JSON.parse(body.toString('utf8'));
      } catch (e) {
        return reply(400, { ok: false, error: `bad JSON: ${e.message}` });
      }
    }
    const what = pathname.slice(ADMIN_PREFIX.length);
    if (what === 'mode' && req.method === 'GET') return reply(200, { ok: true, mode });
    if (what === 'mode' && req.method === 'POST') {
      let m;
      try {
        m = normalizeMode(args);
      } catch (e) {
        return reply(400, { ok: false, error: e.message });
      }
      // Switch once the answer is out: "down" closes this very connection.
      res.on('finish', () => {
        api.setMode(m).catch((e) => process.stderr.write(`service: ${e}\n`));
      });
      return reply(200, { ok: true, mode: m });
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

  const api = {
    get url() { return `http://${host}:${port}`; },
    get port() { return port; },
    host,
    requests,
    mode() { return { ...mode }; },
    // Switches the fault mode; resolves once "down" has closed the listener
    // or any other mode has it listening again.
    async setMode(m, opts) {
      const next = normalizeMode(m, opts);
      if (closed) throw new Error('service closed');
      mode = next;
      if (next.name === 'down') {
        await stopListening();
        if (next.durationMs > 0) {
          later(next.durationMs, () => {
            if (!closed && mode === next) api.setMode('normal').catch((e) => process.stderr.write(`service: ${e}\n`));
          });
        }
      } else if (!listening) {
        await listen();
      }
      return api.mode();
    },
    // Changes answer settings at run time: token, uuid, situationAnswer.
    configure(changes) {
      for (const k of ['token', 'uuid', 'situationAnswer']) if (k in changes) settings[k] = changes[k];
    },
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
      await stopListening();
    },
  };

  if (mode.name !== 'down') await listen();
  else {
    // Reserve a port so that url is known, then close it.
    await listen();
    await stopListening();
  }
  return api;
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

module.exports = { startService, recordJson, TOKEN_PATH, SITUATION_PATH, MODES };
