#!/usr/bin/env node
// @ts-check
'use strict';
// risk: the token service's command.
//
//   risk serve --db FILE|postgres://... [--port N] [--host H] [--tls-cert FILE --tls-key FILE]
//              [--retention-days N] [--workers N] [--fingerprint-key-file FILE] [--dev [--mode NAME]]
//   risk apps add --db DB --app-key KEY [--signature K7] [--schemes legacy,gm] [--thresholds JSON] [--json]
//   risk apps set --db DB --app-key KEY --thresholds JSON|null [--json]
//   risk apps list --db DB [--json]
//   risk apps rotate --db DB --app-key KEY [--json]
//   risk apps remove --db DB --app-key KEY [--json]
//   risk forget --db DB --app-key KEY --installation-id ID [--json]
//   risk sweep --db DB [--retention-days N] [--json]
//   risk migrate --db DB [--json]
//
// "serve" prints the service's address (http://127.0.0.1:PORT) as its first
// line on stdout, then runs until SIGINT or SIGTERM, when it lets the
// requests under way finish and exits 0. Its log (stderr) names no app,
// device or token. Exit status: 0 done, 1 failed, 2 usage.
//
// One module per command in commands/; what they share in commands/common.js.

const { UsageError, parseOptions } = require('./commands/common');

const USAGE = `usage:
  risk serve --db FILE|postgres://... [--port N] [--host H] [--tls-cert FILE --tls-key FILE]
             [--retention-days N] [--workers N] [--fingerprint-key-file FILE] [--dev [--mode NAME]]
  risk apps add --db DB --app-key KEY [--signature K7] [--schemes legacy,gm] [--thresholds JSON] [--json]
  risk apps set --db DB --app-key KEY --thresholds JSON|null [--json]
  risk apps list --db DB [--json]
  risk apps rotate --db DB --app-key KEY [--json]
  risk apps remove --db DB --app-key KEY [--json]
  risk forget --db DB --app-key KEY --installation-id ID [--json]
  risk sweep --db DB [--retention-days N] [--json]
  risk migrate --db DB [--json]`;

/** @type {import('./commands/common').OptionKinds} */
const OPTIONS = {
  db: 'string', port: 'int', host: 'string', 'tls-cert': 'string', 'tls-key': 'string',
  'retention-days': 'number', workers: 'int', dev: 'bool', 'app-key': 'string',
  signature: 'string', schemes: 'string', 'installation-id': 'string', json: 'bool',
  mode: 'string', help: 'bool', thresholds: 'string', 'fingerprint-key-file': 'string',
};

/** @type {Record<string, { run: (o: import('./commands/common').Options, words: string[]) => Promise<void> }>} */
const COMMANDS = {
  serve: require('./commands/serve'),
  apps: require('./commands/apps'),
  forget: require('./commands/forget'),
  sweep: require('./commands/sweep'),
  migrate: require('./commands/migrate'),
};

/**
 * Runs one command line (without the program's name).
 * @param {string[]} argv
 * @returns {Promise<void>}
 */
async function main(argv) {
  const { words, o } = parseOptions(argv, OPTIONS);
  const [command, ...rest] = words;
  if (o.help || command === undefined || command === 'help') {
    process.stdout.write(`${USAGE}\n`);
    return;
  }
  if (!Object.hasOwn(COMMANDS, command)) throw new UsageError(`unknown command "${command}"`);
  return COMMANDS[command].run(o, rest);
}

if (require.main === module) {
  main(process.argv.slice(2)).catch((e) => {
    if (e instanceof UsageError) {
      process.stderr.write(`risk: ${e.message}\n${USAGE}\n`);
      process.exitCode = 2;
    } else {
      process.stderr.write(`risk: ${e.message}\n`);
      process.exitCode = 1;
    }
  });
}

module.exports = { main };
