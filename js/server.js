// @ts-check
'use strict';
// The backend's half: opens what an application sends to its own backend,
// with the application key and nothing else. Needs no native library.
//
//   const server = require('quon-risk-comm/server');
//   server.isDegradeToken(token)            // service token or degrade token?
//   server.openDegradeToken(token, appKey)  // its fields and the request it carries
//   server.openBusinessSign(sign, appKey, text)  // the JSON fields, or null
//   server.ERROR_CODES                      // what the error field of a degrade token means

const tokens = require('./lib/tokens');
const { ERROR_CODES, describeCode } = require('./lib/codes');

// True for the texts the library makes locally: the empty text and any text
// longer than 40 bytes. Service tokens are 1 to 40 bytes long.
/**
 * @param {unknown} text
 * @returns {boolean}
 */
function isDegradeToken(text) {
  return tokens.isDegradeToken(String(text));
}

// Opens a degrade token under the application key. Never throws; `ok` is
// true when the data opened, parsed as a request and its signature holds.
/**
 * @param {unknown} token
 * @param {string} appKey
 * @returns {import('./server').OpenedDegradeToken}
 */
function openDegradeToken(token, appKey) {
  const opened = tokens.openDegradeToken(String(token).trim(), appKey);
  if (!opened.fields) {
    return {
      ok: false, problem: opened.problem, fields: null, scheme: null, sdkVersion: null,
      signatureOk: false, errorCode: null, error: null, request: null,
    };
  }
  const f = opened.fields;
  const request = opened.request ? {
    header: opened.request.header,
    command: opened.request.command,
    data: Object.fromEntries(opened.request.entries),
  } : null;
  return {
    ok: opened.problem === null,
    problem: opened.problem,
    fields: { data: f.data, appKey: f.appKey, sign: f.sign, sdkVersion: f.sdkVersion, alg: f.alg, error: f.error },
    scheme: opened.scheme,
    sdkVersion: f.sdkVersion,
    signatureOk: opened.signOk,
    errorCode: Number.isFinite(f.errorCode) ? f.errorCode : null,
    error: Number.isFinite(f.errorCode) ? describeCode(f.errorCode) : null,
    request,
  };
}

// Opens a business sign made for `text` under the application key: the
// JSON object's fields, or null when it does not open to one.
/**
 * @param {unknown} sign
 * @param {unknown} appKey
 * @param {unknown} [text]
 * @returns {Record<string, string> | null}
 */
function openBusinessSign(sign, appKey, text = '') {
  const opened = tokens.openBusinessSign(String(sign).trim(), String(appKey), String(text));
  if (opened === null || opened.fields === null || typeof opened.fields !== 'object' || Array.isArray(opened.fields)) {
    return null;
  }
  return opened.fields;
}

/** @type {typeof import('./server')} */
module.exports = { isDegradeToken, openDegradeToken, openBusinessSign, describeCode, ERROR_CODES };
