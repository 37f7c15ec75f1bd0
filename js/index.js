// @ts-check
'use strict';
// The Node face of the native library: loads libQuonRiskComm.so and exposes
// its nine natives under friendly names, with option objects instead of the
// flat [key, value, key, value, ...] arrays the natives take.
//
//   const risk = require('quon-risk-comm');
//   const bridge = risk.createBridge({ prefsDir: '/var/lib/myapp/prefs' });
//   bridge.warmUp();  // the first calls then find their paths warm
//   const sdk = risk.setup(bridge, { name: 'com.example.app', versionCode: 1,
//                                    versionName: '1.0' }, bridge.deviceInfo());
//   risk.init(sdk, appKey, { KEY_URL: 'https://risk.example.com',
//                            KEY_SITUATION_URL: 'https://risk.example.com' });
//   const token = await risk.getToken(sdk, appKey, { userId: '42' });
//
// The library file is RISK_LIBRARY when set, else this package's binary for
// the platform (prebuilds/<platform>-<arch>/libQuonRiskComm.so), else, in a
// checkout of the repository, ../build/libQuonRiskComm.so; load(path) picks
// another one before the first call. The first call loads it. A process
// loads the library once; setup succeeds once per process (later calls
// return 0). Every native runs on this (the main) thread; the promise
// natives work on native threads and resolve, never reject.
//
// Settings the library does not know, a KEY_MANAGER_ALGORITHM other than
// "legacy" or "gm", a service address without a scheme, with a scheme other
// than http or https, with a trailing slash or a path other than the
// service's, a KEY_DELAY_MS_TIME that is not a number of milliseconds from 1
// to 30000, and an empty application key draw one process warning each
// (process.emitWarning); they are passed on unchanged.
//
// getTokenDetailed(handle, appKey, options) answers what getToken does and
// what became of the call: { token, kind, code, cause, retry } (lib/outcomes.js).
//
// The library's own log goes nowhere unless setup's { log } (a function,
// "stderr", { file }, "off") or the environment (RISK_LOG=on,
// RISK_LOG_FILE=path) sends it somewhere.

const fs = require('node:fs');
const path = require('node:path');
const { createBridge } = require('./lib/reference-bridge');
const { deviceInfo } = require('./lib/device-facts');
const outcomes = require('./lib/outcomes');

// The types of the public face are declared in index.d.ts; the exports below
// are checked against them.
/**
 * @typedef {import('./index').SdkHandle} SdkHandle
 * @typedef {import('./index').Options} Options
 * @typedef {import('./index').Bridge} Bridge
 * @typedef {import('./index').AppInfo} AppInfo
 * @typedef {import('./index').DeviceInfo} DeviceInfo
 * @typedef {import('./index').NativeModule} NativeModule
 */

const LIBRARY_FILE = 'libQuonRiskComm.so';
const PREBUILDS_DIR = path.join(__dirname, 'prebuilds');
const BUILD_TREE_LIBRARY = path.join(__dirname, '..', 'build', LIBRARY_FILE);
const NATIVE_NAMES = Object.freeze([
  'getBusinessSignNative', 'getDegradeTokenNative', 'getTokenNative', 'init',
  'isDegradeTokenNative', 'readyToCallback', 'scheduleUpdateSituationNative',
  'setSceneNative', 'setupNative',
]);

// The settings the library reads; every other KEY_/PRIVATE_ key is unknown.
/** @type {readonly (keyof import('./index').Settings)[]} */
const SETTINGS = Object.freeze([
  'KEY_URL', 'KEY_SITUATION_URL', 'KEY_MANAGER_ALGORITHM', 'KEY_DELAY_MS_TIME',
  'PRIVATE_FORCE_REFRESH', 'PRIVATE_CLEAR_TOKEN', 'PRIVATE_COLLECT_TIMEOUT', 'PRIVATE_BLACK',
]);
const ALGORITHMS = Object.freeze(['legacy', 'gm']);

// A library that cannot be had: one line saying what to do.
// `file`, `reason` and `advice` are set when a file was found but did not load.
class LibraryError extends Error {
  /**
   * @param {string} message
   * @param {{ file?: string, reason?: string, advice?: string }} [details]
   */
  constructor(message, details = {}) {
    super(message);
    this.name = 'LibraryError';
    /** @type {'RISK_LIBRARY_UNAVAILABLE'} */
    this.code = 'RISK_LIBRARY_UNAVAILABLE';
    Object.assign(this, details);
  }
}

// The binaries this package carries, as "<platform>-<arch>" names.
/**
 * @param {string} [prebuilds]
 * @returns {string[]}
 */
function packagedPlatforms(prebuilds = PREBUILDS_DIR) {
  try {
    return fs.readdirSync(prebuilds)
      .filter((d) => fs.existsSync(path.join(prebuilds, d, LIBRARY_FILE))).sort();
  } catch (e) {
    return [];
  }
}

// Which library file load() takes without an argument: { file, from } with
// from "RISK_LIBRARY", "package" or "build tree". Throws a LibraryError when
// there is none for this platform.
/** @type {typeof import('./index').libraryPath} */
function libraryPath({
  env = process.env, platform = process.platform, arch = process.arch,
  prebuilds = PREBUILDS_DIR, buildTree = BUILD_TREE_LIBRARY,
} = {}) {
  if (env.RISK_LIBRARY) return { file: path.resolve(env.RISK_LIBRARY), from: 'RISK_LIBRARY' };
  const target = `${platform}-${arch}`;
  const packaged = path.join(prebuilds, target, LIBRARY_FILE);
  if (fs.existsSync(packaged)) return { file: packaged, from: 'package' };
  if (fs.existsSync(buildTree)) return { file: buildTree, from: 'build tree' };
  const carried = packagedPlatforms(prebuilds);
  throw new LibraryError(`quon-risk-comm has no native library for ${target}`
    + ` (this package carries ${carried.length ? carried.join(', ') : 'none'}):`
    + ` build libQuonRiskComm.so for this machine and set RISK_LIBRARY to its path;`
    + ' require(\'quon-risk-comm/server\') works without it');
}

// What to do about a dlopen failure, from its message.
/**
 * @param {string} message
 * @returns {string}
 */
function loadAdvice(message) {
  const missing = /([\w.+-]+\.so[.\d]*): cannot open shared object file/.exec(message);
  if (missing && missing[1] !== LIBRARY_FILE) {
    return `install the system library ${missing[1]} (on Debian 12: apt-get install`
      + ' libc6 libstdc++6 libgcc-s1 zlib1g)';
  }
  if (/GLIBC_|GLIBCXX_|CXXABI_/.test(message)) {
    return 'this binary needs the C and C++ runtimes of Debian 12 or later (glibc 2.36):'
      + ' upgrade them, or build the library here and set RISK_LIBRARY';
  }
  if (/wrong ELF class|invalid ELF header|file too short|cannot open shared object file|No such file/.test(message)) {
    return 'set RISK_LIBRARY to a libQuonRiskComm.so built for this machine';
  }
  return 'build the library for this machine (scripts/run.sh in the repository) and set RISK_LIBRARY';
}

// Loaded libraries by path: a second process.dlopen of one file would fail.
/** @type {Map<string, NativeModule>} */
const loaded = new Map();
/** @type {NativeModule | null} */
let current = null;

// Loads the library at `file` (default: libraryPath()) and makes it the one
// the functions below call. Returns its raw exports. Throws a LibraryError,
// one line saying what to do, when it cannot.
/**
 * @param {string} [file]
 * @returns {NativeModule}
 */
function load(file) {
  const resolved = file ? path.resolve(file) : libraryPath().file;
  let exports = loaded.get(resolved);
  if (exports === undefined) {
    // The exports of the library: the natives that NativeModule declares.
    const mod = { exports: /** @type {NativeModule} */ ({}) };
    try {
      process.dlopen(mod, resolved);
    } catch (e) {
      let first = String(e && e.message ? e.message : e).split('\n')[0];
      if (first.startsWith(`${resolved}: `)) first = first.slice(resolved.length + 2);
      const advice = loadAdvice(first);
      throw new LibraryError(`quon-risk-comm cannot load ${resolved}: ${first}; ${advice}`,
        { file: resolved, reason: first, advice });
    }
    exports = mod.exports;
    loaded.set(resolved, exports);
  }
  current = exports;
  return exports;
}

/** @returns {NativeModule} */
function native() {
  return current || load();
}

/**
 * @param {unknown} value
 * @returns {string}
 */
function optionText(value) {
  if (typeof value === 'string') return value;
  if (value === null || typeof value !== 'object') return String(value);
  return JSON.stringify(value);
}

// Options that are neither an object, a Map, an array of [key, value]
// entries nor a flat [key, value, ...] array of texts, numbers and booleans.
class OptionsError extends TypeError {
  /** @param {string} message */
  constructor(message) {
    super(message);
    this.name = 'OptionsError';
    /** @type {'RISK_BAD_OPTIONS'} */
    this.code = 'RISK_BAD_OPTIONS';
  }
}

/**
 * @param {unknown} x
 * @returns {x is string | number | boolean | bigint}
 */
function isFlatElement(x) {
  return ['string', 'number', 'boolean', 'bigint'].includes(typeof x);
}

// Turns options into the natives' flat array of strings. Accepts a plain
// object, a Map, an array of [key, value] entries, or an already flat array
// (its numbers and booleans become text). Members whose value is undefined
// are left out; other values become text (objects as JSON). Throws an
// OptionsError for an array that is neither.
/**
 * @param {Options | null} [options]
 * @returns {string[]}
 */
function toPairs(options) {
  if (options === undefined || options === null) return [];
  if (Array.isArray(options)) {
    if (options.every(isFlatElement)) return options.map(String);
    if (options.every((x) => Array.isArray(x))) return toPairs(new Map(options));
    const i = options.findIndex((x) => !isFlatElement(x));
    throw new OptionsError('quon-risk-comm: an options array is either flat (texts, numbers,'
      + ' booleans) or made of [key, value] entries; element ' + i + ' is '
      + (Array.isArray(options[i]) ? 'an entry among flat elements' : typeof options[i]));
  }
  const entries = options instanceof Map ? [...options.entries()] : Object.entries(options);
  const out = [];
  for (const [k, v] of entries) {
    if (v === undefined) continue;
    out.push(String(k), optionText(v));
  }
  return out;
}

const CALLER_DATA_PREFIX = 'data_';

// Caller data as options that can never be read as a setting: every key
// gains the prefix "data_", so that an untrusted key such as "KEY_URL"
// reaches the service as caller data ("user_data_KEY_URL") instead of
// redirecting the request. Takes the forms options take; combine with
// settings freely: { KEY_DELAY_MS_TIME: '2000', ...callerData(untrusted) }.
/**
 * @param {Options | null} [data]
 * @returns {Record<string, string>}
 */
function callerData(data) {
  const pairs = toPairs(data);
  /** @type {Record<string, string>} */
  const out = {};
  for (let i = 0; i < pairs.length; i += 2) {
    const key = CALLER_DATA_PREFIX + pairs[i];
    if (!(key in out)) out[key] = pairs[i + 1] ?? '';
  }
  return out;
}

// --- setting checks ------------------------------------------------------

const warned = new Set();

/**
 * @param {string} code
 * @param {string} text
 */
function warnOnce(code, text) {
  if (warned.has(text)) return;
  warned.add(text);
  process.emitWarning(text, { code });
}

// Edit distance of two short texts, for "did you mean".
/**
 * @param {string} a
 * @param {string} b
 * @returns {number}
 */
function distance(a, b) {
  let prev = Array.from({ length: b.length + 1 }, (_, j) => j);
  for (let i = 1; i <= a.length; i++) {
    const row = [i];
    for (let j = 1; j <= b.length; j++) {
      row[j] = Math.min(prev[j] + 1, row[j - 1] + 1, prev[j - 1] + (a[i - 1] === b[j - 1] ? 0 : 1));
    }
    prev = row;
  }
  return prev[b.length];
}

/** @param {unknown} appKey */
function checkAppKey(appKey) {
  if (appKey === '' || appKey === undefined || appKey === null) {
    warnOnce('RISK_EMPTY_APP_KEY', 'quon-risk-comm: the application key is empty; it names an'
      + ' application of its own, which the service does not know');
  }
}

// Warns about settings the library would misread; the pairs stay as they are.
/**
 * @param {string[]} pairs
 * @returns {string[]} pairs
 */
function checkSettings(pairs) {
  for (let i = 0; i + 1 < pairs.length; i += 2) {
    const key = pairs[i];
    const value = pairs[i + 1];
    if (!key.startsWith('KEY_') && !key.startsWith('PRIVATE_')) continue;
    if (!/** @type {readonly string[]} */ (SETTINGS).includes(key)) {
      const near = SETTINGS.find((k) => distance(k, key) <= 2);
      warnOnce('RISK_UNKNOWN_SETTING', `quon-risk-comm: unknown setting ${key}`
        + `${near ? ` (did you mean ${near}?)` : ''}; the library ignores it`
        + ` (known: ${SETTINGS.join(', ')})`);
    } else if (key === 'KEY_MANAGER_ALGORITHM' && value !== '' && !ALGORITHMS.includes(value)) {
      warnOnce('RISK_UNKNOWN_ALGORITHM', `quon-risk-comm: KEY_MANAGER_ALGORITHM "${value}" is neither`
        + ' "legacy" nor "gm"; the library falls back to legacy');
    } else if ((key === 'KEY_URL' || key === 'KEY_SITUATION_URL') && value !== ''
      && !/^[A-Za-z][A-Za-z0-9+.-]*:\/\//.test(value)) {
      warnOnce('RISK_URL_WITHOUT_SCHEME', `quon-risk-comm: ${key} "${value}" has no scheme`
        + ` (https://...); it is used as given and the post fails`);
    }
    if (key === 'KEY_URL' || key === 'KEY_SITUATION_URL') checkAddress(key, value);
    if (key === 'KEY_DELAY_MS_TIME') checkDelay(value);
  }
  return pairs;
}

// A service address with a scheme: http or https, and either no path (the
// library adds the service's) or exactly the service's.
/**
 * @param {'KEY_URL' | 'KEY_SITUATION_URL'} key
 * @param {string} value
 */
function checkAddress(key, value) {
  const scheme = /^([A-Za-z][A-Za-z0-9+.-]*):\/\/([^/]*)(.*)$/.exec(value);
  if (scheme === null) return;
  const servicePath = key === 'KEY_URL' ? outcomes.TOKEN_PATH : outcomes.SITUATION_PATH;
  const [, name, , rest] = scheme;
  const pathOnly = rest.split(/[?#]/)[0];
  if (!['http', 'https'].includes(name.toLowerCase())) {
    warnOnce('RISK_URL_SCHEME', `quon-risk-comm: ${key} "${value}" has the scheme ${name}:, neither http`
      + ' nor https; the reference bridge refuses the post');
  } else if (rest === '/') {
    warnOnce('RISK_URL_TRAILING_SLASH', `quon-risk-comm: ${key} "${value}" ends with "/": the library`
      + ` posts to "/" as given, not to "${servicePath}" (the service answers 404); leave the slash out`);
  } else if (rest !== '' && pathOnly !== servicePath) {
    warnOnce('RISK_URL_PATH', `quon-risk-comm: ${key} "${value}" has the path "${pathOnly}", not the`
      + ` service's "${servicePath}"; the library posts there as given (the service answers 404):`
      + ' give scheme://host[:port] only');
  }
}

// KEY_DELAY_MS_TIME as the library reads it: the leading whole number, from
// 1 to 30000 ms; anything else waits the default.
/** @param {string} value */
function checkDelay(value) {
  if (value === '') return;
  const waits = outcomes.delayMs(value);
  if (!/^\s*\+?\d+\s*$/.test(value) || Number(value) <= 0) {
    warnOnce('RISK_DELAY_NOT_A_NUMBER', `quon-risk-comm: KEY_DELAY_MS_TIME "${value}" is not a number of`
      + ` milliseconds above 0; the library waits ${waits} ms`);
  } else if (Number(value) > outcomes.kMaxDelayMs) {
    warnOnce('RISK_DELAY_BEYOND_CAP', `quon-risk-comm: KEY_DELAY_MS_TIME ${value.trim()} is beyond its cap;`
      + ` the library waits at most ${outcomes.kMaxDelayMs} ms`);
  }
}

/**
 * @param {Options | null} [options]
 * @returns {string[]}
 */
function settingPairs(options) {
  return checkSettings(toPairs(options));
}

// --- the library's log ---------------------------------------------------

const LOG_FILE_FLAGS = fs.constants.O_WRONLY | fs.constants.O_APPEND | fs.constants.O_CREAT
  | fs.constants.O_NONBLOCK | fs.constants.O_NOFOLLOW;

// What the native side takes for `log` (see index.d.ts): a word, a file
// descriptor or the function; undefined leaves the log where it goes. A
// file that cannot be opened warns once and sends the log to stderr, as
// RISK_LOG_FILE does.
/**
 * @param {import('./index').LogDestination | undefined} log
 * @returns {'off' | 'stderr' | 'default' | number | ((text: string, dropped: number) => void) | undefined}
 */
function logDestination(log) {
  if (log === undefined) return undefined;
  if (typeof log === 'function') return log;
  if (log === 'off' || log === 'stderr' || log === 'default') return log;
  if (log !== null && typeof log === 'object' && typeof log.file === 'string' && log.file !== '') {
    try {
      // Never closed: the library may log until the process ends.
      return fs.openSync(log.file, LOG_FILE_FLAGS, 0o644);
    } catch (e) {
      warnOnce('RISK_LOG_FILE_UNAVAILABLE', `cannot open the log file ${log.file} (${e.code || e.message}): `
        + 'the library\'s log goes to stderr');
      return 'stderr';
    }
  }
  throw new TypeError('log: "off", "stderr", "default", { file: PATH } or a function (text, dropped)');
}

// "setupNative": hands the bridge object, the facts and where the library's
// log goes to the library. Returns the SDK handle (a number), or 0 when the
// process was set up before.
/**
 * @param {Bridge} bridge
 * @param {AppInfo} appInfo
 * @param {DeviceInfo} device
 * @param {import('./index').SetupOptions} [options]
 * @returns {SdkHandle}
 */
function setup(bridge, appInfo, device, options) {
  const log = logDestination((options || {}).log);
  // The library gets a forwarder to the bridge, which notes each post's
  // outcome for getTokenDetailed.
  const handle = native().setupNative(outcomes.forwardingBridge(bridge), appInfo, device, log);
  outcomes.setWatching(handle !== 0);
  return handle;
}

// "init": replaces the options of application key appKey.
/**
 * @param {SdkHandle} handle
 * @param {string} appKey
 * @param {Options} [options]
 */
function init(handle, appKey, options) {
  checkAppKey(appKey);
  const pairs = settingPairs(options);
  outcomes.noteInit(appKey, pairs);
  return native().init(handle, appKey, pairs);
}

// The promise natives answer nothing for a call they refuse (an application
// key longer than 1 KiB, logged); the promise functions still answer a
// promise, of "".
/**
 * @param {Promise<string> | undefined} answer
 * @returns {Promise<string>}
 */
function promised(answer) {
  return answer instanceof Promise ? answer : Promise.resolve('');
}

// "getTokenNative": a promise of the device token ("" when none could be had).
/**
 * @param {SdkHandle} handle
 * @param {string} appKey
 * @param {Options} [options]
 * @returns {Promise<string>}
 */
function getToken(handle, appKey, options) {
  checkAppKey(appKey);
  return promised(native().getTokenNative(handle, appKey, settingPairs(options)));
}

// "getTokenNative", and what became of the call: a promise of { token, kind,
// code, cause, retry } (index.d.ts, TokenOutcome). Throws where getToken
// throws; resolves, never rejects.
/** @type {typeof import('./index').getTokenDetailed} */
function getTokenDetailed(handle, appKey, options) {
  checkAppKey(appKey);
  const pairs = settingPairs(options);
  const start = outcomes.mark();
  return native().getTokenNative(handle, appKey, pairs)
    .then((token) => outcomes.judge(appKey, token, pairs, start));
}

// "getDegradeTokenNative": a promise of a locally made degrade token, built
// with the call's options only.
/**
 * @param {SdkHandle} handle
 * @param {string} appKey
 * @param {Options} [options]
 * @returns {Promise<string>}
 */
function getDegradeToken(handle, appKey, options) {
  checkAppKey(appKey);
  return promised(native().getDegradeTokenNative(handle, appKey, settingPairs(options)));
}

// "getBusinessSignNative": a promise of the business sign of text.
/**
 * @param {SdkHandle} handle
 * @param {string} appKey
 * @param {Options} [options]
 * @param {string} [text]
 * @returns {Promise<string>}
 */
function getBusinessSign(handle, appKey, options, text = '') {
  checkAppKey(appKey);
  return promised(native().getBusinessSignNative(handle, appKey, settingPairs(options), String(text)));
}

// "isDegradeTokenNative": true for an empty token or one longer than 40 bytes.
/**
 * @param {SdkHandle} handle
 * @param {string} appKey
 * @param {string} token
 * @returns {boolean}
 */
function isDegradeToken(handle, appKey, token) {
  return native().isDegradeTokenNative(handle, appKey, String(token));
}

// "scheduleUpdateSituationNative": a situation report delayMs from now; the
// answer reaches the bridge's onSituationServerEvent. The process stays
// alive until the report has been sent.
/**
 * @param {SdkHandle} handle
 * @param {string} appKey
 * @param {Options} [options]
 * @param {number} [delayMs]
 */
function scheduleSituationUpdate(handle, appKey, options, delayMs = 0) {
  checkAppKey(appKey);
  return native().scheduleUpdateSituationNative(handle, appKey, settingPairs(options), Number(delayMs));
}

// "setSceneNative": stores the scene that business signs carry.
/**
 * @param {SdkHandle} handle
 * @param {string} appKey
 * @param {string} scene
 */
function setScene(handle, appKey, scene) {
  return native().setSceneNative(handle, appKey, String(scene));
}

// "readyToCallback": starts the delivery of runtime events.
/** @param {SdkHandle} handle */
function readyToCallback(handle) {
  return native().readyToCallback(handle);
}

/** @type {typeof import('./index')} */
module.exports = {
  load,
  toPairs,
  callerData,
  setup,
  init,
  getToken,
  getTokenDetailed,
  getDegradeToken,
  getBusinessSign,
  isDegradeToken,
  scheduleSituationUpdate,
  setScene,
  readyToCallback,
  createBridge,
  deviceInfo,
  libraryPath,
  packagedPlatforms,
  checkSettings,
  LibraryError,
  OptionsError,
  NATIVE_NAMES,
  SETTINGS,
  DEFAULT_LIBRARY: BUILD_TREE_LIBRARY,
};
