// @ts-check
'use strict';
// risk migrate: brings the database's schema up to date.

const { describeStore } = require('../store');
const { out, withStore } = require('./common');

/** @param {import('./common').Options} o */
function run(o) {
  return withStore(o, async (store) => {
    // Opening migrated; a second look finds nothing left to apply.
    const applied = await store.migrate();
    out(o, { kind: store.kind, applied }, `${describeStore(o.db)}: schema up to date`);
  });
}

module.exports = { run };
