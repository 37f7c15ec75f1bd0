// Prints known answers for the two cipher schemes, computed with Node's
// crypto (OpenSSL: SHA-1, MD5, SM3, SM4-ECB with PKCS#7 padding) and, for the
// legacy scheme's XXTEA, with the npm package xxtea-node:
//
//   NODE_PATH=js/node_modules node crypto/testdata/gen_scheme_vectors.js
//
// The output is C++ initialiser text, pasted into cipher_scheme_test.cc: per
// case the key text and payload (hex), then legacy key, sign and seal, then
// gm key (hex), sign and seal (hex).
'use strict';

const crypto = require('node:crypto');
const xxtea = require('xxtea-node');

function digest(name, data) { return crypto.createHash(name).update(data).digest(); }
function sm4Ecb(key, plain) {
  const c = crypto.createCipheriv('sm4-ecb', key, null);  // PKCS#7 padding is the default
  return Buffer.concat([c.update(plain), c.final()]);
}

// Key texts: an application key, an empty one (allowed: keys derive anyway)
// and one with bytes above 0x7f and a zero byte.
const cases = [
  {key: Buffer.from('4a1b7c29e5d3f8a06b2c9d1e'), payload: Buffer.from('PK\u0003\u0004 sealed request payload \u0000\u00ff', 'latin1')},
  {key: Buffer.from(''), payload: Buffer.from('{"K1":"v"}')},
  {key: Buffer.from([0x6b, 0x00, 0xe9, 0x80, 0x41]), payload: Buffer.from('0123456789abcdef')},
];

const out = [];
for (const {key, payload} of cases) {
  const thrice = Buffer.concat([key, key, key]);
  const wrapped = Buffer.concat([key, payload, key]);
  const legacyKey = digest('sha1', thrice).toString('hex');
  const gmKey = digest('sm3', thrice).subarray(0, 16);
  out.push('    {"' + key.toString('hex') + '",');
  out.push('     "' + payload.toString('hex') + '",');
  out.push('     "' + legacyKey + '",');
  out.push('     "' + digest('md5', wrapped).toString('hex') + '",');
  out.push('     "' + Buffer.from(xxtea.encrypt(payload, Buffer.from(legacyKey, 'latin1'))).toString('hex') + '",');
  out.push('     "' + gmKey.toString('hex') + '",');
  out.push('     "' + digest('sm3', wrapped).toString('hex') + '",');
  out.push('     "' + sm4Ecb(gmKey, payload).toString('hex') + '"},');
}
process.stdout.write(out.join('\n') + '\n');
