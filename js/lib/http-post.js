// @ts-check
'use strict';
// The HTTP client of the reference bridge: one POST with node:http or
// node:https over connections kept open, a time limit on the whole
// exchange and a size limit on the answer; a failure rejects with an Error
// whose numeric code the library reads (it reports minus the code as the
// post's status):
//   6 the host name does not resolve   7 the connection failed
//   28 the time limit passed           56 the connection broke while receiving
//   63 the answer is longer than the size limit (reading stops there)
//   1 anything else (bad URL, unsupported protocol)

const http = require('node:http');
const https = require('node:https');
const net = require('node:net');
// The timers come from node:timers, never from the globals: the host's
// script may replace those (fake timers that run only when their clock is
// ticked), and a post's time limit must not wait for that.
const { clearTimeout, setTimeout } = require('node:timers');

const POST_ERROR_RESOLVE = 6;
const POST_ERROR_CONNECT = 7;
const POST_ERROR_TIMEOUT = 28;
const POST_ERROR_RECEIVE = 56;
const POST_ERROR_TOO_LARGE = 63;
const POST_ERROR_OTHER = 1;
const RESULT_TYPE_ARRAY_BUFFER = 2;
const kDefaultPostTimeoutMs = 10000;
// Above the largest answer the library opens (a 4 MiB entry with its archive
// and cipher overhead), so that the library's own limit is the one that
// decides; far below what would strain the host.
const kDefaultMaxResponseBytes = 8 * 1024 * 1024;

/**
 * @typedef {import('../index').PostAnswer} PostAnswer
 * @typedef {Error & { code: number, cause?: unknown }} PostError a rejection of post
 */

// Error codes of node:net, node:dns and node:http, by rejection code.
/** @type {Record<string, number | undefined>} */
const POST_ERROR_OF_SYSTEM_CODE = {
  ENOTFOUND: POST_ERROR_RESOLVE, EAI_AGAIN: POST_ERROR_RESOLVE, EAI_FAIL: POST_ERROR_RESOLVE,
  ECONNREFUSED: POST_ERROR_CONNECT, EHOSTUNREACH: POST_ERROR_CONNECT, ENETUNREACH: POST_ERROR_CONNECT,
  EADDRNOTAVAIL: POST_ERROR_CONNECT,
  ETIMEDOUT: POST_ERROR_TIMEOUT,
  ECONNRESET: POST_ERROR_RECEIVE, EPIPE: POST_ERROR_RECEIVE, ECONNABORTED: POST_ERROR_RECEIVE,
};

/**
 * @param {any} err
 * @returns {number}
 */
function postErrorCode(err) {
  if (err && err.code === POST_ERROR_TOO_LARGE) return POST_ERROR_TOO_LARGE;
  if (err && err.name === 'TimeoutError') return POST_ERROR_TIMEOUT;
  const code = err && (err.code || (err.cause && err.cause.code));
  return POST_ERROR_OF_SYSTEM_CODE[code] || POST_ERROR_OTHER;
}

// A rejection value the library reads: an Error with a numeric "code".
/**
 * @param {any} err
 * @returns {PostError}
 */
function postError(err) {
  const e = /** @type {PostError} */ (new Error(`post failed: ${err && err.message ? err.message : err}`));
  e.code = postErrorCode(err);
  e.cause = err;
  return e;
}

/** @type {Readonly<Record<number, string>>} */
const POST_ERROR_NAMES = Object.freeze({
  [POST_ERROR_RESOLVE]: 'resolve', [POST_ERROR_CONNECT]: 'connect', [POST_ERROR_TIMEOUT]: 'timeout',
  [POST_ERROR_RECEIVE]: 'receive', [POST_ERROR_TOO_LARGE]: 'too large', [POST_ERROR_OTHER]: 'other',
});

/**
 * @param {string} url
 * @returns {boolean}
 */
function invalidHost(url) {
  try {
    const host = new URL(url).hostname.toLowerCase().replace(/\.$/, '');
    return host === 'invalid' || host.endsWith('.invalid');
  } catch (e) {
    return false;  // the post reports the bad address
  }
}

// Connections are kept open between posts, as an app's HTTP stack does.
/** @type {Record<string, http.Agent | undefined>} */
const agents = {
  'http:': new http.Agent({ keepAlive: true, maxSockets: 4 }),
  'https:': new https.Agent({ keepAlive: true, maxSockets: 4 }),
};

// One POST through httpPost and the agent over loopback, to a server of its
// own; nothing of it outlives the answer (no socket, no listener).
function warmHttpClient() {
  const server = net.createServer((socket) => {
    socket.on('error', () => {});
    // An answer with a body, as the services give: its reading path warms too.
    socket.once('data', () => socket.end('HTTP/1.1 200 OK\r\nContent-Length: 1\r\nConnection: close\r\n\r\n0'));
  });
  server.on('error', () => {});
  server.unref();
  server.listen(0, '127.0.0.1', () => {
    const done = () => server.close();
    const { port } = /** @type {import('node:net').AddressInfo} */ (server.address());
    httpPost(`http://127.0.0.1:${port}/`, new ArrayBuffer(1), kDefaultPostTimeoutMs, 1024)
      .then(done, done);
  });
}

/**
 * @param {string} what
 * @param {number} maxBytes
 * @returns {PostError}
 */
function tooLarge(what, maxBytes) {
  const e = /** @type {PostError} */ (new Error(`answer ${what} is larger than ${maxBytes} bytes`));
  e.code = POST_ERROR_TOO_LARGE;
  return e;
}

/**
 * @param {number} ms
 * @returns {Error}
 */
function timeoutError(ms) {
  const e = new Error(`no answer within ${ms} ms`);
  e.name = 'TimeoutError';
  return e;
}

// POSTs body (an ArrayBuffer, or text) to url with node:http or node:https;
// the time limit covers the whole answer, which is read no further than
// maxBytes (a longer, or longer declared, answer closes the connection and
// rejects). Redirects are not followed.
/**
 * @param {string} url
 * @param {ArrayBuffer | string | null | undefined} body
 * @param {number} timeoutMs
 * @param {number} maxBytes
 * @returns {Promise<PostAnswer & { result: ArrayBuffer }>}
 */
function httpPost(url, body, timeoutMs, maxBytes) {
  return new Promise((resolve, reject) => {
    /** @type {URL} */
    let target;
    try {
      target = new URL(url);
      if (!agents[target.protocol]) throw new Error(`unsupported protocol ${target.protocol}`);
    } catch (err) {
      reject(postError(err));
      return;
    }
    const bytes = body instanceof ArrayBuffer ? Buffer.from(body) : Buffer.from(body || '');
    let done = false;
    /**
     * @param {Error | null} err
     * @param {PostAnswer & { result: ArrayBuffer }} [answer] when err is null
     */
    const finish = (err, answer) => {
      if (done) return;
      done = true;
      clearTimeout(timer);
      if (err) {
        request.destroy();
        reject(postError(err));
      } else {
        resolve(/** @type {PostAnswer & { result: ArrayBuffer }} */ (answer));
      }
    };
    const transport = target.protocol === 'https:' ? https : http;
    let retried = false;
    /** @returns {import('node:http').ClientRequest} */
    const send = () => transport.request(target, {
      method: 'POST',
      agent: agents[target.protocol],
      headers: { 'content-type': 'application/octet-stream', 'content-length': bytes.length },
    }, (res) => {
      const declared = Number(res.headers['content-length']);
      if (Number.isFinite(declared) && declared > maxBytes) {
        finish(tooLarge(`of ${declared} declared bytes`, maxBytes));
        return;
      }
      /** @type {Buffer[]} */
      const chunks = [];
      let size = 0;
      res.on('data', (chunk) => {
        size += chunk.length;
        if (size > maxBytes) finish(tooLarge('read so far', maxBytes));
        else chunks.push(chunk);
      });
      res.on('error', (err) => finish(err));
      res.on('aborted', () => finish(Object.assign(new Error('the answer was cut'), { code: 'ECONNRESET' })));
      res.on('end', () => {
        const whole = Buffer.concat(chunks);
        // Buffer.concat allocates: an ArrayBuffer, never a shared one.
        const result = /** @type {ArrayBuffer} */ (
          whole.buffer.slice(whole.byteOffset, whole.byteOffset + whole.length));
        // A response of a client request always has its status.
        const responseCode = /** @type {number} */ (res.statusCode);
        finish(null, { responseCode, resultType: RESULT_TYPE_ARRAY_BUFFER, result });
      });
    });
    // A kept-open connection the server has closed meanwhile breaks before
    // any answer: the post goes once more, on a new connection.
    /** @param {import('node:http').ClientRequest} sent */
    const watch = (sent) => {
      sent.on('error', (err) => {
        if (!done && !retried && sent.reusedSocket && /** @type {NodeJS.ErrnoException} */ (err).code === 'ECONNRESET') {
          retried = true;
          request = send();
          watch(request);
          request.end(bytes);
          return;
        }
        finish(err);
      });
    };
    let request = send();
    const timer = setTimeout(() => finish(timeoutError(timeoutMs)), timeoutMs);
    watch(request);
    request.end(bytes);
  });
}

module.exports = {
  httpPost,
  postError,
  warmHttpClient,
  invalidHost,
  POST_ERROR_RESOLVE,
  POST_ERROR_CONNECT,
  POST_ERROR_TIMEOUT,
  POST_ERROR_RECEIVE,
  POST_ERROR_TOO_LARGE,
  POST_ERROR_OTHER,
  POST_ERROR_NAMES,
  RESULT_TYPE_ARRAY_BUFFER,
  kDefaultPostTimeoutMs,
  kDefaultMaxResponseBytes,
};
