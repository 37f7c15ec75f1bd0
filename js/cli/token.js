// @ts-check
'use strict';
// risk token: asks the service for a device token (--count times in a row)
// and shows what came back; a degrade token with its error, the posts made
// during the call and what the library logged meanwhile. Ends with status 1
// when only a degrade token came back, unless --allow-degrade.
const codes = require('../lib/codes');
const tokens = require('../lib/tokens');
const { UsageError, CliError, progress } = require('./args');
const { COMMON_FLAGS, serviceNote, openHost } = require('./host');
const { errorMeaning } = require('./decode');

/**
 * @typedef {import('./args').Command} Command
 * @typedef {import('./args').ParsedArgs} ParsedArgs
 * @typedef {import('./host').Host} Host
 * @typedef {import('./host').HostArgs & { count?: number, allowDegrade?: boolean }} TokenArgs
 * @typedef {object} TokenResult what one call got, as the tool shows it
 * @property {string} token
 * @property {boolean} degrade
 * @property {number} [error] a degrade token's error code
 * @property {string} [errorMeaning]
 * @property {number | null} [dataKeys] the data keys of its request, null when it does not open
 * @property {number} [ms]
 * @property {string} [post] the posts made during the call
 * @property {string} [action] what to do about the error
 * @property {string[]} [log] what the library logged during the call
 */

/**
 * @param {string} token
 * @param {string} appKey
 * @returns {TokenResult}
 */
function tokenSummary(token, appKey) {
  /** @type {TokenResult} */
  const out = { token, degrade: tokens.isDegradeToken(token) };
  if (out.degrade && token !== '') {
    const f = tokens.splitDegradeToken(token);
    if (f) {
      out.error = f.errorCode;
      out.errorMeaning = errorMeaning(f.errorCode);
      const opened = tokens.openDegradeToken(token, appKey);
      out.dataKeys = 'request' in opened && opened.request ? opened.request.entries.length : null;
    }
  }
  return out;
}

/**
 * @param {TokenResult} t
 * @returns {string}
 */
function formatToken(t) {
  if (!t.degrade) return `${t.token}\n  service token, ${t.ms} ms`;
  if (t.token === '') return `(empty)\n  no token at all, ${t.ms} ms`;
  const lines = [`${t.token}`, `  degrade token, ${t.ms} ms: error ${t.error} (${t.errorMeaning}); `
    + `carries ${t.dataKeys === null ? 'a request that does not open' : `${t.dataKeys} data keys`}`];
  if (t.post) lines.push(`  post: ${t.post}`);
  if (t.action) lines.push(`  what to do: ${t.action}`);
  if (t.log && t.log.length) lines.push('  the library logged:', ...t.log.map((l) => `    ${l}`));
  return lines.join('\n');
}

// The cause of a degrade answer: the posts made during the call and what
// the library logged meanwhile.
/**
 * @param {TokenResult} result
 * @param {Host} host
 * @param {number} postsBefore
 */
function causeOf(result, host, postsBefore) {
  const made = host.posts.slice(postsBefore);
  result.post = made.length ? made.map(codes.describePost).join('; ') : 'none made during this call';
  if (result.error !== undefined) result.action = codes.describeCode(result.error).action;
  result.log = host.log.since();
}

/** @param {ParsedArgs} parsed */
async function run(parsed) {
  const opts = /** @type {TokenArgs} */ (parsed);
  if (!opts.url) throw new UsageError('token needs --url (the service address)');
  const count = opts.count === undefined ? 1 : opts.count;
  if (count < 1) throw new UsageError('--count is at least 1');
  const host = openHost(opts);
  /** @type {TokenResult[]} */
  const results = [];
  for (let i = 0; i < count; i++) {
    progress(`asking ${opts.url} for a token (${host.options.KEY_MANAGER_ALGORITHM || 'legacy'} scheme)${count > 1 ? ` ${i + 1}/${count}` : ''}...`);
    const t0 = Date.now();
    const postsBefore = host.posts.length;
    host.log.since();
    const token = await host.risk.getToken(host.handle, host.appKey, {});
    const result = { ...tokenSummary(token, host.appKey), ms: Date.now() - t0 };
    if (result.degrade) {
      causeOf(result, host, postsBefore);
      progress(`no service token: ${token === '' ? 'an empty answer' : `a degrade token (error ${result.error})`}`
        + `; post: ${result.post}`);
    }
    results.push(result);
  }
  if (opts.json) process.stdout.write(`${JSON.stringify(count === 1 ? results[0] : results, null, 2)}\n`);
  else process.stdout.write(`${results.map(formatToken).join('\n')}\n`);
  const degraded = results.filter((r) => r.degrade);
  if (degraded.length && !opts.allowDegrade) {
    const last = degraded[degraded.length - 1];
    throw new CliError(`only a degrade token came back${last.error !== undefined ? ` (error ${last.error})` : ''};`
      + ' --allow-degrade accepts it');
  }
}

/** @type {Command} */
const command = {
  flags: {
    ...COMMON_FLAGS,
    '--count': { type: 'int', help: 'N  ask N times in a row, default 1' },
    '--allow-degrade': { type: 'bool', help: 'end with status 0 also when only a degrade token came back' },
  },
  usage: 'risk token --url URL --app-key KEY [--situation-url URL] [--alg legacy|gm] [--option K=V ...] '
    + '[--delay-ms N] [--prefs DIR] [--app-name NAME] [--count N] [--allow-degrade] [--json] [--verbose]',
  footer: serviceNote,
  run,
};

module.exports = { command };
