// @ts-check
'use strict';
// The store of the development mode when no database is given: the same
// interface as the SQLite and PostgreSQL stores, kept in Maps of this
// process and gone with it. It needs no database driver, which lets the app's
// package carry the test kit. Every method settles on a later turn of the
// event loop, as a database's would; after close() every call rejects.

const { StoreError, readAppAndToken, parseStored, kMaxCounted, kHourMs } = require('./index');

/** @typedef {import('./index').Store} Store */
/** @typedef {import('./index').App} App */
/** @typedef {import('./index').Exchange} Exchange */

/**
 * @returns {Store}
 */
function openMemory() {
  /** @type {Map<string, App>} */
  const apps = new Map();
  /** @type {Map<string, Exchange>} by token hash */
  const tokens = new Map();
  /**
   * @typedef {{ lastExchangeAt: number, clockOffsetMs: number | null, fingerprint: string | null,
   *   hourStartedAt: number, hourExchanges: number, assessment: string | null }} Installation
   * @type {Map<string, Installation>} by app key and installation
   */
  const installations = new Map();
  /** @type {Map<string, string>} */
  const serviceKeys = new Map();
  /** @type {Map<string, number>} expiry by app key and digest */
  const consumed = new Map();
  let open = true;

  /** @param {string} appKey @param {string} id */
  const pair = (appKey, id) => JSON.stringify([appKey, id]);

  /**
   * @template T
   * @param {() => T} fn
   * @returns {Promise<T>}
   */
  function run(fn) {
    return new Promise((resolve, reject) => {
      setImmediate(() => {
        if (!open) reject(new StoreError('the store is closed'));
        else resolve(fn());
      });
    });
  }

  /**
   * Deletes the entries of `map` for which `drop` holds; how many.
   * @template V
   * @param {Map<string, V>} map
   * @param {(value: V, key: string) => boolean} drop
   */
  function deleteWhere(map, drop) {
    let n = 0;
    for (const [k, v] of map) {
      if (drop(v, k)) {
        map.delete(k);
        n += 1;
      }
    }
    return n;
  }

  /** @param {string} key */
  const appOfPair = (key) => JSON.parse(key)[0];

  /** @type {Store} */
  const store = {
    kind: 'memory',
    migrate: () => run(() => []),
    ping: () => run(() => {}),
    addApp: (app) => run(() => {
      if (apps.has(app.appKey)) return false;
      apps.set(app.appKey, { ...app, thresholds: app.thresholds ?? null, schemes: [...app.schemes] });
      return true;
    }),
    setAppThresholds: (appKey, thresholds) => run(() => {
      const a = apps.get(appKey);
      if (!a) return false;
      a.thresholds = parseStored(thresholds);
      return true;
    }),
    exchangeHistory: (q) => run(() => {
      let others = 0;
      if (q.fingerprint !== null) {
        for (const [k, i] of installations) {
          const [appKey, id] = JSON.parse(k);
          if (appKey === q.appKey && id !== q.installationId && i.fingerprint === q.fingerprint
            && i.lastExchangeAt >= q.churnSince && others < kMaxCounted) others += 1;
        }
      }
      const mine = installations.get(pair(q.appKey, q.installationId));
      const hour = mine && mine.hourStartedAt > q.hourSince ? mine.hourExchanges : 0;
      return { installationsForFingerprint: others + 1, exchangesLastHour: hour + 1 };
    }),
    setAssessment: (appKey, installationId, assessment, lastExchangeAt) => run(() => {
      const i = installations.get(pair(appKey, installationId));
      if (!i || i.lastExchangeAt !== lastExchangeAt) return false;
      i.assessment = assessment;
      return true;
    }),
    serviceKey: (name, candidate) => run(() => {
      if (!serviceKeys.has(name)) serviceKeys.set(name, candidate);
      return /** @type {string} */ (serviceKeys.get(name));
    }),
    getApp: (appKey) => run(() => {
      const a = apps.get(appKey);
      return a ? { ...a, schemes: [...a.schemes] } : null;
    }),
    getAppBySecretId: (secretId) => run(() => {
      for (const a of apps.values()) if (a.secretId === secretId) return { ...a, schemes: [...a.schemes] };
      return null;
    }),
    listApps: () => run(() => [...apps.values()].sort((a, b) => (a.appKey < b.appKey ? -1 : a.appKey > b.appKey ? 1 : 0))
      .map((a) => ({ ...a, schemes: [...a.schemes] }))),
    setAppSecret: (appKey, s) => run(() => {
      const a = apps.get(appKey);
      if (!a) return false;
      Object.assign(a, s);
      return true;
    }),
    removeApp: (appKey) => run(() => {
      deleteWhere(tokens, (t) => t.appKey === appKey);
      deleteWhere(installations, (v, k) => appOfPair(k) === appKey);
      deleteWhere(consumed, (v, k) => appOfPair(k) === appKey);
      return apps.delete(appKey);
    }),
    recordExchange: (e) => run(() => {
      tokens.set(e.tokenHash, { ...e });
      const key = pair(e.appKey, e.installationId);
      const before = installations.get(key);
      // The hour counted begins with the first exchange after the last hour ended.
      const sameHour = before !== undefined && before.hourStartedAt > e.issuedAt - kHourMs;
      installations.set(key, {
        lastExchangeAt: e.issuedAt,
        clockOffsetMs: e.clockOffsetMs,
        fingerprint: e.fingerprint ?? null,
        hourStartedAt: sameHour ? before.hourStartedAt : e.issuedAt,
        hourExchanges: sameHour ? before.hourExchanges + 1 : 1,
        assessment: e.assessment ?? null,
      });
    }),
    findToken: (tokenHash) => run(() => {
      const t = tokens.get(tokenHash);
      if (!t) return null;
      const i = installations.get(pair(t.appKey, t.installationId));
      return {
        appKey: t.appKey,
        installationId: t.installationId,
        issuedAt: t.issuedAt,
        expiresAt: t.expiresAt,
        scheme: t.scheme,
        signatureOk: t.signatureOk,
        clockOffsetMs: i ? i.clockOffsetMs : null,
        lastExchangeAt: i ? i.lastExchangeAt : null,
        assessment: i ? i.assessment : null,
      };
    }),
    findAppAndToken: (secretId, tokenHash) => readAppAndToken(store, secretId, tokenHash),
    consume: (appKey, digest, expiresAt, now) => run(() => {
      const key = pair(appKey, digest);
      const until = consumed.get(key);
      if (until !== undefined && until > now) return true;
      consumed.set(key, expiresAt);
      return false;
    }),
    forgetInstallation: (appKey, installationId) => run(() => {
      const n = deleteWhere(tokens, (t) => t.appKey === appKey && t.installationId === installationId);
      return n + (installations.delete(pair(appKey, installationId)) ? 1 : 0);
    }),
    sweep: (now, keepMs) => run(() => deleteWhere(tokens, (t) => t.issuedAt < now - keepMs)
      + deleteWhere(installations, (i) => i.lastExchangeAt < now - keepMs)
      + deleteWhere(consumed, (until) => until <= now)),
    close: () => {
      open = false;
      return Promise.resolve();
    },
  };
  return store;
}

module.exports = { openMemory };
