// @ts-check
'use strict';
// Opening the texts the library hands to applications, given the application
// key: the degrade token (six "!"-separated fields, made URL-safe) and the
// business sign (Base64 of AES-256-ECB of a JSON object). Used by the tests
// and the decode tool; nothing here calls the native library.

const { createScheme, md5Hex, aesEcbEncrypt, aesEcbDecrypt, bytes } = require('./scheme');
const { open, decodeTokenRequest } = require('./wire');

const DEGRADE_FIELDS = 6;
const MAX_SERVICE_TOKEN = 40;  // longer texts (and the empty one) are degrade tokens

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
 * @typedef {{ problem: string, fields?: undefined } | OpenedFields} OpenedToken
 */

/**
 * @param {string} text
 * @returns {boolean}
 */
function isDegradeToken(text) {
  const n = Buffer.byteLength(text, 'utf8');
  return n === 0 || n > MAX_SERVICE_TOKEN;
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
// is passed in). Returns the fields, the request bytes, the parsed request
// and whether the signature matches; `problem` names the first failure.
/**
 * @param {unknown} token
 * @param {import('./scheme').Bytes} [appKey] default: the token's own key field
 * @returns {OpenedToken}
 */
function openDegradeToken(token, appKey) {
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
    out.problem = out.problem || 'data field does not open under the key';
    return out;
  }
  out.requestBytes = payload;
  out.signOk = scheme.sign(payload) === f.sign;
  out.request = decodeTokenRequest(payload);
  if (out.request === null) out.problem = out.problem || 'data is not a TokenRequest';
  else if (!out.signOk) out.problem = out.problem || 'signature does not match';
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

// Opens a business sign made for `text` under `appKey`: the JSON text and
// its parsed object, or null when it does not open.
/**
 * @param {string} sign
 * @param {unknown} appKey
 * @param {unknown} [text]
 * @returns {{ json: string, fields: any } | null} fields: the parsed JSON, null when it does not parse
 */
function openBusinessSign(sign, appKey, text = '') {
  const plainText = aesEcbDecrypt(businessSignKey(appKey, text), Buffer.from(sign, 'base64'));
  if (plainText === null) return null;
  const json = plainText.toString('utf8');
  let fields = null;
  try {
    fields = JSON.parse(json);
  } catch (e) {
    fields = null;  // the text is returned as is; the caller sees fields null
  }
  return { json, fields };
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
  isDegradeToken,
  splitDegradeToken,
  openDegradeToken,
  businessSignKey,
  openBusinessSign,
  makeBusinessSign,
};
