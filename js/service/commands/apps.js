// @ts-check
'use strict';
// risk apps add|set|list|rotate|remove: the registered apps and their
// server secrets.

const apps = require('../apps');
const { UsageError, need, out, withStore } = require('./common');

/** @typedef {import('./common').Options} Options */

/** @type {Record<string, (o: Options) => Promise<void>>} */
const SUBCOMMANDS = {
  add: (o) => withStore(o, async (store) => {
    const { app, secret } = await apps.addApp(store, {
      appKey: need(o, 'appKey', '--app-key'), schemes: o.schemes, signature: o.signature, thresholds: o.thresholds,
    });
    out(o, { ...apps.publicApp(app), secret },
      `registered ${app.appKey} (schemes ${app.schemes.join(', ')}${app.signature ? `, signature ${app.signature}` : ''})\n`
      + `server secret (shown once, keep it with the app's backend):\n${secret}`);
  }),
  set: (o) => withStore(o, async (store) => {
    const appKey = need(o, 'appKey', '--app-key');
    const thresholds = await apps.setThresholds(store, appKey, need(o, 'thresholds', '--thresholds'));
    out(o, { appKey, thresholds }, `thresholds of ${appKey}: ${thresholds === null ? 'the defaults' : JSON.stringify(thresholds)}`);
  }),
  list: (o) => withStore(o, async (store) => {
    const list = (await store.listApps()).map(apps.publicApp);
    out(o, list, list.length === 0 ? 'no app registered'
      : list.map((a) => `${a.appKey}  schemes ${a.schemes.join(',')}  signature ${a.signature || '-'}  `
        + `secret of ${new Date(a.rotatedAt).toISOString()}  thresholds ${a.thresholds ? JSON.stringify(a.thresholds) : 'defaults'}`).join('\n'));
  }),
  rotate: (o) => withStore(o, async (store) => {
    const appKey = need(o, 'appKey', '--app-key');
    const secret = await apps.rotateSecret(store, appKey);
    out(o, { appKey, secret }, `new server secret of ${appKey} (the old one no longer works):\n${secret}`);
  }),
  remove: (o) => withStore(o, async (store) => {
    const appKey = need(o, 'appKey', '--app-key');
    if (!(await store.removeApp(appKey))) throw new Error(`app key "${appKey}" is not registered`);
    out(o, { appKey, removed: true }, `removed ${appKey} and everything kept for it`);
  }),
};

/**
 * @param {Options} o
 * @param {string[]} words the command line's words after "apps"
 */
function run(o, words) {
  const sub = words[0];
  if (sub === undefined || !Object.hasOwn(SUBCOMMANDS, sub)) {
    throw new UsageError(`risk apps: add, set, list, rotate or remove, not "${sub || ''}"`);
  }
  return SUBCOMMANDS[sub](o);
}

module.exports = { run };
