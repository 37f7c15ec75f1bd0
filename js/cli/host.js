// @ts-check
'use strict';
// What the token, degrade and sign commands share: their common options,
// the application's option map, the library's log (quiet, or on stderr with
// --verbose) and one SDK set up over a preference folder.
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');

const { UsageError, CliError, progress } = require('./args');

const DEFAULT_DELAY_MS = 5000;
const CLI_APP_NAME = 'com.example.risk.cli';
const ALGS = ['legacy', 'gm'];

/**
 * @typedef {import('./args').Flag} Flag
 * @typedef {import('../index').PostOutcome} PostOutcome
 * @typedef {import('../index').SdkHandle} SdkHandle
 * @typedef {object} HostArgs the common options, parsed
 * @property {string} [url]
 * @property {string} [situationUrl]
 * @property {string} [alg]
 * @property {string} [appKey]
 * @property {string[]} [option]
 * @property {number} [delayMs]
 * @property {string} [prefs]
 * @property {string} [appName]
 * @property {boolean} [json]
 * @property {boolean} [verbose]
 * @typedef {{ since(): string[] }} LogCapture
 * @typedef {object} Host one SDK of the tool
 * @property {typeof import('../index')} risk
 * @property {SdkHandle} handle
 * @property {Record<string, string>} options the application's options
 * @property {string} appKey
 * @property {PostOutcome[]} posts every post's outcome so far
 * @property {LogCapture} log
 */

// The options of token, degrade and sign, in the order their help lists them.
/** @type {Record<string, Flag>} */
const COMMON_FLAGS = {
  '--url': { type: 'string', help: 'URL  token service address (KEY_URL); scheme://host gains /udid/m1' },
  '--situation-url': { type: 'string', help: 'URL  situation service address (KEY_SITUATION_URL); KEY_URL does not apply to reports' },
  '--alg': { type: 'string', help: 'legacy|gm  cipher scheme (KEY_MANAGER_ALGORITHM), default legacy' },
  '--app-key': { type: 'string', help: 'KEY  application key' },
  '--option': { type: 'list', help: 'KEY=VALUE  one more option, repeatable: KEY_/PRIVATE_ keys are settings, others user_ data' },
  '--delay-ms': { type: 'int', help: 'N  how long a call waits for the service (KEY_DELAY_MS_TIME), default 5000' },
  '--prefs': { type: 'string', help: 'DIR  keep preferences (the stored token) here; default a temporary directory' },
  '--app-name': { type: 'string', help: `NAME  the application name handed to setup, default ${CLI_APP_NAME}` },
  '--json': { type: 'bool', help: 'print the result as JSON' },
  '--verbose': { type: 'bool', help: 'show the library\'s own log on stderr as it goes' },
};

// The last lines of the help of token, degrade and sign.
/** @returns {string[]} */
function serviceNote() {
  return ['tokens need --url (KEY_URL); situation reports need --situation-url (KEY_SITUATION_URL),'
    + ' they do not follow KEY_URL'];
}

// The option map of the application: --option entries, then the named
// settings (which win).
/**
 * @param {HostArgs} opts
 * @returns {Record<string, string>}
 */
function optionsOf(opts) {
  /** @type {Record<string, string>} */
  const options = {};
  for (const kv of opts.option || []) {
    const at = kv.indexOf('=');
    if (at <= 0) throw new UsageError(`--option needs KEY=VALUE, not "${kv}"`);
    options[kv.slice(0, at)] = kv.slice(at + 1);
  }
  if (opts.alg !== undefined) {
    if (!ALGS.includes(opts.alg)) throw new UsageError(`--alg is legacy or gm, not "${opts.alg}"`);
    options.KEY_MANAGER_ALGORITHM = opts.alg;
  }
  if (opts.url !== undefined) options.KEY_URL = opts.url;
  if (opts.situationUrl !== undefined) options.KEY_SITUATION_URL = opts.situationUrl;
  if (opts.delayMs !== undefined) options.KEY_DELAY_MS_TIME = String(opts.delayMs);
  return options;
}

// Removes `dir` at exit, and on Ctrl-C or SIGTERM (which then end the tool
// with the usual status of the signal).
/** @param {string} dir */
function removeAtExit(dir) {
  const remove = () => fs.rmSync(dir, { recursive: true, force: true });
  process.once('exit', remove);
  for (const [signal, status] of /** @type {Array<[NodeJS.Signals, number]>} */ ([['SIGINT', 130], ['SIGTERM', 143]])) {
    process.once(signal, () => {
      remove();
      process.exit(status);
    });
  }
}

// The library's log: on stderr with --verbose, else (whatever RISK_LOG and
// RISK_LOG_FILE say) in a temporary file, read back for a failed exchange.
// Must run before the library is loaded: it opens its log once.
/**
 * @param {HostArgs} opts
 * @returns {LogCapture}
 */
function captureLog(opts) {
  delete process.env.RISK_LOG;
  delete process.env.RISK_LOG_FILE;
  if (opts.verbose) {
    process.env.RISK_LOG = 'on';
    return { since: () => [] };
  }
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'risk-cli-log-'));
  removeAtExit(dir);
  const file = path.join(dir, 'risk.log');
  process.env.RISK_LOG_FILE = file;
  let seen = 0;
  return {
    // The lines logged since the last call.
    since() {
      let text = '';
      try {
        text = fs.readFileSync(file, 'utf8');
      } catch (e) {
        return [];
      }
      const fresh = text.slice(seen);
      seen = text.length;
      return fresh.split('\n').map((l) => l.replace(/^\[Risk\] /, '')).filter((l) => l.trim() !== '');
    },
  };
}

// Loads the library and sets up one SDK over a preference directory (a
// temporary one, removed at exit, unless --prefs names one).
/**
 * @param {HostArgs} opts
 * @returns {Host}
 */
function openHost(opts) {
  if (!opts.appKey) throw new UsageError('--app-key is required');
  const options = optionsOf(opts);
  const log = captureLog(opts);
  const risk = require('../index');
  try {
    risk.load();
  } catch (e) {
    if (e.file) throw new CliError(`cannot load the library ${e.file}: ${e.reason}; ${e.advice}`);
    throw new CliError(e.message.split('\n')[0]);
  }
  const file = risk.libraryPath().file;
  let prefsDir = opts.prefs;
  if (prefsDir === undefined) {
    prefsDir = fs.mkdtempSync(path.join(os.tmpdir(), 'risk-cli-'));
    removeAtExit(prefsDir);
  }
  const delay = Number.parseInt(options.KEY_DELAY_MS_TIME || String(DEFAULT_DELAY_MS), 10);
  /** @type {PostOutcome[]} */
  const posts = [];
  let bridge;
  try {
    bridge = risk.createBridge({
      prefsDir,
      // A post never outlives the wait of the call that made it by much.
      postTimeoutMs: delay > 0 ? Math.min(delay, 30000) + 1000 : DEFAULT_DELAY_MS + 1000,
      onPost: (outcome) => posts.push(outcome),
      onError: (e) => progress(`bridge: ${e && e.message ? e.message : e}`),
    });
  } catch (e) {
    throw new CliError(`cannot use the preference directory ${prefsDir}: ${e.code || e.message}`);
  }
  bridge.warmUp();
  const handle = risk.setup(bridge, { name: opts.appName || CLI_APP_NAME, versionCode: 1, versionName: '1.0' },
    bridge.deviceInfo());
  if (!handle) throw new CliError('the library refused setup');
  risk.init(handle, opts.appKey, options);
  progress(`library ${file}, preferences in ${prefsDir}${opts.prefs === undefined ? ' (temporary)' : ''}`);
  return { risk, handle, options, appKey: opts.appKey, posts, log };
}

module.exports = { COMMON_FLAGS, serviceNote, openHost };
