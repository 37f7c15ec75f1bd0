// @ts-check
'use strict';
// The reference service: requests built here with Node crypto, xxtea-node,
// adm-zip and protobufjs must open, be recorded and be answered with sealed
// answers that open again; bad requests are refused; every fault mode gives
// what it names; the service closes so that this process exits by itself.

const test = require('node:test');
const assert = require('node:assert');
const crypto = require('node:crypto');
const fs = require('node:fs');
const http = require('node:http');
const os = require('node:os');
const path = require('node:path');
const { spawn, spawnSync } = require('node:child_process');
const AdmZip = require('adm-zip');

const { startService, TOKEN_PATH, SITUATION_PATH } = require('../service/service');
const { createScheme, sha1Hex, md5Hex, sm3Hex, urlEncode } = require('../lib/scheme');
const wire = require('../lib/wire');
const tokens = require('../lib/tokens');

const { describe, it, before, after, beforeEach } = test;

const SEED = Number.parseInt(process.env.SERVICE_TEST_SEED || String(Date.now() % 1000000), 10);
console.log(`service.test seed ${SEED}`);
// Small seeded generator (mulberry32) for request contents.
function rng(seed) {
  let a = seed >>> 0;
  return () => {
    a = (a + 0x6D2B79F5) >>> 0;
    let t = a;
    t = Math.imul(t ^ (t >>> 15), t | 1);
    t ^= t + Math.imul(t ^ (t >>> 7), t | 61);
    return ((t ^ (t >>> 14)) >>> 0) / 4294967296;
  };
}
const random = rng(SEED);

const APP_KEY = 'a3f9c2e1-service-test';
const HEADER = {
  sdk_version: '4.9.2',
  app_version_name: '1.0.3',
  app_version_code: 103,
  app_key: APP_KEY,
  os_type: 2,
  os_version: 'OpenHarmony-4.1',
  format_version: 1,
  app_name: 'com.example.shop',
  sdk_variant: 2,
};

/**
 * @param {string} url
 * @param {Buffer | string} body
 * @param {{ timeoutMs?: number }} [options]
 */
function post(url, body, { timeoutMs } = {}) {
  return new Promise((resolve, reject) => {
    const req = http.request(url, { method: 'POST', agent: false, headers: { 'Content-Length': body.length } }, (res) => {
      const chunks = [];
      res.on('data', (c) => chunks.push(c));
      res.on('end', () => resolve({ status: res.statusCode, body: Buffer.concat(chunks) }));
      res.on('error', reject);
    });
    req.on('error', reject);
    if (timeoutMs) req.setTimeout(timeoutMs, () => req.destroy(new Error('client timeout')));
    req.end(body);
  });
}

// One request as the library makes it: sign the payload, zip, seal, address.
/**
 * @param {string} base
 * @param {string} urlPath
 * @param {Buffer} payload
 * @param {{ alg?: string, appKey?: string, signOverride?: string }} [options]
 */
function buildRequest(base, urlPath, payload, { alg = 'legacy', appKey = APP_KEY, signOverride } = {}) {
  const scheme = createScheme(alg, appKey);
  const sign = signOverride || scheme.sign(payload);
  const url = wire.requestAddress(base + urlPath, {
    sign, appKey, app: HEADER.app_name, version: HEADER.sdk_version, alg: scheme.name,
  });
  return { url, body: wire.seal(scheme, payload), scheme };
}

/** @param {Record<string, string>} [entries] */
function tokenPayload(entries = { K2: 'dev-' + Math.floor(random() * 1e9), K58: 'install-1', K451: '1700000000000' }) {
  return wire.encodeTokenRequest({ header: HEADER, entries });
}

async function askToken(svc, opts = {}) {
  const payload = opts.payload || tokenPayload();
  const r = buildRequest(svc.url, TOKEN_PATH, payload, opts);
  const res = await post(r.url, r.body, opts);
  return { ...res, scheme: r.scheme, payload };
}

function openTokenAnswer(scheme, body) {
  const data = wire.open(scheme, body);
  assert.ok(data, 'answer opens under the request key');
  const msg = wire.decodeTokenResponse(data);
  assert.ok(msg, 'answer is a TokenResponse');
  return msg;
}

describe('cipher schemes built from Node crypto and xxtea-node', () => {
  it('derive their keys from the key text written three times', () => {
    const k = 'appkey-1';
    const gm = createScheme('gm', k);
    const legacy = createScheme('legacy', k);
    assert.strictEqual(gm.cipherKey.toString('hex'), crypto.createHash('sm3').update(k + k + k).digest('hex').slice(0, 32));
    assert.strictEqual(legacy.cipherKey.toString('ascii'), sha1Hex(k + k + k));
    assert.strictEqual(legacy.cipherKey.length, 40);
    assert.strictEqual(gm.kind, 0);
    assert.strictEqual(legacy.kind, 1);
  });

  it('sign the key text around the data, not an HMAC', () => {
    assert.strictEqual(createScheme('legacy', 'K').sign('data'), md5Hex('KdataK'));
    assert.strictEqual(createScheme('gm', 'K').sign('data'), sm3Hex('KdataK'));
    assert.strictEqual(createScheme('legacy', 'K').sign('x').length, 32);
    assert.strictEqual(createScheme('gm', 'K').sign('x').length, 64);
  });

  it('fall back to legacy for any name but exactly gm', () => {
    for (const name of ['', 'legacy', 'GM', 'gm ', 'sm4', undefined]) assert.strictEqual(createScheme(name, 'k').name, 'legacy');
  });

  it('give XXTEA the first 16 hex characters as ASCII key bytes', () => {
    const k = 'key';
    const keyAscii = Buffer.from(sha1Hex(k + k + k).slice(0, 16), 'ascii');
    const sealed = createScheme('legacy', k).encrypt('hello');
    assert.strictEqual(Buffer.from(require('xxtea-node').decrypt(new Uint8Array(sealed), new Uint8Array(keyAscii))).toString(), 'hello');
  });

  it('seal XXTEA with its length word: 1 byte to 8, 8 bytes to 12', () => {
    const s = createScheme('legacy', 'k');
    assert.strictEqual(s.encrypt(Buffer.alloc(1)).length, 8);
    assert.strictEqual(s.encrypt(Buffer.alloc(8)).length, 12);
    assert.strictEqual(s.encrypt(Buffer.alloc(0)), null);
    for (let n = 1; n <= 4; n++) assert.strictEqual(s.decrypt(Buffer.alloc(n, 7)), null, `decrypt of ${n} bytes`);
  });

  it('pad SM4 with PKCS#7: 15 bytes to 16, 16 to 32, 0 to 16', () => {
    const s = createScheme('gm', 'k');
    assert.strictEqual(s.encrypt(Buffer.alloc(15)).length, 16);
    assert.strictEqual(s.encrypt(Buffer.alloc(16)).length, 32);
    assert.strictEqual(s.decrypt(s.encrypt(Buffer.alloc(0))).length, 0);
    assert.strictEqual(s.decrypt(Buffer.alloc(17)), null);
  });

  it('reproduce the SM4 example of GB/T 32907 through the gm cipher', () => {
    // Standard example: key = plaintext = 0123456789abcdeffedcba9876543210.
    const key = Buffer.from('0123456789abcdeffedcba9876543210', 'hex');
    const c = crypto.createCipheriv('sm4-ecb', key, null);
    c.setAutoPadding(false);
    const out = Buffer.concat([c.update(key), c.final()]);
    assert.strictEqual(out.toString('hex'), '681edf34d206965e86b3e94f536e4246');
  });

  it('round-trip random payloads and refuse them under another key', () => {
    for (const alg of ['gm', 'legacy']) {
      for (let i = 0; i < 20; i++) {
        const p = crypto.randomBytes(1 + Math.floor(random() * 300));
        const s = createScheme(alg, `key-${i}`);
        assert.deepStrictEqual(s.decrypt(s.encrypt(p)), p);
        const other = createScheme(alg, `key-${i}x`).decrypt(s.encrypt(p), { lax: true });
        assert.ok(other === null || !other.equals(p), `${alg} payload ${i} opened under another key`);
      }
    }
  });

  it('reproduce the known answers the native schemes are tested with', () => {
    // Two cases of kVectors in crypto/cipher_scheme_test.cc (output of
    // `NODE_PATH=js/node_modules node crypto/testdata/gen_scheme_vectors.js`).
    const vectors = [
      ['346131623763323965356433663861303662326339643165', '504b0304207365616c65642072657175657374207061796c6f61642000ff',
        '15b7b7c1784b5977af0d760937bb773233a5654c', '344f3b29e0de6cca27162853da99ee8a',
        'e3530b90dcac1e471009ab86a5b6ebf2f0ba81debfdb7a47ae013e9292400466adc0e3da',
        'f61cac99a058c3bd430af154051a33da', '1927fda198c5c3331f43496de99f19fb9117727af8a88f8de0f76c70f876127b',
        '4e86f5203fa86a6edae97da8fbd4778b6b0b4df5d3362403722578e3c2bf67f5'],
      ['6b00e98041', '30313233343536373839616263646566',
        '216feaf427cf2519d6e7422d0ec2988664581f50', '4c1a075cfd2b94b13f399b307fbfa73c',
        '2b95b780b494b56655c5c4cfadd7e8cf325e5e1f',
        'ee76d49f496558ce9deadc0eb49f2d78', 'e0980ac1ba21123d2641b5b10accdcb3ef2ce2e28fb6b2ec18db7c49eddb4e07',
        '9d91033358b3f78dcf21133f061f305bf0f5780b54648785b740333c2a342be6'],
    ];
    for (const [key, payload, lKey, lSign, lSealed, gKey, gSign, gSealed] of vectors) {
      const k = Buffer.from(key, 'hex');
      const p = Buffer.from(payload, 'hex');
      const legacy = createScheme('legacy', k);
      assert.strictEqual(legacy.cipherKey.toString('ascii'), lKey);
      assert.strictEqual(legacy.sign(p), lSign);
      assert.strictEqual(legacy.encrypt(p).toString('hex'), lSealed);
      const gm = createScheme('gm', k);
      assert.strictEqual(gm.cipherKey.toString('hex'), gKey);
      assert.strictEqual(gm.sign(p), gSign);
      assert.strictEqual(gm.encrypt(p).toString('hex'), gSealed);
    }
  });

  it('agree with the committed XXTEA vectors, a 40-character key acting as its first 16', (t) => {
    const file = path.join(__dirname, '..', '..', 'crypto', 'testdata', 'xxtea_vectors.txt');
    if (!fs.existsSync(file)) return t.skip('crypto/testdata/xxtea_vectors.txt not present');
    const { xxteaEncrypt, xxteaDecrypt } = require('../lib/scheme');
    const un = (h) => (h === '-' ? null : Buffer.from(h, 'hex'));
    let longKeys = 0;
    let checked = 0;
    for (const line of fs.readFileSync(file, 'utf8').split('\n')) {
      const [op, keyHex, input, expected] = line.split(' ');
      if (op !== 'E' && op !== 'D') continue;
      let key = Buffer.from(keyHex, 'hex');
      if (key.length === 40) {
        key = key.subarray(0, 16);  // what the legacy scheme hands to XXTEA
        longKeys += 1;
      }
      if (key.includes(0)) continue;
      if (op === 'E') assert.deepStrictEqual(xxteaEncrypt(key, un(input)), un(expected), line);
      else assert.deepStrictEqual(xxteaDecrypt(key, un(input)), un(expected), line);
      checked += 1;
    }
    assert.ok(checked > 0 && longKeys > 0, `${checked} vectors, ${longKeys} with 40-character keys`);
    return undefined;
  });
});

describe('archive and messages built with adm-zip and protobufjs', () => {
  it('read only the entry named exactly data', () => {
    assert.deepStrictEqual(wire.unpackArchive(wire.packArchive(Buffer.from('abc'))), Buffer.from('abc'));
    assert.strictEqual(wire.unpackArchive(wire.packArchive(Buffer.from('abc'), 'Data')), null);
    assert.strictEqual(wire.unpackArchive(Buffer.from('not a zip')), null);
    assert.strictEqual(wire.unpackArchive(Buffer.alloc(0)), null);
  });

  it('write entries in byte-wise key order when given a map', () => {
    const r = wire.decodeTokenRequest(wire.encodeTokenRequest({ header: HEADER, entries: { K2: 'b', K10: 'a', Ka: 'c' } }));
    assert.deepStrictEqual(r.entries.map((e) => e[0]), ['K10', 'K2', 'Ka']);
  });

  it('encode a negative status as a ten-byte varint', () => {
    const bytes = wire.encodeTokenResponse({ status: -10006 });
    // field 3, varint: 0x18, then -10006 sign-extended to 64 bits.
    assert.ok(bytes.toString('hex').endsWith('18eab1ffffffffffffff01'));
  });

  it('refuse a TokenResponse that lacks its status', () => {
    const t = wire.type('TokenResponse');
    const noStatus = Buffer.from('08ea071200', 'hex');  // command 1002, body empty, no field 3
    assert.throws(() => t.decode(noStatus));
    assert.strictEqual(wire.decodeTokenResponse(noStatus), null);
  });
});

// The JS helpers against tools that share no code with them.
// A sanitizer runtime preloaded into the tests is not passed on to them.
function tool(cmd, args, input) {
  const env = { ...process.env };
  delete env.LD_PRELOAD;
  const r = spawnSync(cmd, args, { input, env, maxBuffer: 1 << 24 });
  if (r.error) return null;
  if (r.status !== 0) throw new Error(`${cmd} failed: ${r.stderr}`);
  return r.stdout;
}

describe('helpers against Python zipfile and protoc', () => {
  const ZIP_READ = 'import sys,zipfile,io\nz=zipfile.ZipFile(io.BytesIO(sys.stdin.buffer.read()))\n'
    + 'i=z.infolist()\nassert [e.filename for e in i]==["data"],i\nsys.stdout.buffer.write(z.read("data"))';
  const ZIP_WRITE = 'import sys,zipfile,io\nb=io.BytesIO()\nz=zipfile.ZipFile(b,"w",zipfile.ZIP_DEFLATED)\n'
    + 'z.writestr(sys.argv[1],sys.stdin.buffer.read())\nz.close()\nsys.stdout.buffer.write(b.getvalue())';

  it('write archives that zipfile reads as one entry data', (t) => {
    const payload = crypto.randomBytes(5000);
    const out = tool('python3', ['-c', ZIP_READ], wire.packArchive(payload));
    if (out === null) return t.skip('python3 not available');
    assert.deepStrictEqual(out, payload);
    return undefined;
  });

  it('read archives that zipfile writes, and only the entry data', (t) => {
    const payload = Buffer.from('x'.repeat(3000) + 'tail');
    const zip = tool('python3', ['-c', ZIP_WRITE, 'data'], payload);
    if (zip === null) return t.skip('python3 not available');
    assert.deepStrictEqual(wire.unpackArchive(zip), payload);
    assert.strictEqual(wire.unpackArchive(tool('python3', ['-c', ZIP_WRITE, 'Data'], payload)), null);
    return undefined;
  });

  it('encode a TokenRequest that protoc decodes field by field', (t) => {
    const bytes = wire.encodeTokenRequest({ header: { ...HEADER, ulvok: 'prev' }, entries: [['K2', 'v2']] });
    const text = tool('protoc', [`--proto_path=${path.dirname(wire.PROTO_PATH)}`, '--decode=risk.TokenRequest', 'risk.proto'], bytes);
    if (text === null) return t.skip('protoc not available');
    const s = text.toString();
    for (const line of ['sdk_version: "4.9.2"', 'app_version_code: 103', 'os_type: OS_TYPE_HARMONY', 'ulvok: "prev"', 'format_version: 1', 'command: COMMAND_TOKEN']) {
      assert.ok(s.includes(line), `protoc output lacks ${line}:\n${s}`);
    }
    return undefined;
  });

  it('decode a TokenResponse that protoc encodes', (t) => {
    const payload = tool('protoc', [`--proto_path=${path.dirname(wire.PROTO_PATH)}`, '--encode=risk.TokenPayload', 'risk.proto'],
      Buffer.from('ulvok: "tok-1" uuid: "u-1"'));
    if (payload === null) return t.skip('protoc not available');
    const text = `command: COMMAND_TOKEN status: STATUS_FAILED_10006 body: "${[...payload].map((b) => '\\' + b.toString(8).padStart(3, '0')).join('')}"`;
    const bytes = tool('protoc', [`--proto_path=${path.dirname(wire.PROTO_PATH)}`, '--encode=risk.TokenResponse', 'risk.proto'], Buffer.from(text));
    const msg = wire.decodeTokenResponse(bytes);
    assert.strictEqual(msg.command, 1002);
    assert.strictEqual(msg.status, -10006);
    assert.deepStrictEqual(msg.payload, { ulvok: 'tok-1', uuid: 'u-1' });
    assert.deepStrictEqual(wire.encodeTokenResponse({ status: -10006, ulvok: 'tok-1', uuid: 'u-1' }), bytes);
    return undefined;
  });
});

describe('token exchange', () => {
  let svc;
  let logFile;
  before(async () => {
    logFile = path.join(os.tmpdir(), `service-test-${process.pid}-${SEED}.jsonl`);
    svc = await startService({ port: 0, logFile });
  });
  after(async () => {
    await svc.close();
    fs.rmSync(logFile, { force: true });
  });
  beforeEach(async () => {
    await svc.setMode('normal');
    svc.configure({ uuid: undefined, token: undefined });
    svc.clear();
  });

  for (const alg of ['legacy', 'gm']) {
    it(`opens, records and answers a ${alg} request`, async () => {
      /** @type {Array<[string, string]>} */
      const entries = [['K10', 'ten'], ['K2', 'two'], ['K350', '[{"event":1}]'], ['user_city', 'Zürich']];
      const payload = wire.encodeTokenRequest({ header: HEADER, entries });
      const res = await askToken(svc, { alg, payload });
      assert.strictEqual(res.status, 200);
      const msg = openTokenAnswer(res.scheme, res.body);
      assert.strictEqual(msg.command, 1002);
      assert.strictEqual(msg.status, 0);
      assert.match(msg.payload.ulvok, /^[0-9a-f]{32}$/);
      assert.strictEqual(msg.payload.uuid, undefined);

      assert.strictEqual(svc.requests.length, 1);
      const rec = svc.requests[0];
      assert.strictEqual(rec.error, null);
      assert.strictEqual(rec.endpoint, 'token');
      assert.strictEqual(rec.scheme, alg);
      assert.strictEqual(rec.signOk, true);
      assert.strictEqual(rec.query.appKey, APP_KEY);
      assert.strictEqual(rec.query.alg, alg === 'gm' ? 'gm' : undefined);
      assert.strictEqual(rec.query.sign, res.scheme.sign(payload));
      assert.deepStrictEqual(rec.header, HEADER);
      assert.deepStrictEqual(rec.entries, entries);
      assert.strictEqual(rec.data.user_city, 'Zürich');
      assert.strictEqual(rec.answer.ulvok, msg.payload.ulvok);
    });
  }

  it('records which optional header fields were on the wire', async () => {
    const header = { sdk_version: '', app_version_name: '', app_key: APP_KEY, os_type: 2, os_version: '', format_version: 1, app_name: '' };
    const payload = wire.encodeTokenRequest({ header, entries: [] });
    await askToken(svc, { payload });
    const rec = svc.requests[0];
    assert.strictEqual(rec.error, null);
    assert.ok(!('ulvok' in rec.header), 'absent previous token stays absent');
    assert.ok(!('app_version_code' in rec.header));
    assert.ok(!('sdk_variant' in rec.header));
    assert.strictEqual(rec.header.sdk_version, '');
    assert.deepStrictEqual(rec.entries, []);
  });

  it('hands out a new installation id when configured', async () => {
    svc.configure({ uuid: 'f00dfeed-0000-4000-8000-000000000001' });
    const res = await askToken(svc, { alg: 'gm' });
    const msg = openTokenAnswer(res.scheme, res.body);
    assert.strictEqual(msg.payload.uuid, 'f00dfeed-0000-4000-8000-000000000001');
    assert.strictEqual(svc.requests[0].answer.uuid, msg.payload.uuid);
  });

  it('answers a fixed token when configured', async () => {
    svc.configure({ token: (rec) => `tok-${rec.seq}` });
    const res = await askToken(svc);
    assert.strictEqual(openTokenAnswer(res.scheme, res.body).payload.ulvok, `tok-${svc.requests[0].seq}`);
  });

  it('refuses a request whose signature does not match', async () => {
    const res = await askToken(svc, { signOverride: '0'.repeat(32) });
    assert.strictEqual(res.status, 400);
    assert.strictEqual(res.body.length, 0);
    const rec = svc.requests[0];
    assert.strictEqual(rec.signOk, false);
    assert.match(rec.error, /signature/);
  });

  it('refuses a request signed with the other scheme', async () => {
    const payload = tokenPayload();
    const r = buildRequest(svc.url, TOKEN_PATH, payload, { alg: 'gm' });
    const legacySign = createScheme('legacy', APP_KEY).sign(payload);
    const res = await post(r.url.replace(/sign=[0-9a-f]+/, `sign=${legacySign}`), r.body);
    assert.strictEqual(res.status, 400);
    assert.match(svc.requests[0].error, /signature/);
  });

  it('refuses a body sealed under another application key', async () => {
    const payload = tokenPayload();
    const r = buildRequest(svc.url, TOKEN_PATH, payload);
    const foreign = wire.seal(createScheme('legacy', 'someone-else'), payload);
    const res = await post(r.url, foreign);
    assert.strictEqual(res.status, 400);
    assert.match(svc.requests[0].error, /decrypt/);
  });

  it('refuses a request sealed without its archive', async () => {
    const payload = tokenPayload();
    const r = buildRequest(svc.url, TOKEN_PATH, payload);
    const res = await post(r.url, r.scheme.encrypt(payload));
    assert.strictEqual(res.status, 400);
    assert.match(svc.requests[0].error, /entry "data"/);
  });

  it('refuses a command other than 1002 and records it', async () => {
    const payload = wire.encodeTokenRequest({ header: HEADER, command: 1003, entries: [['K2', 'x']] });
    const res = await askToken(svc, { payload });
    assert.strictEqual(res.status, 400);
    assert.strictEqual(svc.requests[0].command, 1003);
    assert.match(svc.requests[0].error, /command 1003/);
  });

  it('refuses a payload that is not a TokenRequest', async () => {
    const res = await askToken(svc, { payload: Buffer.from('plain text, not a message') });
    assert.strictEqual(res.status, 400);
    assert.match(svc.requests[0].error, /TokenRequest/);
  });

  it('reads the query after an address that already held one', async () => {
    const payload = tokenPayload();
    const r = buildRequest(`${svc.url}${TOKEN_PATH}?region=eu`, '', payload, { alg: 'gm' });
    assert.ok(r.url.includes('?region=eu?sign='));
    const res = await post(r.url, r.body);
    assert.strictEqual(res.status, 200);
    assert.strictEqual(svc.requests[0].query.region, 'eu');
    assert.strictEqual(svc.requests[0].scheme, 'gm');
  });

  it('decodes form-encoded query values', async () => {
    const appKey = 'key with space+plus/é';
    const res = await askToken(svc, { appKey });
    assert.strictEqual(res.status, 200);
    assert.strictEqual(svc.requests[0].query.appKey, appKey);
    assert.ok(svc.requests[0].url.includes(`appKey=${urlEncode(appKey)}`));
  });

  it('answers 404 for another path and records it', async () => {
    const res = await post(`${svc.url}/udid/other`, Buffer.from('x'));
    assert.strictEqual(res.status, 404);
    assert.match(svc.requests[0].error, /unknown path/);
  });

  it('writes every record as one JSON line', async () => {
    const before = fs.existsSync(logFile) ? fs.readFileSync(logFile, 'utf8').split('\n').filter(Boolean).length : 0;
    await askToken(svc);
    await askToken(svc, { signOverride: 'bad' });
    const lines = fs.readFileSync(logFile, 'utf8').split('\n').filter(Boolean).slice(before);
    assert.strictEqual(lines.length, 2);
    const recs = lines.map((l) => JSON.parse(l));
    assert.strictEqual(recs[0].error, null);
    assert.strictEqual(recs[0].header.app_key, APP_KEY);
    assert.ok(Array.isArray(recs[0].entries));
    assert.match(recs[1].error, /signature/);
  });
});

describe('situation report', () => {
  let svc;
  before(async () => { svc = await startService({ port: 0 }); });
  after(async () => { await svc.close(); });
  beforeEach(async () => {
    await svc.setMode('normal');
    svc.clear();
  });

  for (const alg of ['legacy', 'gm']) {
    it(`opens a ${alg} report and answers a sealed text`, async () => {
      const report = '{"K350": "[]", "os_type": "2", "ulvok": "abc", "version": "4.9.2"}';
      const r = buildRequest(svc.url, SITUATION_PATH, Buffer.from(report), { alg });
      const res = await post(r.url, r.body);
      assert.strictEqual(res.status, 200);
      const answer = wire.open(r.scheme, res.body);
      assert.deepStrictEqual(JSON.parse(answer.toString()), { code: 0, seq: svc.requests[0].seq });
      const rec = svc.requests[0];
      assert.strictEqual(rec.endpoint, 'situation');
      assert.strictEqual(rec.body, report);
      assert.deepStrictEqual(rec.json, { K350: '[]', os_type: '2', ulvok: 'abc', version: '4.9.2' });
    });
  }

  it('accepts an empty report', async () => {
    const r = buildRequest(svc.url, SITUATION_PATH, Buffer.alloc(0), { alg: 'gm' });
    const res = await post(r.url, r.body);
    assert.strictEqual(res.status, 200);
    assert.strictEqual(svc.requests[0].body, '');
    assert.strictEqual(svc.requests[0].json, null);
  });

  it('answers the configured text', async () => {
    svc.configure({ situationAnswer: 'pong' });
    const r = buildRequest(svc.url, SITUATION_PATH, Buffer.from('{}'));
    const res = await post(r.url, r.body);
    assert.strictEqual(wire.open(r.scheme, res.body).toString(), 'pong');
    svc.configure({ situationAnswer: undefined });
  });

  it('answers normally in the token-only modes', async () => {
    await svc.setMode('status');
    const r = buildRequest(svc.url, SITUATION_PATH, Buffer.from('{}'));
    const res = await post(r.url, r.body);
    assert.ok(wire.open(r.scheme, res.body));
    assert.strictEqual(svc.requests[0].answer.mode, 'normal');
  });
});

describe('fault modes', () => {
  let svc;
  before(async () => { svc = await startService({ port: 0 }); });
  after(async () => { await svc.close(); });
  beforeEach(async () => {
    await svc.setMode('normal');
    svc.clear();
  });

  it('down refuses connections and normal listens again on the same port', async () => {
    const port = svc.port;
    await svc.setMode('down');
    await assert.rejects(askToken(svc), (/** @type {any} */ e) => e.code === 'ECONNREFUSED');
    await svc.setMode('normal');
    assert.strictEqual(svc.port, port);
    assert.strictEqual((await askToken(svc)).status, 200);
  });

  it('http500 answers status 500 with an empty body', async () => {
    await svc.setMode('http500');
    const res = await askToken(svc);
    assert.strictEqual(res.status, 500);
    assert.strictEqual(res.body.length, 0);
    assert.strictEqual(svc.requests[0].error, null, 'the request itself was fine');
  });

  it('slow answers normally, no sooner than the delay', async () => {
    await svc.setMode('slow', { delayMs: 150 });
    const t0 = Date.now();
    const res = await askToken(svc, { alg: 'gm' });
    // A lower bound only: a busy machine can make it later, never sooner.
    assert.ok(Date.now() - t0 >= 140, `answered after ${Date.now() - t0} ms`);
    assert.strictEqual(openTokenAnswer(res.scheme, res.body).status, 0);
  });

  it('empty answers 200 with no body', async () => {
    await svc.setMode('empty');
    const res = await askToken(svc);
    assert.strictEqual(res.status, 200);
    assert.strictEqual(res.body.length, 0);
  });

  for (const alg of ['legacy', 'gm']) {
    it(`random answers bytes that do not open (${alg})`, async () => {
      await svc.setMode('random', { length: 64 });
      const res = await askToken(svc, { alg });
      assert.strictEqual(res.status, 200);
      assert.strictEqual(res.body.length, 64);
      assert.strictEqual(res.scheme.decrypt(res.body, { lax: true }), null);
    });

    it(`wrongkey seals a good answer under another key (${alg})`, async () => {
      await svc.setMode('wrongkey');
      const res = await askToken(svc, { alg });
      assert.strictEqual(res.scheme.decrypt(res.body, { lax: true }), null);
      const other = createScheme(alg, svc.requests[0].answer.key);
      assert.notStrictEqual(other.keyText, APP_KEY);
      assert.strictEqual(openTokenAnswer(other, res.body).status, 0);
    });
  }

  it('nonzip seals the answer message without an archive', async () => {
    await svc.setMode('nonzip');
    const res = await askToken(svc, { alg: 'gm' });
    const plain = res.scheme.decrypt(res.body);
    assert.ok(plain && plain.length > 0);
    assert.strictEqual(wire.unpackArchive(plain), null);
    assert.strictEqual(wire.decodeTokenResponse(plain).status, 0);
  });

  it('wrongentry names the only entry Data', async () => {
    await svc.setMode('wrongentry');
    const res = await askToken(svc);
    const zip = new AdmZip(res.scheme.decrypt(res.body));
    assert.deepStrictEqual(zip.getEntries().map((e) => e.entryName), ['Data']);
    assert.strictEqual(wire.open(res.scheme, res.body), null);
  });

  it('emptyentry sends an archive whose data entry is empty', async () => {
    await svc.setMode('emptyentry');
    const res = await askToken(svc);
    assert.strictEqual(wire.open(res.scheme, res.body).length, 0);
  });

  it('badproto sends an archive that holds no TokenResponse', async () => {
    await svc.setMode('badproto');
    const res = await askToken(svc);
    const data = wire.open(res.scheme, res.body);
    assert.ok(data && data.length > 0);
    assert.strictEqual(wire.decodeTokenResponse(data), null);
  });

  it('status answers -10006 by default, any status when told', async () => {
    await svc.setMode('status');
    let res = await askToken(svc);
    let msg = openTokenAnswer(res.scheme, res.body);
    assert.strictEqual(msg.status, -10006);
    assert.strictEqual(msg.command, 1002);
    await svc.setMode('status', { status: -10002 });
    res = await askToken(svc, { alg: 'gm' });
    msg = openTokenAnswer(res.scheme, res.body);
    assert.strictEqual(msg.status, -10002);
  });

  it('wrongcommand answers command 1001 with a good token', async () => {
    await svc.setMode('wrongcommand');
    const res = await askToken(svc);
    const msg = openTokenAnswer(res.scheme, res.body);
    assert.strictEqual(msg.command, 1001);
    assert.strictEqual(msg.status, 0);
    assert.match(msg.payload.ulvok, /^[0-9a-f]{32}$/);
  });

  it('nobody answers success with an empty body field', async () => {
    await svc.setMode('nobody');
    const res = await askToken(svc);
    const msg = openTokenAnswer(res.scheme, res.body);
    assert.strictEqual(msg.status, 0);
    assert.strictEqual(msg.body.length, 0);
  });

  it('a mode given times reverts to normal after that many requests', async () => {
    await svc.setMode('http500', { times: 2 });
    const statuses = [];
    for (let i = 0; i < 3; i++) statuses.push((await askToken(svc)).status);
    assert.deepStrictEqual(statuses, [500, 500, 200]);
    assert.strictEqual(svc.mode().name, 'normal');
  });

  it('a mode limited to one endpoint leaves the other alone', async () => {
    await svc.setMode('http500', { endpoint: 'situation' });
    assert.strictEqual((await askToken(svc)).status, 200);
    const r = buildRequest(svc.url, SITUATION_PATH, Buffer.from('{}'));
    assert.strictEqual((await post(r.url, r.body)).status, 500);
  });

  it('a bad request is refused whatever the mode', async () => {
    await svc.setMode('hang');
    const res = await askToken(svc, { signOverride: 'bad' });
    assert.strictEqual(res.status, 400);
  });

  it('rejects an unknown mode', async () => {
    await assert.rejects(svc.setMode('sometimes'), /unknown mode/);
    assert.strictEqual(svc.mode().name, 'normal');
  });
});

describe('service lifetime', () => {
  it('hang never answers, and close ends the open connection', async () => {
    const svc = await startService({ port: 0, mode: 'hang' });
    const pending = askToken(svc).then(() => 'answered', (e) => e.code || e.message);
    const recs = await svc.waitForRequests(1);
    assert.strictEqual(recs.length, 1);
    assert.strictEqual(recs[0].answer.mode, 'hang');
    let settled = false;
    pending.then(() => { settled = true; });
    await new Promise((r) => setImmediate(r));
    assert.strictEqual(settled, false, 'no answer while hanging');
    await svc.close();
    assert.strictEqual(await pending, 'ECONNRESET');
  });

  it('close ends a slow answer without waiting for it', async () => {
    const svc = await startService({ port: 0, mode: { name: 'slow', delayMs: 60000 } });
    const pending = askToken(svc).then(() => 'answered', (e) => e.code || e.message);
    await svc.waitForRequests(1);
    await svc.close();
    assert.strictEqual(await pending, 'ECONNRESET');
  });

  it('close resolves pending waits and can be called twice', async () => {
    const svc = await startService({ port: 0 });
    const wait = svc.waitForRequests(5, 60000);
    await svc.close();
    assert.deepStrictEqual(await wait, []);
    await svc.close();
  });

  it('starts down with a port reserved, and comes up on it', async () => {
    const svc = await startService({ port: 0, mode: 'down' });
    await assert.rejects(askToken(svc), (/** @type {any} */ e) => e.code === 'ECONNREFUSED');
    await svc.setMode('normal');
    assert.strictEqual((await askToken(svc)).status, 200);
    await svc.close();
  });
});

describe('admin endpoint', () => {
  let svc;
  before(async () => { svc = await startService({ port: 0 }); });
  after(async () => { await svc.close(); });

  function adminCall(method, what, obj) {
    return new Promise((resolve, reject) => {
      const body = obj === undefined ? '' : JSON.stringify(obj);
      const req = http.request(`${svc.url}/__admin/${what}`, { method, agent: false }, (res) => {
        const chunks = [];
        res.on('data', (c) => chunks.push(c));
        res.on('end', () => resolve({ status: res.statusCode, json: JSON.parse(Buffer.concat(chunks).toString()) }));
      });
      req.on('error', reject);
      req.end(body);
    });
  }

  it('switches modes, lists and clears requests', async () => {
    assert.strictEqual((await adminCall('POST', 'mode', { mode: 'status', status: -10006 })).status, 200);
    assert.strictEqual((await adminCall('GET', 'mode')).json.mode.name, 'status');
    const res = await askToken(svc);
    assert.strictEqual(openTokenAnswer(res.scheme, res.body).status, -10006);
    const listed = (await adminCall('GET', 'requests')).json;
    assert.strictEqual(listed.length, 1);
    assert.strictEqual(listed[0].header.app_key, APP_KEY);
    await adminCall('POST', 'clear');
    assert.strictEqual((await adminCall('GET', 'requests')).json.length, 0);
    assert.strictEqual((await adminCall('POST', 'mode', { mode: 'nonsense' })).status, 400);
  });

  it('sets the installation id to hand out', async () => {
    await adminCall('POST', 'mode', { mode: 'normal' });
    await adminCall('POST', 'config', { uuid: 'from-admin' });
    const res = await askToken(svc, { alg: 'gm' });
    assert.strictEqual(openTokenAnswer(res.scheme, res.body).payload.uuid, 'from-admin');
    await adminCall('POST', 'config', { uuid: null });
  });

  it('goes down for a while and comes back by itself', async () => {
    await adminCall('POST', 'mode', { mode: 'down', durationMs: 200 });
    await assert.rejects(askToken(svc), (/** @type {any} */ e) => e.code === 'ECONNREFUSED');
    let status = null;
    for (let i = 0; i < 100 && status === null; i++) {
      await new Promise((r) => setTimeout(r, 50));
      status = await askToken(svc).then((r) => r.status, () => null);
    }
    assert.strictEqual(status, 200);
  });
});

describe('command line', () => {
  it('prints its URL first, serves, and stops on SIGTERM', { timeout: 30000 }, async () => {
    const child = spawn(process.execPath, [path.join(__dirname, '..', 'service', 'main.js'), '--port', '0', '--echo', '--uuid', 'cli-uuid'],
      { stdio: ['ignore', 'pipe', 'inherit'] });
    // One reader for the whole run: a stream in flowing mode drops what
    // arrives while no listener is attached.
    const lines = [];
    const waiting = [];
    let buffered = '';
    child.stdout.setEncoding('utf8');
    child.stdout.on('data', (c) => {
      buffered += c;
      const parts = buffered.split('\n');
      buffered = parts.pop();
      lines.push(...parts);
      for (const w of waiting.splice(0)) w();
    });
    const gotLine = async (n) => {
      while (lines.length < n) await new Promise((resolve) => waiting.push(resolve));
    };
    await gotLine(1);
    assert.match(lines[0], /^http:\/\/127\.0\.0\.1:\d+$/);
    const payload = tokenPayload();
    const r = buildRequest(lines[0], TOKEN_PATH, payload, { alg: 'gm' });
    const res = await post(r.url, r.body);
    assert.strictEqual(openTokenAnswer(r.scheme, res.body).payload.uuid, 'cli-uuid');
    await gotLine(2);
    assert.strictEqual(JSON.parse(lines[1]).header.app_key, APP_KEY);
    const exited = new Promise((resolve) => child.on('exit', (code, signal) => resolve({ code, signal })));
    child.kill('SIGTERM');
    assert.deepStrictEqual(await exited, { code: 0, signal: null });
  });

  it('refuses an unknown argument with status 2', async () => {
    const child = spawn(process.execPath, [path.join(__dirname, '..', 'service', 'main.js'), '--bogus'], { stdio: 'ignore' });
    const code = await new Promise((resolve) => child.on('exit', resolve));
    assert.strictEqual(code, 2);
  });
});

describe('degrade token and business sign readers', () => {
  // Built here the way the library builds them, from the independent pieces.
  function degradeToken(alg, appKey, request, error) {
    const s = createScheme(alg, appKey);
    const data = wire.seal(s, request).toString('base64');
    const text = `${data}!${appKey}!${s.sign(request)}!4.9.2!${alg === 'gm' ? 'gm' : ''}!${error}`;
    return text.replace(/\+/g, '-').replace(/\//g, '_').replace(/=/g, '');
  }

  for (const alg of ['legacy', 'gm']) {
    it(`open a ${alg} degrade token into its request`, () => {
      const request = tokenPayload({ K2: 'abc', K58: 'install' });
      const token = degradeToken(alg, APP_KEY, request, -1003);
      assert.ok(tokens.isDegradeToken(token));
      assert.ok(alg === 'gm' ? /!gm!-1003$/.test(token) : /!!-1003$/.test(token));
      const d = tokens.openDegradeToken(token, APP_KEY);
      assert.strictEqual(d.problem, null);
      assert.strictEqual(d.signOk, true);
      assert.strictEqual(d.scheme, alg);
      assert.strictEqual(d.fields.errorCode, -1003);
      assert.deepStrictEqual(d.requestBytes, request);
      assert.deepStrictEqual(d.request.data, { K2: 'abc', K58: 'install' });
      assert.ok(tokens.openDegradeToken(token, 'other-key').problem);
    });
  }

  it('tell service tokens from degrade tokens by length', () => {
    assert.strictEqual(tokens.isDegradeToken(''), true);
    assert.strictEqual(tokens.isDegradeToken('x'.repeat(40)), false);
    assert.strictEqual(tokens.isDegradeToken('x'.repeat(41)), true);
  });

  it('open a business sign only with its key and text', () => {
    const json = '{"scene": "pay", "ulvok": "abc"}';
    const sign = tokens.makeBusinessSign(json, APP_KEY, 'order-1');
    // The key is the 32 hex characters of MD5(key + text + key) as AES-256 key bytes.
    const key = Buffer.from(md5Hex(APP_KEY + 'order-1' + APP_KEY), 'ascii');
    const d = crypto.createDecipheriv('aes-256-ecb', key, null);
    assert.strictEqual(Buffer.concat([d.update(Buffer.from(sign, 'base64')), d.final()]).toString(), json);
    assert.deepStrictEqual(tokens.openBusinessSign(sign, APP_KEY, 'order-1').fields, { scene: 'pay', ulvok: 'abc' });
    const wrong = tokens.openBusinessSign(sign, 'other-key', 'order-1');
    assert.ok(wrong === null || wrong.json !== json);
  });
});
