// @ts-check
'use strict';
// risk serve: runs the token service until SIGINT or SIGTERM, then lets the
// requests under way finish. With --workers N the primary migrates once and
// runs N workers sharing the port (node:cluster), replacing one that dies.
// The address (http://127.0.0.1:PORT) is the first line on stdout; the log
// (stderr) names no app, device or token.

const fs = require('node:fs');
const v8 = require('node:v8');
// @types/node declares node:cluster as an ES module's default export; require()
// gives that object itself.
const cluster = /** @type {import('node:cluster').Cluster} */ (/** @type {unknown} */ (require('node:cluster')));
const { startService } = require('../service');
const { describeStore } = require('../store');
const { UsageError, need, withStore, retentionMs } = require('./common');

const kMaxWorkers = 64;

/**
 * @typedef {import('./common').Options} Options
 * @typedef {(line: string) => void} Log
 */

/**
 * Resolves on the first SIGINT or SIGTERM after calling stop, which resolves when stopped.
 * @param {(done: () => void) => void} stop
 * @param {boolean} [alsoOnDisconnect] a worker is told by its primary
 * @returns {Promise<void>}
 */
function untilSignalled(stop, alsoOnDisconnect = false) {
  return new Promise((resolve) => {
    const onSignal = () => stop(resolve);
    process.once('SIGINT', onSignal);
    process.once('SIGTERM', onSignal);
    if (alsoOnDisconnect) process.once('disconnect', onSignal);
  });
}

// V8 pretenures the objects of an allocation site once most of those it
// finds in young-generation collections are alive. Under a verify load on
// PostgreSQL it takes that decision for sites of the per-query work, and
// from then on what their objects point to (the rows, the requests'
// closures) is promoted with them and dies in the old generation: about
// 700 KB a scavenge, a major collection every second or two, each one a
// stall in the tail of the verifies. Without it the same load promotes next
// to nothing. The service keeps few long-lived objects, so it loses nothing
// by it. Set before the store and the listeners allocate; each worker of
// --workers sets it for itself.
function keepYoungObjectsYoung() {
  v8.setFlagsFromString('--no-allocation-site-pretenuring');
}

/** @param {Options} o */
async function run(o) {
  keepYoungObjectsYoung();
  // The development mode may keep its database in memory.
  const db = o.dev && o.db === undefined ? ':memory:' : need(o, 'db', '--db');
  if (o.mode !== undefined && !o.dev) throw new UsageError('--mode is an option of the development mode (--dev)');
  const workers = o.workers === undefined ? 1 : o.workers;
  if (workers < 1 || workers > kMaxWorkers) throw new UsageError(`--workers: 1 to ${kMaxWorkers}`);
  if ((o.tlsCert === undefined) !== (o.tlsKey === undefined)) throw new UsageError('--tls-cert and --tls-key go together');
  const tls = o.tlsCert === undefined ? null : { cert: fs.readFileSync(o.tlsCert), key: fs.readFileSync(o.tlsKey) };
  const keepMs = retentionMs(o);
  const fingerprintKey = o.fingerprintKeyFile === undefined ? undefined : fs.readFileSync(o.fingerprintKeyFile, 'utf8').trim();
  /** @type {Log} */
  const log = (line) => process.stderr.write(`risk serve: ${line}\n`);
  if (workers > 1 && cluster.isPrimary) return servePrimary(o, workers, db, log);

  // The schema is migrated before the port is taken: a second instance
  // waits for the first one's migration, then finds it done.
  const svc = await startService({
    development: Boolean(o.dev),
    db,
    mode: o.mode,
    port: o.port || 0,
    host: o.host,
    tls,
    retentionMs: keepMs,
    fingerprintKey,
    log,
  });
  if (cluster.isWorker) {
    /** @type {NonNullable<typeof process.send>} */ (process.send)({ url: svc.url });
  } else {
    process.stdout.write(`${svc.url}\n`);
    log(`serving ${describeStore(db)} on ${svc.url}${o.dev ? ' (development mode: fault modes, unknown keys registered)' : ''}`);
    if (o.dev) log(`admin endpoint, up in every mode: ${svc.adminUrl}/__admin/mode`);
  }
  await untilSignalled((done) => {
    log('stopping: finishing the requests under way');
    svc.close().then(done);
  }, cluster.isWorker);
}

/**
 * The primary of --workers N: migrates once, starts N workers sharing the
 * port, restarts one that dies, and stops them all on SIGINT or SIGTERM.
 * @param {Options} o
 * @param {number} workers
 * @param {string} db
 * @param {Log} log
 */
async function servePrimary(o, workers, db, log) {
  await withStore(o, async () => {});
  let stopping = false;
  let ready = 0;
  // The address is printed once every worker listens: from then on a
  // worker that dies leaves the others serving while it is replaced.
  const fork = () => {
    const w = cluster.fork();
    w.on('message', (m) => {
      if (!m || typeof m.url !== 'string') return;
      ready += 1;
      if (ready === workers) {
        process.stdout.write(`${m.url}\n`);
        log(`serving ${describeStore(db)} on ${m.url} with ${workers} workers`);
      }
    });
    return w;
  };
  for (let i = 0; i < workers; i++) fork();
  cluster.on('exit', (w, code, signal) => {
    if (stopping) return;
    log(`a worker ended (${signal || code}); starting another`);
    fork();
  });
  await untilSignalled((done) => {
    stopping = true;
    log('stopping the workers');
    cluster.disconnect(() => done());
  });
}

module.exports = { run, keepYoungObjectsYoung };
