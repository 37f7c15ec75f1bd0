// @ts-check
'use strict';
// risk degrade: has the library build a degrade token (no service is
// asked) and shows it opened.
const { CliError, progress } = require('./args');
const { COMMON_FLAGS, serviceNote, openHost } = require('./host');
const { decodeDegrade, formatDecoded } = require('./decode');

/**
 * @typedef {import('./args').Command} Command
 * @typedef {import('./args').ParsedArgs} ParsedArgs
 * @typedef {import('./host').HostArgs} HostArgs
 */

/** @param {ParsedArgs} parsed */
async function run(parsed) {
  const opts = /** @type {HostArgs} */ (parsed);
  const host = openHost(opts);
  progress('building a degrade token...');
  const t0 = Date.now();
  // The degrade native reads only the options of its own call.
  const token = await host.risk.getDegradeToken(host.handle, host.appKey, host.options);
  const ms = Date.now() - t0;
  if (token === '') throw new CliError('the library returned no degrade token');
  const decoded = decodeDegrade(token, host.appKey);
  if (opts.json) process.stdout.write(`${JSON.stringify({ token, ms, decoded }, null, 2)}\n`);
  else process.stdout.write(`${token}\n\n${formatDecoded(decoded)}\n`);
}

/** @type {Command} */
const command = {
  flags: COMMON_FLAGS,
  usage: 'risk degrade --app-key KEY [--alg legacy|gm] [--option K=V ...] [--url URL] [--situation-url URL] '
    + '[--delay-ms N] [--prefs DIR] [--app-name NAME] [--json] [--verbose]',
  footer: serviceNote,
  run,
};

module.exports = { command };
