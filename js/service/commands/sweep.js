// @ts-check
'use strict';
// risk sweep: deletes what is older than the retention period.

const { out, withStore, retentionMs, kDayMs } = require('./common');

/** @param {import('./common').Options} o */
function run(o) {
  return withStore(o, async (store) => {
    const keepMs = retentionMs(o);
    const deleted = keepMs > 0 ? await store.sweep(Date.now(), keepMs) : 0;
    out(o, { deleted }, `deleted ${deleted} rows older than ${keepMs / kDayMs} days`);
  });
}

module.exports = { run };
