// @ts-check
'use strict';
// The preference store of the reference bridge (lib/pref-store.js) under
// crashes, failing disks and concurrent processes: names map to safe file
// names, a put is whole or fails, readers never see half a value, and the
// puts of one turn share one flush to the disk.
const { test } = require('node:test');
const assert = require('node:assert');
const crypto = require('node:crypto');
const fs = require('node:fs');
const path = require('node:path');
const { spawn, spawnSync } = require('node:child_process');

const { createBridge } = require('../lib/reference-bridge');
const { createPrefStore, prefFileName } = require('../lib/pref-store');
const helpers = require('./fixtures/helpers');

const tempDir = () => helpers.tempDir('pref-store');
const STORE_PATH = path.join(__dirname, '..', 'lib', 'pref-store.js');

// A child process that writes `name` over and over, alternating two values of
// `size` characters ('a'... and 'b'...), and prints "go" after its first write.
function startWriter(dir, name, size, letters) {
  const code = `
    const { createPrefStore } = require(${JSON.stringify(STORE_PATH)});
    const store = createPrefStore(${JSON.stringify(dir)});
    const letters = ${JSON.stringify(letters)};
    let i = 0;
    store.put(${JSON.stringify(name)}, letters[0].repeat(${size}));
    process.stdout.write('go\\n');
    for (;;) { i += 1; store.put(${JSON.stringify(name)}, letters[i % letters.length].repeat(${size})); }
  `;
  const child = spawn(process.execPath, ['-e', code], { stdio: ['ignore', 'pipe', 'inherit'] });
  const started = new Promise((/** @type {(value?: unknown) => void} */ resolve, reject) => {
    child.stdout.once('data', () => resolve());
    child.once('exit', (c) => reject(new Error(`writer ended with ${c}`)));
  });
  return { child, started };
}

function isWhole(text, size, letters) {
  return text.length === size && letters.some((l) => text === l.repeat(size));
}

function killed(child) {
  return new Promise((/** @type {(value?: unknown) => void} */ resolve) => {
    if (child.exitCode !== null || child.signalCode !== null) resolve();
    else child.once('exit', () => resolve());
  });
}

test('preference names map to distinct safe file names and read back', () => {
  const store = createPrefStore(tempDir());
  const names = ['', 'Scene', 'key:Scene', 'a/b', '../x', '.hidden', 'ключ', 'k'.repeat(500), 'k'.repeat(501)];
  const files = new Set(names.map(prefFileName));
  assert.strictEqual(files.size, names.length);
  for (const f of files) {
    assert.ok(f.length <= 255 && !f.includes('/') && !f.startsWith('.'), f);
  }
  names.forEach((n, i) => store.put(n, `value ${i} ✓`));
  names.forEach((n, i) => assert.strictEqual(store.get(n), `value ${i} ✓`));
  assert.strictEqual(store.get('never written'), '');
  store.put('Scene', '');
  assert.strictEqual(store.get('Scene'), '');
  assert.ok(fs.existsSync(store.pathOf('Scene')), 'an empty value is stored, not removed');
});

test('a writer killed in the middle of its writes leaves a whole value', async () => {
  const dir = tempDir();
  const size = 256 * 1024;
  const letters = ['a', 'b'];
  const seed = crypto.randomBytes(2).readUInt16LE();
  console.log(`# kill delays seed ${seed}`);
  for (let round = 0; round < 5; round++) {
    const { child, started } = startWriter(dir, 'shared', size, letters);
    await started;
    await new Promise((r) => setTimeout(r, 5 + ((seed + round * 37) % 60)));
    child.kill('SIGKILL');
    await killed(child);
    const text = createPrefStore(dir).get('shared');
    assert.ok(isWhole(text, size, letters), `round ${round}: ${text.length} characters`);
  }
});

test('readers in one process see only whole values while three processes write one name', async () => {
  const dir = tempDir();
  const size = 64 * 1024;
  const writers = [
    startWriter(dir, 'k', size, ['a', 'b']),
    startWriter(dir, 'k', size, ['c', 'd']),
    startWriter(dir, 'k', size, ['e', 'f']),
  ];
  try {
    await Promise.all(writers.map((w) => w.started));
    const store = createPrefStore(dir);
    const seen = new Set();
    const until = Date.now() + 400;
    let reads = 0;
    while (Date.now() < until) {
      const text = store.get('k');
      assert.ok(isWhole(text, size, ['a', 'b', 'c', 'd', 'e', 'f']), `read ${reads}: ${text.length} characters`);
      seen.add(text[0]);
      reads += 1;
      await new Promise((r) => setImmediate(r));
    }
    console.log(`# ${reads} reads, values of ${[...seen].sort().join('')}`);
    assert.ok(reads > 0);
  } finally {
    for (const w of writers) w.child.kill('SIGKILL');
    await Promise.all(writers.map((w) => killed(w.child)));
  }
});

test('temporary files of crashed writers are removed when they are stale, kept while fresh', () => {
  const dir = tempDir();
  const stale = path.join(dir, '.p-x.1.1.00.tmp');
  const fresh = path.join(dir, '.p-y.2.1.00.tmp');
  fs.writeFileSync(stale, 'half');
  fs.writeFileSync(fresh, 'half');
  const old = new Date(Date.now() - 3600 * 1000);
  fs.utimesSync(stale, old, old);
  createPrefStore(dir);
  assert.deepStrictEqual([fs.existsSync(stale), fs.existsSync(fresh)], [false, true]);
});

test('prefPut answers plainly; a failed write answers false, keeps the old value and is reported', () => {
  const dir = tempDir();
  const errors = [];
  const bridge = createBridge({ prefsDir: dir, onError: (e) => errors.push(e) });
  assert.strictEqual(bridge.prefPut('n', 'one'), true);
  assert.strictEqual(bridge.prefGet('n'), 'one');
  fs.chmodSync(dir, 0o500);
  try {
    const denied = process.getuid && process.getuid() !== 0;
    const answer = bridge.prefPut('n', 'two');
    if (denied) {
      assert.strictEqual(answer, false);
      assert.strictEqual(errors.length, 1);
      assert.strictEqual(bridge.prefGet('n'), 'one');
    }
  } finally {
    fs.chmodSync(dir, 0o700);
  }
  // A directory in place of the preference file makes both calls fail.
  fs.mkdirSync(path.join(dir, prefFileName('d')));
  assert.strictEqual(bridge.prefPut('d', 'x'), false);
  assert.strictEqual(bridge.prefGet('d'), '');
  assert.ok(errors.length >= 2);
  assert.deepStrictEqual(fs.readdirSync(dir).filter((f) => f.endsWith('.tmp')), []);
});

// The file functions of Node with one of the store's write steps failing
// the way a full or broken disk makes it fail.
/**
 * @param {string} fault
 * @returns {any}
 */
function faultyFs(fault) {
  const enospc = () => Object.assign(new Error('ENOSPC: no space left on device, write'), { code: 'ENOSPC' });
  const eio = (what) => Object.assign(new Error(`EIO: i/o error, ${what}`), { code: 'EIO' });
  let writes = 0;
  return {
    ...fs,
    writeSync(fd, data, offset = 0, length = data.length - offset) {
      writes += 1;
      switch (fault) {
        case 'short-then-enospc':  // the disk fills up in the middle of the value
          if (writes > 1) throw enospc();
          return fs.writeSync(fd, data, offset, Math.max(1, Math.floor(length / 2)));
        case 'zero':
          return 0;
        case 'three-at-a-time':  // short writes that do get there
          return fs.writeSync(fd, data, offset, Math.min(3, length));
        default:
          return fs.writeSync(fd, data, offset, length);
      }
    },
    closeSync(fd) {
      fs.closeSync(fd);
      if (fault === 'close') throw eio('close');
    },
    renameSync(from, to) {
      if (fault === 'rename') throw Object.assign(new Error('EXDEV: cross-device link'), { code: 'EXDEV' });
      return fs.renameSync(from, to);
    },
  };
}

test('a put is whole or fails: a full disk, a failed close or rename keep the old value', () => {
  const old = 'old value '.repeat(20);
  const fresh = 'new value '.repeat(30);
  for (const [fault, stored] of /** @type {Array<[string, boolean]>} */ ([
    ['short-then-enospc', false], ['zero', false], ['close', false], ['rename', false],
    ['three-at-a-time', true],
  ])) {
    const dir = tempDir();
    createBridge({ prefsDir: dir }).prefPut('n', old);
    const errors = [];
    const bridge = createBridge({ prefsDir: dir, fs: faultyFs(fault), onError: (e) => errors.push(e) });
    assert.strictEqual(bridge.prefPut('n', fresh), stored, fault);
    assert.strictEqual(createPrefStore(dir).get('n'), stored ? fresh : old, fault);
    assert.strictEqual(errors.length, stored ? 0 : 1, fault);
    assert.deepStrictEqual(fs.readdirSync(dir).filter((f) => f.endsWith('.tmp')), [], fault);
    fs.rmSync(dir, { recursive: true, force: true });
  }
});

// A child process whose store records every flush (fsync) it makes, then
// puts three values in one turn; with `exit` it ends at once, else it lives
// until the background flush has reached the directory. Prints the flushed names (the directory as
// ".") as JSON when the process exits.
function flushedByChild(dir, exit) {
  const code = `
    const fs = require('node:fs');
    const path = require('node:path');
    const { createPrefStore } = require(${JSON.stringify(STORE_PATH)});
    const dir = ${JSON.stringify(dir)};
    const names = new Map();
    const flushed = [];
    const name = (fd) => names.get(fd);
    const opened = (file, fd) => { names.set(fd, file === dir ? '.' : path.basename(file)); return fd; };
    const recording = {
      ...fs,
      openSync(file, ...rest) { return opened(file, fs.openSync(file, ...rest)); },
      open(file, flags, done) { fs.open(file, flags, (err, fd) => done(err, err ? fd : opened(file, fd))); },
      fsyncSync(fd) { flushed.push(['sync', name(fd)]); return fs.fsyncSync(fd); },
      fsync(fd, done) { flushed.push(['background', name(fd)]); return fs.fsync(fd, done); },
    };
    const store = createPrefStore(dir, { fsImpl: recording });
    for (const n of ['a', 'b', 'c']) store.put(n, n.repeat(10));
    process.on('exit', () => process.stdout.write(JSON.stringify(flushed)));
    // Without exit: lives until the directory's flush has begun.
    if (!${exit}) {
      const wait = setInterval(() => {
        if (flushed.some((f) => f[1] === '.')) clearInterval(wait);
      }, 5);
    }
  `;
  const run = spawnSync(process.execPath, ['-e', code], { encoding: 'utf8', timeout: 20000 });
  assert.strictEqual(run.status, 0, run.stderr);
  return JSON.parse(run.stdout);
}

test('puts of one turn share one flush: in the background, or at exit when the process ends first', () => {
  for (const exit of [false, true]) {
    const dir = tempDir();
    const flushed = flushedByChild(dir, exit);
    const files = ['a', 'b', 'c'].map(prefFileName);
    const how = exit ? 'sync' : 'background';
    // Every file once, then the directory that holds the renames; nothing
    // flushed twice and nothing on the other road.
    assert.deepStrictEqual(flushed.slice(0, 3).map((f) => f[1]).sort(), files.sort(), `exit ${exit}`);
    assert.deepStrictEqual(flushed.slice(3), [[how, '.']], `exit ${exit}`);
    assert.ok(flushed.every((f) => f[0] === how), `exit ${exit}: ${JSON.stringify(flushed)}`);
    for (const n of ['a', 'b', 'c']) assert.strictEqual(createPrefStore(dir).get(n), n.repeat(10));
    fs.rmSync(dir, { recursive: true, force: true });
  }
});
