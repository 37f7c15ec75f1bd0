// @ts-check
'use strict';
// risk decode: opens a degrade token (its six fields and the request it
// carries), a business sign (under its application key and text), or the
// records of a service log, and shows every data key with what it means;
// a service token has nothing to open. The formatting is shared with the
// degrade and sign commands, which show what they made.
const fs = require('node:fs');

const catalogue = require('../lib/catalogue');
const codes = require('../lib/codes');
const tokens = require('../lib/tokens');
const { UsageError, CliError } = require('./args');

/**
 * @typedef {import('./args').Command} Command
 * @typedef {import('./args').ParsedArgs} ParsedArgs
 * @typedef {{ key: string, value: unknown, source: string, meaning: string, identifying: string, known: boolean }} DataEntry
 * @typedef {{ kind: 'service', token: string, length: number }} DecodedService
 * @typedef {object} DecodedDegrade
 * @property {'degrade'} kind
 * @property {string} appKey
 * @property {'gm' | 'legacy'} scheme
 * @property {string} sdkVersion
 * @property {string} alg
 * @property {number} error
 * @property {string} errorMeaning
 * @property {string} sign
 * @property {boolean} signOk
 * @property {string | null} problem
 * @property {Record<string, unknown> | null} header
 * @property {unknown} command
 * @property {DataEntry[]} data
 * @typedef {{ kind: 'sign', appKey: string, json: string, data: DataEntry[] }} DecodedSign
 * @typedef {object} DecodedRecord
 * @property {'record'} kind
 * @property {unknown} seq
 * @property {unknown} time
 * @property {string | undefined} endpoint
 * @property {string | undefined} path
 * @property {string | undefined} appKey
 * @property {string | undefined} scheme
 * @property {unknown} signOk
 * @property {string | undefined} error
 * @property {unknown} answer
 * @property {Record<string, unknown> | null} header
 * @property {DataEntry[]} data
 * @property {string | null} warning
 * @typedef {DecodedService | DecodedDegrade | DecodedSign | DecodedRecord} Decoded
 */

/** @type {Record<string, string>} */
const MARKS = { yes: 'IDENTIFIES', partly: 'partly', depends: 'caller', no: '' };

// One data entry as the tool shows it.
/**
 * @param {string} key
 * @param {unknown} value
 * @returns {DataEntry}
 */
function describeEntry(key, value) {
  const d = catalogue.describe(key);
  return { key, value, source: d.source, meaning: d.meaning, identifying: d.identifying, known: d.known };
}

/**
 * @param {Array<[string, unknown]>} pairs
 * @returns {DataEntry[]}
 */
function describeData(pairs) {
  return pairs.map(([k, v]) => describeEntry(k, v));
}

/**
 * @param {number} code
 * @returns {string}
 */
function errorMeaning(code) {
  return codes.describeCode(code).meaning;
}

// Opens a degrade token: its six fields and the request it carries.
/**
 * @param {string} text
 * @param {string | undefined} appKey
 * @returns {DecodedDegrade}
 */
function decodeDegrade(text, appKey) {
  const result = tokens.openDegradeToken(text.trim(), appKey);
  if (!result.fields) {
    const n = text.trim().split('!').length;
    throw new CliError(`not a whole degrade token: it has 6 "!"-separated fields, this text ${n}`
      + ' (truncated, or not a degrade token)');
  }
  // The cast narrows as the check does, also where null checks are off.
  const opened = /** @type {import('../lib/tokens').OpenedFields} */ (result);
  if (!opened.request) {
    const f = opened.fields;
    if (appKey !== undefined && appKey !== f.appKey) {
      throw new CliError(`a degrade token of application key "${f.appKey}", not "${appKey}": ${opened.problem}`);
    }
    throw new CliError(`degrade token for "${f.appKey}": ${opened.problem}`
      + `${appKey === undefined ? ' (give --app-key when the key holds "+", "/" or "=")' : ''}`);
  }
  const f = opened.fields;
  return {
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
    header: opened.request ? /** @type {Record<string, unknown>} */ (opened.request.header) : null,
    command: opened.request ? opened.request.command : null,
    data: opened.request ? describeData(opened.request.entries) : [],
  };
}

// Opens a business sign made for `text` under the application key.
/**
 * @param {string} text
 * @param {string | undefined} appKey
 * @param {string | undefined} signedText
 * @returns {DecodedSign}
 */
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
/**
 * @param {string} line
 * @param {string | undefined} appKey
 * @returns {DecodedRecord}
 */
function decodeRecord(line, appKey) {
  /** @type {any} */
  let rec;
  try {
    rec = JSON.parse(line);
  } catch (e) {
    throw new CliError(`not a JSON line: ${e.message}`);
  }
  if (rec === null || typeof rec !== 'object' || !('endpoint' in rec)) throw new CliError('not a service record');
  const query = rec.query || {};
  /** @type {DecodedRecord} */
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

/**
 * @param {string} text
 * @returns {'record' | 'degrade' | 'service' | 'sign'}
 */
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
/**
 * @param {string} text
 * @returns {DecodedService}
 */
function decodeService(text) {
  const t = text.trim();
  return { kind: 'service', token: t, length: Buffer.byteLength(t, 'utf8') };
}

/**
 * @param {string} text
 * @param {string | undefined} type
 * @param {string | undefined} appKey
 * @param {string | undefined} signedText
 * @returns {Decoded}
 */
function decodeOne(text, type, appKey, signedText) {
  switch (type || guessType(text)) {
    case 'service': return decodeService(text);
    case 'degrade': return decodeDegrade(text, appKey);
    case 'sign': return decodeSign(text, appKey, signedText);
    case 'record': return decodeRecord(text, appKey);
    default: throw new UsageError(`--type is one of degrade, sign, record, service, not "${type}"`);
  }
}

/**
 * @param {unknown} value
 * @param {number} width
 * @returns {string}
 */
function shorten(value, width) {
  const v = String(value).replace(/\n/g, '\\n');
  return v.length > width ? `${v.slice(0, width - 1)}…` : v;
}

// Events of "K350" as lines, when the value is the JSON array it should be.
/**
 * @param {unknown} value
 * @returns {string[]}
 */
function eventLines(value) {
  /** @type {unknown} */
  let events;
  try {
    events = JSON.parse(/** @type {string} */ (value));
  } catch (e) {
    return [];
  }
  if (!Array.isArray(events)) return [];
  return events.map((e) => `      event ${e.event} code ${e.code} at ${e.ts}${e.msg ? `: ${e.msg}` : ''}`);
}

/**
 * @param {DataEntry[]} data
 * @returns {string[]}
 */
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
  /** @type {Record<string, number>} */
  const counts = { yes: 0, partly: 0 };
  for (const d of data) if (d.identifying in counts) counts[d.identifying] += 1;
  lines.push(`  ${data.length} keys: ${counts.yes} identify the device on their own, ${counts.partly} narrow it down`);
  return lines;
}

/**
 * @param {Record<string, unknown> | null} header
 * @returns {string[]}
 */
function formatHeader(header) {
  if (!header) return [];
  return Object.entries(header).map(([k, v]) => `  ${k}: ${v}`);
}

/**
 * @param {Decoded} d
 * @returns {string}
 */
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

/**
 * @param {{ _: string[], file?: string }} opts
 * @returns {string}
 */
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

/**
 * @typedef {{ _: string[], appKey?: string, text?: string, type?: string, file?: string, json?: boolean }} DecodeArgs
 * @param {ParsedArgs} parsed
 */
async function run(parsed) {
  const opts = /** @type {DecodeArgs} */ (parsed);
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

/** @type {Command} */
const command = {
  flags: {
    '--app-key': { type: 'string', help: 'KEY  application key the token or sign was made under' },
    '--text': { type: 'string', help: 'TEXT  the text a business sign was made for' },
    '--type': { type: 'string', help: 'degrade|sign|record  what the input is, when the guess is wrong' },
    '--file': { type: 'string', help: 'FILE  read the input from FILE (a service log: one record a line)' },
    '--json': { type: 'bool', help: 'print the result as JSON' },
  },
  positional: 1,
  usage: 'risk decode [--app-key KEY] [--text TEXT] [--type degrade|sign|record] [--json] '
    + '(--file FILE | [--] TEXT | -)',
  run,
};

module.exports = {
  command, decodeOne, decodeDegrade, decodeSign, decodeRecord, guessType, formatDecoded, errorMeaning,
};
