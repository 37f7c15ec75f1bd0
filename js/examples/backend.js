#!/usr/bin/env node
'use strict';
// An example backend for an application that uses the library: it accepts
// an order together with the business sign the app made for it, opens the
// sign with the application key, and answers with what it found.
//
//   APP_KEY=K node examples/backend.js [port]      prints its URL
//   curl -d '{"order":"order-1: pay 10.00","sign":"..."}' URL/orders
//
// The app signs the exact order text it sends:
//   const sign = await risk.getBusinessSign(sdk, APP_KEY, {}, orderText);
//   fetch(`${backend}/orders`, { method: 'POST', body: JSON.stringify({ order: orderText, sign }) });
//
// What the backend checks, in order:
//   1. the sign opens under the application key for this order text: it was
//      made by an app holding the key, for this very order (else 401);
//   2. its "timestamp" is recent (MAX_AGE_MS; else 401, a replayed sign);
//   3. the token it carries ("ulvok"): a service token (1 to 40 bytes) is
//      what the backend checks with the token service's operator; a degrade
//      token is opened here: the device data it carries, whether its
//      signature holds, and why no service token could be had.
// The answer is 200 with { accepted: true, token: {...}, scene, ... } or an
// error status with { accepted: false, reason }.

const http = require('node:http');
const server = require('../server');  // require('quon-risk-comm/server') in an installed package

const MAX_AGE_MS = 5 * 60 * 1000;
const MAX_BODY_BYTES = 64 * 1024;

// What the sign's token is, as the answer reports it.
function tokenVerdict(fields, appKey) {
  const token = fields.ulvok;
  if (token === undefined || token === '') return { kind: 'none' };
  if (!server.isDegradeToken(token)) return { kind: 'service', token };
  const opened = server.openDegradeToken(token, appKey);
  return {
    kind: 'degrade',
    signatureOk: opened.signatureOk,
    scheme: opened.scheme,
    errorCode: opened.errorCode,
    error: opened.error ? opened.error.meaning : null,
    dataKeys: opened.request ? Object.keys(opened.request.data).length : 0,
    problem: opened.problem,
  };
}

// The answer to one order: [HTTP status, JSON object].
function judge(body, { appKey, maxAgeMs, now }) {
  let order;
  try {
    order = JSON.parse(body);
  } catch (e) {
    return [400, { accepted: false, reason: 'the body is not JSON' }];
  }
  if (!order || typeof order.order !== 'string' || typeof order.sign !== 'string') {
    return [400, { accepted: false, reason: 'the body needs "order" and "sign" texts' }];
  }
  const fields = server.openBusinessSign(order.sign, appKey, order.order);
  if (fields === null) {
    return [401, { accepted: false, reason: 'the sign does not open under our key for this order' }];
  }
  const age = now() - Number(fields.timestamp);
  if (!(Math.abs(age) <= maxAgeMs)) {
    return [401, { accepted: false, reason: `the sign is ${Math.round(age / 1000)} s old` }];
  }
  const token = tokenVerdict(fields, appKey);
  if (token.kind === 'degrade' && !token.signatureOk) {
    return [401, { accepted: false, reason: `the degrade token does not hold: ${token.problem}` }];
  }
  return [200, { accepted: true, order: order.order, token, scene: fields.K3000, signedAt: Number(fields.timestamp) }];
}

// An http.Server for POST /orders; not yet listening.
function createBackend({ appKey, maxAgeMs = MAX_AGE_MS, now = Date.now } = {}) {
  if (!appKey) throw new Error('createBackend needs the application key');
  return http.createServer((req, res) => {
    const reply = (status, obj) => {
      const text = JSON.stringify(obj);
      res.writeHead(status, { 'Content-Type': 'application/json', 'Content-Length': Buffer.byteLength(text) });
      res.end(text);
    };
    if (req.method !== 'POST' || req.url !== '/orders') {
      reply(404, { accepted: false, reason: 'POST /orders only' });
      return;
    }
    const chunks = [];
    let size = 0;
    req.on('data', (c) => {
      size += c.length;
      if (size <= MAX_BODY_BYTES) chunks.push(c);
    });
    req.on('end', () => {
      if (size > MAX_BODY_BYTES) reply(413, { accepted: false, reason: 'the body is too large' });
      else reply(...judge(Buffer.concat(chunks).toString('utf8'), { appKey, maxAgeMs, now }));
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
      process.stdout.write(`http://127.0.0.1:${backend.address().port}\n`);
    });
    process.once('SIGINT', () => backend.close());
    process.once('SIGTERM', () => backend.close());
  }
}

module.exports = { createBackend, judge };
