'use strict';
// Self-check until the end-to-end demonstration lands: loads the module and
// lists what it exports.
const path = require('path');
const lib = process.env.RISK_LIBRARY || path.join(__dirname, '..', 'build', 'libQuonRiskComm.so');
const mod = { exports: {} };
process.dlopen(mod, lib);
console.log(`loaded ${lib}`);
console.log(`exports: ${Object.keys(mod.exports).join(', ') || '(none yet)'}`);
