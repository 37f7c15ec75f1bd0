// @ts-check
'use strict';
// The reference bridge: the Node implementation, for Linux, of the ten
// script functions the native library calls on the script thread, built
// from real parts of the machine.
//
//   getDeviceInfo(name)        one member of deviceInfo(), as text
//   getAppSignature()          options.appSignature
//   getOaid()                  options.oaid (advertising id)
//   getTimeInfo()              JSON object text of options.timeInfo
//   onSituationClientEvent(key, type, code, text)
//   onSituationServerEvent(key, text)
//                              handed to options.onClientEvent / onServerEvent
//   post(url, body)            HTTP POST (http-post.js): a promise of
//                              { responseCode, resultType: 2, result:
//                              ArrayBuffer }, rejected with { code }; a
//                              host under ".invalid" (the library's
//                              built-in addresses) is rejected with 6 at
//                              once, without a name lookup
//   prefPut(name, value)       synchronous write to the preference store
//                              (pref-store.js): true, or false when the
//                              write failed
//   prefGet(name)              synchronous read ("" when absent)
//   getOsVersion()             synchronous: the system's name and version
//
// Making a bridge has no effect beyond opening its preference directory;
// bridge.warmUp() walks the bridge's paths once in the background (see
// warmUp below).

const fs = require('node:fs');
// The bridge's timers come from node:timers, never from the globals: the
// host's script may replace those (fake timers that run only when their
// clock is ticked), and the warm-up must not wait for that.
const { setImmediate } = require('node:timers');

const { createPrefStore, defaultPrefsDir } = require('./pref-store');
const { deviceInfo, osVersion, defaultTimeInfo } = require('./device-facts');
const {
  httpPost, postError, warmHttpClient, invalidHost, POST_ERROR_NAMES, kDefaultPostTimeoutMs,
  kDefaultMaxResponseBytes,
} = require('./http-post');

const ZERO_OAID = '00000000-0000-0000-0000-000000000000';

// The bridge's public types are declared in ../index.d.ts.
/**
 * @typedef {import('../index').BridgeOptions} BridgeOptions
 * @typedef {import('../index').ReferenceBridge} ReferenceBridge
 * @typedef {import('../index').DeviceInfo} DeviceInfo
 * @typedef {import('../index').PrefStore} PrefStore
 */

// The first use of a code path in a process costs the script thread far
// more than its later uses (loading and compiling, the first set-up of the
// date and time-zone code and of the HTTP client: a millisecond or more
// each). The first warmUp() of a process walks its bridge's paths once in
// the background, each step a task of its own on a later turn of the loop,
// so that the library's first calls do not meet those costs. Nothing waits
// for it; a call made meanwhile goes its own way. Later calls, of any
// bridge, do nothing.
let warmedUp = false;
/**
 * @param {PrefStore} store
 * @param {Array<() => unknown>} paths
 */
function warmUpPaths(store, paths) {
  const steps = [
    () => paths.forEach((f) => f()),
    () => store.warmUp(),
    warmHttpClient,
  ];
  const next = () => {
    try {
      const step = steps.shift();
      if (step) step();
    } catch (e) {
      // A step that fails only leaves its path cold.
    }
    if (steps.length > 0) setImmediate(next);
  };
  setImmediate(next);
}

// options:
//   prefsDir          preference directory (default $XDG_STATE_HOME or
//                     ~/.local/state, then quon-risk-comm/prefs)
//   appSignature      text of getAppSignature ("")
//   oaid              advertising id (the all-zero id: none)
//   timeInfo          object (or function returning one) for getTimeInfo
//   deviceInfo        members that replace the machine's in getDeviceInfo
//   postTimeoutMs     time limit of one post, body included (10000)
//   maxResponseBytes  size limit of one post's answer (8 MiB); reading stops
//                     there and the post is rejected with code 63
//   fs                file functions of the preference store (Node's fs);
//                     tests inject failures through it
//   onClientEvent(key, type, code, text), onServerEvent(key, text)
//   onPost(outcome)   after each post: { url, ms, httpStatus, bytes } or
//                     { url, ms, code, reason, message } for a rejection
//                     (reason: resolve, connect, timeout, receive, other)
//   onError(err)      store write failures and handler exceptions
//                     (default: process.emitWarning)
/**
 * @param {BridgeOptions} [options]
 * @returns {ReferenceBridge}
 */
function createBridge(options = {}) {
  const report = options.onError || ((/** @type {Error} */ err) => process.emitWarning(err));
  const store = createPrefStore(options.prefsDir || defaultPrefsDir(),
    { fsImpl: options.fs || fs, onFlushError: report });
  // Comparisons of undefined with 0 are false: the defaults apply.
  const timeoutMs = /** @type {number} */ (options.postTimeoutMs) > 0
    ? /** @type {number} */ (options.postTimeoutMs) : kDefaultPostTimeoutMs;
  const maxResponseBytes = /** @type {number} */ (options.maxResponseBytes) > 0
    ? /** @type {number} */ (options.maxResponseBytes) : kDefaultMaxResponseBytes;
  /** @type {DeviceInfo | null} */
  let device = null;
  const deviceFacts = () => {
    if (device === null) device = deviceInfo(options.deviceInfo || {});
    return device;
  };
  /**
   * @param {((...args: any[]) => unknown) | undefined} fn
   * @param {unknown[]} args
   * @returns {unknown}
   */
  const handlerCall = (fn, args) => {
    if (typeof fn !== 'function') return undefined;
    try {
      return fn(...args);
    } catch (err) {
      report(err);
      return undefined;
    }
  };

  /** @type {ReferenceBridge} */
  const bridge = {
    store,
    deviceInfo: deviceFacts,
    getDeviceInfo(name) {
      const v = deviceFacts()[/** @type {keyof DeviceInfo} */ (name)];
      return v === undefined || v === null ? '' : String(v);
    },
    getAppSignature() { return String(options.appSignature || ''); },
    getOaid() { return String(options.oaid || ZERO_OAID); },
    getTimeInfo() {
      const t = typeof options.timeInfo === 'function' ? options.timeInfo() : (options.timeInfo || defaultTimeInfo());
      return JSON.stringify(t);
    },
    onSituationClientEvent(key, type, code, text) {
      handlerCall(options.onClientEvent, [key, type, code, text]);
    },
    onSituationServerEvent(key, text) {
      handlerCall(options.onServerEvent, [key, text]);
    },
    post(url, body) {
      const started = Date.now();
      // Names under ".invalid" never resolve (RFC 6761): no lookup is made.
      const answer = invalidHost(url)
        ? Promise.reject(postError(Object.assign(new Error(`${url.split('?')[0]} never resolves`),
          { cause: { code: 'ENOTFOUND' } })))
        : httpPost(url, body, timeoutMs, maxResponseBytes);
      if (typeof options.onPost === 'function') {
        const tell = (/** @type {object} */ outcome) => handlerCall(options.onPost,
          [{ url, ms: Date.now() - started, ...outcome }]);
        answer.then((a) => tell({ httpStatus: a.responseCode, bytes: a.result.byteLength }),
          (e) => tell({ code: e.code, reason: POST_ERROR_NAMES[e.code], message: e.message }));
      }
      return answer;
    },
    prefPut(name, value) {
      try {
        store.put(name, value);
        return true;
      } catch (err) {
        report(err);
        return false;
      }
    },
    prefGet(name) {
      try {
        return store.get(name);
      } catch (err) {
        report(err);
        return '';
      }
    },
    getOsVersion() { return osVersion(); },
    // The first call in the process walks the paths in the background (its
    // functions without effects, a preference write to a temporary file, a
    // loopback post, the exit flush's handler); later calls do nothing.
    warmUp() {
      if (warmedUp) return;
      warmedUp = true;
      // The bridge's own functions as they are now: a caller that wraps them
      // afterwards sees none of these calls. Only those without effects, and
      // none that calls the app's code.
      const { getOaid, getAppSignature, getTimeInfo, prefGet } = bridge;
      const paths = [getOaid, getAppSignature, () => prefGet('warm-up:none')];
      if (typeof options.timeInfo !== 'function') paths.push(getTimeInfo);
      warmUpPaths(store, paths);
    },
  };
  return bridge;
}

module.exports = { createBridge, ZERO_OAID };
