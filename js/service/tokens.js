// @ts-check
'use strict';
// Service tokens: what one is, how long it lives, the installation id it is
// bound to, and the one form in which the store knows it (its SHA-256).

const crypto = require('node:crypto');
const { MAX_SERVICE_TOKEN_BYTES } = require('./codecs');

const kMaxTokenBytes = MAX_SERVICE_TOKEN_BYTES;  // the library's bound for a service token
const kTokenLifeMs = 24 * 60 * 60 * 1000;         // the library's own cache period
// The installation id a token is bound to ("K58", or the one answered).
const kMaxInstallationIdLength = 128;

/** @returns {string} 128 random bits as 32 hexadecimal characters, within the library's 40 bytes */
function freshToken() {
  return crypto.randomBytes(16).toString('hex');
}

/** @param {string} token @returns {string} hexadecimal SHA-256 of its UTF-8 text */
function tokenHash(token) {
  return crypto.createHash('sha256').update(token, 'utf8').digest('hex');
}

/**
 * Whether a presented value can be a service token at all: a text of 1 to
 * kMaxTokenBytes bytes.
 * @param {unknown} token
 * @returns {token is string}
 */
function isTokenText(token) {
  return typeof token === 'string' && token !== '' && Buffer.byteLength(token, 'utf8') <= kMaxTokenBytes;
}

module.exports = { kTokenLifeMs, kMaxInstallationIdLength, freshToken, tokenHash, isTokenText };
