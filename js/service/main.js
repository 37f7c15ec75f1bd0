#!/usr/bin/env node
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

const USAGE = 'usage: main.js [--port N] [--host H] [--log FILE] [--echo] [--uuid TEXT] '
  + '[--token TEXT] [--mode NAME] [--delay-ms N] [--app-key KEY ...]';

function parseArgs(argv) {
  const o = { port: 0, appKeys: [] };
  for (let i = 0; i < argv.length; i++) {
    const a = argv[i];
    const next = () => {
      if (i + 1 >= argv.length) throw new Error(`${a} needs a value`);
      return argv[++i];
    };
    switch (a) {
      case '--port': o.port = Number.parseInt(next(), 10); break;
      case '--host': o.host = next(); break;
      case '--log': o.logFile = next(); break;
      case '--echo': o.echo = true; break;
      case '--uuid': o.uuid = next(); break;
      case '--token': o.token = next(); break;
      case '--mode': o.mode = next(); break;
      case '--delay-ms': o.delayMs = Number.parseInt(next(), 10); break;
      case '--app-key': o.appKeys.push(next()); break;
      case '-h':
      case '--help': o.help = true; break;
      default: throw new Error(`unknown argument ${a}`);
    }
  }
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
    logFile: o.logFile,
    uuid: o.uuid,
    token: o.token,
    appKeys: o.appKeys.length ? o.appKeys : undefined,
    mode: o.mode ? { name: o.mode, delayMs: o.delayMs } : undefined,
    onRecord: o.echo ? (r) => process.stdout.write(`${recordJson(r)}\n`) : undefined,
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
