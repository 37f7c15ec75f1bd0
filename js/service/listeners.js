// @ts-check
'use strict';
// The service's two HTTP(S) listeners: the exchange's, which serves every
// path and can stop and start again on the same port (the "down" fault
// mode), and, in the development mode, the admin listener, which serves
// /__admin/ only and stays up in every mode. Counts the requests under way
// so that a graceful stop lets them finish.

const http = require('node:http');
const https = require('node:https');
const { ADMIN_PREFIX, endpointLabel, pathOf } = require('./paths');
const { replyInternalError } = require('./http-io');

// A slow client may hold a connection only so long.
const kHeadersTimeoutMs = 20000;
const kRequestTimeoutMs = 60000;

/**
 * @typedef {import('node:http').IncomingMessage} Request
 * @typedef {import('node:http').ServerResponse} Response
 * @typedef {(req: Request, res: Response) => Promise<void>} Handler
 *
 * @typedef {object} Listeners
 * @property {number} port the exchange listener's (known once it listened)
 * @property {number} adminPort
 * @property {boolean} hasAdmin
 * @property {boolean} listening whether the exchange listener takes connections
 * @property {() => Promise<void>} listen starts the exchange listener
 * @property {() => Promise<void>} listenAdmin
 * @property {() => Promise<void>} stopListening stops it at once, ending every connection
 * @property {(graceMs: number) => Promise<void>} drain stops taking connections, lets the
 *   requests under way finish (up to graceMs), then ends every connection
 * @property {() => Promise<void>} closeAdmin
 * @property {(res: Response) => void} hold keeps an answer open until the listener stops
 */

/**
 * @param {{ tls: { cert: string | Buffer, key: string | Buffer } | null, host: string, port: number,
 *   adminPort: number, handle: Handler, handleAdmin: ((req: Request, res: Response, pathname: string) => Promise<void>) | null,
 *   adminOnly: (res: Response) => void,
 *   metrics: ReturnType<typeof import('./metrics').createMetrics>, log: (line: string) => void }} options
 * @returns {Listeners}
 */
function createListeners({ tls, host, port, adminPort, handle, handleAdmin, adminOnly, metrics, log }) {
  /** @type {Set<Response>} */
  const hanging = new Set();
  let listening = false;
  let inflight = 0;
  /** @type {(() => void) | null} */
  let onIdle = null;

  /** @param {http.RequestListener} fn @returns {http.Server} */
  const createServer = (fn) => (tls ? https.createServer({ cert: tls.cert, key: tls.key }, fn) : http.createServer(fn));
  /**
   * @param {unknown} e
   * @param {Response} res
   */
  const internalError = (e, res) => {
    log(`internal error: ${(e instanceof Error && e.stack) || e}`);
    replyInternalError(res);
  };

  const exchangeListener = createServer((req, res) => {
    inflight += 1;
    res.on('finish', () => metrics.request(endpointLabel(req.url), res.statusCode));
    handle(req, res).catch((e) => internalError(e, res)).finally(() => {
      inflight -= 1;
      if (inflight === 0 && onIdle) onIdle();
    });
  });
  exchangeListener.headersTimeout = kHeadersTimeoutMs;
  exchangeListener.requestTimeout = kRequestTimeoutMs;
  const adminListener = handleAdmin ? createServer((req, res) => {
    const pathname = pathOf(req.url);
    if (!pathname.startsWith(ADMIN_PREFIX)) {
      adminOnly(res);
      return;
    }
    handleAdmin(req, res, pathname).catch((e) => internalError(e, res));
  }) : null;

  /** @param {http.Server} s @returns {number} */
  const portOf = (s) => /** @type {import('node:net').AddressInfo} */ (s.address()).port;

  /** @type {Listeners} */
  const listeners = {
    get port() { return port; },
    get adminPort() { return adminPort; },
    hasAdmin: adminListener !== null,
    get listening() { return listening; },
    listen() {
      return new Promise((resolve, reject) => {
        /** @param {Error} e */
        const onError = (e) => {
          exchangeListener.off('listening', onListening);
          reject(e);
        };
        const onListening = () => {
          exchangeListener.off('error', onError);
          port = portOf(exchangeListener);
          listening = true;
          resolve();
        };
        exchangeListener.once('error', onError);
        exchangeListener.once('listening', onListening);
        exchangeListener.listen(port, host);
      });
    },
    listenAdmin() {
      if (!adminListener) return Promise.resolve();
      return new Promise((resolve, reject) => {
        adminListener.once('error', reject);
        adminListener.listen(adminPort, host, () => {
          adminListener.off('error', reject);
          adminPort = portOf(adminListener);
          resolve();
        });
      });
    },
    stopListening() {
      if (!listening) return Promise.resolve();
      listening = false;
      return new Promise((resolve) => {
        exchangeListener.close(() => resolve());
        for (const res of hanging) res.destroy();
        hanging.clear();
        exchangeListener.closeAllConnections();
      });
    },
    async drain(graceMs) {
      if (!listening) return;
      listening = false;
      const closed = new Promise((resolve) => exchangeListener.close(() => resolve(undefined)));
      exchangeListener.closeIdleConnections();
      for (const res of hanging) res.destroy();
      hanging.clear();
      if (inflight > 0) {
        await new Promise((resolve) => {
          const t = setTimeout(resolve, graceMs);
          onIdle = () => {
            clearTimeout(t);
            resolve(undefined);
          };
        });
      }
      exchangeListener.closeAllConnections();
      await closed;
    },
    closeAdmin() {
      if (!adminListener) return Promise.resolve();
      return new Promise((resolve) => {
        adminListener.close(() => resolve());
        adminListener.closeAllConnections();
      });
    },
    hold(res) {
      hanging.add(res);
      res.on('close', () => hanging.delete(res));
    },
  };
  return listeners;
}

module.exports = { createListeners };
