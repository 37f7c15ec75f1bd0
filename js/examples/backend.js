#!/usr/bin/env node
// @ts-check
'use strict';
// An example backend for an application that uses the library: it takes an
// order together with the business sign the app made for it, has the token
// service confirm the token inside, and answers with what each check showed.
// The whole loop: the app gets a token from the token service and signs the
// order; this backend asks the same service about the token.
//
//   APP_KEY=K SERVICE_URL=http://127.0.0.1:8080 SERVER_SECRET=rks... \
//     node examples/backend.js [port]                 prints its URL
//   curl -d '{"order":"order-1: pay 10.00","sign":"..."}' URL/orders
//
// SERVER_SECRET is the app's server secret, shown once by
// `risk apps add --app-key K` of the token service.
//
// The app signs the exact order text it sends:
//   const sign = await risk.getBusinessSign(sdk, APP_KEY, {}, orderText);
//   fetch(`${backend}/orders`, { method: 'POST', body: JSON.stringify({ order: orderText, sign }) });
//
// What the checks prove. The application key ships inside every copy of the
// app, so anyone can make a sign that opens: opening one proves nothing.
// What counts is the token service's word on the token the sign carries:
//   1. the sign opens under the key for this very order text (else 401);
//   2. the token service confirms the token: issued by it, to this app,
//      still valid (else 401); it also consumes the sign's digest, so a sign
//      used once, on any backend sharing the service, is refused (409);
//   3. the sign's time, moved to the service's clock by the device's clock
//      offset the service measured, is within MAX_AGE_MS (else 401).
// Only then is an order accepted (200, "accepted": true, with the service's
// level and signals). A sign carrying a degrade token cannot be confirmed:
// 200 with "accepted": false, "verdict": "unverified" and the device data it
// claims, for your own rules (step up authentication for anything risky).
// When the service cannot be asked, nothing is accepted (503).

const http = require('node:http');
const server = require('../server');  // require('quon-risk-comm/server') in an installed package

const MAX_AGE_MS = 5 * 60 * 1000;
const MAX_BODY_BYTES = 64 * 1024;

/**
 * @typedef {{ check: string, passed: boolean | null, shows: string }} Check
 * @typedef {[number, Record<string, unknown>]} Answer
 * @typedef {{ appKey: string, service: string, secret: string, maxAgeMs: number, now: () => number }} Context
 */

// The HTTP status of a refusal, by the first reason the verdict gives.
/** @param {string} reason @returns {number} */
function refusalStatus(reason) {
  if (reason === 'replayed') return 409;
  if (reason === 'service-unreachable' || reason === 'service-unavailable') return 503;
  if (reason === 'unauthorized' || reason === 'bad-answer') return 502;
  return 401;
}

// The checks a verdict shows, in the order they are made.
/**
 * @param {import('../server').SignVerdict} v
 * @returns {Check[]}
 */
function checksOf(v) {
  /** @type {Check[]} */
  const checks = [{
    check: 'sign-opens-for-order',
    passed: v.fields !== null,
    shows: 'someone holding the application key (anyone with the app) made it for this exact order',
  }];
  if (v.fields === null) return checks;
  if (v.token === null) {
    checks.push({ check: 'token-confirmed', passed: null, shows: 'a degrade token: nothing can confirm it' });
    return checks;
  }
  checks.push({
    check: 'token-confirmed',
    passed: v.token.reached ? v.token.ok || v.token.reason === 'replayed' : null,
    shows: v.token.reached ? 'the token service issued this token to this app, and it is valid' : 'the token service could not be asked',
  });
  if (v.token.reached) {
    checks.push({ check: 'not-replayed', passed: v.token.reason !== 'replayed', shows: 'the service had not seen this sign before, in any spelling' });
    checks.push({ check: 'recent', passed: !v.reasons.includes('stale'), shows: `its time in the ${v.timeBasis || 'device'}'s clock is within the window` });
  }
  return checks;
}

// The answer to one order: [HTTP status, JSON object].
/**
 * @param {string} body
 * @param {Context} ctx
 * @returns {Promise<Answer>}
 */
async function judge(body, { appKey, service, secret, maxAgeMs, now }) {
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
  const v = await server.verifyBusinessSign(order.sign, order.order,
    { appKey, service, secret, maxAgeMs, now, degrade: 'open' });
  const checks = checksOf(v);
  if (v.ok && v.token !== null) {
    return [200, {
      accepted: true,
      verdict: 'verified',
      order: order.order,
      checks,
      token: { kind: 'service', installationId: v.token.installationId, level: v.token.level, signals: v.token.signals },
      scene: v.fields && v.fields.K3000,
      signedAt: v.signedAt,
    }];
  }
  if (v.reasons[0] === 'degrade-token' && v.degrade !== null && v.degrade.ok) {
    const d = v.degrade;
    return [200, {
      accepted: false,
      verdict: 'unverified',
      reason: 'a degrade token: device data as claimed, which nothing can confirm; apply your own rules',
      order: order.order,
      checks,
      token: {
        kind: 'degrade', errorCode: d.errorCode, error: d.error ? d.error.meaning : null,
        dataKeys: d.request ? Object.keys(d.request.data).length : 0,
      },
    }];
  }
  const reason = v.reasons[0] === 'degrade-token' ? `the degrade token does not open: ${v.degrade ? v.degrade.problem : ''}` : v.reasons.join(', ');
  return [v.reasons[0] === 'degrade-token' ? 401 : refusalStatus(v.reasons[0]), { accepted: false, reason, checks }];
}

// An http.Server for POST /orders; not yet listening.
/**
 * @param {{ appKey: string, service: string, secret: string, maxAgeMs?: number, now?: () => number }} options
 */
function createBackend({ appKey, service, secret, maxAgeMs = MAX_AGE_MS, now = Date.now }) {
  if (typeof appKey !== 'string' || appKey === '') throw new TypeError('createBackend needs the application key');
  if (typeof service !== 'string' || typeof secret !== 'string' || secret === '') {
    throw new TypeError('createBackend needs the token service\'s address and the app\'s server secret');
  }
  /** @type {Context} */
  const ctx = { appKey, service, secret, maxAgeMs, now };
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
      judge(Buffer.concat(chunks).toString('utf8'), ctx).then((answer) => reply(...answer), (e) => {
        process.stderr.write(`backend: ${e instanceof Error ? e.stack : e}\n`);
        reply(500, { accepted: false, reason: 'the order could not be judged' });
      });
    });
  });
}

if (require.main === module) {
  const { APP_KEY: appKey, SERVICE_URL: service, SERVER_SECRET: secret } = process.env;
  if (!appKey || !service || !secret) {
    process.stderr.write('backend: set APP_KEY, SERVICE_URL (the token service) and SERVER_SECRET (from `risk apps add`)\n');
    process.exitCode = 2;
  } else {
    const backend = createBackend({ appKey, service, secret });
    backend.listen(Number(process.argv[2] || 0), '127.0.0.1', () => {
      const address = backend.address();
      process.stdout.write(`http://127.0.0.1:${address && typeof address === 'object' ? address.port : ''}\n`);
    });
    process.once('SIGINT', () => backend.close());
    process.once('SIGTERM', () => backend.close());
  }
}

module.exports = { createBackend, judge };
