// @ts-check
'use strict';
// The machine facts of the reference bridge (lib/device-facts.js): the
// device information the library reads at setup, with overrides, as the
// bridge answers it member by member, and the system's name.
const { test } = require('node:test');
const assert = require('node:assert');
const os = require('node:os');

const { createBridge } = require('../lib/reference-bridge');
const { deviceInfo } = require('../lib/device-facts');
const helpers = require('./fixtures/helpers');

const tempDir = () => helpers.tempDir('device-facts');

test('device information has the 25 text and 7 integer members, and overrides win', () => {
  const info = deviceInfo({ brand: 'Override' });
  const texts = ['deviceType', 'manufacture', 'brand', 'marketName', 'productSeries', 'productModel',
    'softwareModel', 'hardwareModel', 'bootloaderVersion', 'abiList', 'securityPatchTag', 'displayVersion',
    'incrementalVersion', 'osReleaseType', 'osFullName', 'versionId', 'buildType', 'buildUser', 'buildHost',
    'buildTime', 'buildRootHash', 'distributionOSName', 'distributionOSVersion', 'distributionOSApiName',
    'distributionOSReleaseType'];
  const numbers = ['majorVersion', 'seniorVersion', 'featureVersion', 'buildVersion', 'sdkApiVersion',
    'firstApiVersion', 'distributionOSApiVersion'];
  for (const k of texts) assert.strictEqual(typeof info[k], 'string', k);
  for (const k of numbers) assert.ok(Number.isInteger(info[k]), k);
  assert.strictEqual(info.brand, 'Override');
  assert.strictEqual(info.incrementalVersion, os.release());
  assert.strictEqual(info.majorVersion, Number.parseInt(os.release(), 10));
  const bridge = createBridge({ prefsDir: tempDir(), deviceInfo: { marketName: 'M' } });
  assert.strictEqual(bridge.getDeviceInfo('marketName'), 'M');
  assert.strictEqual(bridge.getDeviceInfo('majorVersion'), String(info.majorVersion));
  assert.strictEqual(bridge.getDeviceInfo('no such member'), '');
  assert.strictEqual(typeof bridge.getOsVersion(), 'string');
  assert.notStrictEqual(bridge.getOsVersion(), '');
});
