// @ts-check
'use strict';
// The SQLite store on a thread of its own: the same store (./sqlite.js) runs
// in a worker thread, and every call is a message to it. better-sqlite3 works
// synchronously, and a commit waits for the disk (synchronous=FULL), now and
// then for a checkpoint: on the service's event loop that wait would hold
// every other request; here it holds only the store's thread. A call resolves
// once the worker has answered, so a token is still committed before it is
// answered. When the thread ends unexpectedly every call fails with a
// StoreError (the service answers 503) and the next call starts a new one.

const path = require('node:path');
const { Worker, isMainThread, parentPort, workerData } = require('node:worker_threads');
const { StoreError, readAppAndToken } = require('./index');

/** @typedef {import('./index').Store} Store */

const METHODS = ['migrate', 'ping', 'addApp', 'getApp', 'getAppBySecretId', 'listApps', 'setAppSecret', 'removeApp',
  'setAppThresholds', 'exchangeHistory', 'recordExchange', 'setAssessment', 'serviceKey', 'findToken', 'consume',
  'forgetInstallation', 'sweep'];
// The reads of every exchange and every verify: once the schema is there
// they run on the calling thread through a read-only connection of its own
// (WAL: a reader never waits for the writer, and sees every commit before
// it), which spares them the two hops to the store's thread and back.
const LOCAL_READS = ['getApp', 'getAppBySecretId', 'findToken'];

/**
 * @param {string} file
 * @param {{ synchronous?: 'FULL' | 'NORMAL' }} [options]
 * @returns {Store}
 */
function openSqliteThread(file, options = {}) {
  /** @type {Worker | null} */
  let worker = null;
  let nextId = 1;
  let closing = false;
  /** @type {Map<number, { resolve: (v: any) => void, reject: (e: Error) => void }>} */
  const calls = new Map();

  /** @param {Error} err */
  function failAll(err) {
    for (const c of calls.values()) c.reject(err);
    calls.clear();
  }

  function start() {
    const w = new Worker(__filename, { workerData: { file, options } });
    w.on('message', (m) => {
      const c = calls.get(m.id);
      if (!c) return;
      calls.delete(m.id);
      if (calls.size === 0) w.unref();
      if (m.error) c.reject(new StoreError(m.error));
      else c.resolve(m.result);
    });
    w.on('error', (e) => failAll(new StoreError(`the SQLite thread failed: ${e.message}`, e)));
    w.on('exit', () => {
      if (worker === w) worker = null;
      failAll(new StoreError('the SQLite thread ended'));
    });
    // The thread keeps the process alive only while a call waits for it.
    w.unref();
    return w;
  }

  /**
   * @param {string} method
   * @param {any[]} args
   */
  function send(method, args) {
    if (closing) return Promise.reject(new StoreError('the store is closed'));
    if (worker === null) worker = start();
    const w = worker;
    const id = nextId++;
    return new Promise((resolve, reject) => {
      if (calls.size === 0) w.ref();
      calls.set(id, { resolve, reject });
      w.postMessage({ id, method, args });
    });
  }

  /** @type {Store | null} */
  let reader = null;
  // After the schema is migrated; without a reader every read goes to the
  // store's thread, as before.
  async function openReader() {
    if (reader !== null || closing) return;
    try {
      const r = require(path.join(__dirname, 'sqlite')).openSqlite(file, { readonly: true });
      await r.migrate();
      reader = r;
    } catch (e) {
      reader = null;
    }
  }

  /** @type {Record<string, any>} */
  const store = { kind: 'sqlite' };
  for (const m of METHODS) store[m] = (/** @type {any[]} */ ...args) => send(m, args);
  store.migrate = async (/** @type {any[]} */ ...args) => {
    const applied = await send('migrate', args);
    await openReader();
    return applied;
  };
  for (const m of LOCAL_READS) {
    store[m] = (/** @type {any[]} */ ...args) => (reader !== null && !closing
      ? /** @type {any} */ (reader)[m](...args) : send(m, args));
  }
  store.findAppAndToken = (/** @type {string} */ secretId, /** @type {string | null} */ tokenHash) =>
    readAppAndToken(/** @type {Store} */ (store), secretId, tokenHash);
  store.close = async () => {
    if (closing) return;
    closing = true;
    if (reader !== null) await reader.close();
    reader = null;
    const w = worker;
    worker = null;
    // A thread stopped in the middle of a call is not reported ended before
    // the event loop would otherwise end: a timer keeps the loop until it is,
    // so that this promise settles.
    if (w) {
      const keep = setInterval(() => {}, 1000);
      try {
        await w.terminate();
      } finally {
        clearInterval(keep);
      }
    }
    failAll(new StoreError('the store is closed'));
  };
  return /** @type {Store} */ (store);
}

// The worker's side: one store, its calls in order of arrival.
if (!isMainThread && workerData && typeof workerData.file === 'string' && parentPort) {
  const port = parentPort;
  /** @type {Store | null} */
  let store = null;
  /** @type {string | null} */
  let openError = null;
  try {
    store = require(path.join(__dirname, 'sqlite')).openSqlite(workerData.file, workerData.options);
  } catch (e) {
    openError = e.message;
  }
  port.on('message', (m) => {
    if (store === null) {
      port.postMessage({ id: m.id, error: openError });
      return;
    }
    /** @type {any} */ (store)[m.method](...m.args).then(
      (/** @type {any} */ result) => port.postMessage({ id: m.id, result }),
      (/** @type {Error} */ e) => port.postMessage({ id: m.id, error: e.message }),
    );
  });
}

module.exports = { openSqliteThread };
