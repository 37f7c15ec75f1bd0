// Generates xxtea_vectors.txt with the npm package xxtea-node, an XXTEA
// implementation that appends the same 32-bit little-endian length word.
//
//   NODE_PATH=js/node_modules node crypto/testdata/gen_xxtea_vectors.js \
//       > crypto/testdata/xxtea_vectors.txt
//
// The generator is seeded, so it reproduces the committed file byte for byte.
// Keys contain no zero byte: xxtea-node uses a key's bytes as given, while our
// XXTEA stops the key at its first zero byte.
'use strict';

const xxtea = require('xxtea-node');

const kSeed = 0x5eed1234;
let state = kSeed;
// xorshift32: a fixed stream, independent of the platform's random source.
function next() {
  state ^= state << 13; state >>>= 0;
  state ^= state >>> 17;
  state ^= state << 5; state >>>= 0;
  return state;
}
function randInt(lo, hi) { return lo + (next() % (hi - lo + 1)); }
function randBytes(n, nonZero) {
  const b = Buffer.alloc(n);
  for (let i = 0; i < n; ++i) b[i] = nonZero ? randInt(1, 255) : next() & 0xff;
  return b;
}
function randHexText(n) {
  const digits = '0123456789abcdef';
  let s = '';
  for (let i = 0; i < n; ++i) s += digits[next() & 15];
  return Buffer.from(s, 'latin1');
}
function hex(b) { return b === null || b.length === 0 ? '-' : Buffer.from(b).toString('hex'); }
function randKey() {
  switch (next() % 4) {
    case 0: return randHexText(40);               // a legacy scheme key string
    case 1: return randHexText(16);
    case 2: return randBytes(randInt(1, 15), true);  // short: zero-padded
    default: return randBytes(randInt(17, 24), true);  // long: cut to 16 bytes
  }
}

const lines = [];
lines.push('# XXTEA vectors from xxtea-node ' + require('xxtea-node/package.json').version +
           ', seed 0x' + kSeed.toString(16) + '.');
lines.push('# Command: NODE_PATH=js/node_modules node crypto/testdata/gen_xxtea_vectors.js' +
           ' > crypto/testdata/xxtea_vectors.txt');
lines.push('# E key plain cipher: XXTEA_Encrypt(plain, key) == cipher and decrypts back.');
lines.push('# D key cipher plain: XXTEA_Decrypt(cipher, key) == plain ("-" = empty result).');

// Fixed keys that the key-rule tests refer to.
const fixed = [[Buffer.from('abc'), Buffer.from('The quick brown fox')],
               [Buffer.from('0123456789abcdef'), Buffer.from('x')],
               [Buffer.from('0123456789abcdef'), Buffer.from('01234567')]];
for (const [key, plain] of fixed) {
  lines.push(['E', hex(key), hex(plain), hex(xxtea.encrypt(plain, key))].join(' '));
}

for (let length = 1; length <= 100; ++length) {
  const key = randKey();
  const plain = randBytes(length, false);
  const cipher = xxtea.encrypt(plain, key);
  lines.push(['E', hex(key), hex(plain), hex(cipher)].join(' '));

  // The same ciphertext under another key.
  const other = randKey();
  lines.push(['D', hex(other), hex(cipher), hex(xxtea.decrypt(cipher, other))].join(' '));

  // The ciphertext cut short, to a whole or a partial word.
  const cut = Buffer.from(cipher.subarray(0, randInt(1, cipher.length - 1)));
  lines.push(['D', hex(key), hex(cut), hex(xxtea.decrypt(cut, key))].join(' '));
}
process.stdout.write(lines.join('\n') + '\n');
