// @ts-check
'use strict';
// quon-risk-comm/server against texts a hostile client forges (the
// application key ships in the app, so anyone can): bounded work whatever
// the input, total functions, fail-closed on a missing key, an honest account
// of what a degrade token's signature covers, one digest per business sign.
// Inputs come from test/fixtures/forge.js (hand-written protobuf, Python's
// zipfile, OpenSSL), not from the package's encoders.

const test = require('node:test');
const assert = require('node:assert');
const fs = require('node:fs');
const path = require('node:path');
const { spawnSync } = require('node:child_process');

const server = require('../server');
const forge = require('./fixtures/forge');
const helpers = require('./fixtures/helpers');

const KEY = 'hostile-backend-key';
const CHILD_HEAP_MB = 32;
const CHILD_TIME_LIMIT_MS = 20000;

// Opens each token in a child process with a small heap and a time limit;
// returns what it printed, or fails the test with how the child ended.
function openInChild(cases) {
  const file = path.join(helpers.tempDir('forge'), 'cases.json');
  fs.writeFileSync(file, JSON.stringify(cases));
  try {
    const r = spawnSync(process.execPath, [`--max-old-space-size=${CHILD_HEAP_MB}`, path.join(__dirname, 'fixtures', 'open-host.js'), file],
      { timeout: CHILD_TIME_LIMIT_MS, encoding: 'utf8', maxBuffer: 1024 * 1024 });
    assert.strictEqual(r.signal, null, `the child ended by ${r.signal} (time limit ${CHILD_TIME_LIMIT_MS} ms): ${r.stderr.slice(-2000)}`);
    assert.strictEqual(r.status, 0, r.stderr.slice(-2000));
    return JSON.parse(r.stdout);
  } finally {
    fs.rmSync(path.dirname(file), { recursive: true, force: true });
  }
}

test('forged degrade tokens are refused with bounded work: inflation stops at its limit, the signature is checked before parsing', () => {
  const good = forge.request(KEY, forge.entryList(Array.from({ length: 45 }, (_, i) => [`K${i}`, 'v'.repeat(i * 20)])));
  const manyEntries = forge.request(KEY, forge.emptyEntries(40000));  // 240 KB: inflates within the limit
  const bomb = forge.request(KEY, forge.emptyEntries(1000000));  // 6 MB, deflates about 500 times
  const noise = () => require('node:crypto').randomBytes(40000).toString('base64');
  const incompressible = forge.request(KEY, forge.entryList([['K1', noise()], ['K2', noise()]]));
  /** @type {any[]} */
  const cases = [
    // [what, token, expected problem (null: opens), entries when it opens]
    ['a well-formed token of 45 entries', forge.degradeToken(KEY, good), null, 45],
    ['an archive that inflates to 6 MB of empty entries', forge.degradeToken(KEY, bomb), /inflates past the limit/],
    ['headers that declare 1 KiB for an entry of 6 MB', forge.degradeToken(KEY, bomb, { archive: forge.lyingZip(bomb, 1024) }), /inflates past the limit/],
    ['40,000 empty entries', forge.degradeToken(KEY, manyEntries), /more than 1024 entries/],
    ['one value of 100 KiB', forge.degradeToken(KEY, forge.request(KEY, forge.entryList([['K1', 'x'.repeat(100 * 1024)]]))), /past the limits/],
    ['a key of 1 KiB', forge.degradeToken(KEY, forge.request(KEY, forge.entryList([['k'.repeat(1024), 'v']]))), /past the limits/],
    ['a header of 1,000 fields', forge.degradeToken(KEY, Buffer.concat([forge.lenField(1, Buffer.alloc(2000, Buffer.from([0x08, 0x01]))), forge.intField(2, 1002)])), /not a TokenRequest within the limits/],
    ['40,000 entries under a signature that does not match', forge.degradeToken(KEY, manyEntries, { sign: '0'.repeat(64) }), /signature does not match/],
    ['a token longer than 64 KiB', forge.degradeToken(KEY, incompressible), /longer than 65536 bytes/],
  ];
  const results = openInChild(cases.map(([, token]) => ({ token, appKey: KEY })));
  cases.forEach(([what, , problem, entries], i) => {
    const r = results[i];
    if (problem === null) {
      assert.deepStrictEqual([r.ok, r.problem, r.entries], [true, null, entries], what);
    } else {
      assert.strictEqual(r.ok, false, what);
      assert.match(r.problem, problem, what);
      assert.strictEqual(r.entries, null, `${what}: nothing parsed`);
    }
  });
});

test('the openers are total: what is not text opens to nothing, and nothing thrown', () => {
  const hostile = [{ toString: 1 }, Object.create(null), 42, null, undefined, [], ['a'], true, Symbol('s'), () => 'x'];
  for (const x of hostile) {
    const label = typeof x === 'symbol' ? 'a symbol' : JSON.stringify(x) || typeof x;
    assert.strictEqual(server.isDegradeToken(x), false, label);
    const opened = server.openDegradeToken(x, KEY);
    assert.strictEqual(opened.ok, false, label);
    assert.strictEqual(opened.request, null, label);
    assert.strictEqual(server.openBusinessSign(x, KEY, 'order'), null, label);
    assert.strictEqual(server.openBusinessSign(forge.businessSign(KEY, 'order', '{"ulvok": "t"}'), KEY, x === undefined ? 1 : x), null, label);
  }
});

test('a business sign opens only to a JSON object of strings', () => {
  const text = 'order-7: pay 3.00';
  /** @type {any[]} */
  const cases = [
    ['{"ulvok": "tok", "timestamp": "1700000000000"}', { ulvok: 'tok', timestamp: '1700000000000' }],
    ['{"ulvok": {"toString": 1}}', null],
    ['{"ulvok": 1}', null],
    ['{"ulvok": null}', null],
    ['{"ulvok": ["t"]}', null],
    ['["ulvok", "tok"]', null],
    ['"tok"', null],
    ['null', null],
    ['not json', null],
    [JSON.stringify(Object.fromEntries(Array.from({ length: 1024 }, (_, i) => [`k${i}`, 'v']))), 1024],
    [JSON.stringify(Object.fromEntries(Array.from({ length: 1025 }, (_, i) => [`k${i}`, 'v']))), null],
    [`{"ulvok": "a,b[c]{d}\\"", "k": "${'['.repeat(1000)}"}`, { ulvok: 'a,b[c]{d}"', k: '['.repeat(1000) }],
  ];
  for (const [json, want] of cases) {
    const fields = server.openBusinessSign(forge.businessSign(KEY, text, json), KEY, text);
    if (typeof want === 'number') assert.strictEqual(Object.keys(fields || {}).length, want, json.slice(0, 40));
    else assert.deepStrictEqual(fields, want, json.slice(0, 40));
  }
  const long = forge.businessSign(KEY, text, JSON.stringify({ ulvok: 'x'.repeat(server.LIMITS.maxSignBytes) }));
  assert.strictEqual(server.openBusinessSign(long, KEY, text), null, 'a sign over the length limit');
});

test('a missing or empty application key is a TypeError, never an opened token', () => {
  const forgedUnderAnyKey = forge.degradeToken('any-key', forge.request('any-key', forge.entryList([['K1', 'v']])));
  for (const key of [undefined, null, '', 42, { toString: () => 'any-key' }]) {
    assert.throws(() => server.openDegradeToken(forgedUnderAnyKey, /** @type {any} */ (key)), TypeError, String(key));
    assert.throws(() => server.openBusinessSign('x', /** @type {any} */ (key), 'order'), TypeError, String(key));
  }
  assert.strictEqual(server.openDegradeToken(forgedUnderAnyKey, 'any-key').ok, true, 'the forged token opens under the key it names');
  assert.strictEqual(server.openDegradeToken(forgedUnderAnyKey, KEY).ok, false);
});

test('the fields outside the signature are marked, and changing them keeps it', () => {
  const req = forge.request(KEY, forge.entryList([['K1', 'v']]));
  const token = forge.degradeToken(KEY, req, { error: '-1008', version: '4.9.2' });
  const [data, key, sign] = token.split('!');
  const altered = `${data}!${key}!${sign}!0.0.1!gm!-1002`;
  const opened = server.openDegradeToken(altered, KEY);
  assert.strictEqual(opened.signatureOk, true, 'the error and version fields are outside the signature');
  assert.deepStrictEqual([opened.errorCode, opened.sdkVersion, opened.request.header.sdk_version], [-1002, '0.0.1', '4.9.2']);
  assert.deepStrictEqual([...opened.signedFields], ['data']);
  assert.deepStrictEqual([...opened.unsignedFields].sort(), ['alg', 'appKey', 'error', 'sdkVersion']);
  assert.strictEqual(opened.appKeyMatches, true);
  const otherKeyField = server.openDegradeToken(`${data}!someone-else!${sign}!4.9.2!gm!0`, KEY);
  assert.deepStrictEqual([otherKeyField.ok, otherKeyField.appKeyMatches], [true, false], 'the key field is compared, not signed');
});

test('every spelling of one business sign has one digest; another text or field another', () => {
  const text = 'order-9: pay 1.00';
  const sign = forge.businessSign(KEY, text, '{"timestamp": "1", "ulvok": "tok"}');
  const spellings = [
    sign,
    forge.businessSign(KEY, text, '{"ulvok":"tok","timestamp":"1"}'),  // other member order and spacing
    sign.replace(/=+$/, ''),  // padding dropped
    `${sign.slice(0, 10)}\n${sign.slice(10)}`,  // a line break inside
  ];
  const digests = spellings.map((s) => {
    const fields = server.openBusinessSign(s, KEY, text);
    assert.notStrictEqual(fields, null, s);
    return server.businessSignDigest(/** @type {Record<string, string>} */ (fields), text);
  });
  assert.match(digests[0], /^[0-9a-f]{64}$/);
  assert.deepStrictEqual(new Set(digests).size, 1, 'one digest for every spelling');
  assert.notStrictEqual(server.businessSignDigest({ timestamp: '1', ulvok: 'tok' }, 'order-9: pay 1.01'), digests[0]);
  assert.notStrictEqual(server.businessSignDigest({ timestamp: '2', ulvok: 'tok' }, text), digests[0]);
  assert.notStrictEqual(server.businessSignDigest({ 'timestamp", "ulvok': 'tok' }, text), digests[0], 'names are not spliced');
});
