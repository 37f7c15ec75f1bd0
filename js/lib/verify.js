// @ts-check
'use strict';
// Asking the token service about a service token: the backend's half of the
// verify exchange (POST /v1/verify, the app's server secret as a bearer
// token). Everything the service answers is read as untrusted input too: a
// bounded body, a JSON object of the expected shape, or a failure.
//
// Fails closed: when the service cannot be asked (no answer within the time
// limit after the retries, a 5xx, an answer of another shape), the result is
// not ok.

const VERIFY_PATH = '/v1/verify';
const MAX_ANSWER_BYTES = 64 * 1024;
const DEFAULT_TIMEOUT_MS = 2000;
const DEFAULT_RETRIES = 2;
const RETRY_BASE_MS = 100;

/**
 * @typedef {object} ServiceOptions
 * @property {string} service the token service's address (http or https), without the path
 * @property {string} secret the app's server secret
 * @property {number} [timeoutMs] time limit of one attempt, 2000 unless told
 * @property {number} [retries] further attempts after a failure to reach the service, 2 unless told
 *
 * @typedef {object} Verified what the service said of one token
 * @property {boolean} ok the service answered that the token is valid (and the digest was not used before)
 * @property {string | null} reason why not, or null
 * @property {boolean} reached whether the service answered at all
 * @property {number | null} httpStatus
 * @property {Record<string, unknown> | null} answer the service's JSON answer, as it came
 */

/**
 * @param {string} fn
 * @param {unknown} options
 * @returns {asserts options is ServiceOptions}
 */
function requireServiceOptions(fn, options) {
  const o = /** @type {Partial<ServiceOptions> | null | undefined} */ (options);
  if (!o || typeof o.service !== 'string' || !/^https?:\/\/[^/]/.test(o.service)) {
    throw new TypeError(`${fn} needs { service: 'http(s)://host:port' } (the token service's address)`);
  }
  if (typeof o.secret !== 'string' || o.secret === '') {
    throw new TypeError(`${fn} needs { secret } (the app's server secret from the token service)`);
  }
}

/** @param {number} ms @returns {Promise<void>} */
const sleep = (ms) => new Promise((resolve) => { setTimeout(resolve, ms); });

// One POST of a JSON body; the answer's status and JSON object, or null for
// an answer that is not a JSON object within MAX_ANSWER_BYTES. Throws when
// the service cannot be reached in time.
/**
 * @param {string} url
 * @param {string} secret
 * @param {Record<string, unknown>} body
 * @param {number} timeoutMs
 * @returns {Promise<{ status: number, json: Record<string, unknown> | null }>}
 */
async function postJson(url, secret, body, timeoutMs) {
  const signal = AbortSignal.timeout(timeoutMs);
  const res = await fetch(url, {
    method: 'POST',
    headers: { 'Content-Type': 'application/json', Authorization: `Bearer ${secret}` },
    body: JSON.stringify(body),
    signal,
    redirect: 'manual',  // a redirect is an answer of another shape, not a place to send the secret
  });
  const declared = Number(res.headers.get('content-length'));
  if (declared > MAX_ANSWER_BYTES || !res.body) {
    await res.body?.cancel();
    return { status: res.status, json: null };
  }
  const chunks = [];
  let size = 0;
  for await (const chunk of res.body) {
    size += chunk.length;
    if (size > MAX_ANSWER_BYTES) return { status: res.status, json: null };  // leaving the loop cancels the body
    chunks.push(chunk);
  }
  let json;
  try {
    json = JSON.parse(Buffer.concat(chunks).toString('utf8'));
  } catch (e) {
    return { status: res.status, json: null };
  }
  return { status: res.status, json: json !== null && typeof json === 'object' && !Array.isArray(json) ? json : null };
}

// Asks the service about `token`, consuming `digest` when given. Retries
// what may pass on a second try (no answer, 5xx, 429) with jittered
// backoff; a 4xx other than 429 is final.
/**
 * @param {string} token
 * @param {string | undefined} digest
 * @param {ServiceOptions} options
 * @returns {Promise<Verified>}
 */
async function askService(token, digest, options) {
  const url = `${options.service.replace(/\/+$/, '')}${VERIFY_PATH}`;
  const timeoutMs = options.timeoutMs ?? DEFAULT_TIMEOUT_MS;
  const retries = Math.max(0, Math.min(options.retries ?? DEFAULT_RETRIES, 5));
  /** @type {Record<string, unknown>} */
  const body = digest === undefined ? { token } : { token, consume: digest };
  let last = { reason: 'service-unreachable', httpStatus: /** @type {number | null} */ (null) };
  for (let attempt = 0; attempt <= retries; attempt++) {
    if (attempt > 0) await sleep(RETRY_BASE_MS * 2 ** (attempt - 1) * (0.5 + Math.random()));
    let answer;
    try {
      answer = await postJson(url, options.secret, body, timeoutMs);
    } catch (e) {
      last = { reason: 'service-unreachable', httpStatus: null };
      continue;
    }
    const { status, json } = answer;
    if (status >= 500 || status === 429) {
      last = { reason: 'service-unavailable', httpStatus: status };
      continue;
    }
    if (status === 401 || status === 403) return failed('unauthorized', status, json);
    if (status !== 200 || json === null || typeof json.valid !== 'boolean') return failed('bad-answer', status, json);
    if (!json.valid) return failed(`token-${typeof json.reason === 'string' ? json.reason : 'invalid'}`, status, json);
    if (digest !== undefined && json.consumed !== false) return failed('replayed', status, json);
    return { ok: true, reason: null, reached: true, httpStatus: status, answer: json };
  }
  return { ok: false, reason: last.reason, reached: last.httpStatus !== null, httpStatus: last.httpStatus, answer: null };
}

/**
 * @param {string} reason
 * @param {number} httpStatus
 * @param {Record<string, unknown> | null} answer
 * @returns {Verified}
 */
function failed(reason, httpStatus, answer) {
  return { ok: false, reason, reached: true, httpStatus, answer };
}

module.exports = {
  requireServiceOptions, askService,
};
