// @ts-check
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
//   post(url, body)            HTTP POST (node:http, node:https, connections
//                              kept open) with a time limit and a size
//                              limit; a promise
//                              of { responseCode, resultType: 2, result:
//                              ArrayBuffer }, rejected with { code } (below)
//   prefPut(name, value)       synchronous file store write (answers true, or
//                              false when the write failed)
//   prefGet(name)              synchronous file store read ("" when absent)
//   getOsVersion()             synchronous: the system's name and version
//
// Preferences: one file per name in options.prefsDir. A write goes to a
// temporary file in the same directory and is renamed over the old file: a
// reader in any process sees either the old or the new value whole, also
// after the writing process crashes in the middle of a write; concurrent
// writers of one name leave the last renamed value. The new files and the
// directory are flushed to the disk (fsync) together, in the background,
// kFlushDelayMs after the first put that is not yet flushed (so that the
// puts of one exchange share one flush), and synchronously when the process
// exits before that: a put never waits for the disk. A value put is at once
// visible to every reader and survives a crash or kill of the process (the
// kernel holds it); what a power loss or a crash of the system can take is
// the puts of the last kFlushDelayMs and a few milliseconds before it; on
// file systems that order a rename after the data it replaces (ext4's
// default, XFS, Btrfs) the old value then stays.
// A put is whole or fails: a short write is continued, and any failure (a
// full disk, a failed close or rename) removes the temporary file and
// leaves the old value in place.
// Temporary files left by a crash are removed when a store opens.
//
// Rejection codes of post (the library reports minus the code as status):
//   6 the host name does not resolve   7 the connection failed
//   28 the time limit passed           56 the connection broke while receiving
//   63 the answer is longer than the size limit (reading stops there)
//   1 anything else (bad URL, unsupported protocol)
// A host under ".invalid" (the library's built-in addresses) is rejected
// with 6 at once, without a name lookup.

const crypto = require('node:crypto');
const fs = require('node:fs');
const http = require('node:http');
const https = require('node:https');
const net = require('node:net');
const os = require('node:os');
const path = require('node:path');
// The bridge's timers come from node:timers, never from the globals: the
// host's script may replace those (fake timers that run only when their
// clock is ticked), and a post's time limit or a preference flush must not
// wait for that.
const { clearTimeout, setImmediate, setTimeout } = require('node:timers');

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
// How long a put waits for others to share its flush to the disk.
const kFlushDelayMs = 100;
const ZERO_OAID = '00000000-0000-0000-0000-000000000000';

// The bridge's public types are declared in ../index.d.ts.
/**
 * @typedef {import('../index').BridgeOptions} BridgeOptions
 * @typedef {import('../index').ReferenceBridge} ReferenceBridge
 * @typedef {import('../index').DeviceInfo} DeviceInfo
 * @typedef {import('../index').PostAnswer} PostAnswer
 * @typedef {import('../index').PrefStore} PrefStore
 * @typedef {NonNullable<BridgeOptions['fs']>} FsImpl the file functions the store uses
 * @typedef {Error & { code: number, cause?: unknown }} PostError a rejection of post
 */

// ---------------------------------------------------------------------------
// Preference store.

// File name of a preference: "p-" + URL-safe Base64 of the name, or "h-" +
// SHA-256 of the name when that would be too long for the file system.
/**
 * @param {unknown} name
 * @returns {string}
 */
function prefFileName(name) {
  const encoded = Buffer.from(String(name), 'utf8').toString('base64url');
  if (encoded.length <= kMaxPlainFileName) return `p-${encoded}`;
  return `h-${crypto.createHash('sha256').update(String(name), 'utf8').digest('hex')}`;
}

/** @returns {string} */
function defaultPrefsDir() {
  const base = process.env.XDG_STATE_HOME || path.join(os.homedir(), '.local', 'state');
  return path.join(base, 'quon-risk-comm', 'prefs');
}

// Flushes path (a file or a directory) to the disk off the script thread
// (libuv's thread pool); calls done(err) once, err null on success.
/**
 * @param {FsImpl} fsImpl
 * @param {string} file
 * @param {(err: NodeJS.ErrnoException | null) => void} done
 */
function fsyncAsync(fsImpl, file, done) {
  fsImpl.open(file, 'r', (err, fd) => {
    if (err) {
      done(err);
      return;
    }
    fsImpl.fsync(fd, (syncErr) => fsImpl.close(fd, () => done(syncErr)));
  });
}

// Writes all of data to fd: write(2) may take only part of it (a disk that
// is filling up), and only a later call reports the error.
/**
 * @param {FsImpl} fsImpl
 * @param {number} fd
 * @param {Buffer} data
 */
function writeWhole(fsImpl, fd, data) {
  let done = 0;
  while (done < data.length) {
    const n = fsImpl.writeSync(fd, data, done, data.length - done);
    if (!(n > 0)) {
      const e = /** @type {NodeJS.ErrnoException} */ (new Error(`write of ${data.length} bytes stopped at ${done}`));
      e.code = 'EIO';
      throw e;
    }
    done += n;
  }
}

// Flushes path to the disk on the calling thread; the error, or null.
/**
 * @param {FsImpl} fsImpl
 * @param {string} file
 * @returns {NodeJS.ErrnoException | null}
 */
function fsyncNow(fsImpl, file) {
  let fd = -1;
  try {
    fd = fsImpl.openSync(file, 'r');
    fsImpl.fsyncSync(fd);
    return null;
  } catch (err) {
    return /** @type {NodeJS.ErrnoException} */ (err);
  } finally {
    if (fd >= 0) {
      try { fsImpl.closeSync(fd); } catch (e) { /* the flush itself is what counts */ }
    }
  }
}

// Stores with puts not yet on the disk: flushed on the calling thread when
// the process exits before their background flush ran.
/** @type {Set<() => void>} */
const storesToFlush = new Set();
let exitFlushHooked = false;
function hookExitFlush() {
  if (exitFlushHooked) return;
  exitFlushHooked = true;
  process.on('exit', () => {
    for (const f of storesToFlush) f();
    storesToFlush.clear();
  });
}
/** @param {() => void} flushSync */
function flushAtExit(flushSync) {
  storesToFlush.add(flushSync);
  hookExitFlush();
}

// The text of file, or "" when there is none. One read: a stored value is
// read on every token call. Anything else (a directory in the file's place,
// no permission) throws.
/**
 * @param {FsImpl} fsImpl
 * @param {string} file
 * @returns {string}
 */
function readIfPresent(fsImpl, file) {
  try {
    return fsImpl.readFileSync(file, 'utf8');
  } catch (e) {
    if (e.code === 'ENOENT') return '';
    throw e;
  }
}

let tempCounter = 0;

// Synchronous, crash-safe store of text values, one file per name. Safe to
// share between processes. fsImpl: the file functions of the writes, reads
// and flushes (Node's fs unless a test injects failures or records them); onFlushError(err) hears
// of a background flush that failed (default: ignored; the value itself is
// in place).
/**
 * @param {string} [dir]
 * @param {{ fsImpl?: FsImpl, onFlushError?: (err: Error) => void }} [options]
 * @returns {PrefStore}
 */
function createPrefStore(dir = defaultPrefsDir(), { fsImpl = fs, onFlushError = () => {} } = {}) {
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

  // File functions that cannot flush leave the flushes to Node's.
  const flushFs = ['open', 'fsync', 'close', 'openSync', 'fsyncSync', 'closeSync']
    .every((f) => typeof (/** @type {Record<string, unknown>} */ (fsImpl))[f] === 'function') ? fsImpl : fs;
  // Files renamed into place since the last flush, the files of the flush
  // under way, and the timer of the next one.
  /** @type {Set<string>} */
  const unflushed = new Set();
  /** @type {string[]} */
  let flushingFiles = [];
  /** @type {Promise<void> | null} */
  let flushing = null;
  /** @type {NodeJS.Timeout | null} */
  let timer = null;
  /** @param {NodeJS.ErrnoException | null} err */
  const report = (err) => {
    // A file replaced again by another process is that process's to flush;
    // some file systems cannot sync a directory (the renames stand).
    if (err && !['ENOENT', 'EINVAL', 'EISDIR'].includes(String(err.code))) onFlushError(err);
  };
  // What is left to flush when the process exits: on this thread.
  const flushSync = () => {
    const files = [...flushingFiles, ...unflushed];
    unflushed.clear();
    flushingFiles = [];
    if (files.length === 0) return;
    for (const file of files) report(fsyncNow(flushFs, file));
    report(fsyncNow(flushFs, dir));
  };
  // Flushes every renamed file, then the directory (which holds the
  // renames), in the background; puts made meanwhile join the next round.
  /** @returns {Promise<void>} */
  const flush = () => {
    if (timer) {
      clearTimeout(timer);
      timer = null;
    }
    if (flushing) return flushing;
    if (unflushed.size === 0) {
      storesToFlush.delete(flushSync);
      return Promise.resolve();
    }
    const files = [...unflushed];
    flushingFiles = files;
    unflushed.clear();
    flushing = /** @type {Promise<void>} */ (new Promise((resolve) => {
      let left = files.length;
      /** @param {NodeJS.ErrnoException | null} err */
      const fileDone = (err) => {
        report(err);
        left -= 1;
        if (left > 0) return;
        fsyncAsync(flushFs, dir, (dirErr) => {
          report(dirErr);
          resolve();
        });
      };
      for (const file of files) fsyncAsync(flushFs, file, fileDone);
    })).then(() => {
      flushing = null;
      flushingFiles = [];
      return flush();
    });
    return flushing;
  };

  /** @param {string} file */
  const tempName = (file) => {
    tempCounter += 1;
    return path.join(dir, `.${file}.${process.pid}.${tempCounter}.${process.hrtime.bigint()}.tmp`);
  };
  // Writes data to a temporary file and renames it over target: readers see
  // the old or the new value whole. Throws on a failed write (the old value
  // then stays in place, the temporary file is gone).
  /**
   * @param {Buffer} data
   * @param {string} target
   */
  const writeAndRename = (data, target) => {
    const temp = tempName(path.basename(target));
    let fd = -1;
    try {
      fd = fsImpl.openSync(temp, 'wx', 0o600);
      writeWhole(fsImpl, fd, data);
      const closing = fd;
      fd = -1;
      fsImpl.closeSync(closing);  // may report a deferred write error
      fsImpl.renameSync(temp, target);
    } catch (e) {
      if (fd >= 0) {
        try { fsImpl.closeSync(fd); } catch (e2) { /* the write error is the one to report */ }
      }
      try { fsImpl.unlinkSync(temp); } catch (e2) { /* never created */ }
      throw e;
    }
  };

  return {
    dir,
    pathOf(name) { return path.join(dir, prefFileName(name)); },
    // Writes the value to a temporary file and renames it over the old one:
    // readers see the old or the new value whole. Throws on a failed write
    // (the old value then stays in place). The flush to the disk follows in
    // the background (see kFlushDelayMs), so a put costs no disk wait on the
    // calling thread.
    put(name, value) {
      const file = prefFileName(name);
      writeAndRename(Buffer.from(String(value), 'utf8'), path.join(dir, file));
      unflushed.add(path.join(dir, file));
      flushAtExit(flushSync);
      if (!flushing && !timer) {
        timer = setTimeout(flush, kFlushDelayMs);
        timer.unref();  // the exit flushes what is left
      }
    },
    // The write path of a put, once, on a temporary name of its own that is
    // removed again: nothing stored changes.
    warmUp() {
      const target = tempName(prefFileName('warm-up'));
      writeAndRename(Buffer.from('0'), target);
      fsImpl.unlinkSync(target);
      hookExitFlush();
    },
    // Resolves once every value put so far has reached the disk.
    flush,
    // The stored text, or "" when the name has none.
    get(name) {
      return readIfPresent(fsImpl, path.join(dir, prefFileName(name)));
    },
  };
}

// ---------------------------------------------------------------------------
// Machine facts.

/**
 * @param {string} file
 * @returns {string} the trimmed text, "" when the file cannot be read
 */
function readText(file) {
  try {
    return fs.readFileSync(file, 'utf8').trim();
  } catch (e) {
    return '';
  }
}

// /etc/os-release (or /usr/lib/os-release) as { KEY: value }.
/**
 * @param {string} [root]
 * @returns {Record<string, string | undefined>}
 */
function readOsRelease(root = '') {
  const text = readText(path.join(root, '/etc/os-release')) || readText(path.join(root, '/usr/lib/os-release'));
  /** @type {Record<string, string>} */
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
/**
 * @param {string} code
 * @returns {string}
 */
function chassisDeviceType(code) {
  const n = Number.parseInt(code, 10);
  if ([8, 9, 10, 14, 31, 32].includes(n)) return 'laptop';
  if ([30].includes(n)) return 'tablet';
  if ([17, 23, 28, 29].includes(n)) return 'server';
  if ([3, 4, 5, 6, 7, 13, 15, 16, 35, 36].includes(n)) return 'desktop';
  return 'unknown';
}

/** @type {Record<string, string | undefined>} */
const ABI_OF_MACHINE = { x86_64: 'x86_64', aarch64: 'arm64-v8a', arm64: 'arm64-v8a', armv7l: 'armeabi-v7a', i686: 'x86' };

/**
 * @param {string | undefined} text
 * @returns {number} 0 for undefined and other texts that are no number
 */
function numberOr0(text) {
  const n = Number.parseInt(/** @type {string} */ (text), 10);  // undefined parses as NaN
  return Number.isFinite(n) ? n : 0;
}

// The device information object for "setupNative": the 25 string members
// and the 7 integer members the library reads, from this machine. Members
// given in `overrides` replace the machine's.
/**
 * @param {Partial<DeviceInfo>} [overrides]
 * @returns {DeviceInfo}
 */
function deviceInfo(overrides = {}) {
  const rel = readOsRelease();
  const dmi = (/** @type {string} */ name) => readText(`/sys/class/dmi/id/${name}`);
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
  /** @type {Required<DeviceInfo>} */
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
/** @returns {string} */
function osVersion() {
  const rel = readOsRelease();
  return rel.PRETTY_NAME || `${os.type()} ${os.release()}`;
}

// Names of UTC that Intl reports as "UTC".
const UTC_ALIASES = new Set(['UTC', 'UCT', 'GMT', 'GMT0', 'GMT+0', 'GMT-0', 'Greenwich', 'Universal',
  'Zulu'].flatMap((n) => [n, `Etc/${n}`]));

// The name of the machine's time zone ("Europe/Berlin") as TZ or the link
// /etc/localtime gives it, UTC's aliases as "UTC" (as Intl gives them);
// Intl itself only when neither names a zone (its first use in a process
// holds the thread for several milliseconds).
/** @returns {string} */
function timeZoneName() {
  let name = '';
  const tz = process.env.TZ;
  if (tz !== undefined) {
    if (/^:?[A-Za-z_]+(\/[A-Za-z0-9_+-]+)*$/.test(tz)) name = tz.replace(/^:/, '');
  } else {
    try {
      const m = /\/zoneinfo\/(.+)$/.exec(fs.readlinkSync('/etc/localtime'));
      if (m) name = m[1];
    } catch (e) {
      // Not a link: a copy of the zone file, or none.
    }
  }
  if (UTC_ALIASES.has(name)) return 'UTC';
  return name || Intl.DateTimeFormat().resolvedOptions().timeZone || '';
}

// The default time information: the time zone and its offset from UTC.
/** @returns {Record<string, string>} */
function defaultTimeInfo() {
  return {
    timezone: timeZoneName(),
    utcOffsetMinutes: String(-new Date().getTimezoneOffset()),
  };
}

// ---------------------------------------------------------------------------
// HTTP.

// Error codes of node:net, node:dns and node:http, by rejection code.
/** @type {Record<string, number | undefined>} */
const POST_ERROR_OF_SYSTEM_CODE = {
  ENOTFOUND: POST_ERROR_RESOLVE, EAI_AGAIN: POST_ERROR_RESOLVE, EAI_FAIL: POST_ERROR_RESOLVE,
  ECONNREFUSED: POST_ERROR_CONNECT, EHOSTUNREACH: POST_ERROR_CONNECT, ENETUNREACH: POST_ERROR_CONNECT,
  EADDRNOTAVAIL: POST_ERROR_CONNECT,
  ETIMEDOUT: POST_ERROR_TIMEOUT,
  ECONNRESET: POST_ERROR_RECEIVE, EPIPE: POST_ERROR_RECEIVE, ECONNABORTED: POST_ERROR_RECEIVE,
};

/**
 * @param {any} err
 * @returns {number}
 */
function postErrorCode(err) {
  if (err && err.code === POST_ERROR_TOO_LARGE) return POST_ERROR_TOO_LARGE;
  if (err && err.name === 'TimeoutError') return POST_ERROR_TIMEOUT;
  const code = err && (err.code || (err.cause && err.cause.code));
  return POST_ERROR_OF_SYSTEM_CODE[code] || POST_ERROR_OTHER;
}

// A rejection value the library reads: an Error with a numeric "code".
/**
 * @param {any} err
 * @returns {PostError}
 */
function postError(err) {
  const e = /** @type {PostError} */ (new Error(`post failed: ${err && err.message ? err.message : err}`));
  e.code = postErrorCode(err);
  e.cause = err;
  return e;
}

/** @type {Readonly<Record<number, string>>} */
const POST_ERROR_NAMES = Object.freeze({
  [POST_ERROR_RESOLVE]: 'resolve', [POST_ERROR_CONNECT]: 'connect', [POST_ERROR_TIMEOUT]: 'timeout',
  [POST_ERROR_RECEIVE]: 'receive', [POST_ERROR_TOO_LARGE]: 'too large', [POST_ERROR_OTHER]: 'other',
});

/**
 * @param {string} url
 * @returns {boolean}
 */
function invalidHost(url) {
  try {
    const host = new URL(url).hostname.toLowerCase().replace(/\.$/, '');
    return host === 'invalid' || host.endsWith('.invalid');
  } catch (e) {
    return false;  // the post reports the bad address
  }
}

// Connections are kept open between posts, as an app's HTTP stack does.
/** @type {Record<string, http.Agent | undefined>} */
const agents = {
  'http:': new http.Agent({ keepAlive: true, maxSockets: 4 }),
  'https:': new https.Agent({ keepAlive: true, maxSockets: 4 }),
};

// The first use of a code path in a process costs the script thread far
// more than its later uses (loading and compiling, the first set-up of the
// date and time-zone code and of the HTTP client: a millisecond or more
// each). The first bridge of a process walks its own paths once in the
// background, each step a task of its own on a later turn of the loop, so
// that the library's first calls do not meet those costs. Nothing waits for
// it; a call made meanwhile goes its own way.
let warmedUp = false;
/**
 * @param {PrefStore} store
 * @param {Array<() => unknown>} paths
 */
function warmUp(store, paths) {
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

// One POST through httpPost and the agent over loopback, to a server of its
// own; nothing of it outlives the answer (no socket, no listener).
function warmHttpClient() {
  const server = net.createServer((socket) => {
    socket.on('error', () => {});
    // An answer with a body, as the services give: its reading path warms too.
    socket.once('data', () => socket.end('HTTP/1.1 200 OK\r\nContent-Length: 1\r\nConnection: close\r\n\r\n0'));
  });
  server.on('error', () => {});
  server.unref();
  server.listen(0, '127.0.0.1', () => {
    const done = () => server.close();
    const { port } = /** @type {import('node:net').AddressInfo} */ (server.address());
    httpPost(`http://127.0.0.1:${port}/`, new ArrayBuffer(1), kDefaultPostTimeoutMs, 1024)
      .then(done, done);
  });
}

/**
 * @param {string} what
 * @param {number} maxBytes
 * @returns {PostError}
 */
function tooLarge(what, maxBytes) {
  const e = /** @type {PostError} */ (new Error(`answer ${what} is larger than ${maxBytes} bytes`));
  e.code = POST_ERROR_TOO_LARGE;
  return e;
}

/**
 * @param {number} ms
 * @returns {Error}
 */
function timeoutError(ms) {
  const e = new Error(`no answer within ${ms} ms`);
  e.name = 'TimeoutError';
  return e;
}

// POSTs body (an ArrayBuffer, or text) to url with node:http or node:https;
// the time limit covers the whole answer, which is read no further than
// maxBytes (a longer, or longer declared, answer closes the connection and
// rejects). Redirects are not followed.
/**
 * @param {string} url
 * @param {ArrayBuffer | string | null | undefined} body
 * @param {number} timeoutMs
 * @param {number} maxBytes
 * @returns {Promise<PostAnswer & { result: ArrayBuffer }>}
 */
function httpPost(url, body, timeoutMs, maxBytes) {
  return new Promise((resolve, reject) => {
    /** @type {URL} */
    let target;
    try {
      target = new URL(url);
      if (!agents[target.protocol]) throw new Error(`unsupported protocol ${target.protocol}`);
    } catch (err) {
      reject(postError(err));
      return;
    }
    const bytes = body instanceof ArrayBuffer ? Buffer.from(body) : Buffer.from(body || '');
    let done = false;
    /**
     * @param {Error | null} err
     * @param {PostAnswer & { result: ArrayBuffer }} [answer] when err is null
     */
    const finish = (err, answer) => {
      if (done) return;
      done = true;
      clearTimeout(timer);
      if (err) {
        request.destroy();
        reject(postError(err));
      } else {
        resolve(/** @type {PostAnswer & { result: ArrayBuffer }} */ (answer));
      }
    };
    const transport = target.protocol === 'https:' ? https : http;
    let retried = false;
    /** @returns {import('node:http').ClientRequest} */
    const send = () => transport.request(target, {
      method: 'POST',
      agent: agents[target.protocol],
      headers: { 'content-type': 'application/octet-stream', 'content-length': bytes.length },
    }, (res) => {
      const declared = Number(res.headers['content-length']);
      if (Number.isFinite(declared) && declared > maxBytes) {
        finish(tooLarge(`of ${declared} declared bytes`, maxBytes));
        return;
      }
      /** @type {Buffer[]} */
      const chunks = [];
      let size = 0;
      res.on('data', (chunk) => {
        size += chunk.length;
        if (size > maxBytes) finish(tooLarge('read so far', maxBytes));
        else chunks.push(chunk);
      });
      res.on('error', (err) => finish(err));
      res.on('aborted', () => finish(Object.assign(new Error('the answer was cut'), { code: 'ECONNRESET' })));
      res.on('end', () => {
        const whole = Buffer.concat(chunks);
        // Buffer.concat allocates: an ArrayBuffer, never a shared one.
        const result = /** @type {ArrayBuffer} */ (
          whole.buffer.slice(whole.byteOffset, whole.byteOffset + whole.length));
        // A response of a client request always has its status.
        const responseCode = /** @type {number} */ (res.statusCode);
        finish(null, { responseCode, resultType: RESULT_TYPE_ARRAY_BUFFER, result });
      });
    });
    // A kept-open connection the server has closed meanwhile breaks before
    // any answer: the post goes once more, on a new connection.
    /** @param {import('node:http').ClientRequest} sent */
    const watch = (sent) => {
      sent.on('error', (err) => {
        if (!done && !retried && sent.reusedSocket && /** @type {NodeJS.ErrnoException} */ (err).code === 'ECONNRESET') {
          retried = true;
          request = send();
          watch(request);
          request.end(bytes);
          return;
        }
        finish(err);
      });
    };
    let request = send();
    const timer = setTimeout(() => finish(timeoutError(timeoutMs)), timeoutMs);
    watch(request);
    request.end(bytes);
  });
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
//   warmUp            false: the first bridge of the process does not walk
//                     its paths once in the background (its functions
//                     without effects, a preference write to a temporary
//                     file, a loopback post), see warmUp
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
  };
  if (options.warmUp !== false && !warmedUp) {
    warmedUp = true;
    // The bridge's own functions as they are now: a caller that wraps them
    // afterwards sees none of these calls. Only those without effects, and
    // none that calls the app's code.
    const { getOaid, getAppSignature, getTimeInfo, prefGet } = bridge;
    const paths = [getOaid, getAppSignature, () => prefGet('warm-up:none')];
    if (typeof options.timeInfo !== 'function') paths.push(getTimeInfo);
    warmUp(store, paths);
  }
  return bridge;
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
  POST_ERROR_NAMES,
  ZERO_OAID,
  invalidHost,
};
