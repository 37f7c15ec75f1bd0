// @ts-check
'use strict';
// The API for the app's backends, authenticated with the app's server
// secret (openapi.json):
//   POST /v1/verify  is this token ours, still valid, and whose; the signals,
//                    level and reasons its device's data raised; consumes a
//                    business sign's digest once when asked
//   POST /v1/forget  deletes everything kept about one installation
// A secret of the wrong shape is refused before the body is read; a body is
// JSON of at most kMaxApiBodyBytes; the app of the secret and, for a verify,
// the token are then found in one lookup.

const apps = require('./apps');
const { parseStored } = require('./store');
const { readBody, declaredLength, replyJson } = require('./http-io');
const { kTokenLifeMs, kMaxInstallationIdLength, tokenHash, isTokenText } = require('./tokens');

const kMaxApiBodyBytes = 4096;
const DIGEST_PATTERN = /^[0-9a-f]{64}$/;
const BEARER_PATTERN = /^Bearer ([!-~]+)$/;

/**
 * @typedef {import('node:http').IncomingMessage} Request
 * @typedef {import('node:http').ServerResponse} Response
 * @typedef {(status: number, reason: string, error: string, bodyRead: boolean) => void} Refuse
 *
 * @typedef {object} ApiContext
 * @property {import('./store').Store} store
 * @property {import('./store-calls').StoreCall} storeCall
 * @property {ReturnType<typeof import('./metrics').createMetrics>} metrics
 */

/**
 * @param {ApiContext} ctx
 * @returns {{ verify: (req: Request, res: Response) => Promise<void>, forget: (req: Request, res: Response) => Promise<void> }}
 */
function createBackendApi({ store, storeCall, metrics }) {
  // An API call's app (the one its bearer secret belongs to), its JSON body,
  // and what `find` read in the same lookup; or null once refused. A secret
  // of the wrong shape is refused before the body is read; the body (at most
  // kMaxApiBodyBytes) is read before the lookup, so that a verify finds the
  // app and the token in one.
  /**
   * @template {{ app: import('./store').App | null }} T
   * @param {Request} req
   * @param {Response} res
   * @param {string} op the lookup's name in the metrics
   * @param {(secretId: string, args: Record<string, unknown>) => Promise<T>} find
   * @returns {Promise<{ found: T, app: import('./store').App, args: Record<string, unknown>, refuse: Refuse } | null>}
   */
  async function apiCall(req, res, op, find) {
    /** @type {Refuse} */
    const refuse = (status, reason, error, bodyRead) => {
      metrics.refusal(reason);
      /** @type {Record<string, string>} */
      const headers = bodyRead ? {} : { Connection: 'close' };
      if (status === 401) headers['WWW-Authenticate'] = 'Bearer';
      replyJson(res, status, { error }, headers);
    };
    /** @param {Parameters<Refuse>} args @returns {null} */
    const refused = (...args) => {
      refuse(...args);
      return null;
    };
    if (req.method !== 'POST') return refused(405, 'method', 'POST only', false);
    const m = BEARER_PATTERN.exec(req.headers.authorization || '');
    const secretId = m === null ? null : apps.secretIdOf(m[1]);
    if (m === null || secretId === null) return refused(401, 'unauthorized', 'Authorization: Bearer <the app\'s server secret> is required', false);
    if (declaredLength(req) > kMaxApiBodyBytes) return refused(413, 'too-large', `the body exceeds ${kMaxApiBodyBytes} bytes`, false);
    const read = await readBody(req, kMaxApiBodyBytes);
    if (read.tooLarge) return refused(413, 'too-large', `the body exceeds ${kMaxApiBodyBytes} bytes`, false);
    if (read.broken) return refused(400, 'malformed', 'the body was cut', true);
    let args;
    try {
      args = JSON.parse(read.body.toString('utf8'));
    } catch (e) {
      return refused(400, 'malformed', 'the body is not JSON', true);
    }
    if (args === null || typeof args !== 'object' || Array.isArray(args)) {
      return refused(400, 'malformed', 'the body is not a JSON object', true);
    }
    let found;
    try {
      found = await storeCall(op, () => find(secretId, args));
    } catch (e) {
      return refused(503, 'database', 'database unavailable', true);
    }
    if (found.app === null || !apps.secretMatches(found.app, m[1])) return refused(401, 'unauthorized', 'unknown or revoked secret', true);
    return { found, app: found.app, args, refuse };
  }

  /** @param {Request} req @param {Response} res */
  async function verify(req, res) {
    const call = await apiCall(req, res, 'verify',
      (secretId, args) => store.findAppAndToken(secretId, isTokenText(args.token) ? tokenHash(args.token) : null));
    if (call === null) return;
    const { app, args, refuse } = call;
    const digest = args.consume;
    if (digest !== undefined && (typeof digest !== 'string' || !DIGEST_PATTERN.test(digest))) {
      return refuse(400, 'malformed', '"consume" is a SHA-256 digest: 64 lowercase hexadecimal characters', true);
    }
    const now = Date.now();
    /** @type {Record<string, unknown>} */
    const answer = { valid: false };
    const row = call.found.token;
    if (!isTokenText(args.token)) answer.reason = 'malformed';
    else if (row === null) answer.reason = 'unknown';
    else if (row.appKey !== app.appKey) answer.reason = 'other-app';
    else if (row.expiresAt <= now) answer.reason = 'expired';
    else answer.valid = true;
    if (row !== null && (answer.valid || answer.reason === 'expired')) {
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
    if (row !== null && answer.valid) {
      delete answer.reason;
      // Judged when the exchange (or a report) arrived: read, not computed.
      const a = parseStored(row.assessment);
      const ok = a !== null && Array.isArray(a.signals) && Array.isArray(a.reasons) && typeof a.level === 'string';
      answer.signals = ok ? a.signals : [];
      answer.level = ok ? a.level : 'low';
      answer.reasons = ok ? a.reasons : [];
    }
    answer.serverTime = now;
    if (typeof digest === 'string') {
      // Kept while the sign can be of use: as long as the token it carries.
      const until = row !== null && answer.valid ? row.expiresAt : now + kTokenLifeMs;
      try {
        answer.consumed = await storeCall('consume', () => store.consume(app.appKey, digest, until, now));
      } catch (e) {
        return refuse(503, 'database', 'database unavailable', true);
      }
    }
    metrics.verify(answer.valid ? 'valid' : String(answer.reason));
    replyJson(res, 200, answer);
  }

  /** @param {Request} req @param {Response} res */
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
      deleted = await storeCall('forget', () => store.forgetInstallation(app.appKey, id));
    } catch (e) {
      return refuse(503, 'database', 'database unavailable', true);
    }
    replyJson(res, 200, { deleted });
  }

  return { verify, forget };
}

module.exports = { createBackendApi };
