// @ts-check
'use strict';
// The service's storage, one asynchronous interface over SQLite (a file, or
// ":memory:") and PostgreSQL (a postgres:// or postgresql:// URL), and,
// without a database, Maps of the process (./memory.js, the development
// mode's default). Every method is one unit of work: one statement or one
// transaction. A failure of the database rejects the promise with a
// StoreError; the caller answers 503.
//
// Drivers are loaded when a store of their kind is opened: a process that
// uses SQLite never loads pg, and the other way round.

/**
 * @typedef {object} App
 * @property {string} appKey
 * @property {string[]} schemes the cipher schemes its devices may use: "legacy", "gm"
 * @property {string | null} signature the expected app signature ("K7") of genuine builds
 * @property {Record<string, unknown> | null} thresholds the app's signal thresholds and level rule (../signals.js); null: the defaults
 * @property {string} secretId the public part of the server secret, by which it is found
 * @property {string} secretSalt hexadecimal
 * @property {string} secretHash hexadecimal SHA-256 of salt and secret
 * @property {number} createdAt
 * @property {number} rotatedAt
 *
 * @typedef {object} Exchange what is kept of one answered token exchange
 * @property {string} tokenHash
 * @property {string} appKey
 * @property {string} installationId
 * @property {number} issuedAt the arrival time of the request
 * @property {number} expiresAt
 * @property {string} scheme
 * @property {number | null} clockOffsetMs the device's clock ("K200") minus the arrival time
 * @property {boolean | null} signatureOk the app signature against the expected one; null when none is expected
 * @property {string | null} [fingerprint] the keyed hash of the device's lasting facts; null when it has none
 * @property {string | null} [assessment] JSON text of the exchange's signals, level and reasons
 *
 * @typedef {object} HistoryQuery what exchangeHistory counts, for one exchange about to be recorded
 * @property {string} appKey
 * @property {string} installationId
 * @property {string | null} fingerprint
 * @property {number} churnSince installations of the fingerprint active since then count
 * @property {number} hourSince the installation's hour counts when it began after then
 *
 * @typedef {object} TokenRow a token and the latest facts of its installation
 * @property {string} appKey
 * @property {string} installationId
 * @property {number} issuedAt
 * @property {number} expiresAt
 * @property {string} scheme
 * @property {boolean | null} signatureOk
 * @property {number | null} clockOffsetMs at the installation's last exchange
 * @property {number | null} lastExchangeAt
 * @property {string | null} assessment JSON text: the installation's signals, level and reasons
 *
 * @typedef {object} Store
 * @property {'sqlite' | 'postgres' | 'memory'} kind
 * @property {() => Promise<number[]>} migrate applies what is missing; the versions it applied
 * @property {() => Promise<void>} ping
 * @property {(app: App) => Promise<boolean>} addApp false when the key is registered already
 * @property {(appKey: string) => Promise<App | null>} getApp
 * @property {(secretId: string) => Promise<App | null>} getAppBySecretId
 * @property {() => Promise<App[]>} listApps
 * @property {(appKey: string, s: { secretId: string, secretSalt: string, secretHash: string, rotatedAt: number }) => Promise<boolean>} setAppSecret
 * @property {(appKey: string) => Promise<boolean>} removeApp with everything kept for it
 * @property {(appKey: string, thresholds: string | null) => Promise<boolean>} setAppThresholds JSON text or null (the defaults)
 * @property {(q: HistoryQuery) => Promise<import('../signals').History>} exchangeHistory
 *   the counts the signals of an exchange need, this exchange included (at most kMaxCounted + 1 installations)
 * @property {(e: Exchange) => Promise<void>} recordExchange the token and its installation, one transaction
 * @property {(appKey: string, installationId: string, assessment: string, lastExchangeAt: number) => Promise<boolean>} setAssessment
 *   replaces the installation's assessment, unless an exchange came after lastExchangeAt
 * @property {(name: string, candidate: string) => Promise<string>} serviceKey
 *   the service's key of that name; the candidate becomes it when there is none yet
 * @property {(tokenHash: string) => Promise<TokenRow | null>} findToken
 * @property {(secretId: string, tokenHash: string | null) => Promise<{ app: App | null, token: TokenRow | null }>} findAppAndToken
 *   a verify's reads in one lookup: the app of a secret's id, and a token (none asked for: null); no app, no token
 * @property {(appKey: string, digest: string, expiresAt: number, now: number) => Promise<boolean>} consume
 *   records the digest; true when it was recorded (and not expired) before
 * @property {(appKey: string, installationId: string) => Promise<number>} forgetInstallation rows deleted
 * @property {(now: number, keepMs: number) => Promise<number>} sweep rows deleted
 * @property {() => Promise<void>} close
 */

class StoreError extends Error {
  /**
   * @param {string} message
   * @param {unknown} [cause]
   */
  constructor(message, cause) {
    super(message);
    this.name = 'StoreError';
    this.cause = cause;
  }
}

// An app from its row, of either database (PostgreSQL gives BIGINT as text).
/**
 * @param {any} r
 * @returns {App}
 */
function appOf(r) {
  return {
    appKey: r.app_key,
    schemes: String(r.schemes).split(',').filter(Boolean),
    signature: r.signature,
    thresholds: parseStored(r.thresholds),
    secretId: r.secret_id,
    secretSalt: r.secret_salt,
    secretHash: r.secret_hash,
    createdAt: Number(r.created_at),
    rotatedAt: Number(r.rotated_at),
  };
}

// Counting churn stops here: beyond it the count says nothing more.
const kMaxCounted = 1000;
const kHourMs = 60 * 60 * 1000;

// A JSON text kept by the service, or null when there is none (or it does
// not parse: a damaged row counts as absent rather than failing its call).
/**
 * @param {unknown} text
 * @returns {any}
 */
function parseStored(text) {
  if (typeof text !== 'string' || text === '') return null;
  try {
    return JSON.parse(text);
  } catch (e) {
    return null;
  }
}

/**
 * findAppAndToken as the two reads it is made of, for a store whose reads
 * cost no round trip.
 * @param {Pick<Store, 'getAppBySecretId' | 'findToken'>} store
 * @param {string} secretId
 * @param {string | null} tokenHash
 * @returns {Promise<{ app: App | null, token: TokenRow | null }>}
 */
async function readAppAndToken(store, secretId, tokenHash) {
  const app = await store.getAppBySecretId(secretId);
  return { app, token: app === null || tokenHash === null ? null : await store.findToken(tokenHash) };
}

/**
 * @param {string} location
 * @returns {boolean}
 */
function isPostgres(location) {
  return /^postgres(ql)?:\/\//.test(location);
}

/**
 * The opener of a database store. The app's package carries the test kit
 * with the memory store only: there a database is the token service's.
 * @param {'./postgres' | './sqlite' | './sqlite-thread'} name
 * @returns {(location: string, options: object) => Store}
 */
function storeModule(name) {
  let m;
  try {
    m = require(name);
  } catch (e) {
    if (e.code !== 'MODULE_NOT_FOUND' || !String(e.message).includes(name.slice(2))) throw e;
    throw new StoreError('no database store in this package: the token service\'s package (quon-risk-service) has them', e);
  }
  return m.openPostgres || m.openSqlite || m.openSqliteThread;
}

/**
 * Opens (and migrates) the store `location` names.
 * @param {string} location a file name, ":memory:", or a postgres:// URL
 * @param {{ poolSize?: number, synchronous?: 'FULL' | 'NORMAL' }} [options]
 * @returns {Promise<Store>}
 */
async function openStore(location, options = {}) {
  if (typeof location !== 'string' || location === '') throw new StoreError('no database given (--db FILE or --db postgres://...)');
  // A database in memory belongs to one connection: it stays on this thread.
  const store = storeModule(isPostgres(location) ? './postgres' : location === ':memory:' ? './sqlite' : './sqlite-thread')(location, options);
  try {
    await store.migrate();
  } catch (e) {
    await store.close().catch(() => {});
    throw e;
  }
  return store;
}

/**
 * Describes `location` without its password, for logs and messages.
 * @param {string} location
 * @returns {string}
 */
function describeStore(location) {
  if (!isPostgres(location)) return `SQLite ${location}`;
  try {
    const u = new URL(location);
    u.password = '';
    u.username = '';
    return `PostgreSQL ${u.host}${u.pathname}`;
  } catch (e) {
    return 'PostgreSQL';
  }
}

module.exports = { openStore, describeStore, isPostgres, appOf, readAppAndToken, parseStored, StoreError, kMaxCounted, kHourMs };
