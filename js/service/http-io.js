// @ts-check
'use strict';
// Reading request bodies within a limit and writing the service's answers:
// JSON, or an empty body for a refused exchange.

/**
 * @typedef {import('node:http').IncomingMessage} Request
 * @typedef {import('node:http').ServerResponse} Response
 * @typedef {{ body: Buffer, tooLarge?: undefined, broken?: undefined }
 *   | { tooLarge: true, body?: undefined, broken?: undefined }
 *   | { broken: true, body?: undefined, tooLarge?: undefined }} BodyRead
 */

/**
 * Reads a body of at most `limit` bytes: { body } when whole, { tooLarge }
 * as soon as it exceeds the limit (reading stops there), { broken } when
 * the connection ends first.
 * @param {Request} req
 * @param {number} limit
 * @returns {Promise<BodyRead>}
 */
function readBody(req, limit) {
  return new Promise((resolve) => {
    /** @type {Buffer[]} */
    const chunks = [];
    let size = 0;
    let done = false;
    /** @param {BodyRead} result */
    const finish = (result) => {
      if (done) return;
      done = true;
      req.removeListener('data', onData);
      resolve(result);
    };
    /** @param {Buffer} c */
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

/** @param {Request} req @returns {number} the declared length of a body, or -1 when none is declared */
function declaredLength(req) {
  const n = Number(req.headers['content-length']);
  return Number.isSafeInteger(n) && n >= 0 ? n : -1;
}

/**
 * JSON.stringify replacer: Buffers as hexadecimal text.
 * @param {string} key
 * @param {any} value
 * @returns {any}
 */
function jsonBytes(key, value) {
  if (value && value.type === 'Buffer' && Array.isArray(value.data)) return Buffer.from(value.data).toString('hex');
  return value;
}

/**
 * @param {Response} res
 * @param {number} status
 * @param {unknown} obj
 * @param {Record<string, string>} [extraHeaders]
 */
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

/**
 * Answers with an empty body. When the body was not read, the connection
 * is closed after the answer: what the client still sends is not read.
 * @param {Response} res
 * @param {number} status
 * @param {boolean} bodyRead
 */
function replyEmpty(res, status, bodyRead) {
  /** @type {Record<string, string | number>} */
  const headers = { 'Content-Length': 0 };
  if (!bodyRead) headers.Connection = 'close';
  res.writeHead(status, headers);
  res.end();
}

/**
 * Answers 500 after a fault of the service itself, so that it is seen.
 * @param {Response} res
 */
function replyInternalError(res) {
  if (!res.headersSent) res.writeHead(500);
  res.end();
}

module.exports = { readBody, declaredLength, jsonBytes, replyJson, replyEmpty, replyInternalError };
