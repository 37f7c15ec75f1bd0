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
 *
 * @typedef {object} Thresholds per registered app; defaults in DEFAULT_THRESHOLDS
 * @property {number} clockSkewMs "K200" this far from the arrival time raises clock_skew
 * @property {number} churnInstallations this many installation ids for one device fingerprint...
 * @property {number} churnWindowMs ...within this window raise installation_churn
 * @property {number} exchangesPerHour more exchanges of one installation in an hour raise exchange_rate
 * @property {number} stalePatchDays a security patch level older than this raises stale_patch
 * @property {string[]} expectedKeys data keys every complete collection carries
 * @property {number} mediumAt this many signals of severity low make the level medium
 *
 * @typedef {object} History what the store counted for this exchange
 * @property {number} installationsForFingerprint distinct installation ids of the fingerprint within churnWindowMs, this one included
 * @property {number} exchangesLastHour exchanges of this installation in the last hour, this one included
 */

/** @type {Readonly<Thresholds>} */
const DEFAULT_THRESHOLDS = Object.freeze({
  clockSkewMs: 5 * 60 * 1000,
  churnInstallations: 5,
  churnWindowMs: 24 * 60 * 60 * 1000,
  exchangesPerHour: 30,
  stalePatchDays: 365,
  expectedKeys: ['K2', 'K21', 'K58', 'K200', 'K290', 'K292', 'K350'],
  mediumAt: 2,
});

// Runtime events of the library's guards, as they travel in "K350".
const EVENT_TRACER = 701;
const TRACER_ATTACHED = 1;
const EVENT_EMULATOR = 702;
// Architectures of desktops and servers; a phone reports arm64-v8a or armeabi.
const DESKTOP_ABIS = ['x86_64', 'x86', 'amd64', 'i386', 'i686'];
const DEBUG_BUILD_TYPES = ['eng', 'userdebug'];
const MAX_EVENTS = 100;
const DAY_MS = 24 * 60 * 60 * 1000;

// The signal table: name, severity, the data keys it reads, what raises it
// and what it puts in the evidence. The service's README prints it.
const SIGNALS = Object.freeze([
  { name: 'debugger_attached', severity: 'high', reads: ['K350'],
    raises: 'a runtime event of a tracer attaching (event 701, code 1) in the exchange or in a situation report of the installation since',
    evidence: 'the events: time, message' },
  { name: 'app_signature_mismatch', severity: 'high', reads: ['K7'],
    raises: 'the app signature differs from the one registered for the app\'s genuine builds (silent when none is registered)',
    evidence: 'the signature seen, the one expected' },
  { name: 'installation_churn', severity: 'high', reads: ['K58', 'K290', 'K60', 'K292', 'K293', 'hardwareModel', 'softwareModel'],
    raises: 'churnInstallations or more installation ids for one device fingerprint within churnWindowMs: a device farm or reinstall abuse',
    evidence: 'the count, the threshold, the window' },
  { name: 'virtual_machine', severity: 'medium', reads: ['K350', 'K32', 'K21'],
    raises: 'the library\'s emulator event (702), the "hypervisor" CPU flag, or a desktop ABI list',
    evidence: 'each fact seen' },
  { name: 'debug_build', severity: 'medium', reads: ['K1073'],
    raises: 'a build type of an engineering image ("eng", "userdebug")',
    evidence: 'the build type' },
  { name: 'exchange_rate', severity: 'medium', reads: ['K58'],
    raises: 'more than exchangesPerHour exchanges of one installation within an hour',
    evidence: 'the count, the threshold' },
  { name: 'clock_skew', severity: 'low', reads: ['K200'],
    raises: 'the device clock more than clockSkewMs from the time the request arrived',
    evidence: 'the device time, the service time, the skew, the threshold' },
  { name: 'incomplete_collection', severity: 'low', reads: ['K450'],
    raises: 'collectors that overran their time limit, or expected data keys missing',
    evidence: 'the late collectors, the missing keys' },
  { name: 'stale_patch', severity: 'low', reads: ['K1061'],
    raises: 'a security patch level older than stalePatchDays (silent when the device reports none)',
    evidence: 'the patch level, its age in days, the threshold' },
]);

/** @type {Map<string, typeof SIGNALS[number]>} */
const BY_NAME = new Map(SIGNALS.map((s) => [s.name, s]));

/**
 * @param {string} name
 * @param {Record<string, unknown>} evidence
 * @returns {Signal}
 */
function signal(name, evidence) {
  const def = BY_NAME.get(name);
  return { name, severity: /** @type {Level} */ (def ? def.severity : 'low'), evidence };
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
    .map((e) => ({ event: e.event, code: e.code, msg: typeof e.msg === 'string' ? e.msg : '', ts: Number(e.ts) || 0 }));
}

// Tracer attachments among events: the evidence of debugger_attached.
/**
 * @param {ReturnType<typeof parseEvents>} events
 * @returns {{ ts: number, msg: string }[]}
 */
function tracerEvents(events) {
  return events.filter((e) => e.event === EVENT_TRACER && e.code === TRACER_ATTACHED).map((e) => ({ ts: e.ts, msg: e.msg }));
}

// The signals one exchange raises. `data` is the request's data map,
// `receivedAt` when it arrived (the service's clock), `app` the registered
// app (its expected signature, its thresholds), `history` the store's counts.
/**
 * @param {Record<string, string>} data
 * @param {{ receivedAt: number, signature?: string | null, thresholds?: Partial<Thresholds>, history?: History }} context
 * @returns {Signal[]}
 */
function exchangeSignals(data, { receivedAt, signature = null, thresholds = {}, history }) {
  const t = { ...DEFAULT_THRESHOLDS, ...thresholds };
  /** @type {Signal[]} */
  const out = [];
  const events = parseEvents(data.K350);

  const tracers = tracerEvents(events);
  if (tracers.length > 0) out.push(signal('debugger_attached', { events: tracers }));

  if (signature && data.K7 !== signature) {
    out.push(signal('app_signature_mismatch', { seen: data.K7 === undefined ? null : data.K7, expected: signature }));
  }

  if (history && history.installationsForFingerprint >= t.churnInstallations) {
    out.push(signal('installation_churn', {
      installations: history.installationsForFingerprint, threshold: t.churnInstallations, windowMs: t.churnWindowMs,
    }));
  }

  /** @type {string[]} */
  const vm = [];
  for (const e of events) if (e.event === EVENT_EMULATOR && !vm.includes(e.msg)) vm.push(e.msg);
  if (typeof data.K32 === 'string' && data.K32.split(/\s+/).includes('hypervisor')) vm.push('CPU flag "hypervisor" in K32');
  const abis = typeof data.K21 === 'string' ? data.K21.split(/[,\s]+/).filter(Boolean) : [];
  const desktop = abis.filter((a) => DESKTOP_ABIS.includes(a.toLowerCase()));
  if (desktop.length > 0) vm.push(`desktop ABI in K21: ${desktop.join(', ')}`);
  if (vm.length > 0) out.push(signal('virtual_machine', { facts: vm }));

  if (typeof data.K1073 === 'string' && DEBUG_BUILD_TYPES.includes(data.K1073)) {
    out.push(signal('debug_build', { buildType: data.K1073 }));
  }

  if (history && history.exchangesLastHour > t.exchangesPerHour) {
    out.push(signal('exchange_rate', { exchangesLastHour: history.exchangesLastHour, threshold: t.exchangesPerHour }));
  }

  const deviceTime = Number(data.K200);
  if (data.K200 !== undefined && Number.isFinite(deviceTime) && Math.abs(deviceTime - receivedAt) > t.clockSkewMs) {
    out.push(signal('clock_skew', { deviceTime, serviceTime: receivedAt, skewMs: deviceTime - receivedAt, thresholdMs: t.clockSkewMs }));
  }

  const late = typeof data.K450 === 'string' ? data.K450.split(',').filter(Boolean) : [];
  const missing = t.expectedKeys.filter((k) => data[k] === undefined || data[k] === '');
  if (late.length > 0 || missing.length > 0) out.push(signal('incomplete_collection', { late, missing }));

  const patch = typeof data.K1061 === 'string' ? Date.parse(data.K1061) : NaN;
  if (Number.isFinite(patch)) {
    const ageDays = Math.floor((receivedAt - patch) / DAY_MS);
    if (ageDays > t.stalePatchDays) out.push(signal('stale_patch', { patchLevel: data.K1061, ageDays, thresholdDays: t.stalePatchDays }));
  }
  return out;
}

// The signals a situation report adds to its installation's: tracer
// attachments among its events.
/**
 * @param {unknown} k350
 * @returns {Signal[]}
 */
function reportSignals(k350) {
  const tracers = tracerEvents(parseEvents(k350));
  return tracers.length > 0 ? [signal('debugger_attached', { events: tracers, from: 'situation report' })] : [];
}

// The level of a set of signals: "high" when one is of severity high,
// "medium" when one is medium or `mediumAt` are low, else "low"; and one
// line per signal for a backend's log.
/**
 * @param {Signal[]} signals
 * @param {Partial<Thresholds>} [thresholds]
 * @returns {{ level: Level, reasons: string[] }}
 */
function verdict(signals, thresholds = {}) {
  const mediumAt = thresholds.mediumAt ?? DEFAULT_THRESHOLDS.mediumAt;
  const count = (/** @type {Level} */ s) => signals.filter((x) => x.severity === s).length;
  /** @type {Level} */
  let level = 'low';
  if (count('high') > 0) level = 'high';
  else if (count('medium') > 0 || count('low') >= mediumAt) level = 'medium';
  return { level, reasons: signals.map((s) => `${s.name} (${s.severity}): ${BY_NAME.get(s.name)?.raises ?? ''}`) };
}

// Merges signals of one name into one (the later evidence wins), so that an
// installation's stored signals stay one per name.
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

// A keyed hash of the facts that survive a reinstall (boot id within one
// boot, kernel, model and build facts, fonts), so that the store keeps no
// raw identifier for the churn count. The key is the service's own secret.
/**
 * @param {Record<string, string>} data
 * @param {Buffer | string} key
 * @returns {string}
 */
function deviceFingerprint(data, key) {
  const facts = ['K290', 'K292', 'K293', 'K60', 'hardwareModel', 'softwareModel', 'K1084'].map((k) => data[k] || '');
  return crypto.createHmac('sha256', key).update(JSON.stringify(facts)).digest('hex');
}

module.exports = {
  SIGNALS,
  DEFAULT_THRESHOLDS,
  parseEvents,
  exchangeSignals,
  reportSignals,
  verdict,
  mergeSignals,
  deviceFingerprint,
};
