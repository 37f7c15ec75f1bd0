// @ts-check
'use strict';
// Opening the texts the library hands to applications, given the application
// key: the degrade token (six "!"-separated fields, made URL-safe) and the
// business sign (Base64 of AES-256-ECB of a JSON object). Used by the tests
// and the decode tool; nothing here calls the native library.

const crypto = require('node:crypto');
const { createScheme, md5Hex, aesEcbEncrypt, aesEcbDecrypt, bytes } = require('./scheme');
const { open, decodeTokenRequest } = require('./wire');
const { LIMITS, MAX_SERVICE_TOKEN_BYTES } = require('./limits');

const DEGRADE_FIELDS = 6;

// What the signature of a degrade token covers: the data field alone (the
// serialized request, whose header repeats the key and the SDK version). The
// other fields can be changed without breaking it.
const SIGNED_FIELDS = Object.freeze(['data']);
const UNSIGNED_FIELDS = Object.freeze(['appKey', 'sdkVersion', 'alg', 'error']);

/**
 * @typedef {object} DegradeFields the six fields as text, and the error field as a number
 * @property {string} data
 * @property {string} appKey
 * @property {string} sign
 * @property {string} sdkVersion
 * @property {string} alg
 * @property {string} error
 * @property {number} errorCode NaN when the error field is no number
 *
 * @typedef {object} OpenedFields a token of six fields, opened as far as it goes
 * @property {DegradeFields} fields
 * @property {'gm' | 'legacy'} scheme
 * @property {import('./wire').TokenRequest | null} request
 * @property {Buffer | null} requestBytes
 * @property {boolean} signOk
 * @property {string | null} problem the first failure, null when none
 *
 * @typedef {{ problem: string, fields?: undefined, scheme?: undefined, request?: undefined, requestBytes?: undefined,
 *   signOk?: undefined }} NotOpened a text that is no token of six fields, and why
 * @typedef {NotOpened | OpenedFields} OpenedToken
 */

/**
 * @param {string} text
 * @returns {boolean}
 */
function isDegradeToken(text) {
  const n = Buffer.byteLength(text, 'utf8');
  return n === 0 || n > MAX_SERVICE_TOKEN_BYTES;
}

// Splits a degrade token into its fields without opening anything. The data
// field is URL-safe Base64 without padding; Node's 'base64url' reads it.
/**
 * @param {unknown} token
 * @returns {DegradeFields | null}
 */
function splitDegradeToken(token) {
  const parts = String(token).split('!');
  if (parts.length !== DEGRADE_FIELDS) return null;
  const [data, appKey, sign, sdkVersion, alg, error] = parts;
  return { data, appKey, sign, sdkVersion, alg, error, errorCode: Number.parseInt(error, 10) };
}

// Opens a degrade token under the application key (the key field of the
// token is URL-safe-altered when the key holds "+", "/" or "=", so the key
// is passed in). Returns the fields, the request bytes, whether the signature
// matches and, only when it does, the parsed request; `problem` names the
// first failure. A token over LIMITS.maxDegradeTokenBytes is refused by its
// length; the data inflates to LIMITS.maxPayloadBytes at most.
/**
 * @param {string} token
 * @param {import('./scheme').Bytes} [appKey] default: the token's own key field
 * @returns {OpenedToken}
 */
function openDegradeToken(token, appKey) {
  if (Buffer.byteLength(token, 'utf8') > LIMITS.maxDegradeTokenBytes) {
    return { problem: `longer than ${LIMITS.maxDegradeTokenBytes} bytes` };
  }
  const f = splitDegradeToken(token);
  if (f === null) return { problem: `not ${DEGRADE_FIELDS} fields` };
  const key = appKey === undefined ? f.appKey : appKey;
  const scheme = createScheme(f.alg === 'gm' ? 'gm' : 'legacy', key);
  /** @type {OpenedFields} */
  const out = { fields: f, scheme: scheme.name, request: null, requestBytes: null, signOk: false, problem: null };
  if (f.alg !== '' && f.alg !== 'gm') out.problem = `unknown algorithm field "${f.alg}"`;
  const sealed = Buffer.from(f.data, 'base64url');
  const payload = open(scheme, sealed);
  if (payload === null) {
    out.problem = out.problem || 'data field does not open under the key (or inflates past the limit)';
    return out;
  }
  out.requestBytes = payload;
  out.signOk = scheme.sign(payload) === f.sign;
  if (!out.signOk) {
    out.problem = out.problem || 'signature does not match';
    return out;
  }
  out.request = decodeTokenRequest(payload);
  if (out.request === null) out.problem = out.problem || 'data is not a TokenRequest within the limits';
  else if (out.request.bodyError !== null) out.problem = out.problem || out.request.bodyError;
  return out;
}

// The AES-256 key of a business sign: the 32 lowercase hex characters of
// MD5(appKey + text + appKey), as bytes.
/**
 * @param {unknown} appKey
 * @param {unknown} text
 * @returns {Buffer}
 */
function businessSignKey(appKey, text) {
  return Buffer.from(md5Hex(Buffer.concat([bytes(appKey), bytes(text), bytes(appKey)])), 'ascii');
}

// The JSON text inside a business sign made for `text` under `appKey`, or
// null when it does not open or a text is over its limit
// (LIMITS.maxSignBytes, LIMITS.maxSignedTextBytes).
/**
 * @param {string} sign
 * @param {unknown} appKey
 * @param {string} text
 * @param {Pick<import('./limits').Limits, 'maxSignBytes' | 'maxSignedTextBytes'>} limits
 * @returns {string | null}
 */
function openSignText(sign, appKey, text, limits) {
  if (Buffer.byteLength(sign, 'utf8') > limits.maxSignBytes
    || Buffer.byteLength(text, 'utf8') > limits.maxSignedTextBytes) {
    return null;
  }
  const plainText = aesEcbDecrypt(businessSignKey(appKey, text), Buffer.from(sign, 'base64'));
  return plainText === null ? null : plainText.toString('utf8');
}

// Opens a business sign made for `text` under `appKey`: the JSON text and
// its parsed object, or null when it does not open or a text is over its
// limit.
/**
 * @param {string} sign
 * @param {unknown} appKey
 * @param {string} [text]
 * @param {Pick<import('./limits').Limits, 'maxSignBytes' | 'maxSignedTextBytes'>} [limits]
 * @returns {{ json: string, fields: any } | null} fields: the parsed JSON, null when it does not parse
 */
function openBusinessSign(sign, appKey, text = '', limits = LIMITS) {
  const json = openSignText(sign, appKey, text, limits);
  if (json === null) return null;
  let fields = null;
  try {
    fields = JSON.parse(json);
  } catch (e) {
    fields = null;  // the text is returned as is; the caller sees fields null
  }
  return { json, fields };
}

const QUOTE = 0x22;
const BACKSLASH = 0x5c;
const OPENERS = new Set([0x7b, 0x5b]);  // "{" and "["

// Whether a JSON text is at most one object or array deep with at most
// `maxMembers` members, judged by its structure outside strings, without
// parsing it: what the library writes is one flat object, and parsing deep
// nesting or many members costs far more than the text's length.
/**
 * @param {string} json
 * @param {number} maxMembers
 * @returns {boolean}
 */
function isFlat(json, maxMembers) {
  let inString = false;
  let opened = 0;
  let members = 1;
  for (let i = 0; i < json.length; i++) {
    const c = json.charCodeAt(i);
    if (inString) {
      if (c === BACKSLASH) i++;
      else if (c === QUOTE) inString = false;
    } else if (c === QUOTE) {
      inString = true;
    } else if (OPENERS.has(c)) {
      if (++opened > 1) return false;
    } else if (c === 0x2c && ++members > maxMembers) {  // ","
      return false;
    }
  }
  return true;
}

// The fields of a business sign's JSON text when it is what the library
// writes: one flat JSON object whose every value is a string, of at most
// `maxMembers` members; null otherwise.
/**
 * @param {string} json
 * @param {number} maxMembers
 * @returns {Record<string, string> | null}
 */
function stringFields(json, maxMembers) {
  if (!isFlat(json, maxMembers)) return null;
  let fields;
  try {
    fields = JSON.parse(json);
  } catch (e) {
    return null;
  }
  if (fields === null || typeof fields !== 'object' || Array.isArray(fields)) return null;
  return Object.values(fields).every((v) => typeof v === 'string') ? fields : null;
}

// One name for one sign, however it was spelt: lowercase hex SHA-256 of the
// text the sign was made for and its fields in byte-wise key order, as the
// JSON text of [text, [[key, value], ...]]. Several Base64 spellings (and
// JSON spacings) of the same sign open to the same fields and get the same
// digest, so a replay store keyed by it sees them as one.
/**
 * @param {Record<string, string>} fields
 * @param {string} text
 * @returns {string}
 */
function businessSignDigest(fields, text) {
  const entries = Object.entries(fields).sort(([a], [b]) => Buffer.compare(Buffer.from(a), Buffer.from(b)));
  return crypto.createHash('sha256').update(JSON.stringify([text, entries])).digest('hex');
}

// Seals a JSON text as a business sign; for tests that need a known sign.
/**
 * @param {string} json
 * @param {unknown} appKey
 * @param {unknown} [text]
 * @returns {string} Base64
 */
function makeBusinessSign(json, appKey, text = '') {
  return aesEcbEncrypt(businessSignKey(appKey, text), json).toString('base64');
}

module.exports = {
  SIGNED_FIELDS,
  UNSIGNED_FIELDS,
  isDegradeToken,
  splitDegradeToken,
  openDegradeToken,
  businessSignKey,
  openSignText,
  openBusinessSign,
  stringFields,
  businessSignDigest,
  makeBusinessSign,
};
