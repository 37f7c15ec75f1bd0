// @ts-check
'use strict';
// The demonstration (the README's main command runs it) and the tool's
// library commands, each in its own process against the built library: what
// they print, that they end by themselves and leave no temporary files.

const test = require('node:test');
const assert = require('node:assert');
const fs = require('node:fs');
const path = require('node:path');
const { spawn } = require('node:child_process');

const { startService } = require('../service/service');
const tokens = require('../lib/tokens');
const e2e = require('./fixtures/e2e-common');
const helpers = require('./fixtures/helpers');

const { before, after } = test;

const JS = path.join(__dirname, '..');
const DEMO = path.join(JS, 'demo.js');
const CLI = path.join(JS, 'cli.js');
const SERVICE_TOKEN = /^[0-9a-f]{32}$/;

function run(file, args, timeoutMs = 60000, env = {}) {
  return e2e.runNode([file, ...args], { timeoutMs, env: { RISK_LOG: 'off', ...env } });
}

test('node js/demo.js --json reports every step and cleans up after itself', async () => {
  // A temporary folder of its own: other runs on the machine leave theirs
  // in the shared one while this one runs.
  const tmp = helpers.tempDir('demo-test');
  const r = await run(DEMO, ['--json'], 60000, { TMPDIR: tmp });
  assert.strictEqual(r.killed, false, 'the demonstration did not end by itself');
  assert.strictEqual(r.code, 0, r.stderr);
  const d = JSON.parse(r.stdout);
  assert.strictEqual(d.ok, true);
  assert.strictEqual(d.library, path.resolve(e2e.LIBRARY));
  assert.match(d.service, /^http:\/\/127\.0\.0\.1:\d+$/);
  const s = d.steps;
  assert.deepStrictEqual(Object.keys(s),
    ['firstToken', 'secondToken', 'freshProcess', 'degradeToken', 'businessSign', 'situation']);

  assert.match(s.firstToken.token, SERVICE_TOKEN);
  assert.strictEqual(s.firstToken.degrade, false);
  assert.deepStrictEqual(s.firstToken.requests.map((q) => [q.endpoint, q.signOk, q.error]), [['token', true, null]]);
  assert.strictEqual(s.secondToken.token, s.firstToken.token);
  assert.deepStrictEqual(s.secondToken.requests, []);

  assert.strictEqual(s.freshProcess.signToken, s.firstToken.token);
  assert.strictEqual(s.freshProcess.requests.length, 1);
  assert.strictEqual(s.freshProcess.requests[0].previousToken, s.firstToken.token);
  assert.match(s.freshProcess.token, SERVICE_TOKEN);

  // The degrade token opens here to the fields the report names.
  const opened = tokens.openDegradeToken(s.degradeToken.token, d.appKey);
  assert.strictEqual(opened.problem, null);
  assert.strictEqual(s.degradeToken.errorCode, -1002);
  // The cause beside the code, also with RISK_LOG=off.
  assert.match(s.degradeToken.post, /^rejected: connect \(/);
  assert.ok(s.degradeToken.log.some((l) => /^Risk Server Response: fail -1002 for http:\/\/127\.0\.0\.1:\d+\/udid\/m1$/.test(l)),
    s.degradeToken.log.join('\n'));
  assert.strictEqual(opened.fields.errorCode, -1002);
  assert.strictEqual(s.degradeToken.fields.appKey, d.appKey);
  assert.deepStrictEqual(s.degradeToken.data.map((e) => [e.key, e.value]), opened.request.entries);
  assert.ok(s.degradeToken.data.every((e) => typeof e.meaning === 'string' && e.identifying));

  const sign = tokens.openBusinessSign(s.businessSign.sign, d.appKey, s.businessSign.text);
  assert.deepStrictEqual(sign.fields, s.businessSign.fields);
  assert.strictEqual(sign.json, s.businessSign.json);
  assert.strictEqual(sign.fields.K3000, 'checkout');
  assert.strictEqual(sign.fields.ulvok, s.freshProcess.token);

  assert.strictEqual(s.situation.report.ulvok, s.freshProcess.token);
  assert.strictEqual(s.situation.report.os_type, '2');
  assert.strictEqual(JSON.parse(s.situation.answer).code, 0);

  const left = fs.readdirSync(tmp);
  fs.rmSync(tmp, { recursive: true, force: true });
  assert.deepStrictEqual(left, [], 'temporary directories left behind');
});

test('node js/demo.js prints the readable report', async () => {
  const r = await run(DEMO, []);
  assert.strictEqual(r.code, 0, r.stderr);
  for (const label of ['1. first token', '2. second call', '3. new process', '4. service down', '5. business sign', '6. situation']) {
    assert.ok(r.stdout.includes(label), `missing "${label}"`);
  }
  assert.match(r.stdout, /error -1002/);
  assert.match(r.stdout, /all steps showed what they should/);
  const bad = await run(DEMO, ['--frobnicate']);
  assert.strictEqual(bad.code, 1);
  assert.match(bad.stderr, /^demo: unknown argument --frobnicate/);
  const noLib = await new Promise((resolve) => {
    const child = spawn(process.execPath, [DEMO], { env: { ...process.env, RISK_LIBRARY: '/nonexistent/lib.so' } });
    let stderr = '';
    child.stderr.on('data', (c) => { stderr += c; });
    child.on('close', (code) => resolve({ code, stderr }));
  });
  assert.strictEqual(noLib.code, 1);
  assert.match(noLib.stderr, /^demo: cannot load the library \/nonexistent\/lib\.so: .*\n$/);
});

let svc;
before(async () => {
  svc = await startService({ port: 0 });
});
after(async () => {
  await svc.close();
});

test('risk token, degrade and sign work against a service in both schemes', async () => {
  const prefsDir = e2e.tempDir('cli');
  try {
    for (const alg of ['legacy', 'gm']) {
      const key = `cli-${alg}`;
      const from = svc.requests.length;
      const t = await run(CLI, ['token', '--json', '--url', svc.url, '--app-key', key, '--alg', alg,
        '--option', 'shop=s1', '--prefs', prefsDir, '--count', '2']);
      assert.strictEqual(t.code, 0, t.stderr);
      assert.match(t.stderr, /asking http:\/\/127\.0\.0\.1:\d+ for a token/);
      const got = JSON.parse(t.stdout);
      const recs = svc.requests.slice(from);
      assert.strictEqual(recs.length, 1);
      assert.strictEqual(recs[0].scheme, alg);
      assert.strictEqual(recs[0].data.user_shop, 's1');
      assert.deepStrictEqual(got.map((x) => [x.token, x.degrade]), [[recs[0].answer.ulvok, false], [recs[0].answer.ulvok, false]]);

      const dg = await run(CLI, ['degrade', '--json', '--app-key', key, '--alg', alg, '--option', 'why=test']);
      assert.strictEqual(dg.code, 0, dg.stderr);
      const dj = JSON.parse(dg.stdout);
      assert.strictEqual(dj.decoded.scheme, alg);
      assert.strictEqual(dj.decoded.signOk, true);
      assert.strictEqual(dj.decoded.data.find((e) => e.key === 'user_why').value, 'test');
      assert.deepStrictEqual(dj.decoded.data.filter((e) => !e.known).map((e) => e.key), [], 'keys missing from the catalogue');
      assert.strictEqual(tokens.openDegradeToken(dj.token, key).problem, null);

      // The sign takes the token stored by the token command.
      const sg = await run(CLI, ['sign', '--json', '--app-key', key, '--text', 'pay', '--scene', 'cart',
        '--url', svc.url, '--prefs', prefsDir]);
      assert.strictEqual(sg.code, 0, sg.stderr);
      const fields = tokens.openBusinessSign(JSON.parse(sg.stdout).sign, key, 'pay').fields;
      assert.strictEqual(fields.ulvok, recs[0].answer.ulvok);
      assert.strictEqual(fields.K3000, 'cart');
    }
  } finally {
    fs.rmSync(prefsDir, { recursive: true, force: true });
  }
});

test('risk token against an unreachable service prints a degrade token and says why', async () => {
  const closed = await e2e.closedPort();
  const r = await run(CLI, ['token', '--url', `http://127.0.0.1:${closed}`, '--app-key', 'cli-down', '--delay-ms', '1500']);
  // Only a degrade token: status 1, with the cause beside the code.
  assert.strictEqual(r.code, 1, r.stderr);
  assert.match(r.stdout, /degrade token, \d+ ms: error -1002/);
  assert.match(r.stdout, /\n {2}post: rejected: connect \(the connection failed \(refused or unreachable\); status -7\)/);
  assert.match(r.stdout, /\n {2}what to do: look at the post's status/);
  assert.match(r.stdout, /the library logged:\n(?: {4}.*\n)* {4}Risk Server Response: fail -1002 for http:\/\/127\.0\.0\.1:\d+\/udid\/m1\n/);
  assert.match(r.stderr, /no service token: a degrade token \(error -1002\); post: rejected: connect/);
  assert.match(r.stderr, /\nrisk: only a degrade token came back \(error -1002\); --allow-degrade accepts it\n$/);
  assert.doesNotMatch(r.stderr, /\[Risk\]/, 'the library log stays quiet without --verbose');
  const allowed = await run(CLI, ['token', '--url', `http://127.0.0.1:${closed}`, '--app-key', 'cli-down',
    '--delay-ms', '1500', '--allow-degrade', '--verbose']);
  assert.strictEqual(allowed.code, 0, allowed.stderr);
  assert.match(allowed.stderr, /\[Risk\] Risk Server Response: fail -1002/);
  const missing = await run(CLI, ['token', '--app-key', 'k']);
  assert.strictEqual(missing.code, 2);
  assert.strictEqual(missing.stderr, 'risk: token needs --url (the service address)\n');
  const noLib = await new Promise((resolve) => {
    const child = spawn(process.execPath, [CLI, 'degrade', '--app-key', 'k'], {
      env: { ...process.env, RISK_LIBRARY: '/nonexistent/libQuonRiskComm.so' },
    });
    let stderr = '';
    child.stderr.on('data', (c) => { stderr += c; });
    child.on('close', (code) => resolve({ code, stderr }));
  });
  assert.strictEqual(noLib.code, 1);
  assert.match(noLib.stderr, /^risk: cannot load the library \/nonexistent\/libQuonRiskComm\.so: .*\n$/);
});

test('risk token interrupted by Ctrl-C removes its temporary preferences', async () => {
  const hanging = await startService({ port: 0, mode: 'hang' });
  try {
    const child = spawn(process.execPath, [CLI, 'token', '--url', hanging.url, '--app-key', 'cli-int', '--delay-ms', '20000']);
    let stderr = '';
    const prefs = await new Promise((resolve, reject) => {
      child.stderr.on('data', (c) => {
        stderr += c;
        const m = /preferences in (\S+) \(temporary\)/.exec(stderr);
        if (m) resolve(m[1]);
      });
      child.on('close', () => reject(new Error(`ended before it set up: ${stderr}`)));
    });
    assert.ok(fs.existsSync(prefs));
    await hanging.waitForRequests(1);
    const ended = new Promise((resolve) => child.on('close', (code, signal) => resolve({ code, signal })));
    child.kill('SIGINT');
    assert.deepStrictEqual(await ended, { code: 130, signal: null });
    assert.strictEqual(fs.existsSync(prefs), false, 'the temporary preferences are gone');
  } finally {
    await hanging.close();
  }
});
