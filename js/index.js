'use strict';
// The Node face of the native library: loads libQuonRiskComm.so and exposes
// its nine natives under friendly names, with option objects instead of the
// flat [key, value, key, value, ...] arrays the natives take.
//
//   const risk = require('quon-risk-comm');
//   const bridge = risk.createBridge({ prefsDir: '/var/lib/myapp/prefs' });
//   const sdk = risk.setup(bridge, { name: 'com.example.app', versionCode: 1,
//                                    versionName: '1.0' }, bridge.deviceInfo());
//   risk.init(sdk, appKey, { KEY_URL: 'https://risk.example.com' });
//   const token = await risk.getToken(sdk, appKey, { userId: '42' });
//
// The library file is RISK_LIBRARY when set, else ../build/libQuonRiskComm.so
// beside this package; load(path) picks another one before the first call.
// A process loads the library once; setup succeeds once per process (later
// calls return 0). Every native runs on this (the main) thread; the promise
// natives work on native threads and resolve, never reject.

const path = require('path');
const { createBridge, deviceInfo } = require('./lib/bridge');

const DEFAULT_LIBRARY = path.join(__dirname, '..', 'build', 'libQuonRiskComm.so');
const NATIVE_NAMES = Object.freeze([
  'getBusinessSignNative', 'getDegradeTokenNative', 'getTokenNative', 'init',
  'isDegradeTokenNative', 'readyToCallback', 'scheduleUpdateSituationNative',
  'setSceneNative', 'setupNative',
]);

// Loaded libraries by path: a second process.dlopen of one file would fail.
const loaded = new Map();
let current = null;

// Loads the library at `file` (default: RISK_LIBRARY or the build tree) and
// makes it the one the functions below call. Returns its raw exports.
function load(file) {
  const resolved = path.resolve(file || process.env.RISK_LIBRARY || DEFAULT_LIBRARY);
  let exports = loaded.get(resolved);
  if (exports === undefined) {
    const mod = { exports: {} };
    process.dlopen(mod, resolved);
    exports = mod.exports;
    loaded.set(resolved, exports);
  }
  current = exports;
  return exports;
}

function native() {
  return current || load();
}

function optionText(value) {
  if (typeof value === 'string') return value;
  if (value === null || typeof value !== 'object') return String(value);
  return JSON.stringify(value);
}

// Turns options into the natives' flat array of strings. Accepts a plain
// object, a Map, an array of [key, value] entries, or an already flat array
// of strings (passed through). Members whose value is undefined are left
// out; other values become text (objects as JSON).
function toPairs(options) {
  if (options === undefined || options === null) return [];
  if (Array.isArray(options)) {
    if (options.every((x) => typeof x === 'string')) return options.slice();
    return toPairs(new Map(options));
  }
  const entries = options instanceof Map ? [...options.entries()] : Object.entries(options);
  const out = [];
  for (const [k, v] of entries) {
    if (v === undefined) continue;
    out.push(String(k), optionText(v));
  }
  return out;
}

// "setupNative": hands the bridge object and the facts to the library.
// Returns the SDK handle (a number), or 0 when the process was set up before.
function setup(bridge, appInfo, device) {
  return native().setupNative(bridge, appInfo, device);
}

// "init": replaces the options of application key appKey.
function init(handle, appKey, options) {
  return native().init(handle, appKey, toPairs(options));
}

// "getTokenNative": a promise of the device token ("" when none could be had).
function getToken(handle, appKey, options) {
  return native().getTokenNative(handle, appKey, toPairs(options));
}

// "getDegradeTokenNative": a promise of a locally made degrade token, built
// with the call's options only.
function getDegradeToken(handle, appKey, options) {
  return native().getDegradeTokenNative(handle, appKey, toPairs(options));
}

// "getBusinessSignNative": a promise of the business sign of text.
function getBusinessSign(handle, appKey, options, text = '') {
  return native().getBusinessSignNative(handle, appKey, toPairs(options), String(text));
}

// "isDegradeTokenNative": true for an empty token or one longer than 40 bytes.
function isDegradeToken(handle, appKey, token) {
  return native().isDegradeTokenNative(handle, appKey, String(token));
}

// "scheduleUpdateSituationNative": a situation report delayMs from now; the
// answer reaches the bridge's onSituationServerEvent. The process stays
// alive until the report has been sent.
function scheduleSituationUpdate(handle, appKey, options, delayMs = 0) {
  return native().scheduleUpdateSituationNative(handle, appKey, toPairs(options), Number(delayMs));
}

// "setSceneNative": stores the scene that business signs carry.
function setScene(handle, appKey, scene) {
  return native().setSceneNative(handle, appKey, String(scene));
}

// "readyToCallback": starts the delivery of runtime events.
function readyToCallback(handle) {
  return native().readyToCallback(handle);
}

module.exports = {
  load,
  toPairs,
  setup,
  init,
  getToken,
  getDegradeToken,
  getBusinessSign,
  isDegradeToken,
  scheduleSituationUpdate,
  setScene,
  readyToCallback,
  createBridge,
  deviceInfo,
  NATIVE_NAMES,
  DEFAULT_LIBRARY,
};
