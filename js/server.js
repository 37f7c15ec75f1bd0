// @ts-check
'use strict';
// The backend's half: opens what an application sends to its own backend,
// with the application key and nothing else. Needs no native library.
//
//   const server = require('quon-risk-comm/server');
//   server.isDegradeToken(token)            // service token or degrade token?
//   server.openDegradeToken(token, appKey)  // its fields and the request it carries
//   server.openBusinessSign(sign, appKey, text)  // the JSON fields, or null
//   server.businessSignDigest(fields, text) // one name per sign, for a replay store
//   server.ERROR_CODES                      // what the error field of a degrade token means
//   server.LIMITS                           // what is refused by its size alone
//   await server.verifyToken(token, { service, secret })     // asks the token service
//   await server.verifyBusinessSign(sign, text, { appKey, service, secret })  // the whole check
//
// What these prove: the application key ships inside every copy of the app,
// so anyone can make a business sign or a degrade token. Opening one tells
// what it claims, never who made it; only a service token that the token
// service confirms is evidence (see server.d.ts and the README).
//
// Every byte handed in is taken as hostile: these functions never throw on
// what they are given to open (only on a missing application key, which is
// a fault of the caller), and every input is bounded by LIMITS before any
// work is done on it.

const tokens = require('./lib/tokens');
const { ERROR_CODES, describeCode } = require('./lib/codes');
const { LIMITS } = require('./lib/limits');
const verify = require('./lib/verify');

/** @type {(fn: string, options: unknown) => asserts options is import('./lib/verify').ServiceOptions} */
const requireServiceOptions = verify.requireServiceOptions;

const DEFAULT_MAX_AGE_MS = 5 * 60 * 1000;

// A missing or empty key would open a token under a key of the sender's
// choosing (or under the empty key): refuse it at the call.
/**
 * @param {string} fn
 * @param {unknown} appKey
 * @returns {asserts appKey is string}
 */
function requireAppKey(fn, appKey) {
  if (typeof appKey !== 'string' || appKey === '') {
    throw new TypeError(`${fn} needs the application key as a non-empty string (got ${appKey === '' ? 'the empty string' : typeof appKey})`);
  }
}

// True for the texts the library makes locally: the empty text and any text
// longer than 40 bytes. Service tokens are 1 to 40 bytes long. False for
// anything that is not a string.
/**
 * @param {unknown} text
 * @returns {boolean}
 */
function isDegradeToken(text) {
  return typeof text === 'string' && tokens.isDegradeToken(text);
}

/**
 * @param {string} problem
 * @returns {import('./server').OpenedDegradeToken}
 */
function notOpened(problem) {
  return {
    ok: false, problem, fields: null, scheme: null, sdkVersion: null, signatureOk: false,
    signedFields: tokens.SIGNED_FIELDS, unsignedFields: tokens.UNSIGNED_FIELDS, appKeyMatches: false,
    errorCode: null, error: null, request: null,
  };
}

// The key as the token's key field spells it ("+" to "-", "/" to "_", no "=").
/** @param {string} appKey @returns {string} */
function urlSafeKey(appKey) {
  return appKey.replace(/\+/g, '-').replace(/\//g, '_').replace(/=/g, '');
}

// Opens a degrade token under the application key. Throws a TypeError when
// the key is missing or empty; otherwise never throws: `ok` is true when the
// data opened under the key, its signature holds and it parsed as a request
// within the limits. The request is parsed only once the signature holds.
/**
 * @param {unknown} token
 * @param {string} appKey
 * @returns {import('./server').OpenedDegradeToken}
 */
function openDegradeToken(token, appKey) {
  requireAppKey('openDegradeToken', appKey);
  if (typeof token !== 'string') return notOpened('not a string');
  const opened = tokens.openDegradeToken(token.trim(), appKey);
  if (!opened.fields) return notOpened(opened.problem);
  const f = opened.fields;
  const request = opened.request && opened.problem === null ? {
    header: opened.request.header,
    command: opened.request.command,
    data: Object.fromEntries(opened.request.entries),
  } : null;
  const errorCode = Number.isFinite(f.errorCode) ? f.errorCode : null;
  return {
    ok: opened.problem === null,
    problem: opened.problem,
    fields: { data: f.data, appKey: f.appKey, sign: f.sign, sdkVersion: f.sdkVersion, alg: f.alg, error: f.error },
    scheme: opened.scheme,
    sdkVersion: f.sdkVersion,
    signatureOk: opened.signOk,
    signedFields: tokens.SIGNED_FIELDS,
    unsignedFields: tokens.UNSIGNED_FIELDS,
    appKeyMatches: f.appKey === urlSafeKey(appKey),
    errorCode,
    error: errorCode === null ? null : describeCode(errorCode),
    request,
  };
}

// Opens a business sign made for `text` under the application key: the
// fields of its JSON object, or null when it does not open to an object
// whose every value is a string. Throws a TypeError when the key is missing
// or empty; null for a sign or text that is not a string or over its limit.
/**
 * @param {unknown} sign
 * @param {string} appKey
 * @param {unknown} [text]
 * @returns {Record<string, string> | null}
 */
function openBusinessSign(sign, appKey, text = '') {
  requireAppKey('openBusinessSign', appKey);
  if (typeof sign !== 'string' || typeof text !== 'string') return null;
  const json = tokens.openSignText(sign.trim(), appKey, text, LIMITS);
  return json === null ? null : tokens.stringFields(json, LIMITS.maxEntries);
}

// The canonical digest of an opened sign (lowercase hex SHA-256 of the text
// and the fields in key order): the same for every spelling of one sign.
const { businessSignDigest } = tokens;

// A number the service answered, or null.
/** @param {unknown} v @returns {number | null} */
const numberOr = (v) => (typeof v === 'number' && Number.isFinite(v) ? v : null);

// What the service said of a token, as the result reports it.
/**
 * @param {import('./lib/verify').Verified} v
 * @returns {import('./server').TokenVerdict}
 */
function tokenVerdict(v) {
  const a = v.answer || {};
  return {
    ok: v.ok,
    reason: v.reason,
    reached: v.reached,
    httpStatus: v.httpStatus,
    installationId: typeof a.installationId === 'string' ? a.installationId : null,
    issuedAt: numberOr(a.issuedAt),
    expiresAt: numberOr(a.expiresAt),
    clockOffsetMs: numberOr(a.clockOffsetMs),
    level: typeof a.level === 'string' ? a.level : null,
    signals: Array.isArray(a.signals) ? a.signals : null,
    answer: v.answer,
  };
}

// Asks the token service whether `token` is one it issued to this app and
// still valid. Resolves, never rejects: `ok` is true only when the service
// said so. Throws a TypeError (at the call) when `service` or `secret` is
// missing. A degrade token or a text that is no service token is not sent.
/**
 * @param {unknown} token
 * @param {import('./lib/verify').ServiceOptions} options
 * @returns {Promise<import('./server').TokenVerdict>}
 */
function verifyToken(token, options) {
  requireServiceOptions('verifyToken', options);
  return verifyServiceToken(token, undefined, options);
}

/**
 * @param {unknown} token
 * @param {string | undefined} digest
 * @param {import('./lib/verify').ServiceOptions} options
 * @returns {Promise<import('./server').TokenVerdict>}
 */
async function verifyServiceToken(token, digest, options) {
  if (typeof token !== 'string' || tokens.isDegradeToken(token)) {
    const reason = typeof token === 'string' ? 'degrade-token' : 'malformed';
    return tokenVerdict({ ok: false, reason, reached: false, httpStatus: null, answer: null });
  }
  return tokenVerdict(await verify.askService(token, digest, options));
}

// The whole check of a business sign made for `text`: it opens under the
// key for this very text; the token it carries is confirmed by the token
// service, which consumes the sign's digest (a second use, on any backend
// sharing the service, is a replay); its timestamp, moved from the device's
// clock to the service's by the offset the service measured at the device's
// last exchange, is within `maxAgeMs`. `ok` only when every check passed;
// `reasons` names each that did not. Resolves, never rejects; throws a
// TypeError at the call for missing options. A sign carrying a degrade token
// is never ok (nothing can confirm it); with `degrade: 'open'` the opened
// token is in the result for the backend's own rules.
/**
 * @param {unknown} sign
 * @param {unknown} text
 * @param {import('./server').VerifySignOptions} options
 * @returns {Promise<import('./server').SignVerdict>}
 */
async function verifyBusinessSign(sign, text, options) {
  requireServiceOptions('verifyBusinessSign', options);
  requireAppKey('verifyBusinessSign', options.appKey);
  const maxAgeMs = options.maxAgeMs ?? DEFAULT_MAX_AGE_MS;
  const now = options.now || Date.now;
  /** @type {import('./server').SignVerdict} */
  const out = {
    ok: false, reasons: [], fields: null, digest: null, signedAt: null, ageMs: null, timeBasis: null, token: null, degrade: null,
  };
  if (typeof text !== 'string' || text === '') {
    out.reasons.push('no-text');
    return out;
  }
  const fields = openBusinessSign(sign, options.appKey, text);
  if (fields === null) {
    out.reasons.push('sign-does-not-open');
    return out;
  }
  out.fields = fields;
  out.digest = businessSignDigest(fields, text);
  out.signedAt = numberOr(Number(fields.timestamp));
  if (isDegradeToken(fields.ulvok)) {
    out.reasons.push('degrade-token');
    if (options.degrade === 'open') out.degrade = openDegradeToken(fields.ulvok, options.appKey);
    return out;
  }
  out.token = await verifyServiceToken(fields.ulvok, out.digest, options);
  if (!out.token.ok) out.reasons.push(/** @type {string} */ (out.token.reason));
  if (out.token.reached && out.token.reason !== 'unauthorized') {
    out.timeBasis = out.token.clockOffsetMs === null ? 'device' : 'service';
    if (out.signedAt !== null) out.ageMs = now() - (out.signedAt - (out.token.clockOffsetMs || 0));
    if (out.ageMs === null || !(Math.abs(out.ageMs) <= maxAgeMs)) out.reasons.push('stale');
  }
  out.ok = out.reasons.length === 0;
  return out;
}

/** @type {typeof import('./server')} */
module.exports = {
  isDegradeToken,
  openDegradeToken,
  openBusinessSign,
  businessSignDigest,
  verifyToken,
  verifyBusinessSign,
  describeCode,
  ERROR_CODES,
  LIMITS,
};
