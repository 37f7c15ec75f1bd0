#!/usr/bin/env node
'use strict';
// An example backend for an application that uses the library: it takes an
// order together with the business sign the app made for it, makes every
// check it can, and answers with what each check showed.
//
//   APP_KEY=K node examples/backend.js [port]      prints its URL
//   curl -d '{"order":"order-1: pay 10.00","sign":"..."}' URL/orders
//
// The app signs the exact order text it sends:
//   const sign = await risk.getBusinessSign(sdk, APP_KEY, {}, orderText);
//   fetch(`${backend}/orders`, { method: 'POST', body: JSON.stringify({ order: orderText, sign }) });
//
// What the checks prove. The application key ships inside every copy of the
// app, so anyone can make a sign or a degrade token that opens here:
//   1. the sign opens under the key for this very order text: someone who
//      has the key (anyone with the app) made it for this order (else 401);
//   2. its "timestamp" is within MAX_AGE_MS of our clock: the device's clock,
//      as claimed (else 401);
//   3. this backend has not seen the sign in that window, however it was
//      spelt (its digest; else 409);
//   4. the token it carries ("ulvok"): a degrade token is opened (device data
//      as claimed by whoever made it, under a checksum anyone can compute); a
//      service token is evidence only once the token service that issued it
//      confirms it, and this example does not ask it.
// So no order is "accepted" here: the answer is 200 with { accepted: false,
// verdict: "unverified", checks: [...], token: {...} }, or an error status
// with { accepted: false, reason }. Treat an unverified order as you would an
// anonymous one: allow what is harmless, step up authentication (a second
// factor, a review) for what is not.

const http = require('node:http');
const server = require('../server');  // require('quon-risk-comm/server') in an installed package

const MAX_AGE_MS = 5 * 60 * 1000;
const MAX_BODY_BYTES = 64 * 1024;
const MAX_REMEMBERED_SIGNS = 100000;

/**
 * @typedef {{ check: string, passed: boolean | null, shows: string }} Check
 * @typedef {[number, Record<string, unknown>]} Answer
 */

// The digests of the signs seen within the last MAX_AGE_MS: a replay of one
// of them, in any spelling, is refused. Older signs fail the age check.
function createReplayStore(maxAgeMs, now) {
  const seen = new Map();  // digest -> when it was first seen
  return {
    /** @param {string} digest @returns {boolean} true the first time */
    consume(digest) {
      const t = now();
      for (const [d, at] of seen) {
        if (t - at <= maxAgeMs && seen.size < MAX_REMEMBERED_SIGNS) break;
        seen.delete(d);  // oldest first: a Map keeps insertion order
      }
      if (seen.has(digest)) return false;
      seen.set(digest, t);
      return true;
    },
  };
}

// What the sign's token is, and what opening it showed.
/**
 * @param {Record<string, string>} fields
 * @param {string} appKey
 * @returns {{ token: Record<string, unknown>, check: Check }}
 */
function tokenCheck(fields, appKey) {
  const token = fields.ulvok;
  if (token === undefined || token === '') {
    return { token: { kind: 'none' }, check: { check: 'token', passed: null, shows: 'the sign carries no token' } };
  }
  if (!server.isDegradeToken(token)) {
    return {
      token: { kind: 'service', token },
      check: { check: 'token', passed: null, shows: 'not checked: only the token service that issued it can confirm a service token' },
    };
  }
  const opened = server.openDegradeToken(token, appKey);
  return {
    token: {
      kind: 'degrade',
      signatureOk: opened.signatureOk,
      scheme: opened.scheme,
      errorCode: opened.errorCode,
      error: opened.error ? opened.error.meaning : null,
      dataKeys: opened.request ? Object.keys(opened.request.data).length : 0,
      problem: opened.problem,
    },
    check: {
      check: 'degrade-token-opens',
      passed: opened.ok,
      shows: opened.ok
        ? 'device data as claimed by whoever made it; its error field is outside the signature'
        : `it does not open: ${opened.problem}`,
    },
  };
}

// The answer to one order: [HTTP status, JSON object].
/**
 * @param {string} body
 * @param {{ appKey: string, maxAgeMs: number, now: () => number, replays: ReturnType<typeof createReplayStore> }} ctx
 * @returns {Answer}
 */
function judge(body, { appKey, maxAgeMs, now, replays }) {
  let order;
  try {
    order = JSON.parse(body);
  } catch (e) {
    return [400, { accepted: false, reason: 'the body is not JSON' }];
  }
  if (order === null || typeof order !== 'object' || typeof order.order !== 'string' || order.order === ''
    || typeof order.sign !== 'string') {
    return [400, { accepted: false, reason: 'the body needs a non-empty "order" text and a "sign" text' }];
  }
  /** @type {Check[]} */
  const checks = [];
  const fields = server.openBusinessSign(order.sign, appKey, order.order);
  if (fields === null) {
    return [401, { accepted: false, reason: 'the sign does not open under our key for this order' }];
  }
  checks.push({ check: 'sign-opens-for-order', passed: true, shows: 'someone holding the application key (anyone with the app) made it for this exact order' });
  const age = now() - Number(fields.timestamp);
  if (!(Math.abs(age) <= maxAgeMs)) {
    return [401, { accepted: false, reason: Number.isFinite(age) ? `the sign is ${Math.round(age / 1000)} s old` : 'the sign has no timestamp' }];
  }
  checks.push({ check: 'timestamp-recent', passed: true, shows: 'the device clock, as claimed, is within the window' });
  if (!replays.consume(server.businessSignDigest(fields, order.order))) {
    return [409, { accepted: false, reason: 'this sign was already used' }];
  }
  checks.push({ check: 'not-replayed', passed: true, shows: 'this backend has not seen the sign within the window, in any spelling' });
  const { token, check } = tokenCheck(fields, appKey);
  checks.push(check);
  if (check.passed === false) {
    return [401, { accepted: false, reason: `the degrade token does not hold: ${token.problem}`, checks }];
  }
  return [200, {
    accepted: false,
    verdict: 'unverified',
    reason: 'nothing here proves the device: only the token service can confirm a token',
    order: order.order,
    checks,
    token,
    scene: fields.K3000,
    signedAt: Number(fields.timestamp),
  }];
}

// An http.Server for POST /orders; not yet listening.
/**
 * @param {{ appKey: string, maxAgeMs?: number, now?: () => number }} options
 */
function createBackend({ appKey, maxAgeMs = MAX_AGE_MS, now = Date.now }) {
  if (typeof appKey !== 'string' || appKey === '') throw new TypeError('createBackend needs the application key');
  const replays = createReplayStore(maxAgeMs, now);
  return http.createServer((req, res) => {
    /** @param {number} status @param {Record<string, unknown>} obj */
    const reply = (status, obj) => {
      const text = JSON.stringify(obj);
      res.writeHead(status, { 'Content-Type': 'application/json', 'Content-Length': Buffer.byteLength(text) });
      res.end(text);
    };
    if (req.method !== 'POST' || req.url !== '/orders') {
      reply(404, { accepted: false, reason: 'POST /orders only' });
      return;
    }
    /** @type {Buffer[]} */
    const chunks = [];
    let size = 0;
    req.on('data', (c) => {
      size += c.length;
      if (size <= MAX_BODY_BYTES) chunks.push(c);
    });
    req.on('error', () => res.destroy());
    req.on('end', () => {
      if (size > MAX_BODY_BYTES) {
        reply(413, { accepted: false, reason: 'the body is too large' });
        return;
      }
      // The boundary of one request: whatever goes wrong in judging it is
      // answered (and logged), never left to end the process.
      let answer;
      try {
        answer = judge(Buffer.concat(chunks).toString('utf8'), { appKey, maxAgeMs, now, replays });
      } catch (e) {
        process.stderr.write(`backend: ${e instanceof Error ? e.stack : e}\n`);
        answer = [500, { accepted: false, reason: 'the order could not be judged' }];
      }
      reply(...answer);
    });
  });
}

if (require.main === module) {
  const appKey = process.env.APP_KEY;
  if (!appKey) {
    process.stderr.write('backend: set APP_KEY to the application key\n');
    process.exitCode = 2;
  } else {
    const backend = createBackend({ appKey });
    backend.listen(Number(process.argv[2] || 0), '127.0.0.1', () => {
      const address = backend.address();
      process.stdout.write(`http://127.0.0.1:${address && typeof address === 'object' ? address.port : ''}\n`);
    });
    process.once('SIGINT', () => backend.close());
    process.once('SIGTERM', () => backend.close());
  }
}

module.exports = { createBackend, judge };
