'use strict';
// The reference bridge object for Linux: the ten script functions the native
// library calls on the script thread, built from real parts of the machine.
//
//   getDeviceInfo(name)        one member of deviceInfo(), as text
//   getAppSignature()          options.appSignature
//   getOaid()                  options.oaid (advertising id)
//   getTimeInfo()              JSON object text of options.timeInfo
//   onSituationClientEvent(key, type, code, text)
//   onSituationServerEvent(key, text)
//                              handed to options.onClientEvent / onServerEvent
//   post(url, body)            HTTP POST with fetch, a time limit and a size
//                              limit; a promise of { responseCode, resultType:
//                              2, result: ArrayBuffer }, rejected with { code }
//                              (below)
//   prefPut(name, value)       synchronous file store write (answers true, or
//                              false when the write failed)
//   prefGet(name)              synchronous file store read ("" when absent)
//   getOsVersion()             synchronous: the system's name and version
//
// Preferences: one file per name in options.prefsDir. A write goes to a
// temporary file in the same directory, is flushed to the disk (fsync), then
// renamed over the old file and the directory is flushed: a reader in any
// process sees either the old or the new value whole, also after a crash in
// the middle of a write; concurrent writers of one name leave the last
// renamed value. A put is whole or fails: a short write is continued, and
// any failure (a full disk, a failed flush or rename) removes the temporary
// file and leaves the old value in place. Temporary files left by a crash
// are removed when a store opens.
//
// Rejection codes of post (the library reports minus the code as status):
//   6 the host name does not resolve   7 the connection failed
//   28 the time limit passed           56 the connection broke while receiving
//   63 the answer is longer than the size limit (reading stops there)
//   1 anything else (bad URL, unsupported protocol)

const crypto = require('crypto');
const fs = require('fs');
const os = require('os');
const path = require('path');

const POST_ERROR_RESOLVE = 6;
const POST_ERROR_CONNECT = 7;
const POST_ERROR_TIMEOUT = 28;
const POST_ERROR_RECEIVE = 56;
const POST_ERROR_TOO_LARGE = 63;
const POST_ERROR_OTHER = 1;
const RESULT_TYPE_ARRAY_BUFFER = 2;
const kDefaultPostTimeoutMs = 10000;
// Above the largest answer the library opens (a 4 MiB entry with its archive
// and cipher overhead), so that the library's own limit is the one that
// decides; far below what would strain the host.
const kDefaultMaxResponseBytes = 8 * 1024 * 1024;
const kMaxPlainFileName = 200;  // longer encoded names are hashed
const kStaleTempMs = 10 * 60 * 1000;
const ZERO_OAID = '00000000-0000-0000-0000-000000000000';

// ---------------------------------------------------------------------------
// Preference store.

// File name of a preference: "p-" + URL-safe Base64 of the name, or "h-" +
// SHA-256 of the name when that would be too long for the file system.
function prefFileName(name) {
  const encoded = Buffer.from(String(name), 'utf8').toString('base64url');
  if (encoded.length <= kMaxPlainFileName) return `p-${encoded}`;
  return `h-${crypto.createHash('sha256').update(String(name), 'utf8').digest('hex')}`;
}

function defaultPrefsDir() {
  const base = process.env.XDG_STATE_HOME || path.join(os.homedir(), '.local', 'state');
  return path.join(base, 'quon-risk-comm', 'prefs');
}

function fsyncDir(dir) {
  let fd = -1;
  try {
    fd = fs.openSync(dir, 'r');
    fs.fsyncSync(fd);
  } catch (e) {
    // Some file systems cannot sync a directory; the rename itself stands.
  } finally {
    if (fd >= 0) fs.closeSync(fd);
  }
}

let tempCounter = 0;

// Writes all of data to fd: write(2) may take only part of it (a disk that
// is filling up), and only a later call reports the error.
function writeWhole(fsImpl, fd, data) {
  let done = 0;
  while (done < data.length) {
    const n = fsImpl.writeSync(fd, data, done, data.length - done);
    if (!(n > 0)) {
      const e = new Error(`write of ${data.length} bytes stopped at ${done}`);
      e.code = 'EIO';
      throw e;
    }
    done += n;
  }
}

// Synchronous, crash-safe store of text values, one file per name. Safe to
// share between processes. fsImpl: the file functions used (Node's fs
// unless a test injects failures).
function createPrefStore(dir = defaultPrefsDir(), fsImpl = fs) {
  fsImpl.mkdirSync(dir, { recursive: true, mode: 0o700 });
  const now = Date.now();
  for (const entry of fsImpl.readdirSync(dir)) {
    if (!entry.startsWith('.') || !entry.endsWith('.tmp')) continue;
    const file = path.join(dir, entry);
    try {
      if (now - fsImpl.statSync(file).mtimeMs > kStaleTempMs) fsImpl.unlinkSync(file);
    } catch (e) {
      // Another process removed or renamed it first.
    }
  }

  return {
    dir,
    pathOf(name) { return path.join(dir, prefFileName(name)); },
    // Throws on a failed write (the old value then stays in place).
    put(name, value) {
      const file = prefFileName(name);
      tempCounter += 1;
      const temp = path.join(dir, `.${file}.${process.pid}.${tempCounter}.${crypto.randomBytes(4).toString('hex')}.tmp`);
      let fd = -1;
      try {
        fd = fsImpl.openSync(temp, 'wx', 0o600);
        writeWhole(fsImpl, fd, Buffer.from(String(value), 'utf8'));
        fsImpl.fsyncSync(fd);
        const closing = fd;
        fd = -1;
        fsImpl.closeSync(closing);  // may report a deferred write error
        fsImpl.renameSync(temp, path.join(dir, file));
      } catch (e) {
        if (fd >= 0) {
          try { fsImpl.closeSync(fd); } catch (e2) { /* the write error is the one to report */ }
        }
        try { fsImpl.unlinkSync(temp); } catch (e2) { /* never created */ }
        throw e;
      }
      fsyncDir(dir);
    },
    // The stored text, or "" when the name has none.
    get(name) {
      try {
        return fsImpl.readFileSync(path.join(dir, prefFileName(name)), 'utf8');
      } catch (e) {
        if (e.code === 'ENOENT') return '';
        throw e;
      }
    },
  };
}

// ---------------------------------------------------------------------------
// Machine facts.

function readText(file) {
  try {
    return fs.readFileSync(file, 'utf8').trim();
  } catch (e) {
    return '';
  }
}

// /etc/os-release (or /usr/lib/os-release) as { KEY: value }.
function readOsRelease(root = '') {
  const text = readText(path.join(root, '/etc/os-release')) || readText(path.join(root, '/usr/lib/os-release'));
  const out = {};
  for (const line of text.split('\n')) {
    const m = /^([A-Z0-9_]+)=(.*)$/.exec(line.trim());
    if (!m) continue;
    let v = m[2];
    if (/^(["']).*\1$/.test(v)) v = v.slice(1, -1).replace(/\\(["'$`\\])/g, '$1');
    out[m[1]] = v;
  }
  return out;
}

// SMBIOS chassis type (/sys/class/dmi/id/chassis_type) as a device type.
function chassisDeviceType(code) {
  const n = Number.parseInt(code, 10);
  if ([8, 9, 10, 14, 31, 32].includes(n)) return 'laptop';
  if ([30].includes(n)) return 'tablet';
  if ([17, 23, 28, 29].includes(n)) return 'server';
  if ([3, 4, 5, 6, 7, 13, 15, 16, 35, 36].includes(n)) return 'desktop';
  return 'unknown';
}

const ABI_OF_MACHINE = { x86_64: 'x86_64', aarch64: 'arm64-v8a', arm64: 'arm64-v8a', armv7l: 'armeabi-v7a', i686: 'x86' };

function numberOr0(text) {
  const n = Number.parseInt(text, 10);
  return Number.isFinite(n) ? n : 0;
}

// The device information object for "setupNative": the 25 string members
// and the 7 integer members the library reads, from this machine. Members
// given in `overrides` replace the machine's.
function deviceInfo(overrides = {}) {
  const rel = readOsRelease();
  const dmi = (name) => readText(`/sys/class/dmi/id/${name}`);
  const machine = os.machine();
  const kernel = os.release();                 // e.g. "6.1.0-18-amd64"
  const kernelVersion = os.version();          // e.g. "#1 SMP PREEMPT_DYNAMIC Debian 6.1.76-1 (2024-02-01)"
  const procVersion = readText('/proc/version');
  const builder = /\(([^@()\s]+)@([^()\s]+)\)/.exec(procVersion) || [];
  const buildTime = /\(([^()]*\d{4}[^()]*)\)\s*$/.exec(kernelVersion);
  const parts = kernel.split(/[.-]/);
  const cpus = os.cpus();
  const name = rel.NAME || os.type();
  const version = rel.VERSION || rel.VERSION_ID || kernel;
  const info = {
    deviceType: chassisDeviceType(dmi('chassis_type')),
    manufacture: dmi('sys_vendor'),
    brand: dmi('board_vendor') || dmi('sys_vendor'),
    marketName: dmi('product_name'),
    productSeries: dmi('product_family'),
    productModel: dmi('product_version') || dmi('product_name'),
    softwareModel: [rel.ID, rel.VERSION_ID].filter(Boolean).join('-'),
    hardwareModel: cpus.length > 0 ? cpus[0].model : machine,
    bootloaderVersion: dmi('bios_version'),
    abiList: ABI_OF_MACHINE[machine] || machine,
    securityPatchTag: buildTime ? buildTime[1] : '',
    displayVersion: rel.PRETTY_NAME || `${name} ${version}`,
    incrementalVersion: kernel,
    osReleaseType: rel.VERSION_CODENAME ? 'Release' : '',
    osFullName: `${name} ${version}`,
    versionId: rel.VERSION_ID || '',
    buildType: 'user',
    buildUser: builder[1] || '',
    buildHost: builder[2] || '',
    buildTime: buildTime ? buildTime[1] : '',
    buildRootHash: '',
    distributionOSName: name,
    distributionOSVersion: rel.VERSION_ID || '',
    distributionOSApiName: rel.VERSION_CODENAME || '',
    distributionOSReleaseType: 'Release',
    majorVersion: numberOr0(parts[0]),
    seniorVersion: numberOr0(parts[1]),
    featureVersion: numberOr0(parts[2]),
    buildVersion: numberOr0(parts[3]),
    sdkApiVersion: numberOr0(process.versions.napi),
    firstApiVersion: numberOr0(process.versions.napi),
    distributionOSApiVersion: numberOr0(rel.VERSION_ID),
  };
  return { ...info, ...overrides };
}

// The system's name and version ("Debian GNU/Linux 12 (bookworm)").
function osVersion() {
  const rel = readOsRelease();
  return rel.PRETTY_NAME || `${os.type()} ${os.release()}`;
}

// The default time information: the time zone and its offset from UTC.
function defaultTimeInfo() {
  return {
    timezone: Intl.DateTimeFormat().resolvedOptions().timeZone || '',
    utcOffsetMinutes: String(-new Date().getTimezoneOffset()),
  };
}

// ---------------------------------------------------------------------------
// HTTP.

function postErrorCode(err) {
  if (err && err.code === POST_ERROR_TOO_LARGE) return POST_ERROR_TOO_LARGE;
  if (err && (err.name === 'TimeoutError' || err.name === 'AbortError')) return POST_ERROR_TIMEOUT;
  const cause = err && err.cause;
  const code = cause && cause.code;
  if (code === 'ENOTFOUND' || code === 'EAI_AGAIN') return POST_ERROR_RESOLVE;
  if (code === 'ECONNREFUSED' || code === 'EHOSTUNREACH' || code === 'ENETUNREACH' || code === 'UND_ERR_CONNECT_TIMEOUT') {
    return POST_ERROR_CONNECT;
  }
  if (cause && cause.name === 'TimeoutError') return POST_ERROR_TIMEOUT;
  if (code === 'ECONNRESET' || code === 'UND_ERR_SOCKET' || code === 'EPIPE') return POST_ERROR_RECEIVE;
  return POST_ERROR_OTHER;
}

// A rejection value the library reads: an Error with a numeric "code".
function postError(err) {
  const e = new Error(`post failed: ${err && err.message ? err.message : err}`);
  e.code = postErrorCode(err);
  e.cause = err;
  return e;
}

function tooLarge(what, maxBytes) {
  const e = new Error(`answer ${what} is larger than ${maxBytes} bytes`);
  e.code = POST_ERROR_TOO_LARGE;
  return e;
}

// The body of res as an ArrayBuffer, read no further than maxBytes: a longer
// (or longer declared) answer cancels the stream, which closes the
// connection, and throws.
async function readBody(res, maxBytes) {
  const declared = Number(res.headers.get('content-length'));
  if (Number.isFinite(declared) && declared > maxBytes) {
    if (res.body) await res.body.cancel().catch(() => {});
    throw tooLarge(`of ${declared} declared bytes`, maxBytes);
  }
  if (!res.body) return new ArrayBuffer(0);
  const reader = res.body.getReader();
  const chunks = [];
  let size = 0;
  for (;;) {
    const { done, value } = await reader.read();
    if (done) break;
    size += value.byteLength;
    if (size > maxBytes) {
      await reader.cancel().catch(() => {});
      throw tooLarge('read so far', maxBytes);
    }
    chunks.push(value);
  }
  const out = new Uint8Array(size);
  let at = 0;
  for (const c of chunks) {
    out.set(c, at);
    at += c.byteLength;
  }
  return out.buffer;
}

async function httpPost(url, body, timeoutMs, maxBytes) {
  try {
    const res = await fetch(url, {
      method: 'POST',
      body: Buffer.from(body instanceof ArrayBuffer ? new Uint8Array(body) : Buffer.from(body || '')),
      headers: { 'content-type': 'application/octet-stream' },
      signal: AbortSignal.timeout(timeoutMs),
      redirect: 'manual',
    });
    const result = await readBody(res, maxBytes);
    return { responseCode: res.status, resultType: RESULT_TYPE_ARRAY_BUFFER, result };
  } catch (err) {
    throw postError(err);
  }
}

// ---------------------------------------------------------------------------
// The bridge object.

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
//   onError(err)      store write failures and handler exceptions
//                     (default: process.emitWarning)
function createBridge(options = {}) {
  const store = createPrefStore(options.prefsDir || defaultPrefsDir(), options.fs || fs);
  const timeoutMs = options.postTimeoutMs > 0 ? options.postTimeoutMs : kDefaultPostTimeoutMs;
  const maxResponseBytes = options.maxResponseBytes > 0 ? options.maxResponseBytes : kDefaultMaxResponseBytes;
  const report = options.onError || ((err) => process.emitWarning(err));
  let device = null;
  const deviceFacts = () => {
    if (device === null) device = deviceInfo(options.deviceInfo || {});
    return device;
  };
  const handlerCall = (fn, args) => {
    if (typeof fn !== 'function') return undefined;
    try {
      return fn(...args);
    } catch (err) {
      report(err);
      return undefined;
    }
  };

  return {
    store,
    deviceInfo: deviceFacts,
    getDeviceInfo(name) {
      const v = deviceFacts()[name];
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
    post(url, body) { return httpPost(url, body, timeoutMs, maxResponseBytes); },
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
  };
}

module.exports = {
  createBridge,
  createPrefStore,
  prefFileName,
  deviceInfo,
  osVersion,
  readOsRelease,
  POST_ERROR_RESOLVE,
  POST_ERROR_CONNECT,
  POST_ERROR_TIMEOUT,
  POST_ERROR_RECEIVE,
  POST_ERROR_TOO_LARGE,
  POST_ERROR_OTHER,
  ZERO_OAID,
};
