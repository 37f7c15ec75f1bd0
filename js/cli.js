#!/usr/bin/env node
// @ts-check
'use strict';
// Command-line tool of the Node host.
//
//   risk serve   [--port N] [--host H] [--log FILE] [--mode NAME|list] [--delay-ms N]
//                [--token TEXT] [--uuid TEXT] [--app-key KEY ...] [--echo]
//   risk token   --url URL --app-key KEY [common options] [--count N] [--allow-degrade]
//   risk degrade --app-key KEY [common options]
//   risk sign    --app-key KEY [--text TEXT] [--scene NAME] [common options]
//   risk decode  [--app-key KEY] [--text TEXT] [--type degrade|sign|record]
//                [--file FILE | TEXT | -]
//   risk --version
//
// Common options of token, degrade and sign: --url URL (KEY_URL),
// --situation-url URL (KEY_SITUATION_URL), --alg legacy|gm, --option
// KEY=VALUE (repeatable; "KEY_"/"PRIVATE_" keys are settings, others are sent
// as "user_" data), --delay-ms N, --prefs DIR (preference directory to keep
// the token in; a temporary one by default, removed at exit and on Ctrl-C),
// --app-name NAME, --json, --verbose (the library's own log on stderr; it is
// kept quiet otherwise, and shown for a failed exchange).
//
// Results go to stdout, progress to stderr. A failure is one line on stderr
// and exit status 1 (2 for a usage error); `token` also ends with 1 when it
// got only a degrade token, unless --allow-degrade.

// One module per command in cli/ (its options, its help, what it does);
// cli/args.js reads the options with util.parseArgs.

const codes = require('./lib/codes');
const { UsageError, CliError, parseCommandArgs, helpText } = require('./cli/args');
const decode = require('./cli/decode');

const EXIT_FAILURE = 1;
const EXIT_USAGE = 2;

// Why a token exchange failed: the last field of a degrade token.
const ERROR_CODES = Object.freeze(Object.fromEntries(codes.ERROR_CODES.map((e) => [String(e.code), e.meaning])));

const USAGE = `usage: risk <command> [options]
commands:
  serve    run the reference token and situation service
  token    get a device token from a service
  degrade  build a degrade token
  sign     make a business sign
  decode   open a degrade token, a business sign or a service log record
run "risk <command> --help" for the options of one command, "risk --version" for the versions
the library needs KEY_URL (--url) for tokens and KEY_SITUATION_URL (--situation-url) for reports`;

/** @type {Record<string, import('./cli/args').Command>} */
const COMMANDS = {
  serve: require('./cli/serve').command,
  token: require('./cli/token').command,
  degrade: require('./cli/degrade').command,
  sign: require('./cli/sign').command,
  decode: decode.command,
};

// The tool's version and the library it would load.
/** @returns {string} */
function versionText() {
  const { version } = require('./package.json');
  const risk = require('./index');
  let library;
  try {
    const where = risk.libraryPath();
    library = `${where.file} (${where.from})`;
  } catch (e) {
    library = `none: ${e.message}`;
  }
  return `risk (quon-risk-comm) ${version}\nlibrary: ${library}`;
}

// Runs the tool on argv (the arguments after "risk"); resolves with the exit
// status, or rejects with a UsageError, a CliError or a fault of the tool.
/**
 * @param {string[]} argv
 * @returns {Promise<number>}
 */
async function main(argv) {
  const [name, ...rest] = argv;
  if (name === undefined || name === '-h' || name === '--help' || name === 'help') {
    process.stdout.write(`${USAGE}\n`);
    return name === undefined ? EXIT_USAGE : 0;
  }
  if (name === '--version' || name === '-V' || name === 'version') {
    process.stdout.write(`${versionText()}\n`);
    return 0;
  }
  const command = Object.hasOwn(COMMANDS, name) ? COMMANDS[name] : undefined;
  if (!command) throw new UsageError(`unknown command "${name}"`);
  const opts = parseCommandArgs(rest, name, command);
  if (opts.help) {
    process.stdout.write(`${helpText(command)}\n`);
    return 0;
  }
  await command.run(opts);
  return 0;
}

if (require.main === module) {
  main(process.argv.slice(2)).then((code) => {
    process.exitCode = code;
  }, (e) => {
    if (e instanceof UsageError) {
      process.stderr.write(`risk: ${e.message}\n`);
      process.exitCode = EXIT_USAGE;
    } else if (e instanceof CliError) {
      process.stderr.write(`risk: ${e.message}\n`);
      process.exitCode = EXIT_FAILURE;
    } else {
      // A fault of the tool itself: still one line, no stack trace.
      process.stderr.write(`risk: internal error: ${e && e.message ? e.message : e}\n`);
      process.exitCode = EXIT_FAILURE;
    }
  });
}

module.exports = {
  main,
  decodeOne: decode.decodeOne,
  decodeDegrade: decode.decodeDegrade,
  decodeSign: decode.decodeSign,
  decodeRecord: decode.decodeRecord,
  guessType: decode.guessType,
  ERROR_CODES,
};
