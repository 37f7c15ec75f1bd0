#!/usr/bin/env node
'use strict';
// Command-line tool of the Node host.
//
//   risk serve   [--port N] [--host H] [--log FILE] [--mode NAME] [--delay-ms N]
//                [--token TEXT] [--uuid TEXT] [--app-key KEY ...] [--echo]
//   risk token   --url URL --app-key KEY [common options] [--count N]
//   risk degrade --app-key KEY [common options]
//   risk sign    --app-key KEY [--text TEXT] [--scene NAME] [common options]
//   risk decode  [--app-key KEY] [--text TEXT] [--type degrade|sign|record]
//                [--file FILE | TEXT | -]
//
// Common options of token, degrade and sign: --url URL, --situation-url URL,
// --alg legacy|gm, --option KEY=VALUE (repeatable; "KEY_"/"PRIVATE_" keys are
// settings, others are sent as "user_" data), --delay-ms N, --prefs DIR
// (preference directory to keep the token in; a temporary one by default),
// --app-name NAME, --json.
//
// Results go to stdout, progress to stderr. A failure is one line on stderr
// and exit status 1 (2 for a usage error).

const fs = require('fs');
const os = require('os');
const path = require('path');

const catalogue = require('./lib/catalogue');
const tokens = require('./lib/tokens');

const EXIT_FAILURE = 1;
const EXIT_USAGE = 2;
const DEFAULT_DELAY_MS = 5000;
const CLI_APP_NAME = 'com.example.risk.cli';

// Why a token exchange failed: the last field of a degrade token.
const ERROR_CODES = Object.freeze({
  0: 'no failed exchange (none ran, one is under way, or the last one succeeded)',
  '-1001': 'the post returned no response',
  '-1002': 'the answer did not decrypt (or was empty)',
  '-1003': 'the decrypted answer held no readable entry "data"',
  '-1004': 'the answer held an empty payload',
  '-1005': 'the payload is not a TokenResponse, or its body not a TokenPayload',
  '-1006': 'status not 0, command not 1002, or an empty body',
  '-1008': 'the service refused the device (status -10006)',
});

const USAGE = `usage: risk <command> [options]
commands:
  serve    run the reference token and situation service
  token    get a device token from a service
  degrade  build a degrade token
  sign     make a business sign
  decode   open a degrade token, a business sign or a service log record
run "risk <command> --help" for the options of one command`;

const COMMON = {
  '--url': 'string',
  '--situation-url': 'string',
  '--alg': 'string',
  '--app-key': 'string',
  '--option': 'list',
  '--delay-ms': 'int',
  '--prefs': 'string',
  '--app-name': 'string',
  '--json': 'bool',
};

const COMMANDS = {
  serve: {
    flags: {
      '--port': 'int', '--host': 'string', '--log': 'string', '--mode': 'string', '--delay-ms': 'int',
      '--token': 'string', '--uuid': 'string', '--app-key': 'list', '--echo': 'bool',
    },
    usage: 'risk serve [--port N] [--host H] [--log FILE] [--mode NAME] [--delay-ms N] [--token TEXT] '
      + '[--uuid TEXT] [--app-key KEY ...] [--echo]',
    run: serve,
  },
  token: {
    flags: { ...COMMON, '--count': 'int' },
    usage: 'risk token --url URL --app-key KEY [--alg legacy|gm] [--option K=V ...] [--delay-ms N] '
      + '[--prefs DIR] [--app-name NAME] [--count N] [--json]',
    run: tokenCommand,
  },
  degrade: {
    flags: COMMON,
    usage: 'risk degrade --app-key KEY [--alg legacy|gm] [--option K=V ...] [--prefs DIR] [--json]',
    run: degradeCommand,
  },
  sign: {
    flags: { ...COMMON, '--text': 'string', '--scene': 'string' },
    usage: 'risk sign --app-key KEY [--text TEXT] [--scene NAME] [--url URL] [--alg legacy|gm] '
      + '[--option K=V ...] [--delay-ms N] [--prefs DIR] [--json]',
    run: signCommand,
  },
  decode: {
    flags: { '--app-key': 'string', '--text': 'string', '--type': 'string', '--file': 'string', '--json': 'bool' },
    positional: 1,
    usage: 'risk decode [--app-key KEY] [--text TEXT] [--type degrade|sign|record] [--json] '
      + '(--file FILE | TEXT | -)',
    run: decodeCommand,
  },
};

class UsageError extends Error {}
class CliError extends Error {}

function parseArgs(argv, command) {
  const entry = COMMANDS[command];
  const opts = { _: [] };
  for (let i = 0; i < argv.length; i++) {
    const arg = argv[i];
    if (arg === '-h' || arg === '--help') {
      opts.help = true;
      continue;
    }
    if (!arg.startsWith('--') || arg === '-') {
      opts._.push(arg);
      continue;
    }
    const eq = arg.indexOf('=');
    const name = eq > 0 ? arg.slice(0, eq) : arg;
    const type = entry.flags[name];
    if (type === undefined) throw new UsageError(`unknown option ${name} for "${command}"`);
    const key = name.slice(2).replace(/-([a-z])/g, (_, c) => c.toUpperCase());
    if (type === 'bool') {
      if (eq > 0) throw new UsageError(`${name} takes no value`);
      opts[key] = true;
      continue;
    }
    let value;
    if (eq > 0) value = arg.slice(eq + 1);
    else {
      if (i + 1 >= argv.length) throw new UsageError(`${name} needs a value`);
      value = argv[++i];
    }
    if (type === 'int') {
      if (!/^-?\d+$/.test(value)) throw new UsageError(`${name} needs a whole number, not "${value}"`);
      opts[key] = Number.parseInt(value, 10);
    } else if (type === 'list') {
      (opts[key] = opts[key] || []).push(value);
    } else {
      opts[key] = value;
    }
  }
  if (opts._.length > (entry.positional || 0)) throw new UsageError(`unexpected argument "${opts._[entry.positional || 0]}"`);
  return opts;
}

function progress(text) {
  process.stderr.write(`${text}\n`);
}

// --- decode ------------------------------------------------------------

const MARKS = { yes: 'IDENTIFIES', partly: 'partly', depends: 'caller', no: '' };

// One data entry as the tool shows it.
function describeEntry(key, value) {
  const d = catalogue.describe(key);
  return { key, value, source: d.source, meaning: d.meaning, identifying: d.identifying, known: d.known };
}

function describeData(pairs) {
  return pairs.map(([k, v]) => describeEntry(k, v));
}

function errorMeaning(code) {
  return ERROR_CODES[String(code)] || 'not a code of the library';
}

// Opens a degrade token: its six fields and the request it carries.
function decodeDegrade(text, appKey) {
  const opened = tokens.openDegradeToken(text.trim(), appKey);
  if (!opened.fields) throw new CliError(`not a degrade token: ${opened.problem}`);
  if (!opened.request) throw new CliError(`degrade token for "${opened.fields.appKey}": ${opened.problem}`);
  const f = opened.fields;
  const out = {
    kind: 'degrade',
    appKey: f.appKey,
    scheme: opened.scheme,
    sdkVersion: f.sdkVersion,
    alg: f.alg,
    error: f.errorCode,
    errorMeaning: errorMeaning(f.errorCode),
    sign: f.sign,
    signOk: opened.signOk,
    problem: opened.problem,
    header: opened.request ? opened.request.header : null,
    command: opened.request ? opened.request.command : null,
    data: opened.request ? describeData(opened.request.entries) : [],
  };
  return out;
}

// Opens a business sign made for `text` under the application key.
function decodeSign(text, appKey, signedText) {
  if (appKey === undefined) throw new CliError('a business sign opens only with --app-key');
  const opened = tokens.openBusinessSign(text.trim(), appKey, signedText || '');
  if (opened === null) throw new CliError('the business sign does not open under this application key and text');
  if (opened.fields === null || typeof opened.fields !== 'object') {
    throw new CliError('the business sign opened, but not to a JSON object');
  }
  return {
    kind: 'sign',
    appKey,
    json: opened.json,
    data: describeData(Object.entries(opened.fields)),
  };
}

// A record of the service log (one JSON line).
function decodeRecord(line, appKey) {
  let rec;
  try {
    rec = JSON.parse(line);
  } catch (e) {
    throw new CliError(`not a JSON line: ${e.message}`);
  }
  if (rec === null || typeof rec !== 'object' || !('endpoint' in rec)) throw new CliError('not a service record');
  const query = rec.query || {};
  const out = {
    kind: 'record',
    seq: rec.seq,
    time: rec.time,
    endpoint: rec.endpoint,
    path: rec.path,
    appKey: query.appKey,
    scheme: rec.scheme,
    signOk: rec.signOk,
    error: rec.error,
    answer: rec.answer,
    header: rec.header || null,
    data: [],
    warning: null,
  };
  if (appKey !== undefined && query.appKey !== appKey) {
    out.warning = `the record is for application key "${query.appKey}", not "${appKey}"`;
  }
  if (rec.endpoint === 'token' && Array.isArray(rec.entries)) out.data = describeData(rec.entries);
  else if (rec.endpoint === 'situation' && rec.json && typeof rec.json === 'object') {
    out.data = describeData(Object.entries(rec.json));
  }
  return out;
}

function guessType(text) {
  const t = text.trim();
  if (t.startsWith('{')) return 'record';
  if (t.split('!').length === 6) return 'degrade';
  return 'sign';
}

function decodeOne(text, type, appKey, signedText) {
  switch (type || guessType(text)) {
    case 'degrade': return decodeDegrade(text, appKey);
    case 'sign': return decodeSign(text, appKey, signedText);
    case 'record': return decodeRecord(text, appKey);
    default: throw new UsageError(`--type is one of degrade, sign, record, not "${type}"`);
  }
}

function shorten(value, width) {
  const v = String(value).replace(/\n/g, '\\n');
  return v.length > width ? `${v.slice(0, width - 1)}…` : v;
}

// Events of "K350" as lines, when the value is the JSON array it should be.
function eventLines(value) {
  let events;
  try {
    events = JSON.parse(value);
  } catch (e) {
    return [];
  }
  if (!Array.isArray(events)) return [];
  return events.map((e) => `      event ${e.event} code ${e.code} at ${e.ts}${e.msg ? `: ${e.msg}` : ''}`);
}

function formatData(data) {
  const lines = [];
  const keyWidth = Math.max(4, ...data.map((d) => d.key.length));
  for (const d of data) {
    const label = d.known ? MARKS[d.identifying] : 'not catalogued';
    const mark = label ? ` [${label}]` : '';
    lines.push(`  ${d.key.padEnd(keyWidth)}  ${shorten(d.value, 60)}`);
    lines.push(`  ${''.padEnd(keyWidth)}    ${d.meaning}; from ${d.source}${mark}`);
    if (d.key === 'K350') lines.push(...eventLines(d.value));
  }
  const counts = { yes: 0, partly: 0 };
  for (const d of data) if (d.identifying in counts) counts[d.identifying] += 1;
  lines.push(`  ${data.length} keys: ${counts.yes} identify the device on their own, ${counts.partly} narrow it down`);
  return lines;
}

function formatHeader(header) {
  if (!header) return [];
  return Object.entries(header).map(([k, v]) => `  ${k}: ${v}`);
}

function formatDecoded(d) {
  const lines = [];
  if (d.kind === 'degrade') {
    lines.push(`degrade token (${d.scheme} scheme) for application key "${d.appKey}"`);
    lines.push(`  SDK version ${d.sdkVersion}, error ${d.error}: ${d.errorMeaning}`);
    lines.push(`  signature ${d.signOk ? 'matches' : 'DOES NOT match'} the request`);
    if (d.problem) lines.push(`  problem: ${d.problem}`);
    if (d.header) lines.push('request header:', ...formatHeader(d.header));
    if (d.data.length) lines.push('request data:', ...formatData(d.data));
  } else if (d.kind === 'sign') {
    lines.push(`business sign for application key "${d.appKey}"`);
    lines.push('fields:', ...formatData(d.data));
  } else {
    lines.push(`service record #${d.seq} at ${d.time}: ${d.endpoint || d.path} request for "${d.appKey}" (${d.scheme || 'unopened'})`);
    if (d.warning) lines.push(`  warning: ${d.warning}`);
    if (d.error) lines.push(`  refused: ${d.error}`);
    else lines.push(`  signature matches; answered ${JSON.stringify(d.answer)}`);
    if (d.header) lines.push('request header:', ...formatHeader(d.header));
    if (d.data.length) lines.push(d.endpoint === 'situation' ? 'report:' : 'request data:', ...formatData(d.data));
  }
  return lines.join('\n');
}

function readInput(opts) {
  if (opts.file !== undefined) {
    if (opts._.length) throw new UsageError('give either --file or the text, not both');
    try {
      return fs.readFileSync(opts.file, 'utf8');
    } catch (e) {
      throw new CliError(`cannot read ${opts.file}: ${e.code || e.message}`);
    }
  }
  if (opts._.length === 0 || opts._[0] === '-') {
    if (process.stdin.isTTY) throw new UsageError('decode needs --file FILE, the text, or "-" with the text on stdin');
    return fs.readFileSync(0, 'utf8');
  }
  return opts._[0];
}

async function decodeCommand(opts) {
  const input = readInput(opts);
  // A service log holds one record per line; other inputs are one text.
  const type = opts.type || guessType(input);
  const items = type === 'record'
    ? input.split('\n').filter((l) => l.trim() !== '')
    : [input];
  if (items.length === 0 || items[0].trim() === '') throw new CliError('nothing to decode');
  const decoded = items.map((t) => decodeOne(t, type, opts.appKey, opts.text));
  if (opts.json) process.stdout.write(`${JSON.stringify(decoded.length === 1 ? decoded[0] : decoded, null, 2)}\n`);
  else process.stdout.write(`${decoded.map(formatDecoded).join('\n\n')}\n`);
}

// --- serve -------------------------------------------------------------

async function serve(opts) {
  const { startService, recordJson } = require('./service/service');
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
      onRecord: (r) => {
        progress(`${r.time} ${r.endpoint || r.path} ${r.query.appKey || '-'} ${r.scheme || '-'} `
          + `${r.error ? `refused: ${r.error}` : `answered ${r.answer && r.answer.mode}`}`);
        if (opts.echo) process.stdout.write(`${recordJson(r)}\n`);
      },
    });
  } catch (e) {
    throw new CliError(`cannot start the service: ${e.message}`);
  }
  process.stdout.write(`${svc.url}\n`);
  progress(`serving on ${svc.url} (token path /udid/m1, situation path /udid/sa-m); Ctrl-C stops`);
  await new Promise((resolve) => {
    const stop = () => svc.close().then(resolve);
    process.once('SIGINT', stop);
    process.once('SIGTERM', stop);
  });
}

// --- token, degrade, sign ----------------------------------------------

const ALGS = ['legacy', 'gm'];

// The option map of the application: --option entries, then the named
// settings (which win).
function optionsOf(opts) {
  const options = {};
  for (const kv of opts.option || []) {
    const at = kv.indexOf('=');
    if (at <= 0) throw new UsageError(`--option needs KEY=VALUE, not "${kv}"`);
    options[kv.slice(0, at)] = kv.slice(at + 1);
  }
  if (opts.alg !== undefined) {
    if (!ALGS.includes(opts.alg)) throw new UsageError(`--alg is legacy or gm, not "${opts.alg}"`);
    options.KEY_MANAGER_ALGORITHM = opts.alg;
  }
  if (opts.url !== undefined) options.KEY_URL = opts.url;
  if (opts.situationUrl !== undefined) options.KEY_SITUATION_URL = opts.situationUrl;
  if (opts.delayMs !== undefined) options.KEY_DELAY_MS_TIME = String(opts.delayMs);
  return options;
}

// Loads the library and sets up one SDK over a preference directory (a
// temporary one, removed at exit, unless --prefs names one).
function openHost(opts) {
  if (!opts.appKey) throw new UsageError('--app-key is required');
  const options = optionsOf(opts);
  const risk = require('./index');
  const file = process.env.RISK_LIBRARY || risk.DEFAULT_LIBRARY;
  try {
    risk.load();
  } catch (e) {
    throw new CliError(`cannot load the library ${file}: ${e.message.split('\n')[0]}`);
  }
  let prefsDir = opts.prefs;
  if (prefsDir === undefined) {
    prefsDir = fs.mkdtempSync(path.join(os.tmpdir(), 'risk-cli-'));
    process.once('exit', () => fs.rmSync(prefsDir, { recursive: true, force: true }));
  }
  const delay = Number.parseInt(options.KEY_DELAY_MS_TIME || String(DEFAULT_DELAY_MS), 10);
  let bridge;
  try {
    bridge = risk.createBridge({
      prefsDir,
      // A post never outlives the wait of the call that made it by much.
      postTimeoutMs: delay > 0 ? Math.min(delay, 30000) + 1000 : DEFAULT_DELAY_MS + 1000,
      onError: (e) => progress(`bridge: ${e && e.message ? e.message : e}`),
    });
  } catch (e) {
    throw new CliError(`cannot use the preference directory ${prefsDir}: ${e.code || e.message}`);
  }
  const handle = risk.setup(bridge, { name: opts.appName || CLI_APP_NAME, versionCode: 1, versionName: '1.0' },
    bridge.deviceInfo());
  if (!handle) throw new CliError('the library refused setup');
  risk.init(handle, opts.appKey, options);
  progress(`library ${file}, preferences in ${prefsDir}${opts.prefs === undefined ? ' (temporary)' : ''}`);
  return { risk, handle, options, appKey: opts.appKey };
}

function tokenSummary(token, appKey) {
  const out = { token, degrade: tokens.isDegradeToken(token) };
  if (out.degrade && token !== '') {
    const f = tokens.splitDegradeToken(token);
    if (f) {
      out.error = f.errorCode;
      out.errorMeaning = errorMeaning(f.errorCode);
      const opened = tokens.openDegradeToken(token, appKey);
      out.dataKeys = opened.request ? opened.request.entries.length : null;
    }
  }
  return out;
}

function formatToken(t) {
  if (!t.degrade) return `${t.token}\n  service token, ${t.ms} ms`;
  if (t.token === '') return `(empty)\n  no token at all, ${t.ms} ms`;
  return `${t.token}\n  degrade token, ${t.ms} ms: error ${t.error} (${t.errorMeaning}); `
    + `carries ${t.dataKeys === null ? 'a request that does not open' : `${t.dataKeys} data keys`}`;
}

async function tokenCommand(opts) {
  if (!opts.url) throw new UsageError('token needs --url (the service address)');
  const count = opts.count === undefined ? 1 : opts.count;
  if (count < 1) throw new UsageError('--count is at least 1');
  const host = openHost(opts);
  const results = [];
  for (let i = 0; i < count; i++) {
    progress(`asking ${opts.url} for a token (${host.options.KEY_MANAGER_ALGORITHM || 'legacy'} scheme)${count > 1 ? ` ${i + 1}/${count}` : ''}...`);
    const t0 = Date.now();
    const token = await host.risk.getToken(host.handle, host.appKey, {});
    const result = { ...tokenSummary(token, host.appKey), ms: Date.now() - t0 };
    if (result.degrade) progress(`no service token: ${token === '' ? 'an empty answer' : `a degrade token (error ${result.error})`}`);
    results.push(result);
  }
  if (opts.json) process.stdout.write(`${JSON.stringify(count === 1 ? results[0] : results, null, 2)}\n`);
  else process.stdout.write(`${results.map(formatToken).join('\n')}\n`);
}

async function degradeCommand(opts) {
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

async function signCommand(opts) {
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

// --- main --------------------------------------------------------------

async function main(argv) {
  const [command, ...rest] = argv;
  if (command === undefined || command === '-h' || command === '--help' || command === 'help') {
    process.stdout.write(`${USAGE}\n`);
    return command === undefined ? EXIT_USAGE : 0;
  }
  const entry = COMMANDS[command];
  if (!entry) throw new UsageError(`unknown command "${command}"`);
  const opts = parseArgs(rest, command);
  if (opts.help) {
    process.stdout.write(`usage: ${entry.usage}\n`);
    return 0;
  }
  await entry.run(opts);
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

module.exports = { main, decodeOne, decodeDegrade, decodeSign, decodeRecord, guessType, ERROR_CODES };
