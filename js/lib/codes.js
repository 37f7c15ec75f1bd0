// @ts-check
'use strict';
// The error codes of a token exchange, as the last field of a degrade token
// carries them, and the post statuses behind them. One wording for the
// README, the types, the tool and the demonstration.

/** @typedef {import('../server').ErrorCode} ErrorCode */

// code, what it means, what the app should do, whether a later call may help.
/** @type {readonly ErrorCode[]} */
const ERROR_CODES = Object.freeze([
  {
    code: 0,
    meaning: 'no failed exchange: none ran yet, one is under way, or the last one succeeded',
    action: 'nothing; a degrade token with 0 was asked for directly or made while an exchange ran',
    retry: 'yes',
  },
  {
    code: -1001,
    meaning: 'the platform\'s post gave no answer at all',
    action: 'check the bridge\'s post function: it must answer or reject with a numeric code',
    retry: 'yes',
  },
  {
    code: -1002,
    meaning: 'the answer did not decrypt: nothing came back (host not found, connection refused or broken, '
      + 'time limit, an HTTP error with an empty body) or it was sealed under another key or scheme',
    action: 'look at the post\'s status: a bridge code (resolve, connect, timeout, receive) means the service '
      + 'was not reached, check KEY_URL and the network; HTTP 400 means the token service refused the request: '
      + 'it does not know the application key (unregistered or misspelt) or refused the request as made; '
      + '404 means KEY_URL\'s path is not the service\'s (give scheme://host only, no trailing slash); 5xx a '
      + 'failing service; 200 means the application key or KEY_MANAGER_ALGORITHM differs from the service\'s; '
      + 'getTokenDetailed names the cause',
    retry: 'yes, when the service was not reached; no for a wrong key or scheme',
  },
  {
    code: -1003,
    meaning: 'the answer decrypted but held no readable archive entry "data"',
    action: 'KEY_URL points at something that is not this token service, or the service is of another version',
    retry: 'no',
  },
  {
    code: -1004,
    meaning: 'the service answered with an empty payload',
    action: 'a fault of the service: report it; the degrade token stands in meanwhile',
    retry: 'yes, later',
  },
  {
    code: -1005,
    meaning: 'the payload is not a TokenResponse, or its body not a TokenPayload (a message of more than 16 fields counts as neither)',
    action: 'the service speaks another message version: check KEY_URL and the service',
    retry: 'no',
  },
  {
    code: -1006,
    meaning: 'the service answered without a token: status not 0, command not 1002, an empty body, or a token that is empty or longer than 40 bytes',
    action: 'the service declined the request: check that it knows the application key',
    retry: 'yes, later',
  },
  {
    code: -1008,
    meaning: 'the service refused this device (status -10006)',
    action: 'do not insist: send the degrade token to your backend and let it decide',
    retry: 'no',
  },
]);

const BY_CODE = new Map(ERROR_CODES.map((e) => [e.code, e]));

// The entry of a code; an unknown code gets a meaning that says so.
/**
 * @param {number | string} code
 * @returns {ErrorCode}
 */
function describeCode(code) {
  const n = Number(code);
  return BY_CODE.get(n) || { code: n, meaning: 'not a code of the library', action: 'none', retry: 'no' };
}

// What a post rejection code of the bridge stands for (the library reports
// minus the code as the post's status).
/** @type {Readonly<Record<number, { reason: string, meaning: string }>>} */
const POST_FAILURES = Object.freeze({
  6: { reason: 'resolve', meaning: 'the host name does not resolve' },
  7: { reason: 'connect', meaning: 'the connection failed (refused or unreachable)' },
  28: { reason: 'timeout', meaning: 'the time limit of the post passed' },
  56: { reason: 'receive', meaning: 'the connection broke while receiving' },
  63: { reason: 'too large', meaning: 'the answer is longer than the size limit' },
  1: { reason: 'other', meaning: 'the post failed otherwise (bad address, unsupported protocol)' },
});

// The causes getTokenDetailed reports for a degrade token: what each means,
// whether a later call may help ("now", "later", "never"; some causes
// decide per case, below "depends") and, for "never", what the app must fix.
/** @type {Readonly<Record<string, { meaning: string, retry: 'now' | 'later' | 'never' | 'depends', fix?: string }>>} */
const CAUSES = Object.freeze({
  'invalid-host': {
    meaning: 'KEY_URL is not set (the built-in address lies under ".invalid") or names a host under'
      + ' ".invalid": the post was refused at once',
    retry: 'never',
    fix: 'set KEY_URL, in init or in the call\'s options, to the token service\'s address (scheme://host[:port])',
  },
  'invalid-url': {
    meaning: 'KEY_URL is not an http:// or https:// address',
    retry: 'never',
    fix: 'give KEY_URL as http:// or https:// followed by the service\'s host and port',
  },
  resolve: { meaning: 'the host name does not resolve: no network, or a misspelt host in KEY_URL', retry: 'later' },
  connect: {
    meaning: 'the connection failed: no network, the service is down, or KEY_URL names a wrong host or port',
    retry: 'later',
  },
  timeout: { meaning: 'the post\'s time limit passed without an answer', retry: 'later' },
  receive: { meaning: 'the connection broke while the answer was read', retry: 'later' },
  'too-large': {
    meaning: 'the answer was larger than any token answer',
    retry: 'never',
    fix: 'KEY_URL points at something that is not the token service: check it',
  },
  'post-failed': { meaning: 'the bridge rejected the post with a code of its own', retry: 'later' },
  'no-answer': {
    meaning: 'the bridge\'s post threw, or answered something that is not an answer object',
    retry: 'never',
    fix: 'the bridge\'s post must answer { responseCode, resultType, result } or reject with a numeric code',
  },
  http: {
    meaning: 'the service answered with an HTTP status other than 200',
    retry: 'depends',
  },
  undecryptable: {
    meaning: 'the answer (HTTP 200) did not open: it is sealed under another application key or scheme',
    retry: 'never',
    fix: 'the application key or KEY_MANAGER_ALGORITHM differs from the service\'s, or KEY_URL is not the'
      + ' token service: check them',
  },
  'bad-answer': {
    meaning: 'the answer opened but is not a token answer of this service\'s version',
    retry: 'never',
    fix: 'KEY_URL points at something that is not this token service, or at a service of another version',
  },
  refused: { meaning: 'the service answered without a token', retry: 'depends' },
  'rate-limited': {
    meaning: 'no exchange was started: 16 started in the last minute for this key (the library\'s limit;'
      + ' PRIVATE_CLEAR_TOKEN lifts it)',
    retry: 'later',
  },
  waited: {
    meaning: 'the exchange was still under way when KEY_DELAY_MS_TIME ran out; its token lands in memory'
      + ' for the next call',
    retry: 'now',
  },
  'no-token': {
    meaning: 'the library answered no token at all: it could not start a thread (see its log)',
    retry: 'later',
  },
  unobserved: {
    meaning: 'the SDK was not set up through setup() of this package: the posts were not seen',
    retry: 'later',
  },
});

// One line about a post's outcome as the reference bridge's onPost reports it.
/**
 * @param {{ ms: number, httpStatus: number, bytes: number }
 *   | { ms: number, httpStatus?: undefined, code: number, message?: string }
 *   | null | undefined} outcome a PostOutcome of the reference bridge, or none
 * @returns {string}
 */
function describePost(outcome) {
  if (!outcome) return 'no post was made';
  if (outcome.httpStatus !== undefined) {
    // The casts narrow as the check does, also where null checks are off.
    const answered = /** @type {{ ms: number, httpStatus: number, bytes: number }} */ (outcome);
    return `HTTP ${answered.httpStatus}, ${answered.bytes} bytes, ${answered.ms} ms`;
  }
  const rejected = /** @type {{ ms: number, code: number, message?: string }} */ (outcome);
  const f = POST_FAILURES[rejected.code] || POST_FAILURES[1];
  const detail = f.reason === 'other' && rejected.message ? `: ${rejected.message}` : '';
  return `rejected: ${f.reason} (${f.meaning}${detail}; status -${rejected.code}), ${rejected.ms} ms`;
}

module.exports = { ERROR_CODES, POST_FAILURES, CAUSES, describeCode, describePost };
