// @ts-check
'use strict';
// Registered apps and their server secrets.
//
// A secret reads "rks.<id>.<key>": <id> is 12 random bytes in hexadecimal,
// stored as it is and indexed, so that a presented secret finds its app in
// one lookup; <key> is 32 random bytes in base64url. The service keeps only
// a random salt and SHA-256(salt, secret) and compares in constant time. A
// slow password hash is not needed: the secret carries 256 random bits, far
// beyond a guess.

const crypto = require('node:crypto');
const { parseThresholds } = require('./signals');

const SCHEMES = ['legacy', 'gm'];
const kSecretPrefix = 'rks';
const kMaxAppKeyLength = 256;
const kMaxSignatureLength = 1024;
const kMaxSecretLength = 128;
const SECRET_PATTERN = /^rks\.([0-9a-f]{24})\.([A-Za-z0-9_-]{43})$/;

/** @typedef {import('./store').App} App */
/** @typedef {import('./store').Store} Store */

/**
 * @param {string} salt hexadecimal
 * @param {string} secret
 * @returns {string}
 */
function hashSecret(salt, secret) {
  return crypto.createHash('sha256').update(Buffer.from(salt, 'hex')).update(secret, 'utf8').digest('hex');
}

/** @returns {{ secret: string, secretId: string, secretSalt: string, secretHash: string }} */
function newSecret() {
  const secretId = crypto.randomBytes(12).toString('hex');
  const secret = `${kSecretPrefix}.${secretId}.${crypto.randomBytes(32).toString('base64url')}`;
  const secretSalt = crypto.randomBytes(16).toString('hex');
  return { secret, secretId, secretSalt, secretHash: hashSecret(secretSalt, secret) };
}

/**
 * The id of a presented secret, by which its app is found; null for a
 * secret of the wrong shape, which costs no lookup.
 * @param {unknown} secret
 * @returns {string | null}
 */
function secretIdOf(secret) {
  if (typeof secret !== 'string' || secret.length > kMaxSecretLength) return null;
  const m = SECRET_PATTERN.exec(secret);
  return m === null ? null : m[1];
}

/**
 * Whether a presented secret is the app's: one hash, compared in constant time.
 * @param {App} app
 * @param {string} secret
 * @returns {boolean}
 */
function secretMatches(app, secret) {
  const want = Buffer.from(app.secretHash, 'hex');
  const got = Buffer.from(hashSecret(app.secretSalt, secret), 'hex');
  return want.length === got.length && crypto.timingSafeEqual(want, got);
}

/**
 * @param {unknown} schemes a list or a comma-separated text
 * @returns {string[]}
 */
function parseSchemes(schemes) {
  if (schemes === undefined || schemes === null) return SCHEMES.slice();
  const list = Array.isArray(schemes) ? schemes.map(String) : String(schemes).split(',');
  const out = [...new Set(list.map((s) => s.trim()).filter(Boolean))];
  if (out.length === 0) throw new Error(`schemes: one or more of ${SCHEMES.join(', ')}`);
  for (const s of out) if (!SCHEMES.includes(s)) throw new Error(`unknown scheme "${s}" (one of ${SCHEMES.join(', ')})`);
  return out;
}

/**
 * Registers an app; its secret is in the answer, and nowhere else.
 * @param {Store} store
 * @param {{ appKey: string, schemes?: unknown, signature?: string | null, thresholds?: unknown }} registration
 * @returns {Promise<{ app: App, secret: string }>}
 */
async function addApp(store, registration) {
  const { appKey, schemes, signature: given, thresholds: asked } = registration;
  if (typeof appKey !== 'string' || appKey === '' || appKey.length > kMaxAppKeyLength) {
    throw new Error(`app key: 1 to ${kMaxAppKeyLength} characters`);
  }
  const signature = given === undefined || given === null || given === '' ? null : String(given);
  if (signature !== null && signature.length > kMaxSignatureLength) throw new Error(`signature: at most ${kMaxSignatureLength} characters`);
  const thresholds = thresholdsOf(asked);
  const { secret, ...stored } = newSecret();
  const now = Date.now();
  /** @type {App} */
  const app = { appKey, schemes: parseSchemes(schemes), signature, thresholds, ...stored, createdAt: now, rotatedAt: now };
  if (!(await store.addApp(app))) throw new Error(`app key "${appKey}" is registered already`);
  return { app, secret };
}

// An app's thresholds checked (../signals.js), or null for the defaults
// (none given, null, or an empty object).
/**
 * @param {unknown} value an object, its JSON text, or nothing
 * @returns {Record<string, unknown> | null}
 */
function thresholdsOf(value) {
  if (value === undefined || value === null || value === '' || value === 'null') return null;
  const t = parseThresholds(value);
  return Object.keys(t).length === 0 ? null : t;
}

/**
 * Replaces the app's thresholds (null: back to the defaults); the exchanges
 * that follow are judged by them.
 * @param {Store} store
 * @param {string} appKey
 * @param {unknown} value
 * @returns {Promise<Record<string, unknown> | null>} what was stored
 */
async function setThresholds(store, appKey, value) {
  const thresholds = thresholdsOf(value);
  if (!(await store.setAppThresholds(appKey, thresholds === null ? null : JSON.stringify(thresholds)))) {
    throw new Error(`app key "${appKey}" is not registered`);
  }
  return thresholds;
}

/**
 * Gives the app a new secret; the old one stops working at once.
 * @param {Store} store
 * @param {string} appKey
 * @returns {Promise<string>} the new secret
 */
async function rotateSecret(store, appKey) {
  const { secret, ...stored } = newSecret();
  if (!(await store.setAppSecret(appKey, { ...stored, rotatedAt: Date.now() }))) {
    throw new Error(`app key "${appKey}" is not registered`);
  }
  return secret;
}

/**
 * What may be shown of an app: no salt, no hash.
 * @param {App} app
 */
function publicApp(app) {
  return {
    appKey: app.appKey,
    schemes: app.schemes,
    signature: app.signature,
    thresholds: app.thresholds,
    createdAt: app.createdAt,
    rotatedAt: app.rotatedAt,
  };
}

module.exports = {
  addApp, setThresholds, rotateSecret, newSecret, secretIdOf, secretMatches, publicApp, parseSchemes, hashSecret, SCHEMES, kMaxAppKeyLength,
};
