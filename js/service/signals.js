// @ts-check
'use strict';
// Risk signals: what the device data of one exchange (and the history the
// store keeps of its installation) says, as named signals, each with the
// evidence that raised it, and a level computed from them by a simple rule.
// Computed once, when an exchange or a situation report arrives; verify
// only reads what was stored.
//
// Everything here is pure: the data map of a request (data key to text), the
// time it arrived, the registered app's settings and the counts the store
// gives in, the signals out. The data is as the device claims it: a signal
// says what the data shows, not that it is true.

const crypto = require('node:crypto');

/**
 * @typedef {'low' | 'medium' | 'high'} Level
 * @typedef {{ name: string, severity: Level, evidence: Record<string, unknown> }} Signal
 * @typedef {{ signals: Signal[], level: Level, reasons: string[] }} Assessment
 *
 * @typedef {object} Thresholds per registered app; defaults in DEFAULT_THRESHOLDS
 * @property {number} clockSkewMs "K200" further than this from the arrival time raises clock_skew
 * @property {number} churnInstallations this many installation ids for one device fingerprint...
 * @property {number} churnWindowMs ...active within this window raise installation_churn
 * @property {number} exchangesPerHour more exchanges of one installation in an hour raise exchange_rate
 * @property {number} stalePatchDays a security patch level older than this raises stale_patch
 * @property {string[]} expectedKeys data keys every complete collection carries
 * @property {number} mediumAt this many signals of severity low make the level medium
 * @property {number} highAt this many signals of severity medium make the level high
 * @property {Record<string, Level | 'off'>} severities a signal's severity replaced, or the signal silenced ("off")
 *
 * @typedef {object} History what the store counted for this exchange
 * @property {number} installationsForFingerprint distinct installation ids of the fingerprint within churnWindowMs, this one included
 * @property {number} exchangesLastHour exchanges of this installation in the current hour, this one included
 */

/** @type {Readonly<Thresholds>} */
const DEFAULT_THRESHOLDS = Object.freeze({
  clockSkewMs: 5 * 60 * 1000,
  churnInstallations: 5,
  churnWindowMs: 24 * 60 * 60 * 1000,
  exchangesPerHour: 30,
  stalePatchDays: 365,
  expectedKeys: ['K2', 'K21', 'K58', 'K200', 'K290', 'K292'],
  mediumAt: 2,
  highAt: 3,
  severities: {},
});

// Runtime events of the library's guards, as they travel in "K350".
const EVENT_TRACER = 701;
const TRACER_ATTACHED = 1;
const EVENT_EMULATOR = 702;
// Architectures of desktops and servers; a phone reports arm64-v8a or armeabi.
const DESKTOP_ABIS = ['x86_64', 'x86', 'amd64', 'i386', 'i686'];
const DEBUG_BUILD_TYPES = ['eng', 'userdebug'];
const LEVELS = ['low', 'medium', 'high'];
const MAX_EVENTS = 100;               // the library's ring holds 100
const MAX_EVIDENCE_ITEMS = 5;         // events, late collectors, missing keys kept as evidence
const MAX_EVIDENCE_TEXT = 160;        // characters of one text kept as evidence
const MAX_COUNT_THRESHOLD = 100000;
const MAX_WINDOW_MS = 365 * 24 * 60 * 60 * 1000;
const MAX_EXPECTED_KEYS = 64;
const MAX_KEY_LENGTH = 64;
const DAY_MS = 24 * 60 * 60 * 1000;
const DECIMAL = /^-?\d{1,16}$/;

// The signal table: name, severity, the data keys it reads, what raises it
// and what it puts in the evidence. The service's README prints it.
const SIGNALS = Object.freeze([
  { name: 'debugger_attached', severity: 'high', reads: ['K350'],
    raises: 'a runtime event of a tracer attaching (event 701, code 1) in the exchange, or in a situation report of the installation since',
    evidence: '`events`: the last 5 such events (`ts`, `msg`); `from`: "situation report" when a report raised it' },
  { name: 'app_signature_mismatch', severity: 'high', reads: ['K7'],
    raises: 'the app signature differs from the one registered for the app\'s genuine builds (silent when none is registered)',
    evidence: '`seen` (null when absent), `expected`' },
  { name: 'installation_churn', severity: 'high', reads: ['K58', 'K290', 'K292', 'K293', 'K60', 'hardwareModel', 'softwareModel', 'K1084'],
    raises: '`churnInstallations` or more installation ids of one device fingerprint active within `churnWindowMs`: a device farm or reinstall abuse (silent without a boot id "K290")',
    evidence: '`installations`, `threshold`, `windowMs`' },
  { name: 'virtual_machine', severity: 'medium', reads: ['K350', 'K32', 'K21'],
    raises: 'the library\'s emulator event (702), the "hypervisor" CPU flag, or a desktop architecture in the ABI list',
    evidence: '`facts`: each fact seen' },
  { name: 'debug_build', severity: 'medium', reads: ['K1073'],
    raises: 'the build type of an engineering image ("eng", "userdebug")',
    evidence: '`buildType`' },
  { name: 'exchange_rate', severity: 'medium', reads: ['K58'],
    raises: 'more than `exchangesPerHour` exchanges of one installation within the hour that began with its first counted exchange',
    evidence: '`exchanges`, `threshold`' },
  { name: 'clock_skew', severity: 'low', reads: ['K200'],
    raises: 'the device clock more than `clockSkewMs` from the time the request arrived',
    evidence: '`deviceTime`, `serviceTime`, `skewMs`, `thresholdMs`' },
  { name: 'incomplete_collection', severity: 'low', reads: ['K450', 'expectedKeys'],
    raises: 'collectors that overran their time limit ("K450"), or keys of `expectedKeys` missing',
    evidence: '`late`, `missing` (5 of each at most)' },
  { name: 'stale_patch', severity: 'low', reads: ['K1061'],
    raises: 'a security patch level older than `stalePatchDays` (silent when the device reports none)',
    evidence: '`patchLevel`, `ageDays`, `thresholdDays`' },
]);

/** @type {Map<string, typeof SIGNALS[number]>} */
const BY_NAME = new Map(SIGNALS.map((s) => [s.name, s]));

/**
 * @param {unknown} text
 * @returns {string}
 */
function clip(text) {
  const s = String(text);
  return s.length > MAX_EVIDENCE_TEXT ? `${s.slice(0, MAX_EVIDENCE_TEXT)}...` : s;
}

/**
 * @param {string} name
 * @param {Record<string, unknown>} evidence
 * @returns {Signal}
 */
function signal(name, evidence) {
  const def = BY_NAME.get(name);
  return { name, severity: /** @type {Level} */ (def ? def.severity : 'low'), evidence };
}

// The app's severity overrides: a signal's severity replaced, or the signal
// dropped ("off").
/**
 * @param {Signal[]} signals
 * @param {Record<string, Level | 'off'>} severities
 * @returns {Signal[]}
 */
function applySeverities(signals, severities) {
  const out = [];
  for (const s of signals) {
    const o = Object.prototype.hasOwnProperty.call(severities, s.name) ? severities[s.name] : undefined;
    if (o === 'off') continue;
    out.push(o === undefined ? s : { ...s, severity: o });
  }
  return out;
}

// The events of a "K350" text: at most MAX_EVENTS objects with a numeric
// event and code; anything else in it is skipped.
/**
 * @param {unknown} text
 * @returns {{ event: number, code: number, msg: string, ts: number }[]}
 */
function parseEvents(text) {
  if (typeof text !== 'string' || text === '') return [];
  let list;
  try {
    list = JSON.parse(text);
  } catch (e) {
    return [];
  }
  if (!Array.isArray(list)) return [];
  return list.slice(-MAX_EVENTS)
    .filter((e) => e && typeof e === 'object' && Number.isInteger(e.event) && Number.isInteger(e.code))
    .map((e) => ({ event: e.event, code: e.code, msg: typeof e.msg === 'string' ? e.msg : '', ts: Number.isSafeInteger(e.ts) ? e.ts : 0 }));
}

// Tracer attachments among events: the evidence of debugger_attached.
/**
 * @param {ReturnType<typeof parseEvents>} events
 * @returns {{ ts: number, msg: string }[]}
 */
function tracerEvents(events) {
  return events.filter((e) => e.event === EVENT_TRACER && e.code === TRACER_ATTACHED)
    .slice(-MAX_EVIDENCE_ITEMS).map((e) => ({ ts: e.ts, msg: clip(e.msg) }));
}

/**
 * @param {Partial<Thresholds> | null | undefined} thresholds
 * @returns {Thresholds}
 */
function effective(thresholds) {
  return { ...DEFAULT_THRESHOLDS, ...(thresholds || {}) };
}

// The signals one exchange raises. `data` is the request's data map,
// `receivedAt` when it arrived (the service's clock), `signature` the app's
// registered one, `thresholds` the app's, `history` the store's counts.
/**
 * @param {Record<string, string>} data
 * @param {{ receivedAt: number, signature?: string | null, thresholds?: Partial<Thresholds> | null, history?: History }} context
 * @returns {Signal[]}
 */
function exchangeSignals(data, { receivedAt, signature = null, thresholds = null, history }) {
  const t = effective(thresholds);
  /** @type {Signal[]} */
  const out = [];
  const events = parseEvents(data.K350);

  const tracers = tracerEvents(events);
  if (tracers.length > 0) out.push(signal('debugger_attached', { events: tracers }));

  if (signature && data.K7 !== signature) {
    out.push(signal('app_signature_mismatch', { seen: data.K7 === undefined ? null : clip(data.K7), expected: signature }));
  }

  if (history && history.installationsForFingerprint >= t.churnInstallations) {
    out.push(signal('installation_churn', {
      installations: history.installationsForFingerprint, threshold: t.churnInstallations, windowMs: t.churnWindowMs,
    }));
  }

  /** @type {string[]} */
  const vm = [];
  for (const e of events) {
    const fact = clip(e.msg || `event ${e.event} code ${e.code}`);
    if (e.event === EVENT_EMULATOR && !vm.includes(fact)) vm.push(fact);
  }
  if (typeof data.K32 === 'string' && data.K32.split(/\s+/).includes('hypervisor')) vm.push('CPU flag "hypervisor" in K32');
  const abis = typeof data.K21 === 'string' ? data.K21.split(/[,\s]+/).filter(Boolean) : [];
  const desktop = abis.filter((a) => DESKTOP_ABIS.includes(a.toLowerCase())).slice(0, MAX_EVIDENCE_ITEMS);
  if (desktop.length > 0) vm.push(clip(`desktop ABI in K21: ${desktop.join(', ')}`));
  if (vm.length > 0) out.push(signal('virtual_machine', { facts: vm.slice(0, MAX_EVIDENCE_ITEMS) }));

  if (typeof data.K1073 === 'string' && DEBUG_BUILD_TYPES.includes(data.K1073)) {
    out.push(signal('debug_build', { buildType: data.K1073 }));
  }

  if (history && history.exchangesLastHour > t.exchangesPerHour) {
    out.push(signal('exchange_rate', { exchanges: history.exchangesLastHour, threshold: t.exchangesPerHour }));
  }

  // Only a decimal time stamp counts: "" or text says nothing of the clock.
  if (typeof data.K200 === 'string' && DECIMAL.test(data.K200)) {
    const deviceTime = Number(data.K200);
    if (Math.abs(deviceTime - receivedAt) > t.clockSkewMs) {
      out.push(signal('clock_skew', { deviceTime, serviceTime: receivedAt, skewMs: deviceTime - receivedAt, thresholdMs: t.clockSkewMs }));
    }
  }

  const late = typeof data.K450 === 'string' ? data.K450.split(',').filter(Boolean) : [];
  const missing = t.expectedKeys.filter((k) => data[k] === undefined || data[k] === '');
  if (late.length > 0 || missing.length > 0) {
    out.push(signal('incomplete_collection', {
      late: late.slice(0, MAX_EVIDENCE_ITEMS).map(clip), missing: missing.slice(0, MAX_EVIDENCE_ITEMS),
    }));
  }

  const patch = typeof data.K1061 === 'string' ? Date.parse(data.K1061) : NaN;
  if (Number.isFinite(patch)) {
    const ageDays = Math.floor((receivedAt - patch) / DAY_MS);
    if (ageDays > t.stalePatchDays) out.push(signal('stale_patch', { patchLevel: clip(data.K1061), ageDays, thresholdDays: t.stalePatchDays }));
  }
  return applySeverities(out, t.severities);
}

// The signals a situation report adds to its installation's: tracer
// attachments among its events.
/**
 * @param {unknown} k350
 * @param {Partial<Thresholds> | null} [thresholds]
 * @returns {Signal[]}
 */
function reportSignals(k350, thresholds = null) {
  const tracers = tracerEvents(parseEvents(k350));
  const out = tracers.length > 0 ? [signal('debugger_attached', { events: tracers, from: 'situation report' })] : [];
  return applySeverities(out, effective(thresholds).severities);
}

// One line a backend can log for a signal: its name, severity and evidence.
/**
 * @param {Signal} s
 * @returns {string}
 */
function reason(s) {
  const e = /** @type {any} */ (s.evidence);
  /** @type {string} */
  let what;
  switch (s.name) {
    case 'debugger_attached': what = `a tracer attached to the app (${(e.events || []).map((/** @type {any} */ x) => x.msg).join('; ')})`; break;
    case 'app_signature_mismatch': what = `app signature ${JSON.stringify(e.seen)} is not the registered ${JSON.stringify(e.expected)}`; break;
    case 'installation_churn': what = `${e.installations} installations of one device within ${Math.round(e.windowMs / 3600000)} h (threshold ${e.threshold})`; break;
    case 'virtual_machine': what = `runs virtualised: ${(e.facts || []).join('; ')}`; break;
    case 'debug_build': what = `build type "${e.buildType}" of an engineering image`; break;
    case 'exchange_rate': what = `${e.exchanges} exchanges of this installation within an hour (threshold ${e.threshold})`; break;
    case 'clock_skew': what = `device clock ${Math.round(e.skewMs / 1000)} s off the service's (threshold ${Math.round(e.thresholdMs / 1000)} s)`; break;
    case 'incomplete_collection': what = `collection incomplete: late ${(e.late || []).join(', ') || 'none'}, missing ${(e.missing || []).join(', ') || 'none'}`; break;
    case 'stale_patch': what = `security patch ${e.patchLevel} is ${e.ageDays} days old (threshold ${e.thresholdDays})`; break;
    default: what = 'raised';
  }
  return `${s.name} (${s.severity}): ${what}`;
}

// The level of a set of signals: "high" when one is of severity high or
// `highAt` are medium; "medium" when one is medium or `mediumAt` are low;
// else "low". One line per signal for a backend's log.
/**
 * @param {Signal[]} signals
 * @param {Partial<Thresholds> | null} [thresholds]
 * @returns {{ level: Level, reasons: string[] }}
 */
function verdict(signals, thresholds = null) {
  const t = effective(thresholds);
  const count = (/** @type {Level} */ s) => signals.filter((x) => x.severity === s).length;
  /** @type {Level} */
  let level = 'low';
  if (count('high') > 0 || count('medium') >= t.highAt) level = 'high';
  else if (count('medium') > 0 || count('low') >= t.mediumAt) level = 'medium';
  return { level, reasons: signals.map(reason) };
}

// Merges signals of one name into one (the later evidence wins), so that an
// installation's stored signals stay one per name, in the table's order.
/**
 * @param {Signal[]} signals
 * @returns {Signal[]}
 */
function mergeSignals(signals) {
  /** @type {Map<string, Signal>} */
  const byName = new Map();
  for (const s of signals) byName.set(s.name, s);
  return SIGNALS.map((d) => byName.get(d.name)).filter((s) => s !== undefined);
}

// Signals with their level and reasons: what is stored with an installation.
/**
 * @param {Signal[]} signals
 * @param {Partial<Thresholds> | null} [thresholds]
 * @returns {Assessment}
 */
function assess(signals, thresholds = null) {
  const merged = mergeSignals(signals);
  return { signals: merged, ...verdict(merged, thresholds) };
}

// A keyed hash of the facts that survive a reinstall (boot id within one
// boot, kernel, model and build facts, fonts), of one app, so that the store
// keeps no raw identifier for the churn count and fingerprints of two apps
// cannot be matched. The key is the service's own secret. Null without a
// boot id: the other facts are shared by every device of a model.
/**
 * @param {Record<string, string>} data
 * @param {Buffer | string} key
 * @param {string} appKey
 * @returns {string | null}
 */
function deviceFingerprint(data, key, appKey) {
  if (typeof data.K290 !== 'string' || data.K290 === '') return null;
  const facts = ['K290', 'K292', 'K293', 'K60', 'hardwareModel', 'softwareModel', 'K1084'].map((k) => data[k] || '');
  return crypto.createHmac('sha256', key).update(JSON.stringify([appKey, ...facts])).digest('hex');
}

// Checks an app's thresholds (a JSON object or its text): the members given,
// each within its bounds; throws an Error saying what is wrong.
/**
 * @param {unknown} value
 * @returns {Partial<Thresholds>}
 */
function parseThresholds(value) {
  let v = value;
  if (typeof v === 'string') {
    try {
      v = JSON.parse(v);
    } catch (e) {
      throw new Error(`thresholds: not JSON (${e.message})`);
    }
  }
  if (v === null || typeof v !== 'object' || Array.isArray(v)) throw new Error('thresholds: a JSON object');
  const o = /** @type {Record<string, unknown>} */ (v);
  /** @type {Record<string, unknown>} */
  const out = {};
  const count = (/** @type {string} */ k, /** @type {number} */ max) => {
    const n = o[k];
    if (!Number.isSafeInteger(n) || /** @type {number} */ (n) < 1 || /** @type {number} */ (n) > max) {
      throw new Error(`thresholds: "${k}" is a whole number from 1 to ${max}`);
    }
    out[k] = n;
  };
  for (const k of Object.keys(o)) {
    switch (k) {
      case 'clockSkewMs': case 'churnWindowMs': count(k, MAX_WINDOW_MS); break;
      case 'stalePatchDays': count(k, MAX_WINDOW_MS / DAY_MS); break;
      case 'churnInstallations': case 'exchangesPerHour': case 'mediumAt': case 'highAt': count(k, MAX_COUNT_THRESHOLD); break;
      case 'expectedKeys': {
        const list = o[k];
        if (!Array.isArray(list) || list.length > MAX_EXPECTED_KEYS
          || !list.every((x) => typeof x === 'string' && x !== '' && x.length <= MAX_KEY_LENGTH)) {
          throw new Error(`thresholds: "expectedKeys" is a list of at most ${MAX_EXPECTED_KEYS} data keys`);
        }
        out[k] = [...new Set(list)];
        break;
      }
      case 'severities': {
        const map = o[k];
        if (map === null || typeof map !== 'object' || Array.isArray(map)) throw new Error('thresholds: "severities" is an object');
        /** @type {Record<string, string>} */
        const sev = {};
        for (const [name, level] of Object.entries(map)) {
          if (!BY_NAME.has(name)) throw new Error(`thresholds: "severities" names an unknown signal "${name}"`);
          if (typeof level !== 'string' || ![...LEVELS, 'off'].includes(level)) {
            throw new Error(`thresholds: the severity of "${name}" is one of low, medium, high, off`);
          }
          sev[name] = level;
        }
        out[k] = sev;
        break;
      }
      default:
        throw new Error(`thresholds: unknown member "${k}" (one of ${Object.keys(DEFAULT_THRESHOLDS).join(', ')})`);
    }
  }
  return /** @type {Partial<Thresholds>} */ (out);
}

module.exports = {
  SIGNALS,
  DEFAULT_THRESHOLDS,
  parseEvents,
  exchangeSignals,
  reportSignals,
  verdict,
  mergeSignals,
  assess,
  withDefaults: effective,
  deviceFingerprint,
  parseThresholds,
};
