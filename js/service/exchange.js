// @ts-check
'use strict';
// The exchange: the two paths the library posts to ("/udid/m1" token,
// "/udid/sa-m" situation report). What can be refused before the body is
// read is refused first (path, method, app key, declared length, the
// registered app and its schemes); then the body is read within its limit,
// opened, its signature checked and parsed. A token is committed, with the
// signals its data raises, before it is answered; a situation report's
// tracer events join the signals of its token's installation. The answer
// follows the fault mode in force (development) or is the normal one.

const { createScheme, wire } = require('./codecs');
const { parseStored, kHourMs } = require('./store');
const apps = require('./apps');
const signals = require('./signals');
const { TOKEN_PATH, SITUATION_PATH } = require('./paths');
const { readBody, declaredLength, replyEmpty } = require('./http-io');
const { kTokenLifeMs, kMaxInstallationIdLength, freshToken, tokenHash, isTokenText } = require('./tokens');
const { TOKENLESS_MODES, answerFor } = require('./fault-modes');
const { valueOf } = require('./development');

/**
 * @typedef {import('node:http').IncomingMessage} Request
 * @typedef {import('node:http').ServerResponse} Response
 * @typedef {import('./records').RequestRecord} RequestRecord
 * @typedef {import('./codecs').Scheme} Scheme
 * @typedef {import('./codecs').Limits} Limits
 * @typedef {import('./store').App} App
 * @typedef {import('./fault-modes').Issued} Issued
 *
 * @typedef {object} ExchangeContext
 * @property {boolean} development
 * @property {import('./store').Store} store
 * @property {import('./store-calls').StoreCall} storeCall
 * @property {ReturnType<typeof import('./metrics').createMetrics>} metrics
 * @property {Limits} limits
 * @property {number} maxBodyBytes
 * @property {Buffer} fingerprintKey
 * @property {import('./development').DevelopmentKit} kit
 * @property {import('./records').Recorder} recorder
 * @property {import('./timers').Timers} timers
 * @property {(res: Response) => void} hold keeps a "hang" answer open until the listener stops
 */

/**
 * Opens one request's body into `rec`; returns the payload, or null with
 * rec.error set.
 * @param {RequestRecord} rec
 * @param {Buffer} body
 * @param {Limits} limits
 * @returns {{ scheme: Scheme, payload: Buffer } | null}
 */
function openRequest(rec, body, limits) {
  const q = rec.query;
  if (typeof q.appKey !== 'string') {
    rec.error = 'missing appKey';
    return null;
  }
  if (typeof q.sign !== 'string') {
    rec.error = 'missing sign';
    return null;
  }
  if (q.alg !== undefined && q.alg !== 'gm') {
    rec.error = `unknown alg "${q.alg}"`;
    return null;
  }
  const scheme = createScheme(q.alg === 'gm' ? 'gm' : 'legacy', q.appKey);
  rec.scheme = scheme.name;
  const zip = scheme.decrypt(body);
  if (zip === null) {
    rec.error = 'body does not decrypt';
    return null;
  }
  const payload = wire.unpackArchive(zip, limits.maxPayloadBytes);
  if (payload === null) {
    rec.error = `no entry "data" of at most ${limits.maxPayloadBytes} bytes in the archive`;
    return null;
  }
  rec.payloadLength = payload.length;
  const expected = scheme.sign(payload);
  rec.signOk = expected === q.sign;
  if (!rec.signOk) {
    rec.error = 'signature does not match';
    rec.expectedSign = expected;
    return null;
  }
  return { scheme, payload };
}

/**
 * Parses a token request's payload into `rec`; false with rec.error set
 * when it is not one within the limits.
 * @param {RequestRecord} rec
 * @param {Buffer} payload
 * @param {Limits} limits
 * @returns {boolean}
 */
function parseTokenRequest(rec, payload, limits) {
  const req = wire.decodeTokenRequest(payload, limits);
  if (req === null) {
    rec.error = 'payload is not a TokenRequest within the limits';
    return false;
  }
  rec.header = req.header;
  rec.command = req.command;
  rec.entries = req.entries;
  rec.extraEntries = req.extraEntries;
  rec.data = req.data;
  if (req.bodyError !== null) {
    rec.error = req.bodyError;
    return false;
  }
  if (req.command !== wire.COMMAND_TOKEN) {
    rec.error = `command ${req.command} is not ${wire.COMMAND_TOKEN}`;
    return false;
  }
  if (typeof req.data.K58 === 'string' && req.data.K58.length > kMaxInstallationIdLength) {
    rec.error = `installation id longer than ${kMaxInstallationIdLength} characters`;
    return false;
  }
  return true;
}

/**
 * @param {RequestRecord} rec
 * @param {Buffer} payload
 */
function parseSituation(rec, payload) {
  rec.body = payload.toString('utf8');
  rec.json = null;
  if (payload.length === 0) return;  // the library sends an empty report as is
  try {
    rec.json = JSON.parse(rec.body);
  } catch (e) {
    rec.jsonError = e.message;
  }
}

/**
 * @param {ExchangeContext} ctx
 * @returns {(req: Request, res: Response, rawUrl: string, pathname: string) => Promise<void>}
 */
function createExchange(ctx) {
  const { development, store, storeCall, metrics, limits, maxBodyBytes, fingerprintKey, kit, recorder } = ctx;
  const { settings } = kit;
  let seq = 0;

  // The registered app of a request's key. In development an unknown key is
  // registered on its first request.
  /** @param {string} appKey @returns {Promise<App | null>} */
  async function appFor(appKey) {
    const app = await storeCall('app', () => store.getApp(appKey));
    if (app !== null || !development) return app;
    try {
      return (await apps.addApp(store, { appKey })).app;
    } catch (e) {
      // Registered meanwhile by a request running beside this one.
      return storeCall('app', () => store.getApp(appKey));
    }
  }

  // Commits the token of one exchange, with the signals its data raises:
  // { ulvok, uuid? } once it is stored.
  /**
   * @param {RequestRecord} rec
   * @param {App} app
   * @param {string} scheme
   * @param {number} arrival
   * @returns {Promise<Issued>}
   */
  async function issue(rec, app, scheme, arrival) {
    const data = /** @type {Record<string, string>} */ (rec.data);
    const ulvok = String(valueOf(settings.token, rec) || freshToken());
    const uuidSetting = valueOf(settings.uuid, rec);
    const uuid = uuidSetting === undefined || uuidSetting === null ? undefined : String(uuidSetting);
    // The installation is the one the device sent ("K58"), or the one this
    // answer gives it.
    const installationId = uuid || data.K58 || '';
    const k200 = Number(data.K200);
    const k7 = data.K7;
    const thresholds = signals.withDefaults(app.thresholds);
    const fingerprint = signals.deviceFingerprint(data, fingerprintKey, app.appKey);
    const history = await storeCall('history', () => store.exchangeHistory({
      appKey: app.appKey, installationId, fingerprint, churnSince: arrival - thresholds.churnWindowMs, hourSince: arrival - kHourMs,
    }));
    const raised = signals.exchangeSignals(data, { receivedAt: arrival, signature: app.signature, thresholds, history });
    const assessment = signals.assess(raised, thresholds);
    if (development) rec.assessment = assessment;
    await storeCall('exchange', () => store.recordExchange({
      tokenHash: tokenHash(ulvok),
      appKey: app.appKey,
      installationId,
      issuedAt: arrival,
      expiresAt: arrival + kTokenLifeMs,
      scheme,
      clockOffsetMs: Number.isSafeInteger(k200) && data.K200 !== '' ? k200 - arrival : null,
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
  /**
   * @param {RequestRecord} rec
   * @param {App} app
   * @param {number} arrival
   */
  async function noteReport(rec, app, arrival) {
    const json = rec.json;
    if (json === null || typeof json !== 'object' || !isTokenText(json.ulvok)) return;
    const raised = signals.reportSignals(json.K350, app.thresholds);
    if (raised.length === 0) return;
    const row = await storeCall('report', () => store.findToken(tokenHash(json.ulvok)));
    if (row === null || row.appKey !== app.appKey || row.expiresAt <= arrival || row.lastExchangeAt === null) return;
    const lastExchangeAt = row.lastExchangeAt;
    const before = parseStored(row.assessment);
    const kept = before && Array.isArray(before.signals) ? before.signals : [];
    const assessment = signals.assess([...kept, ...raised], app.thresholds);
    if (development) rec.assessment = assessment;
    await storeCall('report', () => store.setAssessment(app.appKey, row.installationId, JSON.stringify(assessment), lastExchangeAt));
  }

  // The message (before archive and seal) of a normal answer.
  /**
   * @param {RequestRecord} rec
   * @param {'token' | 'situation'} endpoint
   * @param {Issued | null} issued
   * @returns {Buffer}
   */
  function normalMessage(rec, endpoint, issued) {
    const answer = /** @type {import('./records').AnswerRecord} */ (rec.answer);
    if (endpoint === 'token') {
      answer.command = wire.COMMAND_TOKEN;
      answer.status = wire.STATUS_OK;
      return wire.encodeTokenResponse(issued || {});
    }
    const text = valueOf(settings.situationAnswer, rec);
    const reply = text === undefined || text === null ? JSON.stringify({ code: 0, seq: rec.seq }) : text;
    answer.text = Buffer.isBuffer(reply) ? reply.toString('utf8') : String(reply);
    return Buffer.isBuffer(reply) ? reply : Buffer.from(String(reply), 'utf8');
  }

  return async function exchange(req, res, rawUrl, pathname) {
    const arrival = Date.now();
    const endpoint = pathname === TOKEN_PATH ? 'token' : pathname === SITUATION_PATH ? 'situation' : null;
    /** @type {RequestRecord} */
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
    /**
     * @param {number} status
     * @param {string} reason the refusal's label in the metrics
     * @param {string | null} error
     * @param {boolean} bodyRead
     */
    const refuse = (status, reason, error, bodyRead) => {
      rec.error = error;
      rec.answer = { httpStatus: status };
      recorder.record(rec);
      metrics.refusal(reason);
      replyEmpty(res, status, bodyRead);
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
    const body = /** @type {Buffer} */ (read.body);
    rec.bodyLength = body.length;

    const opened = openRequest(rec, body, limits);
    if (opened === null) return refuse(400, 'unopened', rec.error, true);
    if (endpoint === 'token') {
      if (!parseTokenRequest(rec, opened.payload, limits)) return refuse(400, 'unopened', rec.error, true);
    } else {
      parseSituation(rec, opened.payload);
      try {
        await noteReport(rec, app, arrival);
      } catch (e) {
        return refuse(503, 'database', 'database unavailable', true);
      }
    }

    const m = kit.takeMode(endpoint);
    /** @type {Issued | null} */
    let issued = null;
    if (endpoint === 'token' && !TOKENLESS_MODES.has(m.name)) {
      try {
        issued = await issue(rec, app, opened.scheme.name, arrival);
      } catch (e) {
        return refuse(503, 'database', 'database unavailable', true);
      }
    }
    const plan = answerFor(rec, endpoint, opened.scheme, m, issued, () => normalMessage(rec, endpoint, issued));
    const answer = /** @type {import('./records').AnswerRecord} */ (rec.answer);
    if (plan.status !== undefined) answer.httpStatus = plan.status;
    if (plan.body !== undefined) answer.bodyLength = plan.body.length;
    recorder.record(rec);

    if (plan.hang) {
      ctx.hold(res);
      return;
    }
    const send = () => {
      if (res.destroyed) return;
      const sent = /** @type {Buffer} */ (plan.body);
      res.writeHead(/** @type {number} */ (plan.status), { 'Content-Type': 'application/octet-stream', 'Content-Length': sent.length });
      res.end(sent);
      if (issued) metrics.issued();
    };
    if (plan.delayMs) ctx.timers.later(plan.delayMs, send);
    else send();
  };
}

module.exports = { createExchange };
