// @ts-check
'use strict';
// One store operation as the service makes it: bounded by kDbTimeoutMs,
// timed into the metrics, and failing with a StoreError (the caller answers
// 503) whose log line names only the operation and the driver's code.

const { StoreError } = require('./store');

const kDbTimeoutMs = 5000;

/**
 * @typedef {<T>(op: string, fn: () => Promise<T>) => Promise<T>} StoreCall
 */

/**
 * @param {{ metrics: ReturnType<typeof import('./metrics').createMetrics>, log: (line: string) => void }} deps
 * @returns {StoreCall}
 */
function createStoreCall({ metrics, log }) {
  return async function storeCall(op, fn) {
    const t0 = process.hrtime.bigint();
    /** @type {NodeJS.Timeout | undefined} */
    let timer;
    try {
      return await Promise.race([
        fn(),
        /** @type {Promise<never>} */ (new Promise((resolve, reject) => {
          timer = setTimeout(() => reject(new StoreError(`${op} took longer than ${kDbTimeoutMs} ms`)), kDbTimeoutMs);
        })),
      ]);
    } catch (e) {
      // The driver's message may quote values: only the operation and code are logged.
      log(`database unavailable (${op}): ${(e.cause && e.cause.code) || e.name}`);
      throw e instanceof StoreError ? e : new StoreError(e.message, e);
    } finally {
      clearTimeout(timer);
      metrics.dbTime(op, Number(process.hrtime.bigint() - t0) / 1e9);
    }
  };
}

module.exports = { createStoreCall };
