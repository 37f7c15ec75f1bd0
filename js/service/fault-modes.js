// @ts-check
'use strict';
// The fault modes of the development mode, and the answer each makes of an
// opened request (service.js lists what each does).

const crypto = require('node:crypto');
const { createScheme, wire } = require('./codecs');

const kDefaultRandomLength = 61;  // not a multiple of 16: never an SM4 ciphertext
const kDefaultSlowMs = 1000;
const kMaxOtherKeyTries = 1000;
const COMMAND_OTHER = 1001;

const MODES = new Set([
  'normal', 'down', 'http500', 'slow', 'hang', 'empty', 'random', 'wrongkey', 'nonzip',
  'wrongentry', 'emptyentry', 'badproto', 'status', 'wrongcommand', 'nobody',
]);
const TOKEN_ONLY_MODES = new Set(['badproto', 'status', 'wrongcommand', 'nobody']);
// Modes whose token answer carries no token: nothing is issued for them.
const TOKENLESS_MODES = new Set(['http500', 'hang', 'empty', 'random', 'emptyentry', 'badproto', 'status', 'nobody']);

/**
 * @typedef {object} FaultMode
 * @property {string} name one of MODES
 * @property {'token' | 'situation'} [endpoint] the only endpoint it applies to
 * @property {number} [times] the requests it applies to before it reverts to normal
 * @property {number} [delayMs] "slow"
 * @property {number} [length] "random"
 * @property {number} [status] "status"
 * @property {number} [command] "wrongcommand"
 * @property {number} [durationMs] "down": listening again after this long
 *
 * @typedef {import('./records').RequestRecord} RequestRecord
 * @typedef {import('./codecs').Scheme} Scheme
 * @typedef {{ ulvok: string, uuid?: string }} Issued a token committed for an exchange
 * @typedef {{ status?: number, body?: Buffer, delayMs?: number, hang?: boolean }} AnswerPlan
 */

/**
 * A fault mode from its name or description, with its defaults; throws on
 * an unknown name or endpoint.
 * @param {string | Record<string, any> | null | undefined} mode
 * @param {Record<string, any>} [opts]
 * @returns {FaultMode}
 */
function normalizeMode(mode, opts) {
  /** @type {Record<string, any>} */
  const m = typeof mode === 'string' ? { name: mode, ...(opts || {}) } : { ...(mode || {}), ...(opts || {}) };
  if (m.name === undefined && m.mode !== undefined) m.name = m.mode;
  delete m.mode;
  if (!MODES.has(m.name)) throw new Error(`unknown mode "${m.name}"`);
  if (m.endpoint !== undefined && m.endpoint !== 'token' && m.endpoint !== 'situation') {
    throw new Error(`unknown endpoint "${m.endpoint}"`);
  }
  if (m.name === 'slow' && !(m.delayMs >= 0)) m.delayMs = kDefaultSlowMs;
  if (m.name === 'random' && !(m.length >= 0)) m.length = kDefaultRandomLength;
  if (m.name === 'status' && m.status === undefined) m.status = wire.STATUS_REFUSED;
  if (m.name === 'wrongcommand' && m.command === undefined) m.command = COMMAND_OTHER;
  return /** @type {FaultMode} */ (m);
}

/**
 * A key whose seal the real key cannot open (the library's lax SM4 padding
 * rule and the XXTEA length word both let a few foreign ciphertexts through,
 * so candidates are tried until one fails).
 * @param {Scheme} scheme
 * @param {Buffer} archive
 * @returns {{ sealed: Buffer, key: string }}
 */
function sealUnderOtherKey(scheme, archive) {
  for (let i = 0; i < kMaxOtherKeyTries; i++) {
    const other = createScheme(scheme.name, `${scheme.keyText}#other${i}`);
    const sealed = other.encrypt(archive);
    const opened = scheme.decrypt(sealed, { lax: true });
    if (sealed !== null && opened === null) return { sealed, key: String(other.keyText) };
  }
  throw new Error('no other key found');
}

/**
 * @param {Scheme} scheme
 * @param {number} length
 * @returns {Buffer} random bytes that do not open under the scheme's key
 */
function randomUnopenable(scheme, length) {
  for (let i = 0; i < kMaxOtherKeyTries; i++) {
    const bytes = crypto.randomBytes(length);
    if (scheme.decrypt(bytes, { lax: true }) === null) return bytes;
  }
  throw new Error('random bytes kept opening');
}

/**
 * @param {Scheme} scheme
 * @param {Buffer} message never empty
 * @returns {Buffer}
 */
function sealed(scheme, message) {
  return /** @type {Buffer} */ (wire.seal(scheme, message));
}

/**
 * Decides the answer of an opened request, into rec.answer. `normalMessage`
 * makes the message (before archive and seal) of a normal answer; `issued`
 * is the token committed for it, when any.
 * @param {RequestRecord} rec
 * @param {'token' | 'situation'} endpoint
 * @param {Scheme} scheme
 * @param {FaultMode} m
 * @param {Issued | null} issued
 * @param {() => Buffer} normalMessage
 * @returns {AnswerPlan}
 */
function answerFor(rec, endpoint, scheme, m, issued, normalMessage) {
  const name = endpoint === 'situation' && TOKEN_ONLY_MODES.has(m.name) ? 'normal' : m.name;
  /** @type {import('./records').AnswerRecord} */
  const answer = { mode: name };
  rec.answer = answer;
  if (issued) {
    answer.ulvok = issued.ulvok;
    if (issued.uuid !== undefined) answer.uuid = issued.uuid;
  }
  switch (name) {
    case 'http500':
      return { status: 500, body: Buffer.alloc(0) };
    case 'hang':
      return { hang: true };
    case 'empty':
      return { status: 200, body: Buffer.alloc(0) };
    case 'random':
      return { status: 200, body: randomUnopenable(scheme, /** @type {number} */ (m.length)) };
    case 'wrongkey': {
      const other = sealUnderOtherKey(scheme, wire.packArchive(normalMessage()));
      answer.key = other.key;
      return { status: 200, body: other.sealed };
    }
    case 'nonzip':
      return { status: 200, body: /** @type {Buffer} */ (scheme.encrypt(normalMessage())) };
    case 'wrongentry':
      return { status: 200, body: /** @type {Buffer} */ (scheme.encrypt(wire.packArchive(normalMessage(), 'Data'))) };
    case 'emptyentry':
      return { status: 200, body: /** @type {Buffer} */ (scheme.encrypt(wire.packArchive(Buffer.alloc(0)))) };
    case 'badproto':
      // Field 2 (bytes) announcing 5 bytes of which one follows.
      return { status: 200, body: sealed(scheme, Buffer.from([0x12, 0x05, 0x01])) };
    case 'status':
      answer.status = m.status;
      answer.command = wire.COMMAND_TOKEN;
      return { status: 200, body: sealed(scheme, wire.encodeTokenResponse({ status: m.status })) };
    case 'wrongcommand': {
      answer.status = wire.STATUS_OK;
      answer.command = m.command;
      return { status: 200, body: sealed(scheme, wire.encodeTokenResponse({ command: m.command, ...issued })) };
    }
    case 'nobody':
      answer.status = wire.STATUS_OK;
      answer.command = wire.COMMAND_TOKEN;
      return { status: 200, body: sealed(scheme, wire.encodeTokenResponse({})) };
    case 'slow':
      return { status: 200, body: sealed(scheme, normalMessage()), delayMs: m.delayMs };
    default:
      return { status: 200, body: sealed(scheme, normalMessage()) };
  }
}

module.exports = { MODES, TOKENLESS_MODES, normalizeMode, answerFor };
