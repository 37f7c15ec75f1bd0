// @ts-check
'use strict';
// What the commands of `risk` share: the option parser (util.parseArgs with
// whole-number and number options checked), the usage error (exit status
// 2), required options, the output (text, or one JSON line with --json) and
// a store opened for one command.

const util = require('node:util');
const { openStore } = require('../store');

const kDayMs = 24 * 60 * 60 * 1000;
const kDefaultRetentionDays = 30;

/** A mistake in the command line: exit status 2 with the usage. */
class UsageError extends Error {}

/**
 * @typedef {'string' | 'strings' | 'int' | 'number' | 'bool'} OptionKind strings: repeatable
 * @typedef {Record<string, OptionKind>} OptionKinds option names as typed (without "--")
 * @typedef {Record<string, any>} Options by camelCase name ("app-key": appKey)
 */

/** @param {string} name @returns {string} */
function camelCase(name) {
  return name.replace(/-([a-z])/g, (_, c) => c.toUpperCase());
}

/**
 * Parses a command line: the words (positionals) and the options. Throws a
 * UsageError for an unknown option, a missing value or a bad number.
 * @param {string[]} argv
 * @param {OptionKinds} kinds
 * @param {Record<string, string>} [short] short name to option name
 * @returns {{ words: string[], o: Options }}
 */
function parseOptions(argv, kinds, short = {}) {
  /** @type {NonNullable<util.ParseArgsConfig['options']>} */
  const options = {};
  for (const [name, kind] of Object.entries(kinds)) {
    options[name] = { type: kind === 'bool' ? 'boolean' : 'string', multiple: kind === 'strings' };
    const letter = Object.keys(short).find((s) => short[s] === name);
    if (letter !== undefined) options[name].short = letter;
  }
  // An option's value may begin with a dash (an installation id, say), as
  // the commands have always taken it: "--name value" is passed on as
  // "--name=value", which parseArgs takes whatever the value.
  const args = [];
  for (let i = 0; i < argv.length; i++) {
    const name = argv[i].startsWith('--') ? argv[i].slice(2) : null;
    const kind = name === null || !Object.hasOwn(kinds, name) ? undefined : kinds[name];
    if (kind !== undefined && kind !== 'bool' && i + 1 < argv.length) args.push(`${argv[i]}=${argv[++i]}`);
    else args.push(argv[i]);
  }
  let parsed;
  try {
    parsed = util.parseArgs({ args, options, allowPositionals: true, strict: true });
  } catch (e) {
    if (!String(e.code).startsWith('ERR_PARSE_ARGS_')) throw e;
    const option = (/'(-[^' ]+)/.exec(e.message) || [])[1];
    if (e.code === 'ERR_PARSE_ARGS_UNKNOWN_OPTION' && option) throw new UsageError(`unknown option ${option}`);
    if (/argument missing/.test(e.message) && option) throw new UsageError(`${option} needs a value`);
    throw new UsageError(e.message);
  }
  /** @type {Options} */
  const o = {};
  for (const [name, value] of Object.entries(parsed.values)) {
    const kind = kinds[name];
    if (kind === 'int' && !/^\d+$/.test(String(value))) throw new UsageError(`--${name} takes a whole number, not "${value}"`);
    if (kind === 'number' && !/^\d+(\.\d+)?$/.test(String(value))) throw new UsageError(`--${name} takes a number, not "${value}"`);
    o[camelCase(name)] = kind === 'int' || kind === 'number' ? Number(value) : value;
  }
  return { words: parsed.positionals, o };
}

/**
 * @param {Options} o
 * @param {string} name
 * @param {string} flag
 * @returns {any} the option's value; throws a UsageError when it is missing
 */
function need(o, name, flag) {
  if (o[name] === undefined || o[name] === '') throw new UsageError(`${flag} is required`);
  return o[name];
}

/**
 * Writes a command's result: one JSON line with --json, the text otherwise.
 * @param {Options} o
 * @param {unknown} json
 * @param {string} text
 */
function out(o, json, text) {
  process.stdout.write(o.json ? `${JSON.stringify(json)}\n` : `${text}\n`);
}

/**
 * Runs fn with the store --db names, opened (and migrated) for it and closed after.
 * @template T
 * @param {Options} o
 * @param {(store: import('../store').Store) => Promise<T>} fn
 * @returns {Promise<T>}
 */
async function withStore(o, fn) {
  const store = await openStore(need(o, 'db', '--db'));
  try {
    return await fn(store);
  } finally {
    await store.close();
  }
}

/**
 * The retention period of --retention-days, in milliseconds; 0 keeps everything.
 * @param {Options} o
 * @returns {number}
 */
function retentionMs(o) {
  const days = o.retentionDays === undefined ? kDefaultRetentionDays : o.retentionDays;
  if (days === 0) return 0;
  if (days < 1) throw new UsageError('--retention-days: 0 (keep everything) or at least 1 (a token lives 24 hours)');
  return days * kDayMs;
}

module.exports = { UsageError, parseOptions, need, out, withStore, retentionMs, kDayMs };
