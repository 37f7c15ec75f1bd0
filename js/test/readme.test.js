// @ts-check
'use strict';
// Every JavaScript sample of the READMEs runs as pasted: each ```js block is
// saved as a file of its own in a folder where require('quon-risk-comm')
// finds this package, and run with node. A sample that talks to the
// services (risk.example.com) gets the reference service on loopback in
// that address's place and must reach it; a console.log line whose comment
// says what it prints must print that.

const { test, before, after } = require('node:test');
const assert = require('node:assert');
const fs = require('node:fs');
const path = require('node:path');

const { startService } = require('../service/service');
const e2e = require('./fixtures/e2e-common');
const helpers = require('./fixtures/helpers');

const JS_DIR = path.join(__dirname, '..');
const READMES = [path.join(JS_DIR, 'README.md'), path.join(JS_DIR, '..', 'README.md')];
const SAMPLE_HOST = 'https://risk.example.com';

// The ```js blocks of a Markdown text.
function samples(markdown) {
  return [...markdown.matchAll(/^```js\n([\s\S]*?)^```$/gm)].map((m) => m[1]);
}

// The lines a sample says it prints: console.log(...); // TEXT
function promisedLines(code) {
  return [...code.matchAll(/^console\.log\(.*\);\s*\/\/ (.+)$/gm)].map((m) => m[1].trim());
}

let svc;
let dir;
before(async () => {
  svc = await startService({ port: 0 });
  dir = helpers.tempDir('readme');
  fs.mkdirSync(path.join(dir, 'node_modules'));
  fs.symlinkSync(JS_DIR, path.join(dir, 'node_modules', 'quon-risk-comm'), 'dir');
});
after(async () => {
  await svc.close();
  fs.rmSync(dir, { recursive: true, force: true });
});

const found = READMES.flatMap((file) => samples(fs.readFileSync(file, 'utf8'))
  .map((code, i) => ({ name: `${path.relative(path.join(JS_DIR, '..'), file)} sample ${i + 1}`, code })));

test('the READMEs have samples to run', () => {
  assert.ok(found.length >= 3, `${found.length} samples`);
});

for (const { name, code } of found) {
  test(`${name} runs as pasted`, async () => {
    const file = path.join(dir, `${name.replace(/\W+/g, '-')}.js`);
    fs.writeFileSync(file, code.split(SAMPLE_HOST).join(svc.url));
    const from = svc.requests.length;
    const state = fs.mkdtempSync(path.join(dir, 'state-'));
    const run = await e2e.runNode([file], { timeoutMs: 60000, env: { RISK_LOG: 'off', XDG_STATE_HOME: state } });
    const why = `exit ${run.code} ${run.signal || ''}\nstdout:\n${run.stdout}\nstderr:\n${run.stderr}`;
    assert.strictEqual(run.killed, false, `did not end by itself\n${why}`);
    assert.strictEqual(run.code, 0, why);
    assert.strictEqual(run.stderr, '', why);
    const promised = promisedLines(code);
    if (promised.length > 0) assert.deepStrictEqual(run.stdout.trim().split('\n'), promised, why);
    if (code.includes(SAMPLE_HOST)) {
      const recs = svc.requests.slice(from);
      assert.ok(recs.some((r) => r.endpoint === 'token' && r.error === null), `no token request\n${why}`);
      assert.match(run.stdout, /^token: [0-9a-f]{32} /m, why);
      if (code.includes('scheduleSituationUpdate')) {
        assert.ok(recs.some((r) => r.endpoint === 'situation' && r.error === null), `no situation report\n${why}`);
        assert.match(run.stdout, /^situation answer: \{/m, why);
      }
    }
  });
}
