#!/usr/bin/env node
// @ts-check
'use strict';
// Runs the token service's development mode (the test kit, its database in
// memory) as a command. The first line on stdout is the service URL (e.g.
// http://127.0.0.1:40123); with --echo every recorded request follows as
// one JSON line. Stops on SIGINT or SIGTERM.
//
//   node js/service/main.js [--port N] [--host H] [--log FILE] [--echo]
//                           [--uuid TEXT] [--token TEXT] [--mode NAME]
//                           [--delay-ms N] [--app-key KEY ...]
//
// Switch fault modes at run time with
//   curl -d '{"mode":"http500","times":1}' URL/__admin/mode
// ("down" takes "durationMs" to come back by itself; the admin endpoint also
// answers on a port of its own, printed on stderr, which stays up while the
// service is "down"); GET URL/__admin/requests
// lists what was recorded, POST URL/__admin/clear forgets it.

const { startService, recordJson } = require('./service');
const { parseOptions } = require('./commands/common');

const USAGE = 'usage: main.js [--port N] [--host H] [--log FILE] [--echo] [--uuid TEXT] '
  + '[--token TEXT] [--mode NAME] [--delay-ms N] [--app-key KEY ...]';

/** @type {import('./commands/common').OptionKinds} */
const OPTIONS = {
  port: 'string', host: 'string', log: 'string', echo: 'bool', uuid: 'string', token: 'string',
  mode: 'string', 'delay-ms': 'string', 'app-key': 'strings', help: 'bool',
};

/**
 * @param {string[]} argv
 * @returns {import('./commands/common').Options}
 */
function parseArgs(argv) {
  const { words, o } = parseOptions(argv, OPTIONS, { h: 'help' });
  if (words.length > 0) throw new Error(`unknown argument ${words[0]}`);
  o.port = o.port === undefined ? 0 : Number.parseInt(o.port, 10);
  if (o.delayMs !== undefined) o.delayMs = Number.parseInt(o.delayMs, 10);
  o.appKeys = o.appKey || [];
  if (!Number.isInteger(o.port) || o.port < 0 || o.port > 65535) throw new Error('bad --port');
  return o;
}

async function main() {
  let o;
  try {
    o = parseArgs(process.argv.slice(2));
  } catch (e) {
    process.stderr.write(`${e.message}\n${USAGE}\n`);
    process.exitCode = 2;
    return;
  }
  if (o.help) {
    process.stdout.write(`${USAGE}\n`);
    return;
  }
  const svc = await startService({
    port: o.port,
    host: o.host,
    logFile: o.log,
    uuid: o.uuid,
    token: o.token,
    appKeys: o.appKeys.length ? o.appKeys : undefined,
    mode: o.mode ? { name: o.mode, delayMs: o.delayMs } : undefined,
    onRecord: o.echo ? (r) => { process.stdout.write(`${recordJson(r)}\n`); } : undefined,
  });
  process.stdout.write(`${svc.url}\n`);
  process.stderr.write(`admin endpoint, up in every mode: ${svc.adminUrl}/__admin/mode\n`);
  const stop = () => {
    svc.close().then(() => process.exit(0));
  };
  process.once('SIGINT', stop);
  process.once('SIGTERM', stop);
}

main().catch((e) => {
  process.stderr.write(`${e.stack || e}\n`);
  process.exitCode = 1;
});
