// @ts-check
'use strict';
// The exchange's codecs, shared with the library's side: the cipher schemes,
// the archive and protobuf layer, and the limits of what a request may hold.
// In the service's package they are lib/ beside this file; in the
// repository, the app package's lib/.

const fs = require('node:fs');
const path = require('node:path');

const LIB = fs.existsSync(path.join(__dirname, 'lib', 'wire.js')) ? './lib' : '../lib';
/** @type {typeof import('../lib/scheme')} */
const scheme = require(`${LIB}/scheme`);
/** @type {typeof import('../lib/wire')} */
const wire = require(`${LIB}/wire`);
/** @type {typeof import('../lib/limits')} */
const limits = require(`${LIB}/limits`);

/**
 * @typedef {import('../lib/scheme').Scheme} Scheme
 * @typedef {import('../lib/limits').Limits} Limits
 * @typedef {import('../lib/wire').TokenRequest} TokenRequest
 */

module.exports = {
  createScheme: scheme.createScheme, wire, LIMITS: limits.LIMITS, MAX_SERVICE_TOKEN_BYTES: limits.MAX_SERVICE_TOKEN_BYTES,
};
