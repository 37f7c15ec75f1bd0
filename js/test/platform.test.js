// @ts-check
'use strict';
// HarmonyRiskSdk and HarmonyRiskApp driven through the test-only platform
// addon (platform/platform_test_addon.cc): setup facts, sealed properties
// (checked with Node's crypto, an implementation independent of ours), post
// answers, situation fields and event forwarding. One bridge object serves
// the whole file; each test installs the functions it needs.
const { test, beforeEach } = require('node:test');
const assert = require('node:assert');
const crypto = require('node:crypto');
const fs = require('node:fs');
const path = require('node:path');

process.env.RISK_LOG = process.env.RISK_LOG || 'off';

const library = process.env.RISK_LIBRARY || path.join(__dirname, '..', '..', 'build', 'libQuonRiskComm.so');
const addonPath = process.env.RISK_PLATFORM_ADDON ||
  path.join(path.dirname(library), 'platform', 'platform_test_addon.so');
const mod = { exports: {} };
process.dlopen(mod, addonPath);
const addon = mod.exports;
const { createPrefStore } = require('../lib/pref-store');
const helpers = require('./fixtures/helpers');

const SDK_VERSION = 'v4_9_2r_a07c3e51';
const STRING_KEYS = [
  'deviceType', 'manufacture', 'K19', 'K18', 'productSeries', 'K20', 'softwareModel', 'hardwareModel',
  'K1315', 'K21', 'K1061', 'K22', 'K1084', 'osReleaseType', 'osFullName', 'K13', 'K1073', 'K1068',
  'K15', 'K16', 'buildRootHash', 'distributionOSName', 'K11', 'distributionOSApiName',
  'distributionOSReleaseType',
];
const INTEGER_KEYS = ['majorVersion', 'seniorVersion', 'featureVersion', 'buildVersion', 'sdkApiVersion',
  'firstApiVersion', 'distributionOSApiVersion'];
const STATE = { NONE: 0, FETCHED: 1, STORED: 2, DEGRADED: 3 };

const bridge = {};
addon.captureLog();
addon.init(bridge);

beforeEach(() => {
  for (const key of Object.keys(bridge)) delete bridge[key];
  addon.takeLog();
});

// Node's own SM3 and SM4 (OpenSSL): the reference for sealed properties.
function refKey(appName, name) {
  return crypto.createHash('sm3').update(Buffer.from(`${appName}-${name}`, 'utf8')).digest().subarray(0, 16);
}
function refSeal(appName, name, value) {
  const c = crypto.createCipheriv('sm4-ecb', refKey(appName, name), null);
  return Buffer.concat([c.update(Buffer.from(value, 'utf8')), c.final()]).toString('base64');
}
function refOpen(appName, name, stored) {
  const d = crypto.createDecipheriv('sm4-ecb', refKey(appName, name), null);
  return Buffer.concat([d.update(Buffer.from(stored, 'base64')), d.final()]).toString('utf8');
}

// A set-up SDK for the property, post and field tests; its setup log is
// dropped.
function quietSdk(appInfo) {
  const id = addon.makeSdk(bridge, appInfo, {});
  addon.takeLog();
  return id;
}

const tempDir = () => helpers.tempDir('platform');

// A bridge store backed by the reference file store, recording the calls.
function useFileStore() {
  const store = createPrefStore(tempDir());
  const calls = [];
  bridge.prefPut = (name, value) => {
    calls.push(['put', name, value]);
    store.put(name, value);
    return true;
  };
  bridge.prefGet = (name) => {
    calls.push(['get', name]);
    return store.get(name);
  };
  return { store, calls };
}

// ---------------------------------------------------------------------------
// Setup facts

test('setup facts: application identity, OS version and the device property table', () => {
  bridge.getOsVersion = () => 'TestOS 5.0';
  const id = addon.makeSdk(bridge, { name: 'com.example', versionCode: 17, versionName: '1.7' },
    { brand: 'X', majorVersion: 12 });
  const facts = addon.facts(id);
  assert.strictEqual(facts.appName, 'com.example');
  assert.strictEqual(facts.appVersionCode, 17);
  assert.strictEqual(facts.appVersionName, '1.7');
  assert.strictEqual(facts.osVersion, 'TestOS 5.0');
  assert.strictEqual(facts.osType, 2);
  assert.strictEqual(facts.sdkVersion, SDK_VERSION);
  const expected = {};
  for (const k of STRING_KEYS) expected[k] = '""';
  expected.K19 = '"X"';
  expected.majorVersion = '"12"';
  assert.deepStrictEqual(facts.deviceProperties, expected);
  // Six integer properties are missing: each logs once and is skipped.
  assert.strictEqual(addon.takeLog().filter((l) => l === 'get js int64 number fail').length, 6);
});

test('setup facts: every string and integer property lands under its key', () => {
  bridge.getOsVersion = () => 'v';
  const device = {};
  const props = ['deviceType', 'manufacture', 'brand', 'marketName', 'productSeries', 'productModel',
    'softwareModel', 'hardwareModel', 'bootloaderVersion', 'abiList', 'securityPatchTag', 'displayVersion',
    'incrementalVersion', 'osReleaseType', 'osFullName', 'versionId', 'buildType', 'buildUser', 'buildHost',
    'buildTime', 'buildRootHash', 'distributionOSName', 'distributionOSVersion', 'distributionOSApiName',
    'distributionOSReleaseType'];
  props.forEach((p, i) => { device[p] = `s${i} "q"`; });
  INTEGER_KEYS.forEach((p, i) => { device[p] = i === 0 ? -(2 ** 40) : i * 10; });
  const facts = addon.facts(addon.makeSdk(bridge, {}, device));
  props.forEach((p, i) => {
    assert.strictEqual(facts.deviceProperties[STRING_KEYS[i]], JSON.stringify(`s${i} "q"`), p);
  });
  INTEGER_KEYS.forEach((p, i) => {
    assert.strictEqual(facts.deviceProperties[p], JSON.stringify(String(i === 0 ? -(2 ** 40) : i * 10)), p);
  });
});

test('setup facts: a missing name reads as "", a missing version code keeps 0', () => {
  bridge.getOsVersion = () => 42;  // not a string
  const facts = addon.facts(addon.makeSdk(bridge, { versionCode: 'nine' }, {}));
  assert.deepStrictEqual([facts.appName, facts.appVersionCode, facts.appVersionName, facts.osVersion],
    ['', 0, '', '']);
});

test('setup facts: device information that is not an object stores nothing, one log line per property', () => {
  bridge.getOsVersion = () => 'v';
  const facts = addon.facts(addon.makeSdk(bridge, {}, undefined));
  assert.deepStrictEqual(facts.deviceProperties, {});
  const lines = addon.takeLog();
  const expected = [...STRING_KEYS.map((_, i) => i), ...INTEGER_KEYS].length;
  assert.strictEqual(lines.filter((l) => l.startsWith('get function object fail ')).length, expected);
  assert.ok(lines.includes('get function object fail brand'));
  assert.ok(lines.includes('get function object fail majorVersion'));
});

// ---------------------------------------------------------------------------
// Sealed properties

test('property key is the first 16 bytes of SM3(app name + "-" + name)', () => {
  for (const [app, name] of [['com.example', 'Scene'], ['', ''], ['应用', 'k:Scene'], ['a'.repeat(300), 'n']]) {
    assert.deepStrictEqual(addon.propertyKey(app, name), refKey(app, name));
  }
});

test('sealed property texts match Node\'s SM4-ECB and open back; failures give ""', () => {
  const seed = crypto.randomBytes(4).readUInt32LE();
  console.log(`# property seed ${seed}`);
  let x = seed;
  const next = () => { x = (Math.imul(x, 1103515245) + 12345) >>> 0; return x; };
  for (let n = 1; n <= 40; n++) {
    const value = Buffer.from(Array.from({ length: n }, () => 32 + (next() % 90))).toString('latin1');
    const sealed = addon.sealProperty('app', `name${n}`, value).toString();
    assert.strictEqual(sealed, refSeal('app', `name${n}`, value), `length ${n}`);
    assert.strictEqual(addon.openProperty('app', `name${n}`, sealed).toString('latin1'), value);
    assert.strictEqual(refOpen('app', `name${n}`, sealed), value);
  }
  assert.strictEqual(addon.sealProperty('app', 'k', '').length, 0);
  assert.strictEqual(addon.openProperty('app', 'k', '').length, 0);
  assert.strictEqual(addon.openProperty('app', 'k', 'not base64!').length, 0);
  assert.strictEqual(addon.openProperty('app', 'k', 'AAAA').length, 0);  // 3 bytes: not a block
});

test('a property written from a native thread reads back, and its stored text opens with Node\'s crypto', async () => {
  const { calls } = useFileStore();
  bridge.getOsVersion = () => 'v';
  const id = quietSdk({ name: 'com.example.one' });
  await addon.onThread('setProperty', id, 'key1:Scene', 'checkout');
  const put = calls.find((c) => c[0] === 'put');
  assert.strictEqual(put[1], 'key1:Scene');
  assert.strictEqual(refOpen('com.example.one', 'key1:Scene', put[2]), 'checkout');
  assert.strictEqual((await addon.onThread('getProperty', id, 'key1:Scene')).toString(), 'checkout');

  // Another application name reads the same preference but not the value.
  const other = quietSdk({ name: 'com.example.two' });
  const seen = (await addon.onThread('getProperty', other, 'key1:Scene')).toString('latin1');
  assert.notStrictEqual(seen, 'checkout');
});

test('an empty value is written as an empty preference and reads back as ""', async () => {
  const { calls } = useFileStore();
  const id = quietSdk({ name: 'app' });
  await addon.onThread('setProperty', id, 'k', 'something');
  await addon.onThread('setProperty', id, 'k', '');
  assert.deepStrictEqual(calls.filter((c) => c[0] === 'put').pop(), ['put', 'k', '']);
  assert.strictEqual((await addon.onThread('getProperty', id, 'k')).length, 0);
});

test('a property written on the script thread reaches "prefPut" inline', () => {
  const { calls, store } = useFileStore();
  const id = quietSdk({ name: 'app' });
  addon.setPropertyInline(id, 'inline', 'v1');
  assert.strictEqual(calls.length, 1);
  assert.strictEqual(refOpen('app', 'inline', store.get('inline')), 'v1');
});

test('a rejected "prefGet" reads as "" and logs its code', async () => {
  bridge.prefGet = () => Promise.reject({ code: 9 });
  const id = quietSdk({ name: 'app' });
  assert.strictEqual((await addon.onThread('getProperty', id, 'k')).length, 0);
  assert.deepStrictEqual(addon.takeLog(), ['get fail 9']);
});

// ---------------------------------------------------------------------------
// post

test('post: the answer\'s code and ArrayBuffer body; a rejection\'s code goes negative; no "post" gives -9999', async () => {
  const id = quietSdk({ name: 'app' });
  const seen = [];
  bridge.post = (url, body) => {
    seen.push([url, Buffer.from(body)]);
    return Promise.resolve({ responseCode: 200, resultType: 2, result: new Uint8Array([1, 0, 255]).buffer });
  };
  const ok = await addon.onThread('post', id, 'http://h/p?q=1', Buffer.from([0, 1, 2, 0]));
  assert.deepStrictEqual([ok.status, [...ok.body]], [200, [1, 0, 255]]);
  assert.deepStrictEqual(seen, [['http://h/p?q=1', Buffer.from([0, 1, 2, 0])]]);

  for (const [code, status] of [[404, -404], [-3, -3]]) {
    bridge.post = () => Promise.reject({ code });
    const out = await addon.onThread('post', id, 'u', 'b');
    assert.deepStrictEqual([out.status, out.body.length], [status, 0]);
    assert.deepStrictEqual(addon.takeLog(), [`http post error, err code ${status}`]);
  }

  delete bridge.post;
  const missing = await addon.onThread('post', id, 'u', 'b');
  assert.deepStrictEqual([missing.status, missing.body.length], [-9999, 0]);
});

// ---------------------------------------------------------------------------
// Situation fields and events

test('situation fields: a usable record carries its token; degraded and expired ones do not', () => {
  const id = quietSdk({ name: 'app' });
  const later = Date.now() + 3600 * 1000;
  assert.strictEqual(addon.situationFields(id, 'k', STATE.FETCHED, 'tok', later),
    `{"os_type": "2", "ulvok": "tok", "version": "${SDK_VERSION}"}`);
  assert.deepStrictEqual(addon.takeLog(), []);
  for (const [state, expires] of [[STATE.DEGRADED, later], [STATE.STORED, Date.now() - 1000], [STATE.FETCHED, 0]]) {
    assert.strictEqual(addon.situationFields(id, 'k', state, 'tok', expires),
      `{"os_type": "2", "version": "${SDK_VERSION}"}`);
    assert.deepStrictEqual(addon.takeLog(), ['degrade token detected']);
  }
});

// A refused setup's SDK is not kept ("setupNative" drops it), so events
// sent after it must still reach the first SDK's list.
test('the once-per-process setup: the first succeeds, later ones fail and leave the event sink alone', () => {
  bridge.getOsVersion = () => 'v';
  const first = addon.setup(bridge, { name: 'first' }, {});
  assert.strictEqual(first.ok, true);
  assert.strictEqual(addon.facts(first.id).appName, 'first');
  const second = addon.setup(bridge, { name: 'second' }, {});
  assert.strictEqual(second.ok, false);
  // Nothing was read by the failed setup.
  assert.deepStrictEqual([addon.facts(second.id).appName, addon.facts(second.id).sdkVersion], ['', '']);

  addon.sendEvent(7, 9, 'seen by the first list');
  const later = Date.now() + 60000;
  const inFirst = JSON.parse(addon.situationFields(first.id, 'k', STATE.FETCHED, 't', later));
  const inSecond = JSON.parse(addon.situationFields(second.id, 'k', STATE.FETCHED, 't', later));
  const secondEvents = inSecond.K350 === undefined ? [] : JSON.parse(inSecond.K350);
  assert.ok(secondEvents.every((e) => e.event !== 7), inSecond.K350);
  const events = JSON.parse(inFirst.K350).filter((e) => e.event === 7);
  assert.deepStrictEqual(events.map((e) => [e.event, e.code, e.msg]), [[7, 9, 'seen by the first list']]);
});

test('event forwarders: the client event loses its text, the server event keeps it', async () => {
  const id = quietSdk({ name: 'app' });
  const calls = [];
  bridge.onSituationClientEvent = function (...args) { calls.push(['client', this === bridge, ...args]); };
  bridge.onSituationServerEvent = function (...args) { calls.push(['server', this === bridge, ...args]); };
  await addon.onThread('clientEvent', id, 'key-a', '3', '25', 'x');
  await addon.onThread('serverEvent', id, 'key-a', '{"answer":1}');
  assert.deepStrictEqual(calls, [['client', true, 'key-a', 3, 25, ''], ['server', true, 'key-a', '{"answer":1}']]);
});

// ---------------------------------------------------------------------------
// Business-sign fields

// A platform with no stored token whose token service cannot be reached:
// every token is a degrade token.
function offlinePlatform(oaid) {
  const files = useFileStore();
  bridge.post = () => Promise.reject({ code: 7 });
  bridge.getOaid = () => oaid;
  bridge.getTimeInfo = () => '{}';
  bridge.getAppSignature = () => '';
  bridge.getOsVersion = () => 'v';
  const id = addon.makeSdk(bridge, { name: 'app' }, { brand: 'X', majorVersion: 12 });
  addon.takeLog();
  return { id, ...files };
}

const OFFLINE = { KEY_URL: 'http://127.0.0.1:9', KEY_DELAY_MS_TIME: '200', PRIVATE_COLLECT_TIMEOUT: '1000' };

function text(fields) {
  const out = {};
  for (const [k, v] of Object.entries(fields)) out[k] = v.toString('utf8');
  return out;
}

test('business-sign fields: token, time, default scene, caller data, versions, device properties, advertising id', async () => {
  const { id } = offlinePlatform('ad-id-1');
  const before = Date.now();
  const params = { ...OFFLINE, a: '', b: '2' };
  const fields = text(await addon.onThread('businessSignFields', id, 'k', JSON.stringify(params)));
  const after = Date.now();
  assert.ok(fields.ulvok.length > 40, 'a degrade token stands in for the token');
  assert.ok(Number(fields.timestamp) >= before && Number(fields.timestamp) <= after);
  delete fields.ulvok;
  delete fields.timestamp;
  assert.deepStrictEqual(fields, {
    K3000: 'default',
    user_a: '',
    user_b: '2',
    K3002: '',
    os_type: '2',
    K8: SDK_VERSION,
    K19: 'X',
    majorVersion: '12',
    K353: 'ad-id-1',
  });
});

test('collected data: the facts read at setup reach the collectors (app identity, device properties)', async () => {
  const { id } = offlinePlatform('ad-id-1');
  const data = text(await addon.onThread('collect', id, 'k', JSON.stringify(OFFLINE)));
  assert.strictEqual(data.K2, 'app');
  assert.strictEqual(data.K19, 'X');
  assert.strictEqual(data.majorVersion, '12');
  // Device properties read as "" (absent from the device information) are
  // left out, as put_value leaves out every empty value.
  assert.strictEqual(data.K20, undefined);
});

test('business-sign fields: the stored scene and report time; the all-zero advertising id is left out', async () => {
  const { id } = offlinePlatform('00000000-0000-0000-0000-000000000000');
  addon.setPropertyInline(id, 'k:Scene', 'checkout');
  addon.setPropertyInline(id, 'k:SITUATION_UP_TIME', '1700000000000');
  addon.setPropertyInline(id, 'other:Scene', 'not this one');
  const fields = text(await addon.onThread('businessSignFields', id, 'k', JSON.stringify(OFFLINE)));
  assert.strictEqual(fields.K3000, 'checkout');
  assert.strictEqual(fields.K3002, '1700000000000');
  assert.strictEqual(fields.K353, undefined);
});
