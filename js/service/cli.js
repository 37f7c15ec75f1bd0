#!/usr/bin/env node
'use strict';
// risk: the token service's command.
//
//   risk serve --db FILE|postgres://... [--port N] [--host H] [--tls-cert FILE --tls-key FILE]
//              [--retention-days N] [--workers N] [--fingerprint-key-file FILE] [--dev [--mode NAME]]
//   risk apps add --db DB --app-key KEY [--signature K7] [--schemes legacy,gm] [--thresholds JSON] [--json]
//   risk apps set --db DB --app-key KEY --thresholds JSON|null [--json]
//   risk apps list --db DB [--json]
//   risk apps rotate --db DB --app-key KEY [--json]
//   risk apps remove --db DB --app-key KEY [--json]
//   risk forget --db DB --app-key KEY --installation-id ID [--json]
//   risk sweep --db DB [--retention-days N] [--json]
//   risk migrate --db DB [--json]
//
// "serve" prints the service's address (http://127.0.0.1:PORT) as its first
// line on stdout, then runs until SIGINT or SIGTERM, when it lets the
// requests under way finish and exits 0. Its log (stderr) names no app,
// device or token. Exit status: 0 done, 1 failed, 2 usage.

const fs = require('node:fs');
const cluster = require('node:cluster');
const { startService } = require('./service');
const { openStore, describeStore } = require('./store');
const apps = require('./apps');

const kDayMs = 24 * 60 * 60 * 1000;
const kDefaultRetentionDays = 30;
const kMaxWorkers = 64;

const USAGE = `usage:
  risk serve --db FILE|postgres://... [--port N] [--host H] [--tls-cert FILE --tls-key FILE]
             [--retention-days N] [--workers N] [--fingerprint-key-file FILE] [--dev [--mode NAME]]
  risk apps add --db DB --app-key KEY [--signature K7] [--schemes legacy,gm] [--thresholds JSON] [--json]
  risk apps set --db DB --app-key KEY --thresholds JSON|null [--json]
  risk apps list --db DB [--json]
  risk apps rotate --db DB --app-key KEY [--json]
  risk apps remove --db DB --app-key KEY [--json]
  risk forget --db DB --app-key KEY --installation-id ID [--json]
  risk sweep --db DB [--retention-days N] [--json]
  risk migrate --db DB [--json]`;

class UsageError extends Error {}

const FLAGS = {
  '--db': 'string', '--port': 'int', '--host': 'string', '--tls-cert': 'string', '--tls-key': 'string',
  '--retention-days': 'number', '--workers': 'int', '--dev': 'bool', '--app-key': 'string',
  '--signature': 'string', '--schemes': 'string', '--installation-id': 'string', '--json': 'bool',
  '--mode': 'string', '--help': 'bool', '--thresholds': 'string', '--fingerprint-key-file': 'string',
};

function parseArgs(argv) {
  const words = [];
  const o = {};
  for (let i = 0; i < argv.length; i++) {
    const a = argv[i];
    if (!a.startsWith('--')) {
      words.push(a);
      continue;
    }
    const kind = FLAGS[a];
    if (kind === undefined) throw new UsageError(`unknown option ${a}`);
    const name = a.slice(2).replace(/-([a-z])/g, (_, c) => c.toUpperCase());
    if (kind === 'bool') {
      o[name] = true;
      continue;
    }
    if (i + 1 >= argv.length) throw new UsageError(`${a} needs a value`);
    const v = argv[++i];
    if (kind === 'int') {
      if (!/^\d+$/.test(v)) throw new UsageError(`${a} takes a whole number, not "${v}"`);
      o[name] = Number(v);
    } else if (kind === 'number') {
      if (!/^\d+(\.\d+)?$/.test(v)) throw new UsageError(`${a} takes a number, not "${v}"`);
      o[name] = Number(v);
    } else {
      o[name] = v;
    }
  }
  return { words, o };
}

function need(o, name, flag) {
  if (o[name] === undefined || o[name] === '') throw new UsageError(`${flag} is required`);
  return o[name];
}

function out(o, json, text) {
  process.stdout.write(o.json ? `${JSON.stringify(json)}\n` : `${text}\n`);
}

async function withStore(o, fn) {
  const store = await openStore(need(o, 'db', '--db'));
  try {
    return await fn(store);
  } finally {
    await store.close();
  }
}

async function appsCommand(sub, o) {
  switch (sub) {
    case 'add':
      return withStore(o, async (store) => {
        const { app, secret } = await apps.addApp(store, {
          appKey: need(o, 'appKey', '--app-key'), schemes: o.schemes, signature: o.signature, thresholds: o.thresholds,
        });
        out(o, { ...apps.publicApp(app), secret },
          `registered ${app.appKey} (schemes ${app.schemes.join(', ')}${app.signature ? `, signature ${app.signature}` : ''})\n`
          + `server secret (shown once, keep it with the app's backend):\n${secret}`);
      });
    case 'set':
      return withStore(o, async (store) => {
        const appKey = need(o, 'appKey', '--app-key');
        const thresholds = await apps.setThresholds(store, appKey, need(o, 'thresholds', '--thresholds'));
        out(o, { appKey, thresholds }, `thresholds of ${appKey}: ${thresholds === null ? 'the defaults' : JSON.stringify(thresholds)}`);
      });
    case 'list':
      return withStore(o, async (store) => {
        const list = (await store.listApps()).map(apps.publicApp);
        out(o, list, list.length === 0 ? 'no app registered'
          : list.map((a) => `${a.appKey}  schemes ${a.schemes.join(',')}  signature ${a.signature || '-'}  `
            + `secret of ${new Date(a.rotatedAt).toISOString()}  thresholds ${a.thresholds ? JSON.stringify(a.thresholds) : 'defaults'}`).join('\n'));
      });
    case 'rotate':
      return withStore(o, async (store) => {
        const appKey = need(o, 'appKey', '--app-key');
        const secret = await apps.rotateSecret(store, appKey);
        out(o, { appKey, secret }, `new server secret of ${appKey} (the old one no longer works):\n${secret}`);
      });
    case 'remove':
      return withStore(o, async (store) => {
        const appKey = need(o, 'appKey', '--app-key');
        if (!(await store.removeApp(appKey))) throw new Error(`app key "${appKey}" is not registered`);
        out(o, { appKey, removed: true }, `removed ${appKey} and everything kept for it`);
      });
    default:
      throw new UsageError(`risk apps: add, set, list, rotate or remove, not "${sub || ''}"`);
  }
}

function retentionMs(o) {
  const days = o.retentionDays === undefined ? kDefaultRetentionDays : o.retentionDays;
  if (days === 0) return 0;
  if (days < 1) throw new UsageError('--retention-days: 0 (keep everything) or at least 1 (a token lives 24 hours)');
  return days * kDayMs;
}

async function serve(o) {
  // The development mode may keep its database in memory.
  const db = o.dev && o.db === undefined ? ':memory:' : need(o, 'db', '--db');
  if (o.mode !== undefined && !o.dev) throw new UsageError('--mode is an option of the development mode (--dev)');
  const workers = o.workers === undefined ? 1 : o.workers;
  if (workers < 1 || workers > kMaxWorkers) throw new UsageError(`--workers: 1 to ${kMaxWorkers}`);
  if ((o.tlsCert === undefined) !== (o.tlsKey === undefined)) throw new UsageError('--tls-cert and --tls-key go together');
  const tls = o.tlsCert === undefined ? null : { cert: fs.readFileSync(o.tlsCert), key: fs.readFileSync(o.tlsKey) };
  const keepMs = retentionMs(o);
  const fingerprintKey = o.fingerprintKeyFile === undefined ? undefined : fs.readFileSync(o.fingerprintKeyFile, 'utf8').trim();
  const log = (line) => process.stderr.write(`risk serve: ${line}\n`);
  if (workers > 1 && cluster.isPrimary) return servePrimary(o, workers, db, log);

  // The schema is migrated before the port is taken: a second instance
  // waits for the first one's migration, then finds it done.
  const svc = await startService({
    development: Boolean(o.dev),
    db,
    mode: o.mode,
    port: o.port || 0,
    host: o.host,
    tls,
    retentionMs: keepMs,
    fingerprintKey,
    log,
  });
  if (cluster.isWorker) {
    process.send({ url: svc.url });
  } else {
    process.stdout.write(`${svc.url}\n`);
    log(`serving ${describeStore(db)} on ${svc.url}${o.dev ? ' (development mode: fault modes, unknown keys registered)' : ''}`);
    if (o.dev) log(`admin endpoint, up in every mode: ${svc.adminUrl}/__admin/mode`);
  }
  await new Promise((resolve) => {
    const stop = () => {
      log('stopping: finishing the requests under way');
      svc.close().then(resolve);
    };
    process.once('SIGINT', stop);
    process.once('SIGTERM', stop);
    // A worker is told by its primary.
    if (cluster.isWorker) process.once('disconnect', stop);
  });
}

// The primary of --workers N: migrates once, starts N workers sharing the
// port, restarts one that dies, and stops them all on SIGINT or SIGTERM.
async function servePrimary(o, workers, db, log) {
  await withStore(o, async () => {});
  let stopping = false;
  let ready = 0;
  // The address is printed once every worker listens: from then on a
  // worker that dies leaves the others serving while it is replaced.
  const fork = () => {
    const w = cluster.fork();
    w.on('message', (m) => {
      if (!m || typeof m.url !== 'string') return;
      ready += 1;
      if (ready === workers) {
        process.stdout.write(`${m.url}\n`);
        log(`serving ${describeStore(db)} on ${m.url} with ${workers} workers`);
      }
    });
    return w;
  };
  for (let i = 0; i < workers; i++) fork();
  cluster.on('exit', (w, code, signal) => {
    if (stopping) return;
    log(`a worker ended (${signal || code}); starting another`);
    fork();
  });
  await new Promise((resolve) => {
    const stop = () => {
      stopping = true;
      log('stopping the workers');
      cluster.disconnect(() => resolve());
    };
    process.once('SIGINT', stop);
    process.once('SIGTERM', stop);
  });
}

async function main(argv) {
  const { words, o } = parseArgs(argv);
  const [command, sub] = words;
  if (o.help || command === undefined || command === 'help') {
    process.stdout.write(`${USAGE}\n`);
    return;
  }
  switch (command) {
    case 'serve': return serve(o);
    case 'apps': return appsCommand(sub, o);
    case 'forget':
      return withStore(o, async (store) => {
        const deleted = await store.forgetInstallation(need(o, 'appKey', '--app-key'), need(o, 'installationId', '--installation-id'));
        out(o, { deleted }, `deleted ${deleted} rows`);
      });
    case 'sweep':
      return withStore(o, async (store) => {
        const keepMs = retentionMs(o);
        const deleted = keepMs > 0 ? await store.sweep(Date.now(), keepMs) : 0;
        out(o, { deleted }, `deleted ${deleted} rows older than ${keepMs / kDayMs} days`);
      });
    case 'migrate':
      return withStore(o, async (store) => {
        // Opening migrated; a second look finds nothing left to apply.
        const applied = await store.migrate();
        out(o, { kind: store.kind, applied }, `${describeStore(o.db)}: schema up to date`);
      });
    default:
      throw new UsageError(`unknown command "${command}"`);
  }
}

if (require.main === module) {
  main(process.argv.slice(2)).catch((e) => {
    if (e instanceof UsageError) {
      process.stderr.write(`risk: ${e.message}\n${USAGE}\n`);
      process.exitCode = 2;
    } else {
      process.stderr.write(`risk: ${e.message}\n`);
      process.exitCode = 1;
    }
  });
}

module.exports = { main };
