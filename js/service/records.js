// @ts-check
'use strict';
// The development mode's record of every request: what arrived, what it
// opened to, and what was answered. Records are kept in memory (the
// service's `requests`), appended as JSON lines to a file when asked, and
// handed to an onRecord callback; waitForRequests resolves once enough
// have arrived. The production mode keeps none.

const fs = require('node:fs');
const { jsonBytes } = require('./http-io');

/**
 * @typedef {object} AnswerRecord what was answered
 * @property {string} [mode] the fault mode the answer followed
 * @property {number} [httpStatus]
 * @property {number} [bodyLength]
 * @property {string} [ulvok] the token answered
 * @property {string} [uuid] the installation id answered
 * @property {number} [command] of the TokenResponse
 * @property {number} [status] of the TokenResponse
 * @property {string} [text] a situation report's answer
 * @property {string} [key] the other key a "wrongkey" answer was sealed under
 *
 * @typedef {object} RequestRecord one request as the development mode records it
 * @property {number} seq
 * @property {string} time ISO time of arrival
 * @property {'token' | 'situation' | null} endpoint null for an unknown path
 * @property {string | undefined} method
 * @property {string} path
 * @property {string} url
 * @property {Record<string, string>} query
 * @property {number | null} bodyLength
 * @property {string | null} scheme
 * @property {boolean | null} signOk
 * @property {string | null} error why it was refused
 * @property {AnswerRecord | null} answer
 * @property {string} [expectedSign] the sign the payload called for, when another came
 * @property {number} [payloadLength]
 * @property {Record<string, any>} [header] a token request's
 * @property {number} [command]
 * @property {import('../lib/wire').Pairs} [entries]
 * @property {import('../lib/wire').Pairs} [extraEntries]
 * @property {Record<string, string>} [data] the entries by key
 * @property {string} [body] a situation report's text
 * @property {any} [json] a situation report's JSON, null when it has none
 * @property {string} [jsonError]
 * @property {object} [assessment] the signals, level and reasons judged
 *
 * @typedef {object} Recorder
 * @property {RequestRecord[]} requests the records so far (one array for the service's life)
 * @property {(rec: RequestRecord) => void} record keeps one (development only)
 * @property {(n: number, timeoutMs?: number) => Promise<RequestRecord[]>} waitForRequests
 * @property {() => void} clear
 * @property {() => void} close resolves every waiter with what there is
 */

/**
 * One record as a JSON line (without the line feed).
 * @param {RequestRecord} rec
 * @returns {string}
 */
function recordJson(rec) {
  return JSON.stringify(rec, jsonBytes);
}

/**
 * @param {{ development: boolean, logFile: string | null, onRecord: ((rec: RequestRecord) => void) | null,
 *   timers: import('./timers').Timers }} options
 * @returns {Recorder}
 */
function createRecorder({ development, logFile, onRecord, timers }) {
  /** @type {RequestRecord[]} */
  const requests = [];
  /** @type {Set<{ n: number, resolve: (records: RequestRecord[]) => void, timer: NodeJS.Timeout }>} */
  const waiters = new Set();
  let closed = false;

  /** @param {boolean} all */
  function settleWaiters(all) {
    for (const w of waiters) {
      if (all || requests.length >= w.n) {
        timers.clear(w.timer);
        waiters.delete(w);
        w.resolve(requests.slice());
      }
    }
  }

  return {
    requests,
    record(rec) {
      if (!development) return;
      requests.push(rec);
      if (logFile) fs.appendFileSync(logFile, recordJson(rec) + '\n');
      if (onRecord) onRecord(rec);
      settleWaiters(false);
    },
    // Resolves once at least n requests are recorded (or after timeoutMs with
    // what there is).
    waitForRequests(n, timeoutMs = 10000) {
      if (requests.length >= n || closed) return Promise.resolve(requests.slice());
      return new Promise((resolve) => {
        const timer = setTimeout(() => {
          timers.clear(timer);
          waiters.delete(waiter);
          resolve(requests.slice());
        }, timeoutMs);
        const waiter = { n, resolve, timer };
        timers.add(timer);
        waiters.add(waiter);
      });
    },
    clear() { requests.length = 0; },
    close() {
      closed = true;
      settleWaiters(true);
    },
  };
}

module.exports = { createRecorder, recordJson };
