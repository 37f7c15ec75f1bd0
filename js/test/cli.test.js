// @ts-check
'use strict';
// The command-line tool without the native library: decode opens degrade
// tokens, business signs and service records built here with Node crypto,
// xxtea-node, adm-zip and protobufjs; serve runs the reference service until
// it is stopped; every failure is one line and a non-zero status.

const test = require('node:test');
const assert = require('node:assert');
const fs = require('node:fs');
const http = require('node:http');
const os = require('node:os');
const path = require('node:path');
const { spawn, spawnSync } = require('node:child_process');

const { createScheme } = require('../lib/scheme');
const wire = require('../lib/wire');
const tokens = require('../lib/tokens');
const catalogue = require('../lib/catalogue');

const CLI = path.join(__dirname, '..', 'cli.js');
const APP_KEY = 'cli-test-key+/=';

function run(args, input) {
  const r = spawnSync(process.execPath, [CLI, ...args], { input, encoding: 'utf8', timeout: 20000 });
  return { status: r.status, stdout: r.stdout, stderr: r.stderr };
}

function assertOneLineFailure(r, status) {
  assert.strictEqual(r.status, status, `exit status; stderr: ${r.stderr}`);
  const lines = r.stderr.split('\n').filter(Boolean);
  assert.strictEqual(lines.length, 1, `one line on stderr, got: ${r.stderr}`);
  assert.match(lines[0], /^risk: /);
  assert.doesNotMatch(r.stderr, /\n\s+at /, 'no stack trace');
}

const ENTRIES = {
  K2: 'com.example.shop',
  K58: '0f8e6c1a-2b3d-4e5f-8a9b-0c1d2e3f4a5b',
  K290: 'boot-id-1',
  K350: JSON.stringify([{ ts: 1700000000000, event: 4, code: 17, msg: 'maps read' }]),
  K451: '1700000000000',
  user_order: '42',
  zz_unknown: 'x',
};
// The encoder sends an object's entries in byte-wise key order.
const SENT = Object.entries(ENTRIES).sort(([a], [b]) => Buffer.compare(Buffer.from(a), Buffer.from(b)));

// A degrade token as the library lays it out, built from independent parts.
function degradeToken(alg, error) {
  const scheme = createScheme(alg, APP_KEY);
  const R = wire.encodeTokenRequest({
    header: { sdk_version: 'v4_9_2r_a07c3e51', app_key: APP_KEY, os_type: 2, format_version: 1, app_name: 'shop' },
    entries: ENTRIES,
  });
  const text = [wire.seal(scheme, R).toString('base64'), APP_KEY, scheme.sign(R), 'v4_9_2r_a07c3e51',
    alg === 'gm' ? 'gm' : '', String(error)].join('!');
  return text.replace(/\+/g, '-').replace(/\//g, '_').replace(/=/g, '');
}

for (const alg of ['legacy', 'gm']) {
  test(`decode opens a ${alg} degrade token: fields, error code and every data key`, () => {
    const r = run(['decode', '--json', '--app-key', APP_KEY, '--', degradeToken(alg, -1003)]);
    assert.strictEqual(r.status, 0, r.stderr);
    const d = JSON.parse(r.stdout);
    assert.strictEqual(d.kind, 'degrade');
    assert.strictEqual(d.scheme, alg);
    assert.strictEqual(d.error, -1003);
    assert.match(d.errorMeaning, /"data"/);
    assert.strictEqual(d.signOk, true);
    assert.strictEqual(d.header.app_key, APP_KEY);
    assert.deepStrictEqual(d.data.map((e) => [e.key, e.value]), SENT);
    const by = Object.fromEntries(d.data.map((e) => [e.key, e]));
    assert.strictEqual(by.K58.identifying, 'yes');
    assert.strictEqual(by.K290.identifying, 'yes');
    assert.strictEqual(by.K451.identifying, 'no');
    assert.strictEqual(by.user_order.identifying, 'depends');
    assert.match(by.user_order.meaning, /"order"/);
    assert.strictEqual(by.zz_unknown.known, false);
  });
}

test('decode reads the text form too, marking identifying keys and listing K350 events', () => {
  const r = run(['decode', '--app-key', APP_KEY, '--', degradeToken('gm', 0)]);
  assert.strictEqual(r.status, 0, r.stderr);
  assert.match(r.stdout, /degrade token \(gm scheme\)/);
  assert.match(r.stdout, /error 0: no failed exchange/);
  assert.match(r.stdout, /K58 .*\n.*\[IDENTIFIES\]/);
  assert.match(r.stdout, /event 4 code 17 at 1700000000000: maps read/);
  assert.match(r.stdout, /zz_unknown .*\n.*\[not catalogued\]/);
});

test('decode reports a degrade token sealed under another key as one line, status 1', () => {
  assertOneLineFailure(run(['decode', '--type', 'degrade', '--app-key', 'other', '--', degradeToken('gm', -1001)]), 1);
});

test('decode opens a business sign made for a text under the key, from stdin', () => {
  const fields = { K3000: 'default', K353: 'ad-id', os_type: '2', timestamp: '1700000000123', ulvok: 'abc', user_a: '' };
  const sign = tokens.makeBusinessSign(JSON.stringify(fields), APP_KEY, 'pay 10');
  const r = run(['decode', '--json', '--app-key', APP_KEY, '--text', 'pay 10', '-'], `${sign}\n`);
  assert.strictEqual(r.status, 0, r.stderr);
  const d = JSON.parse(r.stdout);
  assert.strictEqual(d.kind, 'sign');
  assert.deepStrictEqual(Object.fromEntries(d.data.map((e) => [e.key, e.value])), fields);
  assert.strictEqual(d.data.find((e) => e.key === 'K353').identifying, 'yes');
  // The key of a sign depends on the text: another text does not open it.
  assertOneLineFailure(run(['decode', '--app-key', APP_KEY, '--text', 'pay 11', '--', sign]), 1);
  assertOneLineFailure(run(['decode', '--', sign]), 1);
});

function post(url, body) {
  return new Promise((resolve, reject) => {
    const req = http.request(url, { method: 'POST', agent: false, headers: { 'Content-Length': body.length } }, (res) => {
      const chunks = [];
      res.on('data', (c) => chunks.push(c));
      res.on('end', () => resolve({ status: res.statusCode, body: Buffer.concat(chunks) }));
    });
    req.on('error', reject);
    req.end(body);
  });
}

function tokenRequest(base, alg, appKey) {
  const scheme = createScheme(alg, appKey);
  const payload = wire.encodeTokenRequest({ header: { app_key: appKey, os_type: 2, format_version: 1 }, entries: ENTRIES });
  const url = wire.requestAddress(`${base}/udid/m1`, { sign: scheme.sign(payload), appKey, app: 'shop', version: 'v4', alg });
  return { url, body: wire.seal(scheme, payload), scheme };
}

test('serve runs the service until SIGTERM; decode reads its log records', async () => {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'cli-test-'));
  const log = path.join(dir, 'service.jsonl');
  const child = spawn(process.execPath, [CLI, 'serve', '--log', log, '--token', 'fixed-token-1'], { stdio: ['ignore', 'pipe', 'pipe'] });
  try {
    const url = await new Promise((resolve, reject) => {
      let out = '';
      child.stdout.on('data', (c) => {
        out += c;
        if (out.includes('\n')) resolve(out.split('\n')[0]);
      });
      child.on('exit', (code) => reject(new Error(`serve exited with ${code}`)));
    });
    assert.match(url, /^http:\/\/127\.0\.0\.1:\d+$/);
    for (const alg of ['legacy', 'gm']) {
      const req = tokenRequest(url, alg, APP_KEY);
      const res = await post(req.url, req.body);
      assert.strictEqual(res.status, 200);
      assert.strictEqual(wire.decodeTokenResponse(wire.open(req.scheme, res.body)).payload.ulvok, 'fixed-token-1');
    }
    const bad = tokenRequest(url, 'gm', APP_KEY);
    await post(bad.url.replace(/sign=[0-9a-f]+/, 'sign=00'), bad.body);
    const exited = new Promise((resolve) => child.on('exit', (code, signal) => resolve({ code, signal })));
    child.kill('SIGTERM');
    assert.deepStrictEqual(await exited, { code: 0, signal: null });

    const r = run(['decode', '--json', '--file', log]);
    assert.strictEqual(r.status, 0, r.stderr);
    const recs = JSON.parse(r.stdout);
    assert.deepStrictEqual(recs.map((d) => [d.kind, d.scheme, d.error === null]), [
      ['record', 'legacy', true], ['record', 'gm', true], ['record', 'gm', false]]);
    assert.deepStrictEqual(recs[1].data.map((e) => [e.key, e.value]), SENT);
    assert.match(recs[2].error, /signature/);
    const text = run(['decode', '--app-key', 'someone-else', '--file', log]);
    assert.strictEqual(text.status, 0, text.stderr);
    assert.match(text.stdout, /warning: the record is for application key/);
  } finally {
    if (child.exitCode === null) child.kill('SIGKILL');
    fs.rmSync(dir, { recursive: true, force: true });
  }
});

test('usage errors and unreadable input end with one line and their own status', () => {
  assertOneLineFailure(run(['frobnicate']), 2);
  assertOneLineFailure(run(['decode', '--nope']), 2);
  assertOneLineFailure(run(['token', '--count', 'many']), 2);
  assertOneLineFailure(run(['decode', '--file', '/nonexistent/risk-log']), 1);
  assertOneLineFailure(run(['decode', '--type', 'record', '{"not":"a record"}']), 1);
  assertOneLineFailure(run(['serve', '--port', '1', '--host', '203.0.113.1']), 1);
  assert.strictEqual(run(['--help']).status, 0);
  assert.strictEqual(run(['decode', '--help']).status, 0);
});

test('each command reads its options as the tool always has: values, lists, numbers, help and one-dash arguments', () => {
  const { parseCommandArgs, UsageError } = require('../cli/args');
  const commands = {
    decode: require('../cli/decode').command,
    serve: require('../cli/serve').command,
    token: require('../cli/token').command,
  };
  // [command, arguments, the options read, or the usage error's message]
  /** @type {any[]} */
  const cases = [
    ['decode', ['--app-key', 'k', '--json', 'TEXT'], { _: ['TEXT'], appKey: 'k', json: true }],
    ['decode', ['--type=', 'x'], { _: ['x'], type: '' }],
    ['decode', ['-5'], { _: ['-5'] }],
    ['decode', ['-hx'], { _: ['-hx'] }],
    ['decode', ['-a-b', '--json'], { _: ['-a-b'], json: true }],
    ['token', ['--url', '-a-b', '--prefs', '-'], { _: [], url: '-a-b', prefs: '-' }],
    ['decode', ['x', '-h'], { _: ['x'], help: true }],
    ['decode', ['--help'], { _: [], help: true }],
    ['decode', ['-'], { _: ['-'] }],
    ['token', ['--url', '--json'], { _: [], url: '--json' }],
    ['token', ['--delay-ms', '-5', '--count=007'], { _: [], delayMs: -5, count: 7 }],
    ['token', ['--option', 'A=1', '--option=B=2'], { _: [], option: ['A=1', 'B=2'] }],
    ['serve', ['--app-key', 'a', '--app-key', 'b', '--echo'], { _: [], appKey: ['a', 'b'], echo: true }],
    ['decode', ['--nope'], 'unknown option --nope for "decode"'],
    ['decode', ['--url', 'x'], 'unknown option --url for "decode"'],
    ['decode', ['--json', '--', '--x'], { _: ['--x'], json: true }],
    ['decode', ['--', '-a-b'], { _: ['-a-b'] }],
    ['decode', ['--=x'], 'unknown option -- for "decode"'],
    ['decode', ['---x'], 'unknown option ---x for "decode"'],
    ['decode', ['--help=x'], 'unknown option --help for "decode"'],
    ['decode', ['--json=1'], '--json takes no value'],
    ['decode', ['--type'], '--type needs a value'],
    ['decode', ['a', 'b'], 'unexpected argument "b"'],
    ['token', ['x'], 'unexpected argument "x"'],
    ['token', ['--count', '+5'], '--count needs a whole number, not "+5"'],
    ['token', ['--delay-ms='], '--delay-ms needs a whole number, not ""'],
  ];
  for (const [name, argv, expected] of cases) {
    const what = `${name} ${argv.join(' ')}`;
    if (typeof expected === 'string') {
      assert.throws(() => parseCommandArgs(argv, name, commands[name]),
        (e) => e instanceof UsageError && e.message === expected, what);
    } else {
      assert.deepStrictEqual({ ...parseCommandArgs(argv, name, commands[name]) }, expected, what);
    }
  }
});

test('the catalogue has one entry per key, each with a known identifying level', () => {
  const keys = catalogue.keys();
  assert.strictEqual(new Set(keys).size, keys.length);
  for (const e of catalogue.ENTRIES) {
    assert.ok(catalogue.IDENTIFYING.includes(e.identifying), e.key);
    assert.ok(e.meaning && e.source, e.key);
  }
});

test('decode says what it was given: a service token, a cut or foreign degrade token, a sign without its text', () => {
  const service = run(['decode', 'abcdef0123456789abcdef0123456789']);
  assert.strictEqual(service.status, 0, service.stderr);
  assert.match(service.stdout, /^a service token \(32 bytes\): .* carries nothing to open/);
  const token = degradeToken('gm', -1002);
  /** @type {any[]} */
  const cases = [
    [['decode', '--', token.split('!').slice(0, 4).join('!')], /not a whole degrade token: it has 6 "!"-separated fields, this text 4/],
    [['decode', '--app-key', 'another', '--', token], /a degrade token of application key "cli-test-key-_", not "another"/],
    [['decode', '--app-key', APP_KEY, tokens.makeBusinessSign('{"timestamp": "1700000000123", "ulvok": "abc"}', APP_KEY, 'pay')], /without a text: give --text/],
    [['decode', '--app-key', APP_KEY, '--text', 'other', tokens.makeBusinessSign('{"timestamp": "1700000000123", "ulvok": "abc"}', APP_KEY, 'pay')],
      /for this text \(a sign is bound to both\)/],
  ];
  for (const [args, message] of cases) {
    const r = run(args);
    assertOneLineFailure(r, 1);
    assert.match(r.stderr, message);
  }
  const opened = run(['decode', '--app-key', APP_KEY, '--', token]);
  assert.match(opened.stdout, /what to do: look at the post's status/);
});

test('help names every option of a command, the fault modes, both service settings and the version', () => {
  for (const command of ['serve', 'token', 'degrade', 'sign', 'decode']) {
    const r = run([command, '--help']);
    assert.strictEqual(r.status, 0);
    const flags = [...r.stdout.matchAll(/^ {2}(--[a-z-]+) {2,}\S/gm)].map((m) => m[1]);
    assert.ok(flags.length >= 5, `${command} lists its options`);
    for (const flag of flags) assert.match(r.stdout.split('\n')[0], new RegExp(`${flag}\\b`), `${command} usage shows ${flag}`);
  }
  assert.match(run(['token', '--help']).stdout, /--situation-url +URL {2}situation service address \(KEY_SITUATION_URL\)/);
  const modes = run(['serve', '--mode', 'list']);
  assert.strictEqual(modes.status, 0);
  for (const m of ['normal', 'down', 'http500', 'hang', 'wrongkey', 'status', 'nobody']) {
    assert.match(modes.stdout, new RegExp(`^ {2}${m} +\\S`, 'm'));
  }
  const bad = run(['serve', '--mode', 'downn']);
  assertOneLineFailure(bad, 2);
  assert.match(bad.stderr, /unknown mode "downn"; one of normal, down,/);
  const version = run(['--version']);
  assert.strictEqual(version.status, 0);
  assert.match(version.stdout, new RegExp(`^risk \\(quon-risk-comm\\) ${require('../package.json').version.replace(/\./g, '\\.')}\\nlibrary: `));
  assert.match(run([]).stdout, /KEY_URL \(--url\) for tokens and KEY_SITUATION_URL \(--situation-url\)/);
});

test('serve checks its log file before it starts', () => {
  const r = run(['serve', '--log', '/nonexistent-dir/service.log']);
  assertOneLineFailure(r, 1);
  assert.match(r.stderr, /^risk: cannot write the log file \/nonexistent-dir\/service\.log: ENOENT\n$/);
});
