// @ts-check
'use strict';
// The signal rules of the token service, one row per rule and edge: the
// data map of one exchange (as lib/wire decodes it: key to text), the app's
// thresholds and the store's counts in, the names raised out. The level
// rule, the thresholds an operator may set, the keyed fingerprint, and the
// table as the README and the OpenAPI document print it.

const { test } = require('node:test');
const assert = require('node:assert');
const crypto = require('node:crypto');
const fs = require('node:fs');
const path = require('node:path');

const signals = require('../service/signals');

const NOW = Date.parse('2026-12-10T12:00:00Z');
const DAY_MS = 24 * 60 * 60 * 1000;
// A complete collection of a phone with nothing to say.
const CLEAN = {
  K2: 'com.example.shop', K21: 'arm64-v8a', K58: 'install-1', K200: String(NOW - 1500), K290: 'boot-1', K292: '5.10.43',
  K7: 'SIG', K32: 'fp asimd aes', K1073: 'user', K1061: '2026-11-01', K450: '',
};
const events = (...list) => JSON.stringify(list.map(([event, code, msg]) => ({ code, event, msg, ts: NOW - 1000 })));

test('each rule raises its signal on its evidence, and only then', () => {
  /** @type {any[]} */
  const cases = [
    ['a clean phone', {}, {}, undefined, []],
    ['a tracer attached', { K350: events([701, 1, 'tracer attached: pid=7 comm=gdb']) }, {}, undefined, ['debugger_attached']],
    ['a tracer detached only', { K350: events([701, 2, 'tracer detached: pid=7']) }, {}, undefined, []],
    ['K350 that is not JSON', { K350: '[{"event":701,' }, {}, undefined, []],
    ['another signature', { K7: 'REPACKAGED' }, {}, undefined, ['app_signature_mismatch']],
    ['no signature sent', { K7: undefined }, {}, undefined, ['app_signature_mismatch']],
    ['the hypervisor flag', { K32: 'fpu vme hypervisor lahf_lm' }, {}, undefined, ['virtual_machine']],
    ['the emulator event', { K350: events([702, 2, 'emulator marker: Hardware: ranchu']) }, {}, undefined, ['virtual_machine']],
    ['a desktop ABI', { K21: 'x86_64' }, {}, undefined, ['virtual_machine']],
    ['an engineering image', { K1073: 'userdebug' }, {}, undefined, ['debug_build']],
    ['the clock 6 minutes ahead', { K200: String(NOW + 6 * 60000) }, {}, undefined, ['clock_skew']],
    ['the clock 6 minutes ahead, 10 allowed', { K200: String(NOW + 6 * 60000) }, { clockSkewMs: 600000 }, undefined, []],
    ['an empty time stamp', { K200: '' }, { expectedKeys: [] }, undefined, []],
    ['a late collector', { K450: 'fonts_hash,' }, {}, undefined, ['incomplete_collection']],
    ['an expected key missing', { K290: undefined }, {}, undefined, ['incomplete_collection']],
    ['a patch of two years ago', { K1061: '2024-11-01' }, {}, undefined, ['stale_patch']],
    ['no patch level', { K1061: undefined }, {}, undefined, []],
    ['churn at the threshold', {}, {}, { installationsForFingerprint: 5, exchangesLastHour: 1 }, ['installation_churn']],
    ['churn below it', {}, {}, { installationsForFingerprint: 4, exchangesLastHour: 1 }, []],
    ['31 exchanges in the hour', {}, {}, { installationsForFingerprint: 1, exchangesLastHour: 31 }, ['exchange_rate']],
    ['30 exchanges in the hour', {}, {}, { installationsForFingerprint: 1, exchangesLastHour: 30 }, []],
    ['a VM the app accepts', { K32: 'hypervisor' }, { severities: { virtual_machine: 'off' } }, undefined, []],
  ];
  for (const [what, change, thresholds, history, want] of cases) {
    const data = { ...CLEAN, ...change };
    for (const k of Object.keys(data)) if (data[k] === undefined) delete data[k];
    const got = signals.exchangeSignals(data, { receivedAt: NOW, signature: 'SIG', thresholds, history });
    assert.deepStrictEqual(got.map((s) => s.name), want, what);
  }
  // No registered signature: the app signature says nothing.
  assert.deepStrictEqual(signals.exchangeSignals({ ...CLEAN, K7: 'ANY' }, { receivedAt: NOW }), []);
});

test('evidence names what was seen, bounded whatever the device sends', () => {
  const flood = events(...Array.from({ length: 300 }, (_, i) => [701, 1, `tracer attached: pid=${i} comm=${'x'.repeat(5000)}`]));
  const [s] = signals.exchangeSignals({ ...CLEAN, K350: flood }, { receivedAt: NOW, signature: 'SIG' });
  assert.strictEqual(s.name, 'debugger_attached');
  assert.strictEqual((/** @type {any[]} */ (s.evidence.events)).length, 5);
  assert.match(s.evidence.events[4].msg, /^tracer attached: pid=299 /);
  assert.ok(JSON.stringify(s).length < 2000, 'the stored evidence stays small');
  const [m] = signals.exchangeSignals({ ...CLEAN, K7: 'OTHER' }, { receivedAt: NOW, signature: 'SIG' });
  assert.deepStrictEqual(m.evidence, { seen: 'OTHER', expected: 'SIG' });
  const [r] = signals.reportSignals(events([701, 1, 'tracer attached: pid=9 comm=frida']));
  assert.deepStrictEqual([r.name, r.evidence.from, r.evidence.events[0].msg], ['debugger_attached', 'situation report', 'tracer attached: pid=9 comm=frida']);
});

test('the level: one high, or highAt mediums, is high; one medium, or mediumAt lows, is medium', () => {
  const of = (...severities) => severities.map((severity, i) => ({ name: `s${i}`, severity, evidence: {} }));
  /** @type {any[]} */
  const cases = [
    [of(), {}, 'low'],
    [of('low'), {}, 'low'],
    [of('low', 'low'), {}, 'medium'],
    [of('low', 'low'), { mediumAt: 3 }, 'low'],
    [of('medium'), {}, 'medium'],
    [of('medium', 'medium', 'medium'), {}, 'high'],
    [of('medium', 'medium'), { highAt: 2 }, 'high'],
    [of('high'), {}, 'high'],
  ];
  for (const [list, thresholds, level] of cases) {
    assert.strictEqual(signals.verdict(list, thresholds).level, level, `${list.map((s) => s.severity)} ${JSON.stringify(thresholds)}`);
  }
  const raised = signals.exchangeSignals({ ...CLEAN, K1073: 'eng' }, { receivedAt: NOW, signature: 'SIG' });
  assert.deepStrictEqual(signals.assess(raised).reasons, ['debug_build (medium): build type "eng" of an engineering image']);
  // A report's signal joins the exchange's, one per name.
  const merged = signals.assess([...raised, ...signals.reportSignals(events([701, 1, 'x'])), ...signals.reportSignals(events([701, 1, 'y']))]);
  assert.deepStrictEqual(merged.signals.map((s) => [s.name, s.evidence.events?.[0].msg]), [['debugger_attached', 'y'], ['debug_build', undefined]]);
  assert.strictEqual(merged.level, 'high');
});

test('thresholds an operator gives are checked member by member', () => {
  const good = { churnInstallations: 3, mediumAt: 1, severities: { virtual_machine: 'low', clock_skew: 'off' }, expectedKeys: ['K2'] };
  assert.deepStrictEqual(signals.parseThresholds(JSON.stringify(good)), good);
  for (const bad of ['[1]', '{"churnInstallations":0}', '{"clockSkewMs":1.5}', '{"unknown":1}', '{"severities":{"nope":"low"}}',
    '{"severities":{"clock_skew":"severe"}}', '{"expectedKeys":"K2"}', '{"mediumAt":"2"}', 'not json']) {
    assert.throws(() => signals.parseThresholds(bad), /^Error: thresholds: /, bad);
  }
});

test('the fingerprint is an HMAC of the lasting facts under the service key, per app; none without a boot id', () => {
  const key = crypto.randomBytes(32);
  const fp = signals.deviceFingerprint(CLEAN, key, 'shop');
  const facts = [CLEAN.K290, CLEAN.K292, '', '', '', '', ''];   // K293, K60, hardwareModel, softwareModel, K1084 absent
  assert.strictEqual(fp, crypto.createHmac('sha256', key).update(JSON.stringify(['shop', ...facts])).digest('hex'));
  assert.strictEqual(signals.deviceFingerprint({ ...CLEAN, K58: 'install-2', K200: '1' }, key, 'shop'), fp, 'a reinstall keeps it');
  assert.notStrictEqual(signals.deviceFingerprint(CLEAN, crypto.randomBytes(32), 'shop'), fp);
  assert.notStrictEqual(signals.deviceFingerprint(CLEAN, key, 'other-app'), fp);
  assert.strictEqual(signals.deviceFingerprint({ ...CLEAN, K290: '' }, key, 'shop'), null);
});

test('the README and the OpenAPI document list the signal table as the service raises it', () => {
  const dir = path.join(__dirname, '..', 'service');
  const readme = fs.readFileSync(path.join(dir, 'README.md'), 'utf8');
  const doc = JSON.parse(fs.readFileSync(path.join(dir, 'openapi.json'), 'utf8'));
  const signal = doc.components.schemas.Signal;
  assert.deepStrictEqual(signal.properties.name.enum, signals.SIGNALS.map((s) => s.name));
  for (const s of signals.SIGNALS) {
    assert.match(readme, new RegExp(`^\\| \`${s.name}\` \\| ${s.severity} \\| `, 'm'), `README row of ${s.name}`);
    assert.ok(signal.description.includes(`${s.name}, ${s.severity}, `), `OpenAPI entry of ${s.name}`);
  }
});
