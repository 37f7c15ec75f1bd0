// @ts-check
'use strict';
// risk forget: deletes everything kept about one installation of an app.

const { need, out, withStore } = require('./common');

/** @param {import('./common').Options} o */
function run(o) {
  return withStore(o, async (store) => {
    const deleted = await store.forgetInstallation(need(o, 'appKey', '--app-key'), need(o, 'installationId', '--installation-id'));
    out(o, { deleted }, `deleted ${deleted} rows`);
  });
}

module.exports = { run };
