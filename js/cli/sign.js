// @ts-check
'use strict';
// risk sign: has the library make a business sign for --text (after
// storing --scene) and shows it opened.
const { CliError, progress } = require('./args');
const { COMMON_FLAGS, serviceNote, openHost } = require('./host');
const { decodeSign, formatDecoded } = require('./decode');

/**
 * @typedef {import('./args').Command} Command
 * @typedef {import('./args').ParsedArgs} ParsedArgs
 * @typedef {import('./host').HostArgs & { text?: string, scene?: string }} SignArgs
 */

/** @param {ParsedArgs} parsed */
async function run(parsed) {
  const opts = /** @type {SignArgs} */ (parsed);
  const host = openHost(opts);
  const text = opts.text || '';
  if (opts.scene !== undefined) host.risk.setScene(host.handle, host.appKey, opts.scene);
  progress(`making a business sign${opts.url ? ` (a token from ${opts.url} when none is stored)` : ''}...`);
  const t0 = Date.now();
  const sign = await host.risk.getBusinessSign(host.handle, host.appKey, {}, text);
  const ms = Date.now() - t0;
  if (sign === '') throw new CliError('the library returned no business sign');
  const decoded = decodeSign(sign, host.appKey, text);
  if (opts.json) process.stdout.write(`${JSON.stringify({ sign, text, ms, decoded }, null, 2)}\n`);
  else process.stdout.write(`${sign}\n\n${formatDecoded(decoded)}\n`);
}

/** @type {Command} */
const command = {
  flags: {
    ...COMMON_FLAGS,
    '--text': { type: 'string', help: 'TEXT  the text the business sign is made for' },
    '--scene': { type: 'string', help: 'NAME  store this scene first (setScene)' },
  },
  usage: 'risk sign --app-key KEY [--text TEXT] [--scene NAME] [--url URL] [--situation-url URL] '
    + '[--alg legacy|gm] [--option K=V ...] [--delay-ms N] [--prefs DIR] [--app-name NAME] [--json] [--verbose]',
  footer: serviceNote,
  run,
};

module.exports = { command };
