// @ts-check
'use strict';
// The two cipher schemes of the service exchange, built from Node's crypto
// (OpenSSL: SM4, SM3, SHA-1, MD5) and the xxtea-node package, so that the
// reference service, the tests and the decode tool can seal, open and sign
// payloads independently of the native library.
//
// Every scheme derives all it needs from one key text K, the application key:
//   gm:     key = first 16 bytes of SM3(K+K+K), SM4-ECB with PKCS#7 padding,
//           sign = lowercase hex SM3(K + data + K)
//   legacy: key = first 16 characters of lowercase hex SHA-1(K+K+K), taken as
//           ASCII bytes, XXTEA with the trailing length word,
//           sign = lowercase hex MD5(K + data + K)
// Inputs may be Buffers or strings (strings are taken as UTF-8); results are
// Buffers, except sign(), which returns the hexadecimal text. decrypt()
// returns null when the sealed bytes do not open under the key.

const crypto = require('node:crypto');
const xxtea = require('xxtea-node');

const KIND_GM = 0;
const KIND_LEGACY = 1;
const SM4_BLOCK = 16;
const XXTEA_KEY_BYTES = 16;

/**
 * @typedef {Buffer | Uint8Array | string} Bytes input bytes; text is taken as UTF-8
 *
 * @typedef {object} Scheme
 * @property {'gm' | 'legacy'} name
 * @property {number} kind KIND_GM or KIND_LEGACY
 * @property {Buffer} cipherKey
 * @property {Bytes} keyText the application key it was made from
 * @property {(plain: Bytes | null | undefined) => Buffer | null} encrypt null for an empty legacy plaintext
 * @property {(sealed: Bytes | null | undefined, opts?: { lax?: boolean }) => Buffer | null} decrypt
 *   null when the sealed bytes do not open under the key
 * @property {(data: Bytes | null | undefined) => string} sign lowercase hex
 */

/**
 * A value as bytes: a Buffer as it is, a Uint8Array as a Buffer over the same
 * memory, anything else as the UTF-8 text of String(value); null and
 * undefined as no bytes.
 * @param {unknown} value
 * @returns {Buffer}
 */
function bytes(value) {
  if (value === null || value === undefined) return Buffer.alloc(0);
  if (Buffer.isBuffer(value)) return value;
  if (value instanceof Uint8Array) return Buffer.from(value.buffer, value.byteOffset, value.byteLength);
  return Buffer.from(String(value), 'utf8');
}

/**
 * @param {string} name
 * @param {...unknown} parts
 * @returns {Buffer}
 */
function digest(name, ...parts) {
  const h = crypto.createHash(name);
  for (const p of parts) h.update(bytes(p));
  return h.digest();
}

/** @param {unknown} data @returns {string} */
function md5Hex(data) { return digest('md5', data).toString('hex'); }
/** @param {unknown} data @returns {string} */
function sha1Hex(data) { return digest('sha1', data).toString('hex'); }
/** @param {unknown} data @returns {string} */
function sm3Hex(data) { return digest('sm3', data).toString('hex'); }
/** @param {unknown} data @returns {Buffer} */
function sm3Digest(data) { return digest('sm3', data); }

/** @param {unknown} keyText @returns {Buffer} */
function thrice(keyText) {
  const k = bytes(keyText);
  return Buffer.concat([k, k, k]);
}

// SM4-ECB with PKCS#7 padding through OpenSSL. OpenSSL checks every padding
// byte; `lax` instead applies the native library's own rule (only the last
// byte is read: above 16 fails, 0 removes nothing), which accepts more.
/**
 * @param {Buffer} key
 * @param {unknown} plain
 * @returns {Buffer}
 */
function sm4Encrypt(key, plain) {
  const c = crypto.createCipheriv('sm4-ecb', key, null);
  return Buffer.concat([c.update(bytes(plain)), c.final()]);
}

/**
 * @param {Buffer} key
 * @param {unknown} sealed
 * @param {boolean} lax
 * @returns {Buffer | null}
 */
function sm4Decrypt(key, sealed, lax) {
  const data = bytes(sealed);
  if (data.length === 0 || data.length % SM4_BLOCK !== 0) return null;
  const d = crypto.createDecipheriv('sm4-ecb', key, null);
  if (!lax) {
    try {
      return Buffer.concat([d.update(data), d.final()]);
    } catch (e) {
      return null;
    }
  }
  d.setAutoPadding(false);
  const raw = Buffer.concat([d.update(data), d.final()]);
  const pad = raw[raw.length - 1];
  if (pad > SM4_BLOCK) return null;
  return raw.subarray(0, raw.length - pad);
}

/**
 * @param {Uint8Array} keyAscii
 * @param {unknown} plain
 * @returns {Buffer | null} null for an empty plaintext
 */
function xxteaEncrypt(keyAscii, plain) {
  const data = bytes(plain);
  if (data.length === 0) return null;
  return Buffer.from(xxtea.encrypt(new Uint8Array(data), new Uint8Array(keyAscii)));
}

/**
 * @param {Uint8Array} keyAscii
 * @param {unknown} sealed
 * @returns {Buffer | null}
 */
function xxteaDecrypt(keyAscii, sealed) {
  const data = bytes(sealed);
  if (data.length === 0) return null;
  // xxtea-node checks the length word (4w-7 <= n <= 4w-4) and gives null.
  const out = xxtea.decrypt(new Uint8Array(data), new Uint8Array(keyAscii));
  if (out === null || out === undefined) return null;
  return Buffer.from(out);
}

// Builds the scheme of one application key. `alg` is the value of the alg
// query parameter or of "KEY_MANAGER_ALGORITHM": exactly "gm" selects the gm
// scheme, anything else the legacy scheme (as the library falls back).
/**
 * @param {unknown} alg
 * @param {Bytes | null} [keyText]
 * @returns {Scheme}
 */
function createScheme(alg, keyText) {
  const key = keyText === undefined || keyText === null ? '' : keyText;
  if (alg === 'gm') {
    const cipherKey = sm3Digest(thrice(key)).subarray(0, 16);
    return {
      name: 'gm',
      kind: KIND_GM,
      cipherKey,
      keyText: key,
      encrypt: (plain) => sm4Encrypt(cipherKey, plain),
      decrypt: (sealed, opts) => sm4Decrypt(cipherKey, sealed, Boolean(opts && opts.lax)),
      sign: (data) => sm3Hex(Buffer.concat([bytes(key), bytes(data), bytes(key)])),
    };
  }
  const cipherKey = Buffer.from(sha1Hex(thrice(key)), 'ascii');  // 40 characters
  const xxteaKey = cipherKey.subarray(0, XXTEA_KEY_BYTES);
  return {
    name: 'legacy',
    kind: KIND_LEGACY,
    cipherKey,
    keyText: key,
    encrypt: (plain) => xxteaEncrypt(xxteaKey, plain),
    decrypt: (sealed) => xxteaDecrypt(xxteaKey, sealed),
    sign: (data) => md5Hex(Buffer.concat([bytes(key), bytes(data), bytes(key)])),
  };
}

// Form encoding of query values: letters, digits, "-", ".", "_" and "~" stay,
// a space becomes "+", every other byte "%XX" in uppercase.
/** @param {unknown} text @returns {string} */
function urlEncode(text) {
  let out = '';
  for (const b of bytes(text)) {
    const c = String.fromCharCode(b);
    if (/[A-Za-z0-9\-._~]/.test(c)) out += c;
    else if (b === 0x20) out += '+';
    else out += '%' + b.toString(16).toUpperCase().padStart(2, '0');
  }
  return out;
}

// AES-256-ECB with PKCS#7 padding, the business sign's cipher.
/**
 * @param {Buffer} key 16, 24 or 32 bytes
 * @param {unknown} plain
 * @returns {Buffer}
 */
function aesEcbEncrypt(key, plain) {
  const c = crypto.createCipheriv(`aes-${key.length * 8}-ecb`, key, null);
  return Buffer.concat([c.update(bytes(plain)), c.final()]);
}

/**
 * @param {Buffer} key 16, 24 or 32 bytes
 * @param {unknown} sealed
 * @returns {Buffer | null}
 */
function aesEcbDecrypt(key, sealed) {
  try {
    const d = crypto.createDecipheriv(`aes-${key.length * 8}-ecb`, key, null);
    return Buffer.concat([d.update(bytes(sealed)), d.final()]);
  } catch (e) {
    return null;
  }
}

module.exports = {
  KIND_GM,
  KIND_LEGACY,
  bytes,
  md5Hex,
  sha1Hex,
  sm3Hex,
  sm3Digest,
  createScheme,
  xxteaEncrypt,
  xxteaDecrypt,
  urlEncode,
  aesEcbEncrypt,
  aesEcbDecrypt,
};
