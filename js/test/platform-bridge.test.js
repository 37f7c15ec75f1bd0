'use strict';
// The reference Linux bridge (lib/bridge.js): the preference store under
// crashes and concurrent processes, post against a real HTTP server and its
// failure codes, and the machine facts.
const { test } = require('node:test');
const assert = require('node:assert');
const crypto = require('node:crypto');
const fs = require('node:fs');
const http = require('node:http');
const net = require('node:net');
const os = require('node:os');
const path = require('node:path');
const { spawn, spawnSync } = require('node:child_process');

const bridgeLib = require('../lib/bridge');

const { createBridge, createPrefStore, prefFileName } = bridgeLib;

function tempDir() {
  return fs.mkdtempSync(path.join(os.tmpdir(), 'risk-bridge-'));
}

const BRIDGE_PATH = path.join(__dirname, '..', 'lib', 'bridge.js');

// A child process that writes `name` over and over, alternating two values of
// `size` characters ('a'... and 'b'...), and prints "go" after its first write.
function startWriter(dir, name, size, letters) {
  const code = `
    const { createPrefStore } = require(${JSON.stringify(BRIDGE_PATH)});
    const store = createPrefStore(${JSON.stringify(dir)});
    const letters = ${JSON.stringify(letters)};
    let i = 0;
    store.put(${JSON.stringify(name)}, letters[0].repeat(${size}));
    process.stdout.write('go\\n');
    for (;;) { i += 1; store.put(${JSON.stringify(name)}, letters[i % letters.length].repeat(${size})); }
  `;
  const child = spawn(process.execPath, ['-e', code], { stdio: ['ignore', 'pipe', 'inherit'] });
  const started = new Promise((resolve, reject) => {
    child.stdout.once('data', () => resolve());
    child.once('exit', (c) => reject(new Error(`writer ended with ${c}`)));
  });
  return { child, started };
}

function isWhole(text, size, letters) {
  return text.length === size && letters.some((l) => text === l.repeat(size));
}

function killed(child) {
  return new Promise((resolve) => {
    if (child.exitCode !== null || child.signalCode !== null) resolve();
    else child.once('exit', () => resolve());
  });
}

// ---------------------------------------------------------------------------
// Preference store

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
  for (const [fault, stored] of [
    ['short-then-enospc', false], ['zero', false], ['close', false], ['rename', false],
    ['three-at-a-time', true],
  ]) {
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
    const { createPrefStore } = require(${JSON.stringify(BRIDGE_PATH)});
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

test('the warm-up of the first bridge leaves nothing behind and calls nothing of the app', () => {
  const dir = tempDir();
  // The process must end by itself: no socket, server or timer of the
  // warm-up outlives it. A wrapper put on after creation sees no call.
  const code = `
    const fs = require('node:fs');
    const { createBridge } = require(${JSON.stringify(BRIDGE_PATH)});
    let appCalls = 0;
    const bridge = createBridge({ prefsDir: ${JSON.stringify(dir)}, timeInfo: () => { appCalls += 1; return {}; } });
    let seen = 0;
    for (const name of Object.keys(bridge)) {
      const fn = bridge[name];
      if (typeof fn === 'function') bridge[name] = (...args) => { seen += 1; return fn(...args); };
    }
    process.on('exit', () => process.stdout.write(JSON.stringify({ appCalls, seen, files: fs.readdirSync(${JSON.stringify(dir)}) })));
  `;
  const run = spawnSync(process.execPath, ['-e', code], { encoding: 'utf8', timeout: 20000 });
  assert.strictEqual(run.status, 0, `${run.signal || ''} ${run.stderr}`);
  assert.deepStrictEqual(JSON.parse(run.stdout), { appCalls: 0, seen: 0, files: [] });
  fs.rmSync(dir, { recursive: true, force: true });
});

// ---------------------------------------------------------------------------
// post

function listen(handler) {
  return new Promise((resolve) => {
    const server = http.createServer(handler);
    server.listen(0, '127.0.0.1', () => resolve(server));
  });
}

function closeServer(server) {
  server.closeAllConnections();
  return new Promise((resolve) => server.close(() => resolve()));
}

test('post sends the bytes and answers { responseCode, resultType 2, result: ArrayBuffer }', async () => {
  const got = [];
  const server = await listen((req, res) => {
    const chunks = [];
    req.on('data', (c) => chunks.push(c));
    req.on('end', () => {
      got.push([req.method, req.url, Buffer.concat(chunks)]);
      res.statusCode = req.url.startsWith('/fail') ? 500 : 200;
      res.end(Buffer.from([0, 255, 10, 0]));
    });
  });
  try {
    const bridge = createBridge({ prefsDir: tempDir() });
    const base = `http://127.0.0.1:${server.address().port}`;
    const body = new Uint8Array([1, 2, 0, 200]).buffer;
    const ok = await bridge.post(`${base}/udid/m1?sign=x&appKey=k`, body);
    assert.strictEqual(ok.responseCode, 200);
    assert.strictEqual(ok.resultType, 2);
    assert.ok(ok.result instanceof ArrayBuffer);
    assert.deepStrictEqual([...new Uint8Array(ok.result)], [0, 255, 10, 0]);
    const failed = await bridge.post(`${base}/fail`, new ArrayBuffer(0));
    assert.strictEqual(failed.responseCode, 500);
    assert.deepStrictEqual(got.map((g) => [g[0], g[1], [...g[2]]]), [
      ['POST', '/udid/m1?sign=x&appKey=k', [1, 2, 0, 200]],
      ['POST', '/fail', []],
    ]);
  } finally {
    await closeServer(server);
  }
});

test('a post on a kept-open connection that the server drops goes once more on a new one', async () => {
  // Each connection answers its first request and drops at its second, as a
  // server does that closed an idle connection while the request was on its way.
  let connections = 0;
  const server = await listen((req, res) => {
    const socket = req.socket;
    socket.served = (socket.served || 0) + 1;
    if (socket.served === 1) connections += 1;
    req.resume();
    req.on('end', () => {
      if (socket.served > 1) socket.destroy();
      else res.end('ok');
    });
  });
  try {
    const bridge = createBridge({ prefsDir: tempDir(), warmUp: false });
    const url = `http://127.0.0.1:${server.address().port}/udid/m1`;
    for (let i = 0; i < 3; i++) {
      const answer = await bridge.post(url, new ArrayBuffer(2));
      assert.strictEqual(answer.responseCode, 200, `post ${i}`);
      assert.strictEqual(Buffer.from(answer.result).toString(), 'ok');
    }
    assert.strictEqual(connections, 3);
  } finally {
    await closeServer(server);
  }
});

test('post rejects with code 7 when the connection is refused and 28 when the time limit passes', async () => {
  // A port that was just free: nothing listens there.
  const port = await new Promise((resolve) => {
    const s = net.createServer().listen(0, '127.0.0.1', () => {
      const p = s.address().port;
      s.close(() => resolve(p));
    });
  });
  const bridge = createBridge({ prefsDir: tempDir(), postTimeoutMs: 300 });
  await assert.rejects(bridge.post(`http://127.0.0.1:${port}/`, new ArrayBuffer(1)),
    (e) => e.code === bridgeLib.POST_ERROR_CONNECT);

  // Answers the head, then never the rest of the body: the limit covers it.
  const server = await listen((req, res) => {
    res.writeHead(200, { 'content-length': '10' });
    res.write('12');
  });
  try {
    await assert.rejects(bridge.post(`http://127.0.0.1:${server.address().port}/`, new ArrayBuffer(1)),
      (e) => e.code === bridgeLib.POST_ERROR_TIMEOUT);
  } finally {
    await closeServer(server);
  }
  await assert.rejects(bridge.post('not a url', new ArrayBuffer(1)), (e) => e.code === bridgeLib.POST_ERROR_OTHER);
});

test('post stops reading an answer at its size limit and rejects with code 63', async () => {
  const kLimit = 1 << 20;
  const kEndless = 256 << 20;  // what the server would send if nobody stopped it
  const sent = [];
  const server = await listen((req, res) => {
    req.resume();
    req.on('end', () => {
      const size = Number(new URL(req.url, 'http://x').searchParams.get('size'));
      const declare = req.url.includes('declare');
      res.writeHead(200, declare ? { 'content-length': String(size) } : {});
      const chunk = Buffer.alloc(64 * 1024, 7);
      let written = 0;
      const record = () => sent.push({ url: req.url, written });
      const pump = () => {
        while (written < size) {
          const n = Math.min(chunk.length, size - written);
          written += n;
          if (!res.write(n === chunk.length ? chunk : chunk.subarray(0, n))) {
            res.once('drain', pump);
            return;
          }
        }
        res.end();
        record();
      };
      res.on('close', () => { if (written < size) record(); });
      pump();
    });
  });
  try {
    const bridge = createBridge({ prefsDir: tempDir(), maxResponseBytes: kLimit, postTimeoutMs: 20000 });
    const base = `http://127.0.0.1:${server.address().port}`;
    const atLimit = await bridge.post(`${base}/?size=${kLimit}`, new ArrayBuffer(1));
    assert.strictEqual(atLimit.result.byteLength, kLimit);
    for (const url of [`/?size=${kEndless}`, `/?declare&size=${kEndless}`]) {
      await assert.rejects(bridge.post(base + url, new ArrayBuffer(1)),
        (e) => e.code === bridgeLib.POST_ERROR_TOO_LARGE, url);
    }
    // The connection was closed long before the server got rid of everything.
    for (let i = 0; i < 200 && sent.length < 3; i += 1) await new Promise((r) => setTimeout(r, 10));
    assert.strictEqual(sent.length, 3);
    for (const s of sent.slice(1)) assert.ok(s.written < kEndless / 2, `${s.url}: ${s.written} bytes sent`);
  } finally {
    await closeServer(server);
  }
});

// ---------------------------------------------------------------------------
// Facts and notifications

test('device information has the 25 text and 7 integer members, and overrides win', () => {
  const info = bridgeLib.deviceInfo({ brand: 'Override' });
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

test('signature, advertising id and time information come from the options', () => {
  const plain = createBridge({ prefsDir: tempDir() });
  assert.strictEqual(plain.getAppSignature(), '');
  assert.strictEqual(plain.getOaid(), bridgeLib.ZERO_OAID);
  const t = JSON.parse(plain.getTimeInfo());
  assert.strictEqual(typeof t.timezone, 'string');
  const given = createBridge({ prefsDir: tempDir(), appSignature: 'AB:CD', oaid: 'id-1', timeInfo: () => ({ K201: '5' }) });
  assert.deepStrictEqual([given.getAppSignature(), given.getOaid(), given.getTimeInfo()], ['AB:CD', 'id-1', '{"K201":"5"}']);
});

test('situation events reach the handlers; a throwing handler is reported, not thrown', () => {
  const calls = [];
  const errors = [];
  const bridge = createBridge({
    prefsDir: tempDir(),
    onClientEvent: (...a) => calls.push(['client', ...a]),
    onServerEvent: () => { throw new Error('handler'); },
    onError: (e) => errors.push(e.message),
  });
  bridge.onSituationClientEvent('k', 3, 25, '');
  bridge.onSituationServerEvent('k', 'answer');
  assert.deepStrictEqual(calls, [['client', 'k', 3, 25, '']]);
  assert.deepStrictEqual(errors, ['handler']);
});
