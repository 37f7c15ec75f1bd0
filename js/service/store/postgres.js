// @ts-check
'use strict';
// The PostgreSQL store (pg): a pool of connections, parameterized queries
// (the frequent ones named, so that each connection prepares them once),
// each unit of work one statement (several rows are written through a
// WITH clause, atomically) or one transaction. Migrations run under a
// transaction-level advisory lock: instances starting together apply each
// migration once. A connection that breaks (the database stopped) is
// dropped by the pool; calls fail until it answers again, and the next call
// after that opens a new connection by itself.

const { MIGRATIONS } = require('./migrations');
const { StoreError, appOf, kMaxCounted, kHourMs } = require('./index');

const kMigrationLock = 0x5249534b;   // advisory lock key of the migrations
const kConnectTimeoutMs = 3000;
const kStatementTimeoutMs = 5000;
const kDefaultPoolSize = 10;
// The most lookups one statement answers, and the statements of lookups
// under way at once (see lookUpTogether).
const kMaxLookupBatch = 64;
const kLookupsInFlight = 1;

/** @typedef {import('./index').Store} Store */
/** @typedef {import('./index').App} App */

/**
 * @param {any} v
 * @returns {number | null}
 */
function num(v) {
  return v === null || v === undefined ? null : Number(v);
}

// The columns of a token row (t: tokens, i: installations), named apart
// from the apps table's.
const kTokenColumns = `t.app_key AS token_app_key, t.installation_id, t.issued_at, t.expires_at, t.scheme,
  t.signature_ok, i.clock_offset_ms, i.last_exchange_at, i.assessment`;

/**
 * @param {any} row
 * @returns {import('./index').TokenRow}
 */
function tokenRowOf(row) {
  return {
    appKey: row.token_app_key,
    installationId: row.installation_id,
    issuedAt: Number(row.issued_at),
    expiresAt: Number(row.expires_at),
    scheme: row.scheme,
    signatureOk: row.signature_ok,
    clockOffsetMs: num(row.clock_offset_ms),
    lastExchangeAt: num(row.last_exchange_at),
    assessment: row.assessment,
  };
}

// Lookups answered together: a backend's verifies come in bursts, and a
// round trip per lookup kept a database server process busy per request,
// on the CPUs the service shares with it. At most kLookupsInFlight
// statements run at once; the lookups made meanwhile wait and go together
// in the next one (at most kMaxLookupBatch each), so that the statements
// grow with the load rather than their number. One at a time answers as
// many lookups per second as two did, with fewer and larger statements,
// and so with less CPU taken from the requests at a given rate.
// run(argsList) resolves to one answer per args, in their order; a failure
// fails every lookup of its statement. A lookup made alone goes by itself,
// one turn of the event loop later.
/**
 * @template A, R
 * @param {(argsList: A[]) => Promise<R[]>} run
 * @returns {(args: A) => Promise<R>}
 */
function lookUpTogether(run) {
  /** @type {{ args: A, resolve: (r: R) => void, reject: (e: unknown) => void }[]} */
  const waiting = [];
  let inFlight = 0;
  let scheduled = false;
  const send = () => {
    scheduled = false;
    while (waiting.length > 0 && inFlight < kLookupsInFlight) {
      const batch = waiting.splice(0, kMaxLookupBatch);
      inFlight += 1;
      run(batch.map((w) => w.args)).then(
        (answers) => batch.forEach((w, k) => w.resolve(answers[k])),
        (e) => batch.forEach((w) => w.reject(e)),
      ).finally(() => {
        inFlight -= 1;
        schedule();
      });
    }
  };
  const schedule = () => {
    if (scheduled || waiting.length === 0) return;
    scheduled = true;
    setImmediate(send);
  };
  return (args) => new Promise((resolve, reject) => {
    waiting.push({ args, resolve, reject });
    schedule();
  });
}

/**
 * @param {string} url
 * @param {{ poolSize?: number }} [options]
 * @returns {Store}
 */
function openPostgres(url, options = {}) {
  /** @type {any} */
  let pg;
  try {
    pg = require('pg');
  } catch (e) {
    throw new StoreError(`the PostgreSQL driver (pg) is not installed: ${e.message}`, e);
  }
  const pool = new pg.Pool({
    connectionString: url,
    max: options.poolSize || kDefaultPoolSize,
    connectionTimeoutMillis: kConnectTimeoutMs,
    statement_timeout: kStatementTimeoutMs,
    query_timeout: kStatementTimeoutMs + 1000,
  });
  // An idle connection that breaks is reported here; the pool drops it.
  pool.on('error', () => {});

  /**
   * @param {string} name
   * @param {string} text
   * @param {any[]} values
   */
  async function q(name, text, values) {
    try {
      return await pool.query(name ? { name, text, values } : { text, values });
    } catch (e) {
      throw new StoreError(`PostgreSQL: ${e.message}`, e);
    }
  }

  // The app of each secret, with the token's columns beside it (null when
  // there is no such token, or none was asked for): one row per lookup
  // whose secret is an app's, numbered as the lookups were.
  const findAppsAndTokens = lookUpTogether(async (/** @type {[string, string | null][]} */ lookups) => {
    const r = await q('risk-find-apps-tokens', `SELECT l.n, a.*, t.token_hash, ${kTokenColumns}
      FROM unnest($1::text[], $2::text[]) WITH ORDINALITY AS l(secret_id, token_hash, n)
      JOIN apps a ON a.secret_id = l.secret_id
      LEFT JOIN tokens t ON t.token_hash = l.token_hash
      LEFT JOIN installations i ON i.app_key = t.app_key AND i.installation_id = t.installation_id`,
    [lookups.map(([secretId]) => secretId), lookups.map(([, tokenHash]) => tokenHash)]);
    /** @type {{ app: App | null, token: import('./index').TokenRow | null }[]} */
    const answers = lookups.map(() => ({ app: null, token: null }));
    for (const row of r.rows) {
      answers[Number(row.n) - 1] = { app: appOf(row), token: row.token_hash === null ? null : tokenRowOf(row) };
    }
    return answers;
  });

  /** @type {Store} */
  const store = {
    kind: 'postgres',
    async migrate() {
      let client;
      try {
        client = await pool.connect();
      } catch (e) {
        throw new StoreError(`cannot reach PostgreSQL: ${e.message}`, e);
      }
      try {
        await client.query('BEGIN');
        await client.query('SELECT pg_advisory_xact_lock($1)', [kMigrationLock]);
        await client.query(`CREATE TABLE IF NOT EXISTS schema_migrations (version INTEGER PRIMARY KEY,
          name TEXT NOT NULL, applied_at BIGINT NOT NULL)`);
        const done = new Set((await client.query('SELECT version FROM schema_migrations')).rows.map((/** @type {{ version: number }} */ r) => r.version));
        const applied = [];
        for (const m of MIGRATIONS) {
          if (done.has(m.version)) continue;
          for (const sql of m.postgres) await client.query(sql);
          await client.query('INSERT INTO schema_migrations (version, name, applied_at) VALUES ($1, $2, $3)',
            [m.version, m.name, Date.now()]);
          applied.push(m.version);
        }
        await client.query('COMMIT');
        return applied;
      } catch (e) {
        await client.query('ROLLBACK').catch(() => {});
        throw new StoreError(`PostgreSQL migration: ${e.message}`, e);
      } finally {
        client.release();
      }
    },
    async ping() {
      await q('', 'SELECT 1', []);
    },
    async addApp(app) {
      const r = await q('', `INSERT INTO apps (app_key, schemes, signature, secret_id, secret_salt, secret_hash, created_at, rotated_at,
          thresholds)
        VALUES ($1, $2, $3, $4, $5, $6, $7, $8, $9) ON CONFLICT (app_key) DO NOTHING`,
      [app.appKey, app.schemes.join(','), app.signature, app.secretId, app.secretSalt, app.secretHash, app.createdAt, app.rotatedAt,
        app.thresholds ? JSON.stringify(app.thresholds) : null]);
      return r.rowCount > 0;
    },
    async setAppThresholds(appKey, thresholds) {
      const r = await q('', 'UPDATE apps SET thresholds = $2 WHERE app_key = $1', [appKey, thresholds]);
      return r.rowCount > 0;
    },
    async exchangeHistory(h) {
      const r = await q('risk-exchange-history', `SELECT
          (SELECT count(*) FROM (SELECT 1 FROM installations WHERE app_key = $1 AND fingerprint = $3
            AND last_exchange_at >= $4 AND installation_id <> $2 LIMIT ${kMaxCounted}) AS f) AS others,
          (SELECT hour_exchanges FROM installations WHERE app_key = $1 AND installation_id = $2
            AND hour_started_at > $5) AS hour`, [h.appKey, h.installationId, h.fingerprint, h.churnSince, h.hourSince]);
      const row = r.rows[0];
      return { installationsForFingerprint: Number(row.others) + 1, exchangesLastHour: (num(row.hour) || 0) + 1 };
    },
    async setAssessment(appKey, installationId, assessment, lastExchangeAt) {
      const r = await q('', `UPDATE installations SET assessment = $3
        WHERE app_key = $1 AND installation_id = $2 AND last_exchange_at = $4`, [appKey, installationId, assessment, lastExchangeAt]);
      return r.rowCount > 0;
    },
    async serviceKey(name, candidate) {
      // The insert's own snapshot may not see a row committed beside it: the
      // select after it, a statement of its own, does.
      await q('', `INSERT INTO service_keys (name, value, created_at) VALUES ($1, $2, $3)
        ON CONFLICT (name) DO NOTHING`, [name, candidate, Date.now()]);
      const r = await q('', 'SELECT value FROM service_keys WHERE name = $1', [name]);
      return r.rows[0].value;
    },
    async getApp(appKey) {
      const r = await q('risk-get-app', 'SELECT * FROM apps WHERE app_key = $1', [appKey]);
      return r.rows.length ? appOf(r.rows[0]) : null;
    },
    async getAppBySecretId(secretId) {
      const r = await q('risk-get-app-secret', 'SELECT * FROM apps WHERE secret_id = $1', [secretId]);
      return r.rows.length ? appOf(r.rows[0]) : null;
    },
    async listApps() {
      return (await q('', 'SELECT * FROM apps ORDER BY app_key', [])).rows.map(appOf);
    },
    async setAppSecret(appKey, s) {
      const r = await q('', `UPDATE apps SET secret_id = $2, secret_salt = $3, secret_hash = $4, rotated_at = $5
        WHERE app_key = $1`, [appKey, s.secretId, s.secretSalt, s.secretHash, s.rotatedAt]);
      return r.rowCount > 0;
    },
    async removeApp(appKey) {
      const r = await q('', `WITH t AS (DELETE FROM tokens WHERE app_key = $1),
          i AS (DELETE FROM installations WHERE app_key = $1),
          c AS (DELETE FROM consumed WHERE app_key = $1)
        DELETE FROM apps WHERE app_key = $1`, [appKey]);
      return r.rowCount > 0;
    },
    async recordExchange(e) {
      await q('risk-record-exchange', `WITH t AS (
          INSERT INTO tokens (token_hash, app_key, installation_id, issued_at, expires_at, scheme, clock_offset_ms, signature_ok)
          VALUES ($1, $2, $3, $4, $5, $6, $7, $8)
          ON CONFLICT (token_hash) DO UPDATE SET app_key = EXCLUDED.app_key, installation_id = EXCLUDED.installation_id,
            issued_at = EXCLUDED.issued_at, expires_at = EXCLUDED.expires_at, scheme = EXCLUDED.scheme,
            clock_offset_ms = EXCLUDED.clock_offset_ms, signature_ok = EXCLUDED.signature_ok)
        INSERT INTO installations (app_key, installation_id, first_seen_at, last_exchange_at, clock_offset_ms, exchanges,
          fingerprint, hour_started_at, hour_exchanges, assessment)
        VALUES ($2, $3, $4, $4, $7, 1, $9, $4, 1, $10)
        ON CONFLICT (app_key, installation_id) DO UPDATE SET last_exchange_at = EXCLUDED.last_exchange_at,
          clock_offset_ms = EXCLUDED.clock_offset_ms, exchanges = installations.exchanges + 1,
          fingerprint = EXCLUDED.fingerprint, assessment = EXCLUDED.assessment,
          hour_exchanges = CASE WHEN installations.hour_started_at > EXCLUDED.last_exchange_at - ${kHourMs}
            THEN installations.hour_exchanges + 1 ELSE 1 END,
          hour_started_at = CASE WHEN installations.hour_started_at > EXCLUDED.last_exchange_at - ${kHourMs}
            THEN installations.hour_started_at ELSE EXCLUDED.last_exchange_at END`,
      [e.tokenHash, e.appKey, e.installationId, e.issuedAt, e.expiresAt, e.scheme, e.clockOffsetMs, e.signatureOk,
        e.fingerprint ?? null, e.assessment ?? null]);
    },
    async findToken(tokenHash) {
      const r = await q('risk-find-token', `SELECT ${kTokenColumns}
        FROM tokens t LEFT JOIN installations i ON i.app_key = t.app_key AND i.installation_id = t.installation_id
        WHERE t.token_hash = $1`, [tokenHash]);
      return r.rows.length ? tokenRowOf(r.rows[0]) : null;
    },
    findAppAndToken(secretId, tokenHash) {
      return findAppsAndTokens([secretId, tokenHash]);
    },
    async consume(appKey, digest, expiresAt, now) {
      const r = await q('risk-consume', `INSERT INTO consumed (app_key, digest, expires_at) VALUES ($1, $2, $3)
        ON CONFLICT (app_key, digest) DO UPDATE SET expires_at = EXCLUDED.expires_at WHERE consumed.expires_at <= $4`,
      [appKey, digest, expiresAt, now]);
      return r.rowCount === 0;
    },
    async forgetInstallation(appKey, installationId) {
      const r = await q('', `WITH t AS (DELETE FROM tokens WHERE app_key = $1 AND installation_id = $2 RETURNING 1),
          i AS (DELETE FROM installations WHERE app_key = $1 AND installation_id = $2 RETURNING 1)
        SELECT (SELECT count(*) FROM t) + (SELECT count(*) FROM i) AS n`, [appKey, installationId]);
      return Number(r.rows[0].n);
    },
    async sweep(now, keepMs) {
      const r = await q('', `WITH t AS (DELETE FROM tokens WHERE issued_at < $1 RETURNING 1),
          i AS (DELETE FROM installations WHERE last_exchange_at < $1 RETURNING 1),
          c AS (DELETE FROM consumed WHERE expires_at <= $2 RETURNING 1)
        SELECT (SELECT count(*) FROM t) + (SELECT count(*) FROM i) + (SELECT count(*) FROM c) AS n`, [now - keepMs, now]);
      return Number(r.rows[0].n);
    },
    async close() {
      await pool.end();
    },
  };
  return store;
}

module.exports = { openPostgres };
