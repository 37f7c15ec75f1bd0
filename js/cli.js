#!/usr/bin/env node
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

const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');

const catalogue = require('./lib/catalogue');
const codes = require('./lib/codes');
const tokens = require('./lib/tokens');

const EXIT_FAILURE = 1;
const EXIT_USAGE = 2;
const DEFAULT_DELAY_MS = 5000;
const CLI_APP_NAME = 'com.example.risk.cli';

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

// One line of help per option.
const OPTION_HELP = {
  '--url': 'URL  token service address (KEY_URL); scheme://host gains /udid/m1',
  '--situation-url': 'URL  situation service address (KEY_SITUATION_URL); KEY_URL does not apply to reports',
  '--alg': 'legacy|gm  cipher scheme (KEY_MANAGER_ALGORITHM), default legacy',
  '--app-key': 'KEY  application key',
  '--option': 'KEY=VALUE  one more option, repeatable: KEY_/PRIVATE_ keys are settings, others user_ data',
  '--delay-ms': 'N  how long a call waits for the service (KEY_DELAY_MS_TIME), default 5000',
  '--prefs': 'DIR  keep preferences (the stored token) here; default a temporary directory',
  '--app-name': `NAME  the application name handed to setup, default ${CLI_APP_NAME}`,
  '--json': 'print the result as JSON',
  '--verbose': 'show the library\'s own log on stderr as it goes',
  '--count': 'N  ask N times in a row, default 1',
  '--allow-degrade': 'end with status 0 also when only a degrade token came back',
  '--text': 'TEXT  the text the business sign is made for',
  '--scene': 'NAME  store this scene first (setScene)',
  '--type': 'degrade|sign|record  what the input is, when the guess is wrong',
  '--file': 'FILE  read the input from FILE (a service log: one record a line)',
  '--port': 'N  port to listen on, default any free one',
  '--host': 'H  address to listen on, default 127.0.0.1',
  '--log': 'FILE  append every request as a JSON line to FILE',
  '--mode': 'NAME  fault mode to start in; "list" shows them all',
  '--token': 'TEXT  answer this token instead of fresh ones',
  '--uuid': 'TEXT  installation identifier to hand out with each token',
  '--echo': 'print each request as a JSON line on stdout',
};
const SERVE_OPTION_HELP = { '--app-key': 'KEY  accept only this application key, repeatable', '--delay-ms': 'N  the delay of mode slow, ms' };
const DECODE_OPTION_HELP = { '--app-key': 'KEY  application key the token or sign was made under', '--text': 'TEXT  the text a business sign was made for' };

// What each fault mode of the reference service does, and what the app sees.
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

function modeList() {
  const width = Math.max(...Object.keys(MODE_HELP).map((m) => m.length));
  return Object.entries(MODE_HELP).map(([m, text]) => `  ${m.padEnd(width)}  ${text}`).join('\n');
}

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
  '--verbose': 'bool',
};

const COMMANDS = {
  serve: {
    flags: {
      '--port': 'int', '--host': 'string', '--log': 'string', '--mode': 'string', '--delay-ms': 'int',
      '--token': 'string', '--uuid': 'string', '--app-key': 'list', '--echo': 'bool',
    },
    usage: 'risk serve [--port N] [--host H] [--log FILE] [--mode NAME|list] [--delay-ms N] [--token TEXT] '
      + '[--uuid TEXT] [--app-key KEY ...] [--echo]',
    help: SERVE_OPTION_HELP,
    run: serve,
  },
  token: {
    flags: { ...COMMON, '--count': 'int', '--allow-degrade': 'bool' },
    usage: 'risk token --url URL --app-key KEY [--situation-url URL] [--alg legacy|gm] [--option K=V ...] '
      + '[--delay-ms N] [--prefs DIR] [--app-name NAME] [--count N] [--allow-degrade] [--json] [--verbose]',
    run: tokenCommand,
  },
  degrade: {
    flags: COMMON,
    usage: 'risk degrade --app-key KEY [--alg legacy|gm] [--option K=V ...] [--url URL] [--situation-url URL] '
      + '[--delay-ms N] [--prefs DIR] [--app-name NAME] [--json] [--verbose]',
    run: degradeCommand,
  },
  sign: {
    flags: { ...COMMON, '--text': 'string', '--scene': 'string' },
    usage: 'risk sign --app-key KEY [--text TEXT] [--scene NAME] [--url URL] [--situation-url URL] '
      + '[--alg legacy|gm] [--option K=V ...] [--delay-ms N] [--prefs DIR] [--app-name NAME] [--json] [--verbose]',
    run: signCommand,
  },
  decode: {
    flags: { '--app-key': 'string', '--text': 'string', '--type': 'string', '--file': 'string', '--json': 'bool' },
    positional: 1,
    usage: 'risk decode [--app-key KEY] [--text TEXT] [--type degrade|sign|record] [--json] '
      + '(--file FILE | TEXT | -)',
    help: DECODE_OPTION_HELP,
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
  return codes.describeCode(code).meaning;
}

// Opens a degrade token: its six fields and the request it carries.
function decodeDegrade(text, appKey) {
  const opened = tokens.openDegradeToken(text.trim(), appKey);
  if (!opened.fields) {
    const n = text.trim().split('!').length;
    throw new CliError(`not a whole degrade token: it has 6 "!"-separated fields, this text ${n}`
      + ' (truncated, or not a degrade token)');
  }
  if (!opened.request) {
    const f = opened.fields;
    if (appKey !== undefined && appKey !== f.appKey) {
      throw new CliError(`a degrade token of application key "${f.appKey}", not "${appKey}": ${opened.problem}`);
    }
    throw new CliError(`degrade token for "${f.appKey}": ${opened.problem}`
      + `${appKey === undefined ? ' (give --app-key when the key holds "+", "/" or "=")' : ''}`);
  }
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
  if (appKey === undefined) throw new CliError('a business sign opens only with --app-key (and --text, the text it was made for)');
  const opened = tokens.openBusinessSign(text.trim(), appKey, signedText || '');
  if (opened === null) {
    throw new CliError(signedText === undefined
      ? 'the business sign does not open under this application key without a text: give --text, the text it was made for'
      : `the business sign does not open under application key "${appKey}" for this text (a sign is bound to both)`);
  }
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
  if (t.includes('!')) return 'degrade';
  // Base64 signs of short JSON can be as short as service tokens; only
  // they carry "+", "/" or "=".
  if (!tokens.isDegradeToken(t) && !/[+/=]/.test(t)) return 'service';
  return 'sign';
}

// A token of the service: nothing in it to open.
function decodeService(text) {
  const t = text.trim();
  return { kind: 'service', token: t, length: Buffer.byteLength(t, 'utf8') };
}

function decodeOne(text, type, appKey, signedText) {
  switch (type || guessType(text)) {
    case 'service': return decodeService(text);
    case 'degrade': return decodeDegrade(text, appKey);
    case 'sign': return decodeSign(text, appKey, signedText);
    case 'record': return decodeRecord(text, appKey);
    default: throw new UsageError(`--type is one of degrade, sign, record, service, not "${type}"`);
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
  if (d.kind === 'service') {
    lines.push(`a service token (${d.length} bytes): the token service's name for this device;`
      + ' it carries nothing to open (degrade tokens are longer than 40 bytes)');
  } else if (d.kind === 'degrade') {
    lines.push(`degrade token (${d.scheme} scheme) for application key "${d.appKey}"`);
    lines.push(`  SDK version ${d.sdkVersion}, error ${d.error}: ${d.errorMeaning}`);
    if (d.error !== 0) lines.push(`  what to do: ${codes.describeCode(d.error).action}`);
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

// The test kit of the token service, from the repository's service/ (the
// service is a package of its own, with its database drivers).
function serviceKit() {
  try {
    return require('./service/service');
  } catch (e) {
    if (e.code !== 'MODULE_NOT_FOUND') throw e;
    throw new CliError('the token service is a package of its own (quon-risk-service): '
      + 'install it and run its "risk serve --dev", or "risk serve --db FILE" for the service itself');
  }
}

async function serve(opts) {
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
  progress(`admin endpoint, up in every mode: ${svc.adminUrl}/__admin/mode`);
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

// Removes `dir` at exit, and on Ctrl-C or SIGTERM (which then end the tool
// with the usual status of the signal).
function removeAtExit(dir) {
  const remove = () => fs.rmSync(dir, { recursive: true, force: true });
  process.once('exit', remove);
  for (const [signal, status] of [['SIGINT', 130], ['SIGTERM', 143]]) {
    process.once(signal, () => {
      remove();
      process.exit(status);
    });
  }
}

// The library's log: on stderr with --verbose, else (whatever RISK_LOG and
// RISK_LOG_FILE say) in a temporary file, read back for a failed exchange.
// Must run before the library is loaded: it opens its log once.
function captureLog(opts) {
  delete process.env.RISK_LOG;
  delete process.env.RISK_LOG_FILE;
  if (opts.verbose) {
    process.env.RISK_LOG = 'on';
    return { since: () => [] };
  }
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'risk-cli-log-'));
  removeAtExit(dir);
  const file = path.join(dir, 'risk.log');
  process.env.RISK_LOG_FILE = file;
  let seen = 0;
  return {
    // The lines logged since the last call.
    since() {
      let text = '';
      try {
        text = fs.readFileSync(file, 'utf8');
      } catch (e) {
        return [];
      }
      const fresh = text.slice(seen);
      seen = text.length;
      return fresh.split('\n').map((l) => l.replace(/^\[Risk\] /, '')).filter((l) => l.trim() !== '');
    },
  };
}

// Loads the library and sets up one SDK over a preference directory (a
// temporary one, removed at exit, unless --prefs names one).
function openHost(opts) {
  if (!opts.appKey) throw new UsageError('--app-key is required');
  const options = optionsOf(opts);
  const log = captureLog(opts);
  const risk = require('./index');
  try {
    risk.load();
  } catch (e) {
    if (e.file) throw new CliError(`cannot load the library ${e.file}: ${e.reason}; ${e.advice}`);
    throw new CliError(e.message.split('\n')[0]);
  }
  const file = risk.libraryPath().file;
  let prefsDir = opts.prefs;
  if (prefsDir === undefined) {
    prefsDir = fs.mkdtempSync(path.join(os.tmpdir(), 'risk-cli-'));
    removeAtExit(prefsDir);
  }
  const delay = Number.parseInt(options.KEY_DELAY_MS_TIME || String(DEFAULT_DELAY_MS), 10);
  const posts = [];
  let bridge;
  try {
    bridge = risk.createBridge({
      prefsDir,
      // A post never outlives the wait of the call that made it by much.
      postTimeoutMs: delay > 0 ? Math.min(delay, 30000) + 1000 : DEFAULT_DELAY_MS + 1000,
      onPost: (outcome) => posts.push(outcome),
      onError: (e) => progress(`bridge: ${e && e.message ? e.message : e}`),
    });
  } catch (e) {
    throw new CliError(`cannot use the preference directory ${prefsDir}: ${e.code || e.message}`);
  }
  bridge.warmUp();
  const handle = risk.setup(bridge, { name: opts.appName || CLI_APP_NAME, versionCode: 1, versionName: '1.0' },
    bridge.deviceInfo());
  if (!handle) throw new CliError('the library refused setup');
  risk.init(handle, opts.appKey, options);
  progress(`library ${file}, preferences in ${prefsDir}${opts.prefs === undefined ? ' (temporary)' : ''}`);
  return { risk, handle, options, appKey: opts.appKey, posts, log };
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
  const lines = [`${t.token}`, `  degrade token, ${t.ms} ms: error ${t.error} (${t.errorMeaning}); `
    + `carries ${t.dataKeys === null ? 'a request that does not open' : `${t.dataKeys} data keys`}`];
  if (t.post) lines.push(`  post: ${t.post}`);
  if (t.action) lines.push(`  what to do: ${t.action}`);
  if (t.log && t.log.length) lines.push('  the library logged:', ...t.log.map((l) => `    ${l}`));
  return lines.join('\n');
}

// The cause of a degrade answer: the posts made during the call and what
// the library logged meanwhile.
function causeOf(result, host, postsBefore) {
  const made = host.posts.slice(postsBefore);
  result.post = made.length ? made.map(codes.describePost).join('; ') : 'none made during this call';
  if (result.error !== undefined) result.action = codes.describeCode(result.error).action;
  result.log = host.log.since();
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
    const postsBefore = host.posts.length;
    host.log.since();
    const token = await host.risk.getToken(host.handle, host.appKey, {});
    const result = { ...tokenSummary(token, host.appKey), ms: Date.now() - t0 };
    if (result.degrade) {
      causeOf(result, host, postsBefore);
      progress(`no service token: ${token === '' ? 'an empty answer' : `a degrade token (error ${result.error})`}`
        + `; post: ${result.post}`);
    }
    results.push(result);
  }
  if (opts.json) process.stdout.write(`${JSON.stringify(count === 1 ? results[0] : results, null, 2)}\n`);
  else process.stdout.write(`${results.map(formatToken).join('\n')}\n`);
  const degraded = results.filter((r) => r.degrade);
  if (degraded.length && !opts.allowDegrade) {
    const last = degraded[degraded.length - 1];
    throw new CliError(`only a degrade token came back${last.error !== undefined ? ` (error ${last.error})` : ''};`
      + ' --allow-degrade accepts it');
  }
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

function helpText(command) {
  const entry = COMMANDS[command];
  const names = Object.keys(entry.flags);
  const width = Math.max(...names.map((n) => n.length));
  const lines = [`usage: ${entry.usage}`, 'options:'];
  for (const name of names) {
    const text = (entry.help && entry.help[name]) || OPTION_HELP[name] || '';
    lines.push(`  ${name.padEnd(width)}  ${text}`);
  }
  if (command === 'serve') lines.push('fault modes (--mode):', modeList());
  if (command === 'token' || command === 'sign' || command === 'degrade') {
    lines.push('tokens need --url (KEY_URL); situation reports need --situation-url (KEY_SITUATION_URL),'
      + ' they do not follow KEY_URL');
  }
  return lines.join('\n');
}

// The tool's version and the library it would load.
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

async function main(argv) {
  const [command, ...rest] = argv;
  if (command === undefined || command === '-h' || command === '--help' || command === 'help') {
    process.stdout.write(`${USAGE}\n`);
    return command === undefined ? EXIT_USAGE : 0;
  }
  if (command === '--version' || command === '-V' || command === 'version') {
    process.stdout.write(`${versionText()}\n`);
    return 0;
  }
  const entry = COMMANDS[command];
  if (!entry) throw new UsageError(`unknown command "${command}"`);
  const opts = parseArgs(rest, command);
  if (opts.help) {
    process.stdout.write(`${helpText(command)}\n`);
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
