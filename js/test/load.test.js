'use strict';
const test = require('node:test');
const assert = require('node:assert');
const path = require('path');

test('the library loads as a Node addon', () => {
  const lib = process.env.RISK_LIBRARY || path.join(__dirname, '..', '..', 'build', 'libQuonRiskComm.so');
  const mod = { exports: {} };
  process.dlopen(mod, lib);
  assert.strictEqual(typeof mod.exports, 'object');
});
