// @ts-check
'use strict';
// What became of a token call, in terms an app can branch on.
//
// setup() hands the library a forwarding object instead of the app's bridge:
// each of the ten bridge functions the library calls goes to the app's
// function of that name (looked up at each call, with the app's bridge as
// `this`), and a member that is not a function is passed on as it is, so
// the library's own checks see what they would have seen. Its `post` also
// notes, per application key (the "appKey" query parameter the library puts
// on every address), when each post started, when it settled and how: the
// HTTP status and size of the answer, or the bridge's rejection code.
//
// judge() then compares what happened for the key between a call's start
// and its resolution with the token the call got. Everything here runs on
// the script thread; the posts are noted before the library sees their
// answers (the forwarder's handlers are attached first).

const {
  invalidHost, POST_ERROR_RESOLVE, POST_ERROR_CONNECT, POST_ERROR_TIMEOUT, POST_ERROR_RECEIVE, POST_ERROR_TOO_LARGE,
} = require('./http-post');
const { MAX_SERVICE_TOKEN_BYTES } = require('./limits');
const { CAUSES } = require('./codes');

/** @typedef {import('../index').TokenOutcome} TokenOutcome */
/** @typedef {import('../index').TokenCause} TokenCause */
/** @typedef {import('../index').Bridge} Bridge */

const BRIDGE_FUNCTIONS = Object.freeze([
  'getDeviceInfo', 'getAppSignature', 'getOaid', 'getTimeInfo', 'onSituationClientEvent',
  'onSituationServerEvent', 'post', 'prefPut', 'prefGet', 'getOsVersion',
]);

const TOKEN_PATH = '/udid/m1';
const SITUATION_PATH = '/udid/sa-m';
// The library's built-in addresses, used when KEY_URL / KEY_SITUATION_URL
// are absent or empty.
const BUILT_IN_TOKEN_URL = 'https://token.quon-risk.invalid/udid/m1';
const BUILT_IN_SITUATION_URL = 'https://situation.quon-risk.invalid/udid/sa-m';
// The library's wait for an exchange (KEY_DELAY_MS_TIME).
const kDefaultDelayMs = 5000;
const kMaxDelayMs = 30000;
// The library's rate limit: at most 16 exchange starts in 60 s per key.
const kRateWindowMs = 60000;
const kRateLimit = 16;
// Bounds of what is kept: the posts of one key, and the keys.
const kMaxPostsPerKey = 64;
const kMaxKeys = 256;
// The library refuses longer application keys and creates nothing for them;
// nothing is noted of them here either.
const kMaxAppKeyBytes = 1024;

// One forwarder per bridge object: a setup the library refuses still hands
// its bridge over, and the same bridge given again gets the same forwarder.
/** @type {WeakMap<object, Bridge>} */
const forwarders = new WeakMap();
// A call that ended in less than this share of its wait did not wait.
const kWaitedShare = 0.5;

/**
 * @typedef {object} PostRecord
 * @property {string} address the post's address without its query
 * @property {number} started event number at the start
 * @property {number} at Date.now() at the start
 * @property {number | null} ended event number when it settled; null while pending
 * @property {number | null} httpStatus the answer's status
 * @property {number} bytes the answer's size
 * @property {number | null} code the bridge's rejection code
 * @property {boolean} noAnswer post threw, or answered something that is not an answer
 */

/** @type {{ seq: number, watching: boolean, keys: Map<string, { posts: PostRecord[], init: string[] }> }} */
const state = { seq: 0, watching: false, keys: new Map() };

/**
 * @param {string} appKey
 */
function keyState(appKey) {
  let k = state.keys.get(appKey);
  if (k === undefined) {
    if (state.keys.size >= kMaxKeys) state.keys.delete(/** @type {string} */ (state.keys.keys().next().value));
    k = { posts: [], init: [] };
    state.keys.set(appKey, k);
  }
  return k;
}

// The functions a post runs through (formDecode, appKeyOf, resultBytes,
// notedPost) are written as parenthesized function expressions: the engine
// compiles those when this file loads, where a plain declaration would be
// compiled at its first call, inside an app's first token call.

// One form-encoded name or value decoded as URLSearchParams decodes it.
// The library percent-encodes what it puts on an address (a space as "+"),
// so the plain decode almost always does; URLSearchParams itself, whose
// first use compiles a good deal of the engine's URL code inside the post,
// only decodes what the plain one refuses.
const formDecode = (
  /**
   * @param {string} text
   * @returns {string}
   */
  function formDecode(text) {
    if (!text.includes('%') && !text.includes('+')) return text;
    try {
      return decodeURIComponent(text.replace(/\+/g, ' '));
    } catch (e) {
      return new URLSearchParams(`v=${text}`).get('v') || '';
    }
  });

// The "appKey" query parameter of a post's address ("" when none): the
// first one, as URLSearchParams.get finds it.
const appKeyOf = (
  /**
   * @param {string} url
   * @returns {string}
   */
  function appKeyOf(url) {
    const q = url.indexOf('?');
    if (q < 0) return '';
    for (const pair of url.slice(q + 1).split('&')) {
      const eq = pair.indexOf('=');
      const name = eq < 0 ? pair : pair.slice(0, eq);
      if (formDecode(name) === 'appKey') return eq < 0 ? '' : formDecode(pair.slice(eq + 1));
    }
    return '';
  });

// Size of a post answer's result, as far as it can be told.
const resultBytes = (
  /**
   * @param {any} answer
   * @returns {number}
   */
  function resultBytes(answer) {
    const r = answer.result;
    if (r instanceof ArrayBuffer) return r.byteLength;
    if (typeof r === 'string') return Buffer.byteLength(r);
    return 0;
  });

const notedPost = (
  /**
   * @param {string} url
   * @param {(url: string, body: ArrayBuffer) => unknown} post
   * @param {unknown} self
   * @param {unknown[]} args
   * @returns {unknown}
   */
  function notedPost(url, post, self, args) {
    const appKey = appKeyOf(url);
    const k = keyState(appKey);
    /** @type {PostRecord} */
    const rec = {
      address: url.split('?')[0], started: ++state.seq, at: Date.now(), ended: null,
      httpStatus: null, bytes: 0, code: null, noAnswer: false,
    };
    k.posts.push(rec);
    if (k.posts.length > kMaxPostsPerKey) k.posts.shift();
    /** @param {any} answer */
    const answered = (answer) => {
      rec.ended = ++state.seq;
      if (answer !== null && typeof answer === 'object' && typeof answer.responseCode === 'number') {
        rec.httpStatus = answer.responseCode;
        rec.bytes = resultBytes(answer);
      } else {
        rec.noAnswer = true;
      }
    };
    /** @param {any} err */
    const rejected = (err) => {
      rec.ended = ++state.seq;
      rec.code = err !== null && typeof err === 'object' && typeof err.code === 'number' ? err.code : 1;
    };
    let answer;
    try {
      answer = post.apply(self, /** @type {[string, ArrayBuffer]} */ (args));
    } catch (err) {
      rec.ended = ++state.seq;
      rec.noAnswer = true;
      throw err;
    }
    if (answer !== null && typeof answer === 'object' && typeof (/** @type {any} */ (answer).then) === 'function') {
      Promise.resolve(answer).then(answered, rejected);
    } else {
      answered(answer);
    }
    return answer;
  });

// The object setup() hands the library in place of bridge. A bridge that
// is not an object is handed on as it is (the library refuses it).
/**
 * @param {Bridge} bridge
 * @returns {Bridge}
 */
function forwardingBridge(bridge) {
  if (bridge === null || typeof bridge !== 'object') return bridge;
  const known = forwarders.get(bridge);
  if (known !== undefined) return known;
  const app = /** @type {Record<string, unknown>} */ (/** @type {unknown} */ (bridge));
  /** @type {Record<string, (...args: unknown[]) => unknown>} */
  const forwards = {};
  for (const name of BRIDGE_FUNCTIONS) {
    forwards[name] = name === 'post'
      ? (...args) => notedPost(String(args[0]), /** @type {any} */ (app.post), app, args)
      : (...args) => /** @type {Function} */ (app[name]).apply(app, args);
  }
  const forwarder = {};
  for (const name of BRIDGE_FUNCTIONS) {
    Object.defineProperty(forwarder, name, {
      enumerable: true,
      get: () => (typeof app[name] === 'function' ? forwards[name] : app[name]),
    });
  }
  forwarders.set(bridge, /** @type {Bridge} */ (forwarder));
  return /** @type {Bridge} */ (forwarder);
}

// Called once setup has answered: the posts are seen from now on.
/** @param {boolean} watching */
function setWatching(watching) {
  if (watching) state.watching = true;
}

// The options of init for appKey, as flat pairs.
/**
 * @param {unknown} appKey
 * @param {string[]} pairs
 */
function noteInit(appKey, pairs) {
  const key = String(appKey);
  if (Buffer.byteLength(key) <= kMaxAppKeyBytes) keyState(key).init = pairs.slice();
}

// The last value of key in flat pairs (undefined when absent).
/**
 * @param {string[]} pairs
 * @param {string} key
 * @returns {string | undefined}
 */
function lastValue(pairs, key) {
  let v;
  for (let i = 0; i + 1 < pairs.length; i += 2) if (pairs[i] === key) v = pairs[i + 1];
  return v;
}

// The address the library posts to for an address setting: a built-in one
// when empty, the service's path appended to scheme://host.
/**
 * @param {string | undefined} value
 * @param {string} servicePath
 * @param {string} builtIn
 * @returns {string}
 */
function serviceAddress(value, servicePath, builtIn) {
  if (value === undefined || value === '') return builtIn;
  return (value.match(/\//g) || []).length === 2 ? value + servicePath : value;
}

// How long the library waits for an exchange, ms, read as atoi reads text.
/**
 * @param {string | undefined} value
 * @returns {number}
 */
function delayMs(value) {
  const m = /^\s*([+-]?\d+)/.exec(value || '');
  const n = m ? Number.parseInt(m[1], 10) : 0;
  return n > 0 ? Math.min(n, kMaxDelayMs) : kDefaultDelayMs;
}

/**
 * @param {string} address
 * @returns {boolean}
 */
function httpAddress(address) {
  try {
    const { protocol } = new URL(address);
    return protocol === 'http:' || protocol === 'https:';
  } catch (e) {
    return false;
  }
}

/**
 * @param {string} reason
 * @param {{ retry?: 'now' | 'later' | 'never', fix?: string, httpStatus?: number,
 *   retryAfterMs?: number, detail?: string }} [extra]
 * @returns {{ cause: TokenCause, retry: 'now' | 'later' | 'never' }}
 */
function causeOf(reason, extra = {}) {
  const entry = CAUSES[reason];
  const retry = extra.retry || /** @type {'now' | 'later' | 'never'} */ (entry.retry);
  /** @type {TokenCause} */
  const cause = { reason: /** @type {TokenCause['reason']} */ (reason), message: entry.meaning };
  if (extra.detail) cause.message = `${entry.meaning} (${extra.detail})`;
  if (extra.httpStatus !== undefined) cause.httpStatus = extra.httpStatus;
  if (extra.retryAfterMs !== undefined) cause.retryAfterMs = extra.retryAfterMs;
  if (retry === 'never') cause.fix = extra.fix || entry.fix;
  return { cause, retry };
}

// An HTTP status other than 200 from the token service.
/**
 * @param {number} status
 */
function httpCause(status) {
  const detail = `HTTP ${status}`;
  if (status === 400) {
    return causeOf('http', { httpStatus: status, detail, retry: 'never',
      fix: 'the token service refused the request (400): it does not know this application key'
        + ' (unregistered or misspelt), or it refused the request as made; check the application key'
        + ' with the service\'s operator' });
  }
  if (status === 404) {
    return causeOf('http', { httpStatus: status, detail, retry: 'never',
      fix: `KEY_URL names a path the service does not serve: give scheme://host[:port] only, without a`
        + ` trailing slash (the library adds ${TOKEN_PATH})` });
  }
  if (status >= 300 && status < 400) {
    return causeOf('http', { httpStatus: status, detail, retry: 'never',
      fix: 'KEY_URL is redirected, and redirects are not followed: give the address it redirects to' });
  }
  if (status === 408 || status === 429 || status >= 500 || status < 300) {
    return causeOf('http', { httpStatus: status, detail, retry: 'later' });
  }
  return causeOf('http', { httpStatus: status, detail, retry: 'never',
    fix: `the service refused the request (HTTP ${status}): check KEY_URL and that the service`
      + ' accepts this application key' });
}

// The cause of a failed exchange whose post settled, given the code the
// degrade token carries.
/**
 * @param {PostRecord} post
 * @param {number} code
 */
function postCause(post, code) {
  if (post.noAnswer) return causeOf('no-answer');
  if (post.code !== null) {
    if (invalidHost(post.address)) return causeOf('invalid-host', { detail: post.address });
    if (!httpAddress(post.address)) return causeOf('invalid-url', { detail: post.address });
    switch (post.code) {
      case POST_ERROR_RESOLVE: return causeOf('resolve');
      case POST_ERROR_CONNECT: return causeOf('connect');
      case POST_ERROR_TIMEOUT: return causeOf('timeout');
      case POST_ERROR_RECEIVE: return causeOf('receive');
      case POST_ERROR_TOO_LARGE: return causeOf('too-large');
      default: return causeOf('post-failed', { detail: `code ${post.code}` });
    }
  }
  const httpStatus = /** @type {number} */ (post.httpStatus);
  if (httpStatus !== 200) return httpCause(httpStatus);
  switch (code) {
    case 0: return causeOf('waited', { httpStatus });
    case -1001: return causeOf('no-answer', { httpStatus });
    case -1002:
      return post.bytes === 0
        ? causeOf('bad-answer', { httpStatus, retry: 'later', detail: 'an empty answer' })
        : causeOf('undecryptable', { httpStatus });
    case -1003: return causeOf('bad-answer', { httpStatus, detail: 'no archive entry "data"' });
    case -1005: return causeOf('bad-answer', { httpStatus, detail: 'not a TokenResponse' });
    case -1006: return causeOf('refused', { httpStatus, retry: 'later', detail: 'no token in the answer' });
    case -1008:
      return causeOf('refused', { httpStatus, retry: 'never', detail: 'this device (status -10006)',
        fix: 'nothing in the app: the service refused this device; send the degrade token to your'
          + ' backend and let it decide' });
    default: return causeOf('bad-answer', { httpStatus, retry: 'later', detail: `code ${code}` });
  }
}

// Time until fewer than 16 of the key's exchanges started in the last
// minute; undefined when the posts seen do not show the limit.
/**
 * @param {PostRecord[]} posts
 * @param {number} now
 * @returns {number | undefined}
 */
function rateLimitWait(posts, now) {
  const recent = posts.map((p) => p.at).filter((t) => now - t < kRateWindowMs).sort((a, b) => a - b);
  if (recent.length < kRateLimit) return undefined;
  return Math.max(0, recent[recent.length - kRateLimit] + kRateWindowMs - now);
}

// Where a getTokenDetailed call starts: the event number and the time.
function mark() {
  return { seq: ++state.seq, at: Date.now() };
}

// The outcome of a getToken call for appKey with the call's option pairs,
// begun at start, that resolved with token.
/**
 * @param {string} appKey
 * @param {string} token
 * @param {string[]} pairs
 * @param {{ seq: number, at: number }} start
 * @returns {TokenOutcome}
 */
function judge(appKey, token, pairs, start) {
  const now = Date.now();
  const k = state.keys.get(String(appKey));
  const init = k ? k.init : [];
  const setting = (/** @type {string} */ name) => {
    const v = lastValue(pairs, name);
    return v !== undefined ? v : lastValue(init, name);
  };
  const tokenAddresses = new Set([BUILT_IN_TOKEN_URL,
    serviceAddress(lastValue(init, 'KEY_URL'), TOKEN_PATH, BUILT_IN_TOKEN_URL),
    serviceAddress(lastValue(pairs, 'KEY_URL'), TOKEN_PATH, BUILT_IN_TOKEN_URL)]);
  const situationAddresses = new Set([BUILT_IN_SITUATION_URL,
    serviceAddress(lastValue(init, 'KEY_SITUATION_URL'), SITUATION_PATH, BUILT_IN_SITUATION_URL)]);
  // A post is a token exchange unless it went to a situation address alone.
  const posts = (k ? k.posts : []).filter((p) => tokenAddresses.has(p.address)
    || !situationAddresses.has(p.address));
  // The post that settled last while the call ran.
  /** @type {PostRecord | null} */
  let settled = null;
  for (const p of posts) {
    if (p.ended !== null && p.ended > start.seq && (settled === null || p.ended > Number(settled.ended))) settled = p;
  }
  // As "isDegradeTokenNative" tells them apart.
  const degrade = token === '' || Buffer.byteLength(token) > MAX_SERVICE_TOKEN_BYTES;
  if (!degrade) {
    const issued = posts.some((p) => p.ended !== null && p.ended > start.seq && p.httpStatus === 200);
    return { token, kind: issued ? 'service' : 'stored', code: 0, cause: null, retry: null };
  }
  const field = Number(token.slice(token.lastIndexOf('!') + 1));
  const code = token.includes('!') && Number.isInteger(field) ? field : 0;
  let judged;
  if (token === '') {
    judged = causeOf('no-token');
  } else if (!state.watching) {
    judged = causeOf('unobserved');
  } else if (settled !== null) {
    judged = postCause(settled, code);
  } else if (posts.some((p) => p.ended === null)) {
    judged = causeOf('waited');
  } else {
    const wait = delayMs(setting('KEY_DELAY_MS_TIME'));
    judged = now - start.at < wait * kWaitedShare
      ? causeOf('rate-limited', { retryAfterMs: rateLimitWait(posts, now) })
      : causeOf('waited');
  }
  return { token, kind: 'degrade', code, cause: judged.cause, retry: judged.retry };
}

module.exports = {
  BRIDGE_FUNCTIONS,
  forwardingBridge,
  setWatching,
  noteInit,
  mark,
  judge,
  appKeyOf,
  delayMs,
  kMaxDelayMs,
  TOKEN_PATH,
  SITUATION_PATH,
};
