// @ts-check
'use strict';
// The HTTP paths the token service answers, and the label of each in the
// metrics.

const TOKEN_PATH = '/udid/m1';        // token exchange
const SITUATION_PATH = '/udid/sa-m';  // situation report
const VERIFY_PATH = '/v1/verify';
const FORGET_PATH = '/v1/forget';
const HEALTH_PATH = '/health';
const METRICS_PATH = '/metrics';
const ADMIN_PREFIX = '/__admin/';     // the development mode's admin calls

/** @param {string | undefined} url @returns {string} the path of a request's URL, without its query */
function pathOf(url) {
  return (url || '/').split('?')[0];
}

/**
 * The endpoint label of a request for the metrics: one of a fixed set.
 * @param {string | undefined} url
 * @returns {string}
 */
function endpointLabel(url) {
  const pathname = pathOf(url);
  switch (pathname) {
    case TOKEN_PATH: return 'token';
    case SITUATION_PATH: return 'situation';
    case VERIFY_PATH: return 'verify';
    case FORGET_PATH: return 'forget';
    case HEALTH_PATH: return 'health';
    case METRICS_PATH: return 'metrics';
    default: return pathname.startsWith(ADMIN_PREFIX) ? 'admin' : 'other';
  }
}

module.exports = {
  TOKEN_PATH, SITUATION_PATH, VERIFY_PATH, FORGET_PATH, HEALTH_PATH, METRICS_PATH, ADMIN_PREFIX, pathOf, endpointLabel,
};
