// @ts-check
'use strict';
// The token service: startService starts one and answers its handle.
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

// The parts, one module each: exchange.js (the two exchange paths),
// backend-api.js (verify and forget), status-endpoints.js (health and
// metrics), development.js, fault-modes.js and records.js (the test kit),
// listeners.js (the HTTP(S) listeners), store-calls.js (store operations,
// bounded and timed). This file puts them together and runs the service's
// life: start, the retention sweep, close.

const crypto = require('node:crypto');
const { wire, LIMITS } = require('./codecs');
const { openStore } = require('./store');
const { openMemory } = require('./store/memory');
const apps = require('./apps');
const { createMetrics } = require('./metrics');
const paths = require('./paths');
const { replyJson } = require('./http-io');
const { createTimers } = require('./timers');
const { createStoreCall } = require('./store-calls');
const { createRecorder, recordJson } = require('./records');
const { MODES, normalizeMode } = require('./fault-modes');
const { createDevelopmentKit } = require('./development');
const { createExchange } = require('./exchange');
const { createBackendApi } = require('./backend-api');
const { createStatusEndpoints } = require('./status-endpoints');
const { createListeners } = require('./listeners');

const kFingerprintKeyName = 'fingerprint';
const kMinFingerprintKeyBytes = 16;
const kDefaultRetentionMs = 30 * 24 * 60 * 60 * 1000;
const kSweepIntervalMs = 60 * 60 * 1000;
const kDefaultGraceMs = 10000;

/**
 * @typedef {import('./records').RequestRecord} RequestRecord
 * @typedef {import('./fault-modes').FaultMode} FaultMode
 * @typedef {import('./store').Store} Store
 *
 * @typedef {object} ServiceOptions
 * @property {boolean} [development] false: the production mode; the development mode by default
 * @property {string} [db] a SQLite file, ":memory:" or a postgres:// URL; without one the
 *   development mode keeps its store in memory
 * @property {Store} [store] a store opened by the caller, who closes it
 * @property {'FULL' | 'NORMAL'} [synchronous] SQLite's
 * @property {number} [port] 0 or none: a free one
 * @property {string} [host] 127.0.0.1 by default
 * @property {number} [adminPort] the development mode's admin listener's; a free one by default
 * @property {{ cert: string | Buffer, key: string | Buffer } | null} [tls] served over HTTPS when given
 * @property {Partial<import('./codecs').Limits>} [limits] what a request may hold, above lib/limits.js
 * @property {number} [maxBodyBytes] the sealed body's bound; follows from limits.maxPayloadBytes by default
 * @property {number} [retentionMs] what is older is swept; 0 keeps everything
 * @property {number} [graceMs] how long close() lets the requests under way finish (production)
 * @property {string | Buffer} [fingerprintKey] the key of the device fingerprints; the database's by default
 * @property {(line: string) => void} [log] the service's own lines: no identifiers
 * @property {import('./development').Setting} [token] development: the token answered
 * @property {import('./development').Setting} [uuid] development: the installation id answered
 * @property {import('./development').Setting | Buffer} [situationAnswer] the text answered to a situation report
 * @property {string[]} [appKeys] the only keys served
 * @property {string | Record<string, any>} [mode] development: the fault mode to start in
 * @property {string} [logFile] development: every record appended as a JSON line
 * @property {(rec: RequestRecord) => void} [onRecord] development: called with each record, on the event loop
 *
 * @typedef {object} TokenService a started token service
 * @property {string} url
 * @property {number} port
 * @property {string | null} adminUrl the admin listener's address (development): up in every mode
 * @property {string} host
 * @property {boolean} development
 * @property {Store} store
 * @property {RequestRecord[]} requests what the development mode recorded
 * @property {ReturnType<typeof createMetrics>} metrics
 * @property {() => FaultMode} mode a copy of the fault mode in force
 * @property {(m: string | Record<string, any>, opts?: Record<string, any>) => Promise<FaultMode>} setMode
 *   switches the fault mode (development); resolves once "down" has closed the
 *   listener or any other mode has it listening again
 * @property {(changes: Record<string, any>) => void} configure changes answer settings at run
 *   time (development): token, uuid, situationAnswer
 * @property {(registration: Parameters<typeof apps.addApp>[1]) => ReturnType<typeof apps.addApp>} registerApp
 *   registers an app: { app, secret }
 * @property {() => Promise<number>} sweep deletes what is older than the retention period: the rows deleted
 * @property {() => void} clear forgets the recorded requests
 * @property {(n: number, timeoutMs?: number) => Promise<RequestRecord[]>} waitForRequests resolves once at
 *   least n requests are recorded (or after timeoutMs with what there is)
 * @property {() => Promise<void>} close
 */

/**
 * @param {ServiceOptions} [options]
 * @returns {Promise<TokenService>}
 */
async function startService(options = {}) {
  const development = options.development !== false;
  const tls = options.tls || null;
  const host = options.host || '127.0.0.1';
  // What a request may hold (lib/limits.js, the limits of the backend's half
  // and the decode tool); tests that make the library send more than any real
  // app does raise them. The body's bound follows from the payload's.
  const limits = { ...LIMITS, ...(options.limits || {}) };
  const maxBodyBytes = options.maxBodyBytes || wire.maxSealedBytes(limits.maxPayloadBytes);
  const retentionMs = options.retentionMs === undefined ? kDefaultRetentionMs : options.retentionMs;
  const graceMs = options.graceMs === undefined ? kDefaultGraceMs : options.graceMs;
  const log = options.log || (() => {});
  /** @type {import('./development').AnswerSettings} */
  const settings = {
    token: options.token,                  // string or function(record); fresh by default
    uuid: options.uuid,                    // string or function(record); none by default
    situationAnswer: options.situationAnswer,
    appKeys: options.appKeys ? new Set(options.appKeys) : null,
  };
  if (!development && (settings.token !== undefined || settings.uuid !== undefined || options.mode !== undefined)) {
    throw new Error('token, uuid and mode are settings of the development mode');
  }
  const ownsStore = !options.store;
  // Without a database the development mode keeps its store in the
  // process's memory, with no database driver.
  const store = options.store || (options.db === undefined && development ? openMemory()
    : await openStore(/** @type {string} */ (options.db), { synchronous: options.synchronous }));
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
  const timers = createTimers();
  const storeCall = createStoreCall({ metrics, log });
  const recorder = createRecorder({ development, logFile: options.logFile || null, onRecord: options.onRecord || null, timers });
  const kit = createDevelopmentKit({ development, settings, mode: options.mode, maxBodyBytes, log });
  let closed = false;

  /** @type {ReturnType<typeof createListeners>} */
  const listeners = createListeners({
    tls,
    host,
    port: options.port || 0,
    adminPort: options.adminPort || 0,
    handle,
    handleAdmin: development ? (req, res, pathname) => kit.admin(req, res, pathname, adminControl) : null,
    adminOnly: (res) => replyJson(res, 404, {
      ok: false, error: `this port serves ${paths.ADMIN_PREFIX} only; the service is at ${service.url}`,
    }),
    metrics,
    log,
  });
  const exchange = createExchange({
    development, store, storeCall, metrics, limits, maxBodyBytes, fingerprintKey, kit, recorder, timers, hold: listeners.hold,
  });
  const { verify, forget } = createBackendApi({ store, storeCall, metrics });
  const { health, metricsText } = createStatusEndpoints({ store, metrics, timers });

  /**
   * @param {import('node:http').IncomingMessage} req
   * @param {import('node:http').ServerResponse} res
   */
  async function handle(req, res) {
    const rawUrl = req.url || '/';
    const pathname = paths.pathOf(rawUrl);
    if (pathname === paths.VERIFY_PATH) return verify(req, res);
    if (pathname === paths.FORGET_PATH) return forget(req, res);
    if (pathname === paths.HEALTH_PATH) return health(req, res);
    if (pathname === paths.METRICS_PATH) return metricsText(req, res);
    if (development && pathname.startsWith(paths.ADMIN_PREFIX)) return kit.admin(req, res, pathname, adminControl);
    return exchange(req, res, rawUrl, pathname);
  }

  function sweep() {
    if (!(retentionMs > 0)) return Promise.resolve(0);
    return storeCall('sweep', () => store.sweep(Date.now(), retentionMs));
  }

  function scheduleSweep() {
    const t = timers.later(kSweepIntervalMs, () => {
      sweep().catch(() => {}).finally(() => {
        if (!closed) scheduleSweep();
      });
    });
    // The sweep alone keeps no process alive.
    t.unref();
  }

  const protocol = tls ? 'https' : 'http';
  /** @type {TokenService} */
  const service = {
    get url() { return `${protocol}://${host}:${listeners.port}`; },
    get port() { return listeners.port; },
    get adminUrl() { return listeners.hasAdmin ? `${protocol}://${host}:${listeners.adminPort}` : null; },
    host,
    development,
    store,
    requests: recorder.requests,
    metrics,
    mode() { return { ...kit.faultMode() }; },
    async setMode(m, opts) {
      if (!development) throw new Error('fault modes are part of the development mode');
      const next = normalizeMode(m, opts);
      if (closed) throw new Error('service closed');
      kit.setFaultMode(next);
      if (next.name === 'down') {
        await listeners.stopListening();
        const durationMs = next.durationMs;
        if (durationMs !== undefined && durationMs > 0) {
          timers.later(durationMs, () => {
            if (!closed && kit.faultMode() === next) service.setMode('normal').catch((e) => log(`${e}`));
          });
        }
      } else if (!listeners.listening) {
        await listeners.listen();
      }
      return service.mode();
    },
    configure(changes) {
      if (!development) throw new Error('answer settings are part of the development mode');
      kit.configure(changes);
    },
    registerApp(registration) { return apps.addApp(store, registration); },
    sweep,
    clear() { recorder.clear(); },
    waitForRequests(n, timeoutMs) { return recorder.waitForRequests(n, timeoutMs); },
    async close() {
      if (closed) return;
      closed = true;
      timers.clearAll();
      recorder.close();
      if (development) {
        await listeners.stopListening();
        await listeners.closeAdmin();
      } else {
        await listeners.drain(graceMs);
      }
      if (ownsStore) await store.close().catch((e) => log(`closing the store: ${e.message}`));
    },
  };
  /** @type {import('./development').AdminControl} */
  const adminControl = {
    get adminUrl() { return service.adminUrl; },
    setMode: (m) => service.setMode(m),
    recorder,
  };

  try {
    await listeners.listenAdmin();
    await listeners.listen();
    // Starting "down": the port is reserved so that url is known, then closed.
    if (kit.faultMode().name === 'down') await listeners.stopListening();
  } catch (e) {
    await listeners.closeAdmin();
    if (ownsStore) await store.close().catch(() => {});
    throw e;
  }
  if (retentionMs > 0) {
    sweep().catch(() => {});
    scheduleSweep();
  }
  return service;
}

/**
 * The fingerprint key: the option's (a text or bytes of at least
 * kMinFingerprintKeyBytes), else the database's, made on first use.
 * @param {Store} store
 * @param {string | Buffer | null | undefined} given
 * @returns {Promise<Buffer>}
 */
async function fingerprintKeyOf(store, given) {
  if (given !== undefined && given !== null) {
    const key = Buffer.isBuffer(given) ? given : Buffer.from(String(given), 'utf8');
    if (key.length < kMinFingerprintKeyBytes) throw new Error(`the fingerprint key has fewer than ${kMinFingerprintKeyBytes} bytes`);
    return key;
  }
  const hex = await store.serviceKey(kFingerprintKeyName, crypto.randomBytes(32).toString('hex'));
  return Buffer.from(hex, 'hex');
}

module.exports = {
  startService,
  recordJson,
  TOKEN_PATH: paths.TOKEN_PATH,
  SITUATION_PATH: paths.SITUATION_PATH,
  VERIFY_PATH: paths.VERIFY_PATH,
  FORGET_PATH: paths.FORGET_PATH,
  HEALTH_PATH: paths.HEALTH_PATH,
  METRICS_PATH: paths.METRICS_PATH,
  MODES,
};
