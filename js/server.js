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
/**
 * @param {Record<string, string>} fields
 * @param {string} text
 * @returns {string}
 */
function businessSignDigest(fields, text) {
  return tokens.businessSignDigest(fields, text);
}

/** @type {typeof import('./server')} */
module.exports = {
  isDegradeToken, openDegradeToken, openBusinessSign, businessSignDigest, describeCode, ERROR_CODES, LIMITS,
};
