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
      + 'was not reached, check KEY_URL and the network; an HTTP status other than 200 means a wrong path or '
      + 'a failing service; 200 means the application key or KEY_MANAGER_ALGORITHM differs from the service\'s',
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
    return `HTTP ${outcome.httpStatus}, ${outcome.bytes} bytes, ${outcome.ms} ms`;
  }
  const f = POST_FAILURES[outcome.code] || POST_FAILURES[1];
  const detail = f.reason === 'other' && outcome.message ? `: ${outcome.message}` : '';
  return `rejected: ${f.reason} (${f.meaning}${detail}; status -${outcome.code}), ${outcome.ms} ms`;
}

module.exports = { ERROR_CODES, POST_FAILURES, describeCode, describePost };
