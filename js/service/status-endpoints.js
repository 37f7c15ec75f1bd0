// @ts-check
'use strict';
// What an operator's tools look at: GET /health (200 while the database
// answers within kHealthTimeoutMs, 503 otherwise: for a load balancer) and
// GET /metrics (the counters in the Prometheus text format).

const { replyJson } = require('./http-io');

const kHealthTimeoutMs = 2000;

/**
 * @typedef {import('node:http').IncomingMessage} Request
 * @typedef {import('node:http').ServerResponse} Response
 */

/**
 * @param {{ store: import('./store').Store, metrics: ReturnType<typeof import('./metrics').createMetrics>,
 *   timers: import('./timers').Timers }} ctx
 * @returns {{ health: (req: Request, res: Response) => Promise<void>, metricsText: (req: Request, res: Response) => void }}
 */
function createStatusEndpoints({ store, metrics, timers }) {
  return {
    async health(req, res) {
      if (req.method !== 'GET' && req.method !== 'HEAD') return replyJson(res, 405, { error: 'GET only' });
      let up = true;
      try {
        await Promise.race([store.ping(), new Promise((resolve, reject) => {
          timers.later(kHealthTimeoutMs, () => reject(new Error('timeout')));
        })]);
      } catch (e) {
        up = false;
      }
      return replyJson(res, up ? 200 : 503, { status: up ? 'ok' : 'unavailable', database: up ? 'up' : 'down' });
    },
    metricsText(req, res) {
      if (req.method !== 'GET') return replyJson(res, 405, { error: 'GET only' });
      const text = metrics.text();
      res.writeHead(200, { 'Content-Type': 'text/plain; version=0.0.4', 'Content-Length': Buffer.byteLength(text) });
      res.end(text);
    },
  };
}

module.exports = { createStatusEndpoints };
