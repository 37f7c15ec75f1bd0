// @ts-check
'use strict';
// risk serve: the reference token and situation service (the token
// service's development mode, from the repository's service/) until Ctrl-C
// or SIGTERM; its address on stdout, each request a line on stderr.
const fs = require('node:fs');

const { UsageError, CliError, progress } = require('./args');

/**
 * @typedef {import('./args').Command} Command
 * @typedef {import('./args').ParsedArgs} ParsedArgs
 * @typedef {import('../service/records').RequestRecord} RequestRecord
 */

// What each fault mode of the reference service does, and what the app sees.
/** @type {Record<string, string>} */
const MODE_HELP = {
  normal: 'a sealed answer with a fresh token: a service token',
  down: 'the listener is closed, connections are refused: degrade token, -1002 (connect)',
  http500: 'status 500, empty body: degrade token, -1002 (HTTP 500)',
  slow: 'the normal answer after --delay-ms (1000): degrade token with 0 when the call waits less',
  hang: 'never answers: degrade token with 0, then -1002 (timeout) once the post gives up',
  empty: 'status 200, empty body: degrade token, -1002',
  random: 'status 200, random bytes: degrade token, -1002',
  wrongkey: 'the answer sealed under another key: degrade token, -1002',
  nonzip: 'the answer sealed without its archive: degrade token, -1003',
  wrongentry: 'the archive entry is "Data": degrade token, -1003',
  emptyentry: 'the archive entry "data" is empty: degrade token, -1003',
  badproto: 'bytes that are not a TokenResponse: degrade token, -1005',
  status: 'status -10006: degrade token, -1008',
  wrongcommand: 'command 1001: degrade token, -1006',
  nobody: 'status 0, command 1002, empty body: degrade token, -1006',
};

/** @returns {string} */
function modeList() {
  const width = Math.max(...Object.keys(MODE_HELP).map((m) => m.length));
  return Object.entries(MODE_HELP).map(([m, text]) => `  ${m.padEnd(width)}  ${text}`).join('\n');
}

// The test kit of the token service, from the repository's service/ (the
// service is a package of its own, with its database drivers).
/** @returns {typeof import('../service/service')} */
function serviceKit() {
  try {
    return require('../service/service');
  } catch (e) {
    if (e.code !== 'MODULE_NOT_FOUND') throw e;
    throw new CliError('the token service is a package of its own (quon-risk-service): '
      + 'install it and run its "risk serve --dev", or "risk serve --db FILE" for the service itself');
  }
}

/**
 * @typedef {{ port?: number, host?: string, log?: string, mode?: string, delayMs?: number, token?: string,
 *   uuid?: string, appKey?: string[], echo?: boolean }} ServeArgs
 * @param {ParsedArgs} parsed
 */
async function run(parsed) {
  const opts = /** @type {ServeArgs} */ (parsed);
  const { startService, recordJson, MODES } = serviceKit();
  if (opts.mode === 'list') {
    process.stdout.write(`fault modes of the reference service (and what the app sees):\n${modeList()}\n`);
    return;
  }
  if (opts.mode !== undefined && !MODES.has(opts.mode)) {
    throw new UsageError(`unknown mode "${opts.mode}"; one of ${[...MODES].join(', ')} ("--mode list" explains them)`);
  }
  if (opts.log !== undefined) {
    try {
      fs.appendFileSync(opts.log, '');
    } catch (e) {
      throw new CliError(`cannot write the log file ${opts.log}: ${e.code || e.message}`);
    }
  }
  /** @type {{ name: string, delayMs?: number } | undefined} */
  const mode = opts.mode ? { name: opts.mode } : undefined;
  if (mode && opts.delayMs !== undefined) mode.delayMs = opts.delayMs;
  let svc;
  try {
    svc = await startService({
      port: opts.port || 0,
      host: opts.host,
      logFile: opts.log,
      token: opts.token,
      uuid: opts.uuid,
      appKeys: opts.appKey,
      mode,
      onRecord: (/** @type {RequestRecord} */ r) => {
        progress(`${r.time} ${r.endpoint || r.path} ${r.query.appKey || '-'} ${r.scheme || '-'} `
          + `${r.error ? `refused: ${r.error}` : `answered ${r.answer && r.answer.mode}`}`);
        if (opts.echo) process.stdout.write(`${recordJson(r)}\n`);
      },
    });
  } catch (e) {
    throw new CliError(`cannot start the service: ${e.message}`);
  }
  const started = svc;
  process.stdout.write(`${started.url}\n`);
  progress(`serving on ${started.url} (token path /udid/m1, situation path /udid/sa-m); Ctrl-C stops`);
  progress(`admin endpoint, up in every mode: ${started.adminUrl}/__admin/mode`);
  await new Promise((resolve) => {
    const stop = () => started.close().then(resolve);
    process.once('SIGINT', stop);
    process.once('SIGTERM', stop);
  });
}

/** @type {Command} */
const command = {
  flags: {
    '--port': { type: 'int', help: 'N  port to listen on, default any free one' },
    '--host': { type: 'string', help: 'H  address to listen on, default 127.0.0.1' },
    '--log': { type: 'string', help: 'FILE  append every request as a JSON line to FILE' },
    '--mode': { type: 'string', help: 'NAME  fault mode to start in; "list" shows them all' },
    '--delay-ms': { type: 'int', help: 'N  the delay of mode slow, ms' },
    '--token': { type: 'string', help: 'TEXT  answer this token instead of fresh ones' },
    '--uuid': { type: 'string', help: 'TEXT  installation identifier to hand out with each token' },
    '--app-key': { type: 'list', help: 'KEY  accept only this application key, repeatable' },
    '--echo': { type: 'bool', help: 'print each request as a JSON line on stdout' },
  },
  usage: 'risk serve [--port N] [--host H] [--log FILE] [--mode NAME|list] [--delay-ms N] [--token TEXT] '
    + '[--uuid TEXT] [--app-key KEY ...] [--echo]',
  footer: () => ['fault modes (--mode):', modeList()],
  run,
};

module.exports = { command };
