// @ts-check
'use strict';
// The preference store of the reference bridge: synchronous, crash-safe
// text values, one file per name in a directory, safe to share between
// processes.
//
// A write goes to a temporary file in the same directory and is renamed
// over the old file: a reader in any process sees either the old or the new
// value whole, also after the writing process crashes in the middle of a
// write; concurrent writers of one name leave the last renamed value. The
// new files and the directory are flushed to the disk (fsync) together, in
// the background, kFlushDelayMs after the first put that is not yet flushed
// (so that the puts of one exchange share one flush), and synchronously
// when the process exits before that: a put never waits for the disk. A value put is at once
// visible to every reader and survives a crash or kill of the process (the
// kernel holds it); what a power loss or a crash of the system can take is
// the puts of the last kFlushDelayMs and a few milliseconds before it; on
// file systems that order a rename after the data it replaces (ext4's
// default, XFS, Btrfs) the old value then stays.
// A put is whole or fails: a short write is continued, and any failure (a
// full disk, a failed close or rename) removes the temporary file and
// leaves the old value in place.
// Temporary files left by a crash are removed when a store opens. Opening
// a store has no other effect: the process's exit handler (one for every
// store) is installed by the first put, or by warmUp().

const crypto = require('node:crypto');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
// The timers come from node:timers, never from the globals: the host's
// script may replace those (fake timers that run only when their clock is
// ticked), and a flush must not wait for that.
const { clearTimeout, setTimeout } = require('node:timers');

const kMaxPlainFileName = 200;  // longer encoded names are hashed
const kStaleTempMs = 10 * 60 * 1000;
// How long a put waits for others to share its flush to the disk.
const kFlushDelayMs = 100;

/**
 * @typedef {import('../index').PrefStore} PrefStore
 * @typedef {NonNullable<import('../index').BridgeOptions['fs']>} FsImpl the file functions the store uses
 */

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

module.exports = { createPrefStore, prefFileName, defaultPrefsDir };
