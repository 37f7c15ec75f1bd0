// @ts-check
'use strict';
// The SQLite store (better-sqlite3): one file in WAL mode, every statement
// prepared once, every unit of work one transaction, committed with
// synchronous=FULL before its promise resolves (a token is on the disk
// before it is answered); the exchanges of one event-loop turn share one
// transaction. better-sqlite3 works synchronously on the thread that calls
// it: a database file is used through ./sqlite-thread.js, which runs this
// store on a thread of its own; ":memory:" (the development mode's default)
// runs here. Another process holding the write lock is waited for up to
// kBusyTimeoutMs.

const { MIGRATIONS } = require('./migrations');
const { StoreError, readAppAndToken, appOf, kMaxCounted, kHourMs } = require('./index');

const kBusyTimeoutMs = 5000;
// A reader in WAL mode does not wait for the writer; it may only meet a
// checkpoint's brief lock, and then it must not hold its thread long.
const kReaderBusyTimeoutMs = 100;
const kOpenRetryMs = 10;

/** Blocks the calling thread for ms (an open waits as a busy database does). @param {number} ms */
function sleepSync(ms) {
  Atomics.wait(new Int32Array(new SharedArrayBuffer(4)), 0, 0, ms);
}

/** @typedef {import('./index').Store} Store */
/** @typedef {import('./index').App} App */

/**
 * @param {string} file
 * @param {{ synchronous?: 'FULL' | 'NORMAL', readonly?: boolean }} [options] readonly: a connection
 *   for reads only, of a database another connection made and migrated; its migrate() prepares
 *   the statements, and every write rejects
 * @returns {Store}
 */
function openSqlite(file, options = {}) {
  /** @type {any} */
  let Database;
  try {
    Database = require('better-sqlite3');
  } catch (e) {
    throw new StoreError(`the SQLite driver (better-sqlite3) is not installed: ${e.message}`, e);
  }
  /** @type {any} */
  let db;
  // Two processes opening a new database at once both turn it to WAL, for
  // which each needs the database to itself; SQLite may refuse one of them
  // at once (SQLITE_BUSY without waiting, where waiting could deadlock).
  // That one opens again, until kBusyTimeoutMs have passed.
  const deadline = Date.now() + kBusyTimeoutMs;
  for (;;) {
    try {
      if (options.readonly) {
        db = new Database(file, { readonly: true, fileMustExist: true, timeout: kReaderBusyTimeoutMs });
      } else {
        db = new Database(file, { timeout: kBusyTimeoutMs });
        db.pragma('journal_mode = WAL');
        db.pragma(`synchronous = ${options.synchronous === 'NORMAL' ? 'NORMAL' : 'FULL'}`);
        db.pragma('foreign_keys = ON');
      }
      break;
    } catch (e) {
      if (db) db.close();
      db = undefined;
      if (options.readonly || e.code !== 'SQLITE_BUSY' || Date.now() >= deadline) {
        throw new StoreError(`cannot open the SQLite database ${file}: ${e.message}`, e);
      }
      sleepSync(kOpenRetryMs);
    }
  }

  /**
   * Runs fn, turning a driver failure into a StoreError.
   * @template T
   * @param {() => T} fn
   * @returns {Promise<T>}
   */
  function run(fn) {
    try {
      return Promise.resolve(fn());
    } catch (e) {
      return Promise.reject(e instanceof StoreError ? e : new StoreError(`SQLite: ${e.message}`, e));
    }
  }

  db.exec('CREATE TABLE IF NOT EXISTS schema_migrations (version INTEGER PRIMARY KEY, name TEXT NOT NULL, applied_at INTEGER NOT NULL)');

  // Checked and applied under the write lock (BEGIN IMMEDIATE): a second
  // process waits, then finds them applied.
  const migrateAll = db.transaction(() => {
    const done = new Set(db.prepare('SELECT version FROM schema_migrations').pluck().all());
    const applied = [];
    for (const m of MIGRATIONS) {
      if (done.has(m.version)) continue;
      for (const sql of m.sqlite) db.exec(sql);
      db.prepare('INSERT INTO schema_migrations (version, name, applied_at) VALUES (?, ?, ?)').run(m.version, m.name, Date.now());
      applied.push(m.version);
    }
    return applied;
  });

  /** @type {Record<string, any>} */
  let st = {};
  function prepare() {
    st = {
      ping: db.prepare('SELECT 1').pluck(),
      addApp: db.prepare(`INSERT INTO apps (app_key, schemes, signature, thresholds, secret_id, secret_salt, secret_hash,
          created_at, rotated_at)
        VALUES (@appKey, @schemes, @signature, @thresholds, @secretId, @secretSalt, @secretHash, @createdAt, @rotatedAt)
        ON CONFLICT (app_key) DO NOTHING`),
      getApp: db.prepare('SELECT * FROM apps WHERE app_key = ?'),
      getAppBySecretId: db.prepare('SELECT * FROM apps WHERE secret_id = ?'),
      listApps: db.prepare('SELECT * FROM apps ORDER BY app_key'),
      setAppSecret: db.prepare(`UPDATE apps SET secret_id = @secretId, secret_salt = @secretSalt,
        secret_hash = @secretHash, rotated_at = @rotatedAt WHERE app_key = @appKey`),
      setAppThresholds: db.prepare('UPDATE apps SET thresholds = ? WHERE app_key = ?'),
      removeApp: db.prepare('DELETE FROM apps WHERE app_key = ?'),
      removeAppTokens: db.prepare('DELETE FROM tokens WHERE app_key = ?'),
      removeAppInstallations: db.prepare('DELETE FROM installations WHERE app_key = ?'),
      removeAppConsumed: db.prepare('DELETE FROM consumed WHERE app_key = ?'),
      insertToken: db.prepare(`INSERT INTO tokens (token_hash, app_key, installation_id, issued_at, expires_at, scheme,
          clock_offset_ms, signature_ok)
        VALUES (@tokenHash, @appKey, @installationId, @issuedAt, @expiresAt, @scheme, @clockOffsetMs, @signatureOk)
        ON CONFLICT (token_hash) DO UPDATE SET app_key = excluded.app_key, installation_id = excluded.installation_id,
          issued_at = excluded.issued_at, expires_at = excluded.expires_at, scheme = excluded.scheme,
          clock_offset_ms = excluded.clock_offset_ms, signature_ok = excluded.signature_ok`),
      // The hour counted begins with the first exchange after the last hour ended.
      upsertInstallation: db.prepare(`INSERT INTO installations (app_key, installation_id, first_seen_at, last_exchange_at,
          clock_offset_ms, exchanges, fingerprint, hour_started_at, hour_exchanges, assessment)
        VALUES (@appKey, @installationId, @issuedAt, @issuedAt, @clockOffsetMs, 1, @fingerprint, @issuedAt, 1, @assessment)
        ON CONFLICT (app_key, installation_id) DO UPDATE SET last_exchange_at = excluded.last_exchange_at,
          clock_offset_ms = excluded.clock_offset_ms, exchanges = installations.exchanges + 1,
          fingerprint = excluded.fingerprint, assessment = excluded.assessment,
          hour_exchanges = CASE WHEN installations.hour_started_at > excluded.last_exchange_at - ${kHourMs}
            THEN installations.hour_exchanges + 1 ELSE 1 END,
          hour_started_at = CASE WHEN installations.hour_started_at > excluded.last_exchange_at - ${kHourMs}
            THEN installations.hour_started_at ELSE excluded.last_exchange_at END`),
      history: db.prepare(`SELECT
          (SELECT count(*) FROM (SELECT 1 FROM installations WHERE app_key = @appKey AND fingerprint = @fingerprint
            AND last_exchange_at >= @churnSince AND installation_id <> @installationId LIMIT ${kMaxCounted})) AS others,
          (SELECT hour_exchanges FROM installations WHERE app_key = @appKey AND installation_id = @installationId
            AND hour_started_at > @hourSince) AS hour`),
      setAssessment: db.prepare(`UPDATE installations SET assessment = ?
        WHERE app_key = ? AND installation_id = ? AND last_exchange_at = ?`),
      getServiceKey: db.prepare('SELECT value FROM service_keys WHERE name = ?').pluck(),
      addServiceKey: db.prepare('INSERT INTO service_keys (name, value, created_at) VALUES (?, ?, ?) ON CONFLICT (name) DO NOTHING'),
      findToken: db.prepare(`SELECT t.app_key, t.installation_id, t.issued_at, t.expires_at, t.scheme, t.signature_ok,
          i.clock_offset_ms, i.last_exchange_at, i.assessment
        FROM tokens t LEFT JOIN installations i ON i.app_key = t.app_key AND i.installation_id = t.installation_id
        WHERE t.token_hash = ?`),
      consume: db.prepare(`INSERT INTO consumed (app_key, digest, expires_at) VALUES (?, ?, ?)
        ON CONFLICT (app_key, digest) DO UPDATE SET expires_at = excluded.expires_at WHERE consumed.expires_at <= ?`),
      forgetTokens: db.prepare('DELETE FROM tokens WHERE app_key = ? AND installation_id = ?'),
      forgetInstallation: db.prepare('DELETE FROM installations WHERE app_key = ? AND installation_id = ?'),
      sweepTokens: db.prepare('DELETE FROM tokens WHERE issued_at < ?'),
      sweepInstallations: db.prepare('DELETE FROM installations WHERE last_exchange_at < ?'),
      sweepConsumed: db.prepare('DELETE FROM consumed WHERE expires_at <= ?'),
    };
  }

  const recordExchanges = db.transaction((/** @type {import('./index').Exchange[]} */ list) => {
    for (const e of list) {
      const row = {
        fingerprint: null, assessment: null, ...e, signatureOk: e.signatureOk === null ? null : e.signatureOk ? 1 : 0,
      };
      st.insertToken.run(row);
      st.upsertInstallation.run(row);
    }
  });

  // Group commit: the exchanges recorded during one turn of the event loop
  // are written in one transaction, with one sync of the log, and each
  // promise resolves once that transaction is committed.
  /** @type {{ e: import('./index').Exchange, resolve: () => void, reject: (err: Error) => void }[]} */
  let pending = [];
  function flushExchanges() {
    const batch = pending;
    pending = [];
    try {
      recordExchanges(batch.map((b) => b.e));
    } catch (e) {
      const err = e instanceof StoreError ? e : new StoreError(`SQLite: ${e.message}`, e);
      for (const b of batch) b.reject(err);
      return;
    }
    for (const b of batch) b.resolve();
  }
  const removeApp = db.transaction((/** @type {string} */ appKey) => {
    st.removeAppTokens.run(appKey);
    st.removeAppInstallations.run(appKey);
    st.removeAppConsumed.run(appKey);
    return st.removeApp.run(appKey).changes > 0;
  });
  const serviceKey = db.transaction((/** @type {string} */ name, /** @type {string} */ candidate) => {
    st.addServiceKey.run(name, candidate, Date.now());
    return st.getServiceKey.get(name);
  });
  const forget = db.transaction((/** @type {string} */ appKey, /** @type {string} */ installationId) =>
    st.forgetTokens.run(appKey, installationId).changes + st.forgetInstallation.run(appKey, installationId).changes);
  const sweep = db.transaction((/** @type {number} */ now, /** @type {number} */ keepMs) =>
    st.sweepTokens.run(now - keepMs).changes + st.sweepInstallations.run(now - keepMs).changes
      + st.sweepConsumed.run(now).changes);

  /** @type {Store} */
  const store = {
    kind: 'sqlite',
    migrate: () => run(() => {
      const applied = options.readonly ? [] : migrateAll.immediate();
      prepare();
      return applied;
    }),
    ping: () => run(() => { st.ping.get(); }),
    addApp: (app) => run(() => st.addApp.run({
      ...app, schemes: app.schemes.join(','), thresholds: app.thresholds ? JSON.stringify(app.thresholds) : null,
    }).changes > 0),
    setAppThresholds: (appKey, thresholds) => run(() => st.setAppThresholds.run(thresholds, appKey).changes > 0),
    exchangeHistory: (q) => run(() => {
      const r = st.history.get(q);
      return { installationsForFingerprint: r.others + 1, exchangesLastHour: (r.hour || 0) + 1 };
    }),
    setAssessment: (appKey, installationId, assessment, lastExchangeAt) =>
      run(() => st.setAssessment.run(assessment, appKey, installationId, lastExchangeAt).changes > 0),
    serviceKey: (name, candidate) => run(() => serviceKey.immediate(name, candidate)),
    getApp: (appKey) => run(() => {
      const r = st.getApp.get(appKey);
      return r ? appOf(r) : null;
    }),
    getAppBySecretId: (secretId) => run(() => {
      const r = st.getAppBySecretId.get(secretId);
      return r ? appOf(r) : null;
    }),
    listApps: () => run(() => st.listApps.all().map(appOf)),
    setAppSecret: (appKey, s) => run(() => st.setAppSecret.run({ appKey, ...s }).changes > 0),
    removeApp: (appKey) => run(() => removeApp(appKey)),
    recordExchange: (e) => new Promise((resolve, reject) => {
      pending.push({ e, resolve, reject });
      if (pending.length === 1) setImmediate(flushExchanges);
    }),
    findToken: (tokenHash) => run(() => {
      const r = st.findToken.get(tokenHash);
      if (!r) return null;
      return {
        appKey: r.app_key,
        installationId: r.installation_id,
        issuedAt: r.issued_at,
        expiresAt: r.expires_at,
        scheme: r.scheme,
        signatureOk: r.signature_ok === null ? null : r.signature_ok === 1,
        clockOffsetMs: r.clock_offset_ms,
        lastExchangeAt: r.last_exchange_at,
        assessment: r.assessment,
      };
    }),
    findAppAndToken: (secretId, tokenHash) => readAppAndToken(store, secretId, tokenHash),
    consume: (appKey, digest, expiresAt, now) => run(() => st.consume.run(appKey, digest, expiresAt, now).changes === 0),
    forgetInstallation: (appKey, installationId) => run(() => forget(appKey, installationId)),
    sweep: (now, keepMs) => run(() => sweep(now, keepMs)),
    close: () => run(() => { if (db.open) db.close(); }),
  };
  return store;
}

module.exports = { openSqlite };
