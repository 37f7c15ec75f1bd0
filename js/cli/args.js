// @ts-check
'use strict';
// The options of one `risk` command, read with util.parseArgs, and the two
// kinds of failure the tool ends with: a usage error (status 2) and any
// other failure (status 1), each one line on stderr.
//
// Each command declares its options by their long names ("--app-key"),
// each with a type:
//   string  the value after the name, or after "=" (--url=U)
//   int     the same, a whole number
//   list    a string that may be given again (every value is kept)
//   bool    no value
// and a line of help. A parsed option is found under its name in camel
// case (--app-key: appKey); the arguments that are no option under "_".
// "-h" and "--help" ask for the command's help. An argument that starts
// with one "-" is no option: it is an argument ("-" reads stdin).
const { parseArgs } = require('node:util');

class UsageError extends Error {}
class CliError extends Error {}

/**
 * @typedef {'string' | 'int' | 'list' | 'bool'} FlagType
 * @typedef {{ type: FlagType, help: string }} Flag
 * @typedef {{ _: string[], help?: boolean, [name: string]: unknown }} ParsedArgs
 * @typedef {object} Command
 * @property {Record<string, Flag>} flags the options by long name, in the order the help lists them
 * @property {string} usage the usage line, without "usage: "
 * @property {number} [positional] how many arguments besides the options it takes (0)
 * @property {() => string[]} [footer] lines the help ends with
 * @property {(opts: ParsedArgs) => Promise<void>} run
 */

/**
 * @param {string} flag the long name ("--app-key")
 * @returns {string} its key in the parsed options ("appKey")
 */
function keyOf(flag) {
  return flag.slice(2).replace(/-([a-z])/g, (_, c) => c.toUpperCase());
}

// Reads argv (the arguments after the command's name) for command `name`.
// Words after "--" are arguments. Throws a UsageError for an unknown option, a value where none belongs, a
// missing value, a number that is not whole, or one argument too many.
/**
 * @param {string[]} argv
 * @param {string} name
 * @param {Command} command
 * @returns {ParsedArgs}
 */
function parseCommandArgs(argv, name, command) {
  /** @type {NonNullable<import('node:util').ParseArgsConfig['options']>} */
  const options = { help: { type: 'boolean', short: 'h' } };
  for (const [flag, { type }] of Object.entries(command.flags)) {
    options[flag.slice(2)] = { type: type === 'bool' ? 'boolean' : 'string' };
  }
  // parseArgs reads a word that starts with one "-" as a group of short
  // options (and "-a-b" as "-a", "--", "-b", which would end the options);
  // here such a word is an argument as written. It goes in as a stand-in,
  // and every word is read back from argv by its index.
  const args = argv.map((a) => (a.startsWith('-') && !a.startsWith('--') && a !== '-' && a !== '-h' ? '_' : a));
  const { tokens } = parseArgs({ args, options, strict: false, allowPositionals: true, tokens: true });
  /** @type {ParsedArgs} */
  const opts = { _: [] };
  for (const token of tokens) {
    if (token.kind === 'positional') {
      opts._.push(argv[token.index]);
      continue;
    }
    // "--" ends the options: a degrade token may itself begin with "--".
    if (token.kind === 'option-terminator') continue;
    const arg = argv[token.index];
    if (arg === '-h' || arg === '--help') {
      opts.help = true;
      continue;
    }
    const eq = arg.indexOf('=');
    const flag = eq > 0 ? arg.slice(0, eq) : arg;
    const declared = Object.hasOwn(command.flags, flag) ? command.flags[flag] : undefined;
    if (declared === undefined) throw new UsageError(`unknown option ${flag} for "${name}"`);
    const key = keyOf(flag);
    if (declared.type === 'bool') {
      if (token.inlineValue) throw new UsageError(`${flag} takes no value`);
      opts[key] = true;
      continue;
    }
    if (token.value === undefined) throw new UsageError(`${flag} needs a value`);
    const value = token.inlineValue ? token.value : argv[token.index + 1];
    if (declared.type === 'int') {
      if (!/^-?\d+$/.test(value)) throw new UsageError(`${flag} needs a whole number, not "${value}"`);
      opts[key] = Number.parseInt(value, 10);
    } else if (declared.type === 'list') {
      opts[key] = [.../** @type {string[]} */ (opts[key] || []), value];
    } else {
      opts[key] = value;
    }
  }
  const positional = command.positional || 0;
  if (opts._.length > positional) throw new UsageError(`unexpected argument "${opts._[positional]}"`);
  return opts;
}

// The help of a command: its usage, one line per option, its footer.
/**
 * @param {Command} command
 * @returns {string}
 */
function helpText(command) {
  const names = Object.keys(command.flags);
  const width = Math.max(...names.map((n) => n.length));
  const lines = [`usage: ${command.usage}`, 'options:'];
  for (const name of names) lines.push(`  ${name.padEnd(width)}  ${command.flags[name].help}`);
  if (command.footer) lines.push(...command.footer());
  return lines.join('\n');
}

// A line of progress on stderr (results go to stdout).
/** @param {string} text */
function progress(text) {
  process.stderr.write(`${text}\n`);
}

module.exports = { UsageError, CliError, parseCommandArgs, helpText, progress };
