// @ts-check
'use strict';
// The test kit of an app's integration tests: the reference token service,
// in the test's own process, on a free loopback port.
//
//   const { startService } = require('quon-risk-comm/testing');
//   const svc = await startService();
//   risk.init(handle, appKey, { KEY_URL: svc.url, ... });
//   await svc.setMode('http500', { times: 1 });   // the next exchange fails
//   const [request] = await svc.waitForRequests(1);
//   await svc.close();
//
// It is the token service's development mode with its store in memory: an
// unknown application key is registered on its first request, every request
// is recorded opened (requests, waitForRequests, clear), and fault modes are
// played by setMode (or POST adminUrl/__admin/mode). No database driver is
// loaded and no command is spawned.

const service = require('./service/service');

/**
 * Starts the reference service; resolves once it listens (unless started
 * "down").
 * @param {import('./testing').ServiceOptions} [options]
 * @returns {Promise<import('./testing').TestService>}
 */
function startService(options = {}) {
  const o = /** @type {Record<string, unknown>} */ ({ ...options });
  for (const k of ['db', 'store', 'development']) {
    if (k in o) return Promise.reject(new Error(`"${k}" is not an option of the test kit (it keeps its store in memory)`));
  }
  // The service's own file is not type-checked: its answer is declared here.
  return /** @type {Promise<any>} */ (service.startService({ ...o, host: options.host || '127.0.0.1', port: options.port || 0 }));
}

module.exports = {
  startService,
  MODES: [...service.MODES],
  TOKEN_PATH: service.TOKEN_PATH,
  SITUATION_PATH: service.SITUATION_PATH,
};
