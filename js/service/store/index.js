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
 * @property {(e: Exchange) => Promise<void>} recordExchange the token and its installation, one transaction
 * @property {(tokenHash: string) => Promise<TokenRow | null>} findToken
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
    secretId: r.secret_id,
    secretSalt: r.secret_salt,
    secretHash: r.secret_hash,
    createdAt: Number(r.created_at),
    rotatedAt: Number(r.rotated_at),
  };
}

/**
 * @param {string} spec
 * @returns {boolean}
 */
function isPostgres(spec) {
  return /^postgres(ql)?:\/\//.test(spec);
}

/**
 * The opener of a database store. The app's package carries the test kit
 * with the memory store only: there a database is the token service's.
 * @param {'./postgres' | './sqlite' | './sqlite-thread'} name
 * @returns {(spec: string, options: object) => Store}
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
 * Opens (and migrates) the store `spec` names.
 * @param {string} spec a file name, ":memory:", or a postgres:// URL
 * @param {{ poolSize?: number, synchronous?: 'FULL' | 'NORMAL' }} [options]
 * @returns {Promise<Store>}
 */
async function openStore(spec, options = {}) {
  if (typeof spec !== 'string' || spec === '') throw new StoreError('no database given (--db FILE or --db postgres://...)');
  // A database in memory belongs to one connection: it stays on this thread.
  const store = storeModule(isPostgres(spec) ? './postgres' : spec === ':memory:' ? './sqlite' : './sqlite-thread')(spec, options);
  try {
    await store.migrate();
  } catch (e) {
    await store.close().catch(() => {});
    throw e;
  }
  return store;
}

/**
 * Describes `spec` without its password, for logs and messages.
 * @param {string} spec
 * @returns {string}
 */
function describeStore(spec) {
  if (!isPostgres(spec)) return `SQLite ${spec}`;
  try {
    const u = new URL(spec);
    u.password = '';
    u.username = '';
    return `PostgreSQL ${u.host}${u.pathname}`;
  } catch (e) {
    return 'PostgreSQL';
  }
}

module.exports = { openStore, describeStore, isPostgres, appOf, StoreError };
